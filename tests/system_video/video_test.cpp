// Host video through the real daemon: clips made by an independent encoder
// are streamed in blocks over the host line, and the video plane's luma must
// equal an independent decode of the same frame, for one, two and three
// parts, unrotated and turned by 180 degrees. Also the frame counter, the
// release on stop and on a new stream, refused blocks, damaged data and a
// device without reserved memory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/harness/harness.h"
#include "tests/system_video/clips.h"

namespace {

using clips::kHeight;
using clips::kWidth;
using harness::Daemon;
using harness::DeviceRoot;
using hostlink::Packet;

struct Stream {
  std::vector<std::vector<uint8_t>> parts;
  std::vector<uint8_t> last_luma;  // the whole last picture, kWidth x kHeight
  int frames = 0;
};

// Encodes a stream cut into bands at `tops` and its expected last picture.
Stream make_stream(const std::string& name, const std::vector<int>& tops, int frames,
                   bool intra = false) {
  Stream s;
  s.frames = frames;
  s.last_luma.assign(size_t(kWidth) * kHeight, 0);
  for (size_t i = 0; i < tops.size(); ++i) {
    int top = tops[i], h = (i + 1 < tops.size() ? tops[i + 1] : kHeight) - top;
    s.parts.push_back(clips::encode(name + std::to_string(i), top, h, frames, intra));
    auto luma = clips::decode_luma(s.parts.back(), kWidth, h);
    if (luma.size() != size_t(frames)) return Stream{};
    std::copy(luma.back().begin(), luma.back().end(), s.last_luma.begin() + size_t(top) * kWidth);
  }
  return s;
}

std::vector<uint8_t> rotated(const std::vector<uint8_t>& luma) {
  return std::vector<uint8_t>(luma.rbegin(), luma.rend());
}

class Video : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    one_ = new Stream(make_stream("one", {0}, 6));
    two_ = new Stream(make_stream("two", {0, 1408}, 6));
    three_ = new Stream(make_stream("three", {0, 768, 1536}, 6));
  }
  static void TearDownTestSuite() {
    delete one_;
    delete two_;
    delete three_;
  }
  void SetUp() override {
    ASSERT_FALSE(one_->parts.empty() || two_->parts.empty() || three_->parts.empty())
        << "ffmpeg with libx264 is needed";
    clips::make_ready(root_);
    d_ = std::make_unique<Daemon>(root_);
    clips::end_test_mode(*d_);
  }

  // Streams s in blocks of two pictures with flag 0: every picture but the
  // last is shown (its final unit waits for a start code); the empty last
  // blocks then release the tail, and that frame is numbered 1.
  void play(const Stream& s, uint32_t stamp = 1) {
    ASSERT_TRUE(clips::stream(*d_, s.parts, 2, stamp)) << d_->log();
    ASSERT_TRUE(clips::wait_frame(*d_, s.frames - 1)) << clips::frame_counter(*d_) << d_->log();
    ASSERT_TRUE(clips::finish(*d_, static_cast<int>(s.parts.size()), stamp));
    ASSERT_TRUE(clips::wait_frame(*d_, 1)) << d_->log();
  }

  static Stream *one_, *two_, *three_;
  DeviceRoot root_;
  std::unique_ptr<Daemon> d_;
};
Stream *Video::one_, *Video::two_, *Video::three_;

TEST_F(Video, OnePartStreamShowsTheDecodedPicture) {
  play(*one_);
  EXPECT_EQ(clips::compare_video(root_, one_->last_luma), "");
  std::string st = harness::snapshot_state(root_);
  EXPECT_NE(st.find("\"pitch\":1088"), std::string::npos) << st;
}

TEST_F(Video, TwoAndThreePartStreamsAreAssembledAtTheirRows) {
  play(*two_);
  EXPECT_EQ(clips::compare_video(root_, two_->last_luma), "");
  // A new stream with more parts, same stamp: the decoder goes on.
  play(*three_);
  EXPECT_EQ(clips::compare_video(root_, three_->last_luma), "");
}

