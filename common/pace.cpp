#include "common/pace.h"

#include <sys/time.h>
#include <unistd.h>

#include "platform/system.h"

uint32_t now_us32() {
  struct timeval tv;
  platform_gettimeofday(&tv);
  return static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) * 1000000u +
                               static_cast<uint64_t>(tv.tv_usec));
}

void pace(uint32_t* last, int32_t period) {
  const uint32_t remaining = *last + static_cast<uint32_t>(period) - now_us32();
  if (remaining >= 1 && remaining <= 99999) usleep(remaining);
  *last = now_us32();
}
