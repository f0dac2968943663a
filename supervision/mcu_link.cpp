// Cooler microcontroller link (see mcu_link.h for ownership and errors).
#include "supervision/mcu_link.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/state.h"
#include "display/draw.h"
#include "image/jpeg.h"
#include "protocol/tty.h"
#include "standby/offline.h"
#include "standby/text.h"
#include "storage/config.h"
#include "supervision/usb_supervisor.h"

uint8_t mcu_rec_buf[32];
static SharedWord<int32_t> tty_fd_mcu{0};
SharedWord<int32_t> mcu_usb_suspend{0};
SharedWord<int32_t> mcu_usb_suspend_count{0};

namespace {

constexpr uint8_t kHeader[2] = {0xAA, 0x55};  // a frame's first two bytes
constexpr useconds_t kFramePause = 1000000;
// After a failed read. uart_read already waits up to 15 s for data, but a
// line in an error state fails at once; the pause keeps that from spinning.
// Frames sent meanwhile wait in the driver's queue.
constexpr useconds_t kReadFailPause = 200000;

}  // namespace

int mcu_parse_frame(const uint8_t* frame, McuReading* out) {
  if (frame[0] != kHeader[0] || frame[1] != kHeader[1]) return -1;
  out->temperature = frame[2];
  out->pump_speed = frame[3] * 256 + frame[4];
  out->usb_suspend = frame[5];
  return 0;
}

size_t mcu_resync_offset(const uint8_t* buf, size_t len) {
  for (size_t i = 1; i < len; i++) {
    if (buf[i] != kHeader[0]) continue;
    if (i + 1 == len || buf[i + 1] == kHeader[1]) return i;
  }
  return len;
}

McuAction mcu_handle_frame(const uint8_t* frame, int32_t* warn_shown, int32_t* warn_count) {
  mcu_usb_suspend.store(0);
  McuReading r;
  if (mcu_parse_frame(frame, &r) != 0) {
    mcu_usb_suspend_count.store(0);
    *warn_shown = 0;
    return McuAction::kBadFrame;
  }
  temperature.store(r.temperature);
  pump_speed.store(r.pump_speed);
  mcu_usb_suspend.store(r.usb_suspend);
  printf("receive temp %d pump %d rpm usb suspend=%d cnt %d\n", r.temperature, r.pump_speed,
         r.usb_suspend, static_cast<int>(mcu_usb_suspend_count.load()));
  if (r.usb_suspend != 1) {
    mcu_usb_suspend_count.store(0);
    *warn_shown = 0;
    return McuAction::kNext;
  }
  int32_t count = mcu_usb_suspend_count.fetch_add(1) + 1;
  if (count < kMcuSuspendThreshold) return McuAction::kNext;
  if (usb_connect_state != 1) {
    // Suspended while the controller is not configured: the supervisor's case.
    mcu_usb_suspend_count.store(0);
    return McuAction::kNext;
  }
  puts("fail: mcu usb not connect");
  McuAction action = McuAction::kNext;
  if (*warn_shown == 0 && cfg.warn_enable == 1) {
    *warn_count = count;
    action = McuAction::kWarn;
  }
  *warn_shown = 1;
  mcu_usb_suspend_count.store(0);
  return action;
}

McuAction mcu_take_frame(size_t* have, int32_t* warn_shown, int32_t* warn_count) {
  McuAction a = mcu_handle_frame(mcu_rec_buf, warn_shown, warn_count);
  *have = 0;
  if (a == McuAction::kBadFrame) {
    // Keep the bytes from the next possible frame start, so that one lost
    // or stray byte does not shift every later frame.
    size_t off = mcu_resync_offset(mcu_rec_buf, kMcuFrameLen);
    *have = kMcuFrameLen - off;
    memmove(mcu_rec_buf, mcu_rec_buf + off, *have);
  }
  return a;
}

void mcu_show_warning(int32_t count) {
  show_warning(
      [count](char* out, size_t n) {
        snprintf(out, n, "led_usb_timeout_%d_%d", static_cast<int>(count),
                 static_cast<int>(usb_timeout_cnt.load()));
      },
      "show warn 1");
}

int mcu_uart_init() {
  puts("fan2rd uart init");
  int fd = open_line("/dev/ttyS5", "open tty_fd_mcu failed!");
  tty_fd_mcu.store(fd);
  return fd < 0 ? -1 : 0;
}

void* mcu_uart_thread(void*) {
  puts("mcu uart thread run");
  if (mcu_uart_init() != 0) {
    puts("init mcu uart error");
    return nullptr;
  }
  size_t have = 0;  // bytes of the next frame already in mcu_rec_buf
  int32_t warn_shown = 0;
  for (;;) {
    int n = uart_read(tty_fd_mcu, mcu_rec_buf + have, kMcuFrameLen - have);
    if (n < 1) {
      // A frame cut by a gap is dropped; reading starts afresh.
      puts("mcu uart read null");
      have = 0;
      usleep(kReadFailPause);
      continue;
    }
    int32_t warn_count = 0;
    McuAction a = mcu_take_frame(&have, &warn_shown, &warn_count);
    // Garbage is dropped without the one-second pause, which paces readings only.
    if (a == McuAction::kBadFrame) continue;
    if (a == McuAction::kWarn) mcu_show_warning(warn_count);
    usleep(kFramePause);
  }
  return nullptr;
}
