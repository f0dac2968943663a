// The simulated hardware decoder (pictures at the fixed stride, damaged
// data and oversized pictures refused with errno), the block rings'
// refusals, and the frame period.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/state.h"
#include "platform/codec.h"
#include "video/h264_decoder.h"
#include "video/intake.h"

namespace {

std::vector<uint8_t> slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A small baseline clip from the ffmpeg tool, cut into pictures (parameter
// sets with the slice that follows them), and the tool's own decode of it
// (yuv420p frames).
struct SmallClip {
  std::vector<std::vector<uint8_t>> pictures;
  std::vector<std::vector<uint8_t>> decoded;
};

SmallClip small_clip(int w, int h, int frames, bool intra) {
  SmallClip c;
  char dir[] = "/tmp/paneld-dec-XXXXXX";
  if (!mkdtemp(dir)) return c;
  std::string d = dir, out = d + "/c.h264", yuv = d + "/c.yuv";
  std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=" +
                    std::to_string(w) + "x" + std::to_string(h) + ":rate=30 -frames:v " +
                    std::to_string(frames) + " -c:v libx264 -profile:v baseline -g " +
                    (intra ? "1" : "250") + " -x264-params slices=1 -pix_fmt yuv420p -f h264 " +
                    out + " && ffmpeg -hide_banner -loglevel error -nostdin -y -i " + out +
                    " -f rawvideo -pix_fmt yuv420p " + yuv;
  int rc = system(cmd.c_str());
  std::vector<uint8_t> s = slurp(out), raw = slurp(yuv);
  (void)!system(("rm -rf " + d).c_str());
  if (rc != 0 || s.empty()) return c;
  size_t frame = size_t(w) * h + 2 * size_t((w + 1) / 2) * ((h + 1) / 2);
  for (size_t off = 0; off + frame <= raw.size(); off += frame)
    c.decoded.emplace_back(raw.begin() + off, raw.begin() + off + frame);

  NaluBuf* nb = nalu_buf_init(1 << 20);
  nalu_buf_write(nb, s.data(), static_cast<uint32_t>(s.size()));
  std::vector<uint8_t> d8(1 << 20), pic;
  NaluUnit u;
  int32_t len;
  while ((len = nalu_buf_read_unit(nb, &u, d8.data(), 1 << 20)) > 0 ||
         (len = nalu_buf_read_tail(nb, &u, d8.data(), 1 << 20)) > 0) {
    pic.insert(pic.end(), d8.begin(), d8.begin() + len);
    if (u.type == 1 || u.type == 5) c.pictures.push_back(std::move(pic)), pic.clear();
  }
  nalu_buf_free(nb);
  return c;
}

// The pictures come out exactly as the independent decoder's, as NV12 at
// the fixed stride, also with a height that needs cropping and with
// pictures that refer to earlier ones.
TEST(SimDecoder, PicturesEqualAnIndependentDecodeAsNv12) {
  const int w = 96, h = 70;
  SmallClip c = small_clip(w, h, 4, false);
  ASSERT_EQ(c.pictures.size(), 4u) << "ffmpeg with libx264 is needed";
  ASSERT_EQ(c.decoded.size(), 4u);
  H264DecoderConfig cfg{"/dev/video2", w, h, kFourccNV12, {0, 0}};
  V4l2H264Decoder* dec = v4l2_h264_decoder_direct_open(&cfg);
  ASSERT_NE(dec, nullptr);
  std::vector<uint8_t> y(kH264LineStride * h), uv(kH264LineStride * (h / 2));
  for (size_t i = 0; i < c.pictures.size(); ++i) {
    auto& p = c.pictures[i];
    ASSERT_EQ(v4l2_h264_decoder_direct_work(dec, p.data(), int32_t(p.size()), y.data(), uv.data()),
              0);
    const uint8_t* ref = c.decoded[i].data();
    const uint8_t* ref_u = ref + w * h;
    const uint8_t* ref_v = ref_u + (w / 2) * (h / 2);
    for (int r = 0; r < h; ++r)
      for (int x = 0; x < w; ++x)
        ASSERT_EQ(y[r * kH264LineStride + x], ref[r * w + x]) << i << " " << x << "," << r;
    for (int r = 0; r < h / 2; ++r)
      for (int x = 0; x < w / 2; ++x) {
        ASSERT_EQ(uv[r * kH264LineStride + 2 * x], ref_u[r * (w / 2) + x]) << i;
        ASSERT_EQ(uv[r * kH264LineStride + 2 * x + 1], ref_v[r * (w / 2) + x]) << i;
      }
  }
  v4l2_h264_decoder_close(dec);
}

TEST(SimDecoder, WritesAtTheStrideAndRefusesWhatItMustNot) {
  SmallClip c = small_clip(96, 64, 1, true);
  ASSERT_FALSE(c.pictures.empty()) << "ffmpeg with libx264 is needed";
  std::vector<uint8_t>& pic = c.pictures[0];

  H264DecoderConfig cfg{"/dev/video2", 96, 64, kFourccNV12, {0, 0}};
  V4l2H264Decoder* dec = v4l2_h264_decoder_direct_open(&cfg);
  ASSERT_NE(dec, nullptr);
  uint32_t info[4];
  EXPECT_EQ(v4l2_h264_decoder_get_frame_info(dec, info), -1);  // nothing decoded yet

  // Luma rows at the fixed stride; nothing beyond the picture's rows.
  std::vector<uint8_t> y(kH264LineStride * 80, 0xEE), uv(kH264LineStride * 40, 0xEE);
  ASSERT_EQ(
      v4l2_h264_decoder_direct_work(dec, pic.data(), int32_t(pic.size()), y.data(), uv.data()), 0);
  ASSERT_EQ(v4l2_h264_decoder_get_frame_info(dec, info), 0);
  EXPECT_EQ(info[0], kH264LineStride);
  EXPECT_EQ(info[1], 64u);
  EXPECT_EQ(info[2], 96u);
  EXPECT_NE(y[0], 0xEE);
  EXPECT_EQ(y[96], 0xEE);                    // right of the picture
  EXPECT_EQ(y[kH264LineStride * 64], 0xEE);  // below it
  EXPECT_EQ(uv[kH264LineStride * 32], 0xEE);

  // Damaged data: failure with errno, and the decoder still works after.
  std::vector<uint8_t> junk = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21, 0xFF, 0xFF, 0xFF, 0xFF, 0x13};
  errno = 0;
  EXPECT_EQ(
      v4l2_h264_decoder_direct_work(dec, junk.data(), int32_t(junk.size()), y.data(), uv.data()),
      -1);
  EXPECT_NE(errno, 0);
  EXPECT_EQ(
      v4l2_h264_decoder_direct_work(dec, pic.data(), int32_t(pic.size()), y.data(), uv.data()), 0);
  v4l2_h264_decoder_close(dec);

  // A picture larger than the instance was opened for is not written.
  H264DecoderConfig small{"/dev/video2", 64, 64, kFourccNV12, {0, 0}};
  dec = v4l2_h264_decoder_direct_open(&small);
  std::fill(y.begin(), y.end(), 0xEE);
  errno = 0;
  EXPECT_EQ(
      v4l2_h264_decoder_direct_work(dec, pic.data(), int32_t(pic.size()), y.data(), uv.data()), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(y[0], 0xEE);
  v4l2_h264_decoder_close(dec);
}

TEST(Intake, RefusalsLeaveTheRingUntouched) {
  for (int i = 0; i < 3; ++i)
    h264_data_arrays[i] =
        std::vector<H264BlockRecord*>{&h264_block_data1, &h264_block_data2, &h264_block_data3}[i];
  clear_h264_rings();
  h264_mode = 2;  // part 1 empty: nobody takes blocks of part 0 away
  std::vector<uint8_t> block(kH264BlockMax + 1, 0xAB);
  EXPECT_EQ(push_h264_block2(block.data(), kH264BlockMax + 1, 0, 0), -1);
  EXPECT_EQ(push_h264_block2(block.data(), 10, 0, 3), -1);
  EXPECT_EQ(push_h264_block2(block.data(), 10, 0, -1), -1);
  for (int i = 1; i <= 5; ++i) {
    block[0] = static_cast<uint8_t>(i);
    EXPECT_EQ(push_h264_block2(block.data(), kH264BlockMax, i == 5, 0), i);
  }
  block[0] = 99;
  EXPECT_EQ(push_h264_block2(block.data(), 10, 0, 0), -1);
  EXPECT_EQ(push_h264_block(block.data(), 10, 0), -1);
  EXPECT_EQ(h264_block_data1.count, 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(h264_block_data1.slots[i].data[0], i + 1);
    EXPECT_EQ(h264_block_data1.slots[i].length, kH264BlockMax);
  }
  EXPECT_EQ(h264_block_data1.slots[4].last_block, 1u);
  EXPECT_EQ(h264_start_mark, 1);
  EXPECT_EQ(check_264_cnt(), 1);  // part 1 still empty
  clear_h264_rings();
  h264_mode = 1;
}

TEST(FrameRate, PeriodFromRateAndZeroKeepsIt) {
  set_framerate(30);
  EXPECT_EQ(frameTimes[0], 33333);
  set_framerate(0);
  EXPECT_EQ(frameTimes[0], 33333);
  set_framerate(-4);
  EXPECT_EQ(frameTimes[0], 33333);
  set_framerate(7);
  EXPECT_EQ(frameTimes[0], 142857);
}

}  // namespace
