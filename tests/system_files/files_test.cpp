// The file commands end to end: the real daemon on a pty, the real protocol,
// files checked under the device root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/harness/harness.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using hostlink::Packet;

constexpr uint32_t kMaxPacket = 2097152;
constexpr int kStart = 15000;                // first reply: allows for the daemon's start-up
const std::vector<uint8_t> kNoParams(8, 0);  // parameter bytes all zero

std::vector<uint8_t> chunk_params(uint32_t n, uint32_t w, bool last) {
  std::vector<uint8_t> p(9, 0);
  hostlink::put_be32(p, 0, n);
  hostlink::put_be32(p, 4, w);
  p[8] = last ? 1 : 0;
  return p;
}

// A name field whose length reaches beyond the decrypted command.
std::vector<uint8_t> overlong_name(const std::string& name, uint32_t extra = 0) {
  std::vector<uint8_t> p = hostlink::name_params(name, extra);
  hostlink::put_be32(p, 0, 488);  // 16 + 488 > 503, the command's length
  return p;
}

std::vector<uint8_t> bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = uint8_t(seed + i * 7);
  return v;
}

std::string str(const std::vector<uint8_t>& v, size_t n) {
  return std::string(reinterpret_cast<const char*>(v.data()), n);
}

void expect_reply(const Packet& r, uint8_t code) {
  EXPECT_EQ(r[0], code);
  EXPECT_EQ(r[1], 200);
}

// The daemon is still in step: a size query is answered as usual.
void expect_in_step(Daemon& d, DeviceRoot& root) {
  root.write("/tmp/probe", "12345");
  Packet r;
  ASSERT_TRUE(d.command(98, hostlink::name_params("/tmp/probe"), &r)) << d.log();
  expect_reply(r, 98);
  EXPECT_EQ(hostlink::le32(&r[8]), 5u);
}

class SystemFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    d_ = std::make_unique<Daemon>(root_);
    // Input that arrives before the line is set up is flushed with it.
    ASSERT_TRUE(d_->wait_log("init_tty done!", kStart)) << d_->log();
    Packet r;
    ASSERT_TRUE(d_->command(98, hostlink::name_params("/none"), &r, {}, kStart)) << d_->log();
  }
  DeviceRoot root_;
  std::unique_ptr<Daemon> d_;
};

TEST_F(SystemFiles, ChunkedUploadWritesWhatWasSentAndClosesOnTheLastChunk) {
  Daemon& d = *d_;
  Packet r;
  ASSERT_TRUE(d.command(38, hostlink::name_params("/media/up.bin"), &r));
  expect_reply(r, 38);
  EXPECT_EQ(r[8], 200);
  EXPECT_TRUE(d.wait_log("create file success /media/up.bin"));

  auto a = bytes(kMaxPacket, 1);  // a full-size chunk
  auto b = bytes(500, 2);
  ASSERT_TRUE(d.command(39, chunk_params(a.size(), a.size(), false), &r, a, 20000));
  expect_reply(r, 39);
  EXPECT_EQ(root_.read("/media/up.bin").size(), a.size());  // durable before the reply
  // W below N: only the first W bytes are written, the rest is dropped.
  ASSERT_TRUE(d.command(39, chunk_params(500, 300, true), &r, b));
  expect_reply(r, 39);
  EXPECT_EQ(root_.read("/media/up.bin"), str(a, a.size()) + str(b, 300));
  EXPECT_TRUE(d.wait_log("close file"));
  EXPECT_EQ(root_.read("/proc/sys/vm/drop_caches"), "1\n");

  // After the last chunk no file is open: a further chunk writes nothing.
  ASSERT_TRUE(d.command(39, chunk_params(100, 100, false), &r, bytes(100, 3)));
  expect_reply(r, 39);
  EXPECT_EQ(root_.read("/media/up.bin").size(), a.size() + 300);
  expect_in_step(d, root_);
}

