// File transfer and storage subcommands: put, upload, rm, size, ls, storage.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/panelctl/panelctl.h"

namespace {

using hostlink::Packet;

constexpr size_t kMaxChunk = 2097152;  // the device's receive buffer
constexpr size_t kMaxName = 487;       // name bytes that fit in a command
constexpr int kListSlices = 20;        // listing replies from one listing to the next
constexpr size_t kSlice = 512;

// A device path that fits in a command.
CLI::Validator device_path() {
  return CLI::Validator(
      [](std::string& s) -> std::string {
        if (s.size() > kMaxName)
          return "device path longer than " + std::to_string(kMaxName) + " bytes";
        return "";
      },
      "DEVPATH");
}

// put LOCAL DEVPATH: one command 40 with the whole file.
int put(Panelctl& ctl, const std::string& local, const std::string& dev) {
  std::vector<uint8_t> data;
  std::string why;
  if (!read_file(local, &data, &why)) return ctl.fail(why);
  if (data.size() > kMaxChunk) return ctl.fail(local + " is larger than 2 MiB; use upload");
  Packet r;
  if (!ctl.command(40, hostlink::name_params(dev, uint32_t(data.size())), &r, data.data(),
                   data.size()))
    return 1;
  ctl.result("put " + dev + ": " + std::to_string(data.size()) + " bytes",
             Json{{"path", dev}, {"bytes", data.size()}});
  return 0;
}

double now_s() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Bytes per second as the tools print it: MB/s, 1 MB = 1,000,000 bytes.
std::string rate_text(uint64_t bytes, double seconds) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.1f MB/s", seconds > 0 ? double(bytes) / seconds / 1e6 : 0.0);
  return buf;
}

void progress(const Panelctl& ctl, uint64_t done, uint64_t total, double seconds) {
  int pct = total ? int(done * 100 / total) : 100;
  int fill = pct * 30 / 100;
  fprintf(stderr, "\rupload [%s%s] %3d%% %llu/%llu bytes  %s ", std::string(fill, '#').c_str(),
          std::string(30 - fill, ' ').c_str(), pct, (unsigned long long)done,
          (unsigned long long)total, rate_text(done, seconds).c_str());
  ctl.progress_open = true;
}

// Reads n bytes, fewer only where the file ends; -1 on a read error.
long read_chunk(int fd, uint8_t* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t k = ::read(fd, buf + got, n - got);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0) return -1;
    if (k == 0) break;
    got += static_cast<size_t>(k);
  }
  return static_cast<long>(got);
}

struct FileCloser {
  int fd;
  ~FileCloser() { ::close(fd); }
};

// The size of the open LOCAL file: 0 with *total, or the failure's status.
int measure(const Panelctl& ctl, int fd, const std::string& local, uint64_t* total) {
  struct stat st;
  if (fstat(fd, &st) != 0) return ctl.fail("cannot read " + local + ": " + strerror(errno));
  if (!S_ISREG(st.st_mode)) return ctl.fail(local + " is not a regular file");
  *total = static_cast<uint64_t>(st.st_size);
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return 0;
}

