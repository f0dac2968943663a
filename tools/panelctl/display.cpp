// Panel settings: brightness (14), rotation (13), display-offset
// calibration (202).
#include "tools/panelctl/panelctl.h"

namespace {

using hostlink::Packet;

void setup_display(CLI::App& app) {
  add_byte_setting(app, {"brightness", "set the backlight level, 0 = dark (14)", 14, "LEVEL",
                         "0..100; 0 darkens without storing the level", 100, "brightness"});
  add_byte_setting(app, {"rotation", "rotate the panel (13)", 13, "CODE",
                         "0, 1, 2, 3 = 0, 90, 180, 270 degrees", 3, "rotation"});

  static unsigned x, y;
  auto* c = add_command(
      app, "calibrate", "set and show the display offsets (202)", 202,
      [] {
        return std::vector<uint8_t>{static_cast<uint8_t>(x), static_cast<uint8_t>(y)};
      },
      [](const Panelctl& ctl, const Packet&) {
        ctl.result("calibrate " + std::to_string(x) + " " + std::to_string(y),
                   Json{{"x", x}, {"y", y}});
      });
  c->add_option("X", x, "column offset in pixels, 0..255")->required()->check(CLI::Range(0u, 255u));
  c->add_option("Y", y, "row offset in pixels, 0..255")->required()->check(CLI::Range(0u, 255u));
}
PANELCTL_SUBCOMMANDS(setup_display);

}  // namespace
