// Simulated system services: the device root, the shell log, the clock offset.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/system.h"

namespace {

std::string g_root;                        // set once by platform_init
std::atomic<long long> g_clock_offset{0};  // seconds added to the machine's clock
std::mutex g_shell_mutex;

std::string root() {
  if (g_root.empty()) {
    // Tools and tests may resolve paths without platform_init().
    const char* r = getenv("PANELD_ROOT");
    return r ? std::string(r) : std::string();
  }
  return g_root;
}

// Lexical normalisation: a device path never climbs above the device root.
std::string normalise(const char* path) {
  std::vector<std::string> parts;
  const char* p = path;
  while (*p) {
    while (*p == '/') p++;
    const char* s = p;
    while (*p && *p != '/') p++;
    std::string seg(s, p - s);
    if (seg.empty() || seg == ".") continue;
    if (seg == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(seg);
  }
  std::string out;
  for (auto& s : parts) out += "/" + s;
  // Keep a trailing slash: "dir/" names a directory.
  size_t n = strlen(path);
  if (n > 0 && path[n - 1] == '/' && !out.empty()) out += "/";
  return out;
}

std::string clock_file() { return root() + "/sim/clock"; }

void load_clock_offset() {
  FILE* f = fopen(clock_file().c_str(), "r");
  if (!f) return;
  long long v = 0;
  if (fscanf(f, "%lld", &v) == 1) g_clock_offset = v;
  fclose(f);
}

}  // namespace

void platform_init() {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
  const char* r = getenv("PANELD_ROOT");
  struct stat st;
  if (!r || !*r || stat(r, &st) != 0 || !S_ISDIR(st.st_mode)) {
    fprintf(stderr, "PANELD_ROOT must name the device root directory\n");
    exit(2);
  }
  g_root = r;
  while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
  mkdir((g_root + "/sim").c_str(), 0755);
  load_clock_offset();
}

std::string dev_path(const char* path) {
  if (!path) return root();
  return root() + normalise(path);
}

int dev_open(const char* path, int flags, mode_t mode) {
  return open(dev_path(path).c_str(), flags, mode);
}
FILE* dev_fopen(const char* path, const char* mode) { return fopen(dev_path(path).c_str(), mode); }
int dev_stat(const char* path, struct stat* st) { return stat(dev_path(path).c_str(), st); }
int dev_lstat(const char* path, struct stat* st) { return lstat(dev_path(path).c_str(), st); }
int dev_access(const char* path, int mode) { return access(dev_path(path).c_str(), mode); }
int dev_remove(const char* path) { return remove(dev_path(path).c_str()); }

int run_shell(const char* cmd) {
  std::lock_guard<std::mutex> lock(g_shell_mutex);
  std::string log = root() + "/sim/shell.log";
  if (FILE* f = fopen(log.c_str(), "a")) {
    fprintf(f, "%s\n", cmd);
    fclose(f);
  }
  // Only the log removal is carried out on a development machine; reboot,
  // halt, the update script and the decoder test tool are just recorded.
  if (strcmp(cmd, "rm /usr/data/log") == 0) {
    unlink(dev_path("/usr/data/log").c_str());
  }
  return 0;
}

int platform_gettimeofday(struct timeval* tv) {
  int r = gettimeofday(tv, nullptr);
  tv->tv_sec += static_cast<time_t>(g_clock_offset.load(std::memory_order_relaxed));
  return r;
}

int platform_settimeofday(const struct timeval* tv) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  long long off = static_cast<long long>(tv->tv_sec) - static_cast<long long>(now.tv_sec);
  g_clock_offset = off;
  std::string tmp = clock_file() + ".tmp";
  FILE* f = fopen(tmp.c_str(), "w");
  if (!f) return -1;
  fprintf(f, "%lld\n", off);
  fclose(f);
  return rename(tmp.c_str(), clock_file().c_str());
}