TEST_F(Video, RotationTurnsTheWholeAssembledPicture) {
  Packet r;
  ASSERT_TRUE(d_->command(125, {60, 0, 0, 2, 0, 0}, &r));  // local_rotation 2
  play(*one_);
  EXPECT_EQ(clips::compare_video(root_, rotated(one_->last_luma)), "");
  play(*three_);
  EXPECT_EQ(clips::compare_video(root_, rotated(three_->last_luma)), "");
}

TEST_F(Video, PartZeroAloneDoesNotWakeTheDecoder) {
  auto starts = clips::picture_starts(two_->parts[0]);
  ASSERT_GE(starts.size(), 3u);
  const auto& p0 = two_->parts[0];
  ASSERT_EQ(clips::send_block(*d_, 0, 2, p0.data(), starts[2], false), 1);
  EXPECT_FALSE(d_->wait_log("h264 thread cut version", 300)) << "woken by part 0 alone";
  const auto& p1 = two_->parts[1];
  auto starts1 = clips::picture_starts(p1);
  ASSERT_EQ(clips::send_block(*d_, 1, 2, p1.data(), starts1[2], false), 1);
  EXPECT_TRUE(d_->wait_log("h264 thread cut version"));
  EXPECT_TRUE(clips::wait_frame(*d_, 1));
}

// The release lines, in order, starting at `from` in the log.
void expect_release_lines(const std::string& log, size_t from) {
  const char* lines[] = {"------------------------------------\n",
                         "stop h264, release resource---------\n",
                         "send mirror thread stop signal start\n",
                         "break mirror thread\n",
                         "mirror thread end\n",
                         "send mirror thread stop signal end\n",
                         "free rmem done\n",
                         "close decoder and clean nalu done\n",
                         "clear h264 queue done\n",
                         "del message queue done\n"};
  size_t at = from;
  for (const char* l : lines) {
    size_t next = log.find(l, at);
    ASSERT_NE(next, std::string::npos) << "missing or out of order: " << l << log.substr(from);
    at = next;
  }
}

TEST_F(Video, StopWhileDecodingReleasesInOrderAndForgetsTheStamp) {
  Packet r;
  ASSERT_TRUE(d_->command(15, {10}, &r));  // 100 ms per frame
  ASSERT_TRUE(clips::stream(*d_, one_->parts, 6, 5));
  ASSERT_TRUE(clips::poll([&] { return clips::frame_counter(*d_) >= 2; }, 5000));
  size_t from = d_->log().size();
  ASSERT_TRUE(d_->command(123, {}, &r));
  ASSERT_TRUE(d_->wait_log("del message queue done", 5000, from)) << d_->log().substr(from);
  std::string log = d_->log();
  size_t stop = log.find("stop_local_h264 ", from);
  size_t mark = log.find("h264 start_mark = 0, stop play h264 ", from);
  ASSERT_NE(stop, std::string::npos);
  ASSERT_NE(mark, std::string::npos);
  EXPECT_LT(stop, mark);
  expect_release_lines(log, mark);
  EXPECT_LT(clips::frame_counter(*d_), 6);  // no further unit was read
  ASSERT_TRUE(d_->command(122, {}, &r));
  EXPECT_EQ(r[8] + r[9] + r[10], 0);

  // The stamp was forgotten: another stamp opens without a forced release.
  from = d_->log().size();
  ASSERT_TRUE(d_->command(15, {30}, &r));
  play(*one_, 6);
  EXPECT_EQ(d_->log().find("force release h264 resource", from), std::string::npos);
  EXPECT_EQ(clips::compare_video(root_, one_->last_luma), "");
}

