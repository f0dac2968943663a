// Kernel log watcher (see kmsg_watcher.h for ownership and errors).
#include "supervision/kmsg_watcher.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/system.h"
#include "video/h264_decoder.h"

namespace {

constexpr size_t kLineLen = 1024;
constexpr const char* kLogFile = "/usr/data/log";
constexpr const char* kUnderrun = "tft underrun recover done";
constexpr const char* kAllocFailed = "aFailed to alloc";
// Pauses of the reading loop.
struct Pauses {
  useconds_t line;  // after each line
  // After a read that returned nothing (a plain file at its end, a FIFO
  // without a writer): wait for more instead of spinning.
  useconds_t read_fail;
};
constexpr Pauses kPause = {50000, 100000};
// Time stamps beyond this (about 31,000 years) are not taken as time stamps;
// the bound keeps the hour count inside an int.
constexpr double kMaxStamp = 1e12;

}  // namespace

std::string format_kmsg_line(const char* line) {
  char prio[8];
  char msg[512];
  double t = 0;
  int items = sscanf(line, "<%7[^>]>[%lf] %511[^\n]", prio, &t, msg);
  if (items < 3 || !(t >= 0 && t < kMaxStamp)) return line;

  // Whole microseconds first: the kernel prints six decimals, and splitting
  // the double directly truncates e.g. 1.001 s to 1.000 s.
  long long us = llround(t * 1e6);
  int h = static_cast<int>(us / 3600000000LL);
  us %= 3600000000LL;
  int m = static_cast<int>(us / 60000000LL);
  us %= 60000000LL;
  int s = static_cast<int>(us / 1000000LL);
  int ms = static_cast<int>(us % 1000000LL / 1000);

  char text[kLineLen];
  snprintf(text, sizeof text, "[%02d:%02d:%02d.%03d] %s", h, m, s, ms, msg);
  return text;
}

int clear_kernel_messages(FILE* stream) {
  puts("开始清空剩余的内核消息...");
  int fd = fileno(stream);
  int flags = fd >= 0 ? fcntl(fd, F_GETFL) : -1;
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  clearerr(stream);
  char line[kLineLen];
  int n = 0;
  while (fgets(line, sizeof line, stream)) n++;
  if (flags >= 0) fcntl(fd, F_SETFL, flags);
  clearerr(stream);
  printf("共清空 %d 条内核消息\n", n);
  return n;
}

KmsgVerdict handle_kmsg_line(const char* line) {
  if (strstr(line, kUnderrun)) {
    const std::string text = format_kmsg_line(line);
    printf("匹配到: %s\n", text.c_str());
    FILE* f = dev_fopen(kLogFile, "a");
    if (f) {
      fprintf(f, "%s\n", text.c_str());
      fclose(f);
    }
    return KmsgVerdict::kLogged;
  }
  if (strstr(line, kAllocFailed)) return KmsgVerdict::kExit;
  return KmsgVerdict::kIgnore;
}

void* handle_data_thread(void*) {
  struct timeval tv;
  platform_gettimeofday(&tv);
  long long startup =
      (static_cast<int64_t>(tv.tv_sec) * 1000000 + static_cast<int64_t>(tv.tv_usec)) / 1000000;
  // A clock within a minute of its origin: power-on with an unset clock.
  if (startup < 60) run_shell("rm /usr/data/log");
  printf("startup_time %lld\n", startup);

  int fd = dev_open("/proc/kmsg", O_RDONLY);
  if (fd < 0) {
    perror("Failed to open /proc/kmsg");
    return nullptr;
  }
  FILE* stream = fdopen(fd, "r");
  if (!stream) {
    perror("fdopen failed");
    close(fd);
    return nullptr;
  }
  setvbuf(stream, nullptr, _IOLBF, 0);

  char line[kLineLen];
  for (;;) {
    if (!fgets(line, sizeof line, stream)) {
      clearerr(stream);
      usleep(kPause.read_fail);
      continue;
    }
    line[strcspn(line, "\n")] = 0;
    if (handle_kmsg_line(line) == KmsgVerdict::kExit) break;
    usleep(kPause.line);
  }

  printf("success capture aFailed to alloc, exit");
  stop_h264();
  clear_kernel_messages(stream);
  FILE* marker = dev_fopen("/tmp/no_show_logo_and_offline", "w+");
  if (marker) {
    fclose(marker);
    sync();  // the next start must find it, even after a power cut
  }
  puts("need reboot app");
  // _exit, not exit: the other threads keep running until the end, and
  // static destructors must not pull their state away from under them.
  // Only the console is flushed: another thread may hold a stream's lock.
  fflush(stdout);
  fflush(stderr);
  _exit(1);
}
