// panelctl subcommands of the picture path: JPEG frame, stored picture,
// slideshow stop, logo and exit.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/panelctl/panelctl.h"

namespace {

// The daemon's receive buffer: a longer frame is drained and not shown.
constexpr size_t kMaxFrame = 2097152;

int jpeg(Panelctl& ctl, const std::vector<std::string>& args) {
  if (args.size() != 1) {
    fprintf(stderr, "usage: panelctl jpeg FILE\n");
    return 2;
  }
  std::vector<uint8_t> data;
  if (!read_file(args[0], &data)) {
    fprintf(stderr, "panelctl: cannot read %s\n", args[0].c_str());
    return 1;
  }
  if (data.size() > kMaxFrame) {
    fprintf(stderr, "panelctl: %s is %zu bytes, more than a frame may hold (%zu)\n",
            args[0].c_str(), data.size(), kMaxFrame);
    return 1;
  }
  std::vector<uint8_t> params(8, 0);
  hostlink::put_be32(params, 0, uint32_t(data.size()));
  hostlink::Packet reply;
  if (!ctl.command(101, params, &reply, data.data(), data.size())) return 1;
  ctl.result("sent " + std::to_string(data.size()) + " bytes",
             "{\"sent\":" + std::to_string(data.size()) + "}");
  return 0;
}
PANELCTL_SUBCOMMAND("jpeg", "FILE: show a JPEG file on the video plane (101)", jpeg);

int picture(Panelctl& ctl, const std::vector<std::string>& args) {
  if (args.size() != 1) {
    fprintf(stderr, "usage: panelctl picture DEVPATH\n");
    return 2;
  }
  hostlink::Packet reply;
  if (!ctl.command(113, hostlink::name_params(args[0]), &reply)) return 1;
  ctl.result("asked to show " + args[0], "{\"path\":\"" + json_escape(args[0]) + "\"}");
  return 0;
}
PANELCTL_SUBCOMMAND("picture", "DEVPATH: show a JPEG file stored on the device (113)", picture);

// Commands without parameters whose reply carries nothing.
int simple(Panelctl& ctl, uint8_t code, const char* done) {
  hostlink::Packet reply;
  if (!ctl.command(code, {}, &reply)) return 1;
  ctl.result(done, "{\"ok\":true}");
  return 0;
}

int slideshow_stop(Panelctl& ctl, const std::vector<std::string>& args) {
  return simple(ctl, 114, "slideshow stops after its current picture");
}
PANELCTL_SUBCOMMAND("slideshow-stop", "stop the local slideshow after its current picture (114)",
                    slideshow_stop);

int logo(Panelctl& ctl, const std::vector<std::string>& args) {
  return simple(ctl, 45, "logo shown");
}
PANELCTL_SUBCOMMAND("logo", "show the boot logo (45)", logo);

int exit_daemon(Panelctl& ctl, const std::vector<std::string>& args) {
  // The daemon ends without answering.
  if (!ctl.link.command_no_reply(44, {})) {
    fprintf(stderr, "panelctl: cannot send: %s\n", ctl.link.error().c_str());
    return 1;
  }
  ctl.result("exit sent", "{\"sent\":true}");
  return 0;
}
PANELCTL_SUBCOMMAND("exit", "end the daemon, which does not reply (44)", exit_daemon);

}  // namespace
