// panelctl subcommands.
//
// Each file of this folder adds its subcommands to the command line with
// PANELCTL_SUBCOMMANDS: a function that declares each one's arguments
// (CLI11) and what it runs. main.cpp parses, opens the line and runs the one
// chosen. A run returns the exit status: 0 success, 1 failure, 2 bad usage.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/hostlink/hostlink.h"

// Keys stay in the order they are written: people read the output too.
using Json = nlohmann::ordered_json;

struct Panelctl {
  hostlink::HostLink link;
  bool json = false;      // --json: one JSON object per result on stdout
  bool force = false;     // --force: send even what the checks refuse
  int timeout_ms = 5000;  // reply time-out
  std::string device;     // serial path
  // A progress line ("\r...") is on the terminal: a message first ends it.
  mutable bool progress_open = false;

  // Sends a command and waits for its reply; on failure reports the reason
  // (fail()) and returns false.
  bool command(uint8_t code, const std::vector<uint8_t>& params, hostlink::Packet* reply,
               const uint8_t* payload = nullptr, size_t payload_len = 0);
  // Prints a finished result: `text` for people, `obj` with --json.
  void result(const std::string& text, const Json& obj) const;
  // Reports a failure in one line ("panelctl: why" on stderr, or
  // {"error": why} on stdout with --json) and returns `status`.
  int fail(const std::string& why, int status = 1) const;
  // A note for people (stderr); silent with --json.
  void note(const std::string& text) const;
};

using RunFn = std::function<int(Panelctl&)>;
using SetupFn = void (*)(CLI::App& app);

struct SubcommandSetup {
  explicit SubcommandSetup(SetupFn fn);
};

#define PANELCTL_CAT2(a, b) a##b
#define PANELCTL_CAT(a, b) PANELCTL_CAT2(a, b)
#define PANELCTL_SUBCOMMANDS(fn) \
  static const SubcommandSetup PANELCTL_CAT(panelctl_setup_, __COUNTER__) { fn }

// What a subcommand runs once parsed, with the line open.
void on_run(CLI::App* sub, RunFn fn);
// The same for subcommands that need no device.
void on_run_offline(CLI::App* sub, RunFn fn);

// Subcommands that send one command and report its reply with `show`.
using ShowFn = std::function<void(const Panelctl&, const hostlink::Packet&)>;
// The command's parameter bytes, made when the subcommand runs (from its
// parsed arguments); none when empty.
using ParamsFn = std::function<std::vector<uint8_t>()>;
CLI::App* add_command(CLI::App& app, const char* name, const char* what, uint8_t code,
                      ParamsFn params, ShowFn show);
// The same for commands without reply data: reports "NAME: ok".
CLI::App* add_simple(CLI::App& app, const char* name, const char* what, uint8_t code,
                     ParamsFn params = nullptr);
// A setting of one byte: `NAME ARG` sends `code` with ARG (0..max) and
// reports "KEY ARG".
struct ByteSetting {
  const char* name;
  const char* what;
  uint8_t code;
  const char* arg;
  const char* arg_what;
  unsigned max;
  const char* key;
};
void add_byte_setting(CLI::App& app, const ByteSetting& s);
// An option checked against lo..hi whose help shows its default.
template <typename T, typename Bound>
CLI::Option* add_ranged(CLI::App* sub, const std::string& name, T& value, const std::string& what,
                        Bound lo, Bound hi) {
  return sub->add_option(name, value, what)->check(CLI::Range(lo, hi))->capture_default_str();
}

// The help of play's and stream's --rotation.
constexpr const char* kRotationHelp = "the panel's rotation code 0..3 (set with rotation)";

// Helpers for subcommands.
// Reads a whole file; false with "cannot read PATH: reason" in *why.
bool read_file(const std::string& path, std::vector<uint8_t>* out, std::string* why);
std::string hex_bytes(const uint8_t* p, size_t n);
// A byte option that takes decimal or 0x.. hex ("0x1e", "30").
CLI::Validator byte_value();
// Sends a PNG overlay frame (102): small at x, y, or full-screen.
int send_png_data(Panelctl& ctl, const std::vector<uint8_t>& data, const std::string& what,
                  unsigned x, unsigned y, bool small);

// Who paints the panel besides the host.
struct PanelOwners {
  bool clock = false, offline = false;  // standby screens
  bool local_video = false;
  bool standby() const { return clock || offline; }
};
// Asks with 52 and 112. 52 also asks a running standby screen to stop (on
// a panel that is the host's it changes nothing); a clock, which any packet
// dismisses, is waited for.
bool probe_owners(Panelctl& ctl, PanelOwners* owners);
// Before media goes out: 0 when the device will show `what`, else the
// reason reported (with the fix, `panelctl takeover`) and the exit status.
// `painted_over`: local video would hide it (JPEG frames). With --force the
// reason is only a warning.
int panel_ready(Panelctl& ctl, const std::string& what, bool painted_over);
