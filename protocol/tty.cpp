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

namespace {

// One accepted value of a line setting and the flags it sets and clears.
struct FlagRow {
  int key;  // upper case for letters: keys match either case
  tcflag_t c_set, c_clear, i_set, i_clear;
};
struct Setting {
  const FlagRow* rows;
  size_t count;
  const char* unknown;  // the line printed for a value not in the table
};

constexpr FlagRow kFlowRows[] = {{'N', 0, CRTSCTS, 0, 0}, {'H', CRTSCTS, 0, 0, 0}};
constexpr FlagRow kBitsRows[] = {
    {5, CS5, CSIZE, 0, 0}, {6, CS6, CSIZE, 0, 0}, {7, CS7, CSIZE, 0, 0}, {8, CS8, CSIZE, 0, 0}};
constexpr FlagRow kParityRows[] = {
    {'E', PARENB, PARODD, INPCK, 0},
    {'O', PARENB | PARODD, 0, INPCK, 0},
    {'N', 0, PARENB, 0, INPCK},
    {'S', 0, PARENB | CSTOPB, 0, 0},
};
constexpr FlagRow kStopRows[] = {{1, 0, CSTOPB, 0, 0}, {2, CSTOPB, 0, 0, 0}};

template <size_t N>
constexpr Setting setting(const FlagRow (&rows)[N], const char* unknown) {
  return Setting{rows, N, unknown};
}

// Applies the row of `value` to opt; false (after the setting's line) when
// the value has no row.
bool apply_setting(const Setting& s, int value, struct termios* opt) {
  const int key = value >= 'a' && value <= 'z' ? value - 'a' + 'A' : value;
  for (size_t i = 0; i < s.count; ++i) {
    const FlagRow& r = s.rows[i];
    if (r.key != key) continue;
    opt->c_cflag = (opt->c_cflag & ~r.c_clear) | r.c_set;
    opt->c_iflag = (opt->c_iflag & ~r.i_clear) | r.i_set;
    return true;
  }
  fprintf(stderr, "%s\n", s.unknown);
  return false;
}

bool set_attributes(int fd, const struct termios& opt) {
  if (tcsetattr(fd, TCSANOW, &opt) == 0) return true;
  fprintf(stderr, "tcsetattr fail.\n");
  return false;
}

}  // namespace

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

  if (!apply_setting(setting(kFlowRows, "Unknown c_cflag!"), flow, &opt) ||
      !apply_setting(setting(kBitsRows, "Unknown bits!"), bits, &opt) ||
      !apply_setting(setting(kParityRows, "Unknown parity!"), parity, &opt) ||
      !apply_setting(setting(kStopRows, "Unknown stop!"), stop, &opt))
    return -1;

  opt.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  opt.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE);
  opt.c_oflag &= ~OPOST;
  if (!set_attributes(fd, opt)) return -1;

  // Reads return as soon as one byte is there, or after 2.0 s without any.
  opt.c_cc[VMIN] = 0;
  opt.c_cc[VTIME] = 20;
  tcflush(fd, TCIOFLUSH);
  return set_attributes(fd, opt) ? 0 : -1;
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

int open_line(const char* path, const char* open_failed) {
  int fd = uart_open(path);
  if (fd < 0) {
    fprintf(stderr, "%s\n", open_failed);
    return -1;
  }
  if (uart_config(fd, 115200, 'N', 8, 'N', 1) != 0) {
    fprintf(stderr, "configure failed!\n");
    close(fd);
    return -1;
  }
  return fd;
}

int init_tty() {
  int fd = open_line("/dev/ttyGS0", "open uart failed!");
  tty_fd.store(fd);
  if (fd < 0) return -1;
  puts("init_tty done!");
  return 0;
}
