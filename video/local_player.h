// Local H.264 playback: a player thread feeds a stored file into part 0 of
// the intake in 1 MiB blocks, in a loop, until stopped.
//
// Ownership: the player thread owns its open file and read buffer; the
// stop request is a SharedWord. At most one player runs:
// play_local_h264_async tests and starts under a lock. Errors are logged;
// functions return 0 / -1 as noted.
#pragma once

#include <cstdint>

#include "common/word.h"

constexpr int kLocalPathMax = 128;  // bytes of a file path, NUL included

// Starts playing `path` unless a file already plays (then 0). Returns the
// thread creation result (0 started), or -1 for a path of 128 characters or
// more.
int play_local_h264_async(const char* path);
void* play_local_h264_thread(void*);
// Plays on the calling thread until the end (no loop) or a stop; -1.
int play_local_h264(const char* path, int width, int height, int loop);
// Asks the player and the decoder to stop; returns at once.
void stop_local_h264();
// The same without waking a decoder that waits for blocks, for a caller
// that stops the decoder itself right after (its stop then comes first in
// the log, before the release).
void request_local_h264_stop();
// Stops the player and waits until its thread has ended, for callers that
// must know no player is left (tests and fuzz targets between runs).
void stop_local_h264_and_join();
