// Host video: streaming H.264 files (121, 119, 120) paced by the device's
// ring fill level, the frame counter, queue status and stop (118, 122,
// 123), local files (110..112) and the frame rate (15).
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "tools/panelctl/check.h"
#include "tools/panelctl/media.h"
#include "tools/panelctl/stream.h"

double now_s() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

namespace {

using hostlink::Packet;

constexpr int kRingHigh = 3;  // slow down from this fill level on
constexpr int kRefusedGiveUpMs = 10000;

// Offsets of the pictures of an Annex B stream: each picture starts at the
// first unit that is not a slice after a slice (parameter sets, delimiters
// and SEI go with the picture they precede), or at a slice that begins a
// new picture (first_mb_in_slice 0). Returns the start offsets; the stream
// end closes the last picture.
std::vector<size_t> picture_starts(const std::vector<uint8_t>& s) {
  std::vector<size_t> starts;
  bool prev_slice = false;
  size_t n = s.size();
  for (size_t i = 0; i + 3 < n; ++i) {
    if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) continue;
    size_t unit = (i > 0 && s[i - 1] == 0) ? i - 1 : i;
    uint8_t type = s[i + 3] & 0x1F;
    bool slice = type == 1 || type == 5;
    // first_mb_in_slice is ue(v) at the first bit after the header: 0 is a
    // single 1 bit.
    bool first_slice = slice && i + 4 < n && (s[i + 4] & 0x80);
    if (starts.empty() || (!slice && prev_slice) || (first_slice && prev_slice)) {
      if (starts.empty() || starts.back() != unit) starts.push_back(unit);
    }
    if (slice)
      prev_slice = true;
    else if (prev_slice)
      prev_slice = false;
    i += 2;
  }
  if (starts.empty() && n) starts.push_back(0);
  if (!starts.empty()) starts[0] = 0;
  return starts;
}

struct Part {
  std::vector<uint8_t> data;
  std::vector<size_t> pics;  // picture start offsets
  size_t end(size_t pic) const { return pic < pics.size() ? pics[pic] : data.size(); }
};

// Cuts all parts into blocks that cover the same pictures in every part and
// stay within kBlockMax. Returns picture indices at which blocks begin.
bool cut_blocks(const std::vector<Part>& parts, std::vector<size_t>* cuts) {
  size_t pics = parts[0].pics.size();
  for (auto& p : parts) pics = std::max(pics, p.pics.size());
  size_t a = 0;
  while (a < pics) {
    size_t b = a + 1;
    auto fits = [&](size_t to) {
      for (auto& p : parts)
        if (p.end(to) - p.end(a) > kBlockMax) return false;
      return true;
    };
    if (!fits(b)) return false;  // one picture larger than a block
    while (b < pics && fits(b + 1)) ++b;
    cuts->push_back(a);
    a = b;
  }
  cuts->push_back(pics);
  return true;
}

struct VideoArgs {
  std::vector<std::string> files;
  uint32_t stamp = 1;
  std::string panel = "1080x2400";
  unsigned rotation = 0;
  std::string devpath;
  unsigned fps = 30;
};
VideoArgs video_args;

// The device's decoder limits for each band file; "" when all pass, else
// the first reason.
std::string check_parts(const std::vector<std::string>& files, const std::vector<Part>& parts,
                        media::Size area) {
  const int nparts = static_cast<int>(parts.size());
  for (int i = 0; i < nparts; ++i) {
    check::Limit limit = check::band_limit(area.w, area.h, nparts, i);
    limit.where = nparts == 1 ? "on a " + video_args.panel + " panel"
                              : "in band " + std::to_string(i) + " of " + std::to_string(nparts);
    std::string why;
    if (!check::h264(files[size_t(i)], parts[size_t(i)].data, limit, &why)) return why;
  }
  return "";
}

// Reads the files, one a band, and checks them for a panel of --panel's
// size: 0, or the exit status of the failure. *doubt: what the checks warned
// of (sent anyway under --force).
int load_parts(Panelctl& ctl, const std::vector<std::string>& files, std::vector<Part>* parts,
               std::string* doubt) {
  int pw = 0, ph = 0;
  char extra;
  if (sscanf(video_args.panel.c_str(), "%dx%d%c", &pw, &ph, &extra) != 2 || pw < 16 || ph < 16 ||
      pw > 4096 || ph > 4096)
    return ctl.fail("stream: --panel " + video_args.panel + " is not WIDTHxHEIGHT (16..4096 each)",
                    2);
  parts->assign(files.size(), Part{});
  for (size_t i = 0; i < files.size(); ++i) {
    std::string why;
    if (!read_file(files[i], &(*parts)[i].data, &why)) return ctl.fail(why);
    if ((*parts)[i].data.empty()) return ctl.fail(files[i] + " is empty");
  }
  *doubt =
      check_parts(files, *parts, media::usable_area(media::Size{pw, ph}, int(video_args.rotation)));
  if (!doubt->empty()) {
    if (!ctl.force) return ctl.fail(*doubt);
    ctl.note("panelctl: warning: " + *doubt);
  }
  for (Part& part : *parts) part.pics = picture_starts(part.data);
  return 0;
}

