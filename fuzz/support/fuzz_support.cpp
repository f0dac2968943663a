#include "fuzz/support/fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/system.h"
#include "protocol/command.h"
#include "protocol/tty.h"

namespace fuzz {

namespace {

// The console as it was at start: libFuzzer may close the target's stderr
// (-close_fd_mask), and a broken invariant must still be told.
const int report_fd = dup(2);

}  // namespace

void fail(const char* file, int line, const char* what) {
  dprintf(report_fd >= 0 ? report_fd : 2, "\n%s:%d: invariant broken: %s\n", file, line, what);
  abort();
}

namespace {

std::string g_root;

void make_dirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
  }
}

void cleanup() {
  if (!g_root.empty()) remove_tree(g_root);
}

int line_fds[2] = {-1, -1};

}  // namespace

const std::string& device_root() {
  if (!g_root.empty()) return g_root;
  char tmpl[] = "/tmp/paneld-fuzz-XXXXXX";
  if (!mkdtemp(tmpl)) fail(__FILE__, __LINE__, "mkdtemp");
  g_root = tmpl;
  for (const char* d : {"/usr/data/img", "/media", "/tmp", "/dev", "/sim", "/host", "/proc/sys/vm",
                        "/sys/class/udc/13500000.otg"})
    make_dirs(g_root + d);
  setenv("PANELD_ROOT", g_root.c_str(), 1);
  atexit(cleanup);
  return g_root;
}

std::string real(const std::string& device_path) { return dev_path(device_path); }

void write_file(const std::string& device_path, const uint8_t* data, size_t n) {
  std::string p = real(device_path);
  FILE* f = fopen(p.c_str(), "wb");
  if (!f) fail(__FILE__, __LINE__, p.c_str());
  if (n) fwrite(data, 1, n, f);
  fclose(f);
}

bool read_file(const std::string& device_path, std::string* out) {
  FILE* f = fopen(real(device_path).c_str(), "rb");
  if (!f) return false;
  out->clear();
  char buf[4096];
  size_t k;
  while ((k = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, k);
  fclose(f);
  return true;
}

namespace {
void walk(const std::string& base, const std::string& rel,
          std::map<std::string, std::string>* out) {
  DIR* d = opendir((base + rel).c_str());
  if (!d) return;
  while (struct dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    std::string r = rel + "/" + e->d_name;
    if (r == "/sim") continue;  // the simulated panel's memory, not storage
    struct stat st;
    if (lstat((base + r).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      walk(base, r, out);
    } else if (S_ISREG(st.st_mode)) {
      std::string content;
      if (FILE* f = fopen((base + r).c_str(), "rb")) {
        char buf[4096];
        size_t k;
        while ((k = fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, k);
        fclose(f);
      }
      (*out)[r] = content;
    } else {
      (*out)[r] = "<special>";
    }
  }
  closedir(d);
}
}  // namespace

std::map<std::string, std::string> tree(const std::string& real_dir) {
  std::map<std::string, std::string> out;
  walk(real_dir, "", &out);
  return out;
}

void remove_tree(const std::string& real_dir) {
  DIR* d = opendir(real_dir.c_str());
  if (!d) {
    unlink(real_dir.c_str());
    return;
  }
  while (struct dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    std::string p = real_dir + "/" + e->d_name;
    struct stat st;
    if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      remove_tree(p);
    else
      unlink(p.c_str());
  }
  closedir(d);
  rmdir(real_dir.c_str());
}

void line_open() {
  if (line_fds[0] >= 0) return;
  if (pipe2(line_fds, O_CLOEXEC) != 0) fail(__FILE__, __LINE__, "pipe");
  fcntl(line_fds[1], F_SETPIPE_SZ, 1 << 20);
  fcntl(line_fds[1], F_SETFL, O_NONBLOCK);
  tty_fd.store(line_fds[0]);
  if (!r_buf) r_buf = static_cast<uint8_t*>(malloc(max_packet_len));
}

void line_feed(const uint8_t* data, size_t n) {
  while (n > 0) {
    ssize_t k = write(line_fds[1], data, n);
    if (k <= 0) fail(__FILE__, __LINE__, "host line full");
    data += k;
    n -= size_t(k);
  }
}

size_t line_pending() {
  int n = 0;
  if (ioctl(line_fds[0], FIONREAD, &n) != 0) return 0;
  return size_t(n);
}

void line_flush() {
  uint8_t buf[4096];
  while (line_pending() > 0) {
    if (read(line_fds[0], buf, sizeof buf) <= 0) break;
  }
}

}  // namespace fuzz
