// The host side of the command protocol, shared by panelctl, panelsim and
// the tests: builds encrypted command packets, opens a serial line in raw
// mode, sends commands and bulk payloads, and waits for replies.
//
// Not thread-safe per line; use one HostLink per thread. The protocol is
// described in docs/protocol.md; panelhost.h is the installable C API.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hostlink {

using Packet = std::array<uint8_t, 512>;

// Plaintext command: code, magic bytes, request tag and parameters. Bytes 8
// onward are `params`; the plaintext is padded with zeros to `plain_len`
// (496..503) and then PKCS#5-padded to 504 bytes before encryption.
Packet make_packet(uint8_t code, const std::vector<uint8_t>& params, uint32_t tag = 0x01020304,
                   size_t plain_len = 503);
// Encrypts any 504-byte plaintext (tests use this for malformed commands).
Packet encrypt_raw(const uint8_t* plain504);

// Parameter builders (big-endian, as the protocol wants).
void put_be32(std::vector<uint8_t>& v, size_t off, uint32_t x);
void put_be16(std::vector<uint8_t>& v, size_t off, uint16_t x);
// Parameters of the commands that carry a name: length at bytes 8..11, the
// name from byte 16; `extra` is written at bytes 12..15.
std::vector<uint8_t> name_params(const std::string& name, uint32_t extra = 0);

uint32_t le32(const uint8_t* p);
uint32_t be32(const uint8_t* p);
// A reply byte that carries a signed value (the screens' states: -1 is
// 0xFF).
inline int signed_byte(uint8_t b) { return b < 128 ? b : b - 256; }

class HostLink {
 public:
  HostLink() = default;
  explicit HostLink(int fd) : fd_(fd), own_(false) {}
  ~HostLink();
  HostLink(const HostLink&) = delete;
  HostLink& operator=(const HostLink&) = delete;

  // Opens a serial path (pty or tty), raw, 115200 8N1. False with error().
  bool open(const std::string& path);
  int fd() const { return fd_; }
  const std::string& error() const { return err_; }

  bool send_bytes(const uint8_t* p, size_t n);
  bool send_packet(const Packet& p) { return send_bytes(p.data(), p.size()); }
  // Waits up to timeout_ms for exactly n bytes.
  bool recv_bytes(uint8_t* p, size_t n, int timeout_ms);
  // Drops whatever is waiting on the line.
  void drain();

  // Sends one command (and its bulk payload) and waits for the 512-byte
  // reply. False when no complete reply came within timeout_ms.
  bool command(uint8_t code, const std::vector<uint8_t>& params, Packet* reply,
               const uint8_t* payload = nullptr, size_t payload_len = 0, int timeout_ms = 5000);
  // The two halves of command(), for hosts that do other work while the
  // device carries out a command: send_command sends the packet (next
  // request tag) and its payload; reply waits for the 512-byte reply.
  bool send_command(uint8_t code, const std::vector<uint8_t>& params,
                    const uint8_t* payload = nullptr, size_t payload_len = 0);
  bool reply(Packet* out, int timeout_ms = 5000);
  // Sends a command that expects no reply (exit).
  bool command_no_reply(uint8_t code, const std::vector<uint8_t>& params);

 private:
  int fd_ = -1;
  bool own_ = true;
  std::string err_;
  uint32_t tag_ = 0x10000000;
};

}  // namespace hostlink
