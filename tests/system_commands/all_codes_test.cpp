// Every command code of the index, sent in turn to one fresh daemon: each is
// answered as its table says (header, echoed request tag, reply data, or no
// reply at all), and its effect shows where the host or a person would look.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/harness/harness.h"

namespace {

using hostlink::Packet;
using Bytes = std::vector<uint8_t>;
using hostlink::name_params;

const std::string kFb = "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/";

Bytes bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

// Big-endian 32-bit length or time stamp, then `tail`.
Bytes be32(uint32_t x, const Bytes& tail = {}) {
  Bytes v(4);
  hostlink::put_be32(v, 0, x);
  v.insert(v.end(), tail.begin(), tail.end());
  return v;
}

struct Step {
  uint8_t code;
  Bytes params = {};
  Bytes data = {};  // reply bytes from 8 on; then zeros, after `loose` bytes of any value
  std::function<bool(const Packet&)> effect = nullptr;
  Bytes payload = {};
  size_t loose = 0;
};

TEST(AllCommands, EveryCodeOfTheIndexIsAnsweredAsItsTableSays) {
  harness::DeviceRoot root;
  // Out of factory test mode, host present, no local content configured.
  harness::write_settings(root);
  harness::Daemon d(root);
  ASSERT_TRUE(d.wait_log("usb cnt 1", 10000)) << d.log();

  uint32_t tag = 0x11000000;  // each command its own, echoed in the reply
  auto raw = [&](uint8_t code, const Bytes& params, const Bytes& payload, Packet* r, int ms) {
    tag += 0x01010101;
    return d.host().send_packet(hostlink::make_packet(code, params, tag)) &&
           (payload.empty() || d.host().send_bytes(payload.data(), payload.size())) &&
           d.host().recv_bytes(r->data(), r->size(), ms);
  };
  auto call = [&](const Step& s) {
    Packet r{};
    EXPECT_TRUE(raw(s.code, s.params, s.payload, &r, 10000)) << "no reply to " << int(s.code);
    Bytes want = {
        s.code, 200, uint8_t(tag >> 24), uint8_t(tag >> 16), uint8_t(tag >> 8), uint8_t(tag), 0, 0};
    want.insert(want.end(), s.data.begin(), s.data.end());
    Bytes got(r.begin(), r.end());
    std::fill_n(got.begin() + want.size(), s.loose, 0);
    want.resize(r.size(), 0);
    EXPECT_EQ(got, want) << "reply to " << int(s.code);
    return r;
  };
  auto playing = [&] { return call({112, {}, {}, nullptr, {}, 1})[8]; };
  auto is = [&](const std::string& path, const std::string& content) {
    return [&root, path, content](const Packet&) { return root.read(path) == content; };
  };
  auto logged = [&](const std::string& text) {
    return [&d, text](const Packet&) { return d.wait_log(text, 2000); };
  };
  auto state_has = [&](const std::string& text) {
    return [&root, text](const Packet&) {
      return harness::snapshot_state(root).find(text) != std::string::npos;
    };
  };
  const Bytes jpg = bytes_of(root.read("/media/warn.jpg"));
  const Bytes png = bytes_of(harness::read_file(PANELD_SOURCE_DIR "/tests/fixtures/png/rgba8.png"));
  const Bytes h264 = bytes_of(root.read("/usr/data/boot.h264").substr(0, 4096));
  const uint32_t n = uint32_t(h264.size());
  mkdir(root.file("/tmp/sdcard").c_str(), 0755);  // the card: a folder of this machine
  mkdir(root.file("/tmp/sdcard/mmcblk0p1").c_str(), 0755);

  auto both_stop = [&](const Packet&) {
    return harness::wait_until([&] { return call({52, {}, {}, nullptr, {}, 2})[9] == 0xFF; }, 4000);
  };
  auto video = [&](bool on) {
    return [&, on](const Packet&) {
      return harness::wait_until([&] { return playing() == on; }, 4000);
    };
  };
  // Local video stopped, and released: its blocks have left ring 0.
  auto stopped_and_released = [&](const Packet& p) {
    auto released = [&] { return call({122, {}, {}, nullptr, {}, 4})[8] == 0; };
    return video(false)(p) && harness::wait_until(released, 4000);
  };
  auto ring = [](const Packet& r) { return r[8] >= 1 && r[8] <= 5; };
  auto queue = [](const Packet& r) { return r[8] <= 6; };

  const Step steps[] = {
      {10, {}, bytes_of("pavrotek5_0001_2026091101")},
      {11},
      {12},
      {43},  // shell commands: see the shell log below
      {13, {2}, {}, is(kFb + "rotator_angle", "180")},
      {14, {50}, {}, is(kFb + "dump_dsi_reg", "500")},
      {17, {}, {0, 16, 0, 0}},  // 4096, little-endian
      {15, {30}},
      {38, name_params("/tmp/up.bin"), {200}},
      {39, be32(11, be32(5, {1})), {}, is("/tmp/up.bin", "hello"), bytes_of("hello world")},
      {40, name_params("/tmp/s.txt", 3), {}, is("/tmp/s.txt", "abc"), bytes_of("abc")},
      {98, name_params("/tmp/s.txt"), {3, 0, 0, 0}},
      {42, name_params("/tmp/s.txt"), {}, is("/tmp/s.txt", "")},
      {45, {}, {}, logged("playXyzAnnimation")},
      {46, {0}},
      {100, {}, {}, nullptr, {}, 12},        // storage figures of the card
      {51, {0x07, 0xEA, 3, 4, 5, 6, 7, 1}},  // 2026-03-04 05:06:07, clock_enable 1
      {52, {}, {0xFF, 0x00}, both_stop},     // the offline screen was running, the clock not
      {201, {}, {0, 0}},                     // group and position
      {111, {}, {}, video(false)},           // the boot video
      {101, be32(uint32_t(jpg.size())), {}, nullptr, jpg},  // no "error fail jpg" below
      // A PNG overlay frame; byte 8 is the display queue's fill.
      {102, be32(uint32_t(png.size()), {0, 100, 0, 100, 1}), {}, queue, png, 1},
      {104, Bytes(32, 0)},
      {105, {0}, {}, state_has("\"fb1_enabled\":false")},
      {105, {1}, {}, state_has("\"fb1_enabled\":true")},
      {103},
      {110, name_params("/usr/data/boot.h264"), {}, video(true)},
      {111, {}, {}, stopped_and_released},
      {113, name_params("/media/offline_logo.jpg"), {}, logged("CMD_PLAY_LOCAL_JPG \r")},
      {114},
      // H.264 blocks: byte 8 is the fill of the block's ring after the push; 122 gives
      // the fill of the three rings and the overlay queue.
      {119, be32(n, {0, 1, 0, 0, 0, 0}), {1}, nullptr, h264},
      {120, be32(n, {0, 1, 0, 0, 0, 0}), {1}, nullptr, h264},
      {122, {}, {0, 1, 1, 0}},
      {121, be32(n, {0, 1, 0, 0, 0, 7}), {}, ring, h264, 1},
      {118, {}, {}, nullptr, {}, 4},  // the frame counter, any value
      {123, {}, {}, logged("stop_local_h264 ")},
      {125, {70, 0, 0, 2, 0, 1}},
      {150, {}, {}, [&](const Packet&) { return root.exists("/usr/data/usb_display"); }},
      {202, {16, 84}, {}, is("/usr/data/fb.cfg", std::string("\x10\x54", 2) + std::string(14, 0))},
      {253},
      {254},
      {77, {1, 2, 3}},  // a code outside the index: the normal reply only
  };
  for (const Step& s : steps) {
    Packet r = call(s);
    EXPECT_TRUE(!s.effect || s.effect(r)) << "command " << int(s.code) << "\n" << d.log();
  }
  // 99: the listing's first slice, 512 bytes without a header.
  Packet r;
  ASSERT_TRUE(raw(99, name_params("/usr/data/img"), {}, &r, 5000));
  std::string listing(reinterpret_cast<const char*>(r.data()));
  EXPECT_EQ(listing.rfind("result:dir:file:", 0), 0u) << listing;
  EXPECT_NE(listing.find("slide1.jpg/"), std::string::npos) << listing;

  const std::string cfg = root.read("/usr/data/app.cfg");
  EXPECT_EQ(cfg.size(), 136u);
  EXPECT_EQ(cfg.substr(0, 8), std::string("\x46\0\0\x02\0\x01\0\0", 8));  // 125, 51 and 46
  EXPECT_EQ(d.count_log("error fail jpg"), 0);
  EXPECT_EQ(root.read("/sim/shell.log"),
            "reboot\nhalt\n/etc/ota_bin/local_ota_update.sh /tmp\n"
            "cmd_h264_direct_decode infile=/media/out.h264 width=400 height=400 &\n");
  // 44: no reply; the process ends with 0 and leaves the flag file.
  ASSERT_FALSE(raw(44, {}, {}, &r, 1000)) << "exit was answered";
  EXPECT_EQ(d.wait_exit(5000), 0);
  EXPECT_TRUE(root.exists("/tmp/no_show_offline"));
}

}  // namespace