TEST_F(Video, NewStampDropsItsBlockAndReopens) {
  play(*one_, 7);
  size_t from = d_->log().size();
  auto& p = one_->parts[0];
  ASSERT_EQ(clips::send_block(*d_, 0, 1, p.data(), p.size(), false, 8), 1);
  ASSERT_TRUE(d_->wait_log("del message queue done", 5000, from)) << d_->log().substr(from);
  std::string log = d_->log();
  size_t force = log.find("force release h264 resource", from);
  size_t mark = log.find("h264 start_mark = 0, stop play h264 ", from);
  ASSERT_NE(force, std::string::npos);
  ASSERT_LT(force, mark);
  expect_release_lines(log, mark);
  // The block that carried the stamp went with the others; nothing opens.
  Packet r;
  ASSERT_TRUE(d_->command(122, {}, &r));
  EXPECT_EQ(r[8], 0);
  EXPECT_EQ(log.find("h264 thread cut version", force), std::string::npos);
  // The next blocks with the new stamp play from a fresh counter.
  play(*one_, 8);
  EXPECT_NE(d_->log().find("h264 thread cut version", force), std::string::npos);
  EXPECT_EQ(d_->count_log("force release h264 resource"), 1);
  EXPECT_EQ(clips::compare_video(root_, one_->last_luma), "");
}

TEST_F(Video, BlockAfterALongPauseCleansTheNalBuffersFirst) {
  play(*one_);
  // An hour later on the device's clock.
  time_t later = time(nullptr) + 3600;
  struct tm t;
  gmtime_r(&later, &t);
  int year = t.tm_year + 1900;
  Packet r;
  ASSERT_TRUE(
      d_->command(51,
                  {uint8_t(year >> 8), uint8_t(year), uint8_t(t.tm_mon + 1), uint8_t(t.tm_mday),
                   uint8_t(t.tm_hour), uint8_t(t.tm_min), uint8_t(t.tm_sec), 2},
                  &r));
  size_t from = d_->log().size();
  play(*one_);
  std::string log = d_->log();
  size_t stall = log.find("get now s ", from);
  ASSERT_NE(stall, std::string::npos) << log.substr(from);
  EXPECT_NE(log.find("timeout, release h264 decoder\n", stall), std::string::npos);
  EXPECT_EQ(clips::compare_video(root_, one_->last_luma), "");
}

TEST_F(Video, BadBlocksAreRefusedAndTheLinkStaysInStep) {
  Packet r;
  // Longer than a slot: consumed, refused.
  std::vector<uint8_t> big(1048577, 0x11);
  EXPECT_EQ(clips::send_block(*d_, 0, 1, big.data(), big.size(), false), 0);
  // Part counts outside 1..3.
  auto& p = two_->parts[0];
  EXPECT_EQ(clips::send_block(*d_, 0, 0, p.data(), 100, false), 0);
  EXPECT_EQ(clips::send_block(*d_, 0, 4, p.data(), 100, false), 0);
  ASSERT_TRUE(d_->command(122, {}, &r));
  EXPECT_EQ(r[8], 0);
  // Part 0 of a two-part stream alone: nothing consumes, the ring fills to
  // five and the sixth block is refused without overwriting.
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(clips::send_block(*d_, 0, 2, p.data(), 100, false), i);
  EXPECT_EQ(clips::send_block(*d_, 0, 2, p.data(), 100, false), 0);
  ASSERT_TRUE(d_->command(122, {}, &r));
  EXPECT_EQ(r[8], 5);
  EXPECT_EQ(r[9], 0);
  ASSERT_TRUE(d_->command(10, {}, &r));  // still answered as usual
  EXPECT_EQ(r[0], 10);
  EXPECT_EQ(r[1], 200);
}

TEST_F(Video, FrameRateZeroKeepsThePeriod) {
  Packet r;
  ASSERT_TRUE(d_->command(15, {0}, &r));
  EXPECT_EQ(r[1], 200);
  play(*one_);
  EXPECT_EQ(clips::compare_video(root_, one_->last_luma), "");
}

