// Reading standby pictures out of overlay snapshots (RGBA PNG decoded by the
// harness). Header-only: the in-process and the system tests share it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "tests/harness/harness.h"

namespace standby_test {

inline uint32_t argb(const harness::Image& img, int x, int y) {
  const uint8_t* p = img.at(x, y);
  return uint32_t(p[3]) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

// Runs of consecutive rows in [y0, y1) holding `colour` within columns [x0, x1).
inline std::vector<std::pair<int, int>> image_runs(const harness::Image& img, uint32_t colour,
                                                   int x0, int x1, int y0, int y1) {
  std::vector<std::pair<int, int>> runs;
  bool in = false;
  for (int y = y0; y < y1 && y < img.height; y++) {
    bool ink = false;
    for (int x = x0; x < x1 && x < img.width && !ink; x++) ink = argb(img, x, y) == colour;
    if (ink && !in) runs.push_back({y, y});
    if (ink) runs.back().second = y;
    in = ink;
  }
  return runs;
}

inline bool all_transparent(const harness::Image& img) {
  if (img.rgba.empty()) return false;
  for (uint8_t b : img.rgba)
    if (b) return false;
  return true;
}

// Takes snapshots of `layer` until `ok` accepts one (true) or timeout_ms pass.
inline bool snapshot_until(const harness::DeviceRoot& root, const std::string& layer,
                           harness::Image* img,
                           const std::function<bool(const harness::Image&)>& ok,
                           int timeout_ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (harness::snapshot(root, layer, img) && ok(*img)) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// Polls a condition every 10 ms; true when it held within timeout_ms.
inline bool wait_for(const std::function<bool()>& cond, int timeout_ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace standby_test
