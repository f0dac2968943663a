// `panelctl play FILE...`: any picture or video, fitted to the panel.
//
// A still (one frame) goes as a JPEG frame (101). A video or an animated
// picture is encoded on the fly into H.264 the device's decoder takes and
// streamed with the device's pacing at the source's frame rate (15). Ctrl-C
// stops the stream with 123, so the device is left serving.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <deque>

#include "tools/panelctl/media.h"
#include "tools/panelctl/stream.h"

namespace {

using media::Canvas;
using media::Size;

constexpr size_t kMaxJpeg = 2097152;  // the device's receive buffer

std::atomic<bool> g_interrupted{false};
void on_interrupt(int) { g_interrupted = true; }

struct Options {
  std::vector<std::string> files;
  bool fill = false, stretch = false, loop = false;
  unsigned parts = 1;
  unsigned rotation = 0;
  std::string panel = "1080x2400";
  double still_s = 5;
  Size area;
  media::Fit fit = media::Fit::kLetterbox;
};
Options opt;

// What one file did, for the progress line and the result.
struct Tally {
  uint64_t frames = 0, bytes = 0;
  double start = 0, fps = 0;
  int64_t expected = 0;
  uint32_t first_frame = 0, last_frame = 0;
  double first_frame_t = 0, last_frame_t = 0;
};

// Band tops of the banded layouts, as the device places its parts.
std::vector<int> band_tops(unsigned parts, int height) {
  if (parts == 2) return {0, std::min(1408, height)};
  if (parts == 3) return {0, std::min(768, height), std::min(1536, height)};
  return {0};
}

void show_progress(Panelctl& ctl, const std::string& file, const Tally& t, bool done) {
  if (ctl.json || !isatty(2)) return;
  const double secs = std::max(now_s() - t.start, 1e-3);
  char line[200];
  int n = snprintf(line, sizeof line, "\r%s: frame %llu", file.c_str(),
                   static_cast<unsigned long long>(t.frames));
  if (t.expected > 0)
    n += snprintf(line + n, sizeof line - n, "/%lld", static_cast<long long>(t.expected));
  n += snprintf(line + n, sizeof line - n, "  %.1f fps  %.2f MB/s  %.1f s", t.frames / secs,
                t.bytes / secs / 1e6, secs);
  if (t.expected > 0 && t.fps > 0 && t.frames < uint64_t(t.expected))
    snprintf(line + n, sizeof line - n, ", %.1f s left  ", (t.expected - t.frames) / t.fps);
  fprintf(stderr, "%s%s", line, done ? "\n" : "");
  ctl.progress_open = !done;
}

// Samples the device's frame counter about once a second, to report the
// rate at which the device shows the stream.
bool sample_frames(Panelctl& ctl, Tally* t) {
  if (t->last_frame_t > 0 && now_s() - t->last_frame_t < 1) return true;
  uint32_t f;
  if (!query_frame(ctl, &f)) return false;
  if (t->first_frame_t == 0) {
    t->first_frame = f;
    t->first_frame_t = now_s();
  }
  t->last_frame = f;
  t->last_frame_t = now_s();
  return true;
}

double device_fps(const Tally& t) {
  const double dt = t.last_frame_t - t.first_frame_t;
  return dt > 0.5 ? (t.last_frame - t.first_frame) / dt : 0;
}

void report(Panelctl& ctl, const std::string& file, const char* kind, const Tally& t) {
  const double secs = std::max(now_s() - t.start, 1e-3);
  char text[256];
  snprintf(text, sizeof text, "%s: %s, %llu frame(s), %.1f fps, %.2f MB/s, %.1f s", file.c_str(),
           kind, static_cast<unsigned long long>(t.frames), t.frames / secs, t.bytes / secs / 1e6,
           secs);
  auto round2 = [](double v) { return std::round(v * 100) / 100; };
  ctl.result(text, Json{{"file", file},
                        {"kind", kind},
                        {"frames", t.frames},
                        {"source_fps", round2(t.fps)},
                        {"device_fps", round2(device_fps(t))},
                        {"bytes", t.bytes},
                        {"seconds", round2(secs)}});
}

// Shows a still as a JPEG frame (101).
int show_still(Panelctl& ctl, const std::string& file, const Canvas& c) {
  Tally t;
  t.start = now_s();
  std::vector<uint8_t> jpeg;
  std::string why;
  if (!media::encode_jpeg(c, kMaxJpeg, &jpeg, &why)) return ctl.fail(file + ": " + why);
  // A stream still running would paint over the picture.
  hostlink::Packet r;
  if (!ctl.command(123, {}, &r)) return 1;
  std::vector<uint8_t> params(8, 0);
  hostlink::put_be32(params, 0, uint32_t(jpeg.size()));
  if (!ctl.command(101, params, &r, jpeg.data(), jpeg.size())) return 1;
  t.frames = 1;
  t.bytes = jpeg.size();
  report(ctl, file, "picture", t);
  return 0;
}

uint32_t next_stamp() {
  static uint32_t stamp = static_cast<uint32_t>(time(nullptr));
  if (++stamp == 0) ++stamp;  // 0 means no stream
  return stamp;
}

// One H.264 stream on the device: an encoder per band, pictures sent as
// soon as every band has one.
class VideoStream {
 public:
  VideoStream(Panelctl& ctl, Tally* t) : ctl_(ctl), t_(*t) {}

