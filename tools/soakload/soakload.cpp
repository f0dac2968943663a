// Host load generator of the soak (scripts/soak.sh): drives a simulated
// device under `panelsim run` through the real protocol for a given time,
// hard: H.264 in one, two and three parts with PNG overlays, JPEG frames,
// uploads, listings and deletions, configuration and clock commands; and
// faults: garbage and truncated packets, a stray byte, stalled bulk
// payloads, line hang-ups (the host closing its side, and the device's
// line hung up under the daemon), USB unplug and plug, microcontroller
// noise, lost bytes and silence, kernel log bursts. Every 10 s it samples the daemon's
// resident memory, descriptors and threads (and the frame rate) into a CSV;
// at each quiet point (video stopped, host present) it takes a "quiet"
// sample, which the growth check compares. At the end it checks that every
// uploaded file still on the device is byte-identical and that the daemon
// answers, and ends the daemon with the exit command. Exit status 0 when
// all held.
//
//   soakload ROOT PID SECONDS OUTDIR MEDIADIR PANELSIM
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/hostlink/hostlink.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using hostlink::Packet;

std::string g_root, g_out, g_media, g_panelsim;
int g_pid = 0;
Clock::time_point g_start;
std::mt19937 rng(12345);

double elapsed() { return std::chrono::duration<double>(Clock::now() - g_start).count(); }
void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void note(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  printf("[%7.1f] %s\n", elapsed(), buf);
  fflush(stdout);
}

// --- figures ------------------------------------------------------------------

struct Figures {
  long commands = 0, unanswered = 0, refused_blocks = 0, blocks = 0, png_frames = 0,
       jpeg_frames = 0, uploads = 0, deletions = 0, listings = 0, faults = 0;
} fig;
std::atomic<long> g_frames{0};  // frames shown, summed over streams

// --- sampling -----------------------------------------------------------------

std::mutex csv_mu;
FILE* csv = nullptr;

// Resident memory in all, and its anonymous part: the daemon's own heap and
// stacks. The rest are the simulated panel planes and reserved memory,
// shared file mappings whose resident part follows what was last painted.
struct Sample {
  long rss_kb = -1, anon_kb = -1, fds = -1, threads = -1;
};

Sample sample_daemon() {
  Sample s;
  std::ifstream st("/proc/" + std::to_string(g_pid) + "/status");
  std::string line;
  while (std::getline(st, line)) {
    if (line.rfind("VmRSS:", 0) == 0) s.rss_kb = atol(line.c_str() + 6);
    if (line.rfind("RssAnon:", 0) == 0) s.anon_kb = atol(line.c_str() + 8);
    if (line.rfind("Threads:", 0) == 0) s.threads = atol(line.c_str() + 8);
  }
  if (DIR* d = opendir(("/proc/" + std::to_string(g_pid) + "/fd").c_str())) {
    s.fds = 0;
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') s.fds++;
    closedir(d);
  }
  return s;
}

