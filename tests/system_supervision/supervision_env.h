// Helpers of the supervision system tests: device settings, microcontroller
// frames, panel checks and the expected warning line.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness/harness.h"

namespace sup_test {

constexpr const char* kUdcState = "/sys/class/udc/13500000.otg/state";
constexpr const char* kBacklight = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/dump_dsi_reg";

struct Settings {
  uint8_t bright = 60;
  uint8_t mode = 0;
  uint8_t clock_enable = 0;
  uint8_t test_mode = 0;
  uint8_t warn_enable = 1;
  std::string video_path = "/media/offline_video.h264";
};

// Writes "/usr/data/app.cfg" (136 bytes) before the daemon starts.
inline void write_settings(const harness::DeviceRoot& root, const Settings& s) {
  std::string rec(136, '\0');
  rec[0] = static_cast<char>(s.bright);
  rec[1] = static_cast<char>(s.mode);
  rec[5] = static_cast<char>(s.clock_enable);
  rec[6] = static_cast<char>(s.test_mode);
  rec[7] = static_cast<char>(s.warn_enable);
  rec.replace(8, s.video_path.size(), s.video_path);
  root.write("/usr/data/app.cfg", rec);
}

inline void set_usb(const harness::DeviceRoot& root, bool configured) {
  root.write(kUdcState, configured ? "configured\n" : "not attached\n");
}

inline std::string backlight(const harness::DeviceRoot& root) { return root.read(kBacklight); }

inline bool wait_for(const std::function<bool()>& cond, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

inline std::vector<uint8_t> mcu_frame(uint8_t temp, uint16_t pump, uint8_t suspend) {
  std::vector<uint8_t> f(16, 0);
  f[0] = 0xAA;
  f[1] = 0x55;
  f[2] = temp;
  f[3] = static_cast<uint8_t>(pump >> 8);
  f[4] = static_cast<uint8_t>(pump);
  f[5] = suspend;
  return f;
}

inline void mcu_send(harness::Daemon& d, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  for (int tries = 0; done < bytes.size() && tries < 500; tries++) {
    ssize_t n = write(d.mcu_fd(), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  ASSERT_EQ(done, bytes.size());
}

inline uint32_t argb(const harness::Image& img, int x, int y) {
  const uint8_t* p = img.at(x, y);
  return uint32_t(p[3]) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

// The stored warning picture (amber, from `panelsim init`) on the video
// plane: its upper band is amber on either side of the triangle.
inline bool shows_warning_picture(const harness::Image& img) {
  if (img.width < 1000 || img.height < 700) return false;
  for (int x : {100, 980}) {
    for (int y : {350, 600}) {
      const uint8_t* p = img.at(x, y);
      if (!(p[0] > 200 && p[1] > 100 && p[1] < 215 && p[2] < 90)) return false;
    }
  }
  return true;
}

// The standby background ("/media/offline_logo.jpg"): a dim blue ring on
// dark grey, crossing column 540 in the upper half.
inline bool shows_offline_logo(const harness::Image& img) {
  if (img.width < 1000 || img.height < 1200) return false;
  const uint8_t* corner = img.at(100, 300);
  if (corner[0] > 60 || corner[1] > 60 || corner[2] > 70) return false;
  for (int y = 500; y < 1100; y++) {
    const uint8_t* p = img.at(540, y);
    if (p[2] > 120 && p[0] < 80) return true;
  }
  return false;
}

inline bool snapshot_until(const harness::DeviceRoot& root, const std::string& layer,
                           harness::Image* img,
                           const std::function<bool(const harness::Image&)>& ok, int timeout_ms) {
  return wait_for([&] { return harness::snapshot(root, layer, img) && ok(*img); }, timeout_ms);
}

// The overlay as the daemon's warning painter leaves it: both buffers wiped,
// then `text` as the grey warning line. Rendered here with the root's font.
harness::Image expected_warning_overlay(const harness::DeviceRoot& root, int width, int height,
                                        const std::string& text);
// The overlay of the offline screen (outside test mode) with these readings.
harness::Image expected_offline_overlay(const harness::DeviceRoot& root, int width, int height,
                                        int temp, int speed);
// Number of pixels that differ.
long diff_pixels(const harness::Image& a, const harness::Image& b);

// CPU time (user + system) the process has used, in clock ticks.
inline long cpu_ticks(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t close = s.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream in(s.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  // Fields after the name: state is field 3; utime and stime are 14 and 15.
  for (int i = 3; i <= 15 && in >> field; i++) {
    if (i == 14) utime = std::atol(field.c_str());
    if (i == 15) stime = std::atol(field.c_str());
  }
  return utime + stime;
}

// A quiet daemon (no logo, offline screen or video) uses next to nothing; a
// spinning thread takes far more than this even on a busy machine.
constexpr double kIdleShare = 0.08;

// CPU share (0..1 of one core) used by the process over `ms` milliseconds.
inline double cpu_share(pid_t pid, int ms) {
  long hz = sysconf(_SC_CLK_TCK);
  long a = cpu_ticks(pid);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  long b = cpu_ticks(pid);
  return double(b - a) / hz / (ms / 1000.0);
}

}  // namespace sup_test
