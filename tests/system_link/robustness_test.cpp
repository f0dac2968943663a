// Malformed and random commands from a host never crash the daemon, and the
// next valid command is answered as usual.
#include <gtest/gtest.h>

#include <random>

#include "tests/harness/harness.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using hostlink::Packet;

// Codes whose parameters name a file; bytes 12..15 of 40 are a length.
bool carries_name(uint8_t c) {
  return c == 38 || c == 40 || c == 42 || c == 98 || c == 99 || c == 110 || c == 113;
}
// Codes followed by a bulk payload whose length is in bytes 8..11.
bool carries_payload(uint8_t c) {
  return c == 39 || c == 101 || c == 102 || (c >= 119 && c <= 121);
}

TEST(Robustness, RandomParametersForEveryCodeAreAnswered) {
  DeviceRoot root;
  root.write("/tmp/no_show_offline", "");  // media commands are not refused
  Daemon d(root);
  std::mt19937 rng(20261206);
  auto byte = [&] { return static_cast<uint8_t>(rng()); };
  const uint8_t codes[] = {10,  13,  14,  15,  17,  38,  39,  40,  42,  45,  46,  51,  52,  98,
                           99,  100, 101, 102, 103, 104, 105, 110, 111, 112, 113, 114, 118, 119,
                           120, 121, 122, 123, 125, 150, 201, 202, 254, 0,   77,  255};
  for (int round = 0; round < 3; round++) {
    for (uint8_t code : codes) {
      std::vector<uint8_t> params(488);
      for (auto& b : params) b = byte();
      std::vector<uint8_t> payload;
      if (carries_name(code)) {
        // Either a name that overruns the command, or one inside a scratch folder.
        std::string name = "/tmp/fz/" + std::to_string(byte());
        bool overrun = byte() & 1;
        hostlink::put_be32(params, 0, overrun ? 0x7FFFFFF0u + byte() : uint32_t(name.size()));
        std::copy(name.begin(), name.end(), params.begin() + 8);
        if (code == 40) {
          uint32_t n = byte();
          hostlink::put_be32(params, 4, n);
          payload.assign(n, 0xA5);
        }
      } else if (carries_payload(code)) {
        uint32_t n = 1 + byte() % 64;
        hostlink::put_be32(params, 0, n);
        payload.resize(n);
        for (auto& b : payload) b = byte();
      } else if (code == 202) {
        params[1] = byte() % 120;  // keep the calibrated area mostly on the panel
      }
      Packet r;
      ASSERT_TRUE(d.command(code, params, &r, payload, 10000))
          << "code " << int(code) << " round " << round << "\n"
          << d.log();
      if (code != 99) {
        EXPECT_EQ(r[0], code);
        EXPECT_EQ(r[1], 200);
      }
    }
  }
  Packet r;
  ASSERT_TRUE(d.command(10, {}, &r));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&r[8]), 25), "pavrotek5_0001_2026091101");
  EXPECT_TRUE(d.running());
  EXPECT_EQ(d.log().find("runtime error"), std::string::npos) << d.log();
}

}  // namespace
