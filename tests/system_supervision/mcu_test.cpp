// The microcontroller link in the real daemon: readings reach the offline
// screen from valid frames only, the line recovers from garbage and cut
// frames, a suspended bus warns once per run, and a dead line does not spin.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <string>
#include <thread>

#include "tests/harness/harness.h"
#include "tests/system_supervision/supervision_env.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using harness::Image;
using namespace sup_test;

bool overlay_shows(const DeviceRoot& root, int temp, int speed, int timeout_ms) {
  Image img;
  return snapshot_until(
      root, "overlay", &img,
      [&](const Image& got) {
        return diff_pixels(got,
                           expected_offline_overlay(root, got.width, got.height, temp, speed)) == 0;
      },
      timeout_ms);
}

TEST(McuLink, ReadingsChangeOnlyOnValidFrames) {
  DeviceRoot root;
  write_settings(root, Settings{});
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("mcu uart thread run", 10000));
  EXPECT_TRUE(overlay_shows(root, 0, 0, 5000)) << "offline screen before any frame";

  mcu_send(d, {0xAA, 0x55, 0x1E, 0x05, 0xDC, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(d.wait_log("receive temp 30 pump 1500 rpm usb suspend=0 cnt 0\n", 4000)) << d.log();
  EXPECT_TRUE(overlay_shows(root, 30, 1500, 4000));

  // A burst of garbage (no header byte in it) glued to a valid frame.
  std::vector<uint8_t> burst;
  for (int i = 0; i < 37; i++) burst.push_back(static_cast<uint8_t>(i * 7 % 0xA0));
  auto good = mcu_frame(45, 2000, 0);
  burst.insert(burst.end(), good.begin(), good.end());
  mcu_send(d, burst);
  ASSERT_TRUE(d.wait_log("receive temp 45 pump 2000 rpm", 4000)) << d.log();
  EXPECT_EQ(d.count_log("receive temp"), 2);

  // A frame that lost its first byte, then frames as usual: the link finds
  // its step again at once instead of reading every later frame shifted.
  auto cut = mcu_frame(99, 9999, 1);
  std::vector<uint8_t> shifted(cut.begin() + 1, cut.end());
  for (int i = 0; i < 2; i++) {
    auto f = mcu_frame(50, 2200, 0);
    shifted.insert(shifted.end(), f.begin(), f.end());
  }
  mcu_send(d, shifted);
  ASSERT_TRUE(wait_for([&] { return d.count_log("receive temp 50 pump 2200 rpm") == 2; }, 5000))
      << d.log();
  EXPECT_EQ(d.count_log("receive temp"), 4);

  // A short frame followed by silence is dropped after the gap.
  size_t mark = d.log().size();
  mcu_send(d, {0xAA, 0x55, 0x63, 0x27});
  ASSERT_TRUE(d.wait_log("mcu uart read null", 5000, mark)) << d.log();
  mcu_send(d, mcu_frame(51, 2300, 0));
  ASSERT_TRUE(d.wait_log("receive temp 51 pump 2300 rpm", 4000, mark)) << d.log();
  EXPECT_EQ(d.count_log("receive temp"), 5);
  EXPECT_EQ(d.count_log("receive temp 99"), 0);
  EXPECT_TRUE(overlay_shows(root, 51, 2300, 4000));
}

TEST(McuLink, ElevenSuspendFramesWhileConfiguredWarnOncePerRun) {
  DeviceRoot root;
  write_settings(root, Settings{});  // warn_enable 1; the host stays configured
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("usb cnt 1", 10000)) << d.log();
  // 22 frames queue up; the daemon takes one a second.
  std::vector<uint8_t> frames;
  for (int i = 0; i < 22; i++) {
    auto f = mcu_frame(30, 1500, 1);
    frames.insert(frames.end(), f.begin(), f.end());
  }
  mcu_send(d, frames);

  ASSERT_TRUE(d.wait_log("show warn 1", 16000)) << d.log();
  EXPECT_EQ(d.count_log("fail: mcu usb not connect"), 1);
  EXPECT_TRUE(d.wait_log("receive temp 30 pump 1500 rpm usb suspend=1 cnt 10\n"));
  Image video, overlay;
  EXPECT_TRUE(snapshot_until(root, "video", &video, shows_warning_picture, 3000));
  ASSERT_TRUE(harness::snapshot(root, "overlay", &overlay));
  EXPECT_EQ(diff_pixels(overlay, expected_warning_overlay(root, overlay.width, overlay.height,
                                                          "led_usb_timeout_11_0")),
            0);

  // The second eleven of the same run: "fail" again, but no second warning.
  ASSERT_TRUE(wait_for([&] { return d.count_log("fail: mcu usb not connect") == 2; }, 16000))
      << d.log();
  EXPECT_EQ(d.count_log("show warn 1"), 1);
  EXPECT_EQ(d.count_log("show warn 2"), 0);
}

TEST(McuLink, DeadLineIsRetriedWithoutSpinning) {
  DeviceRoot root;
  write_settings(root, Settings{});
  // Quiet panel: no logo, no offline screen, no boot video.
  root.write("/tmp/no_show_logo_and_offline", "");
  int master = -1, slave = -1;
  char name[PATH_MAX];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  struct termios t;
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  close(slave);
  fcntl(master, F_SETFD, FD_CLOEXEC);  // the daemon must not hold it open
  unlink(root.file("/dev/ttyS5").c_str());
  ASSERT_EQ(symlink(name, root.file("/dev/ttyS5").c_str()), 0);

  harness::DaemonOptions opts;
  opts.mcu_line = false;
  Daemon d(root, opts);
  ASSERT_TRUE(d.wait_log("mcu uart thread run", 10000));
  auto f = mcu_frame(33, 1234, 0);
  ASSERT_EQ(write(master, f.data(), f.size()), 16);
  ASSERT_TRUE(d.wait_log("receive temp 33 pump 1234 rpm", 4000)) << d.log();

  // The microcontroller's side goes away: every read now fails at once.
  close(master);
  ASSERT_TRUE(d.wait_log("mcu uart read null", 4000)) << d.log();
  double share = cpu_share(d.pid(), 2000);
  EXPECT_LT(share, kIdleShare) << "the daemon spins on the dead line";
  int failures = d.count_log("mcu uart read null");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LE(d.count_log("mcu uart read null") - failures, 10);
  EXPECT_TRUE(d.running());
}

}  // namespace
