// The simulated panel: file names and the layout of the plane state.
//
// The daemon keeps fb0, fb1 and reserved memory in files under ROOT/sim/,
// mapped shared, and publishes the state of the planes in ROOT/sim/planes,
// a small mapped file of 32-bit words. panelsim reads these files while the
// daemon runs (or after it has gone) to show what the panel shows.
//
// Threading: inside the daemon one mutex serialises the writers. Readers in
// other processes use the sequence word: it is odd while a writer is in the
// middle of an update; a reader retries until it reads the same even value
// before and after copying. Every word is accessed with atomic builtins.
// Errors: functions return 0 / -1; nothing is printed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Device paths of the simulation files (resolved with dev_path()).
constexpr const char* sim_fb_files[2] = {"/sim/fb0", "/sim/fb1"};
constexpr const char* sim_rmem_file = "/sim/rmem";
constexpr const char* sim_state_file = "/sim/planes";
constexpr const char* sim_panel_file = "/sim/panel";
constexpr const char* sysfs_rotator_angle =
    "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle";
constexpr const char* sysfs_dump_dsi_reg =
    "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/dump_dsi_reg";

constexpr uint32_t sim_default_width = 1080;
constexpr uint32_t sim_default_height = 2400;
constexpr uint32_t sim_max_side = 8192;  // larger panel files are refused
constexpr uint32_t sim_fb_buffers = 2;   // buffers per plane, 32-bit pixels

// Reserved memory: physical address = offset in the file + base.
constexpr uint32_t sim_rmem_phys_base = 0x20000000;
constexpr uint32_t sim_rmem_size = 64u << 20;

struct SimPlane {
  uint32_t open;     // 1 while a descriptor of the plane is open
  uint32_t enabled;  // fb_enable / fb_disable
  uint32_t shown;    // buffer shown by the last pan
  uint32_t xres;     // geometry of the last open
  uint32_t yres;
  uint32_t line_length;
  uint32_t frame_size;
  uint32_t num_buffers;
};

struct SimPlaneState {
  uint32_t magic;    // sim_state_magic
  uint32_t version;  // sim_state_version
  uint32_t seq;      // even: consistent; odd: update in progress
  uint32_t updates;  // number of completed updates
  SimPlane plane[2];
  uint32_t fb0_user_cfg;  // 1: fb0 shows the user configuration
  uint32_t fb0_picture;   // 1: a user configuration has been shown
  uint32_t fb0_cfg[18];   // the user configuration being shown
};
constexpr uint32_t sim_state_magic = 0x4d495350;  // "PSIM"
constexpr uint32_t sim_state_version = 1;

// Reads ROOT/sim/planes (root: the real directory, not a device path) into
// *out, consistent with respect to the sequence word. -1 when the file is
// missing or not a plane state.
int sim_state_read(const std::string& root, SimPlaneState* out);

// The panel size from ROOT/sim/panel ("WIDTHxHEIGHT"), the default when the
// file is missing or holds nonsense.
void sim_panel_size(const std::string& panel_file, uint32_t* w, uint32_t* h);

// The simulated NAL-unit splitter's extras, for tests and fuzz targets only:
// bytes buffered, and releasing a splitter (the daemon keeps its own for life).
struct NaluBuf;
uint32_t nalu_buf_size(const NaluBuf* h);
void nalu_buf_free(NaluBuf* h);
