// panelsim subcommands: each file of this folder registers its own with
// PANELSIM_SUBCOMMAND; main.cpp dispatches on the first argument.
#pragma once

#include <string>
#include <vector>

using PanelsimFn = int (*)(const std::vector<std::string>& args);

struct PanelsimRegistration {
  PanelsimRegistration(const char* name, const char* usage, PanelsimFn fn);
};

#define PANELSIM_CAT2(a, b) a##b
#define PANELSIM_CAT(a, b) PANELSIM_CAT2(a, b)
#define PANELSIM_SUBCOMMAND(name, usage, fn) \
  static const PanelsimRegistration PANELSIM_CAT(panelsim_reg_, __LINE__) { name, usage, fn }

// `panelsim init` runs every registered init step in order of their rank,
// each given the root; a step never overwrites a file that exists.
using InitStepFn = int (*)(const std::string& root);
struct InitStepRegistration {
  InitStepRegistration(int rank, const char* what, InitStepFn fn);
};
#define PANELSIM_INIT_STEP(rank, what, fn) \
  static const InitStepRegistration PANELSIM_CAT(panelsim_init_, __LINE__) { rank, what, fn }

// Helpers shared by the steps.
bool file_exists(const std::string& path);
bool make_dirs(const std::string& path);  // mkdir -p
bool write_file_if_missing(const std::string& path, const void* data, size_t n);

// `panelsim run` hands the master side of the microcontroller line to the
// simulated microcontroller, which sends its status frames until the run
// ends (settings under ROOT/sim/, changeable while it runs).
void mcu_feeder_start(const std::string& root, int master_fd);
