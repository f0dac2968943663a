// Start-up entry points of subsystems that are not in the tree yet.
//
// Each is a weak definition: the subsystem's own (strong) definition takes
// its place as soon as it is linked in. Remove an entry once its subsystem
// has landed.
#include <cstdio>

#include "link/subsystems.h"

#define PENDING __attribute__((weak))

PENDING void set_framerate(int32_t) {}
PENDING void* play_h264_thread2(void*) { return nullptr; }
PENDING int play_local_h264_async(const char*) { return 0; }