// True while the daemon holds the reserved-memory file open: the video
// decoder's resources are open.
bool decoder_open() {
  std::string dir = "/proc/" + std::to_string(g_pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  bool open = false;
  while (struct dirent* e = readdir(d)) {
    char target[512];
    ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = 0;
    if (strstr(target, "/sim/rmem")) open = true;
  }
  closedir(d);
  return open;
}

void write_sample(const char* kind, double fps) {
  Sample s = sample_daemon();
  std::lock_guard<std::mutex> lock(csv_mu);
  fprintf(csv, "%.1f,%s,%ld,%ld,%ld,%ld,%.2f,%ld\n", elapsed(), kind, s.rss_kb, s.anon_kb, s.fds,
          s.threads, fps, g_frames.load());
  fflush(csv);
}

std::atomic<bool> g_done{false};

void sampler() {
  long last_frames = 0;
  double last_t = 0;
  while (!g_done) {
    for (int i = 0; i < 100 && !g_done; i++) sleep_ms(100);
    double t = elapsed();
    long f = g_frames;
    write_sample("periodic", t > last_t ? (f - last_frames) / (t - last_t) : 0);
    last_frames = f;
    last_t = t;
  }
}

// --- the link -------------------------------------------------------------------

hostlink::HostLink* host = nullptr;

bool open_link() {
  delete host;
  host = new hostlink::HostLink;
  for (int i = 0; i < 100; i++) {
    if (host->open(g_root + "/host/ttyGS0")) return true;
    sleep_ms(100);
  }
  return false;
}

// One command that must be answered.
bool cmd(uint8_t code, const std::vector<uint8_t>& params, Packet* reply = nullptr,
         const Bytes* payload = nullptr, int timeout_ms = 8000) {
  Packet r{};
  fig.commands++;
  bool ok = host->command(code, params, &r, payload ? payload->data() : nullptr,
                          payload ? payload->size() : 0, timeout_ms);
  if (!ok) {
    fig.unanswered++;
    note("UNANSWERED command %d: %s", code, host->error().c_str());
    // Back in step: the daemon reopens its line after a 2 s gap.
    sleep_ms(2500);
    host->drain();
  }
  if (reply) *reply = r;
  return ok;
}

std::vector<uint8_t> params(std::initializer_list<std::pair<size_t, uint32_t>> be32s) {
  std::vector<uint8_t> v(8, 0);
  for (auto& [off, x] : be32s) hostlink::put_be32(v, off - 8, x);
  return v;
}

void run_tool(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(g_panelsim.c_str()));
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(g_panelsim.c_str(), argv.data());
    _exit(127);
  }
  int st;
  if (pid > 0) waitpid(pid, &st, 0);
}

// Asks the standby screens to stop and waits until both are gone, so that
// host media are shown (a host application does the same on arrival).
void wake() {
  for (int i = 0; i < 100; i++) {
    Packet r;
    if (cmd(52, {}, &r) && r[8] == 0xFF && r[9] == 0xFF) return;
    sleep_ms(200);
  }
  note("standby screens did not stop");
}

// Cumulative frame count from the frame counter (it restarts with a stream).
uint32_t last_counter = 0;
void poll_frames() {
  Packet r;
  if (!cmd(118, {}, &r)) return;
  uint32_t f = hostlink::be32(r.data() + 8);
  g_frames += f >= last_counter ? f - last_counter : f;
  last_counter = f;
}

// --- media ------------------------------------------------------------------------

Bytes small_png, full_png, jpeg_a, jpeg_b;
std::vector<Bytes> one_part, two_parts, three_parts;

void overlay_frame(bool full) {
  const Bytes& png = full ? full_png : small_png;
  std::vector<uint8_t> p = params({{8, uint32_t(png.size())}});
  hostlink::put_be16(p, 4, uint16_t(pick(0, 800)));
  hostlink::put_be16(p, 6, uint16_t(pick(0, 2000)));
  p.resize(9);
  p[8] = full ? 0 : 1;
  if (cmd(102, p, nullptr, &png)) fig.png_frames++;
}

