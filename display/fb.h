// The panel planes: opening, geometry, NV12 pictures on plane 0, rotation
// and backlight.
//
// Threading: init_disp runs on the start-up thread before any worker;
// set_rotation and set_brightness run on the command loop, the brightness
// wrappers on the USB supervisor. The geometry globals are SharedWords read
// by every painting and display thread.
// The plane lock: every thread that draws into a plane buffer or pans a
// plane holds a PlaneReadLock from reading the address (fb1_buffer(),
// fb_fd...) until its last store or pan; set_rotation holds
// it exclusively while the planes are closed and reopened, so nobody ever
// uses a stale mapping. Read locks nest on one thread. Never call
// set_rotation while holding a PlaneReadLock (it would wait for itself).
// Errors: functions return 0 / -1 as documented and report on stderr.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/word.h"
#include "platform/display.h"

extern FbInfo fb_info;              // plane 0, the video plane
extern FbInfo fb1_info;             // plane 1, the overlay plane (two ARGB buffers)
extern SharedWord<int32_t> fb_fd;   // -1 until opened
extern SharedWord<int32_t> fb1_fd;  // -1 until opened

// Usable panel area on plane 0, and the panel kind (1, 2, 3, 4, 6; 0 unknown).
extern SharedWord<int32_t> dev_width, dev_height, dev_x, dev_y, dev_type;
extern SharedWord<int32_t> rotation;  // last code given to set_rotation
extern SharedWord<int32_t> bright;    // remembered backlight level 0..100
// The overlay buffer shown, 0 or 1; written only by overlay_flip
// (display/draw.h) under the overlay lock, read by every overlay painter.
extern SharedWord<int32_t> png_frame_num;

int init_disp();
// 0 when plane 0 is open and enabled, -1 otherwise (geometry kept).
int open_fb();
void set_rotation(uint32_t code);
// keep_stored 0: remember the (clamped) level in `bright`.
void set_brightness(int32_t level, int keep_stored);
void active_brightness();    // restores `bright`
void inactive_brightness();  // backlight off, `bright` kept
// An NV12 picture in reserved memory, placed at column x, row dev_y of
// plane 0; flags is the user configuration's flag word.
struct Nv12Picture {
  int32_t width, height, x;
  uint32_t y_paddr, uv_paddr, stride, flags;
};
// Points plane 0 at the picture; fb_pan_display's result.
int fb_show_nv12(int fd, const FbInfo* info, const Nv12Picture& picture);
// Shows an NV12 picture (luma at y_paddr, pitch output[2], output[3] luma
// lines) on plane 0; returns fb_pan_display's result.
int fb_display_nv12(int fd, int32_t width, int32_t height, const FbInfo* info,
                    const uint32_t* output, uint32_t y_paddr);

// Address of overlay buffer n (0 or 1), 0 when plane 1 is not open.
// Take it under a PlaneReadLock and use it only while holding the lock.
uintptr_t fb1_buffer(int n);
// Bytes from addr to the end of the plane mapping (fb0 or fb1) that holds
// it, or SIZE_MAX when addr lies in no plane. Writers into plane buffers use
// it to stay inside the mapping whatever geometry they were given.
size_t plane_room(uintptr_t addr);

class PlaneReadLock {
 public:
  PlaneReadLock();
  ~PlaneReadLock();
  PlaneReadLock(const PlaneReadLock&) = delete;
  PlaneReadLock& operator=(const PlaneReadLock&) = delete;
};
