// USB link supervisor (see usb_supervisor.h for ownership and errors).
#include "supervision/usb_supervisor.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "common/state.h"
#include "common/thread.h"
#include "display/draw.h"
#include "display/fb.h"
#include "image/jpeg.h"
#include "image/slideshow.h"
#include "platform/system.h"
#include "standby/clock.h"
#include "standby/text.h"
#include "storage/config.h"
#include "supervision/mcu_link.h"
#include "video/h264_decoder.h"
#include "video/local_player.h"

SharedWord<int32_t> usb_connect_state{-1};
static SharedWord<int32_t> usb_timeout_long_cnt{0};  // seconds in state 0 since it was last 1

namespace {

constexpr const char* kUdcDir = "/sys/class/udc/13500000.otg";
constexpr const char* kWarnPicture = "/media/warn.jpg";
constexpr const char* kBootVideo = "/usr/data/boot.h264";
// Stopping the offline screen: a first pause, then polls until it is gone.
struct StopWait {
  useconds_t settle, poll;
};
constexpr StopWait kOfflineStop = {300000, 200000};
// One pass a second: the loop's counters count seconds.
constexpr useconds_t kLoopPeriod = 1000000;
constexpr uint32_t kLossSeconds = 10;
constexpr int32_t kBacklightOffSecond = 60;
// The kernel reports a freshly opened attribute at once; the time limit only
// keeps an attribute that never reports (a plain file) from holding the loop.
constexpr int kAttrWaitMs = 100;

int arrivals = 0;  // supervisor thread only

void show_host_loss_warning() {
  show_warning(
      [](char* out, size_t n) {
        snprintf(out, n, "lcd_usb_timeout_%d state %d",
                 static_cast<int>(mcu_usb_suspend_count.load()),
                 static_cast<int>(usb_connect_state.load()));
      },
      "show warn 2");
}

}  // namespace

void show_warning(const std::function<void(char*, size_t)>& format, const char* done) {
  // One warning sequence at a time: both warnings paint the same overlay
  // buffers and the same warn_buffer.
  std::lock_guard<std::recursive_mutex> lock(warn_mutex);
  stop_offline_and_wait();
  clear_overlay();
  show_jpg_local(kWarnPicture);
  format(warn_buffer, sizeof warn_buffer);
  show_warn_msg(warn_buffer);
  puts(done);
}

int32_t get_usb_state() {
  char path[128] = {0};
  snprintf(path, sizeof path, "%s/state", kUdcDir);
  int fd = dev_open(path, O_RDONLY);
  if (fd < 0) {
    printf("open %s fail\n", path);
    return -1;
  }
  // poll rather than select on the exception set: a plain file never reports
  // an exceptional condition and select without a time limit would hang.
  struct pollfd p = {fd, POLLPRI | POLLERR | POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, kAttrWaitMs);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    fprintf(stderr, "select error\n");
    close(fd);
    return -1;
  }
  int32_t result = 0;
  if (r > 0) {
    char text[129] = {0};  // room for a terminator after 128 bytes
    ssize_t n = read(fd, text, 128);
    lseek(fd, 0, SEEK_SET);
    if (n > 0) {
      char* nl = strchr(text, '\n');
      if (nl) *nl = 0;
      result = strcmp(text, "configured") == 0 ? 1 : 0;
    }
  }
  close(fd);
  return result;
}

UsbStep usb_state_step(int32_t st, int32_t last_state) {
  usb_connect_state.store(st);
  if (st == 1) {
    usb_timeout_cnt.store(0);
    usb_timeout_long_cnt.store(0);
  } else if (st == 0) {
    usb_timeout_long_cnt.fetch_add(1);
  }
  if (test_h264 != 0 || test_mode != 0) return UsbStep::kPaused;
  if (st == last_state) return UsbStep::kSteady;
  if (st == 1) return UsbStep::kArrival;
  if (usb_timeout_cnt.fetch_add(1) + 1 < kLossSeconds) return UsbStep::kCounting;
  return UsbStep::kLoss;
}

void usb_settle(int32_t* last_state) {
  *last_state = usb_connect_state;
  usb_timeout_cnt.store(0);
}

bool usb_backlight_off_due() {
  return usb_timeout_long_cnt == kBacklightOffSecond && CLOCK_STATE != 1;
}

UsbLossChoice usb_loss_choice() {
  if (mcu_usb_suspend == 0 && cfg.warn_enable == 1) return UsbLossChoice::kWarn;
  if (cfg.clock_enable == 0) return UsbLossChoice::kDark;
  // A clock that is already running or stopping is left alone.
  if (cfg.clock_enable == 1 && CLOCK_STATE == -1) return UsbLossChoice::kClock;
  return UsbLossChoice::kNothing;
}

void stop_offline_and_wait() {
  if (OFFLINE_MODE_STATE > 0) {
    request_stop(OFFLINE_MODE_STATE);
    stop_local_h264();
    stop_h264();
  }
  usleep(kOfflineStop.settle);
  while (OFFLINE_MODE_STATE != -1) usleep(kOfflineStop.poll);
}

void usb_arrival_action() {
  printf("usb cnt %d\n", ++arrivals);
  mcu_usb_suspend_count.store(0);
  usb_timeout_cnt.store(0);
  if (cfg.mode == 1) {
    play_local_jpg_async();
  } else if (cfg.mode == 2) {
    play_local_h264_async(cfg_video_path().c_str());
  }
  active_brightness();
  if (OFFLINE_MODE_STATE > 0 && local_h264_playing == 0) {
    play_local_h264_async(kBootVideo);
    puts("offline mode 2");
  }
}

void usb_loss_action() {
  switch (usb_loss_choice()) {
    case UsbLossChoice::kWarn:
      show_host_loss_warning();
      break;
    case UsbLossChoice::kDark:
      inactive_brightness();
      stop_local_h264();
      ImgPlaying.store(0);
      break;
    case UsbLossChoice::kClock:
      stop_offline_and_wait();
      stop_h264();
      start_thread(clock_thread, nullptr);
      active_brightness();
      break;
    case UsbLossChoice::kNothing:
      break;
  }
}

void* usb_state_thread(void*) {
  int32_t last_state = -1;
  for (;;) {
    usleep(kLoopPeriod);
    UsbStep step = usb_state_step(get_usb_state(), last_state);
    if (step == UsbStep::kPaused || step == UsbStep::kCounting) continue;
    if (step == UsbStep::kArrival || step == UsbStep::kLoss) {
      if (step == UsbStep::kArrival) {
        usb_arrival_action();
      } else {
        usb_loss_action();
      }
      usb_settle(&last_state);
    }
    if (usb_backlight_off_due()) inactive_brightness();
  }
  return nullptr;
}
