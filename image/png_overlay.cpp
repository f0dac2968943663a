// The PNG pixel writer and the small overlay stream.
//
// Threads: png_decode_rows and the canvas writer are reentrant (all state on
// the caller's stack). The small decoder thread owns its pacing stamp and a
// slot while drawing it; it is the only thread that flips the overlay for
// the PNG streams. The command loop reads the queue handles.
// Errors: broken frames are reported on stderr and skipped; see
// image/png_overlay.h.
#include "image/png_overlay.h"

#include <png.h>
#include <semaphore.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "common/pace.h"
#include "display/draw.h"
#include "display/fb.h"
#include "platform/queue.h"
#include "platform/system.h"

std::atomic<MessageQueue*> usable_png_queue;
std::atomic<MessageQueue*> display_png_queue;
std::mutex png_draw_mutex;
SharedWord<int32_t> hide_png_frames[4];
SharedWord<int32_t> show_png_frames[4];
SharedWord<int32_t> png_display_show_flag{1};

namespace {

PngSlot png_decode_info[kPngSlotCount];
const int32_t png_frameTime = 100000;  // µs between two working steps
PngMsg png_msgs[kPngSlotCount];
uint32_t last_png_frame_time;  // small decoder thread only

// Sets up libpng's conversions so that every kind of picture arrives as
// 8-bit B, G, R, A rows. Returns the number of passes.
int request_bgra(png_structp png, png_infop info) {
  const int type = png_get_color_type(png, info);
  const int depth = png_get_bit_depth(png, info);
  if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  const bool trns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  if (trns) png_set_tRNS_to_alpha(png);
  if (depth == 16) png_set_strip_16(png);
  if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
  if (!(type & PNG_COLOR_MASK_ALPHA) && !trns) png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
  png_set_bgr(png);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  return passes;
}

// Everything after the error exit is set up. Errors inside libpng jump
// back to the caller's setjmp; *row is the row buffer to free then.
int read_picture(png_structp png, png_infop info, bool log_info, PngRowSink sink, void* ctx,
                 png_bytep volatile* row) {
  png_read_info(png, info);
  const uint32_t width = png_get_image_width(png, info);
  const uint32_t height = png_get_image_height(png, info);
  if (log_info) {
    printf("width:%d,height:%d\n", static_cast<int>(width), static_cast<int>(height));
    printf("color type:%d\n", png_get_color_type(png, info));
  }
  const int passes = request_bgra(png, info);
  if (png_get_bit_depth(png, info) != 8 || png_get_channels(png, info) != 4 ||
      png_get_rowbytes(png, info) < size_t(width) * 4) {
    fprintf(stderr, "png: unsupported pixel layout\n");
    return -1;
  }
  *row = static_cast<png_bytep>(png_malloc(png, png_get_rowbytes(png, info)));

  PngRow r{};
  r.bgra = *row;
  r.width = width;
  r.height = height;
  r.total = uint32_t(passes) * height;
  const bool interlaced = passes > 1;
  for (int pass = 0; pass < passes; pass++) {
    r.last_pass = pass == passes - 1;
    r.first_col = interlaced ? PNG_PASS_START_COL(pass) : 0;
    r.col_step = interlaced ? PNG_PASS_COL_OFFSET(pass) : 1;
    for (uint32_t y = 0; y < height; y++) {
      png_bytep rows[1] = {*row};
      png_read_rows(png, rows, nullptr, 1);
      r.row = y;
      // libpng leaves the row buffer alone for rows outside this pass, and
      // fills only this pass's columns of the others; the rest of the
      // buffer holds earlier rows and must not be drawn.
      r.in_pass = !interlaced || (PNG_ROW_IN_INTERLACE_PASS(y, pass) && r.first_col < width);
      r.done++;
      if (sink(r, ctx) != 0) return 0;  // the rest cannot show: no need to decode it
    }
  }
  png_read_end(png, nullptr);
  return 0;
}

struct CanvasTarget {
  Canvas canvas;
  int64_t x, y;
};

int canvas_sink(const PngRow& row, void* ctx) {
  const CanvasTarget* t = static_cast<const CanvasTarget*>(ctx);
  return png_put_row(row, t->canvas, t->x, t->y);
}

}  // namespace

int png_decode_rows(const uint8_t* data, size_t len, bool log_info, PngRowSink sink, void* ctx) {
  // fmemopen refuses an empty buffer on some C libraries; such data is
  // not a PNG anyway.
  FILE* f = len > 0 ? fmemopen(const_cast<uint8_t*>(data), len, "r") : nullptr;
  if (!f) {
    fwrite("fmemopen open fail!!!\n", 1, 22, stderr);
    return -1;
  }
  png_byte sig[8];
  if (fread(sig, 1, 8, f) != 8 || png_sig_cmp(sig, 0, 8) != 0) {
    fwrite("The file is not PNG\n", 1, 20, stderr);
    fclose(f);
    return -1;
  }
  png_structp png = png_create_read_struct("1.6.43", nullptr, nullptr, nullptr);
  if (!png) {
    fclose(f);
    return -1;
  }
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    fclose(f);
    return -1;
  }
  png_bytep volatile row = nullptr;
  // libpng's default error handler has printed the reason before it jumps.
  if (setjmp(*png_set_longjmp_fn(png, longjmp, sizeof(jmp_buf)))) {
    if (row) png_free(png, row);
    png_destroy_read_struct(&png, &info, nullptr);
    fclose(f);
    return -1;
  }
  png_init_io(png, f);
  png_set_sig_bytes(png, 8);
  const int rc = read_picture(png, info, log_info, sink, ctx, &row);
  png_free(png, row);
  png_destroy_read_struct(&png, &info, nullptr);
  fclose(f);
  return rc;
}

