// Fuzz target: the microcontroller line's receive loop over any byte stream.
// The input is the header (configured controller, warnings enabled, where
// the line pauses) and then the bytes on the line. Reads are made as the
// receive thread makes them: 16 bytes less what the last resync kept; a
// pause in the middle of a read drops the partial frame, as uart_read's gap
// does.
//
// Invariants: frames are taken exactly where a plain scan finds them (a
// frame starts at each AA 55 that does not lie inside an earlier frame and
// is followed by 14 more bytes before the next pause), so one stray or lost
// byte never costs more than the frame it hit; the readings are those of
// the last good frame; a bad header clears the suspend flag and the run;
// the warning comes once per run of suspend frames, only while the
// controller is configured and warnings are enabled.
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/state.h"
#include "fuzz/support/fuzz_support.h"
#include "standby/offline.h"
#include "storage/config.h"
#include "supervision/mcu_link.h"
#include "supervision/usb_supervisor.h"

namespace {

// Offsets of the frames a plain scan finds in one stretch without pauses.
std::vector<size_t> reference_frames(const uint8_t* s, size_t n) {
  std::vector<size_t> out;
  size_t pos = 0;
  while (pos + kMcuFrameLen <= n) {
    if (s[pos] == 0xAA && s[pos + 1] == 0x55) {
      out.push_back(pos);
      pos += kMcuFrameLen;
    } else {
      pos++;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const bool configured = data[0] & 1;
  const bool warn = data[0] & 2;
  const size_t stride = data[1] ? size_t(data[1]) * 3 : size_t(-1);  // bytes between pauses
  const uint8_t* s = data + 2;
  const size_t n = size - 2;
  usb_connect_state.store(configured ? 1 : 0);
  cfg.warn_enable.store(warn ? 1 : 0);
  mcu_usb_suspend.store(0);
  mcu_usb_suspend_count.store(0);
  temperature.store(-1);
  pump_speed.store(-1);

  int32_t warn_shown = 0;
  int32_t run = 0;  // model: consecutive suspend frames since the last warning point
  bool run_warned = false;
  size_t stretch_start = 0;
  while (stretch_start < n) {
    size_t stretch_end = stretch_start + stride < n ? stretch_start + stride : n;
    if (stride == size_t(-1)) stretch_end = n;
    std::vector<size_t> want = reference_frames(s + stretch_start, stretch_end - stretch_start);
    size_t next_want = 0;

    size_t have = 0;
    size_t pos = stretch_start;  // line position of the next byte read
    for (;;) {
      size_t need = kMcuFrameLen - have;
      if (stretch_end - pos < need) break;  // the pause ends the read: partial frame dropped
      memcpy(mcu_rec_buf + have, s + pos, need);
      pos += need;
      size_t frame_at = pos - kMcuFrameLen - stretch_start;
      uint8_t frame[kMcuFrameLen];
      memcpy(frame, mcu_rec_buf, sizeof frame);
      int32_t warn_count = 0;
      McuAction a = mcu_take_frame(&have, &warn_shown, &warn_count);
      FUZZ_CHECK(have < kMcuFrameLen);
      if (a == McuAction::kBadFrame) {
        FUZZ_CHECK(!(frame[0] == 0xAA && frame[1] == 0x55));
        FUZZ_CHECK(mcu_usb_suspend == 0 && mcu_usb_suspend_count == 0 && warn_shown == 0);
        FUZZ_CHECK(memcmp(mcu_rec_buf, frame + kMcuFrameLen - have, have) == 0);
        run = 0;
        run_warned = false;
        continue;
      }
      FUZZ_CHECK(have == 0);
      FUZZ_CHECK(next_want < want.size() && want[next_want] == frame_at);
      next_want++;
      FUZZ_CHECK(temperature == frame[2]);
      FUZZ_CHECK(pump_speed == frame[3] * 256 + frame[4]);
      FUZZ_CHECK(mcu_usb_suspend == frame[5]);
      bool expect_warn = false;
      if (frame[5] != 1) {
        run = 0;
        run_warned = false;
      } else if (++run >= kMcuSuspendThreshold) {
        run = 0;
        if (configured) {
          expect_warn = !run_warned && warn;
          run_warned = true;
        }
      }
      FUZZ_CHECK((a == McuAction::kWarn) == expect_warn);
      if (expect_warn) FUZZ_CHECK(warn_count == kMcuSuspendThreshold);
      FUZZ_CHECK(mcu_usb_suspend_count == run);
    }
    // Every frame of the stretch was taken.
    FUZZ_CHECK(next_want == want.size());
    stretch_start = stretch_end;
  }
  return 0;
}
