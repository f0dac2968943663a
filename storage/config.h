// Configuration records: the settings record `cfg` ("/usr/data/app.cfg"),
// the display offsets ("/usr/data/fb.cfg"), the version file and the
// identity text.
//
// Threading: only the command-loop thread reads and writes the files and
// writes bytes 0..7 of `cfg` and the offsets (start-up runs on that thread
// too). Other threads read those bytes through SharedWord without a lock.
// `video_path` is also written by whichever thread starts a local video,
// so it sits behind a mutex and is reached only through the accessors.
// Errors: the files report their own failures on stdout and the daemon goes
// on with the in-memory values; the functions return 0 / 1 as documented.
#pragma once

#include <cstdint>
#include <string>

#include "common/word.h"

constexpr uint32_t kCfgFileSize = 136;      // bytes of "/usr/data/app.cfg"
constexpr uint32_t kCfgVideoPathLen = 128;  // bytes 8..135 of the record
constexpr uint32_t kFbCfgFileSize = 16;     // bytes of "/usr/data/fb.cfg"

struct AppConfig {  // bytes 0..7 of the record; read by other threads without a lock
  SharedWord<uint8_t> bright, mode, reserved_2, local_rotation, reserved_4, clock_enable, test_mode,
      warn_enable;
  uint32_t size = 136;  // in memory only
};
extern AppConfig cfg;

// Copy of `video_path` (guarded by a mutex inside).
std::string cfg_video_path();
// Sets `video_path` in memory only; -1 and unchanged when 128 chars or more.
int cfg_set_video_path(const char* path);

// Display offsets in pixels: 16 and 84 until "/usr/data/fb.cfg" is read.
extern SharedWord<uint8_t> fb_x_offset, fb_y_offset;

// 0 when "/usr/data/app.cfg" was read, 1 when it was rebuilt with defaults.
int ReadConfig();
// Writes the whole 136-byte record in place and syncs.
void SaveConfig();
// 0 when "/usr/data/fb.cfg" was read, 1 when it was rebuilt with defaults.
int ReadFBConfig();
void SaveFBConfig();
// Writes the version text at the start of "/usr/data/version".
void setVersion();
// The identity text.
std::string check_dev_version();

// The 136-byte file image of `cfg` (bytes 0..7, then video_path), and the
// reverse. Used by the save/read paths and by commands that echo the record.
void cfg_to_bytes(uint8_t out[kCfgFileSize]);
// Takes the first n bytes (n <= 136) of an image; the rest keep their values.
void cfg_from_bytes(const uint8_t* in, uint32_t n);
