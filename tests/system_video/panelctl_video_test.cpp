// panelctl's video subcommands against the daemon under `panelsim run`:
// streams of one and two parts, a second stream with a new stamp (whose
// first block the device drops), and the query and stop subcommands.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/harness/harness.h"
#include "tests/system_video/clips.h"

namespace {

using harness::DeviceRoot;

void spill(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

// panelctl with a patient time-out; its stdout (stderr dropped).
std::string ctl(const harness::SimRun& sim, const std::string& args, int* status) {
  std::string err;
  return sim.ctl("--timeout 10000 " + args, status, &err);
}

TEST(PanelctlVideo, StreamsQueriesAndStops) {
  auto a0 = clips::encode("ctl_a0", 0, 1408, 5), a1 = clips::encode("ctl_a1", 1408, 880, 5);
  auto b = clips::encode("ctl_b", 0, clips::kHeight, 4);
  ASSERT_FALSE(a0.empty() || a1.empty() || b.empty()) << "ffmpeg with libx264 is needed";
  auto b_luma = clips::decode_luma(b, clips::kWidth, clips::kHeight);
  ASSERT_EQ(b_luma.size(), 4u);
  std::string d = clips::dir();
  spill(d + "/ctl_a0.bin", a0);
  spill(d + "/ctl_a1.bin", a1);
  spill(d + "/ctl_b.bin", b);

  DeviceRoot root;
  clips::make_ready(root);
  root.write("/usr/data/loop.h264", std::string(b.begin(), b.end()));
  harness::SimRun sim(root);
  int st;
  std::string out = ctl(sim, "nop", &st);
  ASSERT_EQ(st, 0) << out;

  out =
      ctl(sim, "--json stream " + d + "/ctl_a0.bin --parts 2 " + d + "/ctl_a1.bin --stamp 3", &st);
  ASSERT_EQ(st, 0) << out;
  EXPECT_NE(out.find("\"frames\":5,\"blocks\":1"), std::string::npos) << out;
  EXPECT_EQ(ctl(sim, "frame", &st), "1\n");  // the last frame is numbered 1

  // A new stamp: the device drops the block that carries it; the stream
  // still shows in full.
  out = ctl(sim, "stream " + d + "/ctl_b.bin --stamp 4", &st);
  ASSERT_EQ(st, 0) << out;
  EXPECT_NE(out.find("4 frames in 1 blocks"), std::string::npos) << out;
  EXPECT_EQ(clips::compare_video(root, b_luma.back()), "");
  EXPECT_EQ(ctl(sim, "status", &st), "blocks 0 0 0, png queue 0\n");

  EXPECT_EQ(ctl(sim, "play /usr/data/loop.h264", &st), "play: ok\n");
  EXPECT_TRUE(clips::poll([&] { return ctl(sim, "playing", &st) == "playing\n"; }, 3000));
  EXPECT_EQ(ctl(sim, "play-stop", &st), "play-stop: ok\n");
  EXPECT_TRUE(clips::poll([&] { return ctl(sim, "playing", &st) == "not playing\n"; }, 3000));
  EXPECT_EQ(ctl(sim, "video-stop", &st), "video-stop: ok\n");
  EXPECT_EQ(ctl(sim, "framerate 25", &st), "framerate: ok\n");
  ctl(sim, "framerate 0", &st);
  EXPECT_EQ(st, 2);
}

}  // namespace
