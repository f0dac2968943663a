// panelctl against the daemon under `panelsim run`, as a person uses them.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "tests/harness/harness.h"

namespace {

using harness::DeviceRoot;
using harness::SimRun;

TEST(Panelctl, TalksToTheDaemonThroughPanelsimRun) {
  DeviceRoot root;
  SimRun sim(root);
  int st;
  const std::pair<const char*, const char*> cases[] = {
      {"--timeout 10000 identity", "pavrotek5_0001_2026091101\n"},
      {"--json identity", "{\"identity\":\"pavrotek5_0001_2026091101\"}\n"},
      {"constant", "4096\n"},
  };
  for (auto [args, want] : cases) {
    EXPECT_EQ(sim.ctl(args, &st), want);
    EXPECT_EQ(st, 0) << args;
  }
  // A raw command prints the reply's non-zero rows.
  std::string out = sim.ctl("raw 17", &st);
  EXPECT_EQ(st, 0);
  EXPECT_NE(out.find("000: 11 c8"), std::string::npos) << out;
  EXPECT_NE(out.find("00 10 00 00"), std::string::npos) << out;
  out = sim.ctl("config 70 0 0 0 0 1", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_EQ(root.read("/usr/data/app.cfg")[0], 70);
}

// The command lines of both tools: help everywhere, one-line errors that
// name the bad argument (exit status 2), the reason of a failed read or of
// a missing reply, and JSON errors with --json. A pty that nobody answers
// stands for the device.
TEST(ToolCommandLines, HelpAndErrorsNameWhatTheyMean) {
  int master, slave;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  const std::string ctl = harness::build_dir() + "/panelctl --timeout 300 --device " + name + " ";
  const std::string sim = harness::build_dir() + "/panelsim ";
  struct Case {
    std::string cmd;
    int status;
    std::vector<std::string> says;
  } cases[] = {
      {ctl + "--help",
       0,
       {"upload LOCAL DEVPATH [--chunk BYTES]", "put LOCAL DEVPATH", "ls DEVPATH", "rm DEVPATH",
        "size DEVPATH", "stream FILE... [--stamp T]", "play FILE...", "brightness LEVEL"}},
      {ctl + "help", 0, {"upload LOCAL DEVPATH [--chunk BYTES]", "takeover"}},
      {ctl + "help upload", 0, {"Usage: panelctl upload LOCAL DEVPATH", "--chunk"}},
      {ctl + "help brightness", 0, {"0..100"}},
      {ctl + "brightness --help", 0, {"Usage: panelctl brightness LEVEL"}},
      {ctl + "help nosuch", 2, {"unknown subcommand nosuch"}},
      {ctl + "nosuch", 2, {"unknown subcommand nosuch"}},
      {ctl + "brightness 101", 2, {"brightness: LEVEL", "101"}},
      {ctl + "rotation 4", 2, {"rotation: CODE"}},
      {ctl + "png x.png 10", 2, {"png: Y is required"}},
      {ctl + "raw 17 0x100", 2, {"raw: BYTE", "0x100"}},
      {ctl + "jpeg nothere.jpg", 1, {"cannot read nothere.jpg: No such file or directory"}},
      {ctl + "stream nothere.h264", 1, {"cannot read nothere.h264: No such file or directory"}},
      {ctl + "identity", 1, {"no reply"}},
      {harness::build_dir() + "/panelctl --device /nonexistent identity", 1, {"cannot open"}},
      {sim + "--help", 0, {"snapshot ROOT [OUT] [--layer L] [--state]", "view ROOT [--port N]"}},
      {sim + "help", 0, {"hangup ROOT", "view ROOT [--port N]"}},
      {sim + "help mcu", 0, {"Usage: panelsim mcu ROOT [SETTING...]"}},
      {sim + "usb /tmp sideways", 2, {"usb: STATE", "sideways"}},
      {sim + "snapshot /tmp x.png --layer top", 2, {"--layer", "top"}},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(harness::run(c.cmd + " 2>&1", &out), c.status) << c.cmd << "\n" << out;
    for (const std::string& s : c.says)
      EXPECT_NE(out.find(s), std::string::npos) << c.cmd << "\n" << out;
    EXPECT_TRUE(c.status == 0 || std::count(out.begin(), out.end(), '\n') == 1) << out;
  }
  // With --json, failures are one JSON object on stdout.
  std::string out;
  EXPECT_EQ(harness::run(ctl + "--json brightness 300 2>/dev/null", &out), 2);
  EXPECT_EQ(out.rfind("{\"error\":\"brightness: LEVEL", 0), 0u) << out;
  EXPECT_EQ(harness::run(ctl + "--json jpeg nothere.jpg 2>/dev/null", &out), 1);
  EXPECT_EQ(out,
            "{\"error\":\"cannot read nothere.jpg: No such file or directory\",\"status\":1}\n");
  EXPECT_EQ(harness::run(ctl + "--json identity 2>/dev/null", &out), 1);
  EXPECT_EQ(out.rfind("{\"error\":\"command 10: ", 0), 0u) << out;
  close(master);
  close(slave);
}

}  // namespace
