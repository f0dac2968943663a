// One device root (made by panelsim init, fonts included) for the whole
// standby test program, with the simulated planes opened in this process.
// Made on first use; PANELD_ROOT points at it from then on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "standby/text.h"
#include "tests/harness/harness.h"

namespace standby_test {

// The root; the first call sets PANELD_ROOT, runs platform_init and
// init_disp, and sets up the clock and offline fonts as start-up does.
const harness::DeviceRoot& root();

// A plain ARGB canvas inside a larger buffer whose margin is filled with a
// guard value, so that writes outside the canvas can be detected.
class GuardedCanvas {
 public:
  static constexpr uint32_t kGuard = 0xDEADBEEF;
  GuardedCanvas(int32_t width, int32_t height, uint32_t fill = 0, int32_t margin = 8);
  const Canvas& canvas() const { return cv_; }
  uint32_t at(int32_t x, int32_t y) const;  // canvas pixel
  bool margin_intact() const;               // no write landed outside the canvas
  bool same_pixels(const GuardedCanvas& o) const;
  // Canvas rows [first, last] holding a pixel equal to `colour` within the
  // columns [x0, x1); false when there is none.
  bool ink_rows(uint32_t colour, int32_t x0, int32_t x1, int32_t* first, int32_t* last) const;
  // Runs of consecutive rows with `colour` in columns [x0, x1) and rows
  // [y0, y1): each run as {first, last}.
  std::vector<std::pair<int32_t, int32_t>> ink_runs(uint32_t colour, int32_t x0, int32_t x1,
                                                    int32_t y0, int32_t y1) const;

 private:
  int32_t width_, height_, margin_, stride_;
  std::vector<uint32_t> px_;
  Canvas cv_;
};

}  // namespace standby_test
