// The command link end to end: the real daemon on a pty, driven through the
// real protocol.
#include <gtest/gtest.h>

#include "tests/harness/harness.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using hostlink::Packet;

void expect_header(const Packet& r, uint8_t code) {
  EXPECT_EQ(r[0], code);
  EXPECT_EQ(r[1], 200);
}

// Every plaintext length is answered; packets with a bad trailer, padding
// or magic are dropped without a reply, and the next one is answered.
TEST(Link, PlaintextLengthsAreAnsweredAndBadPacketsDropped) {
  DeviceRoot root;
  Daemon d(root);
  Packet r;
  ASSERT_TRUE(d.command(10, {}, &r, {}, 10000)) << d.log();
  expect_header(r, 10);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&r[8]), 25), "pavrotek5_0001_2026091101");
  EXPECT_EQ(r[33], 0);
  for (size_t len : {496u, 503u}) {
    ASSERT_TRUE(d.host().send_packet(hostlink::make_packet(254, {}, 7, len)));
    ASSERT_TRUE(d.host().recv_bytes(r.data(), 512, 5000));
    expect_header(r, 254);
  }

  auto bad_trailer = hostlink::make_packet(10, {});
  bad_trailer[511] = 0;
  uint8_t plain[504] = {10, 0, 0x1A, 0x6D};
  plain[503] = 9;  // padding 9: decryption fails
  auto bad_pad = hostlink::encrypt_raw(plain);
  plain[503] = 1;
  plain[2] = 0x1B;  // wrong magic
  auto bad_magic = hostlink::encrypt_raw(plain);
  for (auto* p : {&bad_trailer, &bad_pad, &bad_magic}) {
    ASSERT_TRUE(d.host().send_packet(*p));
    EXPECT_FALSE(d.host().recv_bytes(r.data(), 1, 300)) << "a dropped packet was answered";
  }
  EXPECT_EQ(d.count_log("=====================DES CBC DECODE ERROR=================="), 1);
  ASSERT_TRUE(d.command(10, {}, &r));
  expect_header(r, 10);
}

TEST(Link, MissingRootOrHostLineEndsTheProcess) {
  std::string exe = harness::build_dir() + "/paneld";
  std::string out;
  EXPECT_EQ(harness::run("env -u PANELD_ROOT " + exe + " 2>&1", &out), 2);
  EXPECT_NE(out.find("PANELD_ROOT"), std::string::npos);
  EXPECT_EQ(harness::run("PANELD_ROOT=/nonexistent/x " + exe + " 2>&1", &out), 2);

  DeviceRoot root;
  EXPECT_EQ(harness::run("PANELD_ROOT=" + root.path() + " timeout 20 " + exe + " 2>&1", &out), 255)
      << out;
  EXPECT_NE(out.find("open uart failed!"), std::string::npos);
}

// With no traffic the line is closed and reopened every 15 s.
TEST(Link, IdleLineIsReopenedEveryFifteenSeconds) {
  DeviceRoot root;
  Daemon d(root);
  size_t mark = d.log().size();
  ASSERT_TRUE(d.wait_log("time over!\n", 17000, mark)) << d.log();
  ASSERT_TRUE(d.wait_log("uart_read null ", 2000, mark));
  ASSERT_TRUE(d.wait_log("init_tty done!", 2000, mark));
  Packet r;
  ASSERT_TRUE(d.command(10, {}, &r));
  expect_header(r, 10);
}

}  // namespace
