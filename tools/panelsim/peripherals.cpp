// The simulated peripherals around the daemon: the cooler's microcontroller
// (status frames on the ttyS5 pty during `panelsim run`, settings changed
// with `panelsim mcu`; `silent=1` stops the frames, as a microcontroller
// that hangs or loses its line would) and the kernel log (`panelsim kmsg`).
//
// The feeder thread owns the master side of the microcontroller pty for the
// run; the settings travel through ROOT/sim/mcu, replaced whole by each
// `panelsim mcu`, so the feeder never reads a half-written file.
// Subcommands return 0, 1 on a failure (with a line on stderr) or 2 on a
// usage error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tools/panelsim/panelsim.h"

namespace {

struct McuSettings {
  long temp = 30;
  long pump = 1500;
  long suspend = 0;
  long silent = 0;  // 1: no frames at all
};

std::string settings_path(const std::string& root) { return root + "/sim/mcu"; }

// Parses "key=value" into the matching field within its range; false when
// the word is not one of the settings or the value does not fit.
bool apply_setting(const std::string& word, McuSettings* s) {
  size_t eq = word.find('=');
  if (eq == std::string::npos) return false;
  std::string key = word.substr(0, eq), val = word.substr(eq + 1);
  char* end = nullptr;
  errno = 0;
  long v = strtol(val.c_str(), &end, 10);
  if (val.empty() || *end || errno) return false;
  if (key == "temp" && v >= 0 && v <= 255) {
    s->temp = v;
  } else if (key == "pump" && v >= 0 && v <= 65535) {
    s->pump = v;
  } else if (key == "suspend" && v >= 0 && v <= 255) {
    s->suspend = v;
  } else if (key == "silent" && v >= 0 && v <= 1) {
    s->silent = v;
  } else {
    return false;
  }
  return true;
}

// The settings file, or the defaults where it is missing or unreadable.
McuSettings load_settings(const std::string& root) {
  McuSettings s;
  FILE* f = fopen(settings_path(root).c_str(), "r");
  if (!f) return s;
  char word[64];
  while (fscanf(f, "%63s", word) == 1) apply_setting(word, &s);
  fclose(f);
  return s;
}

bool save_settings(const std::string& root, const McuSettings& s) {
  std::string path = settings_path(root), tmp = path + ".tmp";
  make_dirs(root + "/sim");
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return false;
  fprintf(f, "temp=%ld\npump=%ld\nsuspend=%ld\n", s.temp, s.pump, s.suspend);
  if (s.silent) fprintf(f, "silent=%ld\n", s.silent);  // the usual file keeps its three lines
  bool ok = fclose(f) == 0;
  return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

void make_frame(const McuSettings& s, uint8_t frame[16]) {
  memset(frame, 0, 16);
  frame[0] = 0xAA;
  frame[1] = 0x55;
  frame[2] = static_cast<uint8_t>(s.temp);
  frame[3] = static_cast<uint8_t>(s.pump >> 8);
  frame[4] = static_cast<uint8_t>(s.pump & 0xFF);
  frame[5] = static_cast<uint8_t>(s.suspend);
}

// Writes the whole frame: the master is non-blocking, and a frame cut in two
// would shift the daemon's framing, so a full queue is waited out.
void send_frame(int fd, const uint8_t* frame) {
  size_t done = 0;
  for (int tries = 0; done < 16 && tries < 200; tries++) {
    ssize_t n = write(fd, frame + done, 16 - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

void setup_peripherals(CLI::App& app) {
  static std::string root, line;
  static std::vector<std::string> settings;
  auto* m = app.add_subcommand("mcu", "show or change the microcontroller readings");
  m->add_option("ROOT", root, "device root")->required();
  m->add_option("SETTING", settings, "temp=0..255 pump=0..65535 suspend=0|1 silent=0|1")
      ->check(mcu_setting());
  on_run(m, [] {
    std::string now, why = mcu_set(root, settings, &now);
    if (!why.empty()) {
      fprintf(stderr, "panelsim mcu: %s\n", why.c_str());
      return 1;
    }
    printf("%s\n", now.c_str());
    return 0;
  });

  auto* k = app.add_subcommand("kmsg", "write one kernel log line into ROOT/proc/kmsg");
  k->add_option("ROOT", root, "device root")->required();
  k->add_option("LINE", line, "the line, e.g. '<6>[5.5] text'")->required();
  on_run(k, [] {
    std::string why = kmsg_write(root, line);
    if (why.empty()) return 0;
    fprintf(stderr, "panelsim kmsg: %s\n", why.c_str());
    return 1;
  });
}
PANELSIM_SUBCOMMANDS(setup_peripherals);

int init_mcu(const std::string& root) {
  if (!make_dirs(root + "/sim")) return -1;
  McuSettings s;
  char text[64];
  int n =
      snprintf(text, sizeof text, "temp=%ld\npump=%ld\nsuspend=%ld\n", s.temp, s.pump, s.suspend);
  return write_file_if_missing(settings_path(root), text, static_cast<size_t>(n)) ? 0 : -1;
}
PANELSIM_INIT_STEP(40, "microcontroller settings", init_mcu);

}  // namespace

void mcu_feeder_start(const std::string& root, int master_fd) {
  std::thread([root, master_fd] {
    for (;;) {
      const McuSettings s = load_settings(root);
      uint8_t frame[16];
      make_frame(s, frame);
      if (!s.silent) send_frame(master_fd, frame);
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }).detach();
}

CLI::Validator mcu_setting() {
  return CLI::Validator(
      [](std::string& word) -> std::string {
        McuSettings s;
        return apply_setting(word, &s) ? "" : "bad setting '" + word + "'";
      },
      "KEY=N");
}

std::string mcu_set(const std::string& root, const std::vector<std::string>& settings,
                    std::string* now) {
  McuSettings s = load_settings(root);
  for (auto& word : settings)
    if (!apply_setting(word, &s)) return "bad setting '" + word + "'";
  if (!settings.empty() && !save_settings(root, s))
    return "cannot write " + settings_path(root) + ": " + strerror(errno);
  *now = "temp=" + std::to_string(s.temp) + " pump=" + std::to_string(s.pump) +
         " suspend=" + std::to_string(s.suspend);
  if (s.silent) *now += " silent=1";
  return "";
}

std::string kmsg_write(const std::string& root, const std::string& text) {
  std::string path = root + "/proc/kmsg";
  std::string line = text;
  if (line.empty() || line.back() != '\n') line += '\n';
  struct stat st;
  bool fifo = stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
  // A FIFO (during `panelsim run`) is written without waiting for a reader;
  // otherwise the line is appended to the plain file.
  int fd = fifo ? open(path.c_str(), O_WRONLY | O_NONBLOCK)
                : open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd < 0)
    return path + ": " + (fifo && errno == ENXIO ? "nobody reads the kernel log" : strerror(errno));
  ssize_t n = write(fd, line.data(), line.size());
  int err = errno;
  close(fd);
  if (n != static_cast<ssize_t>(line.size()))
    return path + ": " + (n < 0 ? strerror(err) : "line cut short");
  return "";
}