// Sends the file in chunks (39): 0 with the seconds they took, or the
// failure's status. Each chunk goes out as its command and one payload
// write; the next chunk is read from the local file while the device stores
// this one, so the line waits only for the device's reply.
int send_chunks(Panelctl& ctl, int fd, const std::string& local, uint64_t total, size_t chunk,
                bool bar, double* seconds) {
  std::vector<uint8_t> cur(chunk), next(chunk);
  auto want = [&](uint64_t from) {
    return static_cast<size_t>(std::min<uint64_t>(chunk, total - from));
  };
  // A short read means the file shrank after it was measured.
  auto read_failed = [&](long got) {
    return ctl.fail(got < 0 ? "cannot read " + local + ": " + strerror(errno)
                            : local + " became shorter while it was sent");
  };
  size_t n = want(0);
  long got = read_chunk(fd, cur.data(), n);
  if (got != static_cast<long>(n)) return read_failed(got);
  const double start = now_s();
  uint64_t done = 0;
  for (;;) {
    const bool last = done + n == total;
    std::vector<uint8_t> p(9, 0);
    hostlink::put_be32(p, 0, uint32_t(n));
    hostlink::put_be32(p, 4, uint32_t(n));
    p[8] = last ? 1 : 0;
    if (!ctl.link.send_command(39, p, cur.data(), n))
      return ctl.fail("command 39: " + ctl.link.error());
    const size_t n_next = last ? 0 : want(done + n);
    got = last ? 0 : read_chunk(fd, next.data(), n_next);
    Packet r;
    if (!ctl.link.reply(&r, ctl.timeout_ms)) return ctl.fail("command 39: " + ctl.link.error());
    if (r[0] != 39 || r[1] != 200)
      return ctl.fail("the device answered out of step (code " + std::to_string(r[0]) +
                      " instead of 39)");
    done += n;
    if (bar) progress(ctl, done, total, now_s() - start);
    if (last) break;
    if (got != static_cast<long>(n_next)) return read_failed(got);
    cur.swap(next);
    n = n_next;
  }
  *seconds = now_s() - start;
  return 0;
}

// upload LOCAL DEVPATH: command 38, then the chunks.
int upload(Panelctl& ctl, const std::string& local, const std::string& dev, size_t chunk) {
  int fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ctl.fail("cannot read " + local + ": " + strerror(errno));
  FileCloser closer{fd};
  uint64_t total = 0;
  if (int st = measure(ctl, fd, local, &total)) return st;
  Packet r;
  if (!ctl.command(38, hostlink::name_params(dev), &r)) return 1;
  if (r[8] != 200) return ctl.fail("the device cannot create " + dev);
  const bool bar = !ctl.json && isatty(2);
  double seconds = 0;
  if (int st = send_chunks(ctl, fd, local, total, chunk, bar, &seconds)) return st;
  if (bar) {
    fputc('\n', stderr);
    ctl.progress_open = false;
  }
  char secs[32];
  snprintf(secs, sizeof secs, "%.2f", seconds);
  ctl.result("uploaded " + dev + ": " + std::to_string(total) + " bytes in " + secs + " s, " +
                 rate_text(total, seconds),
             Json{{"path", dev},
                  {"bytes", total},
                  {"seconds", std::round(seconds * 1000) / 1000},
                  {"mb_per_s", seconds > 0 ? std::round(total / seconds / 1e5) / 10 : 0.0}});
  return 0;
}

