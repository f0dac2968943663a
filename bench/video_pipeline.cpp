// Host video pipeline throughput and pacing.
//
// Streams a usable-size baseline clip through the whole pipeline (block
// rings -> decoder thread -> mirror thread -> video plane) with pacing off,
// and, in the same run, has the ffmpeg tool decode the same clip on one
// thread; prints the ratio of the two frame rates. Then streams it paced at
// 30 frames per second and reports the jitter of the frame hand-offs.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "common/state.h"
#include "display/fb.h"
#include "video/h264_decoder.h"
#include "video/intake.h"

namespace {

constexpr int kFrames = 90;
std::string g_dir, g_clip;
std::vector<std::vector<uint8_t>> g_blocks;  // whole pictures, at most 1 MiB each
double g_ffmpeg_fps = 0, g_pipeline_fps = 0;

std::atomic<int> g_handoffs{0};
std::vector<int64_t> g_handoff_ns;  // written by the decoder thread while recording
std::atomic<bool> g_recording{false};

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void on_handoff(int32_t) {
  if (g_recording) g_handoff_ns.push_back(now_ns());
  ++g_handoffs;
}

bool run(const std::string& cmd) { return system(cmd.c_str()) == 0; }

// Picture boundaries of an Annex B stream (parameter sets go with the
// picture they precede).
std::vector<size_t> picture_starts(const std::vector<uint8_t>& s) {
  std::vector<size_t> starts;
  bool prev_slice = false;
  for (size_t i = 0; i + 4 < s.size(); ++i) {
    if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) continue;
    size_t unit = (i > 0 && s[i - 1] == 0) ? i - 1 : i;
    uint8_t type = s[i + 3] & 0x1F;
    bool slice = type == 1 || type == 5;
    if (starts.empty() || (!slice && prev_slice) || (slice && prev_slice && (s[i + 4] & 0x80)))
      starts.push_back(starts.empty() ? 0 : unit);
    prev_slice = slice;
    i += 2;
  }
  return starts;
}

bool setup() {
  char tmpl[] = "/tmp/paneld-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  g_dir = tmpl;
  setenv("PANELD_ROOT", g_dir.c_str(), 1);
  run("mkdir -p '" + g_dir + "/sim' '" + g_dir +
      "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0'");
  g_clip = g_dir + "/clip.h264";
  if (!run("ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "
           "testsrc2=size=1080x2288:rate=30 -frames:v " +
           std::to_string(kFrames) +
           " -vf noise=alls=12:allf=t -c:v libx264 -profile:v baseline -preset veryfast -crf 28 -g "
           "30 "
           "-x264-params slices=1 -pix_fmt yuv420p -f h264 '" +
           g_clip + "'"))
    return false;
  std::ifstream f(g_clip, std::ios::binary);
  std::vector<uint8_t> s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  auto pics = picture_starts(s);
  pics.push_back(s.size());
  size_t from = 0;
  for (size_t i = 1; i < pics.size(); ++i) {
    bool end = i + 1 == pics.size();
    if (end || pics[i + 1] - from > kH264BlockMax) {
      g_blocks.emplace_back(s.begin() + from, s.begin() + pics[i]);
      from = pics[i];
    }
  }
  if (open_fb() != 0) return false;
  h264_mode.store(1);
  h264_handoff_hook.store(on_handoff);
  pthread_t t;
  if (pthread_create(&t, nullptr, play_h264_thread2, nullptr) != 0) return false;
  pthread_detach(t);
  while (h264_data_arrays[0].load() == nullptr) usleep(1000);
  return true;
}

// Pushes the clip as a host does (waiting while the ring is high) and waits
// until every frame is on the panel.
void stream_clip() {
  uint32_t shown = mirror_frames_shown;
  for (size_t i = 0; i < g_blocks.size(); ++i) {
    const auto& b = g_blocks[i];
    uint32_t last = i + 1 == g_blocks.size();
    while (push_h264_block2(b.data(), static_cast<uint32_t>(b.size()), last, 0) < 0) usleep(500);
    while (h264_block_data1.count >= 3) usleep(500);
  }
  while (mirror_frames_shown - shown < uint32_t(kFrames)) usleep(200);
}

