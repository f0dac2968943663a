// System-test harness: a temporary device root, the real daemon on ptys,
// and the host side of the protocol.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/hostlink/hostlink.h"

namespace harness {

// Directory of the built tools (build/paneld, build/panelctl, build/panelsim).
std::string build_dir();

// How much longer everything takes than on the machine itself: 1 there, more
// for a build whose programs run under an emulator (set by the build;
// the environment variable PANELD_TIME_FACTOR overrides it). Waits for
// events and the time margins of timing checks are multiplied by it, here
// and in the tests' own polling helpers; nothing else changes.
double time_factor();
// ms multiplied by time_factor().
int scaled(int ms);

// Calls `cond` every step_ms until it holds (true) or timeout_ms (scaled)
// have passed (false).
bool wait_until(const std::function<bool()>& cond, int timeout_ms, int step_ms = 20);

// Runs a command line through /bin/sh; returns its exit status and, when
// `out` is given, its standard output.
int run(const std::string& cmdline, std::string* out = nullptr);
// The ffmpeg tool, quiet, overwriting its output: as run().
int ffmpeg(const std::string& args, std::string* out = nullptr);
// Number of times `what` occurs in `text`.
int count(const std::string& text, const std::string& what);
// A file's whole content (empty when missing), as text or as bytes.
std::string read_file(const std::string& path);
std::vector<uint8_t> read_bytes(const std::string& path);
// Share of one core the process used over the next `ms` milliseconds.
double cpu_share(pid_t pid, int ms);

// A device root in a fresh temporary directory, removed on destruction.
class DeviceRoot {
 public:
  // init: run `panelsim init` on it; otherwise only the empty folder.
  // parent: the directory the temporary one is made in.
  explicit DeviceRoot(bool init = true, const std::string& parent = "/tmp");
  ~DeviceRoot();
  DeviceRoot(const DeviceRoot&) = delete;
  DeviceRoot& operator=(const DeviceRoot&) = delete;

  const std::string& path() const { return path_; }
  // Real path of a device path ("/usr/data/app.cfg" -> ROOT/usr/data/app.cfg).
  std::string file(const std::string& device_path) const;
  bool exists(const std::string& device_path) const;
  std::string read(const std::string& device_path) const;                        // "" when missing
  void write(const std::string& device_path, const std::string& content) const;  // makes parents
  void remove(const std::string& device_path) const;

 private:
  std::string path_;
};

// "/usr/data/app.cfg" out of test mode, brightness 60, the default video.
void write_settings(const DeviceRoot& root, uint8_t mode = 0, uint8_t clock_enable = 0,
                    uint8_t warn_enable = 1);

// The real daemon, started on ptys in a device root, killed on destruction,
// when a sanitizer finding in its output fails the test. The constructor
// waits until the daemon has opened the host line: opening it discards
// whatever was sent before, as on the board.
class Daemon {
 public:
  // kmsg_fifo: make /proc/kmsg a FIFO held open by the harness.
  explicit Daemon(const DeviceRoot& root, bool kmsg_fifo = true);
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Host side of the host line.
  hostlink::HostLink& host() { return *host_; }
  // Sends a command and waits for the reply; false on time-out.
  bool command(uint8_t code, const std::vector<uint8_t>& params, hostlink::Packet* reply,
               const std::vector<uint8_t>& payload = {}, int timeout_ms = 5000);
  // Master side of the microcontroller line.
  int mcu_fd() const { return mcu_master_; }
  // Writes a line into the kernel log FIFO.
  void kmsg(const std::string& line);

  // Everything the daemon wrote to stdout and stderr so far, in order.
  std::string log() const;
  // Waits until the output contains `text` (counted from `from`, a position
  // in log()); true when seen within timeout_ms.
  bool wait_log(const std::string& text, int timeout_ms = 5000, size_t from = 0) const;
  // Number of times `text` occurs in the output.
  int count_log(const std::string& text) const;

  pid_t pid() const { return pid_; }
  // Command 52 until both standby screens report "not running" (0xFF);
  // painters take long to leave in the sanitizer builds.
  bool stop_standby(int timeout_ms = 20000);
  bool running();
  // Waits for the process to end; its exit status, or -1 on time-out.
  int wait_exit(int timeout_ms);

 private:
  const DeviceRoot& root_;
  pid_t pid_ = -1;
  int host_master_ = -1, host_slave_ = -1;
  int mcu_master_ = -1, mcu_slave_ = -1;
  int kmsg_fd_ = -1;
  int exit_status_ = -1;
  bool exited_ = false;
  std::string log_path_;
  hostlink::HostLink* host_ = nullptr;
};

// `panelsim COMMAND ROOT OPTIONS...` in the background for the life of the
// object, as a person runs it; a sanitizer finding in its output fails the
// test. `run` is ready once the host line ROOT/host/ttyGS0 appears.
class SimRun {
 public:
  explicit SimRun(const DeviceRoot& root, const std::string& command = "run",
                  const std::vector<std::string>& options = {});
  ~SimRun();
  SimRun(const SimRun&) = delete;
  SimRun& operator=(const SimRun&) = delete;

  // Runs panelctl on the host line; returns its stdout. Its stderr goes to
  // *err when given, else it is appended to the returned text.
  std::string ctl(const std::string& args, int* status, std::string* err = nullptr) const;
  // Everything `panelsim run` and the daemon wrote so far.
  std::string log() const;
  pid_t pid() const { return pid_; }

 private:
  const DeviceRoot& root_;
  std::string log_path_;
  pid_t pid_ = -1;
};

// The overlay plane read straight from the simulation files: fast enough to
// catch each flip, even in a sanitizer build.
struct Overlay {
  const DeviceRoot& root;
  int shown() const;                               // the buffer shown now
  uint32_t pixel(int buffer, int x, int y) const;  // ARGB
  uint32_t shown_pixel(int x, int y) const { return pixel(shown(), x, y); }
};

// Snapshot of the panel through `panelsim snapshot`, decoded to RGBA.
struct Image {
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;  // width * height * 4
  const uint8_t* at(int x, int y) const { return &rgba[(size_t(y) * width + x) * 4]; }
  uint32_t argb(int x, int y) const {
    const uint8_t* p = at(x, y);
    return uint32_t(p[3]) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
  }
};
bool snapshot(const DeviceRoot& root, const std::string& layer, Image* out);
// A PNG file decoded to RGBA.
bool read_png(const std::string& path, Image* out);
// The JSON text of `panelsim snapshot ROOT --state`.
std::string snapshot_state(const DeviceRoot& root);

}  // namespace harness
