// Configuration records, identity and version file.
//
// Threading: the command-loop thread (start-up included) owns the files, the
// offsets and bytes 0..7 of `cfg`; other threads only read those bytes.
// `video_path` is shared with the local video players and kept behind
// g_video_path_lock. Errors are printed on stdout and the in-memory values
// stay the truth; nothing here stops the daemon.
#include "storage/config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/system.h"

AppConfig cfg;
SharedWord<uint8_t> fb_x_offset{16};
SharedWord<uint8_t> fb_y_offset{84};

namespace {

constexpr const char* kAppCfgPath = "/usr/data/app.cfg";
constexpr const char* kFbCfgPath = "/usr/data/fb.cfg";
constexpr const char* kVersionPath = "/usr/data/version";
constexpr const char* kVersion = "2026091101";
constexpr const char* kIdentity = "pavrotek5_0001_2026091101";
constexpr const char* kDefaultVideoPath = "/media/offline_video.h264";

std::mutex g_video_path_lock;
char g_video_path[kCfgVideoPathLen];  // bytes 8..135 of the record

SharedWord<uint8_t>* const kFields[8] = {&cfg.bright,         &cfg.mode,       &cfg.reserved_2,
                                         &cfg.local_rotation, &cfg.reserved_4, &cfg.clock_enable,
                                         &cfg.test_mode,      &cfg.warn_enable};

// Reads up to n bytes from the start of fd; the count read, or -1.
ssize_t read_head(int fd, uint8_t* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = pread(fd, buf + got, n - got, static_cast<off_t>(got));
    if (r < 0) return -1;
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(got);
}

// Writes the n bytes at the start of fd; true when all of them went out.
bool write_head(int fd, const uint8_t* buf, size_t n) {
  size_t put = 0;
  while (put < n) {
    ssize_t w = pwrite(fd, buf + put, n - put, static_cast<off_t>(put));
    if (w <= 0) return false;
    put += static_cast<size_t>(w);
  }
  return true;
}

// Writes n bytes at the start of a record file (created when missing) and
// syncs; false after the matching error line.
bool save_record(const char* path, const uint8_t* bytes, size_t n, const char* open_err,
                 const char* write_err) {
  int fd = dev_open(path, O_RDWR | O_CREAT, 0644);
  if (fd < 0) {
    puts(open_err);
    return false;
  }
  bool ok = write_head(fd, bytes, n);
  close(fd);
  sync();
  if (!ok) puts(write_err);
  return ok;
}

}  // namespace

std::string cfg_video_path() {
  std::lock_guard<std::mutex> lock(g_video_path_lock);
  return std::string(g_video_path, strnlen(g_video_path, kCfgVideoPathLen));
}

int cfg_set_video_path(const char* path) {
  if (!path) return -1;
  size_t n = strnlen(path, kCfgVideoPathLen);
  if (n >= kCfgVideoPathLen) return -1;  // no room for the terminator
  std::lock_guard<std::mutex> lock(g_video_path_lock);
  // The bytes after the terminator keep their values, as in the file image.
  memcpy(g_video_path, path, n + 1);
  return 0;
}

void cfg_to_bytes(uint8_t out[kCfgFileSize]) {
  for (int i = 0; i < 8; i++) out[i] = kFields[i]->load();
  std::lock_guard<std::mutex> lock(g_video_path_lock);
  memcpy(out + 8, g_video_path, kCfgVideoPathLen);
}

void cfg_from_bytes(const uint8_t* in, uint32_t n) {
  if (n > kCfgFileSize) n = kCfgFileSize;
  for (uint32_t i = 0; i < 8 && i < n; i++) kFields[i]->store(in[i]);
  if (n <= 8) return;
  std::lock_guard<std::mutex> lock(g_video_path_lock);
  memcpy(g_video_path, in + 8, n - 8);
}

int ReadConfig() {
  int fd = dev_open(kAppCfgPath, O_RDWR);
  if (fd < 0) {
    puts("ReadConfig open app.cfg err,rebuild");
    cfg.bright.store(60);
    cfg.mode.store(0);
    cfg.reserved_2.store(0);
    cfg.local_rotation.store(0);
    cfg.reserved_4.store(0);
    cfg.test_mode.store(1);
    cfg.warn_enable.store(1);
    cfg_set_video_path(kDefaultVideoPath);
    SaveConfig();
    return 1;
  }
  uint8_t tmp[kCfgFileSize];
  ssize_t got = read_head(fd, tmp, cfg.size);
  close(fd);
  // A short file fills only what it holds; the rest keeps its in-memory value.
  if (got > 0) cfg_from_bytes(tmp, static_cast<uint32_t>(got));
  printf("ReadConfig bright:%d mode:%d  local_rotation:%d \n", cfg.bright.load(), cfg.mode.load(),
         cfg.local_rotation.load());
  printf("cfg test_mode = %d\n", cfg.test_mode.load());
  return 0;
}

void SaveConfig() {
  uint8_t tmp[kCfgFileSize];
  cfg_to_bytes(tmp);
  if (!save_record(kAppCfgPath, tmp, cfg.size, "SaveConfig open app.cfg err",
                   "SaveConfig write app.cfg err"))
    return;
  printf("SaveConfig success | local_rotation:%d\n", cfg.local_rotation.load());
}

int ReadFBConfig() {
  int fd = dev_open(kFbCfgPath, O_RDWR);
  if (fd < 0) {
    puts("ReadConfig open fb.cfg err,rebuild");
    fb_x_offset.store(16);
    fb_y_offset.store(84);
    SaveFBConfig();
    return 1;
  }
  uint8_t tmp[kFbCfgFileSize];
  ssize_t got = read_head(fd, tmp, sizeof tmp);
  close(fd);
  if (got >= 1) fb_x_offset.store(tmp[0]);
  if (got >= 2) fb_y_offset.store(tmp[1]);
  printf("read fb config x off %d y off %d\n", fb_x_offset.load(), fb_y_offset.load());
  return 0;
}

void SaveFBConfig() {
  uint8_t tmp[kFbCfgFileSize] = {};  // the reserved bytes are written as zeros
  tmp[0] = fb_x_offset;
  tmp[1] = fb_y_offset;
  if (!save_record(kFbCfgPath, tmp, sizeof tmp, "SaveConfig open fb.cfg err",
                   "SaveFBConfig write fb.cfg err"))
    return;
  printf("save fb config success x off %d y off %d\n", fb_x_offset.load(), fb_y_offset.load());
}

void setVersion() {
  int fd = dev_open(kVersionPath, O_RDWR | O_CREAT, 0644);
  if (fd < 0) {
    puts("setVersion open version err ");
    return;
  }
  // In place, without truncation: a longer older text keeps its tail.
  write_head(fd, reinterpret_cast<const uint8_t*>(kVersion), strlen(kVersion));
  close(fd);
}

std::string check_dev_version() { return kIdentity; }
