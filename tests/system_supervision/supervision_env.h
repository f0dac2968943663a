// Helpers of the supervision system tests: settings, microcontroller frames,
// panel checks and processor use of the daemon.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "standby/offline.h"
#include "standby/text.h"
#include "tests/harness/harness.h"

namespace sup_test {

using harness::DeviceRoot;
using harness::Image;

constexpr const char* kBacklight = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/dump_dsi_reg";
constexpr const char* kMarker = "/tmp/no_show_logo_and_offline";

using harness::write_settings;  // brightness 60: backlight "600"

inline void set_usb(const DeviceRoot& root, bool configured) {
  root.write("/sys/class/udc/13500000.otg/state", configured ? "configured\n" : "not attached\n");
}

inline std::string backlight(const DeviceRoot& root) { return root.read(kBacklight); }

// `count` microcontroller frames in a row.
inline std::vector<uint8_t> mcu_frames(uint8_t temp, uint16_t pump, uint8_t suspend,
                                       int count = 1) {
  std::vector<uint8_t> out;
  for (int i = 0; i < count; i++) {
    std::vector<uint8_t> f = {0xAA, 0x55, temp, uint8_t(pump >> 8), uint8_t(pump), suspend};
    f.resize(16, 0);
    out.insert(out.end(), f.begin(), f.end());
  }
  return out;
}

inline void mcu_send(harness::Daemon& d, const std::vector<uint8_t>& bytes) {
  ASSERT_EQ(write(d.mcu_fd(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

// The stored warning picture on the video plane: amber on either side of
// its triangle.
inline bool shows_warning_picture(const Image& img) {
  auto amber = [&](int x, int y) {
    const uint8_t* p = img.at(x, y);
    return p[0] > 200 && p[1] > 100 && p[1] < 215 && p[2] < 90;
  };
  return img.width >= 1000 && img.height >= 700 && amber(100, 350) && amber(980, 600);
}

inline bool snapshot_until(const DeviceRoot& root, const std::string& layer, Image* img,
                           const std::function<bool(const Image&)>& ok, int timeout_ms) {
  return harness::wait_until([&] { return harness::snapshot(root, layer, img) && ok(*img); },
                             timeout_ms);
}

// What the overlay must hold, pixel for pixel (ARGB): painted by the
// daemon's own text code, in this process, on a buffer shaped like `like`.
inline std::vector<uint32_t> paint(const Image& like, const std::function<void(Canvas&)>& fn) {
  std::vector<uint32_t> px(size_t(like.width) * like.height, 0);
  Canvas cv;
  cv.base = reinterpret_cast<uint8_t*>(px.data());
  cv.width = like.width;
  cv.height = like.height;
  cv.pitch = like.width * 4;
  fn(cv);
  return px;
}

// Both buffers wiped, then `text` as the grey warning line.
inline std::vector<uint32_t> warning_overlay(const DeviceRoot& root, const Image& like,
                                             const std::string& text) {
  static FT_Library lib = nullptr;
  static FT_Face face = nullptr;
  if (!face) {
    setenv("PANELD_ROOT", root.path().c_str(), 1);
    font_setup(&lib, &face, "/media/phei00u.ttf", 50);
  }
  return paint(like, [&](Canvas& cv) { show_warn_line_on(cv, face, text.c_str()); });
}

// The offline screen's overlay with these readings.
inline std::vector<uint32_t> offline_overlay(const DeviceRoot& root, const Image& like, int temp,
                                             int speed) {
  static bool ready = false;
  if (!ready) {
    setenv("PANELD_ROOT", root.path().c_str(), 1);
    ready = offline_init() == 0 && offline_setSize(550, 135) == 0;
  }
  return paint(like, [&](Canvas& cv) { offline_paint_locked(cv, temp, speed); });
}

// Number of pixels of `img` that differ from `want`.
inline long diff_pixels(const Image& img, const std::vector<uint32_t>& want) {
  if (img.rgba.size() != want.size() * 4) return -1;
  long n = 0;
  for (size_t i = 0; i < want.size(); i++)
    n += img.argb(int(i % img.width), int(i / img.width)) != want[i];
  return n;
}

// A quiet daemon (no logo, offline screen or video) uses next to nothing; a
// spinning thread takes far more than this even on a busy machine.
constexpr double kIdleShare = 0.08;

}  // namespace sup_test
