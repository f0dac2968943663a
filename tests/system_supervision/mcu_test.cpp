// The microcontroller link in the real daemon: readings come from valid
// frames only, the line recovers from garbage and cut frames, a suspended bus
// warns once per run.
#include <gtest/gtest.h>

#include <string>

#include "tests/system_supervision/supervision_env.h"

namespace {

using harness::Daemon;
using namespace sup_test;

TEST(McuLink, ReadingsChangeOnlyOnValidFrames) {
  DeviceRoot root;
  write_settings(root);
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("mcu uart thread run", 10000));
  mcu_send(d, {0xAA, 0x55, 0x1E, 0x05, 0xDC, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(d.wait_log("receive temp 30 pump 1500 rpm usb suspend=0 cnt 0\n", 4000)) << d.log();
  Image img;  // the offline screen shows the readings
  EXPECT_TRUE(snapshot_until(
      root, "overlay", &img,
      [&](const Image& o) { return diff_pixels(o, offline_overlay(root, o, 30, 1500)) == 0; },
      4000));

  // Garbage without a header byte, glued to a valid frame.
  std::vector<uint8_t> burst;
  for (int i = 0; i < 37; i++) burst.push_back(static_cast<uint8_t>(i * 7 % 0xA0));
  auto good = mcu_frames(45, 2000, 0);
  burst.insert(burst.end(), good.begin(), good.end());
  mcu_send(d, burst);
  ASSERT_TRUE(d.wait_log("receive temp 45 pump 2000 rpm", 4000)) << d.log();
  // A frame that lost its first byte: the next frames are read in step again.
  auto cut = mcu_frames(99, 9999, 1), more = mcu_frames(50, 2200, 0, 2);
  cut.erase(cut.begin());
  cut.insert(cut.end(), more.begin(), more.end());
  mcu_send(d, cut);
  ASSERT_TRUE(
      harness::wait_until([&] { return d.count_log("receive temp 50 pump 2200 rpm") == 2; }, 5000))
      << d.log();
  // A short frame followed by silence is dropped after the gap.
  size_t mark = d.log().size();
  mcu_send(d, {0xAA, 0x55, 0x63, 0x27});
  ASSERT_TRUE(d.wait_log("mcu uart read null", 5000, mark)) << d.log();
  mcu_send(d, mcu_frames(51, 2300, 0));
  ASSERT_TRUE(d.wait_log("receive temp 51 pump 2300 rpm", 4000, mark)) << d.log();
  EXPECT_EQ(d.count_log("receive temp"), 5);
  EXPECT_EQ(d.count_log("receive temp 99"), 0);
}

TEST(McuLink, ElevenSuspendFramesWhileConfiguredWarnOncePerRun) {
  DeviceRoot root;
  write_settings(root);  // warn_enable 1; the host stays configured
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("usb cnt 1", 10000)) << d.log();
  mcu_send(d, mcu_frames(30, 1500, 1, 22));  // queued; the daemon takes one a second
  ASSERT_TRUE(d.wait_log("show warn 1", 16000)) << d.log();
  EXPECT_EQ(d.count_log("fail: mcu usb not connect"), 1);
  EXPECT_TRUE(d.wait_log("receive temp 30 pump 1500 rpm usb suspend=1 cnt 10\n"));
  Image video, overlay;
  EXPECT_TRUE(snapshot_until(root, "video", &video, shows_warning_picture, 3000));
  ASSERT_TRUE(harness::snapshot(root, "overlay", &overlay));
  EXPECT_EQ(diff_pixels(overlay, warning_overlay(root, overlay, "led_usb_timeout_11_0")), 0);
  // The second eleven of the same run: "fail" again, but no second warning.
  ASSERT_TRUE(
      harness::wait_until([&] { return d.count_log("fail: mcu usb not connect") == 2; }, 16000))
      << d.log();
  EXPECT_EQ(d.count_log("show warn 1"), 1);
  EXPECT_EQ(d.count_log("show warn msg"), 1);  // drawn once
}

}  // namespace
