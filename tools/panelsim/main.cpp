// panelsim: the simulator tool. Makes device roots, runs the daemon on ptys,
// shows what the panel shows and drives the simulated peripherals.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "tools/panelsim/panelsim.h"

namespace {

struct Entry {
  const char* usage;
  PanelsimFn fn;
};

std::map<std::string, Entry>& registry() {
  static std::map<std::string, Entry> r;
  return r;
}

struct InitStep {
  int rank;
  const char* what;
  InitStepFn fn;
};

std::vector<InitStep>& init_steps() {
  static std::vector<InitStep> s;
  return s;
}

void usage() {
  fprintf(stderr, "usage: panelsim SUBCOMMAND ROOT [ARGS...]\nsubcommands:\n");
  for (auto& [name, e] : registry()) fprintf(stderr, "  %-10s %s\n", name.c_str(), e.usage);
}

int cmd_init(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    fprintf(stderr, "usage: panelsim init ROOT\n");
    return 2;
  }
  const std::string& root = args[0];
  if (!make_dirs(root)) {
    fprintf(stderr, "panelsim: cannot make %s: %s\n", root.c_str(), strerror(errno));
    return 1;
  }
  auto steps = init_steps();
  std::stable_sort(steps.begin(), steps.end(),
                   [](const InitStep& a, const InitStep& b) { return a.rank < b.rank; });
  int status = 0;
  for (auto& s : steps) {
    if (s.fn(root) != 0) {
      fprintf(stderr, "panelsim: init: %s failed\n", s.what);
      status = 1;
    }
  }
  return status;
}
PANELSIM_SUBCOMMAND("init", "ROOT: make a ready device root (never overwrites a file)", cmd_init);

}  // namespace

PanelsimRegistration::PanelsimRegistration(const char* name, const char* use, PanelsimFn fn) {
  registry()[name] = Entry{use, fn};
}

InitStepRegistration::InitStepRegistration(int rank, const char* what, InitStepFn fn) {
  init_steps().push_back(InitStep{rank, what, fn});
}

bool file_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool make_dirs(const std::string& path) {
  std::string cur;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    cur = path.substr(0, j);
    if (!cur.empty() && mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
    i = j + 1;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool write_file_if_missing(const std::string& path, const void* data, size_t n) {
  if (file_exists(path)) return true;
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && !make_dirs(path.substr(0, slash))) return false;
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(data, 1, n, f) == n;
  return fclose(f) == 0 && ok;
}

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 2) {
    usage();
    return 2;
  }
  auto it = registry().find(argv[1]);
  if (it == registry().end()) {
    fprintf(stderr, "panelsim: unknown subcommand %s\n", argv[1]);
    usage();
    return 2;
  }
  return it->second.fn(std::vector<std::string>(argv + 2, argv + argc));
}
