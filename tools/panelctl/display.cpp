// Panel settings: brightness (14), rotation (13), display-offset
// calibration (202).
#include <cstdio>

#include "tools/panelctl/panelctl.h"

namespace {

using hostlink::Packet;

int bad_usage(const char* u) {
  fprintf(stderr, "usage: panelctl %s\n", u);
  return 2;
}

// Sends `code` with the given bytes and reports them back.
int send_bytes(Panelctl& ctl, uint8_t code, const std::vector<uint8_t>& bytes,
               const std::string& text, const std::string& json) {
  Packet r;
  if (!ctl.command(code, bytes, &r)) return 1;
  ctl.result(text, json);
  return 0;
}

int brightness(Panelctl& ctl, const std::vector<std::string>& args) {
  const char* u = "brightness N   (0..255; 0 darkens without storing, above 100 lights fully)";
  unsigned long n;
  if (args.size() != 1 || !parse_uint(args[0], &n) || n > 255) return bad_usage(u);
  return send_bytes(ctl, 14, {static_cast<uint8_t>(n)}, "brightness " + std::to_string(n),
                    "{\"brightness\":" + std::to_string(n) + "}");
}
PANELCTL_SUBCOMMAND("brightness", "N: set the backlight level 0..100, 0 = dark (14)", brightness);

int rotation(Panelctl& ctl, const std::vector<std::string>& args) {
  const char* u = "rotation CODE   (0, 1, 2, 3 = 0, 90, 180, 270 degrees)";
  unsigned long code;
  if (args.size() != 1 || !parse_uint(args[0], &code) || code > 255) return bad_usage(u);
  return send_bytes(ctl, 13, {static_cast<uint8_t>(code)}, "rotation " + std::to_string(code),
                    "{\"rotation\":" + std::to_string(code) + "}");
}
PANELCTL_SUBCOMMAND("rotation", "CODE: rotate the panel, 0..3 = 0/90/180/270 degrees (13)",
                    rotation);

int calibrate(Panelctl& ctl, const std::vector<std::string>& args) {
  const char* u = "calibrate X Y   (display offsets in pixels, 0..255 each)";
  unsigned long x, y;
  if (args.size() != 2 || !parse_uint(args[0], &x) || !parse_uint(args[1], &y) || x > 255 ||
      y > 255)
    return bad_usage(u);
  return send_bytes(ctl, 202, {static_cast<uint8_t>(x), static_cast<uint8_t>(y)},
                    "calibrate " + std::to_string(x) + " " + std::to_string(y),
                    "{\"x\":" + std::to_string(x) + ",\"y\":" + std::to_string(y) + "}");
}
PANELCTL_SUBCOMMAND("calibrate", "X Y: set and show the display offsets (202)", calibrate);

}  // namespace