  bool open(int fps) {
    tops_ = band_tops(opt.parts, opt.area.h);
    encoders_.resize(tops_.size());
    queued_.resize(tops_.size());
    for (size_t i = 0; i < tops_.size(); i++) {
      const int end = i + 1 < tops_.size() ? tops_[i + 1] : opt.area.h;
      std::string why;
      if (!encoders_[i].open(Size{opt.area.w, end - tops_[i]}, fps, &why)) {
        ctl_.fail(why);
        return false;
      }
    }
    hostlink::Packet r;
    if (!ctl_.command(15, {static_cast<uint8_t>(fps)}, &r)) return false;
    stamp_ = next_stamp();
    return stream_begin(ctl_, stamp_);
  }

  // Encodes a picture (nullptr: the end) and sends what is ready.
  bool push(const Canvas* c) {
    for (size_t i = 0; i < encoders_.size(); i++) {
      std::vector<std::vector<uint8_t>> pics;
      std::string why;
      if (!encoders_[i].encode(c, tops_[i], &pics, &why)) {
        ctl_.fail(why);
        return false;
      }
      for (auto& p : pics) queued_[i].push_back(std::move(p));
    }
    return send_ready(c == nullptr);
  }

 private:
  bool send_ready(bool end) {
    const int nparts = static_cast<int>(queued_.size());
    for (;;) {
      for (auto& q : queued_)
        if (q.empty()) return true;
      bool last = end;
      for (auto& q : queued_) last = last && q.size() == 1;
      for (int p = 0; p < nparts; p++) {
        const auto& pic = queued_[size_t(p)].front();
        if (pic.size() > kBlockMax) {
          ctl_.fail("an encoded picture is larger than 1 MiB");
          return false;
        }
        if (!send_block(ctl_, p, nparts, stamp_, pic.data(), pic.size(), last)) return false;
        t_.bytes += pic.size();
        queued_[size_t(p)].pop_front();
      }
      t_.frames++;
      if (!sample_frames(ctl_, &t_)) return false;
    }
  }

