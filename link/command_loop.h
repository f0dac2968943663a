// One pass of the command loop, in two steps: take a packet off the host
// line, then run the command it carries. The daemon's loop (main.cpp)
// reopens the line when a read fails; a harness can drive the same steps.
//
// Threading: the command-loop thread only.
#pragma once

#include <cstdint>
#include <vector>

enum class PacketRead {
  Command,  // a validated command is in *cmd
  Dropped,  // a packet arrived but failed the trailer, decryption or magic check
  Failed,   // the line gave no whole packet (time-out, gap, error)
};

// Reads one 512-byte packet into r_buf and validates it.
PacketRead read_command(std::vector<uint8_t>* cmd);
// Runs a validated command and sends its reply (cmd_len bytes of `reply`).
void handle_command(const std::vector<uint8_t>& cmd, uint8_t* reply);
