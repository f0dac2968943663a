// File helpers behind the host's file commands: upload, small files,
// deletion, size, listing and the SD card's storage figures.
//
// Threading: everything runs on the command-loop thread, except `storage`,
// which the slideshow thread reads (SharedWord, no lock).
// Errors: functions return 0 / -1 (drop_pages_cache: 0 / 1) and print their
// own failure line; none of them ends the daemon. All paths are device paths
// and are resolved through platform/system.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/word.h"

constexpr uint32_t kDirResultLen = 10240;  // listing text buffer
constexpr uint32_t kDirListMax = 512;      // a name list stays below this many characters
constexpr size_t kFilePathMax = 256;       // buffer of a child path (incl. NUL)

// Storage figures in KiB: total, used, available, then three words that stay 0.
extern SharedWord<uint32_t> storage[6];

// Writes size bytes in one write. A chunk that is not the last starts its
// own way to storage and waits until every earlier byte of the file is
// there; the last one (last == 1) makes the whole file durable (fsync),
// closes the stream, syncs and drops the page cache. Returns 0, or -1 when
// the write fell short (the stream is still closed on the last chunk).
int save_file(FILE* fp, const uint8_t* buf, uint32_t size, int last);
// Creates or truncates path and writes size bytes; 0, or -1 when the file
// cannot be opened or written.
int save_small_file(const char* path, const uint8_t* buf, uint32_t size);
// Asks the kernel to drop clean page-cache pages; 0, or 1 on any failure.
int drop_pages_cache();
// Removes path when it is a regular file, or every regular file below it
// when it is a directory (directories and symbolic links stay).
void DeleteFile(const char* path);
// dir + "/" + name into out (no doubled "/"); 0, or -1 when it would not fit
// in out_len bytes (out is then an empty string).
int Getfilepath(const char* dir, const char* name, char* out, size_t out_len = kFilePathMax);
// Size of the file behind path (links followed), or 0.
uint32_t GetFileSize(const char* path);
// Writes the listing text of path into out (out_len bytes, NUL-terminated);
// creates the directory when it is missing.
void GetDir(const char* path, char* out, size_t out_len = kDirResultLen);
// Refreshes storage[0..2] from the SD card's file system.
void QuerryStorage();