TEST_F(SystemFiles, ChunkWithoutAnOpenFileWritesNothing) {
  Daemon& d = *d_;
  Packet r;
  // No create yet.
  ASSERT_TRUE(d.command(39, chunk_params(64, 64, true), &r, bytes(64, 4)));
  expect_reply(r, 39);
  // A failed create: the empty name.
  ASSERT_TRUE(d.command(38, hostlink::name_params(""), &r));
  EXPECT_EQ(r[0], 38);
  EXPECT_EQ(r[1], 200);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&r[6]), 8), std::string("_failed\0", 8));
  EXPECT_TRUE(d.wait_log("create_failed \r"));
  ASSERT_TRUE(d.command(39, chunk_params(64, 64, true), &r, bytes(64, 5)));
  expect_reply(r, 39);
  EXPECT_GE(d.count_log("save file buffer: no file open"), 2);
  expect_in_step(d, root_);
}

TEST_F(SystemFiles, ByteCountAboveThePayloadWritesOnlyWhatArrived) {
  Daemon& d = *d_;
  Packet r;
  ASSERT_TRUE(d.command(38, hostlink::name_params("/tmp/w.bin"), &r));
  ASSERT_EQ(r[8], 200);
  auto p = bytes(10, 6);
  ASSERT_TRUE(d.command(39, chunk_params(10, 100000, true), &r, p));
  expect_reply(r, 39);
  EXPECT_EQ(root_.read("/tmp/w.bin"), str(p, 10));
}

TEST_F(SystemFiles, SecondCreateKeepsTheFirstFilesData) {
  Daemon& d = *d_;
  Packet r;
  ASSERT_TRUE(d.command(38, hostlink::name_params("/tmp/first"), &r));
  ASSERT_EQ(r[8], 200);
  ASSERT_TRUE(d.command(39, chunk_params(5, 5, false), &r, {'h', 'e', 'l', 'l', 'o'}));
  ASSERT_TRUE(d.command(38, hostlink::name_params("/tmp/second"), &r));
  ASSERT_EQ(r[8], 200);
  EXPECT_TRUE(d.wait_log("close unfinished upload"));
  ASSERT_TRUE(d.command(39, chunk_params(3, 3, true), &r, {'a', 'b', 'c'}));
  EXPECT_EQ(root_.read("/tmp/first"), "hello");
  EXPECT_EQ(root_.read("/tmp/second"), "abc");
}

TEST_F(SystemFiles, OversizedPayloadsAreConsumedAndNotCarriedOut) {
  Daemon& d = *d_;
  Packet r;
  auto big = bytes(kMaxPacket + 1, 7);
  ASSERT_TRUE(d.command(38, hostlink::name_params("/tmp/open.bin"), &r));
  ASSERT_EQ(r[8], 200);
  ASSERT_TRUE(d.command(39, chunk_params(kMaxPacket + 1, 5, true), &r, big, 20000));
  expect_reply(r, 39);
  EXPECT_EQ(root_.read("/tmp/open.bin"), "");
  // The upload is still open: the next chunk lands and closes it.
  ASSERT_TRUE(d.command(39, chunk_params(2, 2, true), &r, {'o', 'k'}));
  EXPECT_EQ(root_.read("/tmp/open.bin"), "ok");

  ASSERT_TRUE(d.command(40, hostlink::name_params("/tmp/big", kMaxPacket + 1), &r, big, 20000));
  expect_reply(r, 40);
  EXPECT_FALSE(root_.exists("/tmp/big"));
  expect_in_step(d, root_);
}

TEST_F(SystemFiles, NamesBeyondTheCommandAreRefused) {
  Daemon& d = *d_;
  Packet r;
  root_.write("/tmp/keep/f", "data");

  ASSERT_TRUE(d.command(38, overlong_name("/tmp/x"), &r));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&r[6]), 8), std::string("_failed\0", 8));
  ASSERT_TRUE(d.command(39, chunk_params(4, 4, true), &r, {1, 2, 3, 4}));  // nothing open

  ASSERT_TRUE(d.command(40, overlong_name("/tmp/y", 100), &r, bytes(100, 8)));
  expect_reply(r, 40);
  EXPECT_FALSE(root_.exists("/tmp/y"));

  ASSERT_TRUE(d.command(42, overlong_name("/tmp/keep"), &r));
  expect_reply(r, 42);
  EXPECT_EQ(root_.read("/tmp/keep/f"), "data");

  ASSERT_TRUE(d.command(98, overlong_name("/tmp/keep/f"), &r));
  expect_reply(r, 98);
  EXPECT_EQ(hostlink::le32(&r[8]), 0u);

  // Listing: an all-zero round of twenty slices, then the pager lists again.
  for (int i = 0; i < 20; i++) {
    ASSERT_TRUE(d.command(99, overlong_name("/tmp/keep"), &r));
    for (int k = 0; k < 512; k++) ASSERT_EQ(r[k], 0) << "slice " << i << " byte " << k;
  }
  ASSERT_TRUE(d.command(99, hostlink::name_params("/tmp/keep"), &r));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r.data())), "result:dir:file:f/");
  for (int i = 1; i < 20; i++) ASSERT_TRUE(d.command(99, kNoParams, &r));
  expect_in_step(d, root_);
}

