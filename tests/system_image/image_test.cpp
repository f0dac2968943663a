// The picture path end to end: the real daemon on a pty, JPEG frames and
// stored pictures through the real protocol, checked against an independent
// decoder (the ffmpeg command-line tool) on `panelsim snapshot`.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/sim_state.h"
#include "tests/harness/harness.h"
#include "tests/image/pictures.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using hostlink::Packet;

constexpr int kW = 1080, kH = 2288;
constexpr uint32_t kMaxPacket = 2097152;

// fb0's user configuration as the simulation publishes it.
struct Fb0 {
  bool shown = false;
  uint32_t x = 0, y = 0, w = 0, h = 0, y_phys = 0;
  uint32_t updates = 0;
};
Fb0 fb0(const DeviceRoot& root) {
  Fb0 f;
  SimPlaneState st;
  if (sim_state_read(root.path(), &st) != 0) return f;
  f.updates = st.updates;
  f.shown = st.fb0_picture != 0;
  f.w = st.fb0_cfg[1];
  f.h = st.fb0_cfg[2];
  f.x = st.fb0_cfg[3];
  f.y = st.fb0_cfg[4];
  f.y_phys = st.fb0_cfg[9];
  return f;
}

// The file decoded by ffmpeg and scaled to the usable area, as RGB bytes.
std::vector<uint8_t> reference_rgb(const std::string& file) {
  std::string out;
  int st =
      harness::run("ffmpeg -nostdin -v error -i '" + file + "' -vf scale=" + std::to_string(kW) +
                       ":" + std::to_string(kH) + " -f rawvideo -pix_fmt rgb24 -",
                   &out);
  if (st != 0 || out.size() != size_t(kW) * kH * 3) return {};
  return std::vector<uint8_t>(out.begin(), out.end());
}

// Mean absolute error per channel between the video layer and the reference.
void expect_matches(const DeviceRoot& root, const std::string& file, double max_mae) {
  auto ref = reference_rgb(file);
  ASSERT_FALSE(ref.empty()) << "ffmpeg could not decode " << file;
  Fb0 f = fb0(root);
  ASSERT_TRUE(f.shown);
  ASSERT_EQ(f.w, uint32_t(kW));
  ASSERT_EQ(f.h, uint32_t(kH));
  harness::Image snap;
  ASSERT_TRUE(harness::snapshot(root, "video", &snap));
  ASSERT_GE(snap.width, int(f.x) + kW);
  ASSERT_GE(snap.height, int(f.y) + kH);
  double sum[3] = {0, 0, 0};
  for (int y = 0; y < kH; y++)
    for (int x = 0; x < kW; x++) {
      const uint8_t* s = snap.at(int(f.x) + x, int(f.y) + y);
      const uint8_t* r = &ref[(size_t(y) * kW + x) * 3];
      for (int c = 0; c < 3; c++) sum[c] += std::abs(int(s[c]) - int(r[c]));
    }
  for (int c = 0; c < 3; c++)
    EXPECT_LT(sum[c] / (double(kW) * kH), max_mae) << file << " channel " << c;
}

std::vector<uint8_t> frame_params(uint32_t n) {
  std::vector<uint8_t> p(8, 0);
  hostlink::put_be32(p, 0, n);
  return p;
}

// A device that starts without standby screens or boot video in the way
// and outside factory test mode.
void prepare_root(const DeviceRoot& root) {
  std::string cfg(136, '\0');
  cfg[0] = 60;  // bright; every other byte 0: test_mode off
  std::string path = "/media/offline_video.h264";
  cfg.replace(8, path.size(), path);
  root.write("/usr/data/app.cfg", cfg);
  root.write("/tmp/no_show_offline", "");
}

// The host line is open (a packet sent earlier would be flushed away).
bool ready(Daemon& d) {
  Packet r;
  return d.wait_log("init_tty done!", 10000) && d.command(254, {}, &r, {}, 10000);
}

bool no_reply_within(Daemon& d, int ms) {
  struct pollfd p {
    d.host().fd(), POLLIN, 0
  };
  return poll(&p, 1, ms) == 0;
}

