// Cooler microcontroller link: status frames on "/dev/ttyS5" with the
// coolant temperature, the pump speed and the microcontroller's view of the
// USB bus.
//
// Threading: mcu_uart_thread alone reads the line and owns its receive buffer
// and descriptor. It publishes temperature and pump_speed (standby/offline.h)
// and mcu_usb_suspend as SharedWords; mcu_usb_suspend_count is also cleared
// by the USB supervisor when the host arrives. Its warning runs under
// warn_mutex, like the supervisor's.
// Errors: mcu_uart_init returns -1 after its line on stderr; the thread
// then ends. Failed reads are logged and retried after a short pause.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/word.h"

constexpr size_t kMcuFrameLen = 16;
constexpr int32_t kMcuSuspendThreshold = 11;

// Receive buffer of the link thread (read by the fuzz target); the first 16
// bytes hold the frame being assembled.
extern uint8_t mcu_rec_buf[32];

// Suspend byte of the last valid frame; 0 after a frame with a bad header.
extern SharedWord<int32_t> mcu_usb_suspend;
// Consecutive valid frames reporting a suspended bus.
extern SharedWord<int32_t> mcu_usb_suspend_count;

// The readings of one frame.
struct McuReading {
  int32_t temperature;  // degrees Celsius, 0..255
  int32_t pump_speed;   // rpm, 0..65535
  int32_t usb_suspend;  // 1 = suspended; other values = not suspended
};

// Checks the header of the 16 bytes at `frame` and takes out the readings:
// 0, or -1 (out untouched) when the frame does not start with AA 55.
int mcu_parse_frame(const uint8_t* frame, McuReading* out);

// After a frame with a bad header: the offset of the first byte after the
// start of buf[0..len) that may begin a frame (AA followed by 55, or AA as
// the last byte), or len when none may. The bytes before it are dropped.
size_t mcu_resync_offset(const uint8_t* buf, size_t len);

// What the receive loop does after one frame.
enum class McuAction {
  kBadFrame,  // bad header: drop bytes up to the next possible frame start
  kNext,      // pause one second and read the next frame
  kWarn,      // show the suspend warning, then pause as kNext
};
// Applies one 16-byte frame to the readings and the suspend run; prints the
// reading line and "fail: mcu usb not connect". *warn_shown is the run's
// flag; on kWarn, *warn_count receives the count to show.
McuAction mcu_handle_frame(const uint8_t* frame, int32_t* warn_shown, int32_t* warn_count);

// One step of the receive loop on the 16 bytes in mcu_rec_buf: handles them
// as a frame and sets *have to the bytes kept at the start of mcu_rec_buf
// for the next read (after a bad header: from the next possible frame start).
McuAction mcu_take_frame(size_t* have, int32_t* warn_shown, int32_t* warn_count);

// The suspend warning: warning picture and "led_usb_timeout_<count>_<idle>".
void mcu_show_warning(int32_t count);

int mcu_uart_init();
// Thread entry; returns only when the line cannot be set up.
void* mcu_uart_thread(void*);
