// The USB supervisor in the real daemon: what the panel does when the host
// is missing at boot, leaves, or arrives, as the settings say.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/system_supervision/supervision_env.h"

namespace {

using harness::Daemon;
using hostlink::Packet;
using namespace sup_test;

// Warning after ten seconds (the minute to the dark panel is a decision
// table in tests/supervision).
TEST(UsbSupervisor, BootWithoutHostWarns) {
  DeviceRoot root;
  write_settings(root);
  set_usb(root, false);
  const auto t0 = std::chrono::steady_clock::now();
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("show warn 2", 20000)) << d.log();
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(9500));
  Image video, overlay;
  EXPECT_TRUE(snapshot_until(root, "video", &video, shows_warning_picture, 3000));
  ASSERT_TRUE(harness::snapshot(root, "overlay", &overlay));
  EXPECT_EQ(diff_pixels(overlay, warning_overlay(root, overlay, "lcd_usb_timeout_0 state 0")), 0);
  // Another count draws differently: the comparison does see the digits.
  EXPECT_GT(diff_pixels(overlay, warning_overlay(root, overlay, "lcd_usb_timeout_1 state 0")), 0);
  EXPECT_EQ(backlight(root), "600");
  EXPECT_EQ(d.count_log("usb cnt"), 0);
}

TEST(UsbSupervisor, HostLossWithClockEnabledStartsTheClockWithTheBacklightOn) {
  DeviceRoot root;
  write_settings(root, 0, /*clock_enable=*/1, /*warn_enable=*/0);
  root.write("/tmp/no_show_offline", "");  // no offline screen on the overlay
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("usb cnt 1", 10000)) << d.log();
  set_usb(root, false);
  Image overlay;  // the clock draws on an empty overlay
  auto drawn = [](const Image& o) {
    return diff_pixels(o, std::vector<uint32_t>(o.rgba.size() / 4)) > 0;
  };
  ASSERT_TRUE(snapshot_until(root, "overlay", &overlay, drawn, 20000)) << d.log();
  EXPECT_EQ(backlight(root), "600");
  EXPECT_EQ(d.count_log("show warn"), 0);
  Packet r;  // stops the standby screens; 0x00 says the clock was running
  ASSERT_TRUE(d.command(52, {}, &r));
  EXPECT_EQ(r[8], 0x00);
}

TEST(UsbSupervisor, SuspendReportMakesHostLossDarkenInsteadOfWarn) {
  DeviceRoot root;
  write_settings(root);  // warn_enable 1, clock_enable 0
  set_usb(root, false);
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("mcu uart thread run", 10000));
  mcu_send(d, mcu_frames(30, 1500, 1, 16));  // one a second, past the loss
  ASSERT_TRUE(harness::wait_until([&] { return backlight(root) == "0"; }, 20000)) << d.log();
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
  std::this_thread::sleep_for(std::chrono::seconds(2));
  set_usb(root, true);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  for (const char* started : {"show warn", "usb cnt", "stop_local_h264", "play_local_h264"})
    EXPECT_EQ(d.count_log(started), 0) << started;
  EXPECT_EQ(backlight(root), "600");
  // The first valid packet ends test mode: the host present is an arrival.
  Packet r;
  ASSERT_TRUE(d.command(254, {}, &r));
  EXPECT_TRUE(d.wait_log("usb cnt 1", 4000)) << d.log();
}

TEST(UsbSupervisor, ArrivalStartsTheConfiguredLocalContentAndTheBacklight) {
  const struct {
    uint8_t mode;
    const char *started, *not_started;
  } rows[] = {{1, "jpg thread start", "play_local_h264"},
              {2, "play_local_h264 name: /media/offline_video.h264", "jpg thread start"}};
  for (const auto& row : rows) {
    DeviceRoot root;
    write_settings(root, row.mode);
    root.write("/tmp/no_show_offline", "");  // no boot video to play first
    set_usb(root, false);
    Daemon d(root);
    root.write(kBacklight, "0");
    set_usb(root, true);
    ASSERT_TRUE(d.wait_log("usb cnt 1", 4000)) << d.log();
    EXPECT_TRUE(d.wait_log(row.started, 3000)) << d.log();
    EXPECT_TRUE(harness::wait_until([&] { return backlight(root) == "600"; }, 2000))
        << backlight(root);
    EXPECT_EQ(d.count_log(row.not_started), 0) << d.log();
    EXPECT_EQ(d.count_log("show warn"), 0);
  }
}

}  // namespace
