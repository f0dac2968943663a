// Test clips made with an independent encoder (the ffmpeg tool with
// libx264) and their independent decode (the ffmpeg tool), plus the host
// side of streaming them in blocks cut at picture boundaries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/harness/harness.h"

namespace clips {

constexpr int kWidth = 1080;
constexpr int kHeight = 2288;  // usable panel height
constexpr int kPanelTop = 84;  // row of the usable area on the video plane

// A temporary folder for clips, removed at exit.
const std::string& dir();

// Encodes `frames` frames of a moving test picture, cropped to rows
// [top, top + height), as baseline H.264 with one slice per picture.
// intra: every picture an IDR picture. Returns the file's bytes.
std::vector<uint8_t> encode(const std::string& name, int top, int height, int frames,
                            bool intra = false);
// The luma planes of every picture of an H.264 stream, decoded by ffmpeg.
std::vector<std::vector<uint8_t>> decode_luma(const std::vector<uint8_t>& stream, int width,
                                              int height);

// Offsets at which the pictures of an Annex B stream begin (parameter sets
// go with the picture they precede).
std::vector<size_t> picture_starts(const std::vector<uint8_t>& s);

// Sends one block of `part` (0: 121, 1: 119, 2: 120) and returns reply byte
// 8; -1 when no reply came.
int send_block(harness::Daemon& d, int part, int nparts, const uint8_t* p, size_t n, bool last,
               uint32_t stamp = 1);

// Streams the parts in blocks of `pics_per_block` pictures (the same
// pictures in every part), all with last-block flag 0, retrying refused
// blocks and waiting while a ring is high, as a host does. True when every
// block was taken.
bool stream(harness::Daemon& d, const std::vector<std::vector<uint8_t>>& parts, int pics_per_block,
            uint32_t stamp = 1);
// Ends the parts' streams with an empty block carrying the last-block flag.
bool finish(harness::Daemon& d, int nparts, uint32_t stamp = 1);

// Frame counter (118); -1 without a reply.
int64_t frame_counter(harness::Daemon& d);
// Polls the frame counter until it equals `want`.
bool wait_frame(harness::Daemon& d, int64_t want, int timeout_ms = 10000);
// Polls until pred() holds.
template <typename F>
bool poll(F pred, int timeout_ms, int step_ms = 10);

// Compares the video plane's luma with `expect` (kWidth x kHeight at the
// usable area), retrying briefly while the mirror thread may still be
// copying. Returns "" on a match, else a description of the first
// difference.
std::string compare_video(const harness::DeviceRoot& root, const std::vector<uint8_t>& expect);

// A daemon that may show host media at once: no standby screen, test mode
// ended.
void make_ready(harness::DeviceRoot& root);
// Waits until the daemon reads the host line (earlier bytes are flushed).
bool wait_ready(harness::Daemon& d);
void end_test_mode(harness::Daemon& d);

}  // namespace clips

#include <chrono>
#include <thread>

template <typename F>
bool clips::poll(F pred, int timeout_ms, int step_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
}
