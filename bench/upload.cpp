// Upload throughput over the host line, against the line itself.
//
// Each round, in the same run and on the same kind of line:
//   raw     a child process reads 32 MiB off a pty with the daemon's own
//           line code (uart_config, uart_read into a 2 MiB buffer) while
//           this process writes them in 2 MiB writes through the host
//           library; the child answers one byte when all have arrived.
//   upload  the real daemon on a pty takes the same 32 MiB as a create
//           (38) and sixteen 2 MiB chunks (39), a reply to each, the file
//           durable at the end.
// Rounds alternate so that a busy machine slows both alike. The summary
// line gives the median over the rounds of upload / raw of the same round,
// the median rates, and the daemon's CPU time per MB (user + system of the
// whole process, from /proc/PID/stat). Two daemons take part: one whose
// device root is on the disk, as storage costs on the board, and one on a
// memory file system, which leaves the line and the daemon's own work.
// The reader (the child, or the daemon with all its threads) runs on one
// core and the writing host on the next (bench/common.h).
//
// bench_upload [--rounds N] [--mib M]
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/common.h"
#include "protocol/tty.h"
#include "tests/harness/harness.h"

namespace {

constexpr size_t kChunk = 2097152;  // the device's receive buffer
constexpr double kMB = 1e6;

double now_s() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// User + system CPU seconds of a process, all its threads.
double cpu_seconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t p = s.rfind(')');  // the name may hold blanks
  if (p == std::string::npos) return 0;
  std::istringstream in(s.substr(p + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Fields from the state (3rd) on; utime and stime are the 14th and 15th.
  for (int i = 3; i <= 15 && in >> field; i++) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

int g_core = -1;  // the reader's core, or -1

// Raw line: 32 MiB through a fresh pty pair, read by a child process the
// way the daemon reads a payload. Seconds, or -1.
double raw_round(const std::vector<uint8_t>& data) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return -1;
  struct termios t;
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  if (uart_config(slave, 115200, 'N', 8, 'N', 1) != 0) return -1;
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  pid_t pid = fork();
  if (pid == 0) {
    bench::pin(0, g_core);
    close(master);
    std::vector<uint8_t> buf(kChunk);
    size_t left = data.size();
    while (left > 0) {
      size_t n = std::min(left, kChunk);
      if (uart_read(slave, buf.data(), n) < 0) _exit(1);
      left -= n;
    }
    const uint8_t done = 1;
    _exit(write(slave, &done, 1) == 1 ? 0 : 1);
  }
  close(slave);
  hostlink::HostLink host(master);
  double start = now_s();
  bool ok = true;
  for (size_t off = 0; ok && off < data.size(); off += kChunk)
    ok = host.send_bytes(data.data() + off, std::min(kChunk, data.size() - off));
  uint8_t done = 0;
  ok = ok && host.recv_bytes(&done, 1, 30000);
  double took = now_s() - start;
  int st = 0;
  waitpid(pid, &st, 0);
  close(master);
  return ok && WIFEXITED(st) && WEXITSTATUS(st) == 0 ? took : -1;
}

// One upload through the daemon. Seconds, or -1.
double upload_round(harness::Daemon& d, const std::vector<uint8_t>& data, const char* path,
                    double* wait) {
  hostlink::Packet r;
  double start = now_s();
  if (!d.command(38, hostlink::name_params(path), &r) || r[8] != 200) return -1;
  for (size_t off = 0; off < data.size(); off += kChunk) {
    uint32_t n = uint32_t(std::min(kChunk, data.size() - off));
    std::vector<uint8_t> p(9, off + n == data.size() ? 1 : 0);
    hostlink::put_be32(p, 0, n);
    hostlink::put_be32(p, 4, n);
    hostlink::HostLink& h = d.host();
    if (!h.send_packet(hostlink::make_packet(39, p)) || !h.send_bytes(data.data() + off, n))
      return -1;
    double sent = now_s();
    if (!h.recv_bytes(r.data(), r.size(), 30000) || r[0] != 39) return -1;
    *wait += now_s() - sent;
  }
  return now_s() - start;
}

// The daemon serving one device root, and what its uploads measured.
struct Target {
  const char* name;
  harness::DeviceRoot root;
  harness::Daemon* daemon = nullptr;
  std::vector<double> rates;   // MB/s per round
  std::vector<double> ratios;  // upload / raw of the same round
  double cpu = 0;              // CPU seconds over all rounds

  Target(const char* n, const std::string& parent) : name(n), root(true, parent) {
    // No boot logo, boot video or offline screen: the daemon only serves.
    root.write("/tmp/no_show_logo_and_offline", "");
    daemon = new harness::Daemon(root);
  }
  ~Target() { delete daemon; }
  bool ready() {
    hostlink::Packet r;
    return daemon->command(98, hostlink::name_params("/none"), &r, {}, 15000);
  }
};

bool is_dir(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5;
  size_t mib = 32;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--rounds")) rounds = std::max(1, atoi(argv[i + 1]));
    if (!strcmp(argv[i], "--mib")) mib = size_t(std::max(1, atoi(argv[i + 1])));
  }
  std::vector<uint8_t> data(mib << 20);
  uint32_t x = 0x2545F491;
  for (auto& b : data) {  // incompressible, reproducible
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = uint8_t(x);
  }

  std::vector<Target*> targets{new Target("disk", "/tmp")};
  if (is_dir("/dev/shm")) targets.push_back(new Target("memory", "/dev/shm"));
  for (Target* t : targets) {
    if (!t->ready()) {
      fprintf(stderr, "bench_upload: the daemon does not answer\n%s\n", t->daemon->log().c_str());
      return 1;
    }
  }

  g_core = bench::chosen_core();
  if (g_core >= 0) {
    for (Target* t : targets) bench::pin_process(t->daemon->pid(), g_core);
    bench::pin(0, bench::next_core(g_core));
  }

  // reply wait: from the last payload byte written to the reply, summed
  // over the round's chunks: time the line stood idle.
  printf("%-6s %10s", "round", "raw MB/s");
  for (Target* t : targets) printf("  %8s MB/s %8s wait ms", t->name, t->name);
  printf("\n");
  std::vector<double> raw;
  for (int i = 0; i < rounds; i++) {
    double t_raw = raw_round(data);
    if (t_raw <= 0) {
      fprintf(stderr, "bench_upload: the raw line failed in round %d\n", i + 1);
      return 1;
    }
    raw.push_back(data.size() / t_raw / kMB);
    printf("%-6d %10.1f", i + 1, raw.back());
    for (Target* t : targets) {
      harness::Daemon& d = *t->daemon;
      double wait = 0, c0 = cpu_seconds(d.pid());
      double took = upload_round(d, data, "/media/bench.bin", &wait);
      t->cpu += cpu_seconds(d.pid()) - c0;
      if (took <= 0) {
        fprintf(stderr, "bench_upload: %s upload failed in round %d (%s)\n", t->name, i + 1,
                d.host().error().c_str());
        return 1;
      }
      if (i == 0 && t->root.read("/media/bench.bin") != std::string(data.begin(), data.end())) {
        fprintf(stderr, "bench_upload: the %s upload differs from what was sent\n", t->name);
        return 1;
      }
      t->rates.push_back(data.size() / took / kMB);
      t->ratios.push_back(t->rates.back() / raw.back());
      printf("  %13.1f %16.1f", t->rates.back(), wait * 1e3);
    }
    printf("\n");
    fflush(stdout);
  }

  const double mb = double(data.size()) * rounds / kMB;
  printf("upload / raw pty (median of %d, %zu MiB in 2 MiB chunks, raw %.1f MB/s):", rounds, mib,
         bench::median(raw));
  for (Target* t : targets)
    printf(" %s root %.2f (%.1f MB/s, daemon CPU %.2f ms/MB)", t->name, bench::median(t->ratios),
           bench::median(t->rates), t->cpu * 1e3 / mb);
  printf("\n");
  for (Target* t : targets) delete t;
  return 0;
}
