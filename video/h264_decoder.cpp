// The H.264 decoder thread: blocks from the rings -> NAL units -> one
// hardware decoder instance per part -> frame buffers -> display queue.
//
// play_h264_thread2 is the only thread that touches the per-part state, the
// decoder instances and the frame memory; it holds pc_mutex from its wait
// through the refill. Frame buffers change hands only through the two
// queues. Errors are logged and decoding goes on with the next unit.
#include "video/h264_decoder.h"

#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/pace.h"
#include "common/reserve.h"
#include "common/state.h"
#include "common/thread.h"
#include "display/fb.h"
#include "image/png_overlay.h"
#include "platform/codec.h"
#include "platform/display.h"
#include "platform/queue.h"
#include "platform/system.h"
#include "video/intake.h"

SharedWord<MessageQueue*> usable_h264_queue{nullptr};
SharedWord<MessageQueue*> display_h264_queue{nullptr};
SharedWord<int32_t> h264_rmem_fd{-1};
SharedWord<uint32_t> h264_y_size{kH264YSize};
SharedWord<uint32_t> h264_uv_size{kH264UVSize};

SharedWord<int32_t> frameTimes[3] = {33333, 0, 0};

SharedWord<uint32_t> mirror_frames_shown{0};
SharedWord<H264HandoffHook> h264_handoff_hook{nullptr};
SharedWord<H264HandoffHook> h264_shown_hook{nullptr};

namespace {

H264FrameInfo frame_info[2];
H264FrameMsg h264_frame_msgs[2];
int32_t before_frame_is_last = 0;  // part 0's last unit came from a stream's tail

constexpr uint32_t kMinNalCapacity = 131072;
constexpr int32_t kPartHeights[3] = {0, 880, 752};  // part 0: dev_height
// Frame row of each part's picture, by number of parts.
constexpr uint32_t kRowOffset[3][3] = {{0, 0, 0}, {0, 1408, 0}, {0, 768, 1536}};
constexpr uint32_t kFrameRows = kH264YSize / kH264LineStride;  // 2560

struct PartState {
  NaluUnit unit{};
  std::unique_ptr<uint8_t[]> unit_buf;
  NaluBuf* nal = nullptr;
  V4l2H264Decoder* dec = nullptr;
  // Result of the last read; 0 or less: the part needs a block. Read by
  // pushers (under pc_mutex) to decide whether to wake this thread.
  SharedWord<int32_t> unit_len{0};
  int32_t ps_len = 0;  // parameter-set bytes collected at the start of unit_buf
  uint8_t last_block = 0;
  uint8_t decoded = 0;
};

PartState parts[3];
H264DecoderConfig dec_cfg[3];
uint32_t unit_cap = 0;   // bytes of each unit buffer
FrameSchedule schedule;  // hand-off times (pacing)
// The frame that held part 0's last unit has been shown: the next frame is
// the first of a new pass and is numbered 1.
bool count_restarts = false;

// Decoder resources opened (queues, decoders, mirror thread). Kept apart
// from h264_rmem_fd so that an open without reserved memory is still
// released properly.
bool opened = false;
// Both frame buffers exist and the mirror thread runs: units may be
// decoded. Otherwise they are dropped, so no frame waits for a consumer.
bool frames_ok = false;
DaemonThread mirror_thread;  // started at each open, joined at each release

int32_t active_parts() {
  int32_t m = h264_mode;
  return m < 1 ? 1 : (m > 3 ? 3 : m);
}

// Waits (pc_mutex held) until the parts that need a block have one, or
// until a stop asks open resources to be released.
void wait_for_blocks() {
  while (h264_blocks_missing() == 1 && !(opened && h264_start_mark == 0)) {
    printf("wait cnt %d %d %d\n", h264_block_data1.count.load(), h264_block_data2.count.load(),
           h264_block_data3.count.load());
    pthread_cond_wait(&pc_condc, &pc_mutex);
  }
}

void open_sequence() {
  printf("h264 thread cut version ");
  for (int p = 0; p < 3; ++p) parts[p].dec = v4l2_h264_decoder_direct_open(&dec_cfg[p]);
  h264_y_size.store(kH264YSize);
  h264_uv_size.store(kH264UVSize);
  int fd = rmem_open();
  h264_rmem_fd.store(fd);
  if (fd < 0) fprintf(stderr, "decoder open rmem failed: %s\n", strerror(errno));
  usable_h264_queue.store(message_queue_create(0, 0));
  display_h264_queue.store(message_queue_create(0, 0));
  const uint32_t ysz = static_cast<uint32_t>(round4096(h264_y_size));
  const uint32_t uvsz = static_cast<uint32_t>(round4096(h264_uv_size));
  frames_ok = fd >= 0;
  for (int i = 0; i < 2; ++i) {
    H264FrameInfo& fi = frame_info[i];
    fi = H264FrameInfo{};
    if (fd >= 0) {
      fi.y_vaddr = static_cast<uint8_t*>(rmem_alloc(fd, &fi.y_paddr, ysz));
      fi.uv_vaddr = static_cast<uint8_t*>(rmem_alloc(fd, &fi.uv_paddr, uvsz));
    }
    if (fi.y_vaddr) memset(fi.y_vaddr, 0x00, ysz);
    if (fi.uv_vaddr) memset(fi.uv_vaddr, 0x80, uvsz);
    printf("frame info %d y pa %x size %d uv pa %x size %d\n", i, fi.y_paddr, ysz, fi.uv_paddr,
           uvsz);
    if (!fi.y_vaddr || !fi.uv_vaddr) {
      puts("err: frame info alloc fail");
      frames_ok = false;
    }
    h264_frame_msgs[i].control = 0;
    h264_frame_msgs[i].info = &fi;
    message_queue_send(usable_h264_queue, &h264_frame_msgs[i]);
    printf("msg %d addr 0x%x data addr 0x%x\n", i,
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(&h264_frame_msgs[i])),
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(&fi)));
  }
  puts("ccd-----------");
  if (mirror_thread.start(mirror_and_display_thread_func, nullptr, ThreadEnd::kJoined) != 0)
    frames_ok = false;
  curr_frame.store(0);
  count_restarts = false;
  opened = true;
}

