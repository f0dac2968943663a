// The folder skeleton of a device root, its attribute files, and the
// simulated USB controller (`panelsim usb ROOT plug|unplug`).
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
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

void setup_skeleton(CLI::App& app) {
  static std::string root, state;
  auto* u = app.add_subcommand("usb", "set the USB controller state");
  u->add_option("ROOT", root, "device root")->required();
  u->add_option("STATE", state, "plug or unplug")
      ->required()
      ->check(CLI::IsMember({"plug", "unplug"}));
  on_run(u, [] {
    std::string why = usb_set(root, state == "plug");
    if (why.empty()) return 0;
    fprintf(stderr, "panelsim usb: %s\n", why.c_str());
    return 1;
  });
}
PANELSIM_SUBCOMMANDS(setup_skeleton);

}  // namespace

std::string usb_set(const std::string& root, bool plugged) {
  std::string path = root + kUdcState;
  std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return path + ": " + strerror(errno);
  fputs(plugged ? "configured\n" : "not attached\n", f);
  fclose(f);
  // Replace in one step so that a reader never sees a half-written state.
  if (rename(tmp.c_str(), path.c_str()) != 0) return path + ": " + strerror(errno);
  return "";
}
