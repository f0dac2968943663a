// Planes: geometry by the panel table, rotation, backlight texts, NV12
// user configuration, and the plane lock against a concurrent painter.
#include <atomic>
#include <thread>

#include "display/draw.h"
#include "display/fb.h"
#include "tests/display/display_root.h"

namespace {

TEST_F(DisplayTest, DefaultPanelGeometry) {
  ASSERT_EQ(open_fb(), 0);
  EXPECT_EQ(fb_info.xres, 1080u);
  EXPECT_EQ(fb_info.yres, 2400u);
  EXPECT_EQ(fb_info.line_length, 1080u * 4);
  EXPECT_EQ(fb1_info.frame_size, 1080u * 2400 * 4);
  EXPECT_EQ(fb1_buffer(1) - fb1_buffer(0), uintptr_t(fb1_info.frame_size));
  EXPECT_EQ(fb1_buffer(2), 0u);
  EXPECT_EQ(clock_fb_base, fb1_buffer(0));
  EXPECT_EQ(dev_width, 1080);
  EXPECT_EQ(dev_height, 2288);
  EXPECT_EQ(dev_x, 0);
  EXPECT_EQ(dev_y, 84);
  EXPECT_EQ(dev_type, 6);
  SimPlaneState s = state();
  EXPECT_TRUE(s.plane[0].enabled && s.plane[1].enabled);
  EXPECT_EQ(s.fb0_user_cfg, 1u);
}

TEST_F(DisplayTest, PanelTableKeepsOrSetsOffsetsByRotation) {
  write(sim_panel_file, "424x960\n");
  ASSERT_EQ(open_fb(), 0);
  EXPECT_EQ(dev_width, 368);
  EXPECT_EQ(dev_x, 56);
  EXPECT_EQ(dev_type, 2);
  set_rotation(2);  // 180 degrees: same size, other offset
  EXPECT_EQ(read(sysfs_rotator_angle), "180");
  EXPECT_EQ(dev_x, 0);
  close_planes();

  write(sim_panel_file, "800x480");
  write(sysfs_rotator_angle, "0");
  dev_x = 7, dev_y = 9, dev_type = 3;
  ASSERT_EQ(open_fb(), 0);
  EXPECT_EQ(dev_width, 800);
  EXPECT_EQ(dev_height, 480);
  EXPECT_EQ(dev_x, 7);
  EXPECT_EQ(dev_y, 9);
  EXPECT_EQ(dev_type, 3);
  close_planes();

  write(sim_panel_file, "720x1600");
  ASSERT_EQ(open_fb(), 0);
  EXPECT_EQ(dev_width, 720);
  EXPECT_EQ(dev_height, 1472);
  EXPECT_EQ(dev_x, 7);  // kept
  EXPECT_EQ(dev_y, 64);
}

TEST_F(DisplayTest, NonsensePanelFileFallsBackToDefault) {
  write(sim_panel_file, "0x99999999");
  ASSERT_EQ(open_fb(), 0);
  EXPECT_EQ(fb_info.xres, 1080u);
  EXPECT_EQ(fb_info.yres, 2400u);
}

TEST_F(DisplayTest, RotationWritesAngleAndSwapsQuarterTurns) {
  ASSERT_EQ(open_fb(), 0);
  set_rotation(1);
  EXPECT_EQ(read(sysfs_rotator_angle), "90");
  EXPECT_EQ(rotation, 1);
  EXPECT_EQ(fb_info.xres, 2400u);
  EXPECT_EQ(fb1_info.yres, 1080u);
  EXPECT_EQ(dev_width, 2400);  // not in the table: the whole plane
  EXPECT_EQ(clock_fb_base, fb1_buffer(0));
  set_rotation(3);
  EXPECT_EQ(read(sysfs_rotator_angle), "270");
  set_rotation(7);
  EXPECT_EQ(read(sysfs_rotator_angle), "0");
  EXPECT_EQ(fb_info.xres, 1080u);
  EXPECT_EQ(dev_height, 2288);
}

TEST_F(DisplayTest, RotationIsRefusedWhileHoldingThePlaneLock) {
  ASSERT_EQ(open_fb(), 0);
  PlaneReadLock lock;
  set_rotation(1);  // would deadlock if it waited for the lock
  EXPECT_EQ(read(sysfs_rotator_angle), "0");
  EXPECT_EQ(fb_info.xres, 1080u);
}

TEST_F(DisplayTest, BrightnessClampsAndRemembers) {
  bright = 60;
  set_brightness(150, 0);
  EXPECT_EQ(read(sysfs_dump_dsi_reg), "1000");
  EXPECT_EQ(bright, 100);
  set_brightness(35, 0);
  EXPECT_EQ(read(sysfs_dump_dsi_reg), "350");  // shorter text replaces the longer one
  inactive_brightness();
  EXPECT_EQ(read(sysfs_dump_dsi_reg), "0");
  EXPECT_EQ(bright, 35);
  active_brightness();
  EXPECT_EQ(read(sysfs_dump_dsi_reg), "350");
  set_brightness(INT32_MIN, 1);  // no lower clamp, but no overflow either
  EXPECT_EQ(read(sysfs_dump_dsi_reg), "-21474836480");
  EXPECT_EQ(bright, 35);
}

TEST_F(DisplayTest, Nv12PictureReachesTheUserConfiguration) {
  ASSERT_EQ(open_fb(), 0);
  const uint32_t output[4] = {0, 0, 1088, 2288};
  EXPECT_EQ(fb_display_nv12(fb_fd, dev_width, dev_height, &fb_info, output, 0x20001000), 0);
  SimPlaneState s = state();
  ASSERT_EQ(s.fb0_picture, 1u);
  const uint32_t want[18] = {
      4, 1080, 2288, 0, 84, 2, 1, 0, 0, 0x20001000, 1088, 0x20001000 + 1088 * 2288, 1088};
  for (int i = 0; i < 18; i++) EXPECT_EQ(s.fb0_cfg[i], want[i]) << "word " << i;
  EXPECT_EQ(fb_display_nv12(fb_fd, 1, 1, &fb_info, nullptr, 0), -1);
}

TEST_F(DisplayTest, PlanesOfAClosedOrUnknownDescriptorFail) {
  FbInfo info;
  EXPECT_LT(fb_open("/dev/fb7", &info), 0);
  EXPECT_LT(fb_pan_display(12345, &info, 0), 0);
  ASSERT_EQ(open_fb(), 0);
  EXPECT_LT(fb_pan_display(fb1_fd, &fb1_info, 2), 0);
  EXPECT_LT(fb_pan_display_enable_user_cfg(fb1_fd), 0);
}

// A painter that follows the lock rules never touches a stale mapping while
// the command loop rotates the panel back and forth.
TEST_F(DisplayTest, PaintersSurviveRotation) {
  ASSERT_EQ(open_fb(), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> frames{0};
  std::thread painter([&] {
    while (!stop) {
      {
        PlaneReadLock lock;
        uintptr_t base = clock_fb_base;
        draw_rect(base, 10, 10, 200, 200, 0xFF00FF00);
        draw_point(base, 5, 5, 0xFFFFFFFF);
      }
      transparent_fb1_direct(0);
      frames++;
    }
  });
  for (uint32_t code : {1u, 0u, 3u, 2u}) {
    int before = frames;
    set_rotation(code);
    // Let the painter through at least once on the new mapping.
    while (frames == before) std::this_thread::yield();
  }
  stop = true;
  painter.join();
  EXPECT_EQ(read(sysfs_rotator_angle), "180");
  EXPECT_GT(frames, 4);
}

}  // namespace