// Streams parts (one stream per part) in blocks for `seconds`, looping the
// streams with a new time stamp each pass, with overlays between blocks.
void stream(const std::vector<Bytes>& parts, double seconds) {
  static uint32_t stamp = 1000;
  const size_t block = 65536;
  const int n = int(parts.size());
  double end = elapsed() + seconds;
  while (elapsed() < end) {
    stamp++;
    std::vector<size_t> off(n, 0);
    last_counter = 0;
    bool all_done = false;
    double next_overlay = elapsed();
    while (!all_done && elapsed() < end + 5) {
      all_done = true;
      for (int p = 0; p < n; p++) {
        if (off[p] >= parts[p].size()) continue;
        all_done = false;
        // Pace by the ring's fill level, as a host does.
        Packet q;
        for (int tries = 0; tries < 400; tries++) {
          if (!cmd(122, {}, &q)) break;
          if (q[8 + p] < 4) break;
          sleep_ms(10);
        }
        size_t len = std::min(block, parts[p].size() - off[p]);
        Bytes chunk(parts[p].begin() + long(off[p]), parts[p].begin() + long(off[p] + len));
        bool last = off[p] + len == parts[p].size();
        std::vector<uint8_t> pr = params({{8, uint32_t(len)}});
        pr.resize(10);
        pr[4] = last ? 1 : 0;
        pr[5] = uint8_t(n);
        if (p == 0) {
          pr.resize(10);
          hostlink::put_be32(pr, 6, stamp);
        }
        static const uint8_t codes[3] = {121, 119, 120};
        Packet r;
        if (!cmd(codes[p], pr, &r, &chunk)) continue;
        fig.blocks++;
        if (r[8] == 0) {
          fig.refused_blocks++;
          sleep_ms(50);
          continue;  // sent again
        }
        off[p] += len;
      }
      if (elapsed() >= next_overlay) {
        overlay_frame(pick(0, 9) == 0);
        poll_frames();
        next_overlay = elapsed() + 0.5;
      }
    }
    poll_frames();
  }
}

void jpeg_frames(double seconds) {
  double end = elapsed() + seconds;
  int i = 0;
  while (elapsed() < end) {
    const Bytes& pic = (i++ % 2) ? jpeg_a : jpeg_b;
    if (cmd(101, params({{8, uint32_t(pic.size())}}), nullptr, &pic)) fig.jpeg_frames++;
    sleep_ms(150);
  }
}

// --- files ------------------------------------------------------------------------------

std::map<std::string, Bytes> manifest;  // device path -> content the host uploaded
int file_seq = 0;

void upload(const std::string& path, const Bytes& data) {
  if (!cmd(38, hostlink::name_params(path))) return;
  const size_t chunk = 262144;
  size_t off = 0;
  do {
    size_t len = std::min(chunk, data.size() - off);
    Bytes part(data.begin() + long(off), data.begin() + long(off + len));
    bool last = off + len == data.size();
    std::vector<uint8_t> p = params({{8, uint32_t(len)}, {12, uint32_t(len)}});
    p.resize(9);
    p[8] = last ? 1 : 0;
    if (!cmd(39, p, nullptr, &part)) return;
    off += len;
  } while (off < data.size());
  manifest[path] = data;
  fig.uploads++;
}

Bytes random_bytes(size_t n) {
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng());
  return b;
}

void files() {
  for (int i = 0; i < 2; i++) {
    std::string path = "/usr/data/soak/f" + std::to_string(file_seq++) + ".bin";
    upload(path, random_bytes(size_t(pick(1, 1600)) * 1024));
  }
  std::string small = "/usr/data/soak/small" + std::to_string(file_seq % 3) + ".txt";
  Bytes text = random_bytes(size_t(pick(1, 4000)));
  std::vector<uint8_t> p = hostlink::name_params(small, uint32_t(text.size()));
  if (cmd(40, p, nullptr, &text)) manifest[small] = text;
  for (auto& [path, data] : manifest) {
    Packet r;
    if (cmd(98, hostlink::name_params(path), &r) && hostlink::le32(r.data() + 8) != data.size())
      note("SIZE MISMATCH %s: %u != %zu", path.c_str(), hostlink::le32(r.data() + 8), data.size());
  }
  // A whole listing: twenty slices.
  for (int i = 0; i < 20; i++) cmd(99, hostlink::name_params("/usr/data/soak"));
  fig.listings++;
  // Keep a handful of files: delete the oldest by name.
  while (manifest.size() > 6) {
    auto it = manifest.begin();
    for (auto j = manifest.begin(); j != manifest.end(); ++j)
      if (j->first.find("/f") != std::string::npos) {
        it = j;
        break;
      }
    cmd(42, hostlink::name_params(it->first));
    manifest.erase(it);
    fig.deletions++;
  }
}

