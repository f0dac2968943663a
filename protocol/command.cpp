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
