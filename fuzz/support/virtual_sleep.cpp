// A virtual clock for sleeps: pacing waits of the code under test return at
// once, so one input takes microseconds instead of a second. The requested
// time is added up for checks.
#include <unistd.h>

#include <atomic>
#include <cstdint>

std::atomic<uint64_t> fuzz_slept_us{0};

extern "C" int usleep(useconds_t us) {
  fuzz_slept_us += us;
  return 0;
}
