// File transfer and storage subcommands: put, upload, rm, size, ls, storage.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tools/panelctl/panelctl.h"

namespace {

using hostlink::Packet;

constexpr size_t kMaxChunk = 2097152;  // the device's receive buffer
constexpr size_t kMaxName = 487;       // name bytes that fit in a command
constexpr int kListSlices = 20;        // listing replies from one listing to the next
constexpr size_t kSlice = 512;

int bad_usage(const char* u) {
  fprintf(stderr, "usage: panelctl %s\n", u);
  return 2;
}

bool name_ok(const std::string& dev) {
  if (dev.size() > kMaxName) {
    fprintf(stderr, "panelctl: device path longer than %zu bytes\n", kMaxName);
    return false;
  }
  return true;
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

std::string quoted(const std::string& s) { return "\"" + json_escape(s) + "\""; }

std::string json_array(const std::vector<std::string>& v) {
  std::string o = "[";
  for (size_t i = 0; i < v.size(); i++) o += (i ? "," : "") + quoted(v[i]);
  return o + "]";
}

// put LOCAL DEVPATH: one command 40 with the whole file.
int put(Panelctl& ctl, const std::vector<std::string>& args) {
  const char* u = "put LOCAL DEVPATH   (files up to 2 MiB; larger ones: upload)";
  if (args.size() != 2) return bad_usage(u);
  const std::string& dev = args[1];
  if (!name_ok(dev)) return 2;
  std::vector<uint8_t> data;
  if (!read_file(args[0], &data)) {
    fprintf(stderr, "panelctl: cannot read %s\n", args[0].c_str());
    return 1;
  }
  if (data.size() > kMaxChunk) {
    fprintf(stderr, "panelctl: %s is larger than 2 MiB; use upload\n", args[0].c_str());
    return 1;
  }
  Packet r;
  if (!ctl.command(40, hostlink::name_params(dev, uint32_t(data.size())), &r, data.data(),
                   data.size()))
    return 1;
  ctl.result("put " + dev + ": " + std::to_string(data.size()) + " bytes",
             "{\"path\":" + quoted(dev) + ",\"bytes\":" + std::to_string(data.size()) + "}");
  return 0;
}
PANELCTL_SUBCOMMAND("put", "write a small file (up to 2 MiB) on the device (40)", put);

void progress(uint64_t done, uint64_t total) {
  int pct = total ? int(done * 100 / total) : 100;
  int fill = pct * 30 / 100;
  fprintf(stderr, "\rupload [%s%s] %3d%% %llu/%llu bytes", std::string(fill, '#').c_str(),
          std::string(30 - fill, ' ').c_str(), pct, (unsigned long long)done,
          (unsigned long long)total);
}

// upload LOCAL DEVPATH [--chunk BYTES]: command 38, then chunks (39).
int upload(Panelctl& ctl, const std::vector<std::string>& args) {
  const char* u = "upload LOCAL DEVPATH [--chunk BYTES]   (chunk 1..2097152, default 2097152)";
  std::vector<std::string> pos;
  unsigned long chunk = kMaxChunk;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--chunk") {
      if (i + 1 >= args.size() || !parse_uint(args[i + 1], &chunk) || chunk == 0 ||
          chunk > kMaxChunk)
        return bad_usage(u);
      i++;
    } else {
      pos.push_back(args[i]);
    }
  }
  if (pos.size() != 2) return bad_usage(u);
  const std::string& dev = pos[1];
  if (!name_ok(dev)) return 2;
  std::ifstream in(pos[0], std::ios::binary | std::ios::ate);
  if (!in) {
    fprintf(stderr, "panelctl: cannot read %s\n", pos[0].c_str());
    return 1;
  }
  uint64_t total = static_cast<uint64_t>(in.tellg());
  in.seekg(0);

  Packet r;
  if (!ctl.command(38, hostlink::name_params(dev), &r)) return 1;
  if (r[8] != 200) {
    fprintf(stderr, "panelctl: the device cannot create %s\n", dev.c_str());
    return 1;
  }
  bool bar = isatty(2);
  std::vector<uint8_t> buf(chunk);
  uint64_t done = 0;
  do {
    size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, total - done));
    if (n && !in.read(reinterpret_cast<char*>(buf.data()), n)) {
      if (bar) fputc('\n', stderr);
      fprintf(stderr, "panelctl: read error in %s\n", pos[0].c_str());
      return 1;
    }
    bool last = done + n == total;
    std::vector<uint8_t> p(9, 0);
    hostlink::put_be32(p, 0, uint32_t(n));
    hostlink::put_be32(p, 4, uint32_t(n));
    p[8] = last ? 1 : 0;
    if (!ctl.command(39, p, &r, buf.data(), n)) {
      if (bar) fputc('\n', stderr);
      return 1;
    }
    done += n;
    if (bar) progress(done, total);
  } while (done < total);
  if (bar) fputc('\n', stderr);
  ctl.result("uploaded " + dev + ": " + std::to_string(total) + " bytes",
             "{\"path\":" + quoted(dev) + ",\"bytes\":" + std::to_string(total) + "}");
  return 0;
}
PANELCTL_SUBCOMMAND("upload", "upload a file of any size in chunks (38, 39)", upload);

