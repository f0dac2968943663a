// Drawing primitives: clipping rules, the overlay wipes and flips, and the
// guards against an unopened or mismatched plane.
#include "display/draw.h"

#include <vector>

#include "display/fb.h"
#include "tests/display/display_root.h"

namespace {

class DrawTest : public DisplayTest {
 protected:
  void SetUp() override {
    DisplayTest::SetUp();
    ASSERT_EQ(open_fb(), 0);
    b0 = fb1_buffer(0);
    b1 = fb1_buffer(1);
  }
  // Counts the pixels of buffer `base` equal to `c`, and checks that they
  // form exactly the rectangle [x0, x1) x [y0, y1).
  ::testing::AssertionResult filled(uintptr_t base, uint32_t c, int x0, int y0, int x1, int y1) {
    for (int y = 0; y < 2400; y++)
      for (int x = 0; x < 1080; x++) {
        bool inside = x >= x0 && x < x1 && y >= y0 && y < y1;
        if ((pixel(base, x, y) == c) != inside)
          return ::testing::AssertionFailure() << "pixel " << x << "," << y;
      }
    return ::testing::AssertionSuccess();
  }
  uintptr_t b0 = 0, b1 = 0;
};

TEST_F(DrawTest, RectanglesClipToThePlane) {
  draw_rect(b0, 0, 0, -1, -1, 0);
  draw_rect(b0, 16, 84, 1048, 2288, 0xFFFF0000);
  EXPECT_TRUE(filled(b0, 0xFFFF0000, 16, 84, 1064, 2372));

  draw_rect(b0, 0, 0, -1, -1, 0x11223344);
  EXPECT_TRUE(filled(b0, 0x11223344, 0, 0, 1080, 2400));

  draw_rect(b0, 0, 0, -1, -1, 0);
  draw_rect(b0, -10, 5, 20, 1, 0xFF0000FF);  // keeps its far edge
  EXPECT_TRUE(filled(b0, 0xFF0000FF, 0, 5, 10, 6));

  draw_rect(b0, 2000, 0, 10, 10, 0xFFFFFFFF);
  draw_rect(b0, 0, 2400, 10, 10, 0xFFFFFFFF);
  draw_rect(b0, 1070, 2390, -1, -1, 0xFFFFFFFF);  // to the corner
  EXPECT_TRUE(filled(b0, 0xFFFFFFFF, 1070, 2390, 1080, 2400));
  // Extreme arguments do not overflow into a wrong rectangle.
  draw_rect(b0, 0, 0, -1, -1, 0);
  draw_rect(b0, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, 0xFFFFFFFF);
  draw_rect(b0, INT32_MIN, INT32_MIN, INT32_MAX, 3, 0xFFFFFFFF);
  EXPECT_TRUE(filled(b0, 0xFFFFFFFF, 0, 0, 0, 0));
}

TEST_F(DrawTest, NothingIsDrawnBeforePlaneZeroIsOpen) {
  close_planes();
  std::vector<uint32_t> mem(64, 0xAAAAAAAA);
  draw_rect(reinterpret_cast<uintptr_t>(mem.data()), 0, 0, -1, -1, 0);
  draw_rect(0, 0, 0, -1, -1, 0);
  draw_point_clipped(reinterpret_cast<uintptr_t>(mem.data()), 0, 0, 0);
  transparent_fb1_buffer(0);
  transparent_fb1_direct(0);
  clean_fb1();
  for (uint32_t w : mem) EXPECT_EQ(w, 0xAAAAAAAAu);
}

TEST_F(DrawTest, UnsupportedPixelFormatEndsTheProcess) {
  EXPECT_EXIT(
      {
        fb_info.line_length = 1080 * 2;
        draw_rect(b0, 0, 0, 1, 1, 0);
      },
      ::testing::ExitedWithCode(255), "not support pix fmt: 0 2160 1080");
}

TEST_F(DrawTest, CheckedPointsStayInside) {
  draw_rect(b0, 0, 0, -1, -1, 0);
  draw_point_clipped(b0, -1, 0, 1);
  draw_point_clipped(b0, 1080, 0, 1);
  draw_point_clipped(b0, 0, 2400, 1);
  draw_point_clipped(b0, 1079, 2399, 2);
  draw_point(b0, 3, 4, 3);
  EXPECT_EQ(pixel(b0, 1079, 2399), 2u);
  EXPECT_EQ(pixel(b0, 3, 4), 3u);
}

// Plane 0 is larger than plane 1 (say, after a driver mix-up): painting a
// plane-1 buffer with plane 0's geometry must stop at the end of plane 1.
TEST_F(DrawTest, FillsStopAtTheEndOfTheirPlane) {
  EXPECT_EQ(plane_room(b1 + fb1_info.frame_size - 4), 4u);
  EXPECT_EQ(plane_room(reinterpret_cast<uintptr_t>(&b0)), SIZE_MAX);
  fb_info.yres = 100000;  // plane 0's record claims far more rows
  draw_rect(b1, 0, 0, -1, -1, 0x12345678);
  draw_rect(b1, 5, 2399, 10, 50, 0x12345678);
  fb_info.yres = 2400;
  EXPECT_EQ(pixel(b1, 1079, 2399), 0x12345678u);
}

TEST_F(DrawTest, DirectWipesFlipThroughBothBuffers) {
  draw_rect(b0, 0, 0, -1, -1, 0xFF111111);
  draw_rect(b1, 0, 0, -1, -1, 0xFF222222);
  png_frame_num = 0;
  transparent_fb1_direct(0);
  EXPECT_EQ(png_frame_num, 1);
  EXPECT_EQ(state().plane[1].shown, 1u);
  EXPECT_TRUE(filled(b0, 0, 0, 0, 1080, 2400));
  EXPECT_EQ(pixel(b1, 500, 500), 0xFF222222u);
  transparent_fb1_direct(0);
  EXPECT_EQ(png_frame_num, 0);
  EXPECT_EQ(state().plane[1].shown, 0u);
  EXPECT_TRUE(filled(b1, 0, 0, 0, 1080, 2400));
}

TEST_F(DrawTest, CleanWipesBufferZeroAndShowsIt) {
  draw_rect(b0, 0, 0, -1, -1, 0xFF111111);
  draw_rect(b1, 0, 0, -1, -1, 0xFF222222);
  png_frame_num = 1;
  fb_pan_display(fb1_fd, &fb1_info, 1);
  clean_fb1();
  EXPECT_EQ(png_frame_num, 1);
  EXPECT_EQ(state().plane[1].shown, 0u);
  EXPECT_EQ(pixel(b0, 0, 0), 0u);
  EXPECT_EQ(pixel(b1, 0, 0), 0xFF222222u);
  transparent_fb1_buffer(1);
  EXPECT_EQ(pixel(b1, 1079, 2399), 0u);
  transparent_fb1_buffer(5);  // no such buffer: nothing happens
}

}  // namespace
