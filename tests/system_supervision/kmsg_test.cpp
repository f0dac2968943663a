// The kernel log watcher in the real daemon, and the start-up flag files
// that tie its exit to the next start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/harness/harness.h"
#include "tests/system_supervision/supervision_env.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using hostlink::Packet;
using namespace sup_test;

constexpr const char* kMarker = "/tmp/no_show_logo_and_offline";

TEST(KernelLog, UnderrunRecoveriesAreAppendedToTheLogFile) {
  DeviceRoot root;
  write_settings(root, Settings{});
  root.write("/usr/data/log", "[00:00:01.000] from an earlier run\n");
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("startup_time", 10000));
  d.kmsg("<6>[   12.500000] usb 1-1: new device");
  d.kmsg("<6>[ 3725.123456] lcdc: tft underrun recover done");
  d.kmsg("tft underrun recover done aFailed to alloc");  // only logged
  d.kmsg("<4>[90000.5] tft underrun recover done again");
  const std::string want =
      "[00:00:01.000] from an earlier run\n"
      "[01:02:05.123] lcdc: tft underrun recover done\n"
      "tft underrun recover done aFailed to alloc\n"
      "[25:00:00.500] tft underrun recover done again\n";
  ASSERT_TRUE(wait_for([&] { return root.read("/usr/data/log") == want; }, 4000))
      << root.read("/usr/data/log");
  EXPECT_TRUE(d.wait_log("匹配到: [01:02:05.123] lcdc: tft underrun recover done\n"));
  EXPECT_TRUE(d.running());
  EXPECT_EQ(root.read("/sim/shell.log").find("rm /usr/data/log"), std::string::npos);
}

TEST(KernelLog, FailedAllocationEndsTheProcessAndTheNextStartSkipsLogoAndOffline) {
  DeviceRoot root;
  write_settings(root, Settings{});
  {
    Daemon d(root);
    ASSERT_TRUE(d.wait_log("startup_time", 10000));
    ASSERT_TRUE(d.wait_log("playXyzAnnimation", 1000));
    d.kmsg("<3>[  100.000000] dma: aFailed to alloc 8 pages");
    d.kmsg("<6>[  100.100000] waiting line");
    EXPECT_EQ(d.wait_exit(5000), 1) << d.log();
    EXPECT_TRUE(root.exists(kMarker));
    EXPECT_TRUE(d.wait_log("success capture aFailed to alloc, exit", 10));
    EXPECT_TRUE(d.wait_log("need reboot app\n", 10));
  }
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("time stamp", 10000)) << d.log();
  EXPECT_FALSE(root.exists(kMarker));
  EXPECT_EQ(d.count_log("playXyzAnnimation"), 0);
  EXPECT_EQ(d.count_log("play_local_h264 name: /usr/data/boot.h264"), 0);
  Packet r;
  ASSERT_TRUE(d.command(52, {}, &r));
  EXPECT_EQ(r[9], 0xFF) << "offline screen started";
}

TEST(KernelLog, BothFlagFilesAtStartSuppressLogoOfflineAndBootVideo) {
  DeviceRoot root;
  write_settings(root, Settings{});
  root.write(kMarker, "");
  root.write("/tmp/no_show_offline", "");
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("time stamp", 10000)) << d.log();
  EXPECT_FALSE(root.exists(kMarker));
  EXPECT_FALSE(root.exists("/tmp/no_show_offline"));
  EXPECT_EQ(d.count_log("playXyzAnnimation"), 0);
  EXPECT_EQ(d.count_log("play_local_h264"), 0);
  Packet r;
  ASSERT_TRUE(d.command(52, {}, &r));
  EXPECT_EQ(r[8], 0xFF);
  EXPECT_EQ(r[9], 0xFF);
}

// Quiet daemon: no logo, no offline screen, no boot video.
void quiet(const DeviceRoot& root) {
  write_settings(root, Settings{});
  root.write(kMarker, "");
}

TEST(KernelLog, PlainFileAtItsEndIsFollowedWithoutSpinning) {
  DeviceRoot root;
  quiet(root);
  root.write("/proc/kmsg", "<6>[1.000000] tft underrun recover done\n");
  harness::DaemonOptions opts;
  opts.kmsg_fifo = false;
  Daemon d(root, opts);
  ASSERT_TRUE(wait_for([&] { return !root.read("/usr/data/log").empty(); }, 5000)) << d.log();
  EXPECT_LT(cpu_share(d.pid(), 2000), kIdleShare) << "the watcher spins at the end of the file";
  // Lines appended later are still read.
  int fd = open(root.file("/proc/kmsg").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  std::string more = "<6>[2.000000] tft underrun recover done\n";
  ASSERT_EQ(write(fd, more.data(), more.size()), static_cast<ssize_t>(more.size()));
  close(fd);
  EXPECT_TRUE(wait_for(
      [&] {
        return root.read("/usr/data/log") ==
               "[00:00:01.000] tft underrun recover done\n"
               "[00:00:02.000] tft underrun recover done\n";
      },
      3000))
      << root.read("/usr/data/log");
}

TEST(KernelLog, FifoWithoutWriterIsWaitedOutWithoutSpinning) {
  DeviceRoot root;
  quiet(root);
  std::string fifo = root.file("/proc/kmsg");
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  int w = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(w, 0);
  harness::DaemonOptions opts;
  opts.kmsg_fifo = false;
  Daemon d(root, opts);
  std::string line = "<6>[1.000000] tft underrun recover done\n";
  ASSERT_EQ(write(w, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  ASSERT_TRUE(wait_for([&] { return !root.read("/usr/data/log").empty(); }, 5000)) << d.log();
  close(w);  // no writer left: every read now ends at once
  EXPECT_LT(cpu_share(d.pid(), 2000), kIdleShare) << "the watcher spins on a FIFO without writer";

  w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(w, 0);
  line = "<6>[2.000000] tft underrun recover done\n";
  ASSERT_EQ(write(w, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  EXPECT_TRUE(wait_for(
      [&] {
        return root.read("/usr/data/log") ==
               "[00:00:01.000] tft underrun recover done\n"
               "[00:00:02.000] tft underrun recover done\n";
      },
      3000))
      << root.read("/usr/data/log");
  close(w);
}

}  // namespace