TEST_F(SystemFiles, PayloadThatStopsArrivingIsNotCarriedOut) {
  Daemon& d = *d_;
  Packet r;
  ASSERT_TRUE(d.host().send_packet(
      hostlink::make_packet(40, hostlink::name_params("/tmp/cut", 100), 0x55)));
  auto half = bytes(50, 9);
  ASSERT_TRUE(d.host().send_bytes(half.data(), half.size()));
  // The device gives up after a 2 s gap and still answers.
  ASSERT_TRUE(d.host().recv_bytes(r.data(), 512, 8000)) << d.log();
  expect_reply(r, 40);
  EXPECT_FALSE(root_.exists("/tmp/cut"));
  expect_in_step(d, root_);
}

TEST_F(SystemFiles, SmallFileDeleteAndSize) {
  Daemon& d = *d_;
  Packet r;
  root_.write("/usr/data/s.txt", std::string(300, 'o'));
  auto p = bytes(1000, 10);
  ASSERT_TRUE(d.command(40, hostlink::name_params("/usr/data/s.txt", 1000), &r, p));
  expect_reply(r, 40);
  EXPECT_EQ(root_.read("/usr/data/s.txt"), str(p, 1000));
  EXPECT_TRUE(d.wait_log("name_len: 15 file_len: 1000\n"));
  EXPECT_TRUE(d.wait_log("save_small_file name: /usr/data/s.txt \n"));
  // An unopenable name is reported and answered.
  ASSERT_TRUE(d.command(40, hostlink::name_params("/no/such/dir/f", 3), &r, {1, 2, 3}));
  expect_reply(r, 40);
  EXPECT_TRUE(d.wait_log("errno:2  No such file or directory\n"));

  ASSERT_TRUE(d.command(98, hostlink::name_params("/usr/data/s.txt"), &r));
  expect_reply(r, 98);
  EXPECT_EQ(hostlink::le32(&r[8]), 1000u);
  EXPECT_TRUE(d.wait_log("get file size: /usr/data/s.txt 1000\n"));
  ASSERT_TRUE(d.command(98, hostlink::name_params("/usr/data/gone"), &r));
  EXPECT_EQ(hostlink::le32(&r[8]), 0u);
  EXPECT_TRUE(d.wait_log("get file size failed"));

  // Delete: three levels of files go, directories and the link stay.
  root_.write("/media/del/a.jpg", "1");
  root_.write("/media/del/l1/b.jpg", "2");
  root_.write("/media/del/l1/l2/c.jpg", "3");
  root_.write("/media/outside.jpg", "keep");
  ASSERT_EQ(symlink(root_.file("/media/outside.jpg").c_str(),
                    root_.file("/media/del/l1/link.jpg").c_str()),
            0);
  ASSERT_TRUE(d.command(42, hostlink::name_params("/media/del"), &r));
  expect_reply(r, 42);
  EXPECT_TRUE(d.wait_log("del_file name: /media/del \n"));
  EXPECT_FALSE(root_.exists("/media/del/a.jpg"));
  EXPECT_FALSE(root_.exists("/media/del/l1/b.jpg"));
  EXPECT_FALSE(root_.exists("/media/del/l1/l2/c.jpg"));
  EXPECT_TRUE(root_.exists("/media/del/l1/l2"));
  EXPECT_TRUE(root_.exists("/media/del/l1/link.jpg"));
  EXPECT_EQ(root_.read("/media/outside.jpg"), "keep");
  // A single file, and the empty name, which names nothing.
  ASSERT_TRUE(d.command(42, hostlink::name_params("/usr/data/s.txt"), &r));
  EXPECT_FALSE(root_.exists("/usr/data/s.txt"));
  ASSERT_TRUE(d.command(42, hostlink::name_params(""), &r));
  EXPECT_TRUE(root_.exists("/usr/data/app.cfg"));
}