// Sends the blocks between the cuts, each band's in turn, counting the
// frames shown meanwhile. False on failure.
bool send_blocks(Panelctl& ctl, const std::vector<Part>& parts, const std::vector<size_t>& cuts,
                 uint32_t stamp, FrameTally* tally) {
  const size_t nparts = parts.size(), blocks = cuts.size() - 1;
  uint32_t counter = 0;
  if (!query_frame(ctl, &counter)) return false;
  tally->begin(counter);
  for (size_t b = 0; b < blocks; ++b) {
    bool last = b + 1 == blocks;
    for (size_t p = 0; p < nparts; ++p) {
      size_t from = parts[p].end(cuts[b]), to = parts[p].end(cuts[b + 1]);
      if (!send_block(ctl, static_cast<int>(p), static_cast<int>(nparts), stamp,
                      parts[p].data.data() + from, to - from, last))
        return false;
    }
    if (!query_frame(ctl, &counter)) return false;
    tally->see(counter);
    if (!ctl.json) fprintf(stderr, "\rblock %zu/%zu", b + 1, blocks);
  }
  return true;
}

void report_stream(const Panelctl& ctl, size_t pics, size_t blocks, double secs, uint64_t shown) {
  char text[200];
  snprintf(text, sizeof text, "%zu frames in %zu blocks, %.2f s, %.1f fps, %s%llu shown", pics,
           blocks, secs, pics / secs, shown < pics ? "at least " : "",
           static_cast<unsigned long long>(shown));
  ctl.result(text, Json{{"frames", pics},
                        {"blocks", blocks},
                        {"seconds", std::round(secs * 1000) / 1000},
                        {"fps", std::round(pics / secs * 100) / 100},
                        {"shown", shown}});
}

// stream FILE [FILE_PART1 [FILE_PART2]] [--stamp T]: one file per band.
int stream(Panelctl& ctl, const std::vector<std::string>& files, uint32_t stamp) {
  std::vector<Part> parts;
  std::string doubt;
  if (int st = load_parts(ctl, files, &parts, &doubt)) return st;
  std::vector<size_t> cuts;
  if (!cut_blocks(parts, &cuts))
    return ctl.fail("a picture is larger than " + std::to_string(kBlockMax) + " bytes");
  if (int st = panel_ready(ctl, files[0], false)) return st;
  double t0 = now_s();
  if (!stream_begin(ctl, stamp)) return 1;
  FrameTally tally;
  if (!send_blocks(ctl, parts, cuts, stamp, &tally)) return 1;
  double rest_since = 0;
  if (!wait_shown(ctl, &rest_since, &tally)) return 1;
  double secs = std::max(rest_since - t0, 1e-3);
  size_t pics = cuts.back();
  const uint64_t shown = std::min<uint64_t>(tally.shown(), pics);
  if (!ctl.json) fprintf(stderr, "\n");
  if (shown == 0)
    return ctl.fail(
        "none of the " + std::to_string(pics) + " frames was shown: the device " +
        (doubt.empty() ? "could not decode them (its log says why)" : "cannot decode them"));
  report_stream(ctl, pics, cuts.size() - 1, secs, shown);
  return 0;
}

void add_stream(CLI::App& app) {
  auto* s = app.add_subcommand("stream", "stream H.264 files, paced by the device (121, 119, 120)");
  s->add_option("FILE", video_args.files,
                "Annex B H.264, one file per band: 1 to 3 files (top, middle, bottom band)")
      ->required()
      ->expected(1, 3);
  s->add_option("--stamp", video_args.stamp,
                "stream time stamp; a new one makes the device start over")
      ->option_text("T")
      ->capture_default_str();
  s->add_option("--panel", video_args.panel, "the panel's plane size, for the picture size check")
      ->option_text("WxH")
      ->capture_default_str();
  add_ranged(s, "--rotation", video_args.rotation, kRotationHelp, 0u, 3u);
  on_run(s, [](Panelctl& ctl) { return stream(ctl, video_args.files, video_args.stamp); });
}

