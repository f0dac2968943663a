// System services on the board: device paths are the real ones, the shell
// and the wall clock are the system's own.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/system.h"

void platform_init() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

std::string dev_path(const char* path) { return path ? std::string(path) : std::string(); }

int dev_open(const char* path, int flags, mode_t mode) { return open(path, flags, mode); }
FILE* dev_fopen(const char* path, const char* mode) { return fopen(path, mode); }
int dev_stat(const char* path, struct stat* st) { return stat(path, st); }
int dev_lstat(const char* path, struct stat* st) { return lstat(path, st); }
int dev_access(const char* path, int mode) { return access(path, mode); }
int dev_remove(const char* path) { return remove(path); }

int run_shell(const char* cmd) { return system(cmd); }

int platform_gettimeofday(struct timeval* tv) { return gettimeofday(tv, nullptr); }
int platform_settimeofday(const struct timeval* tv) { return settimeofday(tv, nullptr); }
