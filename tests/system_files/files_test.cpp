// The configuration files and the file commands end to end: the real daemon
// on a pty, the real protocol, files checked under the device root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/harness/harness.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using hostlink::Packet;
using Bytes = std::vector<uint8_t>;
using hostlink::name_params;

constexpr uint32_t kMaxPacket = 2097152;

// A name whose length reaches past the 503 bytes of the decrypted command.
Bytes overlong(const std::string& path, uint32_t extra = 0) {
  Bytes p = name_params(path, extra);
  hostlink::put_be32(p, 0, 488);
  return p;
}

Bytes chunk(uint32_t n, uint32_t w, bool last) {
  Bytes p(9, last ? 1 : 0);
  hostlink::put_be32(p, 0, n);
  hostlink::put_be32(p, 4, w);
  return p;
}

Bytes bytes(size_t n, uint8_t seed) {
  Bytes v(n);
  for (size_t i = 0; i < n; i++) v[i] = uint8_t(seed + i * 7);
  return v;
}

std::string str(const Bytes& v, size_t n) { return std::string(v.begin(), v.begin() + n); }

// The first start writes the defaults, in factory test mode until the first
// valid packet, and dates the version file.
TEST(ConfigFiles, FirstBootWritesTheDefaultsShortFilesAreTakenAsTheyAre) {
  DeviceRoot root;  // no app.cfg, no fb.cfg
  root.write("/usr/data/version", "1999999999-old-text");
  {
    Daemon d(root);
    EXPECT_EQ(root.read("/usr/data/app.cfg"),
              std::string("\x3C\0\0\0\0\0\x01\x01/media/offline_video.h264", 33) +
                  std::string(103, '\0'));
    EXPECT_EQ(root.read("/usr/data/fb.cfg"), std::string("\x10\x54", 2) + std::string(14, '\0'));
    EXPECT_TRUE(root.exists("/usr/data/boot.sign"));
    EXPECT_EQ(root.read("/usr/data/version"), "2026091101-old-text");
    const std::string log = d.log();
    EXPECT_NE(log.find("ReadConfig open app.cfg err,rebuild"), std::string::npos);
    EXPECT_LT(log.find("main start!"), log.find("time stamp "));
    Packet r;
    ASSERT_TRUE(d.command(254, {}, &r));
    EXPECT_TRUE(d.wait_log("save test mode config"));
    EXPECT_EQ(root.read("/usr/data/app.cfg")[6], 0);
  }
  // Only the bytes a short file holds are read; the rest keeps its start value.
  root.write("/usr/data/app.cfg", "\x0A");
  root.write("/usr/data/fb.cfg", "\x07");
  root.write("/tmp/no_show_offline", "");  // no boot video: it would set the video path
  Daemon d(root);
  EXPECT_TRUE(d.wait_log("read fb config x off 7 y off 84\n")) << d.log();
  EXPECT_TRUE(d.wait_log("ReadConfig bright:10 mode:0  local_rotation:0 \ncfg test_mode = 0\n"));
  EXPECT_EQ(root.read("/usr/data/app.cfg"), "\x0A");  // not rebuilt
  Packet r;  // warn_enable 1: a save writes the whole record
  ASSERT_TRUE(d.command(46, {1}, &r));
  EXPECT_EQ(root.read("/usr/data/app.cfg"),
            std::string("\x0A\0\0\0\0\0\0\x01", 8) + std::string(128, '\0'));
}

class SystemFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    d_ = std::make_unique<Daemon>(root_);
    Packet r;  // the first reply allows for the daemon's start-up
    ASSERT_TRUE(d_->command(98, name_params("/none"), &r, {}, 15000)) << d_->log();
  }
  // Sends a command; the reply must carry its code and status 200.
  Packet cmd(uint8_t code, const Bytes& params, const Bytes& payload = {}, int ms = 5000) {
    Packet r{};
    EXPECT_TRUE(d_->command(code, params, &r, payload, ms)) << "no reply to " << int(code);
    EXPECT_EQ(r[0], code);
    EXPECT_EQ(r[1], 200);
    return r;
  }
  // A whole listing round of twenty 99 commands, slices joined; the text
  // must end in zeros. Slices after the first ignore their name.
  std::string listing(const Bytes& params) {
    std::string all;
    for (int i = 0; i < 20; i++) {
      Packet r{};
      EXPECT_TRUE(d_->command(99, i ? name_params("/media/other") : params, &r));
      all.append(reinterpret_cast<const char*>(r.data()), r.size());
    }
    EXPECT_FALSE(root_.exists("/media/other"));
    std::string text = all.substr(0, all.find('\0'));
    EXPECT_EQ(all.find_first_not_of('\0', text.size()), std::string::npos) << text;
    return text;
  }
  // After bad input the daemon is still in step: a size query is answered.
  void expect_in_step() {
    root_.write("/tmp/probe", "12345");
    EXPECT_EQ(hostlink::le32(&cmd(98, name_params("/tmp/probe"))[8]), 5u);
  }
  DeviceRoot root_;
  std::unique_ptr<Daemon> d_;
};

TEST_F(SystemFiles, ChunkedUploadWritesWhatWasSentAndClosesOnTheLastChunk) {
  EXPECT_EQ(cmd(38, name_params("/media/up.bin"))[8], 200);
  auto a = bytes(kMaxPacket, 1), b = bytes(500, 2);  // a full-size chunk, then the last
  cmd(39, chunk(kMaxPacket, kMaxPacket, false), a, 20000);
  EXPECT_EQ(root_.read("/media/up.bin").size(), a.size());  // durable before the reply
  cmd(39, chunk(500, 300, true), b);                        // W below N: the rest is dropped
  EXPECT_EQ(root_.read("/media/up.bin"), str(a, a.size()) + str(b, 300));
  EXPECT_TRUE(d_->wait_log("close file"));
  EXPECT_EQ(root_.read("/proc/sys/vm/drop_caches"), "1\n");
}

TEST_F(SystemFiles, BadUploadsWriteOnlyWhatTheyMay) {
  cmd(39, chunk(64, 64, true), bytes(64, 4));  // no create yet
  Packet r = cmd(38, name_params(""));         // a create that fails
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&r[6]), 8), std::string("_failed\0", 8));
  cmd(39, chunk(64, 64, true), bytes(64, 5));
  EXPECT_TRUE(d_->wait_log("save file buffer: no file open"));
  EXPECT_EQ(d_->count_log("save file buffer: no file open"), 2);

  // A second create while one is open: the first keeps its data.
  ASSERT_EQ(cmd(38, name_params("/tmp/first"))[8], 200);
  cmd(39, chunk(5, 5, false), {'h', 'e', 'l', 'l', 'o'});
  ASSERT_EQ(cmd(38, name_params("/tmp/second"))[8], 200);
  // N above max_packet_len: consumed and not written; the upload stays open.
  auto big = bytes(kMaxPacket + 1, 7);
  cmd(39, chunk(kMaxPacket + 1, 5, true), big, 20000);
  EXPECT_EQ(root_.read("/tmp/second"), "");
  cmd(39, chunk(3, 100000, true), {'a', 'b', 'c'});  // W above N: only what arrived
  cmd(39, chunk(3, 3, true), {'x', 'y', 'z'});       // closed by the last chunk
  EXPECT_EQ(root_.read("/tmp/first"), "hello");
  EXPECT_EQ(root_.read("/tmp/second"), "abc");
  cmd(40, name_params("/tmp/big", kMaxPacket + 1), big, 20000);
  EXPECT_FALSE(root_.exists("/tmp/big"));
  expect_in_step();
}

