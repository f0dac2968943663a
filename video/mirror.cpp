// The mirror-and-display thread: copies (or turns by 180 degrees) each
// decoded frame into one of two display buffers and shows it on fb0.
//
// Started by the decoder thread at each open and joined at each release.
// It owns its two display buffers; a frame buffer is its own only between
// taking it from display_h264_queue and giving it back to usable_h264_queue.
// It never holds a lock across a frame, except the plane lock while it pans.
// Errors are logged; without reserved memory the thread ends at once.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/pace.h"
#include "common/reserve.h"
#include "display/fb.h"
#include "platform/display.h"
#include "platform/queue.h"
#include "storage/config.h"
#include "video/h264_decoder.h"

namespace {

struct DisplayPair {
  uint8_t* y = nullptr;
  uint8_t* uv = nullptr;
  uint32_t y_pa = 0;
  uint32_t uv_pa = 0;
};

void free_pairs(int fd, DisplayPair* pairs, uint32_t ysz, uint32_t uvsz) {
  for (int i = 0; i < 2; ++i) {
    if (pairs[i].y) rmem_free(fd, pairs[i].y, pairs[i].y_pa, ysz);
    if (pairs[i].uv) rmem_free(fd, pairs[i].uv, pairs[i].uv_pa, uvsz);
    pairs[i] = DisplayPair{};
  }
}

// Puts frame `fi` into display pair `d`: a plain copy, or the whole
// assembled picture (every part) turned by 180 degrees.
void fill_pair(const H264FrameMsg& msg, const DisplayPair& d, uint32_t ysz, uint32_t uvsz) {
  const H264FrameInfo& fi = *msg.info;
  if (cfg.local_rotation != 2) {
    memcpy(d.y, fi.y_vaddr, ysz);
    memcpy(d.uv, fi.uv_vaddr, uvsz);
    return;
  }
  uint32_t w = fi.dec_info[0];  // line width
  if (w == 0 || w > kH264LineStride) w = kH264LineStride;
  // Turn the visible columns only, so that the picture stays at column 0
  // and not the decoder's padding columns.
  uint32_t vis = fi.dec_info[2];
  if (vis == 0 || vis > w) vis = w;
  uint32_t rows = msg.rows;
  if (rows == 0) rows = fi.dec_info[1];
  if (rows > kH264YSize / kH264LineStride) rows = kH264YSize / kH264LineStride;
  msa_rotate180(fi.y_vaddr, d.y, static_cast<int>(vis), static_cast<int>(rows), static_cast<int>(w),
                static_cast<int>(w), 1);
  msa_rotate180(fi.uv_vaddr, d.uv, static_cast<int>((vis + 1) / 2),
                static_cast<int>((rows + 1) / 2), static_cast<int>(w), static_cast<int>(w), 2);
}

// How long after its slot a paced frame is panned. The decoder hands a
// frame on at its slot, but its wake-up and the copy here take a varying
// time; panning at slot + a latency that covers them keeps the decoder's
// even spacing on the panel. Each change of the latency moves the panel's
// grid, so it changes seldom: it starts above the usual delay, a single
// late frame is panned when ready, a few late frames within a second raise
// it to the longest of them, and it falls back very slowly.
class PanLatency {
 public:
  // `ready` is how long after its slot the frame was ready to pan.
  uint32_t next(int32_t ready) {
    if (++frames_ == kWindow) frames_ = late_ = worst_ = 0;
    const uint32_t need = static_cast<uint32_t>(std::max<int32_t>(ready, 0)) + kMargin;
    if (need > us_) {
      worst_ = std::max(worst_, need);
      if (++late_ >= kLateToRise) {
        us_ = std::min(worst_, kMost);
        late_ = worst_ = 0;
      }
    } else if (us_ > kStart) {
      us_ -= std::min(kFall, us_ - kStart);
    }
    return us_;
  }

