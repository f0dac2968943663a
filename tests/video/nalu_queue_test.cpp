// The simulated NAL-unit splitter and message queues against their
// contracts: units come out whole and in order however the stream is cut,
// the FIFO stays within its capacity, oversized units are dropped, and the
// queues keep order across threads.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "platform/codec.h"
#include "platform/queue.h"

namespace {

struct Unit {
  std::vector<uint8_t> bytes;  // start code included
  uint32_t type;
};

// Units with random payloads that contain no zero byte pairs, so that no
// start code appears inside them; 3- and 4-byte start codes mixed.
std::vector<Unit> make_units(std::mt19937& rng, int n, size_t max_len) {
  std::vector<Unit> units;
  for (int i = 0; i < n; ++i) {
    Unit u;
    u.type = std::vector<uint32_t>{7, 8, 5, 1, 6}[rng() % 5];
    if (rng() % 2) u.bytes.push_back(0);
    u.bytes.insert(u.bytes.end(), {0, 0, 1, static_cast<uint8_t>(0x60 | u.type)});
    size_t len = 1 + rng() % max_len;
    for (size_t k = 0; k < len; ++k) {
      uint8_t b = static_cast<uint8_t>(rng());
      if (b == 0 && u.bytes.back() == 0) b = 0x5A;
      u.bytes.push_back(b);
    }
    if (u.bytes.back() == 0) u.bytes.back() = 0x80;  // a zero would join the next start code
    units.push_back(u);
  }
  return units;
}

TEST(NaluBuf, UnitsComeOutWholeHoweverTheStreamIsCut) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    auto units = make_units(rng, 40, round % 2 ? 5000 : 40);
    std::vector<uint8_t> stream;
    for (auto& u : units) stream.insert(stream.end(), u.bytes.begin(), u.bytes.end());
    NaluBuf* nb = nalu_buf_init(1 << 20);
    std::vector<uint8_t> dest(1 << 20);
    size_t fed = 0, got = 0;
    while (got < units.size()) {
      NaluUnit info{};
      int32_t len = nalu_buf_read_unit(nb, &info, dest.data(), static_cast<int32_t>(dest.size()));
      if (len <= 0) {
        if (fed == stream.size()) {
          len = nalu_buf_read_tail(nb, &info, dest.data(), static_cast<int32_t>(dest.size()));
          ASSERT_GT(len, 0);
        } else {
          size_t n = std::min<size_t>(1 + rng() % 3000, stream.size() - fed);
          ASSERT_EQ(nalu_buf_write(nb, stream.data() + fed, static_cast<uint32_t>(n)), int32_t(n));
          fed += n;
          continue;
        }
      }
      const Unit& want = units[got++];
      ASSERT_EQ(std::vector<uint8_t>(dest.begin(), dest.begin() + len), want.bytes)
          << "round " << round << " unit " << got - 1;
      EXPECT_EQ(info.type, want.type);
      EXPECT_EQ(info.length, uint32_t(len));
    }
    EXPECT_EQ(nalu_buf_size(nb), 0u);
    nalu_buf_free(nb);
  }
}

TEST(NaluBuf, BoundedOversizedAndJunk) {
  NaluBuf* nb = nalu_buf_init(64);
  std::vector<uint8_t> big(100, 0x33);
  EXPECT_EQ(nalu_buf_write(nb, big.data(), 100), 64);  // full: the rest is not taken
  EXPECT_EQ(nalu_buf_write(nb, big.data(), 1), 0);
  uint8_t d[64];
  NaluUnit u{};
  EXPECT_EQ(nalu_buf_read_unit(nb, &u, d, 64), 0);  // junk without start code
  nalu_buf_clean(nb);
  EXPECT_EQ(nalu_buf_size(nb), 0u);

  // Junk before the first start code is skipped; a unit longer than the
  // room is dropped and the next one returned.
  std::vector<uint8_t> s = {0x77, 0x78, 0, 0, 1, 0x65, 1, 2, 3, 4, 5, 6,
                            7,    8,    0, 0, 1, 0x41, 9, 0, 0, 0, 1, 0x41};
  ASSERT_EQ(nalu_buf_write(nb, s.data(), static_cast<uint32_t>(s.size())), int32_t(s.size()));
  int32_t len = nalu_buf_read_unit(nb, &u, d, 8);
  ASSERT_EQ(len, 5);
  EXPECT_EQ(std::vector<uint8_t>(d, d + len), (std::vector<uint8_t>{0, 0, 1, 0x41, 9}));
  EXPECT_EQ(u.type, 1u);
  EXPECT_EQ(nalu_buf_read_unit(nb, &u, d, 8), 0);  // the last unit is not complete
  len = nalu_buf_read_tail(nb, &u, d, 8);
  EXPECT_EQ(len, 5);
  EXPECT_EQ(u.start_code_len, 4u);
  EXPECT_EQ(nalu_buf_read_tail(nb, &u, d, 8), 0);

  // A tail longer than the room is dropped, not cut.
  ASSERT_EQ(nalu_buf_write(nb, s.data() + 2, 12), 12);
  EXPECT_EQ(nalu_buf_read_tail(nb, &u, d, 4), 0);
  EXPECT_EQ(nalu_buf_size(nb), 0u);
  nalu_buf_free(nb);
}

TEST(MessageQueue, OrderTimeoutAndThreads) {
  MessageQueue* q = message_queue_create(0, 0);
  ASSERT_NE(q, nullptr);
  int a = 1, b = 2;
  message_queue_send(q, &a);
  message_queue_send(q, &b);
  EXPECT_EQ(message_queue_size(q), 2);
  EXPECT_EQ(message_queue_receive(q), &a);
  EXPECT_EQ(message_queue_receive_timeout(q, 10), &b);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(message_queue_receive_timeout(q, 10), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(9));

  static int values[20000];
  std::thread producer([&] {
    for (int i = 0; i < 20000; ++i) {
      values[i] = i;
      message_queue_send(q, &values[i]);
    }
  });
  for (int i = 0; i < 20000; ++i) {
    int* v = static_cast<int*>(message_queue_receive(q));
    ASSERT_EQ(*v, i);
  }
  producer.join();
  EXPECT_EQ(message_queue_size(q), 0);
  message_queue_delete(q);
  EXPECT_EQ(message_queue_size(nullptr), 0);
  EXPECT_EQ(message_queue_send(nullptr, &a), -1);
}

}  // namespace