TEST_F(SystemFiles, NamesBeyondTheCommandAreRefused) {
  root_.write("/tmp/keep/f", "data");
  Packet r = cmd(38, overlong("/tmp/x"));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&r[6]), 8), std::string("_failed\0", 8));
  cmd(40, overlong("/tmp/y", 100), bytes(100, 8));
  EXPECT_FALSE(root_.exists("/tmp/y"));
  cmd(42, overlong("/tmp/keep"));
  EXPECT_EQ(root_.read("/tmp/keep/f"), "data");
  EXPECT_EQ(hostlink::le32(&cmd(98, overlong("/tmp/keep/f"))[8]), 0u);
  EXPECT_EQ(listing(overlong("/tmp/keep")), "");  // an all-zero round
  EXPECT_EQ(listing(name_params("/tmp/keep")), "result:dir:file:f/");
  expect_in_step();
}

TEST_F(SystemFiles, PayloadThatStopsArrivingIsNotCarriedOut) {
  ASSERT_TRUE(
      d_->host().send_packet(hostlink::make_packet(40, name_params("/tmp/cut", 100), 0x55)));
  auto half = bytes(50, 9);
  ASSERT_TRUE(d_->host().send_bytes(half.data(), half.size()));
  Packet r;  // the device gives up after a 2 s gap and still answers
  ASSERT_TRUE(d_->host().recv_bytes(r.data(), r.size(), 8000)) << d_->log();
  EXPECT_EQ(r[0], 40);
  EXPECT_FALSE(root_.exists("/tmp/cut"));
  expect_in_step();

  // An upload chunk that breaks off past a few hundred KiB leaves none of
  // its bytes, and sent again it lands right.
  cmd(38, name_params("/media/cut.bin"));
  const auto first = bytes(300000, 3), second = bytes(700000, 5);
  cmd(39, chunk(300000, 300000, false), first);
  ASSERT_TRUE(
      d_->host().send_packet(hostlink::make_packet(39, chunk(700000, 700000, false), 0x56)));
  ASSERT_TRUE(d_->host().send_bytes(second.data(), 600000));
  ASSERT_TRUE(d_->host().recv_bytes(r.data(), r.size(), 8000)) << d_->log();
  EXPECT_EQ(r[0], 39);
  EXPECT_EQ(root_.read("/media/cut.bin"), str(first, 300000));
  cmd(39, chunk(700000, 700000, true), second);
  EXPECT_EQ(root_.read("/media/cut.bin"), str(first, 300000) + str(second, 700000));
  expect_in_step();
}

