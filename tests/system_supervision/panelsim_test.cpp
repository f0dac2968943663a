// The simulated peripherals of `panelsim`: the microcontroller feeder of
// `panelsim run` steered by `panelsim mcu`, and `panelsim kmsg`.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "tests/harness/harness.h"
#include "tests/system_supervision/supervision_env.h"

namespace {

using harness::DeviceRoot;
using namespace sup_test;

std::string panelsim() { return harness::build_dir() + "/panelsim"; }

std::string slurp(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "";
  std::string s;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

TEST(PanelsimPeripherals, McuSettingsAndKernelLinesReachTheRunningDaemon) {
  DeviceRoot root;
  write_settings(root, Settings{});
  root.write("/tmp/no_show_logo_and_offline", "");  // a quiet panel
  EXPECT_EQ(root.read("/sim/mcu"), "temp=30\npump=1500\nsuspend=0\n");

  std::string out = root.path() + "/../run.log";
  auto sim = std::make_unique<harness::SimRun>(root);
  EXPECT_TRUE(wait_for(
      [&] { return slurp(out).find("receive temp 30 pump 1500 rpm") != std::string::npos; }, 10000))
      << slurp(out);

  std::string o;
  EXPECT_EQ(harness::run(panelsim() + " mcu " + root.path() + " temp=45 pump=2000", &o), 0);
  EXPECT_EQ(o, "temp=45 pump=2000 suspend=0\n");
  EXPECT_TRUE(wait_for(
      [&] { return slurp(out).find("receive temp 45 pump 2000 rpm") != std::string::npos; }, 4000))
      << slurp(out);

  EXPECT_EQ(harness::run(panelsim() + " kmsg " + root.path() +
                         " '<6>[3725.123456] tft underrun recover done'"),
            0);
  EXPECT_TRUE(wait_for(
      [&] { return root.read("/usr/data/log") == "[01:02:05.123] tft underrun recover done\n"; },
      4000))
      << root.read("/usr/data/log");

  sim.reset();

  // Without a run, /proc/kmsg is a FIFO nobody reads: refused, not hung.
  EXPECT_EQ(harness::run(panelsim() + " kmsg " + root.path() + " 'x' 2>/dev/null"), 1);
}

TEST(PanelsimPeripherals, SettingsAreCheckedAndKernelLinesAppendToAPlainFile) {
  DeviceRoot root;
  std::string ps = panelsim() + " ";
  EXPECT_EQ(harness::run(ps + "mcu " + root.path() + " temp=256 2>/dev/null"), 2);
  EXPECT_EQ(harness::run(ps + "mcu " + root.path() + " pump=-1 2>/dev/null"), 2);
  EXPECT_EQ(harness::run(ps + "mcu " + root.path() + " fan=3 2>/dev/null"), 2);
  EXPECT_EQ(harness::run(ps + "mcu " + root.path() + " suspend=1"), 0);
  EXPECT_EQ(root.read("/sim/mcu"), "temp=30\npump=1500\nsuspend=1\n");

  EXPECT_EQ(harness::run(ps + "kmsg " + root.path() + " 'first'"), 0);
  EXPECT_EQ(harness::run(ps + "kmsg " + root.path() + " 'second'"), 0);
  EXPECT_EQ(root.read("/proc/kmsg"), "first\nsecond\n");
}

}  // namespace
