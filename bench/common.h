// What the benchmarks share: medians, and pinning threads to cores. The
// two virtual cores of a shared machine need not run at one speed, so a
// benchmark that compares two sides runs each side's critical thread on
// the same core (BENCH_CORE=N picks it, -1 pins nothing).
#pragma once

#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench {

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The core to pin to (BENCH_CORE, default 0), or -1: asked for, or fewer
// than two cores.
inline int chosen_core() {
  const char* c = getenv("BENCH_CORE");
  const int core = c ? atoi(c) : 0;
  return sysconf(_SC_NPROCESSORS_ONLN) >= 2 ? core : -1;
}

inline int next_core(int core) {
  return (core + 1) % static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
}

// Thread tid (0: the caller) to core; nothing for core -1.
inline void pin(pid_t tid, int core) {
  if (core < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(core, &set);
  sched_setaffinity(tid, sizeof set, &set);
}

// Every thread of process pid but `keep` to core.
inline void pin_process(pid_t pid, int core, const std::vector<pid_t>& keep = {}) {
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  while (dirent* e = d ? readdir(d) : nullptr) {
    const pid_t tid = atoi(e->d_name);
    if (tid > 0 && std::find(keep.begin(), keep.end(), tid) == keep.end()) pin(tid, core);
  }
  if (d) closedir(d);
}

}  // namespace bench
