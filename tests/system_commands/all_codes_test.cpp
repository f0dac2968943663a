// Every command code of the protocol, sent to one fresh daemon: each is
// answered as its table says (header, echoed request tag, reply data, or no
// reply at all), and its effect shows where the host or a person would look
// for it (files, shell log, panel, attributes).
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness/harness.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using harness::Image;
using hostlink::Packet;

constexpr const char* kBacklight = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/dump_dsi_reg";
constexpr const char* kRotator = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle";

bool wait_for(const std::function<bool()>& cond, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool snapshot_until(const DeviceRoot& root, const std::string& layer,
                    const std::function<bool(const Image&)>& ok, int timeout_ms = 4000) {
  Image img;
  return wait_for([&] { return harness::snapshot(root, layer, &img) && ok(img); }, timeout_ms);
}

uint32_t argb(const Image& img, int x, int y) {
  const uint8_t* p = img.at(x, y);
  return uint32_t(p[3]) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
}

// Sends a picture command until the layer shows it: the last frames of a
// video that was just stopped may still reach the panel after the first one.
bool shown_after(const DeviceRoot& root, const std::string& layer,
                 const std::function<bool(const Image&)>& ok, const std::function<void()>& send) {
  for (int i = 0; i < 5; i++) {
    send();
    if (snapshot_until(root, layer, ok, 1500)) return true;
  }
  return false;
}

// Which stored picture the video plane shows, by a point in its upper band.
bool is_logo(const Image& v) {  // deep blue
  const uint8_t* p = v.at(100, 300);
  return p[2] > 60 && p[0] < 50;
}
bool is_warning(const Image& v) {  // amber
  const uint8_t* p = v.at(100, 300);
  return p[0] > 200 && p[1] > 100 && p[2] < 90;
}
bool is_offline_logo(const Image& v) {  // dark grey
  const uint8_t* p = v.at(100, 300);
  return p[0] < 60 && p[1] < 60 && p[2] < 70 && p[0] > 10;
}

std::string text_of(const Packet& r, size_t from, size_t n) {
  return std::string(reinterpret_cast<const char*>(&r[from]), n);
}

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> red_png(int w, int h) {
  std::vector<uint8_t> px(size_t(w) * h * 4);
  for (size_t i = 0; i < px.size(); i += 4) {
    px[i] = 255;
    px[i + 3] = 255;
  }
  png_image img;
  memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  img.width = w;
  img.height = h;
  img.format = PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  png_image_write_to_memory(&img, nullptr, &size, 0, px.data(), 0, nullptr);
  std::vector<uint8_t> out(size);
  if (!png_image_write_to_memory(&img, out.data(), &size, 0, px.data(), 0, nullptr)) return {};
  out.resize(size);
  return out;
}

// The host side: each command gets its own request tag, checked in the reply.
class Host {
 public:
  Host(Daemon& d) : d_(d) {}

  // Sends and waits for 512 bytes; false on time-out.
  bool raw(uint8_t code, const std::vector<uint8_t>& params, Packet* r,
           const std::vector<uint8_t>& payload = {}, int timeout_ms = 10000) {
    tag_ += 0x01010101;
    if (!d_.host().send_packet(hostlink::make_packet(code, params, tag_))) return false;
    if (!payload.empty() && !d_.host().send_bytes(payload.data(), payload.size())) return false;
    return d_.host().recv_bytes(r->data(), r->size(), timeout_ms);
  }

  // A normal reply: code, status 200, the tag, bytes 6 and 7 zero, and
  // zeros from `data_end` on (bytes 8..data_end-1 are the command's data).
  Packet call(uint8_t code, const std::vector<uint8_t>& params = {},
              const std::vector<uint8_t>& payload = {}, size_t data_end = 8) {
    Packet r{};
    bool ok = raw(code, params, &r, payload);
    EXPECT_TRUE(ok) << "no reply to " << int(code) << "\n" << d_.log();
    if (!ok) return r;
    EXPECT_EQ(r[0], code);
    EXPECT_EQ(r[1], 200) << int(code);
    EXPECT_EQ(hostlink::be32(&r[2]), tag_) << int(code);
    EXPECT_EQ(r[6], 0) << int(code);
    EXPECT_EQ(r[7], 0) << int(code);
    for (size_t i = data_end; i < r.size(); i++) {
      if (r[i] != 0) {
        ADD_FAILURE() << "command " << int(code) << ": reply byte " << i << " is " << int(r[i]);
        break;
      }
    }
    return r;
  }

 private:
  Daemon& d_;
  uint32_t tag_ = 0x11000000;
};

std::vector<uint8_t> be32v(uint32_t x) {
  std::vector<uint8_t> v(4);
  hostlink::put_be32(v, 0, x);
  return v;
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(AllCommands, EveryCodeOfTheIndexIsAnsweredAsItsTableSays) {
  DeviceRoot root;
  // Out of factory test mode, host present, no local content configured.
  std::string rec(136, '\0');
  rec[0] = 60;
  rec[7] = 1;
  rec.replace(8, 25, "/media/offline_video.h264");
  root.write("/usr/data/app.cfg", rec);
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("usb cnt 1", 10000)) << d.log();
  Host h(d);
  Packet r;

  // 10: the identity text.
  r = h.call(10, {}, {}, 33);
  EXPECT_EQ(text_of(r, 8, 25), "pavrotek5_0001_2026091101");

  // 11, 12, 43: shell commands, recorded by the simulated shell.
  h.call(11);
  h.call(12);
  h.call(43);
  // 13: rotation 180, stored.
  h.call(13, {2});
  EXPECT_EQ(root.read(kRotator), "180");
  // 14: brightness 50, stored.
  h.call(14, {50});
  EXPECT_EQ(root.read(kBacklight), "500");
  // 17: 4096, little-endian.
  r = h.call(17, {}, {}, 12);
  EXPECT_EQ(hostlink::le32(&r[8]), 4096u);
  // 15: frame rate.
  h.call(15, {30});

  // 38, 39: chunked upload; 39 writes W of its N payload bytes.
  r = h.call(38, hostlink::name_params("/tmp/up.bin"), {}, 9);
  EXPECT_EQ(r[8], 200);
  h.call(39, cat(cat(be32v(11), be32v(5)), {1}), bytes_of("hello world"));
  EXPECT_EQ(root.read("/tmp/up.bin"), "hello");
  // 40: small file in one go.
  h.call(40, hostlink::name_params("/tmp/small.txt", 3), bytes_of("abc"));
  EXPECT_EQ(root.read("/tmp/small.txt"), "abc");
  // 98: its size, little-endian.
  r = h.call(98, hostlink::name_params("/tmp/small.txt"), {}, 12);
  EXPECT_EQ(hostlink::le32(&r[8]), 3u);
  // 42: delete it.
  h.call(42, hostlink::name_params("/tmp/small.txt"));
  EXPECT_FALSE(root.exists("/tmp/small.txt"));

  // 45: the logo on the video plane.
  h.call(45);
  EXPECT_TRUE(d.wait_log("playXyzAnnimation", 1000));
  EXPECT_TRUE(snapshot_until(root, "video", is_logo));
  // 46: warn_enable 0, stored.
  h.call(46, {0});

  // 99: the listing, raw 512 bytes without a header.
  ASSERT_TRUE(h.raw(99, hostlink::name_params("/usr/data/img"), &r));
  std::string listing(reinterpret_cast<const char*>(r.data()),
                      strnlen(reinterpret_cast<const char*>(r.data()), r.size()));
  EXPECT_EQ(listing.rfind("result:dir:file:", 0), 0u) << listing;
  EXPECT_NE(listing.find("slide1.jpg/"), std::string::npos) << listing;

  // 100: storage figures of the card (a folder of this machine here).
  mkdir(root.file("/tmp/sdcard").c_str(), 0755);
  mkdir(root.file("/tmp/sdcard/mmcblk0p1").c_str(), 0755);
  r = h.call(100, {}, {}, 20);
  uint32_t total = hostlink::le32(&r[8]), used = hostlink::le32(&r[12]),
           avail = hostlink::le32(&r[16]);
  EXPECT_GT(total, 0u);
  EXPECT_EQ(used, total - avail);

  // 51: the clock and clock_enable, stored.
  std::vector<uint8_t> when = {0x07, 0xEA, 3, 4, 5, 6, 7, 1};  // 2026-03-04 05:06:07
  h.call(51, when);
  struct timeval now;
  gettimeofday(&now, nullptr);
  long long offset = std::atoll(root.read("/sim/clock").c_str());
  EXPECT_NEAR(double(now.tv_sec + offset), 1772600767.0, 10.0);

  // 52: stops both standby screens; the offline screen was running.
  r = h.call(52, {}, {}, 10);
  EXPECT_EQ(r[8], 0xFF);
  EXPECT_EQ(r[9], 0x00);
  EXPECT_TRUE(wait_for(
      [&] {
        r = h.call(52, {}, {}, 10);
        return r[8] == 0xFF && r[9] == 0xFF;
      },
      5000));

  // 201: group and position, both 0.
  r = h.call(201, {}, {}, 10);
  EXPECT_EQ(r[8], 0);
  EXPECT_EQ(r[9], 0);

  // 111, 112: the boot video stops.
  h.call(111);
  EXPECT_TRUE(wait_for([&] { return h.call(112, {}, {}, 9)[8] == 0; }, 4000));

  // 101: a JPEG frame from the host.
  std::string warn = root.read("/media/warn.jpg");
  ASSERT_FALSE(warn.empty());
  EXPECT_TRUE(shown_after(root, "video", is_warning, [&] {
    h.call(101, be32v(static_cast<uint32_t>(warn.size())), bytes_of(warn));
  }));

  // 102: a small PNG overlay frame; byte 8 is the display queue's fill.
  std::vector<uint8_t> png = red_png(4, 4);
  ASSERT_FALSE(png.empty());
  r = h.call(102, cat(be32v(static_cast<uint32_t>(png.size())), {0, 100, 0, 100, 1}), png, 9);
  EXPECT_LE(r[8], 6);
  EXPECT_TRUE(snapshot_until(root, "overlay", [](const Image& o) {
    for (int y = 0; y < o.height; y++)
      for (int x = 0; x < o.width; x++)
        if (argb(o, x, y) == 0xFFFF0000) return true;
    return false;
  }));
  // 104: overlay windows.
  h.call(104, std::vector<uint8_t>(32, 0));
  // 105: overlay plane off and on.
  h.call(105, {0});
  EXPECT_NE(harness::snapshot_state(root).find("\"fb1_enabled\":false"), std::string::npos);
  h.call(105, {1});
  EXPECT_NE(harness::snapshot_state(root).find("\"fb1_enabled\":true"), std::string::npos);
  // 103: the overlay is cleared.
  h.call(103);
  EXPECT_TRUE(snapshot_until(root, "overlay", [](const Image& o) {
    for (uint8_t b : o.rgba)
      if (b) return false;
    return true;
  }));

  // 110, 112, 111: a local video plays and stops.
  h.call(110, hostlink::name_params("/usr/data/boot.h264"));
  EXPECT_TRUE(wait_for([&] { return h.call(112, {}, {}, 9)[8] == 1; }, 4000));
  h.call(111);
  EXPECT_TRUE(wait_for([&] { return h.call(112, {}, {}, 9)[8] == 0; }, 4000));

  // 113: a stored picture named by the host; 114 stops a slideshow.
  EXPECT_TRUE(shown_after(root, "video", is_offline_logo,
                          [&] { h.call(113, hostlink::name_params("/media/offline_logo.jpg")); }));
  EXPECT_TRUE(d.wait_log("CMD_PLAY_LOCAL_JPG \r", 10));
  h.call(114);

  // 119, 120, 121: H.264 blocks; byte 8 is the part's ring fill after the push.
  std::string stream = root.read("/usr/data/boot.h264").substr(0, 4096);
  std::vector<uint8_t> block = bytes_of(stream);
  auto block_params = [&](uint32_t ts) {
    return cat(cat(be32v(static_cast<uint32_t>(block.size())), {0, 1}), be32v(ts));
  };
  r = h.call(119, block_params(0), block, 9);
  EXPECT_EQ(r[8], 1);
  r = h.call(120, block_params(0), block, 9);
  EXPECT_EQ(r[8], 1);
  // 122: the fill of the three rings and the overlay display queue.
  r = h.call(122, {}, {}, 12);
  EXPECT_EQ(r[9], 1);
  EXPECT_EQ(r[10], 1);
  r = h.call(121, block_params(7), block, 9);
  EXPECT_GE(r[8], 1);
  EXPECT_LE(r[8], 5);
  // 118: the frame counter (big-endian; any value).
  h.call(118, {}, {}, 12);
  // 123: stop video (the decoder releases at its next wake).
  size_t mark = d.log().size();
  h.call(123);
  EXPECT_TRUE(d.wait_log("stop_local_h264 ", 1000, mark));

  // 125: configuration bytes 0..5, stored as sent.
  h.call(125, {70, 0, 0, 2, 0, 1});
  // 150: the marker file.
  h.call(150);
  EXPECT_TRUE(root.exists("/usr/data/usb_display"));
  // 202: calibration: black overlay with the red area at the offsets.
  h.call(202, {16, 84});
  std::string fbcfg = root.read("/usr/data/fb.cfg");
  ASSERT_EQ(fbcfg.size(), 16u);
  EXPECT_EQ(uint8_t(fbcfg[0]), 16);
  EXPECT_EQ(uint8_t(fbcfg[1]), 84);
  EXPECT_TRUE(snapshot_until(root, "overlay", [](const Image& o) {
    return argb(o, 5, 5) == 0xFF000000 && argb(o, 100, 500) == 0xFFFF0000;
  }));
  // 253: the decoder test tool, started through the shell.
  h.call(253);
  // 254 and a code outside the index: nothing but the normal reply.
  h.call(254);
  h.call(77, {1, 2, 3});

  std::string cfgnow = root.read("/usr/data/app.cfg");
  ASSERT_EQ(cfgnow.size(), 136u);
  EXPECT_EQ(std::vector<uint8_t>(cfgnow.begin(), cfgnow.begin() + 8),
            (std::vector<uint8_t>{70, 0, 0, 2, 0, 1, 0, 0}));
  EXPECT_EQ(root.read("/sim/shell.log"),
            "reboot\nhalt\n/etc/ota_bin/local_ota_update.sh /tmp\n"
            "cmd_h264_direct_decode infile=/media/out.h264 width=400 height=400 &\n");

  // 44: no reply; the process ends with 0 and leaves the flag file.
  ASSERT_FALSE(h.raw(44, {}, &r, {}, 1000)) << "exit was answered";
  EXPECT_EQ(d.wait_exit(5000), 0);
  EXPECT_TRUE(root.exists("/tmp/no_show_offline"));
}

}  // namespace
