// Full-buffer clear of the 1080 x 2400 overlay: draw_rect (one relaxed
// atomic store per pixel, under the plane lock) against a plain fill of the
// same buffer as the baseline.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "display/draw.h"
#include "display/fb.h"

namespace {

constexpr uint32_t kW = 1080, kH = 2400;

std::vector<uint32_t>& buffer() {
  static std::vector<uint32_t> b(size_t(kW) * kH);
  fb_info.xres.store(kW);
  fb_info.yres.store(kH);
  fb_info.line_length.store(kW * 4);
  return b;
}

void BM_BaselineFill(benchmark::State& state) {
  auto& b = buffer();
  uint32_t c = 0;
  for (auto _ : state) {
    std::fill_n(b.data(), b.size(), c++);
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_BaselineFill)->Unit(benchmark::kMicrosecond);

void BM_DrawRectClear(benchmark::State& state) {
  auto& b = buffer();
  uint32_t c = 0;
  for (auto _ : state) {
    draw_rect(reinterpret_cast<uintptr_t>(b.data()), 0, 0, -1, -1, c++);
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DrawRectClear)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
