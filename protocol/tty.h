// Serial port layer: the only code that touches a serial device.
//
// Each line is used by exactly one thread (the host line by the command
// loop, the microcontroller line by its own thread); the functions keep no
// shared state. Every failure is one fixed line on stderr and a -1 result;
// nothing here retries.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/word.h"

// Descriptor of the host line; -1 after a failed open.
extern SharedWord<int> tty_fd;

int uart_open(const char* pathname);
int uart_config(int fd, int baud, char flow, int bits, char parity, int stop);
int safe_read(int fd, uint8_t* buf, size_t len);
int safe_write(int fd, const uint8_t* buf, size_t len);
// Waits up to 15 s for the first byte, then reads exactly len bytes; each
// gap of 2.0 s ends the read with a failure.
int uart_read(int fd, uint8_t* buf, size_t len);
int uart_close(int fd);
// Opens `path` at 115200 baud, 8N1, no flow control: the descriptor, or -1
// after `open_failed` (or the configure line) on stderr, nothing left open.
int open_line(const char* path, const char* open_failed);
// Opens and configures the host line "/dev/ttyGS0" into tty_fd.
int init_tty();
