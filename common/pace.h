// Microsecond stamps and frame pacing, shared by the video and PNG streams.
#pragma once

#include <cstdint>

// Monotonic microseconds, truncated to 32 bits (differences stay exact
// across the wrap): setting the clock does not move them.
uint32_t mono_us32();
// Monotonic whole seconds (for stall checks that must not trip when the
// clock is set).
int64_t mono_seconds();

// Waits when the previous step ended less than `period` µs ago (only waits
// of 1 to 99 999 µs are made, so a stale stamp never stalls), then sets
// *last to the time. *last belongs to the calling thread.
void pace(uint32_t* last, int32_t period);

// An even schedule on the monotonic clock: step n is due at the first
// step's time + n periods, so rounding and wake-up delays do not add up.
// Belongs to one thread.
struct FrameSchedule {
  uint32_t due = 0;  // monotonic µs of the last step
  bool running = false;
};

// Waits until the next step of `s` is due (last due + period), then counts
// the step. A single wait is 1 to 99 999 µs: a longer period (below 10 steps
// a second) is waited in several, and `go_on`, when given, is asked between
// them so that a stop need not wait out the period. A step late by more
// than one period starts the schedule again from now instead of bursting to
// catch up. A late step (decoding slower than the period) goes at once.
// period <= 0: no waiting.
void pace_to_schedule(FrameSchedule* s, int32_t period, bool (*go_on)() = nullptr);

// Sleeps until monotonic time `due` (from mono_us32()), when that is 1 to
// 99 999 µs ahead; otherwise returns at once.
void sleep_until_mono_us(uint32_t due);
