// Identity, raw commands and the system commands.
#include <cstdio>
#include <cstring>

#include "tools/panelctl/panelctl.h"

namespace {

using hostlink::Packet;

// The reply's rows of 16 bytes that are not all zero (the first always).
std::string reply_rows(const Packet& r) {
  std::string text;
  for (size_t off = 0; off < 512; off += 16) {
    bool zero = true;
    for (size_t k = 0; k < 16; k++) zero = zero && r[off + k] == 0;
    if (zero && off >= 16) continue;
    char line[16];
    snprintf(line, sizeof line, "%03zu: ", off);
    text += line + hex_bytes(r.data() + off, 16) + "\n";
  }
  if (!text.empty()) text.pop_back();
  return text;
}

void add_raw(CLI::App& app) {
  static unsigned code;
  static std::vector<unsigned> bytes;
  static std::string payload_file;
  auto* s =
      app.add_subcommand("raw", "send any command code with parameter bytes; print the reply");
  s->add_option("CODE", code, "command code 0..255")->required()->transform(byte_value());
  s->add_option("BYTE", bytes, "parameter bytes from command byte 8 on (e.g. 0x1e 12)")
      ->transform(byte_value());
  s->add_option("--payload", payload_file, "bulk payload sent after the command")
      ->option_text("FILE");
  on_run(s, [](Panelctl& ctl) {
    std::vector<uint8_t> params(bytes.begin(), bytes.end()), payload;
    std::string why;
    if (!payload_file.empty() && !read_file(payload_file, &payload, &why)) return ctl.fail(why);
    Packet r;
    if (!ctl.command(static_cast<uint8_t>(code), params, &r, payload.data(), payload.size()))
      return 1;
    ctl.result(reply_rows(r),
               Json{{"code", r[0]}, {"status", r[1]}, {"reply", hex_bytes(r.data(), 512)}});
    return 0;
  });
}

void add_queries(CLI::App& app) {
  add_command(app, "identity", "print the device identity (10)", 10, nullptr,
              [](const Panelctl& ctl, const Packet& r) {
                std::string text(reinterpret_cast<const char*>(r.data() + 8), 25);
                text = text.substr(0, text.find('\0'));  // up to the first NUL
                ctl.result(text, Json{{"identity", text}});
              });
  add_command(app, "constant", "query the constant (17)", 17, nullptr,
              [](const Panelctl& ctl, const Packet& r) {
                uint32_t v = hostlink::le32(r.data() + 8);
                ctl.result(std::to_string(v), Json{{"value", v}});
              });
  add_command(app, "group", "query group and position (201)", 201, nullptr,
              [](const Panelctl& ctl, const Packet& r) {
                ctl.result("group " + std::to_string(r[8]) + " position " + std::to_string(r[9]),
                           Json{{"group", r[8]}, {"position", r[9]}});
              });
}

void add_settings(CLI::App& app) {
  add_byte_setting(app, {"warn", "set warn_enable: show warnings when the host leaves (46)", 46,
                         "FLAG", "0 or 1", 1, "warn_enable"});

  static std::vector<unsigned> cfg(6);
  auto* c = add_command(
      app, "config", "write configuration bytes 0..5 (125)", 125,
      [] { return std::vector<uint8_t>(cfg.begin(), cfg.end()); },
      [](const Panelctl& ctl, const Packet&) {
        ctl.result("config saved", Json{{"ok", true}});
      });
  static const char* const kNames[6] = {"BRIGHT",   "MODE",      "RESERVED2",
                                        "ROTATION", "RESERVED4", "CLOCK_ENABLE"};
  for (size_t i = 0; i < 6; i++)
    c->add_option(kNames[i], cfg[i], std::string("configuration byte ") + std::to_string(i))
        ->required()
        ->transform(byte_value());
}

void setup_system(CLI::App& app) {
  add_queries(app);
  add_raw(app);
  add_settings(app);
  add_simple(app, "reboot", "reboot the device (11)", 11);
  add_simple(app, "halt", "halt the device (12)", 12);
  add_simple(app, "update", "run the update script on /tmp (43)", 43);
  add_simple(app, "usb-display", "create the usb_display marker (150)", 150);
  add_simple(app, "nop", "no operation (254)", 254);
  add_simple(app, "decoder-test", "start the decoder test tool (253)", 253);
}
PANELCTL_SUBCOMMANDS(setup_system);

}  // namespace