 private:
  static constexpr uint32_t kStart = 6000;  // covers a hand-off and a 4 MB copy
  static constexpr uint32_t kMargin = 500;  // wake-up and pan
  static constexpr uint32_t kFall = 2;      // per frame
  static constexpr uint32_t kMost = 20000;  // beyond that, pan when ready
  static constexpr uint32_t kWindow = 30;   // frames
  static constexpr uint32_t kLateToRise = 3;
  uint32_t us_ = kStart;
  uint32_t frames_ = 0, late_ = 0, worst_ = 0;
};

// Both display pairs, black; false when one could not be had.
bool alloc_pairs(int fd, DisplayPair* pairs, uint32_t ysz, uint32_t uvsz) {
  bool ok = true;
  for (int i = 0; i < 2; ++i) {
    pairs[i].y = static_cast<uint8_t*>(rmem_alloc(fd, &pairs[i].y_pa, ysz));
    pairs[i].uv = static_cast<uint8_t*>(rmem_alloc(fd, &pairs[i].uv_pa, uvsz));
    if (pairs[i].y) memset(pairs[i].y, 0x00, ysz);
    if (pairs[i].uv) memset(pairs[i].uv, 0x80, uvsz);
    if (!pairs[i].y || !pairs[i].uv) ok = false;
    printf("mirror info %d y pa %x size %d uv pa %x size %d\n", i, pairs[i].y_pa, ysz,
           pairs[i].uv_pa, uvsz);
  }
  return ok;
}

// The pan is what the viewer sees, so the thread asks for a low real-time
// priority: a busy decoder and other programs then do not delay it by a
// time slice. Without the right to it the thread runs as it is.
void ask_real_time() {
  struct sched_param sp {};
  sp.sched_priority = 1;
  const int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
  if (rc != 0) printf("mirror thread keeps normal priority: %s\n", strerror(rc));
}

void show_pair(const DisplayPair& d, uint32_t line_width) {
  fb_show_nv12(fb_fd, &fb_info,
               Nv12Picture{dev_width, dev_height, 0, d.y_pa, d.uv_pa, line_width, 0xFF00});
}

}  // namespace

void* mirror_and_display_thread_func(void*) {
  printf("create mirror thread ");
  const uint32_t ysz = static_cast<uint32_t>(round4096(h264_y_size));
  const uint32_t uvsz = static_cast<uint32_t>(round4096(h264_uv_size));
  printf("y size %d\n", ysz);
  printf("uv size %d\n", uvsz);
  int fd = h264_rmem_fd;
  if (fd < 0) {
    // Nothing to show frames in: end now, so the release does not wait.
    puts("mirror thread rmem error");
    return nullptr;
  }
  ask_real_time();
  PanLatency latency;
  DisplayPair pairs[2];
  const bool pairs_ok = alloc_pairs(fd, pairs, ysz, uvsz);
  puts("c1---------");
  int k = 0;
  int not_found = 0;
  MessageQueue* display = display_h264_queue;
  MessageQueue* usable = usable_h264_queue;
  for (;;) {
    H264FrameMsg* msg = static_cast<H264FrameMsg*>(message_queue_receive(display));
    if (!msg) {
      puts("not decode msg");
      usleep(10000);
      continue;
    }
    if (msg->control == -1) {
      msg->control = 0;
      puts("break mirror thread");
      free_pairs(fd, pairs, ysz, uvsz);
      puts("mirror thread end");
      return nullptr;
    }
    if (!msg->info) {
      ++not_found;
      printf("err not found info %d ----------------\n", not_found);
      continue;
    }
    const H264FrameInfo& fi = *msg->info;
    uint32_t w = fi.dec_info[0];
    bool show = pairs_ok && fi.y_vaddr && fi.uv_vaddr;
    const bool paced = msg->paced;
    const uint32_t due = msg->due_us;
    if (show) fill_pair(*msg, pairs[k], ysz, uvsz);
    // The decoder may fill this frame buffer again from now on.
    message_queue_send(usable, msg);
    if (!show) continue;
    if (paced) sleep_until_mono_us(due + latency.next(static_cast<int32_t>(mono_us32() - due)));
    show_pair(pairs[k], w);
    const uint32_t shown = mirror_frames_shown.fetch_add(1) + 1;
    if (H264HandoffHook hook = h264_shown_hook) hook(static_cast<int32_t>(shown));
    k ^= 1;
  }
}