// Tears everything down; `locked`: the caller holds pc_mutex. Ends with no
// frame message held (*cur cleared).
void release_sequence(bool locked, H264FrameMsg** cur) {
  puts("------------------------------------");
  puts("stop h264, release resource---------");
  for (PartState& ps : parts) ps.unit_len.store(0);

  puts("send mirror thread stop signal start");
  if (mirror_thread.joinable()) {
    // The stop request goes behind the frames already queued for display.
    H264FrameMsg* stop =
        *cur ? *cur : static_cast<H264FrameMsg*>(message_queue_receive(usable_h264_queue));
    if (stop) {
      stop->control = -1;
      message_queue_send(display_h264_queue, stop);
    }
    mirror_thread.join();
  }
  *cur = nullptr;
  puts("send mirror thread stop signal end");

  int fd = h264_rmem_fd;
  const uint32_t ysz = static_cast<uint32_t>(round4096(h264_y_size));
  const uint32_t uvsz = static_cast<uint32_t>(round4096(h264_uv_size));
  for (H264FrameInfo& fi : frame_info) {
    if (fi.y_vaddr) rmem_free(fd, fi.y_vaddr, fi.y_paddr, ysz);
    if (fi.uv_vaddr) rmem_free(fd, fi.uv_vaddr, fi.uv_paddr, uvsz);
    fi.y_vaddr = fi.uv_vaddr = nullptr;
  }
  if (fd >= 0) rmem_close(fd);
  puts("free rmem done");

  for (PartState& ps : parts) {
    v4l2_h264_decoder_close(ps.dec);
    ps.dec = nullptr;
    nalu_buf_clean(ps.nal);
    ps.decoded = 0;
  }
  puts("close decoder and clean nalu done");

  if (locked) {
    // A new stream: only the old one's blocks go; the new one's are played.
    drop_stale_h264_blocks();
  } else {
    clear_h264_rings();
  }
  h264_rmem_fd.store(-1);
  puts("clear h264 queue done");

  if (MessageQueue* q = usable_h264_queue) message_queue_delete(q);
  usable_h264_queue.store(nullptr);
  if (MessageQueue* q = display_h264_queue) message_queue_delete(q);
  display_h264_queue.store(nullptr);
  puts("del message queue done");
  opened = false;
  frames_ok = false;
}

