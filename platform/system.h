// System services of the board: device paths, the shell, the wall clock.
//
// Every absolute path the daemon opens (configuration, media, device nodes,
// sysfs and proc attributes, paths named by the host) goes through dev_path()
// or one of the open helpers below. On the board these are the identity; the
// simulated platform maps them under the device root. Callers keep device
// paths in their own state and resolve only at the system-call boundary.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cstdio>
#include <string>

// Called first thing in main(): makes stdout and stderr unbuffered and checks
// the platform. On failure it writes one line to stderr and exits with 2.
void platform_init();

// The real file-system path of a device path.
std::string dev_path(const char* path);
inline std::string dev_path(const std::string& path) { return dev_path(path.c_str()); }

int dev_open(const char* path, int flags, mode_t mode = 0);
FILE* dev_fopen(const char* path, const char* mode);
int dev_stat(const char* path, struct stat* st);
int dev_lstat(const char* path, struct stat* st);
int dev_access(const char* path, int mode);
int dev_remove(const char* path);

// Runs a command line through the system shell and waits for it; returns
// the shell's status as system() does.
int run_shell(const char* cmd);

// The device's wall clock. Every read and set of the system time goes here.
int platform_gettimeofday(struct timeval* tv);
// Sets the wall clock; 0 on success, -1 on failure (errno set).
int platform_settimeofday(const struct timeval* tv);