// --- settings -------------------------------------------------------------------------

void settings() {
  cmd(14, {uint8_t(pick(10, 100))});
  cmd(46, {1});  // every unplug and suspend run shows the warning: the same paths each round
  cmd(15, {uint8_t(pick(0, 3) == 0 ? 15 : 30)});
  time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  std::vector<uint8_t> c(8);
  hostlink::put_be16(c, 0, uint16_t(tm.tm_year + 1900));
  c[2] = uint8_t(tm.tm_mon + 1), c[3] = uint8_t(tm.tm_mday), c[4] = uint8_t(tm.tm_hour);
  c[5] = uint8_t(tm.tm_min), c[6] = uint8_t(tm.tm_sec), c[7] = 0;
  cmd(51, c);
  static int rot = 0;
  rot ^= 2;
  cmd(13, {uint8_t(rot)});
  cmd(10, {});
}

// --- faults -------------------------------------------------------------------------------

void garbage_packets() {
  for (int i = 0; i < 3; i++) {
    Bytes g = random_bytes(512);
    host->send_bytes(g.data(), g.size());
  }
  sleep_ms(300);
}

void truncated_packet() {
  Packet pk = hostlink::make_packet(10, {});
  host->send_bytes(pk.data(), 300);
  sleep_ms(2600);
}

void stray_byte() {
  uint8_t b = 0x5A;
  host->send_bytes(&b, 1);
  Packet pk = hostlink::make_packet(10, {});
  host->send_packet(pk);
  sleep_ms(2600);
}

void stalled_payload() {
  Packet pk = hostlink::make_packet(101, params({{8, 200000}}));
  host->send_packet(pk);
  Bytes part = random_bytes(50000);
  host->send_bytes(part.data(), part.size());
  // The command passed validation: it is answered once the read gives up.
  Packet r;
  if (!host->recv_bytes(r.data(), r.size(), 8000)) {
    fig.unanswered++;
    note("UNANSWERED stalled command: %s", host->error().c_str());
  }
  sleep_ms(500);
}

void host_hangup() {
  delete host;
  host = nullptr;
  sleep_ms(1000);
  open_link();
}

// Runs panelsim `start`, waits `seconds`, runs `end` and lets the daemon
// settle for 2 s.
void for_seconds(const std::vector<std::string>& start, int seconds,
                 const std::vector<std::string>& end) {
  run_tool(start);
  for (int i = 0; i < seconds; i++) sleep_ms(1000);
  run_tool(end);
  sleep_ms(2000);
}

void usb_unplugged() { for_seconds({"usb", g_root, "unplug"}, 13, {"usb", g_root, "plug"}); }