// Moves one block of each active part that ran out of units into its NAL
// buffer. Call with pc_mutex held.
void refill() {
  int32_t mode = active_parts();
  for (int p = 0; p < mode; ++p) {
    PartState& ps = parts[p];
    if (ps.unit_len > 0) continue;
    H264BlockRecord* r = h264_data_arrays[p];
    if (!r || r->count <= 0) continue;
    H264Slot& s = r->slots[r->read_index];
    int32_t taken = nalu_buf_write(ps.nal, s.data, s.length);
    if (taken < static_cast<int32_t>(s.length))
      printf("fread len:%d  fseek len:%d \n", s.length, taken);
    r->read_index.store((r->read_index + 1) % kH264RingSlots);
    ps.last_block = static_cast<uint8_t>(s.last_block);
    r->count.fetch_sub(1);
    if (r->stale > 0) r->stale.fetch_sub(1);
  }
}

// Keeps a parameter-set unit of `len` bytes that was read behind the ones
// already collected. Runaway collections (no slice ever comes) restart at
// the newest unit instead of eating the room of the unit buffer.
void collect_parameter_set(PartState& ps, int32_t len) {
  if (static_cast<uint32_t>(ps.ps_len + len) > unit_cap / 2) {
    memmove(ps.unit_buf.get(), ps.unit_buf.get() + ps.ps_len, len);
    ps.ps_len = len;
  } else {
    ps.ps_len += len;
  }
}

}  // namespace

namespace {

void mark_stop() {
  h264_start_mark.store(0);
  printf("h264 start_mark = 0, stop play h264 ");
}

}  // namespace

void stop_h264() {
  mark_stop();
  // A decoder waiting for blocks releases now, not at the next block.
  wake_h264_decoder();
}

void set_framerate(int32_t fps) {
  // A rate of 0 or less has no period; the current one stays.
  if (fps <= 0) return;
  frameTimes[0].store(static_cast<int32_t>(1000000.0 / fps));
}

int64_t get_now_seconds() {
  struct timeval tv;
  platform_gettimeofday(&tv);
  return (static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec) / 1000000;
}

int32_t h264_blocks_missing() {
  int32_t mode = h264_mode;
  if (mode <= 0) return 0;
  bool needy = false;
  for (int i = 0; i < mode && i < 3; ++i) {
    if (parts[i].unit_len > 0) continue;
    needy = true;
    H264BlockRecord* r = h264_data_arrays[i];
    if (!r || r->count <= 0) return 1;
  }
  return needy ? 0 : check_264_cnt();
}

int32_t check_264_cnt() {
  int32_t mode = h264_mode;
  if (mode <= 0) return 0;
  for (int i = 0; i < mode && i < 3; ++i) {
    H264BlockRecord* r = h264_data_arrays[i];
    if (!r || r->count <= 0) return 1;
  }
  return 0;
}

