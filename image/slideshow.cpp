// Stored pictures: the boot logo and the slideshow of the image directory.
//
// Threads: the slideshow runs on its own detached thread, started by
// play_local_jpg_async (USB supervisor) and stopped by any thread through
// ImgPlaying. Each start gets a generation number, so a thread that was
// asked to stop and is still in its pause ends even when a new slideshow
// has set ImgPlaying to 1 again: at most one slideshow ever runs.
// Errors: thread results 1 (normal end) and -1 (no image directory);
// pictures that fail print their reason and still cost their second.
#include "image/slideshow.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "common/state.h"
#include "common/thread.h"
#include "display/draw.h"
#include "display/fb.h"
#include "image/jpeg.h"
#include "platform/system.h"
#include "storage/files.h"

namespace {

constexpr const char* kSdImageDir = "/tmp/sdcard/mmcblk0p1/img/";
constexpr const char* kImageDir = "/usr/data/img/";
constexpr useconds_t kPictureTime = 1000000;
constexpr size_t kPathLen = 256;

std::mutex g_start_lock;               // makes check-and-start one step
SharedWord<uint32_t> g_generation{0};  // generation of the slideshow that may run
SharedWord<int32_t> g_threads{0};      // slideshow threads alive

// Whether the slideshow of generation `gen` may go on (0: started directly,
// not through play_local_jpg_async).
bool still_wanted(uint32_t gen) { return ImgPlaying == 1 && (gen == 0 || gen == g_generation); }

bool is_regular(const struct dirent* e, const char* path) {
  if (e->d_type != DT_UNKNOWN) return e->d_type == DT_REG;
  struct stat st;
  return dev_lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

void* thread_result(intptr_t r) { return reinterpret_cast<void*>(r); }

void* slideshow(uint32_t gen);

}  // namespace

int play_local_jpg_async() {
  clean_fb1();
  std::lock_guard<std::mutex> lock(g_start_lock);
  if (ImgPlaying == 1) return 0;
  // Claimed before the thread exists, so a stop request that arrives while
  // the thread starts up is not lost and a second start does nothing.
  uint32_t gen = g_generation.fetch_add(1) + 1;
  if (gen == 0) gen = g_generation.fetch_add(1) + 1;
  ImgPlaying.store(1);
  g_threads.fetch_add(1);
  int r = start_thread(play_local_jpg_thread, reinterpret_cast<void*>(uintptr_t(gen)));
  if (r != 0) {
    ImgPlaying.compare_exchange(1, 0);
    g_threads.fetch_sub(1);
  }
  return r;
}

int slideshow_threads() { return g_threads; }

void* play_local_jpg_thread(void* arg) {
  const uint32_t gen = uint32_t(reinterpret_cast<uintptr_t>(arg));
  if (gen == 0) g_threads.fetch_add(1);  // play_local_jpg_async counted it already
  void* r = slideshow(gen);
  g_threads.fetch_sub(1);
  return r;
}

namespace {

void* slideshow(uint32_t gen) {
  const char* dir = storage[0] != 0 ? kSdImageDir : kImageDir;
  puts("jpg thread start ");
  DIR* d = opendir(dev_path(dir).c_str());
  if (!d) {
    puts("Open dir error... \r");
    // Give back the claim of play_local_jpg_async (unless superseded).
    if (gen != 0 && gen == g_generation) ImgPlaying.compare_exchange(1, 0);
    return thread_result(-1);
  }
  if (gen == 0) ImgPlaying.store(1);
  if (!still_wanted(gen)) {  // stopped while starting up
    closedir(d);
    puts("jpg thread end");
    return thread_result(1);
  }

  uint32_t shown = 0;
  bool paused_this_pass = false;
  for (;;) {
    struct dirent* e = readdir(d);
    if (!e) {
      rewinddir(d);
      if (shown == 0) {
        puts("StartImgPlayer no file exit \r");
        if (gen == 0 || gen == g_generation) ImgPlaying.store(0);
        closedir(d);
        puts("jpg thread end");
        return thread_result(1);
      }
      // Every picture is gone: wait before the next pass instead of
      // rescanning the directory in a tight loop.
      if (!paused_this_pass) usleep(kPictureTime);
      paused_this_pass = false;
    } else if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
      char path[kPathLen] = {0};
      int n = snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
      // A name too long for the path buffer would name another file.
      if (n > 0 && size_t(n) < sizeof path && is_regular(e, path)) {
        shown++;
        show_jpg_local(path);
      }
      usleep(kPictureTime);
      paused_this_pass = true;
    }
    if (!still_wanted(gen)) {
      closedir(d);
      puts("jpg thread end");
      return thread_result(1);
    }
  }
}

}  // namespace

int playXyzAnnimation() {
  puts("playXyzAnnimation ");
  if (dev_type == 2 || dev_type == 3) usleep(120000);
  return show_jpg_local("/media/logo.jpg");
}

int playBootAnnimation() { return playXyzAnnimation(); }