void mcu_noise() {
  run_tool({"mcu", g_root, "suspend=1", "temp=" + std::to_string(pick(0, 255))});
  // A second reader on the line takes bytes away from the daemon.
  int fd = open((g_root + "/dev/ttyS5").c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
  for (int i = 0; i < 130; i++) {
    uint8_t buf[7];
    if (fd >= 0 && i % 10 == 0) (void)!read(fd, buf, size_t(pick(1, 7)));
    sleep_ms(100);
  }
  if (fd >= 0) close(fd);
  run_tool({"mcu", g_root, "suspend=" + std::to_string(pick(2, 255)),
            "pump=" + std::to_string(pick(0, 65535))});
  sleep_ms(2000);
  run_tool({"mcu", g_root, "suspend=0", "temp=30", "pump=1500"});
}

void kmsg_burst() {
  int fd = open((g_root + "/proc/kmsg").c_str(), O_WRONLY | O_NONBLOCK);
  for (int i = 0; fd >= 0 && i < 200; i++) {
    char line[160];
    int n = i % 10 == 0
                ? snprintf(line, sizeof line,
                           "<6>[%5d.%06d] ingenic-fb 13050000.dpu: tft underrun recover done\n", i,
                           i * 7)
                : snprintf(line, sizeof line, "<6>[%5d.%06d] usb 1-1: burst line %d\n", i, i, i);
    (void)!write(fd, line, size_t(n));
  }
  if (fd >= 0) close(fd);
}

void device_hangup() {
  Packet pk = hostlink::make_packet(10, {});
  host->send_bytes(pk.data(), 200);
  sleep_ms(200);
  // Returns once the daemon has reopened its line.
  run_tool({"hangup", g_root});
  sleep_ms(300);
}

// Past the line's 15 s wait for a first byte, so the reader's time-out and
// reopening run too.
void mcu_silent() { for_seconds({"mcu", g_root, "silent=1"}, 20, {"mcu", g_root, "silent=0"}); }

struct Fault {
  const char* what;
  void (*run)();
};
const Fault kFaultList[] = {
    {"garbage packets", garbage_packets},
    {"truncated packet", truncated_packet},
    {"stray byte before packets", stray_byte},
    {"stalled bulk payload", stalled_payload},
    {"line hang-up", host_hangup},
    {"USB unplugged for 13 s", usb_unplugged},
    {"microcontroller suspend run, odd values, lost bytes", mcu_noise},
    {"kernel log burst", kmsg_burst},
    {"device line hung up in the middle of a packet", device_hangup},
    {"microcontroller silent for 20 s", mcu_silent},
};
constexpr int kFaults = int(sizeof kFaultList / sizeof kFaultList[0]);

void fault(int which) {
  fig.faults++;
  const Fault& f = kFaultList[which % kFaults];
  note("fault: %s", f.what);
  f.run();
  // Whatever happened, the next command is answered.
  host->drain();
  cmd(10, {});
  wake();
}

// Threads and descriptors unchanged for two seconds (at most ten).
void settle() {
  Sample last = sample_daemon();
  int same = 0;
  for (int i = 0; i < 20 && same < 4; i++) {
    sleep_ms(500);
    Sample now = sample_daemon();
    same = now.threads == last.threads && now.fds == last.fds ? same + 1 : 0;
    last = now;
  }
}

// The same state before every quiet sample: video stopped and its decoder
// closed. A stop alone leaves a waiting decoder open; an empty block of a new
// stream makes it release (or, when it had just ended a stream, opens it, so
// the next one releases): blocks are sent until the decoder has let go of its
// reserved memory.
void quiet_point() {
  static uint32_t stamp = 0x70000000;
  cmd(123, {});
  cmd(111, {});
  cmd(103, {1});
  settle();
  for (int i = 0; i < 8 && decoder_open(); i++) {
    std::vector<uint8_t> p = params({{8, 0}});
    p.resize(10);
    p[5] = 1;
    hostlink::put_be32(p, 6, ++stamp);
    cmd(121, p);
    settle();
  }
  if (decoder_open()) note("quiet: the video decoder stays open");
  host->drain();
  cmd(10, {});
  write_sample("quiet", 0);
  // What the descriptors are, for a look when counts differ.
  std::string dir = "/proc/" + std::to_string(g_pid) + "/fd", list;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      char target[512];
      ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = 0;
      list += std::string(" ") + e->d_name + "=" + target;
    }
    closedir(d);
  }
  note("quiet: descriptors%s", list.c_str());
}

bool final_checks() {
  bool ok = true;
  Packet r;
  if (!cmd(10, {}, &r) || memcmp(r.data() + 8, "pavrotek5_0001_2026091101", 25) != 0) {
    note("FAIL: identity not answered");
    ok = false;
  }
  for (auto& [path, data] : manifest) {
    Bytes got = read_file(g_root + path);
    if (got != data) {
      note("FAIL: %s differs from the upload (%zu vs %zu bytes)", path.c_str(), got.size(),
           data.size());
      ok = false;
    }
  }
  note("checked %zu uploaded files", manifest.size());
  return ok;
}

