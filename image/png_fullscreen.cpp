// The full-screen PNG stream: pictures decoded into the back overlay buffer,
// spread over about a second by pacing checkpoints, then handed to the small
// decoder thread, which flips them in.
//
// Threads: decode_big_png_thread_func owns its pacing stamp and the slot it
// decodes; it writes only the back buffer, between taking `back_free` and
// posting `back_ready`, and holds `flip_lock` for the whole cycle. The
// command loop fills slots through the queues.
// Errors: broken frames are reported on stderr and skipped; the permit goes
// back to `back_free` so the next frame is taken.
#include <semaphore.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "common/pace.h"
#include "display/fb.h"
#include "image/png_overlay.h"
#include "platform/queue.h"

std::atomic<MessageQueue*> usable_big_png_queue;
std::atomic<MessageQueue*> display_big_png_queue;

namespace {

PngSlot big_png_decode_info[kBigPngSlotCount];
const int32_t big_png_frameTime = 100000;  // µs between two pacing checkpoints
PngMsg big_png_msgs[kBigPngSlotCount];
uint32_t last_big_png_frame_time;  // full-screen decoder thread only

struct BackTarget {
  int index;  // the back buffer, read once per picture
  int64_t y;  // dev_y
};

// Rows go straight into the back buffer; about ten checkpoints per picture
// spread the work (and the pictures) out over time.
int back_sink(const PngRow& row, void* ctx) {
  const BackTarget* t = static_cast<const BackTarget*>(ctx);
  int rc;
  {
    std::lock_guard<std::mutex> draw(png_draw_mutex);
    PlaneReadLock lock;
    rc = png_put_row(row, overlay_canvas(t->index), 0, t->y);
  }
  // Pictures lower than ten rows get a checkpoint after every row rather
  // than a division by zero.
  uint32_t chunk = row.total / 10;
  if (chunk == 0) chunk = 1;
  if (row.done % chunk == 0) pace(&last_big_png_frame_time, big_png_frameTime);
  return rc;
}

}  // namespace

void big_png_thread_init() {
  MessageQueue* usable;
  MessageQueue* display;
  png_pool_init(big_png_decode_info, big_png_msgs, kBigPngSlotCount, kBigPngSlotSize, &usable,
                &display);
  display_big_png_queue = display;
  usable_big_png_queue = usable;
}

bool big_png_cycle() {
  PngMsg* m = static_cast<PngMsg*>(message_queue_receive(display_big_png_queue));
  if (!m) {
    usleep(100000);
    return false;
  }
  if (!m->slot) return false;
  PngSlot* slot = m->slot;
  // x and y of a full-screen frame are not used: it starts at column 0, row dev_y.
  BackTarget t{png_frame_num ^ 1, dev_y};
  bool finished = png_decode_rows(slot->buffer.get(), slot->length, false, back_sink, &t) == 0;
  message_queue_send(usable_big_png_queue, m);
  return finished;
}

void* decode_big_png_thread_func(void* arg) {
  PngSync* sync = static_cast<PngSync*>(arg);
  for (;;) {
    sem_wait(&sync->back_free);
    pthread_mutex_lock(&sync->flip_lock);
    bool finished = big_png_cycle();
    pthread_mutex_unlock(&sync->flip_lock);
    // Without a finished picture nobody would flip and give the permit
    // back, so keep it here.
    sem_post(finished ? &sync->back_ready : &sync->back_free);
  }
  return nullptr;
}
