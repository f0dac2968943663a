// Overlay windows (104) against real decoded video: small frames are drawn
// or empty the overlay by the number of the last decoded video frame.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/system_png/png_system.h"

namespace {

using namespace pngsys;

// A small H.264 stream (one slice per picture) made by the ffmpeg tool.
std::vector<uint8_t> encode_clip(const DeviceRoot& root, int frames) {
  const std::string out = root.path() + "/../windows_clip.h264";
  const std::string cmd =
      "ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "
      "testsrc2=size=64x64:rate=30 -frames:v " +
      std::to_string(frames) +
      " -c:v libx264 -profile:v baseline -preset ultrafast -x264-params slices=1 "
      "-pix_fmt yuv420p -f h264 '" +
      out + "'";
  if (harness::run(cmd) != 0) return {};
  std::vector<uint8_t> data;
  FILE* f = fopen(out.c_str(), "rb");
  if (!f) return {};
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
  fclose(f);
  remove(out.c_str());
  return data;
}

// Offsets where the pictures begin: the units before each slice (parameter
// sets, SEI) belong to its picture.
std::vector<size_t> picture_starts(const std::vector<uint8_t>& s) {
  std::vector<size_t> starts;
  size_t group = SIZE_MAX;
  for (size_t i = 0; i + 3 < s.size(); i++) {
    if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1) continue;
    const size_t unit = i > 0 && s[i - 1] == 0 ? i - 1 : i;
    if (group == SIZE_MAX) group = unit;
    const int type = s[i + 3] & 0x1f;
    if (type == 1 || type == 5) {
      starts.push_back(group);
      group = SIZE_MAX;
    }
    i += 2;
  }
  return starts;
}

// Command 121: a block of part 0 of a one-part stream; reply byte 8 or -1.
int send_block(Daemon& d, const uint8_t* p, size_t n) {
  std::vector<uint8_t> params(10, 0);
  hostlink::put_be32(params, 0, uint32_t(n));
  params[4] = 0;  // not the last block
  params[5] = 1;  // one part
  hostlink::put_be32(params, 6, 1);
  Packet r;
  if (!d.command(121, params, &r, std::vector<uint8_t>(p, p + n), 10000)) return -1;
  return r[8];
}

int64_t frame_counter(Daemon& d) {
  Packet r;
  return d.command(118, {}, &r) ? int64_t(hostlink::be32(&r[8])) : -1;
}

TEST(SystemPngWindows, SmallFramesFollowTheWindowOfTheLastDecodedFrame) {
  if (harness::run("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
  Device dev;
  Daemon& d = *dev.d;
  Plane plane{dev.root};
  const std::vector<uint8_t> clip = encode_clip(dev.root, 31);
  const std::vector<size_t> starts = picture_starts(clip);
  ASSERT_EQ(starts.size(), 31u);

  // Frames 11 to 19 hide the overlay; the fourth window starts at byte 31,
  // where its high byte is the low byte of the third window's end.
  std::vector<uint8_t> w;
  hostlink::put_be32(w, 0, 10);
  hostlink::put_be32(w, 4, 20);
  hostlink::put_be32(w, 8, 1000);
  hostlink::put_be32(w, 12, 1000);
  hostlink::put_be32(w, 16, 0);
  hostlink::put_be32(w, 20, 0);
  hostlink::put_be32(w, 23, 0);
  hostlink::put_be32(w, 27, 0);
  Packet r;
  ASSERT_TRUE(d.command(104, w, &r));

  const Picture a = small_picture(0x10, 20, 20), b = small_picture(0x70, 20, 20);
  ASSERT_GE(send_png(d, a.png, 300, 300, true), 0);
  ASSERT_TRUE(poll_until([&] { return plane.shown_pixel(300, kTop + 300) == a.at(0, 0); }, 3000));

  // Sixteen pictures: the decoder completes fifteen (the last waits for the
  // next start code), so the last decoded frame is 15, inside the window.
  ASSERT_GE(send_block(d, clip.data(), starts[16]), 1) << d.log();
  ASSERT_TRUE(poll_until([&] { return frame_counter(d) == 15; }, 10000)) << frame_counter(d);
  ASSERT_GE(send_png(d, b.png, 340, 300, true), 0);
  // The frame empties the shown overlay instead of being drawn.
  ASSERT_TRUE(poll_until([&] { return plane.shown_pixel(300, kTop + 300) == kClear; }, 3000));
  ASSERT_TRUE(poll_until([&] { return small_queue(d) == 0; }, 3000));
  EXPECT_TRUE(plane.shown_pixel(340, kTop + 300) == kClear);

  // Up to frame 30, outside every window: frames are drawn again.
  ASSERT_GE(send_block(d, clip.data() + starts[16], clip.size() - starts[16]), 1);
  ASSERT_TRUE(poll_until([&] { return frame_counter(d) == 30; }, 10000)) << frame_counter(d);
  ASSERT_GE(send_png(d, b.png, 340, 300, true), 0);
  ASSERT_TRUE(poll_until([&] { return plane.shown_pixel(340, kTop + 300) == b.at(0, 0); }, 3000));
  harness::Image img;
  ASSERT_TRUE(harness::snapshot(dev.root, "overlay", &img));
  EXPECT_TRUE(shows(img, b, 340, kTop + 300));
}

}  // namespace
