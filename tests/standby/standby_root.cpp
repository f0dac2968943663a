#include "tests/standby/standby_root.h"

#include <cstdlib>

#include "link/subsystems.h"
#include "platform/system.h"
#include "standby/clock.h"
#include "standby/offline.h"

namespace standby_test {

const harness::DeviceRoot& root() {
  static harness::DeviceRoot* r = [] {
    auto* dr = new harness::DeviceRoot(true);
    setenv("PANELD_ROOT", dr->path().c_str(), 1);
    setenv("TZ", "UTC", 1);
    platform_init();
    init_disp();
    show_warn_msg_init();
    clock_init();
    clock_setSize(230, 110);
    offline_init();
    offline_setSize(550, 135);
    return dr;
  }();
  return *r;
}

GuardedCanvas::GuardedCanvas(int32_t width, int32_t height, uint32_t fill, int32_t margin)
    : width_(width), height_(height), margin_(margin), stride_(width + 2 * margin) {
  px_.assign(size_t(stride_) * (height + 2 * margin), kGuard);
  for (int32_t y = 0; y < height; y++)
    for (int32_t x = 0; x < width; x++) px_[size_t(y + margin) * stride_ + x + margin] = fill;
  cv_.base = reinterpret_cast<uint8_t*>(&px_[size_t(margin) * stride_ + margin]);
  cv_.width = width;
  cv_.height = height;
  cv_.pitch = stride_ * 4;
}

uint32_t GuardedCanvas::at(int32_t x, int32_t y) const {
  return px_[size_t(y + margin_) * stride_ + x + margin_];
}

bool GuardedCanvas::margin_intact() const {
  for (int32_t y = -margin_; y < height_ + margin_; y++) {
    for (int32_t x = -margin_; x < width_ + margin_; x++) {
      bool inside = x >= 0 && x < width_ && y >= 0 && y < height_;
      if (!inside && px_[size_t(y + margin_) * stride_ + x + margin_] != kGuard) return false;
    }
  }
  return true;
}

bool GuardedCanvas::same_pixels(const GuardedCanvas& o) const { return px_ == o.px_; }

bool GuardedCanvas::ink_rows(uint32_t colour, int32_t x0, int32_t x1, int32_t* first,
                             int32_t* last) const {
  auto runs = ink_runs(colour, x0, x1, 0, height_);
  if (runs.empty()) return false;
  *first = runs.front().first;
  *last = runs.back().second;
  return true;
}

std::vector<std::pair<int32_t, int32_t>> GuardedCanvas::ink_runs(uint32_t colour, int32_t x0,
                                                                 int32_t x1, int32_t y0,
                                                                 int32_t y1) const {
  std::vector<std::pair<int32_t, int32_t>> runs;
  bool in = false;
  for (int32_t y = y0; y < y1; y++) {
    bool ink = false;
    for (int32_t x = x0; x < x1 && !ink; x++) ink = at(x, y) == colour;
    if (ink && !in) runs.push_back({y, y});
    if (ink) runs.back().second = y;
    in = ink;
  }
  return runs;
}

}  // namespace standby_test
