// Planes and drawing in this process on the simulated platform: the panel
// table, draw_rect clipping, overlay wipes, and rotation under a painter.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "display/draw.h"
#include "display/fb.h"
#include "platform/sim/sim_state.h"
#include "storage/config.h"
#include "tests/harness/harness.h"

namespace {

class Planes : public ::testing::Test {
 protected:
  // The panel file written by each test; the geometry globals from zero.
  void open(const std::string& panel = "1080x2400") {
    setenv("PANELD_ROOT", root_.path().c_str(), 1);
    root_.write(sim_panel_file, panel);
    root_.write(sysfs_rotator_angle, "0");
    png_frame_num.store(0);
    ASSERT_EQ(open_fb(), 0);
    b0 = fb1_buffer(0);
    b1 = fb1_buffer(1);
  }
  void close_planes() {
    fb_close(fb_fd, &fb_info);
    fb_close(fb1_fd, &fb1_info);
    fb_fd.store(-1);
    fb1_fd.store(-1);
  }
  void TearDown() override {
    close_planes();
    rotation.store(0);
  }
  uint32_t pixel(uintptr_t base, int x, int y) const {
    return *reinterpret_cast<const uint32_t*>(base + size_t(y) * fb_info.line_length + x * 4);
  }
  // The pixels of `base` equal to `c` form exactly [x0, x1) x [y0, y1).
  ::testing::AssertionResult filled(uintptr_t base, uint32_t c, int x0, int y0, int x1, int y1) {
    for (int y = 0; y < 2400; y++)
      for (int x = 0; x < 1080; x++)
        if ((pixel(base, x, y) == c) != (x >= x0 && x < x1 && y >= y0 && y < y1))
          return ::testing::AssertionFailure() << "pixel " << x << "," << y;
    return ::testing::AssertionSuccess();
  }
  harness::DeviceRoot root_{false};
  uintptr_t b0 = 0, b1 = 0;
};

TEST_F(Planes, PanelTableByPlaneSizeAndRotation) {
  const int kept = 7;  // dev_x, dev_y and dev_type before the open
  struct Row {
    const char* panel;
    int rotation, width, height, x, y, type;
  } rows[] = {
      {"720x1600", 0, 720, 1472, kept, 64, 1}, {"1600x720", 0, 1600, 720, 0, 0, 1},
      {"424x960", 0, 368, 960, 56, 0, 2},      {"424x960", 2, 368, 960, 0, 0, 2},
      {"452x1280", 0, 448, 1280, 0, 0, 3},     {"452x1280", 2, 448, 1280, 4, 0, 3},
      {"452x1280", 1, 448, 1280, kept, 0, 3},  {"480x960", 0, 320, 960, 80, 0, 4},
      {"480x960", 2, 320, 960, 80, 0, 4},      {"480x960", 3, 320, 960, kept, 0, 4},
      {"1080x2400", 0, 1080, 2288, 0, 90, 6},  {"800x480", 0, 800, 480, kept, kept, kept},
  };
  fb_y_offset.store(90);
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.panel) + " rotation " + std::to_string(r.rotation));
    for (auto* w : {&dev_x, &dev_y, &dev_type}) w->store(kept);
    rotation.store(r.rotation);
    open(r.panel);
    EXPECT_EQ(dev_width, r.width);
    EXPECT_EQ(dev_height, r.height);
    EXPECT_EQ(dev_x, r.x);
    EXPECT_EQ(dev_y, r.y);
    EXPECT_EQ(dev_type, r.type);
    close_planes();
  }
  fb_y_offset.store(84);
}

TEST_F(Planes, RectanglesAreClippedToThePlane) {
  open();
  const int kMax = INT32_MAX, kMin = INT32_MIN;
  struct Case {
    int x, y, w, h;      // arguments
    int x0, y0, x1, y1;  // the filled rectangle
  } cases[] = {
      {16, 84, 1048, 2288, 16, 84, 1064, 2372},  // the usable area
      {0, 0, -1, -1, 0, 0, 1080, 2400},          // negative sizes reach the edges
      {-10, 5, 20, 1, 0, 5, 10, 6},              // a negative origin keeps the far edge
      {1070, 2390, -1, -1, 1070, 2390, 1080, 2400},
      {2000, 0, 10, 10, 0, 0, 0, 0},  // right of the plane
      {0, 2400, 10, 10, 0, 0, 0, 0},  // below it
      {kMax, kMax, kMax, kMax, 0, 0, 0, 0},
      {kMin, kMin, kMax, 3, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    draw_rect(b0, 0, 0, -1, -1, 0);
    draw_rect(b0, c.x, c.y, c.w, c.h, 0xFFFF0000);
    EXPECT_TRUE(filled(b0, 0xFFFF0000, c.x0, c.y0, c.x1, c.y1)) << c.x << "," << c.y;
  }

  // Plane 0 never opened (xres 0): nothing drawn, no division by zero.
  close_planes();
  fb_info.xres.store(0);
  std::vector<uint32_t> mem(64, 0xAAAAAAAA);
  draw_rect(reinterpret_cast<uintptr_t>(mem.data()), 0, 0, -1, -1, 0);
  draw_rect(0, 0, 0, -1, -1, 0);
  clear_overlay();
  clean_fb1();
  for (uint32_t w : mem) EXPECT_EQ(w, 0xAAAAAAAAu);
}

TEST_F(Planes, FlipPaintsTheBackBufferAndShowsIt) {
  open();
  auto shown = [this] { return harness::Overlay{root_}.shown(); };
  draw_rect(b0, 0, 0, -1, -1, 0xFF111111);
  draw_rect(b1, 0, 0, -1, -1, 0xFF222222);
  EXPECT_EQ(overlay_flip([](int32_t n) { transparent_fb1_buffer(n); }), 1);
  EXPECT_EQ(png_frame_num, 1);
  EXPECT_EQ(shown(), 1);
  EXPECT_TRUE(filled(b1, 0, 0, 0, 1080, 2400));
  EXPECT_EQ(pixel(b0, 500, 500), 0xFF111111u);  // the buffer behind is left alone
  // Clearing wipes both, whichever was shown, and shows the first one again.
  clear_overlay();
  EXPECT_EQ(png_frame_num, 1);
  EXPECT_EQ(shown(), 1);
  EXPECT_TRUE(filled(b0, 0, 0, 0, 1080, 2400));
  EXPECT_TRUE(filled(b1, 0, 0, 0, 1080, 2400));
}

// A painter that follows the lock rules never touches a stale mapping while
// the command loop rotates the panel back and forth.
TEST_F(Planes, PaintersSurviveRotation) {
  open();
  std::atomic<bool> stop{false};
  std::atomic<int> frames{0};
  std::thread painter([&] {
    while (!stop) {
      {
        PlaneReadLock lock;
        draw_rect(fb1_buffer(png_frame_num), 10, 10, 200, 200, 0xFF00FF00);
        draw_point(fb1_buffer(png_frame_num), 5, 5, 0xFFFFFFFF);
      }
      clear_overlay();
      frames++;
    }
  });
  for (uint32_t code : {1u, 0u, 3u, 2u}) {
    int before = frames;
    set_rotation(code);
    while (frames == before) std::this_thread::yield();  // at least once on the new mapping
  }
  stop = true;
  painter.join();
  EXPECT_EQ(root_.read(sysfs_rotator_angle), "180");
}

}  // namespace
