// The simulated hardware JPEG decoder: NV12 layout, sizes, subsamplings and
// refusal of damaged data.
#include "platform/jpegd.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "tests/image/pictures.h"

namespace {

using testpic::Canvas;
using testpic::kQuad;

constexpr uint32_t kW = 1080, kH = 2288;

uint32_t nv12_size(uint32_t w, uint32_t h) {
  return (w + 15) / 16 * 16 * ((h + 15) / 16 * 16) * 3 / 2;
}

// One decode into fresh output memory, filled with a marker so that bytes
// the decoder never wrote stand out.
struct Decode {
  std::vector<uint8_t> mem;
  JpegdFrame frame{};
  int result = -1;
  uint32_t w, h;

  Decode(const std::vector<uint8_t>& jpg, uint32_t width, uint32_t height, size_t len = SIZE_MAX)
      : mem(nv12_size(width, height), 0xA5), w(width), h(height) {
    JpegdRequest req{};
    req.length = uint32_t(len == SIZE_MAX ? jpg.size() : len);
    req.width = width;
    req.height = height;
    req.format = JPEGD_FORMAT_NV12;
    req.data = jpg.empty() ? nullptr : jpg.data();
    JpegdDecoder* d = jpegd_decoder_open();
    if (!d) return;
    if (jpegd_decoder_set_output_mem(d, &req, mem.data(), 0x20000000, uint32_t(mem.size())) == 0) {
      result = jpegd_decoder_get(d, &req, &frame);
      if (result == 0) jpegd_decoder_put(d, &frame);
    }
    jpegd_decoder_close(d);
  }
  int y(int x, int row) const { return mem[size_t(row) * frame.pitch() + x]; }
  int u(int x, int row) const {
    return mem[size_t(frame.pitch()) * frame.lines() + size_t(row / 2) * frame.pitch() +
               (x / 2) * 2];
  }
  int v(int x, int row) const {
    return mem[size_t(frame.pitch()) * frame.lines() + size_t(row / 2) * frame.pitch() +
               (x / 2) * 2 + 1];
  }
};

// Each quadrant's centre holds its colour (within JPEG's and scaling's error).
void expect_quadrants(const Decode& d, int tol) {
  const int xs[2] = {int(d.w) / 4, int(d.w) * 3 / 4};
  const int ys[2] = {int(d.h) / 4, int(d.h) * 3 / 4};
  for (int q = 0; q < 4; q++) {
    int x = xs[q % 2], row = ys[q / 2];
    testpic::Yuv want = testpic::to_yuv(kQuad[q]);
    EXPECT_NEAR(d.y(x, row), want.y, tol) << "quadrant " << q;
    EXPECT_NEAR(d.u(x, row), want.u, tol) << "quadrant " << q;
    EXPECT_NEAR(d.v(x, row), want.v, tol) << "quadrant " << q;
  }
}

TEST(Jpegd, UsableSizeFrameIsExactNv12WithAlignedPitch) {
  Canvas c = testpic::scene(kW, kH);
  auto jpg = testpic::encode(c, TJSAMP_420);
  Decode d(jpg, kW, kH);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.frame.pitch(), 1088u);
  EXPECT_EQ(d.frame.lines(), 2288u);

  // TurboJPEG's own planar decode of the same file is the reference: the
  // usable-size 4:2:0 frame must come out bit for bit.
  tjhandle tj = tjInitDecompress();
  std::vector<uint8_t> y(kW * kH), u(kW / 2 * (kH / 2)), v(u.size());
  unsigned char* planes[3] = {y.data(), u.data(), v.data()};
  int strides[3] = {int(kW), int(kW / 2), int(kW / 2)};
  ASSERT_EQ(tjDecompressToYUVPlanes(tj, jpg.data(), jpg.size(), planes, kW, strides, kH, 0), 0);
  tjDestroy(tj);
  for (uint32_t row = 0; row < kH; row++)
    ASSERT_EQ(memcmp(&d.mem[row * 1088], &y[row * kW], kW), 0) << "luma row " << row;
  for (uint32_t row = 0; row < kH; row += 7)
    for (uint32_t x = 0; x < kW; x += 3) {
      ASSERT_EQ(d.u(x, row), u[row / 2 * (kW / 2) + x / 2]) << x << "," << row;
      ASSERT_EQ(d.v(x, row), v[row / 2 * (kW / 2) + x / 2]) << x << "," << row;
    }
}

struct Case {
  int w, h, subsamp;
};

class JpegdSizes : public ::testing::TestWithParam<Case> {};

// Other sizes are scaled to the request (down through the decoder's own
// DCT scaling, up through libyuv), every subsampling lands as NV12.
TEST_P(JpegdSizes, QuadrantsLandWhereTheyBelong) {
  Case p = GetParam();
  auto jpg = testpic::encode(testpic::quadrants(p.w, p.h), p.subsamp, 95);
  ASSERT_FALSE(jpg.empty());
  Decode d(jpg, kW, kH);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.frame.pitch(), 1088u);
  if (p.subsamp == TJSAMP_GRAY) {
    for (int q = 0; q < 4; q++) {
      int x = q % 2 ? kW * 3 / 4 : kW / 4, row = q / 2 ? kH * 3 / 4 : kH / 4;
      EXPECT_NEAR(d.y(x, row), testpic::to_yuv(kQuad[q]).y, 3);
      EXPECT_NEAR(d.u(x, row), 128, 1);
      EXPECT_NEAR(d.v(x, row), 128, 1);
    }
  } else {
    expect_quadrants(d, 4);
  }
  // The last row and column were written too.
  EXPECT_NEAR(d.y(kW - 1, kH - 1), testpic::to_yuv(kQuad[3]).y, 6);
}

