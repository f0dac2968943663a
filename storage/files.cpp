// File helpers: durable writes, recursive deletion, sizes, listings and the
// SD card's storage figures.
//
// Threading: the command-loop thread calls everything here; the slideshow
// thread reads `storage` (SharedWord). Errors: 0 / -1 returns (1 for
// drop_pages_cache) plus one printed line; a failure never ends the daemon.
// Host paths are device paths: every system call goes through dev_path().
#include "storage/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/system.h"

SharedWord<uint32_t> storage[6];

namespace {

constexpr const char* kCardMount = "/tmp/sdcard/mmcblk0p1";
constexpr const char* kDropCaches = "/proc/sys/vm/drop_caches";

// The empty name is no file at all, as on the board; the device root must
// never stand in for it.
bool named(const char* path) { return path && *path; }

// Appends s to out (capacity cap, NUL-terminated); false when it did not fit.
bool append(char* out, size_t cap, size_t* len, const char* s) {
  size_t n = strlen(s);
  if (*len + n >= cap) return false;
  memcpy(out + *len, s, n + 1);
  *len += n;
  return true;
}

// Entry kind without following a link; d_type when the file system gives it.
bool is_dir_entry(const char* dir, const struct dirent* e) {
  if (e->d_type != DT_UNKNOWN) return e->d_type == DT_DIR;
  std::string p = dev_path(dir) + "/" + e->d_name;
  struct stat st;
  return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The whole block in one write, unless the kernel takes less at a time.
bool write_all(int fd, const uint8_t* buf, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, buf, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buf += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int save_file(FILE* fp, const uint8_t* buf, uint32_t size, int last) {
  if (!fp) return -1;
  int ret = 0;
  // Whatever the stream may hold goes first; the chunk itself bypasses it.
  if (fflush(fp) != 0) ret = -1;
  const int fd = fileno(fp);
  const off_t at = lseek(fd, 0, SEEK_CUR);
  if (!write_all(fd, buf, size)) ret = -1;
  if (last == 1) {
    if (fsync(fd) != 0) ret = -1;
    fputs("close file", stdout);
    if (fclose(fp) != 0) ret = -1;
    sync();
    drop_pages_cache();
  } else if (at >= 0) {
    // Storage works on this chunk while the line carries the next one; the
    // reply waits only for the chunks before it. A blocking flush here
    // would leave the line idle for as long as the storage takes.
    sync_file_range(fd, at, size, SYNC_FILE_RANGE_WRITE);
    if (at > 0)
      sync_file_range(
          fd, 0, at,
          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  } else {
    fsync(fd);
  }
  return ret;
}

int save_small_file(const char* path, const uint8_t* buf, uint32_t size) {
  FILE* fp = named(path) ? dev_fopen(path, "w+") : nullptr;
  if (!fp) {
    int err = named(path) ? errno : ENOENT;
    printf("errno:%d  %s\n", err, strerror(err));
    return -1;
  }
  int ret = 0;
  if (size > 0 && fwrite(buf, size, 1, fp) != 1) ret = -1;
  if (fflush(fp) != 0) ret = -1;
  if (ret != 0) printf("errno:%d  %s\n", errno, strerror(errno));
  sync();
  if (fclose(fp) != 0) ret = -1;
  return ret;
}

int drop_pages_cache() {
  FILE* fp = dev_fopen(kDropCaches, "w");
  if (!fp) {
    perror("Failed to open file");
    return 1;
  }
  if (fputs("1\n", fp) < 0 || fflush(fp) != 0) {
    perror("Failed to write to file");
    fclose(fp);
    return 1;
  }
  if (fclose(fp) != 0) {
    perror("Failed to close file");
    return 1;
  }
  return 0;
}

int Getfilepath(const char* dir, const char* name, char* out, size_t out_len) {
  size_t dl = strlen(dir);
  size_t nl = strlen(name);
  bool slash = dl == 0 || dir[dl - 1] != '/';
  size_t need = dl + (slash ? 1 : 0) + nl + 1;
  if (need > out_len) {
    if (out_len > 0) out[0] = '\0';
    printf("path too long, skipped: %s/%s\n", dir, name);
    return -1;
  }
  memcpy(out, dir, dl);
  size_t pos = dl;
  if (slash) out[pos++] = '/';
  memcpy(out + pos, name, nl + 1);
  printf("path is = %s\n", out);
  return 0;
}

void DeleteFile(const char* path) {
  struct stat st;
  if (!named(path) || dev_lstat(path, &st) != 0) return;
  if (S_ISREG(st.st_mode)) {
    dev_remove(path);
  } else if (S_ISDIR(st.st_mode)) {
    DIR* d = opendir(dev_path(path).c_str());
    if (!d) return;
    char child[kFilePathMax];
    while (struct dirent* e = readdir(d)) {
      // Entries whose path does not fit are left alone; the rest still goes.
      if (Getfilepath(path, e->d_name, child) != 0) continue;
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      DeleteFile(child);
    }
    closedir(d);
  }
  // Links, devices, pipes and sockets stay.
  sync();
}

uint32_t GetFileSize(const char* path) {
  struct stat st;
  if (!named(path) || dev_stat(path, &st) != 0) {
    puts("get file size failed");
    return 0;
  }
  // The reply has 32 bits; a larger file reads as the largest size, not a wrapped one.
  if (static_cast<unsigned long long>(st.st_size) > 0xFFFFFFFFull) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(st.st_size);
}

void GetDir(const char* path, char* out, size_t out_len) {
  if (out_len == 0) return;
  out[0] = '\0';
  size_t len = 0;
  append(out, out_len, &len, "result:");
  DIR* d = named(path) ? opendir(dev_path(path).c_str()) : nullptr;
  if (!d) {
    if (!named(path)) errno = ENOENT;
    perror("Open dir error...");
    append(out, out_len, &len, "nodir");
    bool made = named(path) && mkdir(dev_path(path).c_str(), 0755) == 0;
    append(out, out_len, &len, made ? "-createdone" : "-createfailed");
    return;
  }
  // Each list stays below kDirListMax characters (names with their "/").
  char dirs[4 + kDirListMax] = "dir:";
  char files[5 + kDirListMax] = "file:";
  size_t dirs_len = 4, files_len = 5;
  uint32_t dir_total = 0, file_total = 0;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    uint32_t n = static_cast<uint32_t>(strlen(e->d_name)) + 1;
    if (is_dir_entry(path, e)) {
      dir_total += n;
      if (dir_total < kDirListMax) {
        printf("dir:%s\n", e->d_name);
        append(dirs, sizeof dirs, &dirs_len, e->d_name);
        append(dirs, sizeof dirs, &dirs_len, "/");
      }
    } else {
      file_total += n;
      if (file_total < kDirListMax) {
        printf("file:%s\n", e->d_name);
        append(files, sizeof files, &files_len, e->d_name);
        append(files, sizeof files, &files_len, "/");
      }
    }
  }
  append(out, out_len, &len, dirs);
  append(out, out_len, &len, files);
  closedir(d);
  puts(out);
}

void QuerryStorage() {
  struct statvfs sv;
  if (statvfs(dev_path(kCardMount).c_str(), &sv) != 0) {
    perror("statvfs failed");
    return;
  }
  uint64_t total = static_cast<uint64_t>(sv.f_frsize) * sv.f_blocks / 1024;
  uint64_t avail = static_cast<uint64_t>(sv.f_frsize) * sv.f_bavail / 1024;
  storage[0].store(static_cast<uint32_t>(total));
  storage[1].store(static_cast<uint32_t>(total - avail));
  storage[2].store(static_cast<uint32_t>(avail));
}
