#include "tests/system_video/clips.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "tools/hostlink/hostlink.h"

namespace clips {

namespace {

std::string g_dir;

void remove_dir() {
  if (!g_dir.empty()) harness::run("rm -rf '" + g_dir + "'");
}

std::vector<uint8_t> slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void spill(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

}  // namespace

const std::string& dir() {
  if (g_dir.empty()) {
    char tmpl[] = "/tmp/paneld-clips-XXXXXX";
    if (mkdtemp(tmpl)) g_dir = tmpl;
    atexit(remove_dir);
  }
  return g_dir;
}

std::vector<uint8_t> encode(const std::string& name, int top, int height, int frames, bool intra) {
  std::string out = dir() + "/" + name + ".h264";
  char cmd[1024];
  snprintf(cmd, sizeof cmd,
           "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi "
           "-i testsrc2=size=%dx%d:rate=30 -frames:v %d -vf crop=%d:%d:0:%d -c:v libx264 "
           "-profile:v baseline -preset veryfast -crf 30 -g %d -x264-params slices=1 "
           "-pix_fmt yuv420p -f h264 '%s'",
           kWidth, kHeight, frames, kWidth, height, top, intra ? 1 : 250, out.c_str());
  if (harness::run(cmd) != 0) return {};
  return slurp(out);
}

std::vector<std::vector<uint8_t>> decode_luma(const std::vector<uint8_t>& stream, int width,
                                              int height) {
  static int n = 0;
  std::string in = dir() + "/dec" + std::to_string(++n) + ".h264";
  std::string out = in + ".yuv";
  spill(in, stream);
  // Same pixel format as the stream: ffmpeg copies the planes unconverted.
  std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -y -i '" + in +
                    "' -f rawvideo -pix_fmt yuv420p '" + out + "'";
  std::vector<std::vector<uint8_t>> frames;
  if (harness::run(cmd) != 0) return frames;
  std::vector<uint8_t> raw = slurp(out);
  size_t luma = size_t(width) * height, frame = luma * 3 / 2;
  for (size_t off = 0; off + frame <= raw.size(); off += frame)
    frames.emplace_back(raw.begin() + off, raw.begin() + off + luma);
  return frames;
}

std::vector<size_t> picture_starts(const std::vector<uint8_t>& s) {
  std::vector<size_t> starts;
  bool prev_slice = false;
  for (size_t i = 0; i + 4 < s.size(); ++i) {
    if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) continue;
    size_t unit = (i > 0 && s[i - 1] == 0) ? i - 1 : i;
    uint8_t type = s[i + 3] & 0x1F;
    bool slice = type == 1 || type == 5;
    bool first_slice = slice && (s[i + 4] & 0x80);  // first_mb_in_slice == 0
    if (starts.empty() || (!slice && prev_slice) || (first_slice && prev_slice))
      starts.push_back(starts.empty() ? 0 : unit);
    prev_slice = slice;
    i += 2;
  }
  return starts;
}

int send_block(harness::Daemon& d, int part, int nparts, const uint8_t* p, size_t n, bool last,
               uint32_t stamp) {
  static const uint8_t kCode[3] = {121, 119, 120};
  std::vector<uint8_t> params(10, 0);
  hostlink::put_be32(params, 0, static_cast<uint32_t>(n));
  params[4] = last ? 1 : 0;
  params[5] = static_cast<uint8_t>(nparts);
  hostlink::put_be32(params, 6, stamp);
  hostlink::Packet r;
  if (!d.host().command(kCode[part], params, &r, p, n, 10000)) return -1;
  return r[8];
}

namespace {

int ring_count(harness::Daemon& d, int part) {
  hostlink::Packet r;
  if (!d.command(122, {}, &r)) return -1;
  return r[8 + part];
}

// Sends a block, retrying while refused, then waits while its ring is high.
bool push(harness::Daemon& d, int part, int nparts, const uint8_t* p, size_t n, bool last,
          uint32_t stamp) {
  int count = 0;
  if (!poll([&] { return (count = send_block(d, part, nparts, p, n, last, stamp)) != 0; }, 10000,
            5) ||
      count < 0)
    return false;
  return count < 3 || poll([&] { return ring_count(d, part) < 3; }, 10000, 5);
}

}  // namespace

bool stream(harness::Daemon& d, const std::vector<std::vector<uint8_t>>& parts, int pics_per_block,
            uint32_t stamp) {
  int nparts = static_cast<int>(parts.size());
  std::vector<std::vector<size_t>> pics;
  for (auto& p : parts) pics.push_back(picture_starts(p));
  size_t total = pics[0].size();
  for (size_t a = 0; a < total; a += pics_per_block) {
    size_t b = a + pics_per_block;
    for (int i = 0; i < nparts; ++i) {
      size_t from = pics[i][a], to = b < pics[i].size() ? pics[i][b] : parts[i].size();
      if (!push(d, i, nparts, parts[i].data() + from, to - from, false, stamp)) return false;
    }
  }
  return true;
}

bool finish(harness::Daemon& d, int nparts, uint32_t stamp) {
  for (int i = 0; i < nparts; ++i)
    if (!push(d, i, nparts, nullptr, 0, true, stamp)) return false;
  return true;
}

int64_t frame_counter(harness::Daemon& d) {
  hostlink::Packet r;
  if (!d.command(118, {}, &r)) return -1;
  return hostlink::be32(r.data() + 8);
}

bool wait_frame(harness::Daemon& d, int64_t want, int timeout_ms) {
  return poll([&] { return frame_counter(d) == want; }, timeout_ms, 5);
}

std::string compare_video(const harness::DeviceRoot& root, const std::vector<uint8_t>& expect) {
  std::string why = "no snapshot";
  poll(
      [&] {
        harness::Image img;
        if (!harness::snapshot(root, "video-y", &img)) return false;
        if (img.width != kWidth || img.height < kPanelTop + kHeight) {
          why = "snapshot size " + std::to_string(img.width) + "x" + std::to_string(img.height);
          return false;
        }
        for (int y = 0; y < kHeight; ++y)
          for (int x = 0; x < kWidth; ++x) {
            int got = img.at(x, kPanelTop + y)[0], want = expect[size_t(y) * kWidth + x];
            if (got != want) {
              why = "first difference at x " + std::to_string(x) + " y " + std::to_string(y) +
                    ": " + std::to_string(got) + " instead of " + std::to_string(want);
              return false;
            }
          }
        why.clear();
        return true;
      },
      1500, 100);
  return why;
}

void make_ready(harness::DeviceRoot& root) {
  // No offline screen and no boot video at start.
  root.write("/tmp/no_show_offline", "");
}

bool wait_ready(harness::Daemon& d) { return d.wait_log("init_tty done!", 10000); }

void end_test_mode(harness::Daemon& d) {
  hostlink::Packet r;
  if (wait_ready(d)) d.command(254, {}, &r, {}, 10000);
}

}  // namespace clips
