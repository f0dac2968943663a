// Drawing primitives on the overlay plane: pixels, clipped rectangles and
// the three ways of wiping overlay buffers to transparent.
//
// Threading: no lock of their own beyond the plane lock (display/fb.h):
// draw_rect and the wipes take a PlaneReadLock themselves; callers that
// pass an address they read from fb1_buffer() must hold one
// across reading it and drawing. Which thread paints which overlay buffer
// is settled by the overlay writers.
// Errors: draw_rect prints a line and draws nothing on a plane with fewer
// than 4 bytes per pixel; nothing returns a result.
// Colours are 32-bit ARGB words, alpha in the top byte; 0 is transparent.
#pragma once

#include <cstdint>
#include <mutex>

#include "display/fb.h"
#include "platform/display.h"

// A 32-bit ARGB pixel area (bytes B, G, R, A per pixel). Drawing through
// a Canvas is clipped to it.
struct Canvas {
  uint8_t* base = nullptr;
  int32_t width = 0;   // pixels per row that may be written
  int32_t height = 0;  // rows that may be written
  int32_t pitch = 0;   // bytes from one row to the next
};

// Overlay buffer `index` (0 or 1) of plane 1 as a canvas, inside the buffer
// and the mapping; base null when the plane is not open. Call under a
// PlaneReadLock.
Canvas overlay_canvas(int index);

// Writes one pixel at base + y * line_length + x * 4 (line_length of plane
// 0). Unchecked: the caller guarantees 0 <= x < xres, 0 <= y < yres.
void draw_point(uintptr_t base, int32_t x, int32_t y, uint32_t colour);
// draw_point that drops pixels outside plane 0's xres x yres.
void draw_point_clipped(uintptr_t base, int32_t x, int32_t y, uint32_t colour);
// Fills the rectangle clipped to plane 0's geometry; a negative w or h
// reaches the right or bottom edge. Nothing is drawn before plane 0 is open.
void draw_rect(uintptr_t base, int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour);
// Wipes overlay buffer n (0 or 1) to transparent; does not pan.
void transparent_fb1_buffer(int n);

// The overlay flip, the only writer of png_frame_num. Under a PlaneReadLock
// and then the overlay lock: paint(n) draws into n, the buffer behind the
// shown one; png_frame_num moves to n (fetch_xor) and n is shown. Returns n.
// Every painter of a whole overlay frame goes through here, so no flip
// ever interleaves with another painter's frame.
template <typename Paint>
int32_t overlay_flip(Paint&& paint);
// Wipes both overlay buffers, one flip each: the overlay is empty whichever
// buffer held an earlier picture.
void clear_overlay();
// Wipes overlay buffer 0 and shows it; png_frame_num is left alone.
void clean_fb1();

// Guards the step from reading png_frame_num to showing the flipped buffer.
extern std::mutex overlay_mutex;

template <typename Paint>
int32_t overlay_flip(Paint&& paint) {
  PlaneReadLock plane;
  std::lock_guard<std::mutex> lock(overlay_mutex);
  const int32_t next = png_frame_num ^ 1;
  paint(next);
  png_frame_num.fetch_xor(1);
  fb_pan_display(fb1_fd, &fb1_info, next);
  return next;
}
