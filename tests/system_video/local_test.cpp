// Stored H.264 files through the real daemon: the player's loop, its stop
// and query (110..112), a host block taking over, and the files and paths
// it must refuse without spinning.
#include <gtest/gtest.h>

#include <string>

#include "tests/harness/harness.h"
#include "tests/system_video/clips.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using hostlink::Packet;

class LocalVideo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    loop_ = new std::vector<uint8_t>(clips::encode("loop", 0, clips::kHeight, 4));
    host_ = new std::vector<uint8_t>(clips::encode("host", 0, clips::kHeight, 4));
    auto luma = clips::decode_luma(*host_, clips::kWidth, clips::kHeight);
    host_last_ = new std::vector<uint8_t>(luma.empty() ? std::vector<uint8_t>{} : luma.back());
  }
  static void TearDownTestSuite() {
    delete loop_;
    delete host_;
    delete host_last_;
  }
  void SetUp() override {
    ASSERT_FALSE(loop_->empty() || host_last_->empty()) << "ffmpeg with libx264 is needed";
    clips::make_ready(root_);
    root_.write("/usr/data/loop.h264", std::string(loop_->begin(), loop_->end()));
    d_ = std::make_unique<Daemon>(root_);
    clips::end_test_mode(*d_);
  }

  int playing() {
    Packet r;
    return d_->command(112, {}, &r) ? r[8] : -1;
  }
  void play(const std::string& path) {
    Packet r;
    ASSERT_TRUE(d_->command(110, hostlink::name_params(path), &r));
    EXPECT_EQ(r[1], 200);
  }

  static std::vector<uint8_t>*loop_, *host_, *host_last_;
  DeviceRoot root_;
  std::unique_ptr<Daemon> d_;
};
std::vector<uint8_t>*LocalVideo::loop_, *LocalVideo::host_, *LocalVideo::host_last_;

TEST_F(LocalVideo, LoopsUntilStopped) {
  play("/usr/data/loop.h264");
  ASSERT_TRUE(clips::poll([&] { return playing() == 1; }, 3000));
  EXPECT_TRUE(d_->wait_log("play_local_h264 name: /usr/data/loop.h264 \n"));
  // The file starts again at its end: more frames than one pass holds.
  ASSERT_TRUE(clips::poll([&] { return d_->count_log("totalframe:0 \n") >= 2; }, 5000));
  ASSERT_TRUE(clips::poll([&] { return clips::frame_counter(*d_) >= 6; }, 5000)) << d_->log();

  // A second start while one plays changes nothing.
  play("/media/offline_video.h264");
  EXPECT_EQ(d_->count_log("play_local_h264 name:"), 1);
  EXPECT_EQ(playing(), 1);

  size_t from = d_->log().size();
  Packet r;
  ASSERT_TRUE(d_->command(111, {}, &r));
  EXPECT_TRUE(d_->wait_log("stop_local_h264 ", 1000, from));
  EXPECT_TRUE(clips::poll([&] { return playing() == 0; }, 2500));
  EXPECT_TRUE(d_->wait_log("del message queue done", 3000, from)) << d_->log().substr(from);
}

TEST_F(LocalVideo, HostBlockStopsThePlayerFirst) {
  play("/usr/data/loop.h264");
  ASSERT_TRUE(clips::poll([&] { return clips::frame_counter(*d_) >= 2; }, 5000));
  size_t from = d_->log().size();
  ASSERT_TRUE(clips::stream(*d_, {*host_}, 4));
  std::string log = d_->log();
  size_t stop = log.find("stop_local_h264 ", from);
  ASSERT_NE(stop, std::string::npos);
  EXPECT_TRUE(clips::poll([&] { return playing() == 0; }, 2500));
  ASSERT_TRUE(clips::finish(*d_, 1));
  ASSERT_TRUE(clips::poll([&] { return clips::frame_counter(*d_) == 1; }, 5000));
  EXPECT_EQ(clips::compare_video(root_, *host_last_), "");
}

TEST_F(LocalVideo, BadFilesAndPathsAreRefused) {
  play("/usr/data/missing.h264");
  EXPECT_TRUE(d_->wait_log("open /usr/data/missing.h264 err: No such file or directory\n"));
  EXPECT_EQ(playing(), 0);

  // 128 characters do not fit the path buffer: refused, answered as usual.
  std::string long_path = "/usr/data/" + std::string(118, 'a');
  ASSERT_EQ(long_path.size(), 128u);
  play(long_path);
  // A length that reaches beyond the command.
  std::vector<uint8_t> params = hostlink::name_params("/usr/data/loop.h264");
  hostlink::put_be32(params, 0, 1000);
  Packet r;
  ASSERT_TRUE(d_->command(110, params, &r));
  EXPECT_EQ(r[1], 200);
  EXPECT_EQ(d_->count_log("play_local_h264 name:"), 1);
  // 127 characters are taken.
  play(long_path.substr(0, 127));
  EXPECT_TRUE(d_->wait_log("open " + long_path.substr(0, 127) + " err: "));

  // A file that yields nothing (empty; a folder reads as an error) ends the
  // playback instead of spinning through empty passes.
  root_.write("/usr/data/empty.h264", "");
  for (const char* path : {"/usr/data/empty.h264", "/usr/data"}) {
    size_t from = d_->log().size();
    play(path);
    ASSERT_TRUE(d_->wait_log("totalframe:0 \n", 2000, from)) << path;
    EXPECT_TRUE(clips::poll([&] { return playing() == 0; }, 1000)) << path;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::string tail = d_->log().substr(from);
    EXPECT_EQ(tail.find("totalframe:0 \n"), tail.rfind("totalframe:0 \n")) << path;
  }
}

}  // namespace