namespace {

// Decoder settings per part, and the unit buffers sized for the panel.
// False when the buffers cannot be had.
bool set_up_parts() {
  const int32_t w = dev_width, h = dev_height;
  for (int p = 0; p < 3; ++p) {
    // Each part's picture must fit below its row in the frame buffer.
    uint32_t row = 0;
    for (const auto& rows : kRowOffset) row = rows[p] > row ? rows[p] : row;
    int32_t ph = p == 0 ? h : kPartHeights[p];
    int32_t room = static_cast<int32_t>(kFrameRows - row);
    if (ph <= 0 || ph > room) ph = room;
    int32_t pw = w > 0 && w < static_cast<int32_t>(kH264LineStride) ? w : kH264LineStride;
    dec_cfg[p] = H264DecoderConfig{"/dev/video2", pw, ph, kFourccNV12, {0, 0}};
  }
  uint64_t cap = static_cast<uint64_t>(w > 0 ? w : 0) * static_cast<uint64_t>(h > 0 ? h : 0);
  if (cap < kMinNalCapacity) cap = kMinNalCapacity;
  if (cap > 64u << 20) cap = 64u << 20;
  unit_cap = static_cast<uint32_t>(cap);
  for (PartState& ps : parts) {
    ps.unit_buf.reset(new (std::nothrow) uint8_t[unit_cap]);
    ps.nal = nalu_buf_init(unit_cap);
    if (!ps.unit_buf || !ps.nal) {
      fprintf(stderr, "h264 thread: out of memory\n");
      return false;
    }
  }
  return true;
}

// What the decoder thread carries from one wake to the next.
struct DecoderRun {
  H264FrameMsg* cur = nullptr;  // frame buffer being filled
  int part = 0;                 // part decoded next
  int64_t last_wake = 0;        // wall clock, for the log
  int64_t last_wake_mono = 0;   // the stall check itself: setting the clock
                                // must not discard a playing stream's data
};

// The locked half of a wake: waits for blocks, acts on a new stream's order
// to release, opens on the first data, drops stale units after a long
// pause and refills the parts that ran dry.
void wait_and_refill(DecoderRun& run) {
  pthread_mutex_lock(&pc_mutex);
  for (;;) {
    wait_for_blocks();
    if (h264_resource_need_release != 1) break;
    puts("force release h264 resource");
    h264_resource_need_release.store(0);
    // Closed: nothing to tear down, and a stop now would only close the
    // new stream again at once.
    if (opened) {
      mark_stop();
      release_sequence(true, &run.cur);
      run.part = 0;
    }
    drop_stale_h264_blocks();
    // The new stream's blocks came after the stamp: they were pushed, so
    // playback is wanted.
    if (h264_block_data1.count > 0 || h264_block_data2.count > 0 || h264_block_data3.count > 0)
      h264_start_mark.store(1);
    // A stamp that changed again meanwhile is acted on now.
  }
  if (!opened) open_sequence();

  const int64_t now = get_now_seconds();
  const int64_t now_mono = mono_seconds();
  if (now_mono - run.last_wake_mono >= 11) {
    printf("get now s %lld %lld\n", static_cast<long long>(now),
           static_cast<long long>(run.last_wake));
    puts("timeout, release h264 decoder");
    for (PartState& ps : parts) nalu_buf_clean(ps.nal);
  }
  run.last_wake = now;
  run.last_wake_mono = now_mono;
  refill();
  pthread_mutex_unlock(&pc_mutex);
}

// Reads part p's next unit behind its collected parameter sets: the unit's
// length, 0 or less when the part has no data left.
int32_t next_unit(int p) {
  PartState& ps = parts[p];
  const int32_t room = static_cast<int32_t>(unit_cap) - ps.ps_len;
  uint8_t* dst = ps.unit_buf.get() + ps.ps_len;
  int32_t len = 0;
  if (h264_start_mark == 1) {
    if (ps.decoded == 1) printf("part %d err enter error data\n", p);
    len = nalu_buf_read_unit(ps.nal, &ps.unit, dst, room);
    ps.unit_len.store(len);
  }
  if (len <= 0 && ps.last_block == 1) {
    ps.last_block = 0;
    len = nalu_buf_read_tail(ps.nal, &ps.unit, dst, room);
    ps.unit_len.store(len);
    if (len > 0 && p == 0) before_frame_is_last = 1;
  }
  return len;
}

// Gives the frame buffer back unused.
void drop_frame(DecoderRun& run) {
  message_queue_send(usable_h264_queue, run.cur);
  run.cur = nullptr;
}

// Decodes part p's slice (len bytes after its parameter sets) into its rows
// of the frame buffer being filled; false when nothing was decoded.
bool decode_into_frame(DecoderRun& run, int p, int32_t len, int32_t mode) {
  PartState& ps = parts[p];
  if (!run.cur) {
    run.cur = static_cast<H264FrameMsg*>(message_queue_receive(usable_h264_queue));
    if (!run.cur || !run.cur->info) {
      run.cur = nullptr;
      return false;
    }
    run.cur->rows = 0;
  }
  H264FrameInfo* fi = run.cur->info;
  const uint32_t row = kRowOffset[mode - 1][p];
  int rc = v4l2_h264_decoder_direct_work(ps.dec, ps.unit_buf.get(), len + ps.ps_len,
                                         fi->y_vaddr + row * kH264LineStride,
                                         fi->uv_vaddr + row * (kH264LineStride / 2));
  int err = errno;
  ps.ps_len = 0;
  if (rc != 0) {
    puts("trig a");
    drop_frame(run);
    fprintf(stderr, "decoder direct work failed: %s\n", strerror(err));
    return false;
  }
  if (v4l2_h264_decoder_get_frame_info(ps.dec, fi) != 0) {
    puts("trig b");
    drop_frame(run);
    printf("usable queue size %d\n", message_queue_size(usable_h264_queue));
    return false;
  }
  const uint32_t bottom = row + fi->dec_info[1];
  if (bottom > run.cur->rows) run.cur->rows = bottom;
  ps.decoded = 1;
  return true;
}

// Every part of the frame is decoded. It is already in its frame buffer, so
// the wait for its slot on the schedule comes first: the panel then shows
// frames evenly spaced, whatever each took to decode. Then it goes to the
// mirror thread and the frame count moves on.
bool still_wanted() { return h264_start_mark == 1; }

void hand_off(DecoderRun& run) {
  if (still_wanted()) pace_to_schedule(&schedule, frameTimes[0], still_wanted);
  if (!still_wanted()) {
    // Stopped while this frame was decoded or waited for its time: it is
    // not shown, as a stop ends playback at the last frame due. (Pacing it
    // anyway held the release back by a whole period, a second at 1 fps.)
    for (PartState& q : parts) q.decoded = 0;
    drop_frame(run);
    return;
  }
  run.cur->paced = schedule.running;
  run.cur->due_us = schedule.due;
  message_queue_send(display_h264_queue, run.cur);
  run.cur = nullptr;
  for (PartState& q : parts) q.decoded = 0;
  // The last picture of a stream keeps its own number (a host reads the
  // count to see how far the stream got); a new pass starts again at 1.
  if (count_restarts) {
    count_restarts = false;
    curr_frame.store(1);
  } else {
    curr_frame.fetch_add(1);
  }
  if (run.part == 0 && before_frame_is_last == 1) {
    before_frame_is_last = 0;
    count_restarts = true;
  }
  if (H264HandoffHook hook = h264_handoff_hook) hook(curr_frame);
  png_overlay_window(curr_frame);
}

// Decodes until the current part has no unit left.
void decode_available(DecoderRun& run) {
  for (;;) {
    const int32_t mode = active_parts();
    // Fewer parts than before: the parts beyond them are not in this frame.
    for (int i = mode; i < 3; ++i) parts[i].decoded = 0;
    if (run.part >= mode) run.part = 0;
    PartState& ps = parts[run.part];
    const int32_t len = next_unit(run.part);
    if (len <= 0) {
      // End of data.
      if (opened && h264_start_mark == 0) {
        release_sequence(false, &run.cur);
        run.part = 0;
        time_stamp.store(0);
      }
      return;
    }
    const uint32_t type = ps.unit.type;
    if (type == 7 || type == 8) {
      collect_parameter_set(ps, len);
      continue;
    }
    if (type != 1 && type != 5) continue;
    if (!frames_ok) {
      // No frame memory or no mirror thread: nothing can be shown.
      ps.ps_len = 0;
      continue;
    }
    if (!decode_into_frame(run, run.part, len, mode)) continue;
    run.part = (run.part + 1) % mode;
    bool complete = true;
    for (int i = 0; i < mode; ++i) complete = complete && parts[i].decoded;
    if (complete) hand_off(run);
  }
}

}  // namespace

void* play_h264_thread2(void*) {
  h264_data_arrays[0].store(&h264_block_data1);
  h264_data_arrays[1].store(&h264_block_data2);
  h264_data_arrays[2].store(&h264_block_data3);
  if (!set_up_parts()) return nullptr;

  DecoderRun run;
  run.last_wake = get_now_seconds();
  run.last_wake_mono = mono_seconds();
  for (;;) {
    wait_and_refill(run);
    decode_available(run);
  }
  return nullptr;
}
