// panelctl subcommands.
//
// Each file of this folder registers its subcommands with
// PANELCTL_SUBCOMMAND; main.cpp parses the global options, opens the line
// and runs the chosen subcommand.
#pragma once

#include <string>
#include <vector>

#include "tools/hostlink/hostlink.h"

struct Panelctl {
  hostlink::HostLink link;
  bool json = false;      // --json: one JSON object per result on stdout
  int timeout_ms = 5000;  // reply time-out
  std::string device;     // serial path

  // Sends a command and waits for its reply; on failure prints the one-line
  // reason to stderr and returns false.
  bool command(uint8_t code, const std::vector<uint8_t>& params, hostlink::Packet* reply,
               const uint8_t* payload = nullptr, size_t payload_len = 0);
  // Prints a finished result: `text` for people, `json_obj` (a JSON object)
  // with --json.
  void result(const std::string& text, const std::string& json_obj) const;
};

// Returns the exit status (0 success). args holds the arguments after the
// subcommand name.
using SubcommandFn = int (*)(Panelctl& ctl, const std::vector<std::string>& args);

struct SubcommandRegistration {
  SubcommandRegistration(const char* name, const char* usage, SubcommandFn fn);
};

#define PANELCTL_CAT2(a, b) a##b
#define PANELCTL_CAT(a, b) PANELCTL_CAT2(a, b)
#define PANELCTL_SUBCOMMAND(name, usage, fn) \
  static const SubcommandRegistration PANELCTL_CAT(panelctl_reg_, __LINE__) { name, usage, fn }

// Helpers for subcommands.
bool parse_uint(const std::string& s, unsigned long* out);
bool read_file(const std::string& path, std::vector<uint8_t>* out);
std::string json_escape(const std::string& s);
std::string hex_bytes(const uint8_t* p, size_t n);
