// Shared by the overlay system tests: a ready device, command 102 from the
// host side, and fast reads of the simulated overlay plane.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/sim_state.h"
#include "tests/harness/harness.h"
#include "tests/png/png_maker.h"

namespace pngsys {

using harness::Daemon;
using harness::DeviceRoot;
using hostlink::Packet;
using pngtest::Bgra;
using pngtest::Picture;

constexpr int kTop = 84;  // dev_y of the default 1080 x 2400 panel
constexpr uint32_t kSmallSlot = 131072, kFullSlot = 1048576, kMaxPacket = 2097152;
inline const Bgra kClear{0, 0, 0, 0};

inline long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

template <typename F>
bool poll_until(F pred, int timeout_ms, int step_ms = 10) {
  const long long end = now_ms() + timeout_ms;
  for (;;) {
    if (pred()) return true;
    if (now_ms() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
}

// A device that shows host media at once: outside factory test mode, no
// offline screen, no boot video.
inline void prepare_root(const DeviceRoot& root, bool offline_screen = false) {
  std::string cfg(136, '\0');
  cfg[0] = 60;  // bright; all else 0: test mode off, no local content
  const std::string path = "/media/offline_video.h264";
  cfg.replace(8, path.size(), path);
  root.write("/usr/data/app.cfg", cfg);
  if (!offline_screen) root.write("/tmp/no_show_offline", "");
}

struct Device {
  DeviceRoot root;
  Daemon* d = nullptr;
  explicit Device(bool offline_screen = false) {
    prepare_root(root, offline_screen);
    d = new Daemon(root);
    Packet r;
    EXPECT_TRUE(d->command(254, {}, &r, {}, 10000)) << d->log();
  }
  // A sanitizer build of the daemon reports its findings in the log.
  ~Device() {
    const std::string log = d->log();
    EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
    EXPECT_EQ(log.find("runtime error:"), std::string::npos) << log;
    delete d;
  }
};

// Command 102; reply byte 8, or -1 without a reply.
inline int send_png(Daemon& d, const std::vector<uint8_t>& png, uint32_t x, uint32_t y, bool small,
                    uint32_t announced = UINT32_MAX) {
  std::vector<uint8_t> p(9, 0);
  hostlink::put_be32(p, 0, announced == UINT32_MAX ? uint32_t(png.size()) : announced);
  hostlink::put_be16(p, 4, uint16_t(x));
  hostlink::put_be16(p, 6, uint16_t(y));
  p[8] = small ? 1 : 0;
  Packet r;
  if (!d.command(102, p, &r, png, 10000)) return -1;
  return r[8];
}

// Messages waiting in the small stream's display queue (122, byte 11).
inline int small_queue(Daemon& d) {
  Packet r;
  return d.command(122, {}, &r) ? r[11] : -1;
}

// The simulated overlay plane read straight from its file: fast enough to
// poll while the decoder threads work.
struct Plane {
  const DeviceRoot& root;
  SimPlane st() const {
    SimPlaneState s{};
    sim_state_read(root.path(), &s);
    return s.plane[1];
  }
  int shown() const { return int(st().shown); }
  Bgra pixel(int buffer, int x, int y) const {
    const SimPlane p = st();
    Bgra px{1, 2, 3, 4};
    const int fd = open(root.file("/sim/fb1").c_str(), O_RDONLY);
    if (fd < 0) return px;
    const off_t at = off_t(buffer) * p.frame_size + off_t(y) * p.line_length + off_t(x) * 4;
    if (pread(fd, &px, 4, at) != 4) px = {1, 2, 3, 4};
    close(fd);
    return px;
  }
  Bgra shown_pixel(int x, int y) const { return pixel(shown(), x, y); }
};

inline Bgra snap_px(const harness::Image& img, int x, int y) {
  const uint8_t* p = img.at(x, y);
  return {p[2], p[1], p[0], p[3]};
}

// Every pixel of the picture at (x0, y0) of the snapshot, clipped to it.
inline ::testing::AssertionResult shows(const harness::Image& img, const Picture& pic, int x0,
                                        int y0) {
  for (int y = 0; y < pic.height; y++)
    for (int x = 0; x < pic.width; x++) {
      const int sx = x0 + x, sy = y0 + y;
      if (sx >= img.width || sy >= img.height) continue;
      const Bgra got = snap_px(img, sx, sy);
      if (!(got == pic.at(x, y)))
        return ::testing::AssertionFailure()
               << "at " << sx << "," << sy << " " << pngtest::to_string(got) << ", want "
               << pngtest::to_string(pic.at(x, y));
    }
  return ::testing::AssertionSuccess();
}

// A full-screen picture: 1080 x 2288 in blocks of colour, small as a file.
inline Picture full_picture(int seed, int width = 1080, int height = 2288) {
  Picture pic;
  pic.width = width;
  pic.height = height;
  std::vector<uint8_t> rgba(size_t(width) * height * 4);
  pic.expect.resize(size_t(width) * height);
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++) {
      const int bx = x / 40, by = y / 40;
      const uint8_t r = uint8_t(bx * 37 + seed * 50), g = uint8_t(by * 11 + seed),
                    b = uint8_t((bx + by) * 29), a = uint8_t(128 + (bx + by + seed) % 128);
      uint8_t* p = &rgba[(size_t(y) * width + x) * 4];
      p[0] = r, p[1] = g, p[2] = b, p[3] = a;
      pic.expect[size_t(y) * width + x] = {b, g, r, a};
    }
  pic.png = pngtest::encode_rgba(width, height, rgba);
  return pic;
}

inline Picture small_picture(uint8_t tint, int width = 60, int height = 40) {
  Picture pic =
      pngtest::make_picture({"rgba8", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, false}, width, height);
  // Different tints make different pictures of the same size.
  std::vector<uint8_t> rgba;
  for (Bgra& e : pic.expect) {
    e.r = uint8_t(e.r ^ tint);
    e.a = uint8_t(e.a | 0x80);
    rgba.insert(rgba.end(), {e.r, e.g, e.b, e.a});
  }
  pic.png = pngtest::encode_rgba(width, height, rgba);
  return pic;
}

}  // namespace pngsys
