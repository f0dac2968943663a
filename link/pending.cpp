// Start-up entry points of subsystems that are not in the tree yet.
//
// Each is a weak definition: the subsystem's own (strong) definition takes
// its place as soon as it is linked in. Remove an entry once its subsystem
// has landed.
#include <cstdio>

#include "link/subsystems.h"

#define PENDING __attribute__((weak))

PENDING int init_disp() { return 0; }
PENDING void set_framerate(int32_t) {}
PENDING int jpeg_nv12_decode_prepare() { return 0; }
PENDING void set_brightness(int32_t, int) {}
PENDING int playBootAnnimation() { return 0; }
PENDING void* decode_png_thread_func(void*) { return nullptr; }
PENDING void* decode_big_png_thread_func(void*) { return nullptr; }
PENDING int png_display_queue_size() { return -1; }
PENDING void* play_h264_thread2(void*) { return nullptr; }
PENDING int play_local_h264_async(const char*) { return 0; }
PENDING int show_warn_msg_init() { return 0; }
PENDING int offline_init() { return 0; }
PENDING int offline_setSize(int, int) { return 0; }
PENDING void* offline_mode_thread(void*) { return nullptr; }
PENDING int clock_init() { return 0; }
PENDING int clock_setSize(int, int) { return 0; }
PENDING int clock_set(int, int, int, int, uint8_t, uint8_t) { return 1; }
PENDING void* usb_state_thread(void*) { return nullptr; }
PENDING void* handle_data_thread(void*) { return nullptr; }
PENDING void* mcu_uart_thread(void*) { return nullptr; }