  Panelctl& ctl_;
  Tally& t_;
  std::vector<media::Encoder> encoders_;
  std::vector<int> tops_;
  std::vector<std::deque<std::vector<uint8_t>>> queued_;
  uint32_t stamp_ = 0;
};

// Streams the frames of `src` (the first already in `first`) until its end,
// from the start again with --loop, or until Ctrl-C.
int stream_video(Panelctl& ctl, const std::string& file, media::Source& src, const Canvas& first,
                 bool loop) {
  Tally t;
  t.start = now_s();
  t.fps = src.fps();
  t.expected = loop ? 0 : src.frame_count();
  const int fps = std::clamp(static_cast<int>(std::lround(src.fps())), 1, 255);
  VideoStream vs(ctl, &t);
  if (!vs.open(fps) || !vs.push(&first)) return 1;
  Canvas c;
  std::string why;
  while (!g_interrupted) {
    if (!src.next(opt.area, opt.fit, &c, &why)) {
      if (!why.empty()) return ctl.fail(why);
      if (loop && src.rewind()) continue;
      break;
    }
    if (!vs.push(&c)) return 1;
    show_progress(ctl, file, t, false);
  }
  if (g_interrupted) return 130;
  if (!vs.push(nullptr)) return 1;
  double rest = 0;
  if (!wait_shown(ctl, &rest)) return 1;
  show_progress(ctl, file, t, true);
  report(ctl, file, "video", t);
  return 0;
}

// Plays one file: a still, or a video; `more` when others follow.
int play_file(Panelctl& ctl, const std::string& file, bool more) {
  media::Source src;
  std::string why;
  if (!src.open(file, &why)) return ctl.fail(why);
  Canvas first, second;
  if (!src.next(opt.area, opt.fit, &first, &why))
    return ctl.fail(why.empty() ? file + " holds no picture" : why);
  if (!src.next(opt.area, opt.fit, &second, &why)) {
    if (!why.empty()) return ctl.fail(why);
    int st = show_still(ctl, file, first);
    for (double until = now_s() + opt.still_s;
         st == 0 && more && !g_interrupted && now_s() < until;)
      usleep(50000);
    return st;
  }
  if (!src.rewind()) return ctl.fail("cannot go back to the start of " + file);
  src.next(opt.area, opt.fit, &first, &why);
  return stream_video(ctl, file, src, first, opt.loop && opt.files.size() == 1);
}

int play(Panelctl& ctl) {
  opt.fit = opt.fill      ? media::Fit::kCrop
            : opt.stretch ? media::Fit::kStretch
                          : media::Fit::kLetterbox;
  int w = 0, h = 0;
  char extra;
  if (sscanf(opt.panel.c_str(), "%dx%d%c", &w, &h, &extra) != 2 || w < 16 || h < 16 || w > 4096 ||
      h > 4096)
    return ctl.fail("play: --panel " + opt.panel + " is not WIDTHxHEIGHT (16..4096 each)", 2);
  opt.area = media::usable_area(Size{w, h}, static_cast<int>(opt.rotation));
  media::quiet_logs();
  // Stills go after a video stop (123), which ends local video as well;
  // only a standby screen would drop everything.
  if (int st = panel_ready(ctl, opt.files[0], false)) return st;
  signal(SIGINT, on_interrupt);
  signal(SIGTERM, on_interrupt);
  int st = 0;
  do {
    for (size_t i = 0; i < opt.files.size() && st == 0 && !g_interrupted; i++)
      st = play_file(ctl, opt.files[i], opt.loop || i + 1 < opt.files.size());
  } while (opt.loop && st == 0 && !g_interrupted);
  if (g_interrupted) {
    // Leave the device serving: stop the stream, let it release its decoder.
    hostlink::Packet r;
    ctl.command(123, {}, &r);
    ctl.note("play: stopped");
    return 130;
  }
  return st;
}

void setup_play(CLI::App& app) {
  auto* p = app.add_subcommand("play", "show any picture or video, fitted to the panel");
  p->add_option("FILE", opt.files,
                "pictures and videos (MP4, MKV, WebM, GIF, PNG, JPEG, WebP, ...)")
      ->required()
      ->check(CLI::ExistingFile);
  auto* fit = p->add_flag("--fit", "letterbox: the whole picture, black bars (the default)");
  auto* fill = p->add_flag("--fill", opt.fill, "crop: fill the panel, cutting the overhang");
  auto* stretch = p->add_flag("--stretch", opt.stretch, "stretch to the panel's shape");
  fit->excludes(fill)->excludes(stretch);
  fill->excludes(stretch);
  p->add_flag("--loop", opt.loop, "play the files again and again, until Ctrl-C");
  add_ranged(p, "--bands,--parts", opt.parts, "H.264 bands: 1, or 2 or 3 for the banded layout", 1u,
             3u);
  add_ranged(p, "--rotation", opt.rotation, kRotationHelp, 0u, 3u);
  p->add_option("--panel", opt.panel, "the panel's plane size")
      ->option_text("WxH")
      ->capture_default_str();
  add_ranged(p, "--still-seconds", opt.still_s, "how long a still stays before the next file", 0.0,
             86400.0);
  on_run(p, play);
}
PANELCTL_SUBCOMMANDS(setup_play);

}  // namespace
