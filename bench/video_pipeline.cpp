// Host video pipeline throughput and pacing, as a viewer sees them.
//
// A usable-size baseline clip of 300 frames is streamed through the whole
// pipeline (block rings -> decoder thread -> mirror thread -> video plane)
// by a feeder thread that keeps the ring topped up the way a host does (by
// its fill level). With pacing off, the frame rate is compared with
// libavcodec alone decoding the same pictures on one thread, in pairs of
// about 30 frames (a run of pictures from a key frame on) taken in turns,
// so that both sides of a pair see the same machine: the speed of a shared
// virtual machine moves by a tenth or more from one second to the next,
// which whole-clip totals cannot separate from the pipeline's overhead.
// The decoding thread and the decoder alone run on one core, the rest of
// the pipeline on the next (BENCH_CORE=N picks the core, -1 pins nothing).
// Paced at 30 frames per second, the moment each frame is panned onto the
// plane is timed: the mean period against the nominal one, and how far
// each frame lies from the ideal grid (p99 and worst). BENCH_DUMP=FILE
// appends each paced frame's pan and hand-off offsets from the grid (µs)
// to FILE.
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

#include "bench/common.h"
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
// Runs of at least kPairFrames pictures, each from a key frame (which
// carries its parameter sets) to the next such start, and their blocks.
constexpr size_t kPairFrames = 30;
struct Run {
  size_t first = 0, count = 0;
  std::vector<std::vector<uint8_t>> blocks;
};
std::vector<Run> g_runs;
double g_decode_fps = 0, g_pipeline_fps = 0;  // medians over the pairs
double g_rate_ratio = 0, g_rate_p10 = 0, g_rate_p90 = 0;
size_t g_pairs = 0;

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
// Hand-offs kept while recording. The decoder thread tells its hook after
// the frame went to the mirror, so a frame may be shown before its
// hand-off is kept: recording stops only once this count is reached.
std::atomic<uint32_t> g_handoffs{0};

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
  if (!g_recording.load(std::memory_order_acquire)) return;
  g_handoff_ns.push_back(now_ns());
  g_handoffs.fetch_add(1, std::memory_order_release);
}

// Starts keeping pan and hand-off times for a stream of `frames`.
void start_recording(size_t frames) {
  g_shown_ns.clear();
  g_shown_ns.reserve(frames + 8);
  g_handoff_ns.clear();
  g_handoff_ns.reserve(frames + 8);
  g_handoffs.store(0, std::memory_order_relaxed);
  g_recording.store(true, std::memory_order_release);
}

