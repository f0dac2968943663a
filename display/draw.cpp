// Drawing primitives on the overlay plane.
//
// Threading: draw_rect and the wipes take a PlaneReadLock themselves, so a
// rotation never swaps the mapping under a fill; draw_point does not (it is
// called once per glyph pixel) and relies on its caller's lock. Errors:
// draw_rect prints a line and draws nothing on a plane with fewer than 4
// bytes per pixel.
#include "display/draw.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "display/fb.h"
#include "platform/display.h"

namespace {

// Plane memory is shared with other painters and with the display
// controller: every pixel is one whole, relaxed atomic word store.
inline void store_pixel(uintptr_t addr, uint32_t colour) {
  __atomic_store_n(reinterpret_cast<uint32_t*>(addr), colour, __ATOMIC_RELAXED);
}

}  // namespace

void draw_point(uintptr_t base, int32_t x, int32_t y, uint32_t colour) {
  const int64_t pitch = fb_info.line_length;
  store_pixel(base + y * pitch + int64_t(x) * 4, colour);
}

void draw_point_clipped(uintptr_t base, int32_t x, int32_t y, uint32_t colour) {
  if (base == 0 || x < 0 || y < 0 || uint32_t(x) >= fb_info.xres || uint32_t(y) >= fb_info.yres)
    return;
  const uint64_t off = uint64_t(y) * fb_info.line_length + uint64_t(x) * 4;
  if (off + 4 > plane_room(base)) return;
  store_pixel(base + off, colour);
}

void draw_rect(uintptr_t base, int32_t x, int32_t y, int32_t w, int32_t h, uint32_t colour) {
  PlaneReadLock lock;
  const int64_t X = fb_info.xres;
  const int64_t Y = fb_info.yres;
  const int64_t L = fb_info.line_length;
  // Plane 0 was never opened (or is being reopened): there is no geometry
  // to clip against, so there is nothing to draw.
  if (X == 0) return;
  int64_t x0 = x, y0 = y;
  const int64_t xe = w < 0 ? X : std::min<int64_t>(x0 + w, X);
  const int64_t ye = h < 0 ? Y : std::min<int64_t>(y0 + h, Y);
  x0 = std::max<int64_t>(x0, 0);
  y0 = std::max<int64_t>(y0, 0);
  if (L / X < 4) {
    fprintf(stderr, "not support pix fmt: %d %d %d\n", static_cast<int>(fb_info.pix_fmt.load()),
            static_cast<int>(L), static_cast<int>(X));
    return;
  }
  int64_t rows = ye - y0;
  const int64_t cols = xe - x0;
  if (rows <= 0 || cols <= 0 || base == 0) return;
  // The geometry comes from plane 0 whatever buffer is painted; a buffer of
  // a smaller plane must still not be overrun.
  const size_t room = plane_room(base);
  if (room != SIZE_MAX) {
    const int64_t first = y0 * L + x0 * 4;
    if (first + cols * 4 > static_cast<int64_t>(room)) return;
    rows = std::min<int64_t>(rows, (static_cast<int64_t>(room) - first - cols * 4) / L + 1);
  }
  uintptr_t p = base + y0 * L + x0 * 4;
  for (int64_t r = 0; r < rows; r++, p += L)
    for (int64_t c = 0; c < cols; c++) store_pixel(p + c * 4, colour);
}

void transparent_fb1_buffer(int n) {
  PlaneReadLock lock;
  draw_rect(fb1_buffer(n), 0, 0, -1, -1, 0);
}

std::mutex overlay_mutex;

Canvas overlay_canvas(int index) {
  Canvas c{};
  const uintptr_t base = fb1_buffer(index);
  const uint32_t pitch = fb1_info.line_length;
  if (base == 0 || pitch < 4) return c;
  // Stay inside this buffer and inside the mapping, whatever the record says.
  size_t room = plane_room(base);
  if (fb1_info.frame_size < room) room = fb1_info.frame_size;
  uint64_t rows = room / pitch;
  if (fb1_info.yres < rows) rows = fb1_info.yres;
  uint32_t cols = pitch / 4;
  if (fb1_info.xres < cols) cols = fb1_info.xres;
  c.base = reinterpret_cast<uint8_t*>(base);
  c.width = static_cast<int32_t>(cols > INT32_MAX ? INT32_MAX : cols);
  c.height = static_cast<int32_t>(rows > INT32_MAX ? INT32_MAX : rows);
  c.pitch = static_cast<int32_t>(pitch > INT32_MAX ? INT32_MAX : pitch);
  return c;
}

void clear_overlay() {
  for (int i = 0; i < 2; ++i) overlay_flip([](int32_t n) { transparent_fb1_buffer(n); });
}

void clean_fb1() {
  PlaneReadLock lock;
  draw_rect(fb1_buffer(0), 0, 0, -1, -1, 0);
  fb_pan_display(fb1_fd, &fb1_info, 0);
}
