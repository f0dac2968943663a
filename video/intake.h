// H.264 stream intake: the per-part block rings between the pushers (the
// command loop, the local player) and the decoder thread.
//
// Ownership: the rings are static and live for the whole run. pc_mutex
// guards every index, count and slot; pushers take it for the whole push
// (the copy included, so two pushers never share a slot) and signal
// pc_condc under it; the decoder thread takes blocks under it. Counts are
// also read without the lock for status replies and pacing.
// Errors: a refused push returns -1 and leaves the ring untouched.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "common/word.h"

constexpr uint32_t kH264BlockMax = 1048576;  // bytes of one slot
constexpr int32_t kH264RingSlots = 5;

struct H264Slot {
  uint32_t length;      // valid bytes in data
  uint32_t last_block;  // 1 = last block of the part's stream
  uint8_t data[kH264BlockMax];
};

struct H264BlockRecord {
  H264Slot slots[kH264RingSlots];
  SharedWord<uint32_t> write_index;  // slot the next push goes to
  SharedWord<uint32_t> read_index;   // slot the decoder takes next
  SharedWord<int32_t> count;         // blocks stored and not yet taken
  // Of those, the blocks at the head that belong to a stream being
  // replaced (queued before a new stamp arrived); the decoder drops them.
  SharedWord<int32_t> stale;
};

extern H264BlockRecord h264_block_data1, h264_block_data2, h264_block_data3;
// Index = part 0..2; filled by the decoder thread when it starts.
extern SharedWord<H264BlockRecord*> h264_data_arrays[3];

extern pthread_mutex_t pc_mutex;
extern pthread_cond_t pc_condc;

// Identity of the host stream now playing (0 = none): exchanged by the
// command loop for each part-0 block, cleared by the decoder thread at the
// end of a stream. The decoder's order to tear down and reopen before going
// on (a new stream began): set by the command loop, cleared by the decoder.
extern SharedWord<uint32_t> time_stamp;
extern SharedWord<int32_t> h264_resource_need_release;

// Queues a block for `part`: returns the record's count after the push, or
// -1 when refused (block longer than a slot, ring full, bad part, rings not
// set up yet).
int32_t push_h264_block2(const uint8_t* data, uint32_t length, uint32_t last_block, int part);
// The local player's push: queues a block for part 0 only while `wanted`
// is 1, checked under the rings' lock, so a block read before a stop never
// lands behind the host's first block; always wakes the decoder. -2 when
// no longer wanted, else as push_h264_block2.
int32_t push_h264_block_while(const uint8_t* data, uint32_t length,
                              const SharedWord<int32_t>& wanted);

// Drops every queued block of all three rings (takes pc_mutex).
void clear_h264_rings();
// A new stream begins: the blocks queued now belong to the old one. Orders
// the decoder to tear down and reopen (h264_resource_need_release), which
// drops those blocks and keeps the ones pushed from now on. Takes pc_mutex.
void h264_new_stream();
// Drops the stale blocks at the head of each ring. Call with pc_mutex held.
void drop_stale_h264_blocks();
// Wakes the decoder thread, e.g. to act on a stop while it waits for
// blocks. Takes pc_mutex: not for callers that hold it.
void wake_h264_decoder();
