// Host video pipeline throughput and pacing, as a viewer sees them.
//
// A usable-size baseline clip of 300 frames is streamed through the whole
// pipeline (block rings -> decoder thread -> mirror thread -> video plane)
// by a feeder thread that keeps the ring topped up the way a host does (by
// its fill level). With pacing off, the frame rate is compared with
// libavcodec alone decoding the same clip on one thread in the same run.
// Paced
// at 30 frames per second, the moment each frame is panned onto the plane
// is timed: the mean period against the nominal one, and how far each
// frame lies from the ideal grid (p99 and worst). BENCH_DUMP=FILE appends
// each paced frame's pan and hand-off offsets from the grid (µs) to FILE.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>
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

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "common/state.h"
#include "display/fb.h"
#include "video/h264_decoder.h"
#include "video/intake.h"

namespace {

constexpr int kFrames = 300;
std::string g_dir, g_clip;
std::vector<std::vector<uint8_t>> g_blocks;  // whole pictures, at most 1 MiB each
// One coded picture each (parameter sets in front), zero padding behind.
std::vector<std::vector<uint8_t>> g_pictures;
std::vector<int> g_picture_sizes;
double g_decode_fps = 0, g_pipeline_fps = 0;

double g_cpu_ratio = 0, g_decoder_cpu_ratio = 0;
clockid_t g_decoder_clock;  // CPU clock of the decoder thread
double g_period_err_pct = 0, g_p99_us = 0, g_worst_us = 0;
double g_handoff_p99_us = 0;  // the decoder's hand-offs on the same grid

// Pan times, written by the mirror thread while recording; read once the
// recording has stopped and every frame is shown.
std::vector<int64_t> g_shown_ns;
std::vector<int64_t> g_handoff_ns;  // the same, by the decoder thread
std::atomic<bool> g_recording{false};
std::atomic<uint32_t> g_shown{0};  // counted after the time is kept

int64_t cpu_ns(clockid_t clock) {
  struct timespec ts {};
  clock_gettime(clock, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void on_handoff(int32_t) {
  if (g_recording.load(std::memory_order_acquire)) g_handoff_ns.push_back(now_ns());
}

void on_shown(int32_t) {
  if (g_recording.load(std::memory_order_acquire)) g_shown_ns.push_back(now_ns());
  g_shown.fetch_add(1, std::memory_order_release);
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
  for (size_t i = 0; i + 1 < pics.size(); ++i) {
    // Zeroed padding behind each picture, as libavcodec's readers want.
    g_pictures.emplace_back(s.begin() + pics[i], s.begin() + pics[i + 1]);
    g_picture_sizes.push_back(static_cast<int>(pics[i + 1] - pics[i]));
    g_pictures.back().resize(g_pictures.back().size() + AV_INPUT_BUFFER_PADDING_SIZE);
  }
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
  h264_shown_hook.store(on_shown);
  h264_handoff_hook.store(on_handoff);
  pthread_t t;
  if (pthread_create(&t, nullptr, play_h264_thread2, nullptr) != 0) return false;
  if (pthread_getcpuclockid(t, &g_decoder_clock) != 0) return false;
  pthread_detach(t);
  while (h264_data_arrays[0].load() == nullptr) usleep(1000);
  return true;
}

// Pushes the clip as a host does, from a thread of its own (a host is
// another program): a block whenever fewer than three wait, checked every
// millisecond. Returns once every frame is on the panel, with the CPU
// seconds the feeding and the waiting took (a host's, not the daemon's).
double stream_clip() {
  const uint32_t shown = g_shown.load(std::memory_order_acquire);
  const int64_t main0 = cpu_ns(CLOCK_THREAD_CPUTIME_ID);
  double feeder_cpu = 0;
  std::thread feeder([&feeder_cpu] {
    for (size_t i = 0; i < g_blocks.size();) {
      if (h264_block_data1.count < 3) {
        const auto& b = g_blocks[i];
        const uint32_t last = i + 1 == g_blocks.size();
        if (push_h264_block2(b.data(), static_cast<uint32_t>(b.size()), last, 0) >= 0) ++i;
      }
      usleep(1000);
    }
    feeder_cpu = cpu_ns(CLOCK_THREAD_CPUTIME_ID) / 1e9;
  });
  feeder.join();
  while (g_shown.load(std::memory_order_acquire) - shown < uint32_t(kFrames)) usleep(1000);
  return feeder_cpu + (cpu_ns(CLOCK_THREAD_CPUTIME_ID) - main0) / 1e9;
}

// libavcodec alone, as the simulated decoder sets it up (one thread, low
// delay), decoding the clip picture by picture into its own frames: the
// least work any pipeline on this machine must do. Seconds, and the
// thread's CPU seconds in *cpu_s.
double decode_alone(double* cpu_s) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  ctx->thread_count = 1;
  ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
  double s = -1;
  if (avcodec_open2(ctx, codec, nullptr) == 0) {
    int frames = 0;
    const int64_t c0 = cpu_ns(CLOCK_THREAD_CPUTIME_ID);
    const int64_t t0 = now_ns();
    for (size_t i = 0; i < g_pictures.size(); ++i) {
      pkt->data = g_pictures[i].data();
      pkt->size = g_picture_sizes[i];
      if (avcodec_send_packet(ctx, pkt) == 0 && avcodec_receive_frame(ctx, frame) == 0) ++frames;
      av_frame_unref(frame);
    }
    s = (now_ns() - t0) / 1e9;
    *cpu_s = (cpu_ns(CLOCK_THREAD_CPUTIME_ID) - c0) / 1e9;
    if (frames != kFrames) s = -1;
  }
  pkt->data = nullptr;
  pkt->size = 0;
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  return s;
}

// One iteration: the decoder alone, then the pipeline with pacing off, so
// both see the same machine load. Frame rates show what the threads gain
// on an idle machine; CPU time (the pipeline's threads, not the feeding)
// shows the work it adds, and holds on a busy machine too.
void BM_PipelineVsDecoder(benchmark::State& state) {
  frameTimes[0].store(0);  // pacing off
  double decode_s = 0, pipeline_s = 0, decode_cpu = 0, pipeline_cpu = 0, decoder_cpu = 0;
  for (auto _ : state) {
    double cpu = 0;
    const double d = decode_alone(&cpu);
    if (d <= 0) {
      state.SkipWithError("decode failed");
      break;
    }
    const int64_t c0 = cpu_ns(CLOCK_PROCESS_CPUTIME_ID);
    const int64_t dec0 = cpu_ns(g_decoder_clock);
    const int64_t t0 = now_ns();
    const double host_cpu = stream_clip();
    pipeline_s += (now_ns() - t0) / 1e9;
    pipeline_cpu += (cpu_ns(CLOCK_PROCESS_CPUTIME_ID) - c0) / 1e9 - host_cpu;
    decoder_cpu += (cpu_ns(g_decoder_clock) - dec0) / 1e9;
    decode_s += d;
    decode_cpu += cpu;
  }
  g_decode_fps = kFrames * state.iterations() / decode_s;
  g_pipeline_fps = kFrames * state.iterations() / pipeline_s;
  state.counters["decode_fps"] = g_decode_fps;
  state.counters["pipeline_fps"] = g_pipeline_fps;
  state.counters["ratio"] = g_pipeline_fps / g_decode_fps;
  g_cpu_ratio = decode_cpu / pipeline_cpu;
  state.counters["cpu_ratio"] = g_cpu_ratio;
  // What bounds the frame rate when the machine has a core to spare: the
  // decoding thread's own work against the decoder alone.
  g_decoder_cpu_ratio = decode_cpu / decoder_cpu;
  state.counters["decoder_thread_cpu_ratio"] = g_decoder_cpu_ratio;
}

// Distance of each time from the ideal grid of the nominal period, the
// grid placed at the times' median offset; appended to *devs.
void grid_distances(const std::vector<int64_t>& t, double period_us, std::vector<double>* devs) {
  std::vector<double> off;
  for (size_t i = 0; i < t.size(); ++i) off.push_back((t[i] - t[0]) / 1e3 - i * period_us);
  std::vector<double> sorted = off;
  std::sort(sorted.begin(), sorted.end());
  const double mid = sorted[sorted.size() / 2];
  for (double o : off) devs->push_back(std::fabs(o - mid));
}

double p99(std::vector<double>* v) {
  std::sort(v->begin(), v->end());
  return v->empty() ? 0 : (*v)[std::min(v->size() - 1, v->size() * 99 / 100)];
}

void BM_Paced30(benchmark::State& state) {
  set_framerate(30);
  const double period_us = frameTimes[0];
  std::vector<double> periods, devs, handoff_devs;
  for (auto _ : state) {
    g_shown_ns.clear();
    g_shown_ns.reserve(kFrames + 8);
    g_handoff_ns.clear();
    g_handoff_ns.reserve(kFrames + 8);
    g_recording.store(true, std::memory_order_release);
    stream_clip();
    g_recording.store(false, std::memory_order_release);
    const auto& t = g_shown_ns;
    if (t.size() < 2 || g_handoff_ns.size() < 2) continue;
    periods.push_back((t.back() - t.front()) / 1e3 / double(t.size() - 1));
    grid_distances(t, period_us, &devs);
    grid_distances(g_handoff_ns, period_us, &handoff_devs);
    const char* dump = getenv("BENCH_DUMP");
    if (FILE* f = dump ? fopen(dump, "a") : nullptr) {
      for (size_t i = 0; i < t.size() && i < g_handoff_ns.size(); ++i)
        fprintf(f, "%zu %.0f %.0f\n", i, (t[i] - t[0]) / 1e3 - i * period_us,
                (g_handoff_ns[i] - t[0]) / 1e3 - i * period_us);
      fprintf(f, "--\n");
      fclose(f);
    }
  }
  double mean = 0;
  for (double p : periods) mean += p;
  mean /= std::max<size_t>(periods.size(), 1);
  g_period_err_pct = (mean / (1e6 / 30.0) - 1) * 100;
  g_p99_us = p99(&devs);
  g_worst_us = devs.empty() ? 0 : devs.back();
  g_handoff_p99_us = p99(&handoff_devs);
  state.counters["period_us"] = mean;
  state.counters["period_err_pct"] = g_period_err_pct;
  state.counters["grid_p99_us"] = g_p99_us;
  state.counters["grid_worst_us"] = g_worst_us;
  state.counters["handoff_grid_p99_us"] = g_handoff_p99_us;
}

BENCHMARK(BM_PipelineVsDecoder)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Paced30)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

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
  if (g_decode_fps > 0 && g_pipeline_fps > 0)
    fprintf(stderr,
            "video_pipeline: unpaced, vs decoder alone (1 = no overhead): frame rate %.3f, "
            "decoding thread CPU %.3f, all threads CPU %.3f | 30 fps: mean period %+.4f %% of "
            "nominal, grid p99 %.0f us, worst %.0f us (decoder's hand-offs: p99 %.0f us)\n",
            g_pipeline_fps / g_decode_fps, g_decoder_cpu_ratio, g_cpu_ratio, g_period_err_pct,
            g_p99_us, g_worst_us, g_handoff_p99_us);
  run("rm -rf '" + g_dir + "'");
  return 0;
}