// The demo media; false when one is missing.
bool load_media() {
  small_png = read_file(g_media + "/small.png");
  full_png = read_file(g_media + "/full.png");
  jpeg_a = read_file(g_root + "/media/logo.jpg");
  jpeg_b = read_file(g_media + "/frame.jpg");
  one_part = {read_file(g_root + "/media/offline_video.h264")};
  two_parts = {read_file(g_media + "/two0.h264"), read_file(g_media + "/two1.h264")};
  three_parts = {read_file(g_media + "/three0.h264"), read_file(g_media + "/three1.h264"),
                 read_file(g_media + "/three2.h264")};
  for (const Bytes* b : {&small_png, &full_png, &jpeg_a, &jpeg_b, &one_part[0], &two_parts[0],
                         &two_parts[1], &three_parts[0], &three_parts[1], &three_parts[2]})
    if (b->empty()) return false;
  return true;
}

// The device as a host application leaves it on arrival.
void first_contact() {
  cmd(10, {});                    // the first valid packet ends factory test mode
  cmd(125, {60, 0, 0, 0, 0, 0});  // no local content on arrival
  wake();
  for (int i = 0; i < 20; i++)
    cmd(99, hostlink::name_params("/usr/data/soak"));  // makes the folder
}

// Rounds of load and faults until 20 s before the end, each ending at a
// quiet point.
void rounds(double seconds) {
  for (int round = 0; elapsed() < seconds - 20; round++) {
    note("round %d", round);
    // Short runs take shorter turns, so that rounds after the warm-up fit.
    const double turn = seconds < 600 ? 0.5 : 1.0;
    stream(one_part, 10 * turn);
    stream(two_parts, 8 * turn);
    stream(three_parts, 8 * turn);
    jpeg_frames(4 * turn);
    files();
    settings();
    if (round == 0) {
      // Warm-up: every path once (every fault included) before the first
      // quiet sample, so that growth afterwards is growth, not first use.
      for (int f = 0; f < kFaults; f++) fault(f);
    } else {
      fault(round * 2);
      fault(round * 2 + 1);
    }
    quiet_point();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    fprintf(stderr, "usage: soakload ROOT PID SECONDS OUTDIR MEDIADIR PANELSIM\n");
    return 2;
  }
  g_root = argv[1];
  g_pid = atoi(argv[2]);
  const double seconds = atof(argv[3]);
  g_out = argv[4];
  g_media = argv[5];
  g_panelsim = argv[6];
  g_start = Clock::now();
  signal(SIGPIPE, SIG_IGN);

  if (!load_media()) {
    fprintf(stderr, "soakload: media missing in %s\n", g_media.c_str());
    return 2;
  }
  csv = fopen((g_out + "/samples.csv").c_str(), "w");
  if (!csv || !open_link()) {
    fprintf(stderr, "soakload: cannot open the samples file or the host line\n");
    return 2;
  }
  fprintf(csv, "t_s,kind,rss_kb,anon_kb,fds,threads,fps,frames\n");
  first_contact();
  write_sample("start", 0);
  std::thread sampling(sampler);
  rounds(seconds);
  quiet_point();
  bool ok = final_checks();
  g_done = true;
  sampling.join();
  write_sample("end", 0);
  note(
      "commands %ld unanswered %ld blocks %ld refused %ld png %ld jpeg %ld uploads %ld "
      "deletions %ld listings %ld faults %ld frames %ld",
      fig.commands, fig.unanswered, fig.blocks, fig.refused_blocks, fig.png_frames, fig.jpeg_frames,
      fig.uploads, fig.deletions, fig.listings, fig.faults, g_frames.load());
  fclose(csv);
  if (fig.unanswered > 0) ok = false;
  // The exit command ends the daemon normally, so that a sanitizer build's
  // leak check runs over everything it allocated during the soak.
  host->command_no_reply(44, {});
  return ok ? 0 : 1;
}
