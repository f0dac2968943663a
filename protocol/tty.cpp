#include "protocol/tty.h"

#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/system.h"

SharedWord<int> tty_fd{-1};

namespace {

struct BaudRow {
  int rate;
  speed_t speed;
};

const BaudRow kBaudTable[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

int uart_open(const char* pathname) {
  assert(pathname && "tty: pathname");
  int fd = dev_open(pathname, O_RDWR | O_NOCTTY);
  if (fd < 0) {
    fprintf(stderr, "uart open failed!\n");
    return -1;
  }
  return fd;
}

int uart_config(int fd, int baud, char flow, int bits, char parity, int stop) {
  struct termios opt;
  if (tcgetattr(fd, &opt) != 0) {
    fprintf(stderr, "tcgetattr failed!\n");
    return -1;
  }
  opt.c_cflag |= CLOCAL | CREAD;

  const BaudRow* row = nullptr;
  for (const BaudRow& r : kBaudTable) {
    if (r.rate == baud) {
      row = &r;
      break;
    }
  }
  if (!row) {
    fprintf(stderr, "Unknown baudrate: %d.\n", baud);
    return -1;
  }
  cfsetispeed(&opt, row->speed);
  cfsetospeed(&opt, row->speed);

  switch (flow) {
    case 'N':
    case 'n':
      opt.c_cflag &= ~CRTSCTS;
      break;
    case 'H':
    case 'h':
      opt.c_cflag |= CRTSCTS;
      break;
    default:
      fprintf(stderr, "Unknown c_cflag!\n");
      return -1;
  }

  opt.c_cflag &= ~CSIZE;
  switch (bits) {
    case 5: opt.c_cflag |= CS5; break;
    case 6: opt.c_cflag |= CS6; break;
    case 7: opt.c_cflag |= CS7; break;
    case 8: opt.c_cflag |= CS8; break;
    default:
      fprintf(stderr, "Unknown bits!\n");
      return -1;
  }

  switch (parity) {
    case 'E':
    case 'e':
      opt.c_cflag |= PARENB;
      opt.c_cflag &= ~PARODD;
      opt.c_iflag |= INPCK;
      break;
    case 'O':
    case 'o':
      opt.c_cflag |= PARENB | PARODD;
      opt.c_iflag |= INPCK;
      break;
    case 'N':
    case 'n':
      opt.c_cflag &= ~PARENB;
      opt.c_iflag &= ~INPCK;
      break;
    case 'S':
    case 's':
      opt.c_cflag &= ~PARENB;
      opt.c_cflag &= ~CSTOPB;
      break;
    default:
      fprintf(stderr, "Unknown parity!\n");
      return -1;
  }

  switch (stop) {
    case 1:
      opt.c_cflag &= ~CSTOPB;
      break;
    case 2:
      opt.c_cflag |= CSTOPB;
      break;
    default:
      fprintf(stderr, "Unknown stop!\n");
      return -1;
  }

  opt.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  opt.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE);
  opt.c_oflag &= ~OPOST;
  if (tcsetattr(fd, TCSANOW, &opt) != 0) {
    fprintf(stderr, "tcsetattr fail.\n");
    return -1;
  }

  // Reads return as soon as one byte is there, or after 2.0 s without any.
  opt.c_cc[VMIN] = 0;
  opt.c_cc[VTIME] = 20;
  tcflush(fd, TCIOFLUSH);
  if (tcsetattr(fd, TCSANOW, &opt) != 0) {
    fprintf(stderr, "tcsetattr fail.\n");
    return -1;
  }
  return 0;
}

int safe_read(int fd, uint8_t* buf, size_t len) {
  if (len == 0) return 0;
  size_t got = 0;
  while (got < len) {
    ssize_t n = read(fd, buf + got, len - got);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      fprintf(stderr, "read fail, error:%s.\n", strerror(errno));
      fprintf(stderr, "have read %d bytes data.\n", static_cast<int>(got));
      return -1;
    }
    got += static_cast<size_t>(n);
  }
  return static_cast<int>(len);
}

int safe_write(int fd, const uint8_t* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    fd_set wfds;
    FD_ZERO(&wfds);
    FD_SET(fd, &wfds);
    struct timeval tv = {0, 0};
    if (select(fd + 1, nullptr, &wfds, nullptr, &tv) < 1) {
      fprintf(stderr, "select fail.\n");
      return -1;
    }
    ssize_t n = write(fd, buf + done, len - done);
    if (n < 0) {
      fprintf(stderr, "safe_write fail, errno:%s.\n", strerror(errno));
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  if (tcdrain(fd) != 0) {
    fprintf(stderr, "tcdrain fail. errno:%s.\n", strerror(errno));
    return -1;
  }
  return static_cast<int>(len);
}

int uart_read(int fd, uint8_t* buf, size_t len) {
  fd_set rfds;
  FD_ZERO(&rfds);
  FD_SET(fd, &rfds);
  struct timeval tv = {15, 0};
  int r = select(fd + 1, &rfds, nullptr, nullptr, &tv);
  if (r < 0) {
    fprintf(stderr, "select error!\n");
    return -1;
  }
  if (r == 0) {
    fprintf(stderr, "time over!\n");
    return -1;
  }
  int n = safe_read(fd, buf, len);
  if (n < 0) {
    fprintf(stderr, "safe read failed!\n");
    return -1;
  }
  return n;
}

int uart_close(int fd) {
  assert(fd != 0 && "tty: fd");
  close(fd);
  return 0;
}

int init_tty() {
  int fd = uart_open("/dev/ttyGS0");
  tty_fd = fd;
  if (fd < 0) {
    fprintf(stderr, "open uart failed!\n");
    return -1;
  }
  if (uart_config(fd, 115200, 'N', 8, 'N', 1) != 0) {
    fprintf(stderr, "configure failed!\n");
    return -1;
  }
  puts("init_tty done!");
  return 0;
}
