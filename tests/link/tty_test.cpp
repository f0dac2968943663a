// The serial layer on a real pty.
#include "protocol/tty.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

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

// Sets the line's speed directly; true when it reads back as set. The
// terminal layer under the test may not keep every speed: qemu-user 7.2
// translates the speed bits of termios only up to B460800 and reads every
// higher speed back as B0.
bool set_speed(int fd, speed_t speed) {
  struct termios t;
  if (tcgetattr(fd, &t) != 0) return false;
  cfsetospeed(&t, speed);
  if (tcsetattr(fd, TCSANOW, &t) != 0 || tcgetattr(fd, &t) != 0) return false;
  return cfgetospeed(&t) == speed;
}

// What a configuration leaves on a real pty: the speed (where the terminal
// layer keeps it), stop bits and raw mode the port then has, or the refusal
// line. (Ptys accept only 8-bit characters without parity, so those are
// left out.)
TEST(UartConfig, SettingsAsThePortShowsThem) {
  struct {
    int rate;
    char flow;
    int bits;
    char parity;
    int stop;
    const char* refusal;  // null: accepted
    speed_t speed;
    bool two_stop;
  } rows[] = {
      {115200, 'N', 8, 'N', 1, nullptr, B115200, false},
      {50, 'n', 8, 'n', 2, nullptr, B50, true},
      {9600, 'N', 8, 's', 2, nullptr, B9600, true},
      {921600, 'N', 8, 'N', 1, nullptr, B921600, false},
      {4000000, 'N', 8, 'N', 1, nullptr, B4000000, false},
      {4000001, 'N', 8, 'N', 1, "Unknown baudrate: 4000001.\n", B0, false},
      {115200, 'x', 8, 'N', 1, "Unknown c_cflag!\n", B0, false},
      {115200, 'N', 9, 'N', 1, "Unknown bits!\n", B0, false},
      {115200, 'N', 8, 'q', 1, "Unknown parity!\n", B0, false},
      {115200, 'N', 8, 'N', 3, "Unknown stop!\n", B0, false},
  };
  for (const auto& r : rows) {
    PtyPair p;
    const bool readable = r.refusal || set_speed(p.slave, r.speed) || r.rate <= 115200;
    ASSERT_TRUE(set_speed(p.slave, B300));  // so that only uart_config can set r.speed
    CaptureStderr();
    const int rc = uart_config(p.slave, r.rate, r.flow, r.bits, r.parity, r.stop);
    const std::string err = GetCapturedStderr();
    if (r.refusal) {
      EXPECT_EQ(rc, -1) << r.rate;
      EXPECT_EQ(err, r.refusal);
      continue;
    }
    ASSERT_EQ(rc, 0) << r.rate << " " << err;
    struct termios t;
    ASSERT_EQ(tcgetattr(p.slave, &t), 0);
    if (readable) {
      EXPECT_EQ(cfgetospeed(&t), r.speed) << r.rate;
      EXPECT_EQ(cfgetispeed(&t), r.speed) << r.rate;
    }
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, r.two_stop) << r.rate;
    EXPECT_FALSE(t.c_cflag & (PARENB | CRTSCTS));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_iflag & (ISTRIP | ICRNL | IXON));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 20);
  }
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

}  // namespace