// rm DEVPATH: a file, or every regular file below a directory.
int rm(Panelctl& ctl, const std::vector<std::string>& args) {
  if (args.size() != 1) return bad_usage("rm DEVPATH");
  if (!name_ok(args[0])) return 2;
  Packet r;
  if (!ctl.command(42, hostlink::name_params(args[0]), &r)) return 1;
  ctl.result("rm " + args[0] + ": ok", "{\"path\":" + quoted(args[0]) + ",\"ok\":true}");
  return 0;
}
PANELCTL_SUBCOMMAND("rm", "delete a file, or all files below a directory (42)", rm);

int size(Panelctl& ctl, const std::vector<std::string>& args) {
  if (args.size() != 1) return bad_usage("size DEVPATH");
  if (!name_ok(args[0])) return 2;
  Packet r;
  if (!ctl.command(98, hostlink::name_params(args[0]), &r)) return 1;
  uint32_t n = le32(r.data() + 8);
  ctl.result(std::to_string(n),
             "{\"path\":" + quoted(args[0]) + ",\"size\":" + std::to_string(n) + "}");
  return 0;
}
PANELCTL_SUBCOMMAND("size", "print a file's size in bytes; 0 when missing (98)", size);

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

// ls DEVPATH: the listing comes in slices; the device lists anew only every
// twentieth command, so a listing is a full round of twenty. Should an
// earlier round have been cut short, the new listing starts later: the round
// is then counted from the reply that starts the listing.
int ls(Panelctl& ctl, const std::vector<std::string>& args) {
  if (args.size() != 1) return bad_usage("ls DEVPATH");
  const std::string& dev = args[0];
  if (!name_ok(dev)) return 2;
  std::string text;
  int start = -1;
  for (int k = 0; k < 2 * kListSlices - 1; k++) {
    Packet r;
    if (!ctl.command(99, hostlink::name_params(dev), &r)) return 1;
    std::string s(reinterpret_cast<const char*>(r.data()), kSlice);
    if (start < 0 && s.compare(0, 7, "result:") == 0) start = k;
    if (start >= 0) {
      text += s;
      if (k - start + 1 == kListSlices) break;
    } else if (k == kListSlices - 1) {
      break;  // a full round without a listing: the device could not list
    }
  }
  text = text.c_str();  // up to the first NUL
  if (start < 0 || text.empty()) {
    fprintf(stderr, "panelctl: no listing came for %s\n", dev.c_str());
    return 1;
  }
  std::string body = text.substr(7);
  if (body == "nodir-createdone") {
    ctl.result(dev + ": no such directory; created it",
               "{\"path\":" + quoted(dev) + ",\"created\":true,\"dirs\":[],\"files\":[]}");
    return 0;
  }
  if (body == "nodir-createfailed") {
    fprintf(stderr, "panelctl: %s: no such directory, and it cannot be created\n", dev.c_str());
    if (ctl.json) ctl.result("", "{\"path\":" + quoted(dev) + ",\"error\":\"nodir\"}");
    return 1;
  }
  size_t f = body.find("file:");
  if (body.compare(0, 4, "dir:") != 0 || f == std::string::npos) {
    fprintf(stderr, "panelctl: unexpected listing: %s\n", text.c_str());
    return 1;
  }
  std::vector<std::string> dirs = split_names(body.substr(4, f - 4));
  std::vector<std::string> files = split_names(body.substr(f + 5));
  std::string human;
  for (auto& d : dirs) human += d + "/\n";
  for (auto& n : files) human += n + "\n";
  if (!human.empty()) human.pop_back();
  ctl.result(human, "{\"path\":" + quoted(dev) + ",\"dirs\":" + json_array(dirs) +
                        ",\"files\":" + json_array(files) + "}");
  return 0;
}
PANELCTL_SUBCOMMAND("ls", "list a directory (created when missing) (99)", ls);

int storage(Panelctl& ctl, const std::vector<std::string>& args) {
  if (!args.empty()) return bad_usage("storage");
  Packet r;
  if (!ctl.command(100, std::vector<uint8_t>(8, 0), &r)) return 1;
  uint32_t total = le32(r.data() + 8), used = le32(r.data() + 12), avail = le32(r.data() + 16);
  ctl.result("total " + std::to_string(total) + " KiB, used " + std::to_string(used) +
                 " KiB, available " + std::to_string(avail) + " KiB",
             "{\"total_kib\":" + std::to_string(total) + ",\"used_kib\":" + std::to_string(used) +
                 ",\"available_kib\":" + std::to_string(avail) + "}");
  return 0;
}
PANELCTL_SUBCOMMAND("storage", "print the SD card's storage figures in KiB (100)", storage);

}  // namespace
