// The serial layer on a real pty.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "protocol/tty.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct PtyPair {
  int master = -1, slave = -1;
  PtyPair() { EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0); }
  ~PtyPair() {
    close(master);
    close(slave);
  }
};

TEST(UartConfig, BaudTableIsExactAndComplete) {
  PtyPair p;
  for (int rate : {50, 9600, 115200, 921600, 4000000}) {
    EXPECT_EQ(uart_config(p.slave, rate, 'N', 8, 'N', 1), 0) << rate;
    struct termios t;
    tcgetattr(p.slave, &t);
    EXPECT_NE(cfgetospeed(&t), B0);
  }
  CaptureStderr();
  EXPECT_EQ(uart_config(p.slave, 4000001, 'N', 8, 'N', 1), -1);
  EXPECT_EQ(GetCapturedStderr(), "Unknown baudrate: 4000001.\n");
}

TEST(UartConfig, LettersAndRawMode) {
  PtyPair p;
  struct termios t;
  // Ptys of recent kernels refuse parity and character sizes other than 8
  // bits; then the failure is reported.
  CaptureStderr();
  if (uart_config(p.slave, 115200, 'n', 7, 'e', 1) == 0) {
    GetCapturedStderr();
    tcgetattr(p.slave, &t);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_TRUE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & PARODD);
    EXPECT_TRUE(t.c_iflag & INPCK);
  } else {
    EXPECT_EQ(GetCapturedStderr(), "tcsetattr fail.\n");
  }

  // Space parity with two stop bits ends with CSTOPB set.
  ASSERT_EQ(uart_config(p.slave, 115200, 'N', 8, 's', 2), 0);
  tcgetattr(p.slave, &t);
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(t.c_iflag & (ISTRIP | ICRNL | IXON));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 20);

  struct {
    char flow;
    int bits;
    char parity;
    int stop;
    const char* msg;
  } bad[] = {{'x', 8, 'N', 1, "Unknown c_cflag!\n"},
             {'N', 9, 'N', 1, "Unknown bits!\n"},
             {'N', 8, 'q', 1, "Unknown parity!\n"},
             {'N', 8, 'N', 3, "Unknown stop!\n"}};
  for (auto& b : bad) {
    CaptureStderr();
    EXPECT_EQ(uart_config(p.slave, 115200, b.flow, b.bits, b.parity, b.stop), -1);
    EXPECT_EQ(GetCapturedStderr(), b.msg);
  }
}

TEST(UartRead, ReadsExactCountAcrossSeveralWrites) {
  PtyPair p;
  ASSERT_EQ(uart_config(p.slave, 115200, 'N', 8, 'N', 1), 0);
  std::thread writer([&] {
    for (int i = 0; i < 4; i++) {
      uint8_t b[100];
      memset(b, i, sizeof b);
      ASSERT_EQ(write(p.master, b, sizeof b), 100);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  uint8_t buf[400];
  EXPECT_EQ(uart_read(p.slave, buf, sizeof buf), 400);
  writer.join();
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[399], 3);
}

TEST(UartRead, GapOfTwoSecondsFailsWithCount) {
  PtyPair p;
  ASSERT_EQ(uart_config(p.slave, 115200, 'N', 8, 'N', 1), 0);
  uint8_t b[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(write(p.master, b, 10), 10);
  uint8_t buf[20];
  CaptureStderr();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(uart_read(p.slave, buf, sizeof buf), -1);
  auto waited = std::chrono::steady_clock::now() - t0;
  std::string err = GetCapturedStderr();
  EXPECT_NE(err.find("read fail, error:"), std::string::npos) << err;
  EXPECT_NE(err.find("have read 10 bytes data.\n"), std::string::npos) << err;
  EXPECT_NE(err.find("safe read failed!\n"), std::string::npos) << err;
  EXPECT_GE(waited, std::chrono::milliseconds(1900));
  EXPECT_EQ(memcmp(buf, b, 10), 0);  // what arrived stays in the buffer
}

TEST(SafeWrite, WritesAllAndDrains) {
  PtyPair p;
  ASSERT_EQ(uart_config(p.slave, 115200, 'N', 8, 'N', 1), 0);
  uint8_t out[512];
  for (int i = 0; i < 512; i++) out[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(safe_write(p.slave, out, sizeof out), 512);
  EXPECT_EQ(safe_write(p.slave, out, 0), 0);
  uint8_t in[512];
  size_t got = 0;
  while (got < sizeof in) {
    ssize_t n = read(p.master, in + got, sizeof in - got);
    ASSERT_GT(n, 0);
    got += static_cast<size_t>(n);
  }
  EXPECT_EQ(memcmp(in, out, sizeof in), 0);
}

}  // namespace