// Stops once every frame of the stream (all shown by now) was handed off.
void stop_recording(size_t frames) {
  for (int i = 0; i < 1000 && g_handoffs.load(std::memory_order_acquire) < frames; ++i) usleep(100);
  g_recording.store(false, std::memory_order_release);
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

// Blocks of whole pictures [first, end) of stream s, at most one ring slot
// each.
std::vector<std::vector<uint8_t>> make_blocks(const std::vector<uint8_t>& s,
                                              const std::vector<size_t>& pics, size_t first,
                                              size_t end) {
  std::vector<std::vector<uint8_t>> blocks;
  size_t from = pics[first];
  for (size_t i = first + 1; i <= end; ++i) {
    if (i == end || pics[i + 1] - from > kH264BlockMax) {
      blocks.emplace_back(s.begin() + from, s.begin() + pics[i]);
      from = pics[i];
    }
  }
  return blocks;
}

int g_core = -1;  // the decoding thread's core, or -1
pid_t g_decoder_tid = 0;

// Every thread but this one and the decoding thread (converter, mirror,
// feeder; they inherit the decoding thread's core) to the next core.
void pin_helpers() {
  if (g_core >= 0)
    bench::pin_process(getpid(), bench::next_core(g_core), {getpid(), g_decoder_tid});
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
  g_blocks = make_blocks(s, pics, 0, pics.size() - 1);
  // A run may start at a picture led by a sequence parameter set.
  for (size_t i = 0; i + 1 < pics.size(); ++i) {
    const bool key =
        s[pics[i] + 2] == 1 ? (s[pics[i] + 3] & 0x1F) == 7 : (s[pics[i] + 4] & 0x1F) == 7;
    if (key && (g_runs.empty() || g_runs.back().count >= kPairFrames)) g_runs.push_back({i, 0, {}});
    if (!g_runs.empty()) ++g_runs.back().count;
  }
  if (!g_runs.empty() && g_runs.back().count < kPairFrames) g_runs.pop_back();
  for (Run& r : g_runs) r.blocks = make_blocks(s, pics, r.first, r.first + r.count);
  if (g_runs.empty()) return false;  // no key frame with 30 pictures behind it
  if (open_fb() != 0) return false;
  h264_mode.store(1);
  h264_shown_hook.store(on_shown);
  h264_handoff_hook.store(on_handoff);
  pthread_t t;
  if (pthread_create(&t, nullptr, play_h264_thread2, nullptr) != 0) return false;
  if (pthread_getcpuclockid(t, &g_decoder_clock) != 0) return false;
  // The decoding thread and the thread that decodes alone share one core,
  // the other threads get the next one: unpinned, the ratio moved by ±15 %
  // from run to run with where the threads happened to run.
  g_core = bench::chosen_core();
  // A thread's CPU clock holds its id (Linux: ~tid << 3 | flags).
  g_decoder_tid = ~(g_decoder_clock >> 3);
  bench::pin(g_decoder_tid, g_core);
  bench::pin(0, g_core);
  pthread_detach(t);
  while (h264_data_arrays[0].load() == nullptr) usleep(1000);
  return true;
}

// Pushes blocks of `frames` pictures as a host does, from a thread of its
// own (a host is another program): a block whenever fewer than three wait,
// checked every millisecond. Returns once every frame is on the panel, with
// the CPU seconds the feeding and the waiting took (a host's, not the
// daemon's).
double stream_blocks(const std::vector<std::vector<uint8_t>>& blocks, size_t frames) {
  const uint32_t shown = g_shown.load(std::memory_order_acquire);
  const int64_t main0 = cpu_ns(CLOCK_THREAD_CPUTIME_ID);
  double feeder_cpu = 0;
  std::thread feeder([&feeder_cpu, &blocks] {
    pin_helpers();
    for (size_t i = 0; i < blocks.size();) {
      if (h264_block_data1.count < 3) {
        const auto& b = blocks[i];
        const uint32_t last = i + 1 == blocks.size();
        if (push_h264_block2(b.data(), static_cast<uint32_t>(b.size()), last, 0) >= 0) ++i;
      }
      usleep(1000);
    }
    feeder_cpu = cpu_ns(CLOCK_THREAD_CPUTIME_ID) / 1e9;
  });
  feeder.join();
  while (g_shown.load(std::memory_order_acquire) - shown < uint32_t(frames)) usleep(1000);
  return feeder_cpu + (cpu_ns(CLOCK_THREAD_CPUTIME_ID) - main0) / 1e9;
}

double stream_clip() { return stream_blocks(g_blocks, kFrames); }

// libavcodec alone, as the simulated decoder sets it up (one thread, low
// delay), decoding pictures into its own frames: the least work any
// pipeline on this machine must do.
struct DecoderAlone {
  AVCodecContext* ctx = nullptr;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  DecoderAlone() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    ctx = avcodec_alloc_context3(codec);
    ctx->thread_count = 1;
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(ctx, codec, nullptr) != 0) avcodec_free_context(&ctx);
  }
  ~DecoderAlone() {
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
  }
  // Decodes pictures [first, first + count); seconds, and the thread's CPU
  // seconds in *cpu_s; -1 unless every picture came out.
  double decode(size_t first, size_t count, double* cpu_s) {
    if (!ctx || !pkt || !frame) return -1;
    size_t frames = 0;
    const int64_t c0 = cpu_ns(CLOCK_THREAD_CPUTIME_ID);
    const int64_t t0 = now_ns();
    for (size_t i = first; i < first + count; ++i) {
      pkt->data = g_pictures[i].data();
      pkt->size = g_picture_sizes[i];
      if (avcodec_send_packet(ctx, pkt) == 0 && avcodec_receive_frame(ctx, frame) == 0) ++frames;
      av_frame_unref(frame);
    }
    pkt->data = nullptr;
    pkt->size = 0;
    const double s = (now_ns() - t0) / 1e9;
    *cpu_s = (cpu_ns(CLOCK_THREAD_CPUTIME_ID) - c0) / 1e9;
    return frames == count ? s : -1;
  }
};

