// Fuzz target: the configuration records read from files of any length and
// content, as start-up reads them. The input is split into the contents of
// "/usr/data/app.cfg" and "/usr/data/fb.cfg"; a flag byte leaves either file
// out (the rebuild path).
//
// Invariants: a file that exists is taken as it is for the bytes it holds
// and the record keeps its values for the bytes it lacks; a missing file is
// rebuilt with the defaults, 136 and 16 bytes long; the stored video path
// is always a string the players can use (shorter than its field, or
// refused by them); the brightness applied is at most 100; saving writes
// the record in place, keeping any bytes of a longer file after it, and
// reading it back gives the same record.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "display/fb.h"
#include "fuzz/support/fuzz_support.h"
#include "storage/config.h"

namespace {

const uint8_t kDefaults[5] = {60, 0, 0, 0, 0};

void image(uint8_t out[kCfgFileSize]) { cfg_to_bytes(out); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::device_root();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t flags = in.u8();
  const size_t app_len = in.u16() % 400;
  std::vector<uint8_t> app = in.bytes(app_len);
  std::vector<uint8_t> fb = in.rest();

  // The record before start-up reads: a pattern, so kept bytes show.
  uint8_t pattern[kCfgFileSize];
  for (size_t i = 0; i < sizeof pattern; i++) pattern[i] = uint8_t(0xC0 + i % 17);
  pattern[kCfgFileSize - 1] = 0;
  cfg_from_bytes(pattern, kCfgFileSize);
  fb_x_offset.store(7);
  fb_y_offset.store(9);

  const std::string app_real = fuzz::real("/usr/data/app.cfg");
  const std::string fb_real = fuzz::real("/usr/data/fb.cfg");
  unlink(app_real.c_str());
  unlink(fb_real.c_str());
  const bool app_exists = !(flags & 1), fb_exists = !(flags & 2);
  if (app_exists) fuzz::write_file("/usr/data/app.cfg", app.data(), app.size());
  if (fb_exists) fuzz::write_file("/usr/data/fb.cfg", fb.data(), fb.size());

  FUZZ_CHECK(ReadFBConfig() == (fb_exists ? 0 : 1));
  std::string fb_file;
  FUZZ_CHECK(fuzz::read_file("/usr/data/fb.cfg", &fb_file));
  if (fb_exists) {
    FUZZ_CHECK(fb_x_offset == (fb.size() >= 1 ? fb[0] : 7));
    FUZZ_CHECK(fb_y_offset == (fb.size() >= 2 ? fb[1] : 9));
    FUZZ_CHECK(fb_file == std::string(fb.begin(), fb.end()));
  } else {
    FUZZ_CHECK(fb_x_offset == 16 && fb_y_offset == 84);
    FUZZ_CHECK(fb_file == std::string("\x10\x54", 2) + std::string(14, '\0'));
  }

  FUZZ_CHECK(ReadConfig() == (app_exists ? 0 : 1));
  uint8_t got[kCfgFileSize];
  image(got);
  if (app_exists) {
    for (size_t i = 0; i < kCfgFileSize; i++)
      FUZZ_CHECK(got[i] == (i < app.size() ? app[i] : pattern[i]));
  } else {
    // clock_enable is not rebuilt: it keeps its value.
    FUZZ_CHECK(memcmp(got, kDefaults, 5) == 0 && got[5] == pattern[5] && got[6] == 1 &&
               got[7] == 1);
    FUZZ_CHECK(cfg_video_path() == "/media/offline_video.h264");
    std::string f;
    FUZZ_CHECK(fuzz::read_file("/usr/data/app.cfg", &f) && f.size() == kCfgFileSize);
    FUZZ_CHECK(memcmp(f.data(), got, kCfgFileSize) == 0);
  }
  // The path the players get: the field up to its terminator, never more.
  const std::string path = cfg_video_path();
  FUZZ_CHECK(path.size() <= kCfgVideoPathLen && path.find('\0') == std::string::npos);
  FUZZ_CHECK(memcmp(path.data(), got + 8, path.size()) == 0);

  set_brightness(cfg.bright, 0);
  FUZZ_CHECK(bright >= 0 && bright <= 100);

  // Saved in place and read back: the same record, a longer file's tail kept.
  if (flags & 4) {
    SaveConfig();
    std::string f;
    FUZZ_CHECK(fuzz::read_file("/usr/data/app.cfg", &f));
    FUZZ_CHECK(f.size() == (app_exists && app.size() > kCfgFileSize ? app.size() : kCfgFileSize));
    FUZZ_CHECK(memcmp(f.data(), got, kCfgFileSize) == 0);
    if (f.size() > kCfgFileSize)
      FUZZ_CHECK(
          memcmp(f.data() + kCfgFileSize, app.data() + kCfgFileSize, f.size() - kCfgFileSize) == 0);
    cfg_from_bytes(pattern, kCfgFileSize);
    FUZZ_CHECK(ReadConfig() == 0);
    uint8_t again[kCfgFileSize];
    image(again);
    FUZZ_CHECK(memcmp(again, got, kCfgFileSize) == 0);
  }
  return 0;
}