TEST_F(SystemFiles, SmallFileSizeAndDelete) {
  root_.write("/usr/data/s.txt", std::string(3000, 'o'));  // truncated by the new content
  auto p = bytes(1000, 10);
  cmd(40, name_params("/usr/data/s.txt", 1000), p);
  EXPECT_EQ(root_.read("/usr/data/s.txt"), str(p, 1000));
  cmd(40, name_params("/no/such/dir/f", 3), {1, 2, 3});  // reported and answered
  EXPECT_TRUE(d_->wait_log("errno:2  No such file or directory\n"));
  EXPECT_EQ(hostlink::le32(&cmd(98, name_params("/usr/data/s.txt"))[8]), 1000u);
  EXPECT_EQ(hostlink::le32(&cmd(98, name_params("/usr/data/gone"))[8]), 0u);
  // Files past 2 GiB (sparse here) are sized on a 32-bit board too; past
  // 4 GiB the 32-bit reply holds the largest size.
  for (auto [size, reply] : {std::pair{3221225472ll, 3221225472u}, {5368709120ll, 0xFFFFFFFFu}}) {
    root_.write("/usr/data/big", "");
    ASSERT_EQ(truncate(root_.file("/usr/data/big").c_str(), size), 0);
    EXPECT_EQ(hostlink::le32(&cmd(98, name_params("/usr/data/big"))[8]), reply) << size;
  }

  // Files at three levels go; directories and a link stay; a path past 255
  // characters is skipped, not cut.
  const std::string deep = "/media/del/" + std::string(200, 'L') + "/";
  for (auto f : {"/media/del/a", "/media/del/l1/b", "/media/del/l1/l2/c", "/media/outside"})
    root_.write(f, "1");
  root_.write(deep + std::string(43, 'k'), "255 characters");
  root_.write(deep + std::string(44, 'k'), "256 characters");
  ASSERT_EQ(symlink(root_.file("/media/outside").c_str(), root_.file("/media/del/l1/ln").c_str()),
            0);
  cmd(42, name_params("/media/del"));
  for (auto gone : {"/media/del/a", "/media/del/l1/b", "/media/del/l1/l2/c"})
    EXPECT_FALSE(root_.exists(gone)) << gone;
  EXPECT_FALSE(root_.exists(deep + std::string(43, 'k')));
  EXPECT_TRUE(root_.exists(deep + std::string(44, 'k')));
  EXPECT_TRUE(root_.exists("/media/del/l1/l2"));
  EXPECT_TRUE(root_.exists("/media/del/l1/ln"));
  EXPECT_EQ(root_.read("/media/outside"), "1");
  cmd(42, name_params("/usr/data/s.txt"));
  EXPECT_FALSE(root_.exists("/usr/data/s.txt"));
  cmd(42, name_params(""));  // names nothing, never the root
  EXPECT_TRUE(root_.exists("/usr/data/app.cfg"));
}

TEST_F(SystemFiles, ListingNamesSlicesAndLimits) {
  for (auto f : {"/media/lst/img/inner.jpg", "/media/lst/a.jpg", "/media/lst/b.h264"})
    root_.write(f, "");
  std::string t = listing(name_params("/media/lst"));
  EXPECT_TRUE(t == "result:dir:img/file:a.jpg/b.h264/" || t == "result:dir:img/file:b.h264/a.jpg/")
      << t;
  // 73 characters a name with its "/": seven make 511 and fit, the eighth
  // is left out, in either list; the text fills three slices.
  for (int i = 0; i < 8; i++) {
    root_.write("/big/" + std::string(71, 'd') + char('0' + i) + "/x", "");
    root_.write("/big/" + std::string(71, 'f') + char('0' + i), "");
  }
  t = listing(name_params("/big"));
  ASSERT_EQ(t.size(), 1038u) << t;
  EXPECT_EQ(t.find("file:"), 11u + 511u);
  EXPECT_EQ(listing(name_params("/usr/data/newdir")), "result:nodir-createdone");
  EXPECT_EQ(listing(name_params("/usr/data/newdir")), "result:dir:file:");
  EXPECT_EQ(listing(name_params("/no/parent/x")), "result:nodir-createfailed");
  EXPECT_FALSE(root_.exists("/no"));
  expect_in_step();
}

TEST_F(SystemFiles, StorageFiguresFollowTheCard) {
  Packet r = cmd(100, {});  // no card: "statvfs failed", zeros
  EXPECT_EQ(Bytes(r.begin() + 8, r.end()), Bytes(504, 0));
  harness::run("mkdir -p '" + root_.file("/tmp/sdcard/mmcblk0p1") + "'");
  r = cmd(100, {});
  uint32_t total = hostlink::le32(&r[8]);
  EXPECT_GT(total, 0u);
  EXPECT_EQ(hostlink::le32(&r[12]) + hostlink::le32(&r[16]), total);
  EXPECT_EQ(Bytes(r.begin() + 20, r.end()), Bytes(492, 0));
  // The card gone: the last figures are sent again.
  harness::run("rmdir '" + root_.file("/tmp/sdcard/mmcblk0p1") + "'");
  EXPECT_EQ(hostlink::le32(&cmd(100, {})[8]), total);
  EXPECT_EQ(d_->count_log("statvfs failed"), 3);  // at start-up and for two queries
}

}  // namespace