// Each iteration goes through the clip run by run: the decoder alone, then
// the pipeline with pacing off, on the same pictures. Per pair: the frame
// rate (the pipeline's from the decoder thread's hand-offs, so that filling
// and draining the rings between runs do not count), the CPU of the
// decoding thread (what bounds the frame rate when a core is free) and of
// all pipeline threads (the work it adds; the feeding is the host's). The
// medians over all pairs are reported.
void BM_PipelineVsDecoder(benchmark::State& state) {
  frameTimes[0].store(0);                            // pacing off
  stream_blocks(g_runs[0].blocks, g_runs[0].count);  // every thread started
  pin_helpers();
  std::vector<double> rate, decoder_cpu, all_cpu, alone_fps, pipeline_fps;
  for (auto _ : state) {
    DecoderAlone alone;
    for (const Run& r : g_runs) {
      double cpu = 0;
      const double d = alone.decode(r.first, r.count, &cpu);
      if (d <= 0) {
        state.SkipWithError("decode failed");
        return;
      }
      const int64_t c0 = cpu_ns(CLOCK_PROCESS_CPUTIME_ID);
      const int64_t dec0 = cpu_ns(g_decoder_clock);
      start_recording(r.count);
      const double host_cpu = stream_blocks(r.blocks, r.count);
      stop_recording(r.count);
      const double dec_cpu = (cpu_ns(g_decoder_clock) - dec0) / 1e9;
      const double pipe_cpu = (cpu_ns(CLOCK_PROCESS_CPUTIME_ID) - c0) / 1e9 - host_cpu;
      const auto& h = g_handoff_ns;
      if (h.size() != r.count) {
        state.SkipWithError("hand-offs missing");
        return;
      }
      const double per_frame = (h.back() - h.front()) / 1e9 / double(h.size() - 1);
      alone_fps.push_back(r.count / d);
      pipeline_fps.push_back(1 / per_frame);
      rate.push_back(pipeline_fps.back() / alone_fps.back());
      decoder_cpu.push_back(cpu / dec_cpu);
      all_cpu.push_back(cpu / pipe_cpu);
    }
  }
  g_decode_fps = bench::median(alone_fps);
  g_pipeline_fps = bench::median(pipeline_fps);
  g_rate_ratio = bench::median(rate);
  g_decoder_cpu_ratio = bench::median(decoder_cpu);
  g_cpu_ratio = bench::median(all_cpu);
  g_pairs = rate.size();
  state.counters["decode_fps"] = g_decode_fps;
  state.counters["pipeline_fps"] = g_pipeline_fps;
  state.counters["ratio"] = g_rate_ratio;
  state.counters["decoder_thread_cpu_ratio"] = g_decoder_cpu_ratio;
  state.counters["cpu_ratio"] = g_cpu_ratio;
  std::sort(rate.begin(), rate.end());
  if (!rate.empty()) {
    state.counters["ratio_p10"] = rate[rate.size() / 10];
    state.counters["ratio_p90"] = rate[rate.size() * 9 / 10];
    g_rate_p10 = rate[rate.size() / 10];
    g_rate_p90 = rate[rate.size() * 9 / 10];
  }
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
    start_recording(kFrames);
    stream_clip();
    stop_recording(kFrames);
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
  if (g_pairs > 0)
    fprintf(stderr,
            "video_pipeline: unpaced, vs decoder alone (1 = no overhead; medians of %zu pairs): "
            "frame rate %.3f (p10 %.3f, p90 %.3f), decoding thread CPU %.3f, all threads CPU "
            "%.3f | 30 fps: mean period %+.4f %% of nominal, grid p99 %.0f us, worst %.0f us "
            "(decoder's hand-offs: p99 %.0f us)\n",
            g_pairs, g_rate_ratio, g_rate_p10, g_rate_p90, g_decoder_cpu_ratio, g_cpu_ratio,
            g_period_err_pct, g_p99_us, g_worst_us, g_handoff_p99_us);
  run("rm -rf '" + g_dir + "'");
  return 0;
}