TEST(SystemImage, JpegFramesMatchAnIndependentDecodeAndAlternateBuffers) {
  DeviceRoot root;
  prepare_root(root);
  Daemon d(root);
  Packet r;
  ASSERT_TRUE(ready(d)) << d.log();

  struct Pic {
    std::string name;
    testpic::Canvas canvas;
    int subsamp;
  };
  std::vector<Pic> pics;
  pics.push_back({"usable.jpg", testpic::scene(kW, kH), TJSAMP_420});
  pics.push_back({"small.jpg", testpic::scene(640, 480, 1), TJSAMP_420});
  pics.push_back({"large.jpg", testpic::scene(2000, 3000), TJSAMP_444});
  pics.push_back({"odd.jpg", testpic::scene(1001, 777, 1), TJSAMP_422});

  std::vector<uint32_t> buffers;
  for (auto& p : pics) {
    SCOPED_TRACE(p.name);
    auto jpg = testpic::encode(p.canvas, p.subsamp, 90);
    std::string file = root.path() + "/../" + p.name;
    ASSERT_TRUE(testpic::write(file, jpg));
    ASSERT_TRUE(d.command(101, frame_params(jpg.size()), &r, jpg, 10000)) << d.log();
    EXPECT_EQ(r[0], 101);
    EXPECT_EQ(r[1], 200);
    for (int i = 8; i < 512; i++) ASSERT_EQ(r[i], 0) << i;
    expect_matches(root, file, 3.0);
    buffers.push_back(fb0(root).y_phys);
  }
  // Output buffers 0, 1, 0, 1.
  ASSERT_EQ(buffers.size(), 4u);
  EXPECT_NE(buffers[0], buffers[1]);
  EXPECT_EQ(buffers[0], buffers[2]);
  EXPECT_EQ(buffers[1], buffers[3]);
  // The boot logo went to buffer 0 first.
  EXPECT_EQ(d.count_log("jpg_buffer_num 0\n"), 3);
  EXPECT_EQ(d.count_log("jpg_buffer_num 1\n"), 2);
  EXPECT_TRUE(d.wait_log("width=1080 height=2288\n"));
}

TEST(SystemImage, BadFramesAreConsumedAnsweredAndChangeNothing) {
  DeviceRoot root;
  prepare_root(root);
  Daemon d(root);
  Packet r;
  ASSERT_TRUE(ready(d)) << d.log();

  auto good = testpic::encode(testpic::scene(kW, kH));
  ASSERT_TRUE(d.command(101, frame_params(good.size()), &r, good, 10000));
  Fb0 before = fb0(root);
  ASSERT_TRUE(before.shown);

  // Longer than r_buf: drained off the line, not shown, answered.
  std::vector<uint8_t> big = good;
  big.resize(kMaxPacket + 4096, 0xD9);
  ASSERT_TRUE(d.command(101, frame_params(big.size()), &r, big, 30000)) << d.log();
  EXPECT_EQ(r[0], 101);
  EXPECT_EQ(r[1], 200);

  // Truncated, garbage and empty data: the decoder refuses them.
  std::vector<uint8_t> truncated(good.begin(), good.begin() + good.size() / 2);
  std::vector<uint8_t> junk(20000);
  for (size_t i = 0; i < junk.size(); i++) junk[i] = uint8_t(i * 37 + 11);
  auto log_from = d.log().size();
  for (auto* bad : {&truncated, &junk}) {
    ASSERT_TRUE(d.command(101, frame_params(bad->size()), &r, *bad, 10000)) << d.log();
    EXPECT_EQ(r[1], 200);
  }
  ASSERT_TRUE(d.command(101, frame_params(0), &r, {}, 10000));
  EXPECT_EQ(r[1], 200);
  EXPECT_TRUE(d.wait_log("jpeg decoder acquire failed.\n", 2000, log_from));

  Fb0 after = fb0(root);
  EXPECT_EQ(after.y_phys, before.y_phys);
  EXPECT_EQ(after.updates, before.updates) << "the panel changed";

  // The next good picture shows as usual, in the other buffer.
  auto other = testpic::encode(testpic::scene(kW, kH, 1));
  std::string file = root.path() + "/../other.jpg";
  ASSERT_TRUE(testpic::write(file, other));
  ASSERT_TRUE(d.command(101, frame_params(other.size()), &r, other, 10000));
  EXPECT_NE(fb0(root).y_phys, before.y_phys);
  expect_matches(root, file, 3.0);
  EXPECT_TRUE(d.running());
}

