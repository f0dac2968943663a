// System and configuration commands that belong to no media subsystem.
#pragma once

#include <cstdint>

#include "common/word.h"

// Group and position numbers answered to command 201; nothing assigns them.
extern SharedWord<uint32_t> group;
extern SharedWord<uint32_t> position;
// Set by command 253 (decoder test tool); while non-zero the USB supervisor
// ignores host absence. Nothing clears it.
extern SharedWord<uint8_t> test_h264;
