// Still-picture display cost.
//
// Times show_jpg_buffer_nv12 (decode into the NV12 output buffer and show on
// plane 0) on a usable-size picture, and in the same run libjpeg-turbo's
// own plain decode of the same file, once to its native YUV planes (the
// least work any decoder must do) and once to RGB. Prints the ratios.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "display/fb.h"
#include "image/jpeg.h"

namespace {

std::string g_root;
std::vector<uint8_t> g_jpeg;

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

void BM_show_jpg_buffer_nv12(benchmark::State& state) {
  for (auto _ : state) {
    if (show_jpg_buffer_nv12(g_jpeg.data(), uint32_t(g_jpeg.size())) != 0) {
      state.SkipWithError("decode failed");
      break;
    }
  }
}
BENCHMARK(BM_show_jpg_buffer_nv12)->Unit(benchmark::kMillisecond);

void BM_turbojpeg_yuv_planes(benchmark::State& state) {
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, ss = 0, cs = 0;
  tjDecompressHeader3(tj, g_jpeg.data(), g_jpeg.size(), &w, &h, &ss, &cs);
  std::vector<uint8_t> out(tjBufSizeYUV2(w, 1, h, ss));
  for (auto _ : state) {
    if (tjDecompressToYUV2(tj, g_jpeg.data(), g_jpeg.size(), out.data(), w, 1, h, 0) != 0) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  tjDestroy(tj);
}
BENCHMARK(BM_turbojpeg_yuv_planes)->Unit(benchmark::kMillisecond);

void BM_turbojpeg_rgb(benchmark::State& state) {
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, ss = 0, cs = 0;
  tjDecompressHeader3(tj, g_jpeg.data(), g_jpeg.size(), &w, &h, &ss, &cs);
  std::vector<uint8_t> out(size_t(w) * h * 3);
  for (auto _ : state) {
    if (tjDecompress2(tj, g_jpeg.data(), g_jpeg.size(), out.data(), w, w * 3, h, TJPF_RGB, 0) !=
        0) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  tjDestroy(tj);
}
BENCHMARK(BM_turbojpeg_rgb)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's time per picture for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (!r.error_occurred && r.iterations > 0) ms_[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    double show = ms_["BM_show_jpg_buffer_nv12"];
    double yuv = ms_["BM_turbojpeg_yuv_planes"];
    double rgb = ms_["BM_turbojpeg_rgb"];
    if (show > 0 && yuv > 0 && rgb > 0) {
      fprintf(stderr, "picture: %zu bytes, usable size 1080x2288\n", g_jpeg.size());
      fprintf(stderr, "show_jpg_buffer_nv12 / plain decode to YUV planes: %.2f\n", show / yuv);
      fprintf(stderr, "show_jpg_buffer_nv12 / plain decode to RGB:        %.2f\n", show / rgb);
    }
  }

 private:
  std::map<std::string, double> ms_;
};

}  // namespace

int main(int argc, char** argv) {
  if (!setup()) {
    fprintf(stderr, "bench_jpeg_decode: cannot prepare a device root\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (system(("rm -rf '" + g_root + "'").c_str()) != 0) return 1;
  return 0;
}