INSTANTIATE_TEST_SUITE_P(
    SizesAndSubsamplings, JpegdSizes,
    ::testing::Values(Case{1080, 2288, TJSAMP_422}, Case{1080, 2288, TJSAMP_444},
                      Case{1080, 2288, TJSAMP_GRAY}, Case{1080, 2288, TJSAMP_440},
                      Case{1080, 2288, TJSAMP_411}, Case{640, 480, TJSAMP_420},
                      Case{2160, 4576, TJSAMP_420}, Case{4000, 3000, TJSAMP_444},
                      Case{1001, 777, TJSAMP_420}, Case{17, 9, TJSAMP_420}));

TEST(Jpegd, OddRequestSizesFitTheirBuffer) {
  auto jpg = testpic::encode(testpic::quadrants(300, 200));
  Decode d(jpg, 101, 57);
  ASSERT_EQ(d.result, 0);
  EXPECT_EQ(d.frame.pitch(), 112u);
  EXPECT_EQ(d.frame.lines(), 64u);
  expect_quadrants(d, 6);
}

TEST(Jpegd, DamagedDataIsAFailureNotAPicture) {
  auto jpg = testpic::encode(testpic::scene(kW, kH));
  ASSERT_GT(jpg.size(), 1000u);

  EXPECT_NE(Decode({}, kW, kH).result, 0) << "no data";
  EXPECT_NE(Decode(jpg, kW, kH, 0).result, 0) << "length 0";
  // Cut in the headers, early in the scan and just before the end marker.
  for (size_t cut : {size_t(2), size_t(100), jpg.size() / 10, jpg.size() / 2, jpg.size() - 2})
    EXPECT_NE(Decode(jpg, kW, kH, cut).result, 0) << "truncated at " << cut;

  std::vector<uint8_t> junk(5000);
  for (size_t i = 0; i < junk.size(); i++) junk[i] = uint8_t(i * 131 + 7);
  EXPECT_NE(Decode(junk, kW, kH).result, 0) << "not a JPEG";

  // The frame header claims a picture far larger than any panel.
  std::vector<uint8_t> huge = jpg;
  for (size_t i = 0; i + 8 < huge.size(); i++)
    if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
      huge[i + 5] = huge[i + 7] = 0xEA;  // 60000-odd lines and columns
      huge[i + 6] = huge[i + 8] = 0x60;
      break;
    }
  EXPECT_NE(Decode(huge, kW, kH).result, 0) << "giant frame header";

  // The same decoder still works for good data afterwards.
  EXPECT_EQ(Decode(jpg, kW, kH).result, 0);
}

TEST(Jpegd, ProgressiveDecodesAndCmykIsRefused) {
  Canvas c = testpic::quadrants(1200, 1600);
  tjhandle tj = tjInitCompress();
  unsigned char* buf = nullptr;
  unsigned long len = 0;
  ASSERT_EQ(tjCompress2(tj, c.px.data(), c.w, c.w * 3, c.h, TJPF_RGB, &buf, &len, TJSAMP_420, 90,
                        TJFLAG_PROGRESSIVE),
            0);
  std::vector<uint8_t> progressive(buf, buf + len);
  // Four-channel (YCCK) data: a valid file the panel has no colours for.
  std::vector<uint8_t> cmyk_px(size_t(c.w) * c.h * 4, 0x40);
  ASSERT_EQ(
      tjCompress2(tj, cmyk_px.data(), c.w, c.w * 4, c.h, TJPF_CMYK, &buf, &len, TJSAMP_420, 90, 0),
      0);
  std::vector<uint8_t> cmyk(buf, buf + len);
  tjFree(buf);
  tjDestroy(tj);

  Decode d(progressive, kW, kH);
  ASSERT_EQ(d.result, 0);
  expect_quadrants(d, 4);
  EXPECT_NE(Decode(cmyk, kW, kH).result, 0);
}

TEST(Jpegd, OutputMemoryMustHoldTheRequest) {
  auto jpg = testpic::encode(testpic::quadrants(64, 64));
  std::vector<uint8_t> mem(nv12_size(kW, kH));
  JpegdRequest req{uint32_t(jpg.size()), kW, kH, JPEGD_FORMAT_NV12, jpg.data(), {0, 0}};
  JpegdDecoder* d = jpegd_decoder_open();
  ASSERT_NE(d, nullptr);
  JpegdFrame f{};
  EXPECT_NE(jpegd_decoder_get(d, &req, &f), 0) << "no output memory yet";
  EXPECT_LT(jpegd_decoder_set_output_mem(d, &req, mem.data(), 0x1000, mem.size() - 1), 0);
  EXPECT_LT(jpegd_decoder_set_output_mem(d, &req, nullptr, 0x1000, mem.size()), 0);
  JpegdRequest zero = req;
  zero.width = 0;
  EXPECT_LT(jpegd_decoder_set_output_mem(d, &zero, mem.data(), 0x1000, mem.size()), 0);
  ASSERT_EQ(jpegd_decoder_set_output_mem(d, &req, mem.data(), 0x1000, mem.size()), 0);
  // A request that grew after the memory was set is refused.
  JpegdRequest bigger = req;
  bigger.height = kH + 16;
  EXPECT_NE(jpegd_decoder_get(d, &bigger, &f), 0);
  EXPECT_EQ(jpegd_decoder_get(d, &req, &f), 0);
  EXPECT_EQ(jpegd_decoder_put(d, &f), 0);
  EXPECT_EQ(jpegd_decoder_close(d), 0);
}

}  // namespace
