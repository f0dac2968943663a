// H.264 stream intake: block commands 119..121, the status and stop
// commands 118, 122, 123, the frame rate (15), and the block rings.
//
// Commands run on the command-loop thread; push_h264_block_while also runs on the
// local player's thread. pc_mutex guards the rings (see intake.h); the
// flags are SharedWords. Refusals answer 0 in reply byte 8.
#include "video/intake.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "common/state.h"
#include "image/png_overlay.h"
#include "protocol/command.h"
#include "video/h264_decoder.h"
#include "video/local_player.h"

H264BlockRecord h264_block_data1, h264_block_data2, h264_block_data3;
// Set before any thread runs: a block sent right after start-up finds its ring.
SharedWord<H264BlockRecord*> h264_data_arrays[3] = {&h264_block_data1, &h264_block_data2,
                                                    &h264_block_data3};

pthread_mutex_t pc_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t pc_condc = PTHREAD_COND_INITIALIZER;

SharedWord<uint32_t> time_stamp{0};
SharedWord<int32_t> h264_resource_need_release{0};

namespace {

// Appends a block to record r; -1 when it does not fit. Call with pc_mutex.
int32_t store_block(H264BlockRecord* r, const uint8_t* data, uint32_t length, uint32_t last_block) {
  if (!r || length > kH264BlockMax || r->count >= kH264RingSlots) return -1;
  if (length > 0 && !data) return -1;
  ImgPlaying.store(0);
  h264_start_mark.store(1);
  H264Slot& s = r->slots[r->write_index];
  if (length) memcpy(s.data, data, length);
  s.length = length;
  s.last_block = last_block;
  r->write_index.store((r->write_index + 1) % kH264RingSlots);
  r->count.fetch_add(1);
  return r->count;
}

}  // namespace

int32_t push_h264_block2(const uint8_t* data, uint32_t length, uint32_t last_block, int part) {
  if (part < 0 || part > 2) return -1;
  pthread_mutex_lock(&pc_mutex);
  H264BlockRecord* r = h264_data_arrays[part];
  int32_t n = store_block(r, data, length, last_block);
  // Wake the decoder only when it can go on: every part that needs data
  // has some.
  if (n >= 0 && h264_blocks_missing() == 0) pthread_cond_signal(&pc_condc);
  pthread_mutex_unlock(&pc_mutex);
  return n;
}

int32_t push_h264_block_while(const uint8_t* data, uint32_t length,
                              const SharedWord<int32_t>& wanted) {
  pthread_mutex_lock(&pc_mutex);
  const int32_t n = wanted == 1 ? store_block(h264_data_arrays[0], data, length, 0) : -2;
  pthread_cond_signal(&pc_condc);
  pthread_mutex_unlock(&pc_mutex);
  return n;
}

void clear_h264_rings() {
  pthread_mutex_lock(&pc_mutex);
  for (H264BlockRecord* r : {&h264_block_data1, &h264_block_data2, &h264_block_data3}) {
    r->write_index.store(0);
    r->read_index.store(0);
    r->count.store(0);
    r->stale.store(0);
  }
  pthread_mutex_unlock(&pc_mutex);
}

void h264_new_stream() {
  pthread_mutex_lock(&pc_mutex);
  for (H264BlockRecord* r : {&h264_block_data1, &h264_block_data2, &h264_block_data3})
    r->stale.store(r->count);
  h264_resource_need_release.store(1);
  pthread_mutex_unlock(&pc_mutex);
}

void drop_stale_h264_blocks() {
  for (H264BlockRecord* r : {&h264_block_data1, &h264_block_data2, &h264_block_data3}) {
    int32_t n = r->stale;
    if (n > r->count) n = r->count;
    if (n > 0) {
      r->read_index.store((r->read_index + static_cast<uint32_t>(n)) % kH264RingSlots);
      r->count.fetch_sub(n);
    }
    r->stale.store(0);
  }
}

void wake_h264_decoder() {
  pthread_mutex_lock(&pc_mutex);
  pthread_cond_signal(&pc_condc);
  pthread_mutex_unlock(&pc_mutex);
}

namespace {

// Commands 119, 120, 121: one block of part `part`'s stream.
void cmd_block(const Command& c, Reply& r, int part) {
  if (local_h264_playing == 1) {
    stop_local_h264();
    usleep(100000);
  }
  uint32_t n = c.be32(8);
  // Always consumed, so the link stays in step; a block longer than a slot
  // is drained and refused.
  if (read_payload(r_buf, n, kH264BlockMax) < 0) return;

  if (part == 0) {
    // One exchange: the decoder clears the stamp at the end of a stream,
    // and a read-then-write here could lose that or a new stream's start.
    const uint32_t t = c.be32(14);
    const uint32_t before = time_stamp.exchange(t);
    if (before != 0 && before != t) h264_new_stream();
  }

  if (!standby_idle()) {
    if (part == 1) printf("error fail h264--------------- ");
    if (part == 0) puts("not exit offline state");
    return;
  }

  uint8_t parts = c.u8(13);
  if (parts < 1 || parts > 3) return;
  h264_mode.store(parts);
  int32_t count = push_h264_block2(r_buf, n, c.u8(12), part);
  if (count > 0) r.data[8] = static_cast<uint8_t>(count);
}

void cmd_block_part1(const Command& c, Reply& r) { cmd_block(c, r, 1); }
void cmd_block_part2(const Command& c, Reply& r) { cmd_block(c, r, 2); }
void cmd_block_part0(const Command& c, Reply& r) { cmd_block(c, r, 0); }
PANELD_COMMAND(119, cmd_block_part1);
PANELD_COMMAND(120, cmd_block_part2);
PANELD_COMMAND(121, cmd_block_part0);

void cmd_frame_counter(const Command&, Reply& r) {
  uint32_t f = static_cast<uint32_t>(curr_frame.load());
  r.data[8] = static_cast<uint8_t>(f >> 24);
  r.data[9] = static_cast<uint8_t>(f >> 16);
  r.data[10] = static_cast<uint8_t>(f >> 8);
  r.data[11] = static_cast<uint8_t>(f);
}
PANELD_COMMAND(118, cmd_frame_counter);

void cmd_queue_status(const Command&, Reply& r) {
  r.data[8] = static_cast<uint8_t>(h264_block_data1.count.load());
  r.data[9] = static_cast<uint8_t>(h264_block_data2.count.load());
  r.data[10] = static_cast<uint8_t>(h264_block_data3.count.load());
  int png = png_display_queue_size();
  if (png >= 0) r.data[11] = static_cast<uint8_t>(png);
}
PANELD_COMMAND(122, cmd_queue_status);

void cmd_framerate(const Command& c, Reply&) { set_framerate(c.u8(8)); }
PANELD_COMMAND(15, cmd_framerate);

void cmd_stop_video(const Command&, Reply&) {
  request_local_h264_stop();
  stop_h264();
}
PANELD_COMMAND(123, cmd_stop_video);

}  // namespace
