// panelsim: the simulator tool. Makes device roots, runs the daemon on ptys,
// shows what the panel shows and drives the simulated peripherals.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "tools/cli/cli_help.h"
#include "tools/panelsim/panelsim.h"

namespace {

std::vector<PanelsimSetupFn>& setups() {
  static std::vector<PanelsimSetupFn> s;
  return s;
}

std::map<const CLI::App*, std::function<int()>>& runners() {
  static std::map<const CLI::App*, std::function<int()>> r;
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

int cmd_init(const std::string& root) {
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

void setup_main(CLI::App& app) {
  static std::string root, name;
  auto* i = app.add_subcommand("init", "make a ready device root (never overwrites a file)");
  i->add_option("ROOT", root, "device root folder")->required();
  on_run(i, [] { return cmd_init(root); });

  auto* h = app.add_subcommand("help", "show the overview, or one subcommand's arguments");
  h->add_option("SUBCOMMAND", name, "the subcommand to explain");
  on_run(h, [&app] {
    if (cli_help::show_help(app, name)) return 0;
    fprintf(stderr, "panelsim: unknown subcommand %s (panelsim --help lists them)\n", name.c_str());
    return 2;
  });
}
PANELSIM_SUBCOMMANDS(setup_main);

}  // namespace

PanelsimSetup::PanelsimSetup(PanelsimSetupFn fn) { setups().push_back(fn); }

void on_run(CLI::App* sub, std::function<int()> fn) { runners()[sub] = std::move(fn); }

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

namespace {

int run(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  CLI::App app{"panelsim: the simulated device: device roots, the daemon on ptys, the panel",
               "panelsim"};
  app.formatter(std::make_shared<cli_help::Formatter>());
  app.require_subcommand(1);
  app.footer("panelsim help SUBCOMMAND shows a subcommand's arguments.\n");
  for (PanelsimSetupFn fn : setups()) fn(app);
  const int parsed = cli_help::parse(app, argc, argv, [](const std::string& m) {
    fprintf(stderr, "panelsim: %s\n", m.c_str());
    return 2;
  });
  if (parsed >= 0) return parsed;
  auto it = runners().find(app.get_subcommands().front());
  return it == runners().end() ? 2 : it->second();
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    // Out of memory or a library's error: the reason in one line, not an abort.
    fprintf(stderr, "panelsim: %s\n", e.what());
    return 1;
  }
}
