// Still-picture display cost.
//
// Times show_jpg_buffer_nv12 (decode into the NV12 output buffer and show on
// plane 0) on a usable-size picture, and in the same rounds libjpeg-turbo's
// own plain decode of the same file, once to its native YUV planes (the
// least work any decoder must do) and once to RGB. Prints the ratios.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "bench/common.h"
#include "display/fb.h"
#include "image/jpeg.h"

namespace {

std::string g_root;
std::vector<uint8_t> g_jpeg;
double g_show_ms = 0, g_yuv_ms = 0, g_rgb_ms = 0;

// A usable-size photo-like picture: smooth gradients, a disc and fine
// stripes, at the quality a host application would send.
std::vector<uint8_t> make_picture() {
  const int w = 1080, h = 2288;
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      uint8_t* p = &rgb[(size_t(y) * w + x) * 3];
      double fx = double(x) / w, fy = double(y) / h;
      p[0] = uint8_t(30 + 200 * fx);
      p[1] = uint8_t(30 + 180 * fy);
      p[2] = uint8_t(40 + 150 * (1 - fx) * fy);
      double dx = fx - 0.5, dy = (fy - 0.4) * h / w;
      if (dx * dx + dy * dy < 0.06) p[0] = p[1] = p[2] = uint8_t((x / 4 + y / 4) % 2 ? 230 : 40);
    }
  std::vector<uint8_t> out;
  tjhandle tj = tjInitCompress();
  unsigned char* buf = nullptr;
  unsigned long len = 0;
  if (tjCompress2(tj, rgb.data(), w, w * 3, h, TJPF_RGB, &buf, &len, TJSAMP_420, 90, 0) == 0)
    out.assign(buf, buf + len);
  tjFree(buf);
  tjDestroy(tj);
  return out;
}

bool setup() {
  char tmpl[] = "/tmp/paneld-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  g_root = tmpl;
  std::string cmd = "mkdir -p '" + g_root + "/sim' '" + g_root +
                    "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0'";
  if (system(cmd.c_str()) != 0) return false;
  setenv("PANELD_ROOT", g_root.c_str(), 1);
  g_jpeg = make_picture();
  // The daemon's progress lines would drown the report.
  if (!freopen("/dev/null", "w", stdout)) return false;
  init_disp();
  jpeg_nv12_decode_prepare();
  return !g_jpeg.empty() && jpegd_output_size != 0;
}

// The three decodes take turns within each round, so that a change in the
// machine's load hits all of them alike; the ratios are of the medians.
void BM_ShowVsTurboJpeg(benchmark::State& state) {
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, ss = 0, cs = 0;
  tjDecompressHeader3(tj, g_jpeg.data(), g_jpeg.size(), &w, &h, &ss, &cs);
  std::vector<uint8_t> yuv(tjBufSizeYUV2(w, 1, h, ss)), rgb(size_t(w) * h * 3);
  std::vector<double> t_show, t_yuv, t_rgb;
  using Clock = std::chrono::steady_clock;
  auto ms = [](Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
  };
  for (auto _ : state) {
    const Clock::time_point a = Clock::now();
    if (show_jpg_buffer_nv12(g_jpeg.data(), uint32_t(g_jpeg.size())) != 0) {
      state.SkipWithError("decode failed");
      break;
    }
    const Clock::time_point b = Clock::now();
    if (tjDecompressToYUV2(tj, g_jpeg.data(), g_jpeg.size(), yuv.data(), w, 1, h, 0) != 0) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(yuv.data());
    const Clock::time_point c = Clock::now();
    if (tjDecompress2(tj, g_jpeg.data(), g_jpeg.size(), rgb.data(), w, w * 3, h, TJPF_RGB, 0) !=
        0) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(rgb.data());
    const Clock::time_point d = Clock::now();
    t_show.push_back(ms(a, b));
    t_yuv.push_back(ms(b, c));
    t_rgb.push_back(ms(c, d));
  }
  tjDestroy(tj);
  g_show_ms = bench::median(t_show);
  g_yuv_ms = bench::median(t_yuv);
  g_rgb_ms = bench::median(t_rgb);
  state.counters["show_ms"] = g_show_ms;
  state.counters["tj_yuv_ms"] = g_yuv_ms;
  state.counters["tj_rgb_ms"] = g_rgb_ms;
}
BENCHMARK(BM_ShowVsTurboJpeg)->Iterations(200)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (!setup()) {
    fprintf(stderr, "bench_jpeg_decode: cannot prepare a device root\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (g_show_ms > 0 && g_yuv_ms > 0 && g_rgb_ms > 0)
    fprintf(stderr,
            "jpeg_decode: 1080x2288 picture of %zu bytes: show_jpg_buffer_nv12/TurboJPEG to YUV "
            "planes %.3f, /TurboJPEG to RGB %.3f\n",
            g_jpeg.size(), g_show_ms / g_yuv_ms, g_show_ms / g_rgb_ms);
  if (system(("rm -rf '" + g_root + "'").c_str()) != 0) return 1;
  return 0;
}
