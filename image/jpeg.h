// Still pictures on the video plane through the hardware JPEG decoder.
//
// Threads: show_jpg_buffer_nv12 and show_jpg_local may be called from any
// thread (command loop, slideshow, USB supervisor, microcontroller link,
// clock, start-up); one lock serialises them, and it guards the decoder,
// its request and output records and the output buffers. jpg_buffer_num is written only under
// that lock and may be read anywhere. jpeg_nv12_decode_prepare runs once at
// start-up before any worker thread.
// Errors: functions return 0 on success and -1 on failure, after printing
// the reason; a failed picture leaves the panel as it was.
#pragma once

#include <cstdint>

#include "common/word.h"
#include "platform/jpegd.h"

// Index (0 or 1) of the output buffer the next decode writes; flipped after
// each shown picture.
extern SharedWord<int32_t> jpg_buffer_num;
// The output record of the last decode and the two output buffers (read
// by the JPEG fuzz target to check the decoder's bounds).
extern JpegdFrame output;
extern void* jpegd_output_vaddr[2];
// Physical addresses of the two decode output buffers, reserved once.
extern uint32_t jpegd_output_paddr[2];
// Bytes reserved for each output buffer (0 when the reservation failed).
extern uint32_t jpegd_output_size;

// Reserves the two output buffers for dev_width x dev_height (start-up).
// 0, also when memory could not be reserved (pictures are then refused);
// -1 when the panel has no usable area, which start-up treats as fatal.
int jpeg_nv12_decode_prepare();
// NV12 bytes for the request's size on the 16-aligned grid; 0 for an empty
// size.
uint32_t calc_jpeg_output_size(const JpegdRequest* request);
// Decodes a complete JPEG file in memory and shows it on plane 0.
int show_jpg_buffer_nv12(const uint8_t* data, uint32_t length);
// Reads a stored JPEG file (device path) and shows it. 0 when the file
// opened, whatever the decode gave; -1 when it could not be opened.
int show_jpg_local(const char* path);
