// The simulated peripherals: `panelsim mcu` steers the microcontroller feeder
// of `panelsim run`, `panelsim kmsg` writes kernel log lines.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/system_supervision/supervision_env.h"

namespace {

using namespace sup_test;

TEST(PanelsimPeripherals, McuSettingsAndKernelLinesReachTheRunningDaemon) {
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

  auto sim = std::make_unique<harness::SimRun>(root);
  auto logged = [&](const std::string& text) {
    return harness::wait_until([&] { return sim->log().find(text) != std::string::npos; }, 10000);
  };
  EXPECT_TRUE(logged("receive temp 30 pump 1500 rpm")) << sim->log();
  std::string out;
  EXPECT_EQ(harness::run(ps + "mcu " + root.path() + " temp=45 pump=2000", &out), 0);
  EXPECT_EQ(out, "temp=45 pump=2000 suspend=0\n");
  EXPECT_TRUE(logged("receive temp 45 pump 2000 rpm")) << sim->log();
  EXPECT_EQ(harness::run(ps + "kmsg " + root.path() + " '<6>[5.5] tft underrun recover done'"), 0);
  EXPECT_TRUE(logged("匹配到: [00:00:05.500] tft underrun recover done\n")) << sim->log();
  sim.reset();
  // Now a FIFO that nobody reads: refused, not hung.
  EXPECT_EQ(harness::run(ps + "kmsg " + root.path() + " x 2>/dev/null"), 1);
}

}  // namespace
