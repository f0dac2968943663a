// The command interface between the command loop and the subsystems.
//
// Threading: everything here runs on the command-loop thread only.
// A handler gets the decrypted command through a bounds-checked reader and
// the zeroed reply buffer; it writes reply data from byte 8 on. The loop
// writes the reply header afterwards and sends the reply unless the handler
// changed the reply mode. Handlers register themselves with
// PANELD_COMMAND(code, function) in their own source file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t cmd_len = 512;               // command and reply packet size
constexpr size_t des_len = 504;               // encrypted prefix of a command packet
constexpr uint32_t max_packet_len = 2097152;  // size of r_buf

// Receive buffer: each command packet and each bulk payload lands here.
extern uint8_t* r_buf;

// A decrypted, validated command. Every read is bounds-checked: a field
// that lies outside the command reads as 0 (see has()).
class Command {
 public:
  Command(const uint8_t* data, size_t len) : d_(data), len_(len) {}
  uint8_t code() const { return u8(0); }
  size_t size() const { return len_; }
  const uint8_t* data() const { return d_; }
  bool has(size_t off, size_t n) const { return off <= len_ && n <= len_ - off; }
  uint8_t u8(size_t off) const { return has(off, 1) ? d_[off] : 0; }
  uint16_t be16(size_t off) const {
    return has(off, 2) ? static_cast<uint16_t>(d_[off] << 8 | d_[off + 1]) : 0;
  }
  uint32_t be32(size_t off) const {
    return has(off, 4) ? (uint32_t(d_[off]) << 24 | uint32_t(d_[off + 1]) << 16 |
                          uint32_t(d_[off + 2]) << 8 | uint32_t(d_[off + 3]))
                       : 0;
  }
  // The name field of the commands that carry a path: length in bytes 8..11,
  // bytes from 16 on. False (and out untouched) when the name would reach
  // beyond the command.
  bool name(std::string* out) const;

 private:
  const uint8_t* d_;
  size_t len_;
};

enum class ReplyMode {
  Normal,  // header + data, sent by the loop
  Raw,     // the 512 bytes as the handler left them, no header (listing pager)
  None,    // nothing is sent (exit)
};

struct Reply {
  uint8_t* data;  // cmd_len bytes, zeroed before the handler runs
  ReplyMode mode = ReplyMode::Normal;
};

using CommandHandler = void (*)(const Command&, Reply&);

struct CommandRegistration {
  CommandRegistration(uint8_t code, CommandHandler handler);
};

#define PANELD_COMMAND_CAT2(a, b) a##b
#define PANELD_COMMAND_CAT(a, b) PANELD_COMMAND_CAT2(a, b)
// Registers `fn` for command `code`; a code registered twice aborts start-up.
#define PANELD_COMMAND(code, fn) \
  static const CommandRegistration PANELD_COMMAND_CAT(command_reg_, __LINE__) { code, fn }

// The handler for a code, or null.
CommandHandler find_command(uint8_t code);

// Bulk payloads. Both read from the host line on the command-loop thread.
// read_payload: reads n bytes into dst when n <= cap; otherwise reads the n
// bytes off the line and drops them, so the link stays in step. Returns n
// on success, -1 when the payload was refused or did not arrive completely.
// n == 0 reads nothing and returns 0.
int read_payload(uint8_t* dst, uint32_t n, uint32_t cap);
// Reads n bytes off the line and drops them. 0, or -1 when they did not arrive.
int drain_payload(uint32_t n);