std::vector<std::string> split_names(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i < list.size(); i++) {
    if (list[i] == '/') {
      out.push_back(list.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

// The listing comes in slices; the device lists anew only every twentieth
// command, so a listing is a full round of twenty. Should an earlier round
// have been cut short, the new listing starts later: the round is then
// counted from the reply that starts the listing. "" when none came.
bool fetch_listing(Panelctl& ctl, const std::string& dev, std::string* text) {
  int start = -1;
  for (int k = 0; k < 2 * kListSlices - 1; k++) {
    Packet r;
    if (!ctl.command(99, hostlink::name_params(dev), &r)) return false;
    std::string s(reinterpret_cast<const char*>(r.data()), kSlice);
    if (start < 0 && s.compare(0, 7, "result:") == 0) start = k;
    if (start >= 0) {
      *text += s;
      if (k - start + 1 == kListSlices) break;
    } else if (k == kListSlices - 1) {
      break;  // a full round without a listing: the device could not list
    }
  }
  *text = text->substr(0, text->find('\0'));  // up to the first NUL
  return true;
}

int ls(Panelctl& ctl, const std::string& dev) {
  std::string text;
  if (!fetch_listing(ctl, dev, &text)) return 1;
  if (text.size() < 7) return ctl.fail("no listing came for " + dev);
  std::string body = text.substr(7);
  if (body == "nodir-createdone") {
    ctl.result(
        dev + ": no such directory; created it",
        Json{{"path", dev}, {"created", true}, {"dirs", Json::array()}, {"files", Json::array()}});
    return 0;
  }
  if (body == "nodir-createfailed")
    return ctl.fail(dev + ": no such directory, and it cannot be created");
  size_t f = body.find("file:");
  if (body.compare(0, 4, "dir:") != 0 || f == std::string::npos)
    return ctl.fail("unexpected listing: " + text);
  std::vector<std::string> dirs = split_names(body.substr(4, f - 4));
  std::vector<std::string> files = split_names(body.substr(f + 5));
  std::string human;
  for (auto& d : dirs) human += d + "/\n";
  for (auto& n : files) human += n + "\n";
  if (!human.empty()) human.pop_back();
  ctl.result(human, Json{{"path", dev}, {"dirs", dirs}, {"files", files}});
  return 0;
}

int storage(Panelctl& ctl) {
  Packet r;
  if (!ctl.command(100, std::vector<uint8_t>(8, 0), &r)) return 1;
  uint32_t total = hostlink::le32(r.data() + 8), used = hostlink::le32(r.data() + 12),
           avail = hostlink::le32(r.data() + 16);
  ctl.result("total " + std::to_string(total) + " KiB, used " + std::to_string(used) +
                 " KiB, available " + std::to_string(avail) + " KiB",
             Json{{"total_kib", total}, {"used_kib", used}, {"available_kib", avail}});
  return 0;
}

struct FilesArgs {
  std::string local, dev;
  size_t chunk = kMaxChunk;
};
FilesArgs files_args;

void add_transfers(CLI::App& app) {
  auto* p = app.add_subcommand("put", "write a small file (up to 2 MiB) on the device (40)");
  p->add_option("LOCAL", files_args.local, "file on this host")->required();
  p->add_option("DEVPATH", files_args.dev, "path on the device")->required()->check(device_path());
  on_run(p, [](Panelctl& ctl) { return put(ctl, files_args.local, files_args.dev); });

  auto* u = app.add_subcommand("upload", "upload a file of any size in chunks (38, 39)");
  u->add_option("LOCAL", files_args.local, "file on this host")->required();
  u->add_option("DEVPATH", files_args.dev, "path on the device")->required()->check(device_path());
  add_ranged(u, "--chunk", files_args.chunk, "bytes per chunk, 1..2097152", size_t{1}, kMaxChunk)
      ->option_text("BYTES");
  on_run(u, [](Panelctl& ctl) {
    return upload(ctl, files_args.local, files_args.dev, files_args.chunk);
  });
}

void setup_files(CLI::App& app) {
  add_transfers(app);
  auto* r = app.add_subcommand("rm", "delete a file, or all files below a directory (42)");
  r->add_option("DEVPATH", files_args.dev, "path on the device")->required()->check(device_path());
  on_run(r, [](Panelctl& ctl) {
    Packet reply;
    if (!ctl.command(42, hostlink::name_params(files_args.dev), &reply)) return 1;
    ctl.result("rm " + files_args.dev + ": ok", Json{{"path", files_args.dev}, {"ok", true}});
    return 0;
  });

  auto* s = app.add_subcommand("size", "print a file's size in bytes; 0 when missing (98)");
  s->add_option("DEVPATH", files_args.dev, "path on the device")->required()->check(device_path());
  on_run(s, [](Panelctl& ctl) {
    Packet reply;
    if (!ctl.command(98, hostlink::name_params(files_args.dev), &reply)) return 1;
    uint32_t n = hostlink::le32(reply.data() + 8);
    ctl.result(std::to_string(n), Json{{"path", files_args.dev}, {"size", n}});
    return 0;
  });

  auto* l = app.add_subcommand("ls", "list a directory (created when missing) (99)");
  l->add_option("DEVPATH", files_args.dev, "directory on the device")
      ->required()
      ->check(device_path());
  on_run(l, [](Panelctl& ctl) { return ls(ctl, files_args.dev); });

  auto* st = app.add_subcommand("storage", "print the SD card's storage figures in KiB (100)");
  on_run(st, storage);
}
PANELCTL_SUBCOMMANDS(setup_files);

}  // namespace
