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

// Commands without parameters and without reply data.
void simple(CLI::App& app, const char* name, const char* what, uint8_t code) {
  auto* s = app.add_subcommand(name, what);
  on_run(s, [code, name](Panelctl& ctl) {
    Packet r;
    if (!ctl.command(code, {}, &r)) return 1;
    ctl.result(std::string(name) + ": ok", Json{{"ok", true}});
    return 0;
  });
}

void add_queries(CLI::App& app) {
  auto* id = app.add_subcommand("identity", "print the device identity (10)");
  on_run(id, [](Panelctl& ctl) {
    Packet r;
    if (!ctl.command(10, {}, &r)) return 1;
    std::string text(reinterpret_cast<const char*>(r.data() + 8), 25);
    text = text.c_str();  // up to the first NUL
    ctl.result(text, Json{{"identity", text}});
    return 0;
  });
  auto* c = app.add_subcommand("constant", "query the constant (17)");
  on_run(c, [](Panelctl& ctl) {
    Packet r;
    if (!ctl.command(17, {}, &r)) return 1;
    uint32_t v = hostlink::le32(r.data() + 8);
    ctl.result(std::to_string(v), Json{{"value", v}});
    return 0;
  });
  auto* g = app.add_subcommand("group", "query group and position (201)");
  on_run(g, [](Panelctl& ctl) {
    Packet r;
    if (!ctl.command(201, {}, &r)) return 1;
    ctl.result("group " + std::to_string(r[8]) + " position " + std::to_string(r[9]),
               Json{{"group", r[8]}, {"position", r[9]}});
    return 0;
  });
}

void add_settings(CLI::App& app) {
  static unsigned warn;
  auto* w = app.add_subcommand("warn", "set warn_enable: show warnings when the host leaves (46)");
  w->add_option("FLAG", warn, "0 or 1")->required()->check(CLI::Range(0u, 1u));
  on_run(w, [](Panelctl& ctl) {
    Packet r;
    if (!ctl.command(46, {static_cast<uint8_t>(warn)}, &r)) return 1;
    ctl.result("warn_enable " + std::to_string(warn), Json{{"warn_enable", warn}});
    return 0;
  });

  static std::vector<unsigned> cfg(6);
  auto* c = app.add_subcommand("config", "write configuration bytes 0..5 (125)");
  static const char* const kNames[6] = {"BRIGHT",   "MODE",      "RESERVED2",
                                        "ROTATION", "RESERVED4", "CLOCK_ENABLE"};
  for (size_t i = 0; i < 6; i++)
    c->add_option(kNames[i], cfg[i], std::string("configuration byte ") + std::to_string(i))
        ->required()
        ->transform(byte_value());
  on_run(c, [](Panelctl& ctl) {
    Packet r;
    if (!ctl.command(125, std::vector<uint8_t>(cfg.begin(), cfg.end()), &r)) return 1;
    ctl.result("config saved", Json{{"ok", true}});
    return 0;
  });
}

void setup(CLI::App& app) {
  add_queries(app);
  add_raw(app);
  add_settings(app);
  simple(app, "reboot", "reboot the device (11)", 11);
  simple(app, "halt", "halt the device (12)", 12);
  simple(app, "update", "run the update script on /tmp (43)", 43);
  simple(app, "usb-display", "create the usb_display marker (150)", 150);
  simple(app, "nop", "no operation (254)", 254);
  simple(app, "decoder-test", "start the decoder test tool (253)", 253);
}
PANELCTL_SUBCOMMANDS(setup);

}  // namespace
