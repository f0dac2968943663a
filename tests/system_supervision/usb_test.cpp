// The USB supervisor in the real daemon: what the panel does when the host
// is missing at boot, leaves, or arrives, as the settings say.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/harness/harness.h"
#include "tests/system_supervision/supervision_env.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using harness::Image;
using hostlink::Packet;
using namespace sup_test;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The one slow scenario: warning after ten seconds, backlight off after a
// minute.
TEST(UsbSupervisor, BootWithoutHostWarnsThenSwitchesTheBacklightOff) {
  DeviceRoot root;
  write_settings(root, Settings{});  // warn_enable 1, clock_enable 0
  set_usb(root, false);
  Clock::time_point t0 = Clock::now();
  Daemon d(root);

  ASSERT_TRUE(d.wait_log("show warn 2", 20000)) << d.log();
  double warned_at = seconds_since(t0);
  EXPECT_GE(warned_at, 9.5);
  EXPECT_EQ(d.count_log("show warn 2"), 1);

  Image video, overlay;
  EXPECT_TRUE(snapshot_until(root, "video", &video, shows_warning_picture, 3000));
  ASSERT_TRUE(harness::snapshot(root, "overlay", &overlay));
  Image want =
      expected_warning_overlay(root, overlay.width, overlay.height, "lcd_usb_timeout_0 state 0");
  EXPECT_EQ(diff_pixels(overlay, want), 0) << "warning line differs";
  // A different count would draw differently: the comparison sees digits.
  Image other =
      expected_warning_overlay(root, overlay.width, overlay.height, "lcd_usb_timeout_1 state 0");
  EXPECT_GT(diff_pixels(overlay, other), 0);
  EXPECT_EQ(backlight(root), "600");

  ASSERT_TRUE(wait_for([&] { return backlight(root) == "0"; }, 75000)) << backlight(root);
  double dark_at = seconds_since(t0);
  EXPECT_GE(dark_at, 58.0);
  EXPECT_LE(dark_at, 70.0);
  EXPECT_EQ(d.count_log("show warn 2"), 1);
  EXPECT_EQ(d.count_log("usb cnt"), 0);
}

TEST(UsbSupervisor, HostLossStartsTheClockWithTheBacklightOn) {
  DeviceRoot root;
  Settings s;
  s.clock_enable = 1;
  s.warn_enable = 0;
  write_settings(root, s);
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("usb cnt 1", 10000)) << d.log();
  set_usb(root, false);

  Image video, overlay;
  ASSERT_TRUE(snapshot_until(root, "video", &video, shows_offline_logo, 20000)) << d.log();
  EXPECT_TRUE(snapshot_until(
      root, "overlay", &overlay,
      [](const Image& img) {
        for (size_t i = 3; i < img.rgba.size(); i += 4)
          if (img.rgba[i]) return true;
        return false;
      },
      3000));
  EXPECT_EQ(backlight(root), "600");
  EXPECT_EQ(d.count_log("show warn"), 0);
  // The clock was running: this packet's own stop request shows as 0x00.
  Packet r;
  ASSERT_TRUE(d.command(52, {}, &r));
  EXPECT_EQ(r[8], 0x00);
}

TEST(UsbSupervisor, SuspendReportMakesHostLossDarkenInsteadOfWarn) {
  DeviceRoot root;
  write_settings(root, Settings{});  // warn_enable 1, clock_enable 0
  set_usb(root, false);
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("mcu uart thread run", 10000));
  // One report a second reaches the daemon; these last past the loss.
  std::vector<uint8_t> frames;
  for (int i = 0; i < 16; i++) {
    auto f = mcu_frame(30, 1500, 1);
    frames.insert(frames.end(), f.begin(), f.end());
  }
  mcu_send(d, frames);

  ASSERT_TRUE(wait_for([&] { return backlight(root) == "0"; }, 20000)) << d.log();
  EXPECT_TRUE(d.wait_log("stop_local_h264 ", 2000));
  EXPECT_EQ(d.count_log("show warn"), 0);
  // Suspended while not configured is not the microcontroller's warning.
  EXPECT_EQ(d.count_log("fail: mcu usb not connect"), 0);
}

TEST(UsbSupervisor, TestModeStartsAndStopsNothingUntilTheFirstPacket) {
  DeviceRoot root;  // no app.cfg: factory test mode
  set_usb(root, false);
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("time stamp", 10000));
  // Past the ten seconds of a host loss.
  std::this_thread::sleep_for(std::chrono::seconds(12));
  set_usb(root, true);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(d.count_log("show warn"), 0);
  EXPECT_EQ(d.count_log("usb cnt"), 0);
  EXPECT_EQ(d.count_log("stop_local_h264"), 0);
  EXPECT_EQ(d.count_log("play_local_h264"), 0);
  EXPECT_EQ(backlight(root), "600");

  // The first valid packet ends test mode: the host present is an arrival.
  Packet r;
  ASSERT_TRUE(d.command(254, {}, &r));
  EXPECT_TRUE(d.wait_log("usb cnt 1", 4000)) << d.log();
}

TEST(UsbSupervisor, ArrivalStartsTheSlideshowAndRestoresTheBacklight) {
  DeviceRoot root;
  Settings s;
  s.mode = 1;
  write_settings(root, s);
  set_usb(root, false);
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("init_tty done!", 10000));
  root.write(kBacklight, "0");
  set_usb(root, true);
  ASSERT_TRUE(d.wait_log("usb cnt 1", 4000)) << d.log();
  EXPECT_TRUE(d.wait_log("jpg thread start", 3000));
  EXPECT_TRUE(wait_for([&] { return backlight(root) == "600"; }, 2000)) << backlight(root);
  EXPECT_EQ(d.count_log("show warn"), 0);
}

TEST(UsbSupervisor, ArrivalStartsTheConfiguredLocalVideo) {
  DeviceRoot root;
  Settings s;
  s.mode = 2;
  s.video_path = "/media/offline_video.h264";
  write_settings(root, s);
  // No boot video, so the configured one is the first to play.
  root.write("/tmp/no_show_offline", "");
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("usb cnt 1", 10000)) << d.log();
  EXPECT_TRUE(d.wait_log("play_local_h264 name: /media/offline_video.h264", 3000)) << d.log();
  EXPECT_EQ(d.count_log("jpg thread start"), 0);
}

}  // namespace
