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

// A small baseline clip from the ffmpeg tool, split into units.
std::vector<std::vector<uint8_t>> small_clip_units(int w, int h, int frames) {
  char dir[] = "/tmp/paneld-dec-XXXXXX";
  if (!mkdtemp(dir)) return {};
  std::string out = std::string(dir) + "/c.h264";
  std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i testsrc2=size=" +
                    std::to_string(w) + "x" + std::to_string(h) + ":rate=30 -frames:v " +
                    std::to_string(frames) +
                    " -c:v libx264 -profile:v baseline -g 1 -pix_fmt yuv420p -f h264 " + out;
  int rc = system(cmd.c_str());
  std::ifstream f(out, std::ios::binary);
  std::vector<uint8_t> s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  system(("rm -rf " + std::string(dir)).c_str());
  if (rc != 0 || s.empty()) return {};
  NaluBuf* nb = nalu_buf_init(1 << 20);
  nalu_buf_write(nb, s.data(), static_cast<uint32_t>(s.size()));
  std::vector<std::vector<uint8_t>> units;
  std::vector<uint8_t> d(1 << 20);
  NaluUnit u;
  int32_t len;
  while ((len = nalu_buf_read_unit(nb, &u, d.data(), 1 << 20)) > 0 ||
         (len = nalu_buf_read_tail(nb, &u, d.data(), 1 << 20)) > 0)
    units.emplace_back(d.begin(), d.begin() + len);
  nalu_buf_free(nb);
  return units;
}

// Parameter sets plus the first slice: one decodable picture.
std::vector<uint8_t> first_picture(const std::vector<std::vector<uint8_t>>& units) {
  std::vector<uint8_t> pic;
  for (auto& u : units) {
    pic.insert(pic.end(), u.begin(), u.end());
    uint8_t type = u[u[2] == 1 ? 3 : 4] & 0x1F;
    if (type == 5 || type == 1) break;
  }
  return pic;
}

TEST(SimDecoder, WritesAtTheStrideAndRefusesWhatItMustNot) {
  auto units = small_clip_units(96, 64, 2);
  ASSERT_FALSE(units.empty()) << "ffmpeg with libx264 is needed";
  std::vector<uint8_t> pic = first_picture(units);

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
