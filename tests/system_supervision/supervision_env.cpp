#include "tests/system_supervision/supervision_env.h"

#include <stdlib.h>

#include <cstring>
#include <mutex>

#include "standby/offline.h"
#include "standby/text.h"

namespace sup_test {

namespace {

// Text painters of the daemon's own code, run in this process on a plain
// buffer shaped like an overlay buffer.
harness::Image paint(int width, int height, const std::function<void(const Canvas&)>& fn) {
  std::vector<uint32_t> px(size_t(width) * height, 0);
  Canvas cv;
  cv.base = reinterpret_cast<uint8_t*>(px.data());
  cv.width = width;
  cv.height = height;
  cv.pitch = width * 4;
  fn(cv);
  harness::Image img;
  img.width = width;
  img.height = height;
  img.rgba.resize(px.size() * 4);
  for (size_t i = 0; i < px.size(); i++) {
    uint32_t c = px[i];
    img.rgba[i * 4 + 0] = uint8_t(c >> 16);
    img.rgba[i * 4 + 1] = uint8_t(c >> 8);
    img.rgba[i * 4 + 2] = uint8_t(c);
    img.rgba[i * 4 + 3] = uint8_t(c >> 24);
  }
  return img;
}

std::mutex g_font_mutex;  // the fonts below are set up once per process

}  // namespace

harness::Image expected_warning_overlay(const harness::DeviceRoot& root, int width, int height,
                                        const std::string& text) {
  std::lock_guard<std::mutex> lock(g_font_mutex);
  static FT_Library lib = nullptr;
  static FT_Face face = nullptr;
  if (!face) {
    setenv("PANELD_ROOT", root.path().c_str(), 1);
    font_setup(&lib, &face, "/media/phei00u.ttf", 50);
  }
  return paint(width, height, [&](const Canvas& cv) { show_warn_line_on(cv, face, text.c_str()); });
}

harness::Image expected_offline_overlay(const harness::DeviceRoot& root, int width, int height,
                                        int temp, int speed) {
  std::lock_guard<std::mutex> lock(g_font_mutex);
  static bool ready = false;
  if (!ready) {
    setenv("PANELD_ROOT", root.path().c_str(), 1);
    offline_init();
    offline_setSize(550, 135);
    ready = true;
  }
  return paint(width, height, [&](const Canvas& cv) { offline_paint_locked(cv, temp, speed); });
}

long diff_pixels(const harness::Image& a, const harness::Image& b) {
  if (a.width != b.width || a.height != b.height) return -1;
  long n = 0;
  for (size_t i = 0; i < a.rgba.size(); i += 4) {
    if (memcmp(&a.rgba[i], &b.rgba[i], 4) != 0) n++;
  }
  return n;
}

}  // namespace sup_test
