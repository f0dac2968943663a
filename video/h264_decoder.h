// The H.264 decoder thread and the mirror-and-display thread.
//
// play_h264_thread2 owns the decoder instances, the NAL buffers, the frame
// memory, both frame queues and the mirror thread; it opens them on the
// first data and releases them on a stop. Frame buffers change hands only
// through usable_h264_queue (free) and display_h264_queue (decoded). The
// words below are shared without a lock; any thread may call stop_h264().
// Errors are logged; nothing here ends the process.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "common/word.h"
#include "platform/codec.h"

struct MessageQueue;

// Frame memory: NV12, kH264LineStride (platform/codec.h) bytes a line,
// room for 2560 lines of luma.
constexpr uint32_t kH264YSize = 2785280;   // 1088 x 2560
constexpr uint32_t kH264UVSize = 1392640;  // 1088 x 1280

// What travels through the two frame queues. A decoded frame buffer is
// described by its frame descriptor (H264FrameInfo, the codec library's
// record); the message adds what the assembled picture needs beyond it.
struct H264FrameMsg {
  int32_t control;      // -1 = stop request for the mirror thread
  H264FrameInfo* info;  // null: not a frame
  uint32_t rows;        // luma lines of the whole assembled picture (every part)
  bool paced;           // handed off on the frame schedule, due at `due_us`
  uint32_t due_us;      // monotonic µs (mono_us32) of its slot
};

extern SharedWord<MessageQueue*> usable_h264_queue;
extern SharedWord<MessageQueue*> display_h264_queue;
extern SharedWord<int32_t> h264_rmem_fd;  // negative: decoder resources closed
extern SharedWord<uint32_t> h264_y_size;  // rounded plane sizes of the open frame memory
extern SharedWord<uint32_t> h264_uv_size;

extern SharedWord<int32_t> frameTimes[3];  // [0] frame period in microseconds

// Asks the decoder thread to stop and release; returns at once.
void stop_h264();
// Frame period from a rate; a rate of 0 or less leaves the period as it is.
void set_framerate(int32_t fps);
// Wall-clock time in whole seconds.
int64_t get_now_seconds();
// 1 while some active part has no block queued, else 0. Call with pc_mutex.
int32_t check_264_cnt();
// The decoder's wait condition: 1 while a part that has run out of units
// has no block queued (or, when no part has run out, while check_264_cnt
// says so), else 0. Parts that still hold units do not hold up the others,
// so the parts of a stream cannot end up waiting for each other. Call with
// pc_mutex held.
int32_t h264_blocks_missing();

void* play_h264_thread2(void*);
void* mirror_and_display_thread_func(void*);

// Frames the mirror thread has put on the panel since start (for tests and
// benchmarks).
extern SharedWord<uint32_t> mirror_frames_shown;
// Called on the decoder thread right after each frame is handed to the
// display queue, with the new frame number; null (the default) for none.
// For measurements only.
using H264HandoffHook = void (*)(int32_t frame);
extern SharedWord<H264HandoffHook> h264_handoff_hook;
// Called on the mirror thread right after each frame is panned onto the
// video plane (the moment it is shown), with the running count of frames
// shown; null (the default) for none. For measurements only.
extern SharedWord<H264HandoffHook> h264_shown_hook;
