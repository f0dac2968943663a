// Panel settings through the real daemon: brightness (14) and rotation (13)
// in the driver attributes and in app.cfg, and the calibration pattern of
// 202 on the overlay plane.
#include <gtest/gtest.h>

#include <string>

#include "tests/harness/harness.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using hostlink::Packet;

const std::string kDriver = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/";
// Rotation and calibration wait for the painters to leave the planes, which
// takes a while in the sanitizer builds.
constexpr int kSlow = 20000;

int cfg_byte(const DeviceRoot& root, size_t i) {
  std::string app = root.read("/usr/data/app.cfg");
  return i < app.size() ? uint8_t(app[i]) : -1;
}

// Out of factory test mode, once the USB supervisor has acted on the host's
// arrival (it restores the backlight once): brightness texts and stored
// levels, and the calibration pattern.
TEST(SystemDisplay, BrightnessAndCalibration) {
  DeviceRoot root;
  Daemon d(root);
  Packet r;
  ASSERT_TRUE(d.command(254, {}, &r, {}, 10000)) << d.log();
  d.wait_log("usb cnt", 3000);
  EXPECT_EQ(root.read(kDriver + "dump_dsi_reg"), "600");  // the configured level at start
  struct {
    uint8_t level;
    const char* text;
    int stored;
  } cases[] = {{50, "500", 50}, {0, "0", 50}, {150, "1000", 150}};  // 0: dark, not stored
  for (const auto& c : cases) {
    ASSERT_TRUE(d.command(14, {c.level}, &r));
    EXPECT_EQ(r[1], 200);
    EXPECT_EQ(root.read(kDriver + "dump_dsi_reg"), c.text) << int(c.level);
    EXPECT_EQ(cfg_byte(root, 0), c.stored) << int(c.level);
  }

  // The offline screen wipes the overlay when it ends: wait for that first.
  ASSERT_TRUE(d.stop_standby()) << "standby screens did not stop";
  ASSERT_TRUE(d.command(202, {16, 84}, &r, {}, kSlow));
  EXPECT_EQ(root.read("/usr/data/fb.cfg").substr(0, 2), "\x10\x54");

  harness::Image img;
  ASSERT_TRUE(harness::snapshot(root, "overlay", &img));
  ASSERT_EQ(img.width, 1080);
  ASSERT_EQ(img.height, 2400);
  // Opaque red on columns 16..1063 of rows 84..2371, opaque black around.
  const int red[][2] = {{16, 84}, {1063, 2371}, {500, 500}};
  const int black[][2] = {{0, 0}, {15, 84}, {16, 83}, {1064, 2371}, {1063, 2372}, {1079, 2399}};
  for (auto& p : red) EXPECT_EQ(img.argb(p[0], p[1]), 0xFFFF0000u) << p[0] << "," << p[1];
  for (auto& p : black) EXPECT_EQ(img.argb(p[0], p[1]), 0xFF000000u) << p[0] << "," << p[1];
}

// Factory test mode keeps the offline screen painting while the planes are
// closed and reopened.
TEST(SystemDisplay, RotationReopensThePlanes) {
  DeviceRoot root;
  Daemon d(root);
  Packet r;
  const std::pair<uint8_t, const char*> codes[] = {{1, "90"}, {2, "180"}, {3, "270"}, {7, "0"}};
  for (auto [code, angle] : codes) {
    ASSERT_TRUE(d.command(13, {code}, &r, {}, kSlow)) << d.log();
    EXPECT_EQ(root.read(kDriver + "rotator_angle"), angle);
    EXPECT_EQ(cfg_byte(root, 3), code);
    harness::Image img;
    ASSERT_TRUE(harness::snapshot(root, "overlay", &img));
    EXPECT_EQ(img.width, code == 1 || code == 3 ? 2400 : 1080) << int(code);
  }
  EXPECT_TRUE(d.running());
}

}  // namespace
