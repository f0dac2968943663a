// panelsim subcommands: each file of this folder adds its own to the
// command line with PANELSIM_SUBCOMMANDS (a function that declares the
// arguments with CLI11 and what runs); main.cpp parses and runs the one
// chosen. A run returns the exit status: 0, 1 on a failure (one line on
// stderr), 2 on bad usage.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Files that only add init steps do without the command-line library.
namespace CLI {
class App;
class Validator;
}  // namespace CLI

using PanelsimSetupFn = void (*)(CLI::App& app);
struct PanelsimSetup {
  explicit PanelsimSetup(PanelsimSetupFn fn);
};
// What a subcommand runs once parsed.
void on_run(CLI::App* sub, std::function<int()> fn);

#define PANELSIM_CAT2(a, b) a##b
#define PANELSIM_CAT(a, b) PANELSIM_CAT2(a, b)
#define PANELSIM_SUBCOMMANDS(fn) \
  static const PanelsimSetup PANELSIM_CAT(panelsim_setup_, __COUNTER__) { fn }

// `panelsim init` runs every registered init step in order of their rank,
// each given the root; a step never overwrites a file that exists.
using InitStepFn = int (*)(const std::string& root);
struct InitStepRegistration {
  InitStepRegistration(int rank, const char* what, InitStepFn fn);
};
#define PANELSIM_INIT_STEP(rank, what, fn) \
  static const InitStepRegistration PANELSIM_CAT(panelsim_init_, __COUNTER__) { rank, what, fn }

// Helpers shared by the steps.
bool file_exists(const std::string& path);
bool make_dirs(const std::string& path);  // mkdir -p
bool write_file_if_missing(const std::string& path, const void* data, size_t n);

// `panelsim run` hands the master side of the microcontroller line to the
// simulated microcontroller, which sends its status frames until the run
// ends (settings under ROOT/sim/, changeable while it runs).
void mcu_feeder_start(const std::string& root, int master_fd);

// The simulated peripherals, for the subcommands and the live view. Each
// returns "" on success, else the reason.
std::string usb_set(const std::string& root, bool plugged);
// Applies "key=value" settings (temp, pump, suspend) to the stored ones;
// *now gets the resulting settings as text.
std::string mcu_set(const std::string& root, const std::vector<std::string>& settings,
                    std::string* now);
std::string kmsg_write(const std::string& root, const std::string& text);
// A CLI11 check of one microcontroller setting.
CLI::Validator mcu_setting();
