// The kernel log watcher in the real daemon, the start-up flag files that
// tie its exit to the next start, and inputs that end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/system_supervision/supervision_env.h"

namespace {

using harness::Daemon;
using hostlink::Packet;
using namespace sup_test;

TEST(KernelLog, UnderrunRecoveriesAreAppendedToTheLogFile) {
  const struct {
    const char *line, *logged;  // nullptr: not logged
  } rows[] = {
      {"<6>[   12.500000] usb 1-1: new device", nullptr},
      {"<6>[ 3725.123456] lcdc: tft underrun recover done",
       "[01:02:05.123] lcdc: tft underrun recover done"},
      {"<4>[90000.5] tft underrun recover done", "[25:00:00.500] tft underrun recover done"},
      // A binary fraction a hair below 1.001 still gives millisecond 1.
      {"<6>[1.001000] tft underrun recover done", "[00:00:01.001] tft underrun recover done"},
      {"tft underrun recover done", "tft underrun recover done"},  // not kernel format: verbatim
      {"tft underrun recover done aFailed to alloc", "tft underrun recover done aFailed to alloc"},
  };
  DeviceRoot root;
  write_settings(root);
  root.write("/usr/data/log", "[00:00:01.000] from an earlier run\n");
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("startup_time", 10000));
  std::string want = "[00:00:01.000] from an earlier run\n";
  for (const auto& r : rows) {
    d.kmsg(r.line);
    if (r.logged) want += std::string(r.logged) + "\n";
  }
  ASSERT_TRUE(harness::wait_until([&] { return root.read("/usr/data/log") == want; }, 4000))
      << root.read("/usr/data/log");
  EXPECT_TRUE(d.wait_log("匹配到: [01:02:05.123] lcdc: tft underrun recover done\n"));
  EXPECT_TRUE(d.running());  // both texts on one line: only logged
}

TEST(KernelLog, FailedAllocationEndsTheProcessAndBothFlagFilesQuietTheNextStart) {
  DeviceRoot root;
  write_settings(root);
  {
    Daemon d(root);
    ASSERT_TRUE(d.wait_log("playXyzAnnimation", 10000));
    d.kmsg("<3>[  100.000000] dma: aFailed to alloc 8 pages");
    d.kmsg("<6>[  100.100000] waiting line");  // drained without blocking
    EXPECT_EQ(d.wait_exit(5000), 1) << d.log();
    EXPECT_TRUE(root.exists(kMarker));
    EXPECT_TRUE(d.wait_log("success capture aFailed to alloc, exit", 10));
    EXPECT_TRUE(d.wait_log("need reboot app\n", 10));
  }
  // The exit command's flag too; alone it would still let the logo show.
  root.write("/tmp/no_show_offline", "");
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("time stamp", 10000)) << d.log();
  EXPECT_FALSE(root.exists(kMarker));
  EXPECT_FALSE(root.exists("/tmp/no_show_offline"));
  EXPECT_EQ(d.count_log("playXyzAnnimation"), 0);
  EXPECT_EQ(d.count_log("play_local_h264"), 0);
  Packet r;  // 0xFF: neither the clock nor the offline screen was running
  ASSERT_TRUE(d.command(52, {}, &r));
  EXPECT_EQ(r[8], 0xFF);
  EXPECT_EQ(r[9], 0xFF);
}

// Reads that fail at once, over and over, must not make the daemon spin:
// the kernel log at the end of a plain file, a microcontroller line whose
// other end has closed.
TEST(DeadInputs, AreRetriedWithoutSpinning) {
  DeviceRoot root;  // its /proc/kmsg: an empty plain file
  write_settings(root);
  root.write(kMarker, "");  // a quiet daemon: no logo, offline screen or video
  Daemon d(root, /*kmsg_fifo=*/false);
  ASSERT_TRUE(d.wait_log("mcu uart thread run", 10000));
  int null_fd = open("/dev/null", O_RDONLY);
  dup2(null_fd, d.mcu_fd());  // closes the microcontroller's end
  close(null_fd);
  ASSERT_TRUE(d.wait_log("mcu uart read null", 4000)) << d.log();
  EXPECT_LT(harness::cpu_share(d.pid(), 2000), kIdleShare) << d.log();
  root.write("/proc/kmsg", "<6>[1.000000] tft underrun recover done\n");  // read from 0 on
  EXPECT_TRUE(harness::wait_until(
      [&] { return root.read("/usr/data/log") == "[00:00:01.000] tft underrun recover done\n"; },
      3000))
      << root.read("/usr/data/log");
  EXPECT_TRUE(d.running());
}

}  // namespace
