// The PNG overlay streams through the real daemon: frames sent with command
// 102 and checked pixel by pixel on `panelsim snapshot`.
#include <gtest/gtest.h>
#include <png.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness/harness.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using hostlink::Packet;
using Plane = harness::Overlay;

constexpr int kTop = 84;  // dev_y of the default 1080 x 2400 panel
constexpr uint32_t kSmallSlot = 131072, kFullSlot = 1048576, kMaxPacket = 2097152;

// A PNG file and the ARGB value (AARRGGBB) each pixel must show.
struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> png;
  std::vector<uint32_t> argb;
  uint32_t at(int x, int y) const { return argb[size_t(y) * width + x]; }
};

struct Kind {
  int type, depth;  // PNG_COLOR_TYPE_*, bits per sample
  bool trns = false, adam7 = false;
};

// Every kind a host may send, plain and interlaced.
std::vector<Kind> all_kinds() {
  const int rgba = PNG_COLOR_TYPE_RGB_ALPHA, rgb = PNG_COLOR_TYPE_RGB, g = PNG_COLOR_TYPE_GRAY,
            ga = PNG_COLOR_TYPE_GRAY_ALPHA, pal = PNG_COLOR_TYPE_PALETTE;
  std::vector<Kind> v;
  for (bool adam7 : {false, true})
    for (Kind k : std::vector<Kind>{
             {rgba, 8},      {rgba, 16}, {rgb, 8},      {rgb, 16}, {rgb, 8, true}, {rgb, 16, true},
             {g, 1},         {g, 2},     {g, 4},        {g, 8},    {g, 16},        {g, 4, true},
             {g, 8, true},   {ga, 8},    {ga, 16},      {pal, 1},  {pal, 2, true}, {pal, 4},
             {pal, 4, true}, {pal, 8},   {pal, 8, true}}) {
      k.adam7 = adam7;
      v.push_back(k);
    }
  return v;
}

