// `panelsim snapshot` on planes set up through the simulated platform: the
// NV12 conversion, the alpha blend, the layers, and a bad configuration.
#include <png.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "display/draw.h"
#include "display/fb.h"
#include "platform/display.h"
#include "tests/display/display_root.h"

namespace {

class SnapshotTest : public DisplayTest {
 protected:
  void SetUp() override {
    DisplayTest::SetUp();
    write(sim_panel_file, "64x48");
    ASSERT_EQ(open_fb(), 0);
    rmem_fd = rmem_open();
    ASSERT_GE(rmem_fd, 0);
  }
  void TearDown() override {
    rmem_close(rmem_fd);
    DisplayTest::TearDown();
  }
  // Runs panelsim; false when it fails. `channels` is 1, 3 or 4.
  bool snap(const std::string& layer, int channels, std::vector<uint8_t>* px, int* w = nullptr,
            int* h = nullptr) {
    std::string out = root_ + "/snap.png";
    if (harness::run(harness::build_dir() + "/panelsim snapshot " + root_ + " " + out +
                     " --layer " + layer + " 2>&1") != 0)
      return false;
    png_image img;
    memset(&img, 0, sizeof img);
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, out.c_str())) return false;
    img.format = channels == 1 ? PNG_FORMAT_GRAY : channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_RGBA;
    px->assign(PNG_IMAGE_SIZE(img), 0);
    if (w) *w = img.width;
    if (h) *h = img.height;
    return png_image_finish_read(&img, nullptr, px->data(), 0, nullptr) != 0;
  }
  int rmem_fd = -1;
};

// A 10 x 4 picture at (3, 5) with known Y, U and V.
TEST_F(SnapshotTest, VideoLayersConvertFullRangeNv12) {
  const int pw = 10, ph = 4, pitch = 16;
  uint32_t phys;
  uint8_t* y = static_cast<uint8_t*>(rmem_alloc(rmem_fd, &phys, pitch * ph * 3 / 2));
  ASSERT_NE(y, nullptr);
  for (int r = 0; r < ph; r++)
    for (int c = 0; c < pitch; c++) y[r * pitch + c] = uint8_t(20 + r * 50 + c);
  uint8_t* uv = y + pitch * ph;
  for (int i = 0; i < pitch * ph / 2; i += 2) uv[i] = 90, uv[i + 1] = 200;  // U, V
  dev_x = 3;
  dev_y = 5;
  const uint32_t output[4] = {0, 0, pitch, ph};
  ASSERT_EQ(fb_display_nv12(fb_fd, pw, ph, &fb_info, output, phys), 0);

  std::vector<uint8_t> px;
  int w, h;
  ASSERT_TRUE(snap("video-y", 1, &px, &w, &h));
  ASSERT_EQ(w, 64);
  ASSERT_EQ(h, 48);
  EXPECT_EQ(px[5 * 64 + 3], 20);
  EXPECT_EQ(px[8 * 64 + 12], 20 + 3 * 50 + 9);
  EXPECT_EQ(px[5 * 64 + 13], 0);  // right of the picture
  EXPECT_EQ(px[9 * 64 + 3], 0);   // below it

  ASSERT_TRUE(snap("video", 3, &px));
  const double Y = 20 + 50 + 4, U = 90 - 128, V = 200 - 128;
  const uint8_t* p = &px[(6 * 64 + 7) * 3];
  EXPECT_NEAR(p[0], Y + 1.402 * V, 0.51);
  EXPECT_NEAR(p[1], Y - 0.344136 * U - 0.714136 * V, 0.51);
  EXPECT_NEAR(p[2], std::min(255.0, Y + 1.772 * U), 0.51);
  EXPECT_EQ(px[0], 0);

  // The panel lays the shown overlay buffer over the picture by its alpha.
  {
    PlaneReadLock lock;
    transparent_fb1_buffer(1);
    draw_rect(fb1_buffer(1), 6, 6, 2, 1, 0x80FFFFFF);  // half-white over the picture
    draw_rect(fb1_buffer(1), 0, 0, 1, 1, 0xFF00FF00);  // opaque green on black
    fb_pan_display(fb1_fd, &fb1_info, 1);
  }
  std::vector<uint8_t> panel;
  ASSERT_TRUE(snap("panel", 3, &panel));
  const uint8_t* q = &panel[(6 * 64 + 7) * 3];
  for (int c = 0; c < 3; c++) EXPECT_NEAR(q[c], (255 * 128 + p[c] * 127) / 255.0, 1.0);
  EXPECT_EQ(panel[0], 0);
  EXPECT_EQ(panel[1], 255);
  EXPECT_EQ(panel[(6 * 64 + 9) * 3], px[(6 * 64 + 9) * 3]);  // untouched where transparent

  ASSERT_TRUE(snap("overlay", 4, &px));
  EXPECT_EQ(px[1], 255);
  EXPECT_EQ(px[3], 255);
  ASSERT_TRUE(snap("overlay0", 4, &px));
  EXPECT_EQ(px[3], 0);

  // A hidden overlay plane leaves the picture alone.
  fb_disable(fb1_fd);
  ASSERT_TRUE(snap("panel", 3, &panel));
  EXPECT_EQ(panel[1], 0);
}

TEST_F(SnapshotTest, BadConfigurationShowsNoPicture) {
  FbUserCfg c;
  c.words[FbUserCfg::kFormat] = fb_user_fmt_nv12;
  c.words[FbUserCfg::kWidth] = 64;
  c.words[FbUserCfg::kHeight] = 48;
  c.words[FbUserCfg::kYPhys] = sim_rmem_phys_base + sim_rmem_size - 100;  // runs off the end
  c.words[FbUserCfg::kYStride] = 64;
  c.words[FbUserCfg::kUvPhys] = 0xFFFFFFF0;
  c.words[FbUserCfg::kUvStride] = 64;
  ASSERT_EQ(fb_pan_display_set_user_cfg(fb_fd, &c), 0);
  ASSERT_EQ(fb_pan_display(fb_fd, &fb_info, 0), 0);
  std::vector<uint8_t> px;
  ASSERT_TRUE(snap("video", 3, &px));
  for (uint8_t b : px) ASSERT_EQ(b, 0);

  std::string st;
  harness::run(harness::build_dir() + "/panelsim snapshot " + root_ + " --state", &st);
  EXPECT_NE(st.find("\"fb0\":{\"width\":64,\"height\":48,\"x\":0,\"y\":0,\"pitch\":64}"),
            std::string::npos)
      << st;
  EXPECT_NE(st.find("\"backlight\":null"), std::string::npos) << st;
  EXPECT_NE(st.find("\"rotator_angle\":\"0\""), std::string::npos) << st;

  EXPECT_NE(harness::run(harness::build_dir() + "/panelsim snapshot " + root_ + " " + root_ +
                         "/x.png --layer nonsense 2>/dev/null"),
            0);
}

TEST_F(SnapshotTest, StateBeforeAnyPlaneIsOpened) {
  close_planes();
  harness::run("rm -f '" + root_ + "/sim/planes'");
  std::string st;
  ASSERT_EQ(harness::run(harness::build_dir() + "/panelsim snapshot " + root_ + " --state", &st),
            0);
  EXPECT_NE(st.find("\"fb0\":null"), std::string::npos) << st;
  EXPECT_NE(st.find("\"fb1_enabled\":false"), std::string::npos) << st;
  std::vector<uint8_t> px;
  int w, h;
  ASSERT_TRUE(snap("panel", 3, &px, &w, &h));
  EXPECT_EQ(w, 64);
  EXPECT_EQ(h, 48);
}

}  // namespace
