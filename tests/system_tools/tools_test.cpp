// panelctl against the daemon under `panelsim run`, as a person uses them.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/harness/harness.h"

namespace {

using harness::DeviceRoot;

using harness::SimRun;

TEST(Panelctl, TalksToTheDaemonThroughPanelsimRun) {
  DeviceRoot root;
  SimRun sim(root);
  ASSERT_TRUE(root.exists("/host/ttyGS0"));
  int st;
  std::string out = sim.ctl("--timeout 10000 identity", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_EQ(out, "pavrotek5_0001_2026091101\n");

  out = sim.ctl("--json identity", &st);
  EXPECT_EQ(out, "{\"identity\":\"pavrotek5_0001_2026091101\"}\n");

  out = sim.ctl("constant", &st);
  EXPECT_EQ(out, "4096\n");

  // A raw command prints the reply's non-zero rows.
  out = sim.ctl("raw 17", &st);
  EXPECT_EQ(st, 0);
  EXPECT_NE(out.find("000: 11 c8"), std::string::npos) << out;
  EXPECT_NE(out.find("00 10 00 00"), std::string::npos) << out;

  out = sim.ctl("config 70 0 0 0 0 1", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_EQ(root.read("/usr/data/app.cfg")[0], 70);
}

TEST(Panelctl, NoReplyGivesAReasonAndAFailureStatus) {
  int master, slave;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  std::string out;
  int st = harness::run(
      harness::build_dir() + "/panelctl --timeout 300 --device " + name + " identity 2>&1", &out);
  close(master);
  close(slave);
  EXPECT_NE(st, 0);
  EXPECT_NE(out.find("no reply"), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;

  st = harness::run(harness::build_dir() + "/panelctl --device /nonexistent identity 2>&1", &out);
  EXPECT_NE(st, 0);
  EXPECT_NE(out.find("cannot open"), std::string::npos);
}

}  // namespace
