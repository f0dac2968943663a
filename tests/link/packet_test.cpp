// Decryption and validation of command packets.
#include "protocol/packet.h"

#include <gtest/gtest.h>

#include <cstring>

#include "protocol/command.h"
#include "tools/hostlink/hostlink.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::array<uint8_t, 504> plain_with_pad(uint8_t pad) {
  std::array<uint8_t, 504> p{};
  p[0] = 10;
  p[2] = 0x1A;
  p[3] = 0x6D;
  for (int i = 0; i < 504; i++)
    if (i >= 8) p[i] = static_cast<uint8_t>(i);
  p[503] = pad;
  return p;
}

TEST(Decrypt, PaddingDecidesTheLengthAndNineOrMoreIsAnError) {
  for (uint8_t pad : {0, 1, 8, 9, 0x80, 0xFF}) {
    auto plain = plain_with_pad(pad);
    auto pkt = hostlink::encrypt_raw(plain.data());
    std::vector<uint8_t> cmd;
    CaptureStdout();
    const bool ok = validate_packet(pkt.data(), &cmd);
    const std::string out = GetCapturedStdout();
    ASSERT_EQ(ok, pad <= 8) << int(pad);
    if (!ok) {
      EXPECT_EQ(out, "=====================DES CBC DECODE ERROR==================\n");
      continue;
    }
    ASSERT_EQ(cmd.size(), 504u - pad);
    EXPECT_EQ(memcmp(cmd.data(), plain.data(), cmd.size()), 0);
  }
}

// Bytes 504..509 are not interpreted; the trailer is.
TEST(Validate, TrailerBytes) {
  auto pkt = hostlink::make_packet(10, {});
  std::vector<uint8_t> cmd;
  memset(pkt.data() + 504, 0x5A, 6);
  EXPECT_TRUE(validate_packet(pkt.data(), &cmd));
  pkt[510] = 0xA2;
  EXPECT_FALSE(validate_packet(pkt.data(), &cmd));
}

TEST(CommandReader, FieldsOutsideTheCommandReadAsZero) {
  uint8_t d[20] = {38, 0, 0x1A, 0x6D, 1, 2, 3, 4, 0, 0, 0, 4, 0, 0, 0, 0, 'a', 'b', 'c', 'd'};
  Command c(d, sizeof d);
  EXPECT_EQ(c.be32(8), 4u);
  EXPECT_EQ(c.be32(18), 0u);  // straddles the end
  EXPECT_EQ(c.u8(20), 0);
  std::string name;
  ASSERT_TRUE(c.name(&name));
  EXPECT_EQ(name, "abcd");
  d[11] = 5;  // one byte too long
  EXPECT_FALSE(Command(d, sizeof d).name(&name));
  d[8] = 0xFF;  // huge length must not wrap around
  EXPECT_FALSE(Command(d, sizeof d).name(&name));
}

}  // namespace