std::string text(const Packet& r) {
  return std::string(reinterpret_cast<const char*>(r.data()),
                     strnlen(reinterpret_cast<const char*>(r.data()), 512));
}

TEST_F(SystemFiles, ListingPagerAndDirectoryCreation) {
  Daemon& d = *d_;
  Packet r;
  root_.write("/media/lst/img/inner.jpg", "");
  root_.write("/media/lst/a.jpg", "");
  root_.write("/media/lst/b.h264", "");
  // Finish the rest of a listing round: 20 slices from one listing to the next.
  auto rest_of_round = [&] {
    for (int i = 1; i < 20; i++) ASSERT_TRUE(d.command(99, kNoParams, &r));
  };

  ASSERT_TRUE(d.command(99, hostlink::name_params("/media/lst"), &r));
  std::string t = text(r);
  EXPECT_TRUE(t == "result:dir:img/file:a.jpg/b.h264/" || t == "result:dir:img/file:b.h264/a.jpg/")
      << t;
  EXPECT_TRUE(d.wait_log("querry name: /media/lst \n"));
  EXPECT_TRUE(d.wait_log("dir_result: " + t + " \n"));
  // The next command answers the second slice of that listing, not a new one.
  ASSERT_TRUE(d.command(99, hostlink::name_params("/media/other"), &r));
  for (int k = 0; k < 512; k++) ASSERT_EQ(r[k], 0) << k;
  for (int i = 2; i < 20; i++)
    ASSERT_TRUE(d.command(99, hostlink::name_params("/media/other"), &r));
  EXPECT_FALSE(root_.exists("/media/other"));

  ASSERT_TRUE(d.command(99, hostlink::name_params("/usr/data/newdir"), &r));
  EXPECT_EQ(text(r), "result:nodir-createdone");
  EXPECT_TRUE(root_.exists("/usr/data/newdir"));
  rest_of_round();
  ASSERT_TRUE(d.command(99, hostlink::name_params("/usr/data/newdir"), &r));
  EXPECT_EQ(text(r), "result:dir:file:");
  rest_of_round();
  ASSERT_TRUE(d.command(99, hostlink::name_params("/no/parent/x"), &r));
  EXPECT_EQ(text(r), "result:nodir-createfailed");
  EXPECT_TRUE(d.wait_log("Open dir error..."));
  rest_of_round();
  expect_in_step(d, root_);
}

TEST_F(SystemFiles, StorageFiguresFollowTheCard) {
  Daemon& d = *d_;
  Packet r;
  ASSERT_FALSE(root_.exists("/tmp/sdcard/mmcblk0p1"));
  ASSERT_TRUE(d.command(100, kNoParams, &r));
  expect_reply(r, 100);
  for (int k = 8; k < 32; k++) EXPECT_EQ(r[k], 0) << k;
  EXPECT_TRUE(d.wait_log("QuerryStorage ret  0 0 0 \n"));

  harness::run("mkdir -p '" + root_.file("/tmp/sdcard/mmcblk0p1") + "'");
  ASSERT_TRUE(d.command(100, kNoParams, &r));
  uint32_t total = hostlink::le32(&r[8]);
  EXPECT_GT(total, 0u);
  EXPECT_EQ(hostlink::le32(&r[12]) + hostlink::le32(&r[16]), total);
  for (int k = 20; k < 32; k++) EXPECT_EQ(r[k], 0) << k;
  EXPECT_TRUE(d.wait_log("QuerryStorage ret  " + std::to_string(total & 0xFF) + " " +
                         std::to_string((total >> 8) & 0xFF) + " " +
                         std::to_string((total >> 16) & 0xFF) + " \n"));

  // The card gone: the last figures are sent again.
  harness::run("rmdir '" + root_.file("/tmp/sdcard/mmcblk0p1") + "'");
  int failed = d.count_log("statvfs failed");
  Packet again;
  ASSERT_TRUE(d.command(100, kNoParams, &again));
  EXPECT_EQ(hostlink::le32(&again[8]), total);
  EXPECT_GT(d.count_log("statvfs failed"), failed);
}

}  // namespace
