// Fuzz target: the full-screen PNG stream, one decoder cycle per input. The
// first byte chooses the top of the usable area (the display offset, which
// may push pictures past the bottom of the plane); the rest is the frame the
// host sent, placed into a slot as command 102 does.
//
// Invariants: the slot always returns to the free queue (no frame buffer is
// lost) and the filled queue is left empty; the picture goes only into the
// back overlay buffer, inside the rectangle its header announces (columns 0
// to width - 1, rows from the top of the usable area), never into the buffer
// on screen and never past the plane; only a file with a PNG signature can
// count as a finished picture; the pacing of one picture stays within about
// two seconds.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "display/fb.h"
#include "fuzz/support/fuzz_support.h"
#include "image/png_overlay.h"
#include "platform/queue.h"

extern std::atomic<uint64_t> fuzz_slept_us;

namespace {

constexpr uint32_t kFill = 0x5AC3A55Cu;

void fill(const Canvas& c) {
  for (int32_t y = 0; y < c.height; y++) {
    uint32_t* row = reinterpret_cast<uint32_t*>(c.base + size_t(y) * c.pitch);
    for (int32_t x = 0; x < c.width; x++) row[x] = kFill;
  }
}

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::device_root();
  const char panel[] = "96x160\n";
  fuzz::write_file("/sim/panel", reinterpret_cast<const uint8_t*>(panel), sizeof panel - 1);
  init_disp();
  big_png_thread_init();
  if (!usable_big_png_queue || message_queue_size(usable_big_png_queue) != kBigPngSlotCount)
    fuzz::fail(__FILE__, __LINE__, "full-screen slots not made");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size - 1 > kBigPngSlotSize) return 0;
  const int32_t top = data[0] % 192;
  const uint8_t* png = data + 1;
  const size_t len = size - 1;
  dev_y.store(top);
  png_frame_num.store(data[0] >> 7);
  const int front = png_frame_num, back = front ^ 1;
  Canvas canvas[2] = {overlay_canvas(0), overlay_canvas(1)};
  FUZZ_CHECK(canvas[0].base && canvas[1].base);
  fill(canvas[0]);
  fill(canvas[1]);

  // Command 102's side: a free slot, filled, onto the filled queue.
  PngMsg* m = static_cast<PngMsg*>(message_queue_receive(usable_big_png_queue));
  FUZZ_CHECK(m && m->slot);
  memcpy(m->slot->buffer.get(), png, len);
  m->slot->length = uint32_t(len);
  message_queue_send(display_big_png_queue, m);

  fuzz_slept_us = 0;
  bool finished = big_png_cycle();

  FUZZ_CHECK(message_queue_size(usable_big_png_queue) == kBigPngSlotCount);
  FUZZ_CHECK(message_queue_size(display_big_png_queue) == 0);
  FUZZ_CHECK(fuzz_slept_us <= 2000000);
  const bool signature = len >= 8 && memcmp(png, "\x89PNG\r\n\x1a\n", 8) == 0;
  if (finished) FUZZ_CHECK(signature);

  // The rectangle the header announces (nothing without one).
  uint32_t w = 0, h = 0;
  if (signature && len >= 24 && memcmp(png + 12, "IHDR", 4) == 0) {
    w = be32(png + 16);
    h = be32(png + 20);
  }
  for (int b = 0; b < 2; b++) {
    const Canvas& c = canvas[b];
    for (int32_t y = 0; y < c.height; y++) {
      const uint32_t* row = reinterpret_cast<const uint32_t*>(c.base + size_t(y) * c.pitch);
      const bool rows_in = b == back && y >= top && uint32_t(y - top) < h;
      for (int32_t x = 0; x < c.width; x++) {
        if (row[x] == kFill) continue;
        FUZZ_CHECK(rows_in && uint32_t(x) < w);
      }
    }
  }
  dev_y.store(0);
  return 0;
}
