#include "protocol/command.h"

#include <cstdio>
#include <cstdlib>

#include "protocol/tty.h"

uint8_t* r_buf = nullptr;

namespace {
CommandHandler* table() {
  static CommandHandler handlers[256] = {};
  return handlers;
}
}  // namespace

CommandRegistration::CommandRegistration(uint8_t code, CommandHandler handler) {
  CommandHandler* t = table();
  if (t[code]) {
    fprintf(stderr, "command %d registered twice\n", code);
    abort();
  }
  t[code] = handler;
}

CommandHandler find_command(uint8_t code) { return table()[code]; }

bool Command::name(std::string* out) const {
  uint32_t n = be32(8);
  if (!has(16, n)) return false;
  out->assign(reinterpret_cast<const char*>(d_ + 16), n);
  return true;
}

int read_payload_in_parts(uint8_t* dst, uint32_t n, uint32_t cap, uint32_t part,
                          const std::function<void(uint32_t, uint32_t)>& landed) {
  if (n == 0) return 0;
  if (n > cap || part == 0) {
    drain_payload(n);
    return -1;
  }
  for (uint32_t got = 0; got < n;) {
    const uint32_t size = n - got < part ? n - got : part;
    const int rc = got == 0 ? uart_read(tty_fd, dst, size) : safe_read(tty_fd, dst + got, size);
    if (rc < 0) return -1;
    landed(got, size);
    got += size;
  }
  return static_cast<int>(n);
}

int drain_payload(uint32_t n) {
  while (n > 0) {
    uint32_t chunk = n < max_packet_len ? n : max_packet_len;
    if (uart_read(tty_fd, r_buf, chunk) < 0) return -1;
    n -= chunk;
  }
  return 0;
}

int read_payload(uint8_t* dst, uint32_t n, uint32_t cap) {
  if (n == 0) return 0;
  if (n > cap) {
    drain_payload(n);
    return -1;
  }
  if (uart_read(tty_fd, dst, n) < 0) return -1;
  return static_cast<int>(n);
}
