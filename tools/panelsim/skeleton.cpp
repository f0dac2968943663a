// The folder skeleton of a device root, its attribute files, and the
// simulated USB controller (`panelsim usb ROOT plug|unplug`).
#include <cstdio>
#include <string>

#include "tools/panelsim/panelsim.h"

namespace {

const char* const kUdcState = "/sys/class/udc/13500000.otg/state";
const char* const kFbAttr = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0";

int skeleton(const std::string& root) {
  for (const char* d : {"/usr/data/img", "/media", "/tmp", "/dev", "/sim", "/host", "/etc/ota_bin",
                        "/proc/sys/vm", "/sys/class/udc/13500000.otg", kFbAttr}) {
    if (!make_dirs(root + d)) return -1;
  }
  bool ok = write_file_if_missing(root + kUdcState, "configured\n", 11) &&
            write_file_if_missing(root + "/proc/sys/vm/drop_caches", "", 0) &&
            write_file_if_missing(root + "/proc/kmsg", "", 0) &&
            write_file_if_missing(root + kFbAttr + "/rotator_angle", "0", 1) &&
            write_file_if_missing(root + kFbAttr + "/dump_dsi_reg", "", 0);
  return ok ? 0 : -1;
}
PANELSIM_INIT_STEP(0, "folder skeleton and attribute files", skeleton);

int usb(const std::vector<std::string>& args) {
  if (args.size() != 2 || (args[1] != "plug" && args[1] != "unplug")) {
    fprintf(stderr, "usage: panelsim usb ROOT plug|unplug\n");
    return 2;
  }
  std::string path = args[0] + kUdcState;
  std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) {
    perror(path.c_str());
    return 1;
  }
  fputs(args[1] == "plug" ? "configured\n" : "not attached\n", f);
  fclose(f);
  // Replace in one step so that a reader never sees a half-written state.
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    perror(path.c_str());
    return 1;
  }
  return 0;
}
PANELSIM_SUBCOMMAND("usb", "ROOT plug|unplug: set the USB controller state", usb);

}  // namespace
