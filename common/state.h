// State shared by several subsystems.
//
// Every word here is written by the threads named beside it and read by
// others without a lock (see SharedWord). A word that lower layers read
// lives here; a word read only within and above its subsystem lives in that
// subsystem's header; a word used by one file is file-static there.
//
// The lock order of the whole daemon is in README.md ("Lock order").
#pragma once

#include <cstdint>

#include "common/word.h"

// Run states of the standby screens: -1 not running, 1 running, 0 stop
// requested. A stop request never turns -1 into 0: use request_stop().
extern SharedWord<int32_t> CLOCK_STATE;
extern SharedWord<int32_t> OFFLINE_MODE_STATE;

// Asks a screen to stop: 1 becomes 0, any other value is left alone.
inline void request_stop(SharedWord<int32_t>& state) { state.compare_exchange(1, 0); }

// Both standby screens are gone: host media may be shown.
inline bool standby_idle() { return CLOCK_STATE == -1 && OFFLINE_MODE_STATE == -1; }

// Factory test mode (copy of the configuration byte); cleared by the first
// valid command packet.
extern SharedWord<uint32_t> test_mode;
// Set by command 253 (decoder test tool) on the command loop; while
// non-zero the USB supervisor ignores host absence. Nothing clears it.
extern SharedWord<uint8_t> test_h264;
// Host-absence counter of the USB supervisor; cleared by every valid packet.
extern SharedWord<uint32_t> usb_timeout_cnt;

// Video flags.
extern SharedWord<int32_t> h264_start_mark;     // 1 playback wanted, 0 stop requested
extern SharedWord<int32_t> local_h264_playing;  // 1 while the local player loop runs
extern SharedWord<int32_t> h264_mode;           // number of active parts, 1..3
extern SharedWord<int32_t> curr_frame;          // last frame handed to the display

// Slideshow flag: 1 while the slideshow runs, 0 not running or stop requested.
extern SharedWord<int32_t> ImgPlaying;

// Stops the local video player and the decoder; returns at once. The player
// sits above the layers that must stop it (display calibration, PNG
// intake), so start-up registers it here; unset, nothing happens.
using StopHook = void (*)();
extern SharedWord<StopHook> local_video_stop_hook;
inline void stop_local_video() {
  if (StopHook stop = local_video_stop_hook.load()) stop();
}
