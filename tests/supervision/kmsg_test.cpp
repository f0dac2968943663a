// Kernel log lines: the time-stamp formatting, the verdict on each line and
// the draining of waiting lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/system.h"
#include "supervision/kmsg_watcher.h"
#include "tests/harness/harness.h"

namespace {

std::string fmt(const std::string& line) {
  char* t = format_kmsg_line(line.c_str());
  if (!t) return "<null>";
  std::string s(t);
  free(t);
  return s;
}

TEST(KmsgFormat, SplitsTheStampIntoHoursMinutesSecondsMillis) {
  EXPECT_EQ(fmt("<6>[3725.123456] lcdc: tft underrun recover done"),
            "[01:02:05.123] lcdc: tft underrun recover done");
  // Hours are not reduced modulo 24.
  EXPECT_EQ(fmt("<6>[90000.5] x"), "[25:00:00.500] x");
  // The kernel pads the stamp with blanks.
  EXPECT_EQ(fmt("<4>[    0.000000] boot"), "[00:00:00.000] boot");
  EXPECT_EQ(fmt("<4>[   59.999999] a"), "[00:00:59.999] a");
  EXPECT_EQ(fmt("<4>[ 3599.999999] a"), "[00:59:59.999] a");
  EXPECT_EQ(fmt("<4>[360000.000000] a"), "[100:00:00.000] a");
}

TEST(KmsgFormat, MillisecondsDoNotLoseOneToBinaryFractions) {
  // 1.001, 0.3 and friends are stored a hair below their decimal value.
  EXPECT_EQ(fmt("<6>[1.001000] a"), "[00:00:01.001] a");
  EXPECT_EQ(fmt("<6>[0.300000] a"), "[00:00:00.300] a");
  EXPECT_EQ(fmt("<6>[4.035000] a"), "[00:00:04.035] a");
  EXPECT_EQ(fmt("<6>[8191.007000] a"), "[02:16:31.007] a");
  // Still truncated, not rounded, to the millisecond.
  EXPECT_EQ(fmt("<6>[2.000999] a"), "[00:00:02.000] a");
}

TEST(KmsgFormat, LinesNotInKernelFormatAreCopiedWhole) {
  EXPECT_EQ(fmt("tft underrun recover done"), "tft underrun recover done");
  EXPECT_EQ(fmt("<6>tft underrun recover done"), "<6>tft underrun recover done");
  EXPECT_EQ(fmt("<6>[12.5]"), "<6>[12.5]");                  // no message
  EXPECT_EQ(fmt("<12345678>[1.0] m"), "<12345678>[1.0] m");  // priority too long
  EXPECT_EQ(fmt("<6>[abc] m"), "<6>[abc] m");
  EXPECT_EQ(fmt(""), "");
  // Stamps that cannot be a time since boot.
  EXPECT_EQ(fmt("<6>[-5.0] m"), "<6>[-5.0] m");
  EXPECT_EQ(fmt("<6>[1e300] m"), "<6>[1e300] m");
  EXPECT_EQ(fmt("<6>[nan] m"), "<6>[nan] m");
  EXPECT_EQ(fmt("<6>[inf] m"), "<6>[inf] m");
}

TEST(KmsgFormat, LongMessagesAreCut) {
  std::string msg(900, 'x');
  std::string out = fmt("<6>[1.0] " + msg);
  EXPECT_EQ(out, "[00:00:01.000] " + std::string(511, 'x'));
  std::string raw(1023, 'y');
  EXPECT_EQ(fmt(raw), raw);
}

class KmsgLines : public ::testing::Test {
 protected:
  void SetUp() override { setenv("PANELD_ROOT", root_.path().c_str(), 1); }
  void TearDown() override { unsetenv("PANELD_ROOT"); }
  harness::DeviceRoot root_{false};
};

TEST_F(KmsgLines, UnderrunsAreLoggedAllocationFailureEnds) {
  root_.write("/usr/data/.keep", "");
  EXPECT_EQ(handle_kmsg_line("<6>[3725.123456] tft underrun recover done"), KmsgVerdict::kLogged);
  EXPECT_EQ(handle_kmsg_line("<6>[1.0] something else"), KmsgVerdict::kIgnore);
  // Both texts on one line: only logged, the process goes on.
  EXPECT_EQ(handle_kmsg_line("tft underrun recover done aFailed to alloc"), KmsgVerdict::kLogged);
  EXPECT_EQ(handle_kmsg_line("<3>[5.0] dma: aFailed to alloc 4096"), KmsgVerdict::kExit);
  EXPECT_EQ(handle_kmsg_line("<3>[5.0] Failed to alloc"), KmsgVerdict::kIgnore);
  EXPECT_EQ(root_.read("/usr/data/log"),
            "[01:02:05.123] tft underrun recover done\n"
            "tft underrun recover done aFailed to alloc\n");
}

TEST_F(KmsgLines, AnUnwritableLogDropsTheEntry) {
  // No /usr/data folder: the entry is dropped, nothing fails.
  EXPECT_EQ(handle_kmsg_line("<6>[1.0] tft underrun recover done"), KmsgVerdict::kLogged);
  EXPECT_FALSE(root_.exists("/usr/data/log"));
}

TEST(KmsgDrain, CountsWaitingLinesWithoutBlockingAndRestoresFlags) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const char text[] = "<6>[1.0] a\n<6>[2.0] b\n<6>[3.0] c\n";
  ASSERT_EQ(write(p[1], text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
  FILE* f = fdopen(p[0], "r");
  ASSERT_NE(f, nullptr);
  int before = fcntl(p[0], F_GETFL);
  // The writer stays open: a blocking read would wait for ever.
  EXPECT_EQ(clear_kernel_messages(f), 3);
  EXPECT_EQ(fcntl(p[0], F_GETFL), before);
  EXPECT_EQ(clear_kernel_messages(f), 0);
  // The stream is usable again afterwards.
  ASSERT_EQ(write(p[1], "d\n", 2), 2);
  char line[16];
  ASSERT_NE(fgets(line, sizeof line, f), nullptr);
  EXPECT_STREQ(line, "d\n");
  fclose(f);
  close(p[1]);
}

// Without a kernel log the thread returns after its start-up step, which
// clears the log file only when the clock is within a minute of its origin.
TEST_F(KmsgLines, LogFileIsClearedOnlyAfterAColdStart) {
  root_.write("/sim/clock", "0");
  root_.write("/usr/data/log", "old\n");
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct timeval cold = {30, 0};
  ASSERT_EQ(platform_settimeofday(&cold), 0);
  EXPECT_EQ(handle_data_thread(nullptr), nullptr);
  EXPECT_FALSE(root_.exists("/usr/data/log"));
  EXPECT_NE(root_.read("/sim/shell.log").find("rm /usr/data/log\n"), std::string::npos);

  root_.write("/usr/data/log", "old\n");
  ASSERT_EQ(platform_settimeofday(&now), 0);
  EXPECT_EQ(handle_data_thread(nullptr), nullptr);
  EXPECT_EQ(root_.read("/usr/data/log"), "old\n");
}

}  // namespace
