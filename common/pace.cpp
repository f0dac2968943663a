#include "common/pace.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

constexpr int32_t kMaxWaitUs = 99999;

struct timespec mono_now() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

uint32_t to_us32(const struct timespec& ts) {
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000000u +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000u);
}

}  // namespace

uint32_t mono_us32() { return to_us32(mono_now()); }

int64_t mono_seconds() { return static_cast<int64_t>(mono_now().tv_sec); }

void pace(uint32_t* last, int32_t period) {
  const uint32_t remaining = *last + static_cast<uint32_t>(period) - mono_us32();
  if (remaining >= 1 && remaining <= 99999) usleep(remaining);
  *last = mono_us32();
}

void pace_to_schedule(FrameSchedule* s, int32_t period, bool (*go_on)()) {
  if (period <= 0) {
    s->running = false;
    return;
  }
  const uint32_t now_us = mono_us32();
  const uint32_t due = s->due + static_cast<uint32_t>(period);
  // Signed distance to the deadline; exact across the 32-bit wrap.
  const int32_t left = static_cast<int32_t>(due - now_us);
  if (!s->running || left > period || left < -period) {
    s->due = now_us;
    s->running = true;
    return;
  }
  s->due = due;
  for (;;) {
    const int32_t rest = static_cast<int32_t>(due - mono_us32());
    if (rest < 1) return;
    if (rest <= kMaxWaitUs) {
      sleep_until_mono_us(due);
      return;
    }
    sleep_until_mono_us(mono_us32() + kMaxWaitUs);
    if (go_on && !go_on()) return;
  }
}

void sleep_until_mono_us(uint32_t due) {
  const struct timespec now = mono_now();
  // Signed distance; exact across the 32-bit wrap.
  const int32_t left = static_cast<int32_t>(due - to_us32(now));
  if (left < 1 || left > kMaxWaitUs) return;
  // An absolute sleep: a wake-up delay of this step is not carried into
  // the next one.
  struct timespec until = now;
  until.tv_nsec += static_cast<long>(left) * 1000;
  while (until.tv_nsec >= 1000000000L) {
    until.tv_nsec -= 1000000000L;
    ++until.tv_sec;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}