TEST(SystemImage, FramesWaitForTheStandbyScreensButAreStillConsumed) {
  DeviceRoot root;  // factory state: the offline screen runs from start-up
  Daemon d(root);
  Packet r;
  ASSERT_TRUE(ready(d)) << d.log();

  auto jpg = testpic::encode(testpic::scene(kW, kH));
  ASSERT_TRUE(d.command(101, frame_params(jpg.size()), &r, jpg, 10000)) << d.log();
  EXPECT_EQ(r[1], 200);
  EXPECT_TRUE(d.wait_log("error fail jpg---------------", 2000));
  EXPECT_FALSE(fb0(root).shown);
  // The payload left the line: the next command is answered normally.
  ASSERT_TRUE(d.command(10, {}, &r));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&r[8]), 25), "pavrotek5_0001_2026091101");

  // Stop the standby screens (52) until both report "not running".
  ASSERT_TRUE(d.command(52, {}, &r));
  EXPECT_EQ(r[9], 0x00) << "the offline screen was not running";
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!(r[8] == 0xFF && r[9] == 0xFF) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(d.command(52, {}, &r));
  }
  ASSERT_EQ(r[9], 0xFF);
  ASSERT_TRUE(d.command(101, frame_params(jpg.size()), &r, jpg, 10000));
  EXPECT_TRUE(fb0(root).shown);
}

TEST(SystemImage, StoredPictureByPath) {
  DeviceRoot root;
  prepare_root(root);
  Daemon d(root);
  Packet r;
  ASSERT_TRUE(ready(d)) << d.log();
  Fb0 before = fb0(root);  // the boot logo

  // A path length beyond the command: refused without reading, answered.
  auto params = hostlink::name_params("/usr/data/img/slide2.jpg");
  hostlink::put_be32(params, 0, 600);
  ASSERT_TRUE(d.command(113, params, &r));
  EXPECT_EQ(r[0], 113);
  EXPECT_EQ(r[1], 200);
  EXPECT_EQ(fb0(root).updates, before.updates);
  // Missing file and a directory: answered, nothing shown.
  ASSERT_TRUE(d.command(113, hostlink::name_params("/usr/data/img/none.jpg"), &r));
  ASSERT_TRUE(d.command(113, hostlink::name_params("/usr/data/img"), &r));
  EXPECT_EQ(fb0(root).updates, before.updates);
  EXPECT_EQ(d.count_log("CMD_PLAY_LOCAL_JPG \r\n"), 3);

  ASSERT_TRUE(d.command(113, hostlink::name_params("/usr/data/img/slide2.jpg"), &r));
  EXPECT_EQ(r[1], 200);
  expect_matches(root, root.file("/usr/data/img/slide2.jpg"), 3.0);

  // Stopping a slideshow that does not run is answered too.
  ASSERT_TRUE(d.command(114, {}, &r));
  EXPECT_EQ(r[0], 114);
  EXPECT_EQ(r[1], 200);
}

TEST(SystemImage, BootLogoLogoCommandAndExit) {
  DeviceRoot root;
  prepare_root(root);
  Daemon d(root);
  Packet r;
  ASSERT_TRUE(ready(d)) << d.log();
  // The flag file was consumed at start.
  EXPECT_FALSE(root.exists("/tmp/no_show_offline"));
  EXPECT_EQ(d.count_log("playXyzAnnimation \n"), 1);
  expect_matches(root, root.file("/media/logo.jpg"), 3.0);
  uint32_t logo_buffer = fb0(root).y_phys;

  ASSERT_TRUE(d.command(45, {}, &r));
  EXPECT_EQ(r[0], 45);
  EXPECT_EQ(d.count_log("playXyzAnnimation \n"), 2);
  EXPECT_NE(fb0(root).y_phys, logo_buffer);
  expect_matches(root, root.file("/media/logo.jpg"), 3.0);

  // One more picture: the next decode would go to buffer 1, so exit shows
  // the logo once more before it leaves.
  auto jpg = testpic::encode(testpic::scene(kW, kH, 1));
  ASSERT_TRUE(d.command(101, frame_params(jpg.size()), &r, jpg, 10000));
  ASSERT_TRUE(d.host().send_packet(hostlink::make_packet(44, {})));
  EXPECT_EQ(d.wait_exit(5000), 0) << d.log();
  EXPECT_TRUE(no_reply_within(d, 200)) << "exit was answered";
  EXPECT_TRUE(root.exists("/tmp/no_show_offline"));
  EXPECT_EQ(d.count_log("playXyzAnnimation \n"), 3);
  expect_matches(root, root.file("/media/logo.jpg"), 3.0);
}

}  // namespace
