// The host's side of H.264 streaming, shared by `stream` (ready files) and
// `play` (encoded on the fly): blocks paced by the device's ring fill level.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/panelctl/panelctl.h"

constexpr size_t kBlockMax = 1048576;  // bytes the device takes per block

double now_s();  // monotonic seconds

// Ring fill levels of the three bands' block rings (command 122).
bool query_counts(Panelctl& ctl, int counts[3]);
// The device's frame counter (118).
bool query_frame(Panelctl& ctl, uint32_t* frame);
// Starts a stream with time stamp `stamp`.
bool stream_begin(Panelctl& ctl, uint32_t stamp);
// Sends one block of `part` (of `nparts`), retrying while the device
// refuses it and waiting while its ring is high. False (reported) on failure.
bool send_block(Panelctl& ctl, int part, int nparts, uint32_t stamp, const uint8_t* p, size_t n,
                bool last);

// Frames the device showed of one stream, from samples of its frame
// counter (118). The counter starts at 0 when the decoder opens for a new
// stamp, counts every frame shown and falls back to 1 at the picture that
// ends a stream, so a fall starts a new run. A frame shown and followed by
// that fall between two samples goes uncounted: the total is a lower bound.
class FrameTally {
 public:
  void begin(uint32_t counter) { run_start_ = prev_ = counter; }
  void see(uint32_t counter) {
    if (counter < prev_) {
      done_ += prev_ - run_start_;
      run_start_ = 0;
    }
    prev_ = counter;
  }
  uint64_t shown() const { return done_ + (prev_ - run_start_); }

 private:
  uint32_t run_start_ = 0, prev_ = 0;
  uint64_t done_ = 0;
};

// Waits until the rings are empty and the frame counter rests; *rest_since
// is when it last moved. Feeds `tally` with the counter's samples.
bool wait_shown(Panelctl& ctl, double* rest_since, FrameTally* tally = nullptr);