int png_put_row(const PngRow& row, const Canvas& canvas, int64_t x, int64_t y) {
  const int64_t dy = y + row.row;
  if (dy >= canvas.height) return row.last_pass ? 1 : 0;
  if (!row.in_pass || dy < 0 || !canvas.base || canvas.width <= 0) return 0;
  // Columns c of the picture with 0 <= x + c < canvas.width.
  int64_t c = row.first_col;
  if (x + c < 0) {
    const int64_t skip = -(x + c);
    c += (skip + row.col_step - 1) / row.col_step * row.col_step;
  }
  const int64_t end = canvas.width - x < int64_t(row.width) ? canvas.width - x : int64_t(row.width);
  if (c >= end) return 0;
  uint8_t* dst = canvas.base + size_t(dy) * canvas.pitch;
  if (row.col_step == 1) {
    memcpy(dst + size_t(x + c) * 4, row.bgra + size_t(c) * 4, size_t(end - c) * 4);
  } else {
    for (; c < end; c += row.col_step) memcpy(dst + size_t(x + c) * 4, row.bgra + size_t(c) * 4, 4);
  }
  return 0;
}

int png_draw_canvas(const uint8_t* data, size_t len, int64_t x, int64_t y, const Canvas& canvas,
                    bool log_info) {
  CanvasTarget t{canvas, x, y};
  return png_decode_rows(data, len, log_info, canvas_sink, &t);
}

namespace {

struct OverlayTarget {
  int index;
  int64_t x, y;
};

// Each row is written under its own plane lock, with the buffer looked up
// afresh, so a rotation may reopen the planes between two rows.
int overlay_sink(const PngRow& row, void* ctx) {
  const OverlayTarget* t = static_cast<const OverlayTarget*>(ctx);
  PlaneReadLock lock;
  return png_put_row(row, overlay_canvas(t->index), t->x, t->y);
}

}  // namespace

void decode_png_pos_layer(const uint8_t* data, uint32_t length, int32_t x, int32_t y, int index) {
  OverlayTarget t{index, x, int64_t(y) + dev_y};
  png_decode_rows(data, length, true, overlay_sink, &t);
}

void png_pool_init(PngSlot* slots, PngMsg* msgs, int count, uint32_t size, MessageQueue** usable,
                   MessageQueue** display) {
  *usable = message_queue_create(0, 0);
  *display = message_queue_create(0, 0);
  for (int i = 0; i < count; i++) {
    PngSlot& s = slots[i];
    s.x = 0;
    s.y = 0;
    s.length = 0;
    s.buffer.reset(new (std::nothrow) uint8_t[size]);
    msgs[i] = PngMsg{0, &s, 0, 0};
    // A slot without memory is never offered to the host.
    if (s.buffer) message_queue_send(*usable, &msgs[i]);
  }
}

void png_thread_init() {
  puts("png thread init");
  MessageQueue* usable;
  MessageQueue* display;
  png_pool_init(png_decode_info, png_msgs, kPngSlotCount, kPngSlotSize, &usable, &display);
  // Published last: the command loop takes the queues as soon as they show.
  display_png_queue = display;
  usable_png_queue = usable;
}

void png_overlay_window(int32_t frame) {
  for (int k = 0; k < 4; ++k) {
    if (hide_png_frames[k] < frame && frame < show_png_frames[k]) {
      png_display_show_flag.store(0);
      return;
    }
  }
  png_display_show_flag.store(1);
}

int png_display_queue_size() {
  MessageQueue* q = display_png_queue;
  return q ? message_queue_size(q) : -1;
}

namespace {

// Draws a small frame into overlay buffer n, or wipes n while the overlay
// window hides it.
void draw_small_or_hide(const PngSlot* slot, int32_t n) {
  if (png_display_show_flag == 1) {
    decode_png_pos_layer(slot->buffer.get(), slot->length, slot->x, slot->y, n);
  } else {
    transparent_fb1_buffer(n);
  }
}

// Flips in the finished full-screen picture of the back buffer, with the
// small frame `m` (when there is one) drawn onto it first.
void show_full_screen(PngSync* sync, PngMsg* m) {
  pthread_mutex_lock(&sync->flip_lock);
  {
    std::lock_guard<std::mutex> draw(png_draw_mutex);
    overlay_flip([m](int32_t n) {
      if (!m) {
        if (png_display_show_flag == 0) transparent_fb1_buffer(n);
        return;
      }
      draw_small_or_hide(m->slot, n);
      message_queue_send(usable_png_queue, m);
    });
  }
  pthread_mutex_unlock(&sync->flip_lock);
  sem_post(&sync->back_free);
}

}  // namespace

void* decode_png_thread_func(void* arg) {
  PngSync* sync = static_cast<PngSync*>(arg);
  for (;;) {
    // A finished full-screen picture waits in the back buffer.
    const bool ready = sem_trywait(&sync->back_ready) == 0;
    PngMsg* m = static_cast<PngMsg*>(message_queue_receive_timeout(display_png_queue, 10));
    if (m && !m->slot) m = nullptr;
    if (!m && !ready) {
      usleep(10000);
      continue;
    }
    if (ready) {
      show_full_screen(sync, m);
    } else {
      // Draw into the shown buffer: the picture changes at once.
      {
        std::lock_guard<std::mutex> draw(png_draw_mutex);
        draw_small_or_hide(m->slot, png_frame_num);
      }
      message_queue_send(usable_png_queue, m);
    }
    pace(&last_png_frame_time, png_frameTime);
  }
  return nullptr;
}
