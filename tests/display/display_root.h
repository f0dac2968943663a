// A throw-away device root with the panel attribute files, and the planes
// opened on it; PANELD_ROOT points at it while the test runs.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "display/fb.h"
#include "platform/sim/sim_state.h"
#include "tests/harness/harness.h"

class DisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/paneld-display-XXXXXX";
    root_ = mkdtemp(tmpl);
    setenv("PANELD_ROOT", root_.c_str(), 1);
    harness::run("mkdir -p '" + root_ + "/sim' '" + root_ +
                 "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0'");
    write(sysfs_rotator_angle, "0");
    write(sysfs_dump_dsi_reg, "");
    rotation = 0;
    png_frame_num = 0;
    for (auto* w : {&dev_x, &dev_y, &dev_width, &dev_height, &dev_type}) *w = 0;
  }
  void TearDown() override {
    close_planes();
    unsetenv("PANELD_ROOT");
    harness::run("rm -rf '" + root_ + "'");
  }
  void close_planes() {
    fb_close(fb_fd, &fb_info);
    fb_close(fb1_fd, &fb1_info);
    fb_fd = -1;
    fb1_fd = -1;
  }
  void write(const std::string& dev, const std::string& text) const {
    std::ofstream(root_ + dev, std::ios::binary | std::ios::trunc) << text;
  }
  std::string read(const std::string& dev) const {
    std::ifstream f(root_ + dev, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  SimPlaneState state() const {
    SimPlaneState s{};
    EXPECT_EQ(sim_state_read(root_, &s), 0);
    return s;
  }
  uint32_t pixel(uintptr_t base, int x, int y) const {
    return *reinterpret_cast<const uint32_t*>(base + size_t(y) * fb_info.line_length + x * 4);
  }

  std::string root_;
};
