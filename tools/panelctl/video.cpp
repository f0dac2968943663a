// Host video: streaming H.264 files (121, 119, 120) paced by the device's
// ring fill level, the frame counter, queue status and stop (118, 122,
// 123), local files (110..112) and the frame rate (15).
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tools/panelctl/panelctl.h"

namespace {

using hostlink::Packet;

constexpr size_t kBlockMax = 1048576;  // bytes the device takes per block
constexpr int kRingHigh = 3;           // slow down from this fill level on
constexpr int kRefusedGiveUpMs = 10000;

int bad_usage(const char* u) {
  fprintf(stderr, "usage: panelctl %s\n", u);
  return 2;
}

double now_s() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

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
      fprintf(stderr, "panelctl: the device refuses video blocks (standby screen running?)\n");
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

// stream FILE [FILE_PART1 [FILE_PART2]] [--stamp T]: one file per band.
int stream(Panelctl& ctl, const std::vector<std::string>& args) {
  const char* u = "stream FILE [FILE_PART1 [FILE_PART2]] [--stamp T]   (one H.264 file per band)";
  std::vector<std::string> files;
  unsigned long stamp = 1;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--stamp" && i + 1 < args.size()) {
      if (!parse_uint(args[++i], &stamp) || stamp > 0xFFFFFFFFul) return bad_usage(u);
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.empty() || files.size() > 3) return bad_usage(u);
  const size_t nparts = files.size();
  std::vector<Part> parts(nparts);
  for (size_t i = 0; i < nparts; ++i) {
    if (!read_file(files[i], &parts[i].data) || parts[i].data.empty()) {
      fprintf(stderr, "panelctl: cannot read %s\n", files[i].c_str());
      return 1;
    }
    parts[i].pics = picture_starts(parts[i].data);
  }
  std::vector<size_t> cuts;
  if (!cut_blocks(parts, &cuts)) {
    fprintf(stderr, "panelctl: a picture is larger than %zu bytes\n", kBlockMax);
    return 1;
  }
  size_t blocks = cuts.size() - 1;
  double t0 = now_s();
  // A new time stamp makes the device start over and drop the block that
  // carried it; an empty single-part block takes that hit, and once the
  // device has taken it in, the stream proper follows.
  if (!send_block(ctl, 0, 1, static_cast<uint32_t>(stamp), nullptr, 0, false)) return 1;
  for (double until = now_s() + 2;;) {
    int c[3];
    if (!query_counts(ctl, c)) return 1;
    if (c[0] == 0 || now_s() > until) break;
    usleep(5000);
  }
  for (size_t b = 0; b < blocks; ++b) {
    bool last = b + 1 == blocks;
    for (size_t p = 0; p < nparts; ++p) {
      size_t from = parts[p].end(cuts[b]), to = parts[p].end(cuts[b + 1]);
      if (!send_block(ctl, static_cast<int>(p), static_cast<int>(nparts),
                      static_cast<uint32_t>(stamp), parts[p].data.data() + from, to - from, last))
        return 1;
    }
    if (!ctl.json) fprintf(stderr, "\rblock %zu/%zu", b + 1, blocks);
  }
  // Wait until the device has shown what it got: rings empty and the frame
  // counter at rest.
  uint32_t frame = 0, prev = 0xFFFFFFFF;
  double rest_since = now_s(), deadline = now_s() + 60;
  while (now_s() < deadline) {
    int c[3];
    if (!query_counts(ctl, c) || !query_frame(ctl, &frame)) return 1;
    bool empty = c[0] == 0 && c[1] == 0 && c[2] == 0;
    if (frame != prev || !empty) rest_since = now_s();
    prev = frame;
    if (empty && now_s() - rest_since > 0.5) break;
    usleep(20000);
  }
  double secs = std::max(rest_since - t0, 1e-3);
  size_t pics = cuts.back();
  if (!ctl.json) fprintf(stderr, "\n");
  char text[160];
  snprintf(text, sizeof text, "%zu frames in %zu blocks, %.2f s, %.1f fps", pics, blocks, secs,
           pics / secs);
  char json[200];
  snprintf(json, sizeof json, "{\"frames\":%zu,\"blocks\":%zu,\"seconds\":%.3f,\"fps\":%.2f}", pics,
           blocks, secs, pics / secs);
  ctl.result(text, json);
  return 0;
}
PANELCTL_SUBCOMMAND("stream", "stream H.264 files, paced by the device (121, 119, 120)", stream);

int frame(Panelctl& ctl, const std::vector<std::string>&) {
  uint32_t f;
  if (!query_frame(ctl, &f)) return 1;
  ctl.result(std::to_string(f), "{\"frame\":" + std::to_string(f) + "}");
  return 0;
}
PANELCTL_SUBCOMMAND("frame", "query the frame counter (118)", frame);

int status(Panelctl& ctl, const std::vector<std::string>&) {
  Packet r;
  if (!ctl.command(122, {}, &r)) return 1;
  std::string text = "blocks " + std::to_string(r[8]) + " " + std::to_string(r[9]) + " " +
                     std::to_string(r[10]) + ", png queue " + std::to_string(r[11]);
  std::string json = "{\"blocks\":[" + std::to_string(r[8]) + "," + std::to_string(r[9]) + "," +
                     std::to_string(r[10]) + "],\"png_queue\":" + std::to_string(r[11]) + "}";
  ctl.result(text, json);
  return 0;
}
PANELCTL_SUBCOMMAND("status", "query the block rings and the PNG queue (122)", status);

int simple(Panelctl& ctl, uint8_t code, const std::vector<uint8_t>& params, const char* what) {
  Packet r;
  if (!ctl.command(code, params, &r)) return 1;
  ctl.result(std::string(what) + ": ok", "{\"ok\":true}");
  return 0;
}

int video_stop(Panelctl& ctl, const std::vector<std::string>&) {
  return simple(ctl, 123, {}, "video-stop");
}
PANELCTL_SUBCOMMAND("video-stop", "stop video (123)", video_stop);

int play(Panelctl& ctl, const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0].empty()) return bad_usage("play DEVPATH");
  return simple(ctl, 110, hostlink::name_params(args[0]), "play");
}
PANELCTL_SUBCOMMAND("play", "play a stored H.264 file in a loop (110)", play);

int play_stop(Panelctl& ctl, const std::vector<std::string>&) {
  return simple(ctl, 111, {}, "play-stop");
}
PANELCTL_SUBCOMMAND("play-stop", "stop local playback (111)", play_stop);

int playing(Panelctl& ctl, const std::vector<std::string>&) {
  Packet r;
  if (!ctl.command(112, {}, &r)) return 1;
  ctl.result(r[8] ? "playing" : "not playing", r[8] ? "{\"playing\":true}" : "{\"playing\":false}");
  return 0;
}
PANELCTL_SUBCOMMAND("playing", "is a stored file playing? (112)", playing);

int framerate(Panelctl& ctl, const std::vector<std::string>& args) {
  unsigned long v;
  if (args.size() != 1 || !parse_uint(args[0], &v) || v < 1 || v > 255)
    return bad_usage("framerate 1..255");
  return simple(ctl, 15, {static_cast<uint8_t>(v)}, "framerate");
}
PANELCTL_SUBCOMMAND("framerate", "set the video frame rate (15)", framerate);

}  // namespace
