// The simulated peripherals: `panelsim mcu` steers the microcontroller feeder
// of `panelsim run`, `panelsim kmsg` writes kernel log lines.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "tests/system_supervision/supervision_env.h"

namespace {

using namespace sup_test;

// `panelsim mcu` and `kmsg` reach the running daemon; a hang-up of the host
// line under it and a silent microcontroller, as the soak injects them: the
// daemon reopens its line and answers; frames stop while silent and come
// back after.
TEST(PanelsimPeripherals, McuKernelLinesHangupAndSilenceReachTheRunningDaemon) {
  DeviceRoot root;
  write_settings(root);
  root.write(kMarker, "");  // a quiet panel
  const std::string ps = harness::build_dir() + "/panelsim ";
  for (const char* bad : {"temp=256", "pump=-1", "fan=3"})
    EXPECT_EQ(harness::run(ps + "mcu " + root.path() + " " + bad + " 2>/dev/null"), 2) << bad;
  EXPECT_EQ(root.read("/sim/mcu"), "temp=30\npump=1500\nsuspend=0\n");
  // Without a run the kernel log is a plain file: lines are appended.
  EXPECT_EQ(harness::run(ps + "kmsg " + root.path() + " first"), 0);
  EXPECT_EQ(root.read("/proc/kmsg"), "first\n");
  EXPECT_EQ(harness::run(ps + "hangup " + root.path() + " 2>/dev/null"), 1);

  auto sim = std::make_unique<harness::SimRun>(root);
  auto count = [&](const std::string& text) { return harness::count(sim->log(), text); };
  auto logged = [&](const std::string& text) {
    return harness::wait_until([&] { return count(text) > 0; }, 20000);
  };
  EXPECT_TRUE(logged("receive temp 30 pump 1500 rpm")) << sim->log();
  std::string out;
  EXPECT_EQ(harness::run(ps + "mcu " + root.path() + " temp=45 pump=2000", &out), 0);
  EXPECT_EQ(out, "temp=45 pump=2000 suspend=0\n");
  EXPECT_TRUE(logged("receive temp 45 pump 2000 rpm")) << sim->log();
  EXPECT_EQ(harness::run(ps + "kmsg " + root.path() + " '<6>[5.5] tft underrun recover done'"), 0);
  EXPECT_TRUE(logged("匹配到: [00:00:05.500] tft underrun recover done\n")) << sim->log();

  EXPECT_EQ(harness::run(ps + "hangup " + root.path()), 0);
  EXPECT_TRUE(harness::wait_until(
      [&] { return count("uart_read null") >= 1 && count("init_tty done!") == 2; }, 20000))
      << sim->log();
  int status = -1;
  EXPECT_NE(sim->ctl("identity", &status).find("_0001_"), std::string::npos);
  EXPECT_EQ(status, 0);

  EXPECT_EQ(harness::run(ps + "mcu " + root.path() + " silent=1", &out), 0);
  EXPECT_EQ(out, "temp=45 pump=2000 suspend=0 silent=1\n");
  // Frames already queued may still be read; then none comes for 3 s (the
  // feeder sends one a second), which never happens while it sends.
  int seen = -1;
  auto last_change = std::chrono::steady_clock::now();
  EXPECT_TRUE(harness::wait_until(
      [&] {
        const int n = count("receive temp");
        const auto now = std::chrono::steady_clock::now();
        if (n != seen) seen = n, last_change = now;
        return now - last_change > std::chrono::milliseconds(harness::scaled(3000));
      },
      60000, 100))
      << sim->log();
  EXPECT_EQ(harness::run(ps + "mcu " + root.path() + " silent=0 temp=41", &out), 0);
  EXPECT_EQ(root.read("/sim/mcu"), "temp=41\npump=2000\nsuspend=0\n");
  EXPECT_TRUE(logged("receive temp 41")) << sim->log();
  sim.reset();
  // Now a FIFO that nobody reads: refused, not hung.
  EXPECT_EQ(harness::run(ps + "kmsg " + root.path() + " x 2>/dev/null"), 1);
}

}  // namespace
