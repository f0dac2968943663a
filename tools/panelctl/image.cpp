// panelctl subcommands of the picture path: JPEG frame, stored picture,
// slideshow stop, logo and exit.
#include <string>
#include <vector>

#include "tools/panelctl/check.h"
#include "tools/panelctl/panelctl.h"

namespace {

// The daemon's receive buffer: a longer frame is drained and not shown.
constexpr size_t kMaxFrame = 2097152;

// What keeps the device from showing a frame now, read after it went out:
// "" when nothing does.
std::string hidden_by(const PanelOwners& o) {
  if (o.standby())
    return std::string("the device's ") + (o.offline ? "offline screen" : "clock screen") +
           " has the panel and dropped it";
  if (o.local_video) return "local video plays on the device and paints over it";
  return "";
}

int jpeg(Panelctl& ctl, const std::string& file) {
  std::vector<uint8_t> data;
  std::string why;
  if (!read_file(file, &data, &why)) return ctl.fail(why);
  if (data.size() > kMaxFrame)
    return ctl.fail(file + " is " + std::to_string(data.size()) +
                    " bytes, more than a frame may hold (" + std::to_string(kMaxFrame) + ")");
  std::string doubt;
  if (!check::jpeg(file, data, &doubt)) {
    if (!ctl.force) return ctl.fail(doubt);
    ctl.note("panelctl: warning: " + doubt);
  }
  if (int st = panel_ready(ctl, file, true)) return st;
  std::vector<uint8_t> params(8, 0);
  hostlink::put_be32(params, 0, uint32_t(data.size()));
  hostlink::Packet reply;
  if (!ctl.command(101, params, &reply, data.data(), data.size())) return 1;
  // The reply says nothing about the picture: what owned the panel then
  // does.
  PanelOwners after;
  if (!probe_owners(ctl, &after)) return 1;
  const std::string hidden = hidden_by(after);
  if (!hidden.empty())
    return ctl.fail(file + " sent but not shown: " + hidden + "; run `panelctl takeover` first");
  if (!doubt.empty()) return ctl.fail(file + " sent but not shown: the device cannot decode it");
  ctl.result("sent " + std::to_string(data.size()) + " bytes, shown on the video plane",
             Json{{"sent", data.size()}, {"shown", true}});
  return 0;
}

// Commands without parameters whose reply carries nothing.
void simple(CLI::App& app, const char* name, const char* what, uint8_t code, const char* done) {
  add_command(app, name, what, code, nullptr, [done](const Panelctl& ctl, const hostlink::Packet&) {
    ctl.result(done, Json{{"ok", true}});
  });
}

void setup_image(CLI::App& app) {
  static std::string file, devpath;
  auto* j = app.add_subcommand("jpeg", "show a JPEG file on the video plane (101)");
  j->add_option("FILE", file,
                "JPEG file, at most 2 MiB; checked first, and refused while the device's "
                "standby screen or local video has the panel (see takeover)")
      ->required();
  on_run(j, [](Panelctl& ctl) { return jpeg(ctl, file); });

  auto* p = add_command(
      app, "picture", "show a JPEG file stored on the device (113)", 113,
      [] { return hostlink::name_params(devpath); },
      [](const Panelctl& ctl, const hostlink::Packet&) {
        ctl.result("asked to show " + devpath, Json{{"path", devpath}});
      });
  p->add_option("DEVPATH", devpath, "path on the device")->required();

  simple(app, "slideshow-stop", "stop the local slideshow after its current picture (114)", 114,
         "slideshow stops after its current picture");
  simple(app, "logo", "show the boot logo (45)", 45, "logo shown");

  auto* e = app.add_subcommand("exit", "end the daemon, which does not reply (44)");
  on_run(e, [](Panelctl& ctl) {
    if (!ctl.link.command_no_reply(44, {})) return ctl.fail("cannot send: " + ctl.link.error());
    ctl.result("exit sent", Json{{"sent", true}});
    return 0;
  });
}
PANELCTL_SUBCOMMANDS(setup_image);

}  // namespace
