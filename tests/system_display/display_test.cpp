// Panel settings through the real daemon: brightness and rotation texts in
// the driver attributes and in app.cfg, the calibration pattern of 202 on
// the overlay plane, and the plane state that panelsim reports.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/harness/harness.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using hostlink::Packet;

const char* const kAngle = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle";
const char* const kBacklight = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/dump_dsi_reg";

// Waits until the command loop listens: bytes sent before it has set up
// the line are flushed with the line set-up.
void ready(Daemon& d) { ASSERT_TRUE(d.wait_log("init_tty done!", 10000)) << d.log(); }

// Ends factory test mode and waits until the USB supervisor has acted on
// the host's arrival (it restores the backlight once), so that it does not
// write the backlight behind the test's back later.
void settle(Daemon& d) {
  ready(d);
  Packet r;
  ASSERT_TRUE(d.command(254, {}, &r, {}, 10000)) << d.log();
  d.wait_log("usb cnt", 3000);
}

// Asks both standby screens to stop and waits until both have finished, so
// nothing else paints the overlay.
void stop_screens(Daemon& d) {
  Packet r;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    ASSERT_TRUE(d.command(52, {}, &r));
    if (r[8] == 0xFF && r[9] == 0xFF) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  FAIL() << "standby screens did not stop";
}

// Rotation and calibration wait for the painters to leave the planes, which
// takes a while in the sanitizer builds.
constexpr int kSlow = 20000;

uint8_t cfg_byte(const DeviceRoot& root, size_t i) {
  std::string app = root.read("/usr/data/app.cfg");
  return i < app.size() ? static_cast<uint8_t>(app[i]) : 0xEE;
}

TEST(SystemDisplay, BrightnessTextsAndStoredLevel) {
  DeviceRoot root;
  Daemon d(root);
  settle(d);
  EXPECT_EQ(root.read(kBacklight), "600");  // the configured level at start

  Packet r;
  ASSERT_TRUE(d.command(14, {50}, &r));
  EXPECT_EQ(r[1], 200);
  EXPECT_EQ(root.read(kBacklight), "500");
  EXPECT_EQ(cfg_byte(root, 0), 50);

  ASSERT_TRUE(d.command(14, {0}, &r));  // dark, nothing stored
  EXPECT_EQ(root.read(kBacklight), "0");
  EXPECT_EQ(cfg_byte(root, 0), 50);

  size_t from = d.log().size();
  ASSERT_TRUE(d.command(14, {150}, &r));  // clamped when applied, stored as sent
  EXPECT_EQ(root.read(kBacklight), "1000");
  EXPECT_EQ(cfg_byte(root, 0), 150);
  EXPECT_TRUE(d.wait_log("set_brightness 100\n1000 4\n", 2000, from)) << d.log();

  std::string st = harness::snapshot_state(root);
  EXPECT_NE(st.find("\"backlight\":\"1000\""), std::string::npos) << st;
}

// Rotating while the standby screen paints (factory test mode keeps the
// offline screen running) must neither crash nor leave stale planes.
TEST(SystemDisplay, RotationReopensThePlanes) {
  DeviceRoot root;
  Daemon d(root);
  ready(d);
  Packet r;
  ASSERT_TRUE(d.command(13, {1}, &r, {}, kSlow)) << d.log();
  EXPECT_EQ(root.read(kAngle), "90");
  EXPECT_EQ(cfg_byte(root, 3), 1);
  EXPECT_TRUE(d.wait_log("open_fb 2400 1080 \n", 2000)) << d.log();
  std::string st = harness::snapshot_state(root);
  EXPECT_NE(st.find("\"rotator_angle\":\"90\""), std::string::npos) << st;
  EXPECT_NE(st.find("\"xres\":2400,\"yres\":1080"), std::string::npos) << st;

  harness::Image img;
  ASSERT_TRUE(harness::snapshot(root, "overlay", &img));
  EXPECT_EQ(img.width, 2400);
  EXPECT_EQ(img.height, 1080);

  for (uint8_t code : {2, 3, 7}) ASSERT_TRUE(d.command(13, {code}, &r, {}, kSlow));
  EXPECT_EQ(root.read(kAngle), "0");
  EXPECT_EQ(cfg_byte(root, 3), 7);
  EXPECT_TRUE(d.running());
  ASSERT_TRUE(harness::snapshot(root, "panel", &img));
  EXPECT_EQ(img.width, 1080);
  EXPECT_EQ(img.height, 2400);
}

void expect_rgba(const harness::Image& img, int x, int y, uint32_t rgba) {
  const uint8_t* p = img.at(x, y);
  uint32_t got = uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
  EXPECT_EQ(got, rgba) << "pixel " << x << "," << y;
}

TEST(SystemDisplay, CalibrationPaintsTheSelectedArea) {
  DeviceRoot root;
  Daemon d(root);
  settle(d);
  stop_screens(d);

  Packet r;
  ASSERT_TRUE(d.command(202, {16, 84}, &r, {}, kSlow));
  EXPECT_EQ(r[1], 200);
  std::string fbcfg = root.read("/usr/data/fb.cfg");
  ASSERT_GE(fbcfg.size(), 2u);
  EXPECT_EQ(fbcfg[0], 16);
  EXPECT_EQ(fbcfg[1], 84);

  const uint32_t black = 0x000000FF, red = 0xFF0000FF;
  harness::Image img;
  ASSERT_TRUE(harness::snapshot(root, "overlay", &img));
  ASSERT_EQ(img.width, 1080);
  ASSERT_EQ(img.height, 2400);
  expect_rgba(img, 0, 0, black);
  expect_rgba(img, 15, 84, black);
  expect_rgba(img, 16, 83, black);
  expect_rgba(img, 16, 84, red);
  expect_rgba(img, 1063, 2371, red);
  expect_rgba(img, 1064, 2371, black);
  expect_rgba(img, 1063, 2372, black);
  expect_rgba(img, 1079, 2399, black);

  // The panel shows the overlay opaquely over the video plane.
  ASSERT_TRUE(harness::snapshot(root, "panel", &img));
  expect_rgba(img, 500, 500, red);
  expect_rgba(img, 0, 0, black);

  // The next calibration paints the other buffer and shows it.
  std::string st1 = harness::snapshot_state(root);
  ASSERT_TRUE(d.command(202, {0, 0}, &r, {}, kSlow));
  std::string st2 = harness::snapshot_state(root);
  auto shown = [](const std::string& s) {
    size_t p = s.find("\"fb1_shown\":");
    return p == std::string::npos ? std::string("?") : s.substr(p + 12, 1);
  };
  EXPECT_NE(shown(st1), shown(st2)) << st1 << "\n" << st2;
  EXPECT_NE(st2.find("\"fb1_enabled\":true"), std::string::npos) << st2;
  ASSERT_TRUE(harness::snapshot(root, "overlay", &img));
  expect_rgba(img, 0, 0, red);
  expect_rgba(img, 1047, 2287, red);
  expect_rgba(img, 1048, 2287, black);
  expect_rgba(img, 1047, 2288, black);
  ASSERT_TRUE(harness::snapshot(root, shown(st1) == "0" ? "overlay0" : "overlay1", &img));
  expect_rgba(img, 16, 84, red);  // the first pattern is still in its buffer
  expect_rgba(img, 0, 0, black);
}

}  // namespace