TEST(VideoInput, DamagedPictureIsSkippedAndPlaybackGoesOn) {
  Stream s = make_stream("intra", {0}, 5, true);
  ASSERT_FALSE(s.parts.empty());
  // Garble the middle of picture 2's slice data (no start codes made).
  auto starts = clips::picture_starts(s.parts[0]);
  ASSERT_EQ(starts.size(), 5u);
  size_t a = starts[2] + (starts[3] - starts[2]) / 4, b = starts[2] + (starts[3] - starts[2]) / 2;
  for (size_t i = a; i < b; ++i) s.parts[0][i] = static_cast<uint8_t>(0xFF ^ (i * 7));
  DeviceRoot root;
  clips::make_ready(root);
  Daemon d(root);
  clips::end_test_mode(d);
  ASSERT_TRUE(clips::stream(d, s.parts, 5));
  ASSERT_TRUE(clips::poll([&] { return d.count_log("trig a\n") == 1; }, 5000)) << d.log();
  EXPECT_TRUE(d.wait_log("decoder direct work failed: "));
  ASSERT_TRUE(clips::wait_frame(d, 3)) << clips::frame_counter(d);  // pictures 0, 1, 3
  ASSERT_TRUE(clips::finish(d, 1));
  ASSERT_TRUE(clips::wait_frame(d, 1));
  EXPECT_EQ(clips::compare_video(root, s.last_luma), "");
}

TEST(VideoInput, StandbyScreenRefusesBlocksButTheStampIsTaken) {
  DeviceRoot root;  // factory test mode: the offline screen runs
  Daemon d(root);
  ASSERT_TRUE(clips::wait_ready(d));
  std::vector<uint8_t> block(64, 0);
  ASSERT_EQ(clips::send_block(d, 0, 1, block.data(), block.size(), false, 9), 0);
  EXPECT_TRUE(d.wait_log("not exit offline state\n")) << d.log();
  ASSERT_EQ(clips::send_block(d, 1, 2, block.data(), block.size(), false), 0);
  EXPECT_TRUE(d.wait_log("error fail h264--------------- "));
  Packet r;
  ASSERT_TRUE(clips::poll([&] { return d.command(52, {}, &r) && r[8] == 0xFF && r[9] == 0xFF; },
                          10000, 50));
  // The refused block's stamp 9 was adopted: stamp 10 forces a release.
  ASSERT_EQ(clips::send_block(d, 0, 1, block.data(), block.size(), false, 10), 1);
  EXPECT_TRUE(d.wait_log("force release h264 resource")) << d.log();
}

// CPU seconds the process has used.
double cpu_seconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t close = s.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream in(s.substr(close + 2));
  std::string field;
  long ut = 0, st = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) ut = std::stol(field);
    if (i == 15) st = std::stol(field);
  }
  return double(ut + st) / sysconf(_SC_CLK_TCK);
}

TEST(VideoInput, WithoutReservedMemoryNothingShowsAndTheReleaseCompletes) {
  Stream s = make_stream("nomem", {0}, 3);
  ASSERT_FALSE(s.parts.empty());
  DeviceRoot root;
  clips::make_ready(root);
  // A folder where the reserved-memory file belongs: rmem_open fails.
  mkdir(root.file("/sim").c_str(), 0755);
  mkdir(root.file("/sim/rmem").c_str(), 0755);
  Daemon d(root);
  clips::end_test_mode(d);
  ASSERT_TRUE(clips::stream(d, s.parts, 3, 1));
  ASSERT_TRUE(d.wait_log("mirror thread rmem error")) << d.log();
  EXPECT_TRUE(d.wait_log("decoder open rmem failed: "));
  EXPECT_TRUE(d.wait_log("err: frame info alloc fail"));
  // Idle now: no busy loop.
  ASSERT_TRUE(clips::poll([&] { return d.wait_log("wait cnt", 10); }, 2000));
  double before = cpu_seconds(d.pid());
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_LT(cpu_seconds(d.pid()) - before, 0.5);
  // A new stream releases everything; nothing waits for a mirror thread.
  size_t from = d.log().size();
  ASSERT_EQ(clips::send_block(d, 0, 1, s.parts[0].data(), s.parts[0].size(), false, 2), 1);
  ASSERT_TRUE(d.wait_log("del message queue done", 5000, from)) << d.log().substr(from);
  EXPECT_EQ(clips::frame_counter(d), 0);
  Packet r;
  ASSERT_TRUE(d.command(10, {}, &r));
}

}  // namespace
