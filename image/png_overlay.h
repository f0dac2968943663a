// PNG overlay streams: small pictures drawn at a position on the shown
// overlay buffer, and full-screen pictures decoded into the back buffer and
// flipped in.
//
// Threads: the command loop fills frame slots (command 102) and runs the
// overlay commands 103-105; the small decoder thread (decode_png_thread_func)
// draws small frames and performs every overlay flip of both streams; the
// full-screen decoder thread (decode_big_png_thread_func) writes only the
// back overlay buffer, between taking `back_free` and posting `back_ready`.
// Slots change hands only through the message queues, so one thread at a
// time touches a slot. Overlay pixels are written under png_draw_mutex and
// a PlaneReadLock.
//
// Errors: bad frames are reported on stderr and skipped, their slot goes
// back to its free queue; functions return 0 on success, -1 on failure.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/word.h"
#include "display/draw.h"

struct MessageQueue;

// Hand-over between the two PNG decoder threads, made by start-up and passed
// to both as their thread argument.
struct PngSync {
  sem_t back_free;            // initial count 1: the back buffer may be filled
  sem_t back_ready;           // initial count 0: a full-screen picture is complete
  pthread_mutex_t flip_lock;  // held across a flip and a full-screen decode
};

// Thread entries of the two streams; argument: PngSync*.
void* decode_png_thread_func(void* arg);
void* decode_big_png_thread_func(void* arg);
// Messages waiting in the small stream's display queue; -1 before the
// queue exists.
int png_display_queue_size();

// Overlay windows over the video frames, written by command 104 on the
// command loop: frames f with hide_png_frames[k] < f < show_png_frames[k]
// hide the overlay. png_display_show_flag is written by the H.264 decoder
// thread (png_overlay_window) and read by the small PNG decoder thread.
extern SharedWord<int32_t> hide_png_frames[4];
extern SharedWord<int32_t> show_png_frames[4];
extern SharedWord<int32_t> png_display_show_flag;  // 1 overlay may show, 0 hidden
// Sets png_display_show_flag for video frame `frame`.
void png_overlay_window(int32_t frame);

// One frame slot: a buffer allocated once, the position the host asked for
// and the number of PNG bytes in the buffer.
struct PngSlot {
  std::unique_ptr<uint8_t[]> buffer;
  int32_t x;        // column on the overlay plane
  int32_t y;        // row, counted from dev_y
  uint32_t length;  // PNG bytes in buffer
};

// What the slot queues carry: word 1 is the slot, the others are 0.
struct PngMsg {
  intptr_t word0;
  PngSlot* slot;
  intptr_t word2, word3;
};

constexpr uint32_t kPngSlotSize = 131072;      // bytes of one small-stream slot
constexpr uint32_t kBigPngSlotSize = 1048576;  // bytes of one full-screen slot
constexpr int kPngSlotCount = 6;
constexpr int kBigPngSlotCount = 2;

// Held while the PNG streams write overlay pixels or flip (a working step of
// the small decoder, one row of the full-screen decoder) and while command
// 103 wipes the overlay, so a clear never interleaves with a draw (lock
// order: README.md).
extern std::mutex png_draw_mutex;

// Small stream (image/png_overlay.cpp).
// Queue handles are published with release/acquire (std::atomic), so the
// command loop sees a queue whole once it sees its handle.
extern std::atomic<MessageQueue*> usable_png_queue;   // free slots; null until made
extern std::atomic<MessageQueue*> display_png_queue;  // filled slots, oldest first

// Full-screen stream (image/png_fullscreen.cpp).
extern std::atomic<MessageQueue*> usable_big_png_queue;
extern std::atomic<MessageQueue*> display_big_png_queue;

// Makes the small stream's slot pool and queues; called once at start-up,
// before the command loop and the stream's thread run.
void png_thread_init();
// Fills a pool: every slot gets `size` bytes and its message; the slots that
// got memory are sent to *usable. The two queues are made here; the caller
// publishes them.
void png_pool_init(PngSlot* slots, PngMsg* msgs, int count, uint32_t size, MessageQueue** usable,
                   MessageQueue** display);
// The same for the full-screen stream.
void big_png_thread_init();
// One cycle of the full-screen decoder, run with the back-buffer permit and
// flip_lock held: takes the next filled slot, decodes it into the back
// buffer and returns the slot to the free queue. True when a picture was
// finished (it may then be flipped in).
bool big_png_cycle();

// Decodes the PNG file data[0..length) into overlay buffer `index` with its
// top left corner at column x, row dev_y + y; clipped to the plane.
void decode_png_pos_layer(const uint8_t* data, uint32_t length, int32_t x, int32_t y, int index);

// --- The pixel writer, usable on any 32-bit ARGB memory ---------------------

// One row as libpng hands it over. Every picture is converted to 8-bit
// B, G, R, A. An interlaced picture comes in passes, each pass handing over
// every row number once: only rows with `in_pass` carry pixels, and of
// those only the columns first_col, first_col + col_step, ...
struct PngRow {
  const uint8_t* bgra;
  uint32_t row, width, height;
  bool in_pass;
  uint32_t first_col, col_step;
  bool last_pass;
  uint32_t done, total;  // rows handed over so far, including this one, of all passes
};

// Receives each row; returns 0 to go on, 1 when no further row is wanted
// (the rest of the picture is not decoded).
using PngRowSink = int (*)(const PngRow& row, void* ctx);

// Decodes a PNG file held in memory and hands its rows to `sink`. Prints
// the size and colour type when log_info is set. Returns 0 when the picture
// was decoded, -1 when the data is not a readable PNG (reported on stderr;
// rows handed over before a broken part stay handed over).
int png_decode_rows(const uint8_t* data, size_t len, bool log_info, PngRowSink sink, void* ctx);

// Writes one handed-over row into the canvas, the picture's top left corner
// at column x, row y of the canvas, clipped. Returns 1 once the final pass
// has gone below the canvas (nothing further can show), else 0.
int png_put_row(const PngRow& row, const Canvas& canvas, int64_t x, int64_t y);

// png_decode_rows + png_put_row on a fixed canvas.
int png_draw_canvas(const uint8_t* data, size_t len, int64_t x, int64_t y, const Canvas& canvas,
                    bool log_info);
