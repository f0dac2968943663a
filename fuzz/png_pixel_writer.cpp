// Fuzz target: arbitrary bytes as a PNG frame for the overlay pixel writer.
// The picture lands at a position taken from the input's size (so clipping
// on every edge is exercised) on a canvas with guard bytes around it; a
// write outside the canvas aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image/png_overlay.h"

namespace {

constexpr int kWidth = 61, kHeight = 47, kSparePx = 3, kGuardRows = 2;
constexpr uint32_t kPitch = (kWidth + kSparePx) * 4;
constexpr size_t kBytes = size_t(kHeight + 2 * kGuardRows) * kPitch;
constexpr uint8_t kFill = 0xA5;

uint8_t mem[kBytes];

bool outside_canvas(size_t i) {
  const size_t start = size_t(kGuardRows) * kPitch, end = start + size_t(kHeight) * kPitch;
  return i < start || i >= end || (i - start) % kPitch >= size_t(kWidth) * 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  memset(mem, kFill, sizeof mem);
  const Canvas canvas{mem + size_t(kGuardRows) * kPitch, kWidth, kHeight, kPitch};
  const int64_t x = int64_t(size % 131) - 65;
  const int64_t y = int64_t(size / 131 % 97) - 48;
  png_draw_canvas(data, size, x, y, canvas, false);
  for (size_t i = 0; i < kBytes; i++)
    if (outside_canvas(i) && mem[i] != kFill) abort();
  return 0;
}