// Written with libpng's writer. The samples change with x, y and channel,
// so that misplaced rows, columns and passes show; 16-bit samples are
// v * 257, which every reduction to 8 bits turns into v exactly.
Picture make_picture(const Kind& k, int w, int h, unsigned seed = 0) {
  const bool pal = k.type == PNG_COLOR_TYPE_PALETTE;
  const unsigned max = pal || k.depth < 8 ? (1u << k.depth) - 1 : 255,
                 scale = k.depth == 16 ? 257 : 1;
  const int ch =
      pal ? 1 : (k.type & PNG_COLOR_MASK_COLOR ? 3 : 1) + (k.type & PNG_COLOR_MASK_ALPHA ? 1 : 0);
  auto sample = [&](int x, int y, int c) {
    return (x * 37u + y * 91u + c * 53u + 11u + seed) % (max + 1);
  };
  // With tRNS: some palette entries (semi)transparent, the rest opaque; or
  // the grey or RGB colour of pixel (0, 0) transparent.
  std::vector<png_color> palette;
  std::vector<uint8_t> alpha;
  for (unsigned i = 0; pal && i <= max; i++)
    palette.push_back({uint8_t(i * 71 + 5), uint8_t(i * 29 + 100), uint8_t(255 - i * 13)});
  for (unsigned i = 0; pal && i < max && i < 5; i++) alpha.push_back(uint8_t(i * 60));
  png_color_16 key{0, png_uint_16(sample(0, 0, 0) * scale), png_uint_16(sample(0, 0, 1) * scale),
                   png_uint_16(sample(0, 0, 2) * scale), png_uint_16(sample(0, 0, 0) * scale)};

  Picture pic{w, h, {}, std::vector<uint32_t>(size_t(w) * h)};
  std::vector<std::vector<uint8_t>> rows(h,
                                         std::vector<uint8_t>((size_t(w) * ch * k.depth + 7) / 8));
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      unsigned s[4], v[4], a = 255;
      for (int c = 0; c < ch; c++) {
        s[c] = sample(x, y, c);
        v[c] = pal ? s[c] : s[c] * 255 / max;  // low grey depths scale up
        const int i = x * ch + c;
        std::vector<uint8_t>& row = rows[y];
        if (k.depth == 16) {
          row[2 * i] = uint8_t(s[c] * scale >> 8);
          row[2 * i + 1] = uint8_t(s[c] * scale);
        } else {
          row[i * k.depth / 8] |= uint8_t(s[c] << (8 - k.depth - i * k.depth % 8));
        }
      }
      if (pal) {
        v[0] = palette[s[0]].red, v[1] = palette[s[0]].green, v[2] = palette[s[0]].blue;
        if (k.trns && s[0] < alpha.size()) a = alpha[s[0]];
      } else if (ch < 3) {
        v[3] = v[1], v[1] = v[2] = v[0];
      }
      if (ch == 2 || ch == 4) a = v[3];
      if (k.trns && !pal && s[0] == sample(0, 0, 0) &&
          (ch == 1 || (s[1] == sample(0, 0, 1) && s[2] == sample(0, 0, 2))))
        a = 0;
      pic.argb[size_t(y) * w + x] = a << 24 | v[0] << 16 | v[1] << 8 | v[2];
    }

  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return Picture{};
  }
  png_set_write_fn(
      png, &pic.png,
      [](png_structp p, png_bytep data, size_t n) {
        auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p));
        out->insert(out->end(), data, data + n);
      },
      [](png_structp) {});
  png_set_IHDR(png, info, w, h, k.depth, k.type, k.adam7 ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (pal) png_set_PLTE(png, info, palette.data(), int(palette.size()));
  if (k.trns) png_set_tRNS(png, info, alpha.data(), int(alpha.size()), pal ? nullptr : &key);
  std::vector<png_bytep> ptrs;
  for (auto& r : rows) ptrs.push_back(r.data());
  png_write_info(png, info);
  png_write_image(png, ptrs.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return pic;
}

Picture rgba(int w, int h, unsigned seed) {
  return make_picture({PNG_COLOR_TYPE_RGB_ALPHA, 8}, w, h, seed);
}

// A daemon that shows host media at once: no standby screen, no boot video.
struct Device {
  DeviceRoot root;
  std::unique_ptr<Daemon> d;
  Device() {
    root.write("/tmp/no_show_offline", "");
    d = std::make_unique<Daemon>(root);
    Packet r;
    EXPECT_TRUE(d->command(254, {}, &r, {}, 10000)) << d->log();
  }
};

// Command 102; reply byte 8, or -1 without a reply.
int send_png(Daemon& d, const std::vector<uint8_t>& png, int x, int y, bool small) {
  std::vector<uint8_t> p(9, 0);
  hostlink::put_be32(p, 0, uint32_t(png.size()));
  hostlink::put_be16(p, 4, uint16_t(x));
  hostlink::put_be16(p, 6, uint16_t(y));
  p[8] = small;
  Packet r;
  return d.command(102, p, &r, png, 10000) ? r[8] : -1;
}

// Frames waiting in the small stream's display queue (122, byte 11).
int small_queue(Daemon& d) {
  Packet r;
  return d.command(122, {}, &r) ? r[11] : -1;
}

harness::Image snap(const DeviceRoot& root, const std::string& layer = "overlay") {
  harness::Image img;
  EXPECT_TRUE(harness::snapshot(root, layer, &img));
  return img;
}

// The picture at (x0, y0) of the snapshot, clipped to it; alone: every
// other pixel transparent.
::testing::AssertionResult shows(const harness::Image& img, const Picture& pic, int x0, int y0,
                                 bool alone = false) {
  for (int y = 0; y < img.height; y++)
    for (int x = 0; x < img.width; x++) {
      const bool in = x >= x0 && y >= y0 && x - x0 < pic.width && y - y0 < pic.height;
      if (!in && !alone) continue;
      const uint32_t got = img.argb(x, y);
      const uint32_t want = in ? pic.at(x - x0, y - y0) : 0;
      if (got != want)
        return ::testing::AssertionFailure()
               << "at " << x << "," << y << std::hex << ": " << got << ", want " << want;
    }
  return ::testing::AssertionSuccess();
}
const Picture kNothing;

// Every kind as a small frame, laid out in a grid, each at its position
// and nothing around them, without a flip; the host paces itself by the
// queue size.
TEST(Png, EveryPngKindDrawsTheKnownPixels) {
  Device dev;
  const int front = Plane{dev.root}.shown();
  const std::vector<Kind> kinds = all_kinds();
  std::vector<Picture> pics;
  auto x = [](size_t i) { return 20 + int(i % 8) * 20; };
  auto y = [](size_t i) { return 20 + int(i / 8) * 20; };
  for (size_t i = 0; i < kinds.size(); i++) {
    pics.push_back(make_picture(kinds[i], 13, 11));
    ASSERT_TRUE(harness::wait_until([&] { return small_queue(*dev.d) <= 2; }, 3000));
    ASSERT_GE(send_png(*dev.d, pics.back().png, x(i), y(i), true), 0);
  }
  ASSERT_TRUE(harness::wait_until([&] { return small_queue(*dev.d) == 0; }, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the last one is drawn
  const harness::Image img = snap(dev.root);
  for (size_t i = 0; i < kinds.size(); i++)
    EXPECT_TRUE(shows(img, pics[i], x(i), kTop + y(i)))
        << "type " << kinds[i].type << " depth " << kinds[i].depth << " tRNS " << kinds[i].trns
        << " Adam7 " << kinds[i].adam7;
  int stray = 0;
  for (int py = 0; py < img.height; py++)
    for (int px = 0; px < img.width; px++) {
      const int gx = px - 20, gy = py - kTop - 20;
      const bool in = gx >= 0 && gy >= 0 && gx % 20 < 13 && gy % 20 < 11 && gx / 20 < 8 &&
                      size_t(gy / 20 * 8 + gx / 20) < kinds.size();
      stray += !in && img.at(px, py)[3] != 0;
    }
  EXPECT_EQ(stray, 0);
  EXPECT_EQ(Plane{dev.root}.shown(), front);
}

// A full-screen picture is decoded into the back buffer and shown by a
// flip. With no small frame due the earlier small pictures go; with one
// due it is drawn on the new picture before the flip. 103 then empties
// both buffers.
TEST(Png, FullScreenPictureFlipsInWithTheDueSmallPictureOnTop) {
  Device dev;
  Daemon& d = *dev.d;
  Plane plane{dev.root};
  const Picture a = rgba(60, 40, 1), b = rgba(60, 40, 2);
  const Picture f1 = rgba(1080, 2288, 3), f2 = rgba(1080, 2288, 4);
  ASSERT_LE(f1.png.size(), kFullSlot);

  ASSERT_GE(send_png(d, a.png, 500, 300, true), 0);
  ASSERT_TRUE(
      harness::wait_until([&] { return plane.shown_pixel(500, kTop + 300) == a.at(0, 0); }, 3000));
  const int front = plane.shown();
  const auto sent = std::chrono::steady_clock::now();
  const int waiting = send_png(d, f1.png, 77, 99, false);  // x and y are not used
  EXPECT_TRUE(waiting == 0 || waiting == 1) << waiting;
  // The decode is spread over about a second: meanwhile the shown buffer
  // keeps its picture while the back buffer fills.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  if (std::chrono::steady_clock::now() - sent < std::chrono::milliseconds(800)) {
    EXPECT_EQ(plane.shown(), front);
    EXPECT_EQ(plane.shown_pixel(0, kTop), 0u);
    EXPECT_EQ(plane.pixel(front ^ 1, 0, kTop), f1.at(0, 0));
  }
  ASSERT_TRUE(harness::wait_until([&] { return plane.shown() != front; }, 5000)) << d.log();
  EXPECT_TRUE(shows(snap(dev.root), f1, 0, kTop, true));  // a was on the other buffer

  // Small frames keep coming while the second picture decodes, so one is
  // due at the flip: the new picture never shows without it.
  const int front2 = plane.shown();
  ASSERT_GE(send_png(d, f2.png, 0, 0, false), 0);
  bool flipped = false;
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
       !flipped && std::chrono::steady_clock::now() < end;) {
    ASSERT_TRUE(small_queue(d) >= 3 || send_png(d, b.png, 100, 200, true) >= 0);
    if ((flipped = plane.shown() != front2)) {
      EXPECT_EQ(plane.shown_pixel(100, kTop + 200), b.at(0, 0));
      EXPECT_EQ(plane.shown_pixel(1079, kTop + 2287), f2.at(1079, 2287));
    }
  }
  ASSERT_TRUE(flipped) << d.log();

  Packet r;
  ASSERT_TRUE(harness::wait_until([&] { return small_queue(d) == 0; }, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the last one is drawn
  ASSERT_TRUE(d.command(103, {}, &r));
  for (const char* layer : {"overlay", "overlay0", "overlay1"})
    EXPECT_TRUE(shows(snap(dev.root, layer), kNothing, 0, 0, true)) << layer;
}

// Six slots: frames sent faster than the thread draws them (ten a second)
// find the pool busy and are dropped, their payload read off the line; the
// reply still reports the display queue.
TEST(Png, BusyPoolDropsFramesAndReportsTheQueue) {
  Device dev;
  const Picture pic = rgba(8, 8, 5);
  std::vector<int> replies;
  for (int i = 0; i < 14; i++) replies.push_back(send_png(*dev.d, pic.png, 10 + i * 20, 40, true));
  ASSERT_TRUE(harness::wait_until([&] { return small_queue(*dev.d) == 0; }, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const harness::Image img = snap(dev.root);
  int drawn = 0;
  for (int i = 0; i < 14; i++) {
    ASSERT_TRUE(replies[i] >= 0 && replies[i] <= 6) << i << ": " << replies[i];
    if (shows(img, pic, 10 + i * 20, kTop + 40)) {
      drawn++;
    } else {
      // Dropped only when every slot was queued or being drawn. The size is
      // read after the 10 ms wait for a slot, and the drawing thread may
      // have taken the next frame since.
      EXPECT_GE(replies[i], 4) << "frame " << i << " dropped with a short queue";
    }
  }
  EXPECT_GE(drawn, 6);
  EXPECT_LT(drawn, 14);
}

// Frames the host should not send are refused, skipped or clipped; the
// next frames of both streams are taken as usual.
TEST(Png, BadFramesAreRefusedSkippedOrClippedAndTheStreamsGoOn) {
  Device dev;
  Daemon& d = *dev.d;
  Plane plane{dev.root};
  // Longer than a slot or than the receive buffer: refused and read off.
  EXPECT_EQ(send_png(d, std::vector<uint8_t>(kSmallSlot + 1, 0x42), 0, 0, true), 0);
  EXPECT_EQ(send_png(d, std::vector<uint8_t>(kFullSlot + 1, 0x43), 0, 0, false), 0);
  EXPECT_EQ(send_png(d, std::vector<uint8_t>(kMaxPacket + 1, 0x44), 0, 0, true), 0);

  // Broken data, more frames than the pool has slots: every slot comes back.
  const Picture good = rgba(30, 20, 6);
  const std::vector<uint8_t> cut(good.png.begin(), good.png.begin() + good.png.size() / 2);
  std::vector<uint8_t> flipped = good.png;
  flipped[flipped.size() / 2] ^= 0xFF;
  const std::vector<uint8_t> not_png = {'J', 'F', 'I', 'F', 1, 2, 3, 4, 5, 6, 7, 8};
  for (int i = 0; i < 4; i++)
    for (const std::vector<uint8_t>& v : {cut, flipped, not_png, kNothing.png}) {
      ASSERT_TRUE(harness::wait_until([&] { return small_queue(d) <= 3; }, 3000));
      ASSERT_GE(send_png(d, v, 0, 0, true), 0);
    }
  ASSERT_GE(send_png(d, good.png, 400, 400, true), 0);
  ASSERT_TRUE(harness::wait_until(
      [&] { return plane.shown_pixel(429, kTop + 419) == good.at(29, 19); }, 3000))
      << d.log();
  EXPECT_TRUE(d.wait_log("The file is not PNG\n"));

  // Over the plane's right and bottom edges, and wholly outside.
  Packet r;
  ASSERT_TRUE(d.command(103, {}, &r));
  const Picture wide = rgba(100, 80, 7);
  ASSERT_GE(send_png(d, wide.png, 1030, 2400 - kTop - 30, true), 0);
  ASSERT_GE(send_png(d, wide.png, 65535, 65535, true), 0);
  ASSERT_TRUE(harness::wait_until([&] { return small_queue(d) == 0; }, 3000));
  ASSERT_TRUE(
      harness::wait_until([&] { return plane.shown_pixel(1079, 2399) == wide.at(49, 29); }, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_TRUE(shows(snap(dev.root), wide, 1030, 2370, true));
  EXPECT_TRUE(shows(snap(dev.root, plane.shown() ? "overlay0" : "overlay1"), kNothing, 0, 0, true));

  // Full-screen: cycles that end without a picture leave the permit for
  // the next frame, and a picture lower than ten rows is flipped in.
  const int front = plane.shown(), errors = d.count_log("libpng error");
  ASSERT_GE(send_png(d, cut, 0, 0, false), 0);
  ASSERT_TRUE(harness::wait_until([&] { return d.count_log("libpng error") > errors; }, 3000));
  ASSERT_GE(send_png(d, not_png, 0, 0, false), 0);
  const Picture low = rgba(1080, 3, 8);
  ASSERT_GE(send_png(d, low.png, 0, 0, false), 0);
  ASSERT_TRUE(harness::wait_until([&] { return plane.shown() != front; }, 5000)) << d.log();
  EXPECT_EQ(plane.shown_pixel(1079, kTop + 2), low.at(1079, 2));
}

// Overlay windows (104) against real decoded video: small frames are drawn,
// or empty the overlay, by the number of the last decoded video frame.
TEST(Png, WindowsHideTheOverlayForTheirVideoFrames) {
  Device dev;
  Daemon& d = *dev.d;
  Plane plane{dev.root};
  // Sixteen pictures of a small H.264 clip: the decoder completes all but
  // the last, which waits for the next start code.
  const std::string clip = dev.root.file("/../clip.h264");
  ASSERT_EQ(harness::ffmpeg(
                "-f lavfi -i "
                "testsrc2=size=64x64:rate=30 -frames:v 16 -c:v libx264 -profile:v "
                "baseline -preset ultrafast -x264-params slices=1 -pix_fmt yuv420p -f h264 '" +
                clip + "'"),
            0)
      << "ffmpeg with libx264 is needed";
  const std::string s = dev.root.read("/../clip.h264");
  std::vector<uint8_t> params(10, 0);
  hostlink::put_be32(params, 0, uint32_t(s.size()));
  params[5] = 1;  // one part
  hostlink::put_be32(params, 6, 1);
  Packet r;
  auto send_clip = [&] { return d.command(121, params, &r, {s.begin(), s.end()}) && r[8] >= 1; };

  // Frames 11 to 19 hide the overlay. The fourth window starts at byte 31,
  // where its high byte is the low byte of the third window's end.
  std::vector<uint8_t> w;
  for (uint32_t v : {10, 20, 1000, 1000, 0, 0}) hostlink::put_be32(w, w.size(), v);
  hostlink::put_be32(w, 23, 0);
  hostlink::put_be32(w, 27, 0);
  ASSERT_TRUE(d.command(104, w, &r));
  auto frame = [&] { return d.command(118, {}, &r) ? hostlink::be32(&r[8]) : 0; };

  const Picture a = rgba(20, 20, 9), b = rgba(20, 20, 10);
  ASSERT_GE(send_png(d, a.png, 300, 300, true), 0);
  ASSERT_TRUE(
      harness::wait_until([&] { return plane.shown_pixel(300, kTop + 300) == a.at(0, 0); }, 3000));
  ASSERT_TRUE(send_clip());
  ASSERT_TRUE(harness::wait_until([&] { return frame() == 15; }, 10000)) << frame();
  ASSERT_GE(send_png(d, b.png, 340, 300, true), 0);
  // Inside the window the frame empties the shown overlay instead.
  ASSERT_TRUE(harness::wait_until([&] { return small_queue(d) == 0; }, 3000));
  ASSERT_TRUE(harness::wait_until([&] { return plane.shown_pixel(300, kTop + 300) == 0; }, 3000));
  EXPECT_EQ(plane.shown_pixel(340, kTop + 300), 0u);

  // The clip again completes the held picture and fifteen more: frame 31,
  // outside every window, so small frames are drawn again.
  ASSERT_TRUE(send_clip());
  ASSERT_TRUE(harness::wait_until([&] { return frame() == 31; }, 10000)) << frame();
  ASSERT_GE(send_png(d, b.png, 340, 300, true), 0);
  ASSERT_TRUE(
      harness::wait_until([&] { return plane.shown_pixel(340, kTop + 300) == b.at(0, 0); }, 3000));
  EXPECT_TRUE(shows(snap(dev.root), b, 340, kTop + 300));
}

// panelctl's overlay subcommands, on the daemon under `panelsim run`.
TEST(Png, PanelctlOverlaySubcommands) {
  DeviceRoot root;
  root.write("/tmp/no_show_offline", "");
  harness::SimRun sim(root);
  Plane plane{root};
  const Picture small = rgba(30, 20, 11), full = rgba(1080, 300, 12);
  root.write("/../small.png", std::string(small.png.begin(), small.png.end()));
  root.write("/../full.png", std::string(full.png.begin(), full.png.end()));
  root.write("/../big.png", std::string(kSmallSlot + 1, 'x'));
  const std::string dir = root.path() + "/../";
  int st;
  std::string err;
  auto ctl = [&](const std::string& args) {
    sim.ctl(args, &st, &err);
    return st;
  };
  ASSERT_EQ(ctl("nop"), 0) << err;
  EXPECT_NE(sim.ctl("--json png " + dir + "small.png 10 20", &st)
                .find("{\"sent\":" + std::to_string(small.png.size()) + ",\"queue\":"),
            std::string::npos);
  EXPECT_TRUE(harness::wait_until(
      [&] { return plane.shown_pixel(39, kTop + 39) == small.at(29, 19); }, 3000));
  const int front = plane.shown();
  ASSERT_EQ(ctl("png-full " + dir + "full.png"), 0) << err;
  ASSERT_TRUE(harness::wait_until([&] { return plane.shown() != front; }, 5000));
  EXPECT_EQ(plane.shown_pixel(1079, kTop + 299), full.at(1079, 299));
  ASSERT_EQ(ctl("overlay off"), 0);
  EXPECT_NE(harness::snapshot_state(root).find("\"fb1_enabled\":false"), std::string::npos);
  ASSERT_EQ(ctl("overlay on"), 0);
  ASSERT_EQ(ctl("overlay-clear"), 0);
  EXPECT_EQ(plane.shown_pixel(1079, kTop + 299), 0u);
  EXPECT_EQ(ctl("windows 10 20 0 0 0 256 1 -1"), 0) << err;
  // The fourth window's first byte is the third one's last: values that
  // disagree there cannot be sent.
  EXPECT_EQ(ctl("windows 10 20 0 0 0 50 100 200"), 2);
  EXPECT_NE(err.find("byte 31"), std::string::npos) << err;
  EXPECT_EQ(ctl("png " + dir + "big.png 0 0"), 1);
  EXPECT_NE(err.find("131072"), std::string::npos) << err;
}

}  // namespace