void add_video_queries(CLI::App& app) {
  auto* f = app.add_subcommand("frame", "query the frame counter (118)");
  on_run(f, [](Panelctl& ctl) {
    uint32_t n;
    if (!query_frame(ctl, &n)) return 1;
    ctl.result(std::to_string(n), Json{{"frame", n}});
    return 0;
  });
  add_command(app, "status", "query the block rings and the PNG queue (122)", 122, nullptr,
              [](const Panelctl& ctl, const Packet& r) {
                std::string text = "blocks " + std::to_string(r[8]) + " " + std::to_string(r[9]) +
                                   " " + std::to_string(r[10]) + ", png queue " +
                                   std::to_string(r[11]);
                ctl.result(text, Json{{"blocks", {r[8], r[9], r[10]}}, {"png_queue", r[11]}});
              });
  add_command(app, "playing", "is a stored file playing? (112)", 112, nullptr,
              [](const Panelctl& ctl, const Packet& r) {
                ctl.result(r[8] ? "playing" : "not playing", Json{{"playing", r[8] != 0}});
              });
}

void setup_video(CLI::App& app) {
  add_stream(app);
  add_video_queries(app);
  add_simple(app, "video-stop", "stop video (123)", 123);
  auto* ps =
      add_simple(app, "play-stored", "play an H.264 file stored on the device in a loop (110)", 110,
                 [] { return hostlink::name_params(video_args.devpath); });
  ps->add_option("DEVPATH", video_args.devpath, "path on the device")
      ->required()
      ->check([](const std::string& s) { return s.empty() ? "empty path" : ""; });
  add_simple(app, "play-stop", "stop local playback (111)", 111);
  auto* fr = add_simple(app, "framerate", "set the video frame rate (15)", 15,
                        [] { return std::vector<uint8_t>{static_cast<uint8_t>(video_args.fps)}; });
  fr->add_option("FPS", video_args.fps, "frames per second, 1..255")
      ->required()
      ->check(CLI::Range(1u, 255u));
}
PANELCTL_SUBCOMMANDS(setup_video);

}  // namespace

bool query_counts(Panelctl& ctl, int counts[3]) {
  Packet r;
  if (!ctl.command(122, {}, &r)) return false;
  for (int i = 0; i < 3; ++i) counts[i] = r[8 + i];
  return true;
}

// Sends one block, retrying while the device refuses it (ring full or a
// standby screen still up); waits while its ring is high. False on failure.
bool send_block(Panelctl& ctl, int part, int nparts, uint32_t stamp, const uint8_t* p, size_t n,
                bool last) {
  static const uint8_t kCode[3] = {121, 119, 120};
  std::vector<uint8_t> params(10, 0);
  hostlink::put_be32(params, 0, static_cast<uint32_t>(n));
  params[4] = last ? 1 : 0;
  params[5] = static_cast<uint8_t>(nparts);
  if (part == 0) hostlink::put_be32(params, 6, stamp);
  double give_up = now_s() + kRefusedGiveUpMs / 1000.0;
  for (;;) {
    Packet r;
    if (!ctl.command(kCode[part], params, &r, p, n)) return false;
    int count = r[8];
    if (count > 0) {
      // Let the decoder catch up before the ring fills.
      while (count >= kRingHigh) {
        usleep(10000);
        int c[3];
        if (!query_counts(ctl, c)) return false;
        count = c[part];
      }
      return true;
    }
    if (now_s() > give_up) {
      ctl.fail(
          "the device refuses video blocks (a standby screen has the panel?): run `panelctl "
          "takeover` first");
      return false;
    }
    usleep(20000);
  }
}

bool query_frame(Panelctl& ctl, uint32_t* f) {
  Packet r;
  if (!ctl.command(118, {}, &r)) return false;
  *f = hostlink::be32(r.data() + 8);
  return true;
}

// A new time stamp makes the device start over and drop the block that
// carried it; an empty single-part block takes that hit, and once the
// device has taken it in, the stream proper follows.
bool stream_begin(Panelctl& ctl, uint32_t stamp) {
  if (!send_block(ctl, 0, 1, stamp, nullptr, 0, false)) return false;
  for (double until = now_s() + 2;;) {
    int c[3];
    if (!query_counts(ctl, c)) return false;
    if (c[0] == 0 || now_s() > until) return true;
    usleep(5000);
  }
}

// Waits until the device has shown what it got: rings empty and the frame
// counter at rest.
bool wait_shown(Panelctl& ctl, double* rest_since, FrameTally* tally) {
  uint32_t frame = 0, prev = 0xFFFFFFFF;
  double deadline = now_s() + 60;
  *rest_since = now_s();
  while (now_s() < deadline) {
    int c[3];
    if (!query_counts(ctl, c) || !query_frame(ctl, &frame)) return false;
    if (tally) tally->see(frame);
    bool empty = c[0] == 0 && c[1] == 0 && c[2] == 0;
    if (frame != prev || !empty) *rest_since = now_s();
    prev = frame;
    if (empty && now_s() - *rest_since > 0.5) break;
    usleep(10000);
  }
  return true;
}
