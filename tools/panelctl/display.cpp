// Panel settings: brightness (14), rotation (13), display-offset
// calibration (202).
#include "tools/panelctl/panelctl.h"

namespace {

using hostlink::Packet;

// Sends `code` with the given bytes and reports them back.
int send_bytes(Panelctl& ctl, uint8_t code, const std::vector<uint8_t>& bytes,
               const std::string& text, const Json& json) {
  Packet r;
  if (!ctl.command(code, bytes, &r)) return 1;
  ctl.result(text, json);
  return 0;
}

void setup(CLI::App& app) {
  static unsigned level, rot, x, y;
  auto* b = app.add_subcommand("brightness", "set the backlight level, 0 = dark (14)");
  b->add_option("LEVEL", level, "0..100; 0 darkens without storing the level")
      ->required()
      ->check(CLI::Range(0u, 100u));
  on_run(b, [](Panelctl& ctl) {
    return send_bytes(ctl, 14, {static_cast<uint8_t>(level)}, "brightness " + std::to_string(level),
                      Json{{"brightness", level}});
  });

  auto* r = app.add_subcommand("rotation", "rotate the panel (13)");
  r->add_option("CODE", rot, "0, 1, 2, 3 = 0, 90, 180, 270 degrees")
      ->required()
      ->check(CLI::Range(0u, 3u));
  on_run(r, [](Panelctl& ctl) {
    return send_bytes(ctl, 13, {static_cast<uint8_t>(rot)}, "rotation " + std::to_string(rot),
                      Json{{"rotation", rot}});
  });

  auto* c = app.add_subcommand("calibrate", "set and show the display offsets (202)");
  c->add_option("X", x, "column offset in pixels, 0..255")->required()->check(CLI::Range(0u, 255u));
  c->add_option("Y", y, "row offset in pixels, 0..255")->required()->check(CLI::Range(0u, 255u));
  on_run(c, [](Panelctl& ctl) {
    return send_bytes(ctl, 202, {static_cast<uint8_t>(x), static_cast<uint8_t>(y)},
                      "calibrate " + std::to_string(x) + " " + std::to_string(y),
                      Json{{"x", x}, {"y", y}});
  });
}
PANELCTL_SUBCOMMANDS(setup);

}  // namespace
