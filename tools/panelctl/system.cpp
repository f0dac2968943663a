// Identity, raw commands and the system commands.
#include <cstdio>
#include <cstring>

#include "tools/panelctl/panelctl.h"

namespace {

using hostlink::Packet;

int bad_usage(const char* u) {
  fprintf(stderr, "usage: panelctl %s\n", u);
  return 2;
}

int identity(Panelctl& ctl, const std::vector<std::string>&) {
  Packet r;
  if (!ctl.command(10, {}, &r)) return 1;
  std::string id(reinterpret_cast<const char*>(r.data() + 8), 25);
  id = id.c_str();  // up to the first NUL
  ctl.result(id, "{\"identity\":\"" + json_escape(id) + "\"}");
  return 0;
}
PANELCTL_SUBCOMMAND("identity", "print the device identity (10)", identity);

// raw CODE [HEXBYTES...] [--payload FILE]: bytes are command bytes 8 onward.
int raw(Panelctl& ctl, const std::vector<std::string>& args) {
  const char* u = "raw CODE [BYTE...] [--payload FILE]   (bytes from command byte 8, e.g. 0x1e 12)";
  if (args.empty()) return bad_usage(u);
  unsigned long code;
  if (!parse_uint(args[0], &code) || code > 255) return bad_usage(u);
  std::vector<uint8_t> params, payload;
  for (size_t i = 1; i < args.size(); i++) {
    if (args[i] == "--payload" && i + 1 < args.size()) {
      if (!read_file(args[++i], &payload)) {
        fprintf(stderr, "panelctl: cannot read %s\n", args[i].c_str());
        return 1;
      }
      continue;
    }
    unsigned long b;
    if (!parse_uint(args[i], &b) || b > 255) return bad_usage(u);
    params.push_back(static_cast<uint8_t>(b));
  }
  Packet r;
  if (!ctl.command(static_cast<uint8_t>(code), params, &r, payload.data(), payload.size()))
    return 1;
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
  ctl.result(text, "{\"code\":" + std::to_string(r[0]) + ",\"status\":" + std::to_string(r[1]) +
                       ",\"reply\":\"" + hex_bytes(r.data(), 512) + "\"}");
  return 0;
}
PANELCTL_SUBCOMMAND("raw", "send any command code with parameter bytes; print the reply", raw);

// Commands without parameters and without reply data.
int simple(Panelctl& ctl, uint8_t code, const char* what) {
  Packet r;
  if (!ctl.command(code, {}, &r)) return 1;
  ctl.result(std::string(what) + ": ok", "{\"ok\":true}");
  return 0;
}

int reboot(Panelctl& c, const std::vector<std::string>&) { return simple(c, 11, "reboot"); }
PANELCTL_SUBCOMMAND("reboot", "reboot the device (11)", reboot);
int halt(Panelctl& c, const std::vector<std::string>&) { return simple(c, 12, "halt"); }
PANELCTL_SUBCOMMAND("halt", "halt the device (12)", halt);
int update(Panelctl& c, const std::vector<std::string>&) { return simple(c, 43, "update"); }
PANELCTL_SUBCOMMAND("update", "run the update script on /tmp (43)", update);
int usb_display(Panelctl& c, const std::vector<std::string>&) {
  return simple(c, 150, "usb-display");
}
PANELCTL_SUBCOMMAND("usb-display", "create the usb_display marker (150)", usb_display);
int nop(Panelctl& c, const std::vector<std::string>&) { return simple(c, 254, "nop"); }
PANELCTL_SUBCOMMAND("nop", "no operation (254)", nop);
int decoder_test(Panelctl& c, const std::vector<std::string>&) {
  return simple(c, 253, "decoder-test");
}
PANELCTL_SUBCOMMAND("decoder-test", "start the decoder test tool (253)", decoder_test);

int constant(Panelctl& ctl, const std::vector<std::string>&) {
  Packet r;
  if (!ctl.command(17, {}, &r)) return 1;
  uint32_t v = hostlink::le32(r.data() + 8);
  ctl.result(std::to_string(v), "{\"value\":" + std::to_string(v) + "}");
  return 0;
}
PANELCTL_SUBCOMMAND("constant", "query the constant (17)", constant);

int group(Panelctl& ctl, const std::vector<std::string>&) {
  Packet r;
  if (!ctl.command(201, {}, &r)) return 1;
  ctl.result("group " + std::to_string(r[8]) + " position " + std::to_string(r[9]),
             "{\"group\":" + std::to_string(r[8]) + ",\"position\":" + std::to_string(r[9]) + "}");
  return 0;
}
PANELCTL_SUBCOMMAND("group", "query group and position (201)", group);

int warn(Panelctl& ctl, const std::vector<std::string>& args) {
  unsigned long v;
  if (args.size() != 1 || !parse_uint(args[0], &v) || v > 255) return bad_usage("warn 0|1");
  Packet r;
  if (!ctl.command(46, {static_cast<uint8_t>(v)}, &r)) return 1;
  ctl.result("warn_enable " + std::to_string(v), "{\"warn_enable\":" + std::to_string(v) + "}");
  return 0;
}
PANELCTL_SUBCOMMAND("warn", "set warn_enable (46)", warn);

// config BRIGHT MODE R2 ROTATION R4 CLOCK: configuration bytes 0..5 (125).
int config(Panelctl& ctl, const std::vector<std::string>& args) {
  const char* u = "config BRIGHT MODE RESERVED2 ROTATION RESERVED4 CLOCK_ENABLE";
  if (args.size() != 6) return bad_usage(u);
  std::vector<uint8_t> p;
  for (auto& a : args) {
    unsigned long v;
    if (!parse_uint(a, &v) || v > 255) return bad_usage(u);
    p.push_back(static_cast<uint8_t>(v));
  }
  Packet r;
  if (!ctl.command(125, p, &r)) return 1;
  ctl.result("config saved", "{\"ok\":true}");
  return 0;
}
PANELCTL_SUBCOMMAND("config", "write configuration bytes 0..5 (125)", config);

}  // namespace
