// Microsecond stamps and frame pacing, shared by the video and PNG streams.
#pragma once

#include <cstdint>

// Wall-clock microseconds, truncated to 32 bits (differences stay exact
// across the wrap).
uint32_t now_us32();

// Waits when the previous step ended less than `period` µs ago (only waits
// of 1 to 99 999 µs are made, so a stale stamp never stalls), then sets
// *last to the time. *last belongs to the calling thread.
void pace(uint32_t* last, int32_t period);
