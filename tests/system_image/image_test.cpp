// The picture path through the real daemon: JPEG frames (101) and stored
// pictures (113) compared with an independent decoder (the ffmpeg tool) on
// `panelsim snapshot`, bad input and the boot logo.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_state.h"
#include "tests/harness/harness.h"
#include "tests/image/pictures.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using hostlink::Packet;

constexpr int kW = 1080, kH = 2288;

struct Fb0 {
  bool shown;
  uint32_t x, y, w, h, y_phys, updates;
};
Fb0 fb0(const DeviceRoot& root) {
  SimPlaneState st{};
  sim_state_read(root.path(), &st);
  const uint32_t* c = st.fb0_cfg;
  return {st.fb0_picture != 0, c[3], c[4], c[1], c[2], c[9], st.updates};
}

// The video layer against ffmpeg's decode of the file scaled to the usable
// area: mean error per channel within a few levels.
void expect_matches(const DeviceRoot& root, const std::string& file) {
  std::string ref;
  ASSERT_EQ(harness::ffmpeg(
                "-i '" + file + "' -vf scale=1080:2288" + " -f rawvideo -pix_fmt rgb24 -", &ref),
            0);
  ASSERT_EQ(ref.size(), size_t(kW) * kH * 3);
  Fb0 f = fb0(root);
  ASSERT_TRUE(f.shown && f.w == uint32_t(kW) && f.h == uint32_t(kH));
  harness::Image snap;
  ASSERT_TRUE(harness::snapshot(root, "video", &snap));
  ASSERT_GE(snap.width, int(f.x) + kW);
  ASSERT_GE(snap.height, int(f.y) + kH);
  double sum[3] = {0, 0, 0};
  for (int y = 0; y < kH; y++)
    for (int x = 0; x < kW; x++)
      for (int c = 0; c < 3; c++)
        sum[c] +=
            std::abs(snap.at(f.x + x, f.y + y)[c] - uint8_t(ref[(size_t(y) * kW + x) * 3 + c]));
  for (int c = 0; c < 3; c++) EXPECT_LT(sum[c] / (kW * kH), 3.0) << file << " channel " << c;
}

// Command 101 with `jpg` as payload; answered with no data.
void send_frame(Daemon& d, const std::vector<uint8_t>& jpg) {
  std::vector<uint8_t> params(8, 0);
  hostlink::put_be32(params, 0, uint32_t(jpg.size()));
  Packet r;
  ASSERT_TRUE(d.command(101, params, &r, jpg, 30000)) << d.log();
  EXPECT_EQ(r[0], 101);
  EXPECT_EQ(r[1], 200);
  for (int i = 8; i < 512; i++) ASSERT_EQ(r[i], 0) << i;
}

// Host media is refused while a standby screen runs: start without one,
// outside factory test mode.
class SystemImage : public ::testing::Test {
 protected:
  void SetUp() override {
    harness::write_settings(root, 0, 0, 0);
    root.write("/tmp/no_show_offline", "");
    d_ = std::make_unique<Daemon>(root);
    Packet r;
    ASSERT_TRUE(d_->command(254, {}, &r, {}, 10000)) << d_->log();
  }
  DeviceRoot root;
  std::unique_ptr<Daemon> d_;
};

TEST_F(SystemImage, FramesMatchAnIndependentDecodeAlternateBuffersAndSurviveBadOnes) {
  Daemon& d = *d_;
  const uint32_t logo_buffer = fb0(root).y_phys;

  auto usable = testpic::encode(testpic::scene(kW, kH));
  root.write("/tmp/usable.jpg", testpic::bytes(usable));
  send_frame(d, usable);
  expect_matches(root, root.file("/tmp/usable.jpg"));
  const Fb0 before = fb0(root);
  EXPECT_NE(before.y_phys, logo_buffer);

  // Longer than r_buf (drained off the line), truncated, garbage, empty:
  // answered, and the panel keeps its picture.
  std::vector<uint8_t> big = usable, junk(20000);
  big.resize(2097152 + 4096, 0xD9);
  for (size_t i = 0; i < junk.size(); i++) junk[i] = uint8_t(i * 37 + 11);
  std::vector<uint8_t> cut(usable.begin(), usable.begin() + usable.size() / 2);
  for (auto* bad : {&big, &cut, &junk}) send_frame(d, *bad);
  send_frame(d, {});
  EXPECT_EQ(fb0(root).updates, before.updates) << "the panel changed";

  // Another size is scaled to the usable area, into the other buffer again.
  auto other = testpic::encode(testpic::scene(2000, 3000, 1), TJSAMP_444);
  root.write("/tmp/other.jpg", testpic::bytes(other));
  send_frame(d, other);
  expect_matches(root, root.file("/tmp/other.jpg"));
  EXPECT_EQ(fb0(root).y_phys, logo_buffer);
  EXPECT_TRUE(d.running());
}

TEST_F(SystemImage, BootLogoAndStoredPictures) {
  Daemon& d = *d_;
  EXPECT_FALSE(root.exists("/tmp/no_show_offline")) << "consumed at start";
  expect_matches(root, root.file("/media/logo.jpg"));
  const uint32_t updates = fb0(root).updates;

  // A path length beyond the command: refused without reading, answered.
  auto params = hostlink::name_params("/usr/data/img/slide2.jpg");
  hostlink::put_be32(params, 0, 600);
  Packet r;
  ASSERT_TRUE(d.command(113, params, &r));
  EXPECT_EQ(r[0], 113);
  EXPECT_EQ(r[1], 200);
  EXPECT_EQ(fb0(root).updates, updates);
  ASSERT_TRUE(d.command(113, hostlink::name_params("/usr/data/img/slide2.jpg"), &r));
  expect_matches(root, root.file("/usr/data/img/slide2.jpg"));
}

}  // namespace
