// Host commands of the overlay plane: PNG frame intake (102), clear (103),
// overlay windows (104), overlay plane on or off (105).
//
// Threads: all run on the command loop. Command 102 takes a free slot from
// the chosen stream, fills it from the link and hands it to the stream's
// decoder thread through the display queue.
// Errors: a refused frame is answered with byte 8 = 0; its payload is always
// taken off the line so the link stays in step.
#include <cstdio>
#include <mutex>

#include "common/state.h"
#include "display/draw.h"
#include "display/fb.h"
#include "image/png_overlay.h"
#include "platform/display.h"
#include "platform/queue.h"
#include "protocol/command.h"

namespace {

// 102: one PNG frame as bulk payload; byte 16 = 1 picks the small stream.
void cmd_png_frame(const Command& c, Reply& r) {
  const uint32_t n = c.be32(8);
  const uint16_t x = c.be16(12);
  const uint16_t y = c.be16(14);
  const bool small = c.u8(16) == 1;
  if (local_h264_playing == 1) stop_local_video();
  puts("show png");
  ImgPlaying.store(0);
  if (!standby_idle()) {
    drain_payload(n);
    fputs("error fail png-------------------", stdout);
    return;
  }
  MessageQueue* free_q;
  MessageQueue* target;
  uint32_t cap;
  if (small) {
    puts("small png");
    free_q = usable_png_queue;
    target = display_png_queue;
    cap = kPngSlotSize;
  } else {
    free_q = usable_big_png_queue;
    target = display_big_png_queue;
    cap = kBigPngSlotSize;
  }
  // A frame longer than a slot could never be decoded whole: refuse it
  // without taking a slot.
  if (n > cap) {
    drain_payload(n);
    return;
  }
  PngMsg* m = free_q ? static_cast<PngMsg*>(message_queue_receive_timeout(free_q, 10)) : nullptr;
  if (!m || !m->slot) {
    // All slots busy: the frame is dropped; the queue size tells the host
    // to slow down.
    if (m) message_queue_send(free_q, m);
    drain_payload(n);
    if (target) r.data[8] = static_cast<uint8_t>(message_queue_size(target));
    return;
  }
  PngSlot* slot = m->slot;
  if (read_payload(slot->buffer.get(), n, cap) < 0) {
    // Incomplete payload: not shown, the slot stays free.
    message_queue_send(free_q, m);
    return;
  }
  slot->length = n;
  slot->x = x;
  slot->y = y;
  message_queue_send(target, m);
  r.data[8] = static_cast<uint8_t>(message_queue_size(target));
}

// 103: an empty overlay: both buffers, since the one behind may still hold
// an earlier full-screen picture.
void cmd_clear_overlay(const Command&, Reply&) {
  std::lock_guard<std::mutex> draw(png_draw_mutex);
  clear_overlay();
}

// 104: the four overlay windows. The fourth pair sits one byte early
// (bytes 31..34 and 35..38): host applications send it that way.
void cmd_overlay_windows(const Command& c, Reply&) {
  static const size_t hide_off[4] = {8, 16, 24, 31};
  static const size_t show_off[4] = {12, 20, 28, 35};
  for (int k = 0; k < 4; k++) {
    hide_png_frames[k].store(static_cast<int32_t>(c.be32(hide_off[k])));
    show_png_frames[k].store(static_cast<int32_t>(c.be32(show_off[k])));
  }
}

// 105: overlay plane on (byte 8 non-zero) or off.
void cmd_overlay_plane(const Command& c, Reply&) {
  PlaneReadLock lock;
  if (c.u8(8) != 0) {
    puts("enable fb1");
    fb_enable(fb1_fd);
  } else {
    puts("disable fb1");
    fb_disable(fb1_fd);
  }
}

}  // namespace

PANELD_COMMAND(102, cmd_png_frame);
PANELD_COMMAND(103, cmd_clear_overlay);
PANELD_COMMAND(104, cmd_overlay_windows);
PANELD_COMMAND(105, cmd_overlay_plane);
