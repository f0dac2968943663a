// panelctl's overlay subcommands against the daemon under `panelsim run`.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/system_png/png_system.h"

namespace {

using namespace pngsys;

// Exit status of panelctl, its stdout in *out and its stderr in *err.
class SimRun : public harness::SimRun {
 public:
  using harness::SimRun::SimRun;
  int ctl(const std::string& args, std::string* out, std::string* err = nullptr) const {
    std::string e;
    int st;
    *out = harness::SimRun::ctl(args, &st, &e);
    if (err) *err = e;
    return st;
  }
};

TEST(SystemPngPanelctl, OverlaySubcommands) {
  DeviceRoot root;
  prepare_root(root);
  SimRun sim(root);
  Plane plane{root};
  std::string out, err;
  ASSERT_EQ(sim.ctl("nop", &out, &err), 0) << err;

  const Picture small = small_picture(0x21, 30, 20);
  const Picture full = full_picture(4, 1080, 300);
  root.write("/../small.png", std::string(small.png.begin(), small.png.end()));
  root.write("/../full.png", std::string(full.png.begin(), full.png.end()));
  const std::string dir = root.path() + "/..";

  ASSERT_EQ(sim.ctl("--json png " + dir + "/small.png 10 20", &out, &err), 0) << err;
  EXPECT_NE(out.find("{\"sent\":" + std::to_string(small.png.size()) + ",\"queue\":"),
            std::string::npos)
      << out;
  EXPECT_TRUE(
      poll_until([&] { return plane.shown_pixel(39, kTop + 39) == small.at(29, 19); }, 3000));

  const int front = plane.shown();
  ASSERT_EQ(sim.ctl("png-full " + dir + "/full.png", &out, &err), 0) << err;
  EXPECT_NE(out.find("sent " + std::to_string(full.png.size()) + " bytes"), std::string::npos);
  ASSERT_TRUE(poll_until([&] { return plane.shown() != front; }, 5000));
  EXPECT_TRUE(plane.shown_pixel(1079, kTop + 299) == full.at(1079, 299));

  ASSERT_EQ(sim.ctl("overlay off", &out, &err), 0) << err;
  EXPECT_NE(harness::snapshot_state(root).find("\"fb1_enabled\":false"), std::string::npos);
  ASSERT_EQ(sim.ctl("overlay on", &out, &err), 0) << err;
  EXPECT_NE(harness::snapshot_state(root).find("\"fb1_enabled\":true"), std::string::npos);

  ASSERT_EQ(sim.ctl("overlay-clear", &out, &err), 0) << err;
  EXPECT_TRUE(plane.shown_pixel(1079, kTop + 299) == kClear);

  ASSERT_EQ(sim.ctl("windows 10 20 0 0 0 256 1 -1", &out, &err), 0) << err;
  // The fourth window's first byte is the third one's last: values that
  // disagree there cannot be sent.
  EXPECT_EQ(sim.ctl("windows 10 20 0 0 0 50 100 200", &out, &err), 2);
  EXPECT_NE(err.find("byte 31"), std::string::npos) << err;

  // Usage errors and files too large for a slot.
  EXPECT_EQ(sim.ctl("png " + dir + "/small.png 10", &out, &err), 2);
  EXPECT_EQ(sim.ctl("png " + dir + "/small.png 10 70000", &out, &err), 2);
  EXPECT_EQ(sim.ctl("overlay maybe", &out, &err), 2);
  root.write("/../big.png", std::string(131073, 'x'));
  EXPECT_EQ(sim.ctl("png " + dir + "/big.png 0 0", &out, &err), 1);
  EXPECT_NE(err.find("131072"), std::string::npos) << err;
  const std::string log = root.read("/../run.log");
  EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
  EXPECT_EQ(log.find("runtime error:"), std::string::npos) << log;
}

}  // namespace
