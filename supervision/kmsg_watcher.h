// Kernel log watcher: records display under-run recoveries in "/usr/data/log"
// and ends the process, for a clean restart, when the kernel reports a
// failed allocation.
//
// Threading: handle_data_thread alone reads "/proc/kmsg" and writes the log
// file; it shares nothing with the other threads except stop_h264() and the
// process exit. The helpers below have no state and may run anywhere.
// Errors: the thread ends quietly (after perror) when the kernel log cannot
// be opened; an unwritable log file drops the entry; nothing else fails.
#pragma once

#include <cstdio>
#include <string>

// "[hh:mm:ss.mmm] message" from a kernel log line "<prio>[seconds] message"
// (hours not reduced modulo 24); a line not in that form is copied whole.
// At most 1023 bytes.
std::string format_kmsg_line(const char* line);

// Reads and drops the lines already waiting in the stream without blocking;
// returns how many there were. The descriptor's flags are restored.
int clear_kernel_messages(FILE* stream);

// What a kernel log line asks for.
enum class KmsgVerdict { kIgnore, kLogged, kExit };
// Handles one line (newline already cut): logs an under-run recovery, or
// reports a failed allocation.
KmsgVerdict handle_kmsg_line(const char* line);

// Thread entry; returns only when the kernel log cannot be opened.
void* handle_data_thread(void*);