// One iteration: the ffmpeg tool decodes the clip on one thread, then the
// pipeline shows it, so both see the same machine load. The tool's start-up
// is not decoding: a run that decodes one frame is timed too, and its time
// taken off.
void BM_PipelineVsFfmpeg(benchmark::State& state) {
  std::string cmd =
      "ffmpeg -hide_banner -loglevel error -nostdin -threads 1 -i '" + g_clip + "' -f null -";
  std::string one = "ffmpeg -hide_banner -loglevel error -nostdin -threads 1 -i '" + g_clip +
                    "' -frames:v 1 -f null -";
  frameTimes[0].store(0);  // pacing off
  double ffmpeg_s = 0, pipeline_s = 0;
  for (auto _ : state) {
    int64_t t0 = now_ns();
    if (!run(cmd)) state.SkipWithError("ffmpeg failed");
    int64_t t1 = now_ns();
    if (!run(one)) state.SkipWithError("ffmpeg failed");
    int64_t t2 = now_ns();
    stream_clip();
    int64_t t3 = now_ns();
    ffmpeg_s += ((t1 - t0) - (t2 - t1)) / 1e9;
    pipeline_s += (t3 - t2) / 1e9;
  }
  g_ffmpeg_fps = (kFrames - 1) * state.iterations() / ffmpeg_s;
  g_pipeline_fps = kFrames * state.iterations() / pipeline_s;
  state.counters["ffmpeg_fps"] = g_ffmpeg_fps;
  state.counters["pipeline_fps"] = g_pipeline_fps;
  state.counters["ratio"] = g_pipeline_fps / g_ffmpeg_fps;
}

void BM_Paced30(benchmark::State& state) {
  set_framerate(30);
  std::vector<double> gaps;
  for (auto _ : state) {
    g_handoff_ns.clear();
    g_handoff_ns.reserve(kFrames + 8);
    g_recording = true;
    stream_clip();
    g_recording = false;
    for (size_t i = 2; i < g_handoff_ns.size();
         ++i)  // from the second gap: the first follows the open
      gaps.push_back((g_handoff_ns[i] - g_handoff_ns[i - 1]) / 1e3);
  }
  double mean = 0, var = 0, worst = 0;
  for (double g : gaps) mean += g;
  mean /= std::max<size_t>(gaps.size(), 1);
  for (double g : gaps) {
    var += (g - mean) * (g - mean);
    worst = std::max(worst, std::fabs(g - 33333.0));
  }
  state.counters["gap_mean_us"] = mean;
  state.counters["gap_stddev_us"] = std::sqrt(var / std::max<size_t>(gaps.size(), 1));
  state.counters["gap_worst_dev_us"] = worst;
  // Pacing spaces the starts of decoding, so a picture that decodes slower
  // than its neighbours (an IDR picture) shows as an outlier; the typical
  // gap is better seen in the 90th percentile.
  std::vector<double> dev;
  for (double g : gaps) dev.push_back(std::fabs(g - 33333.0));
  std::sort(dev.begin(), dev.end());
  if (!dev.empty()) state.counters["gap_p90_dev_us"] = dev[dev.size() * 9 / 10];
}

BENCHMARK(BM_PipelineVsFfmpeg)->Iterations(6)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Paced30)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // The daemon's progress lines would drown the results.
  if (!freopen("/dev/null", "w", stdout)) return 1;
  if (!setup()) {
    fprintf(stderr, "setup failed (ffmpeg with libx264 needed)\n");
    return 1;
  }
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (g_ffmpeg_fps > 0 && g_pipeline_fps > 0)
    fprintf(stderr, "pipeline / ffmpeg one-thread decode frame rate: %.2f\n",
            g_pipeline_fps / g_ffmpeg_fps);
  run("rm -rf '" + g_dir + "'");
  return 0;
}
