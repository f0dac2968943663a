// panelctl: the host tool. Speaks the command protocol over a serial path.
//
//   panelctl [--device PATH] [--json] [--timeout MS] SUBCOMMAND [ARGS...]
//
// The device path defaults to $PANELCTL_DEVICE, else /dev/ttyACM0.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "tools/panelctl/panelctl.h"

namespace {

struct Entry {
  const char* usage;
  SubcommandFn fn;
};

std::map<std::string, Entry>& registry() {
  static std::map<std::string, Entry> r;
  return r;
}

void usage() {
  fprintf(stderr,
          "usage: panelctl [--device PATH] [--json] [--timeout MS] SUBCOMMAND [ARGS...]\n"
          "subcommands:\n");
  for (auto& [name, e] : registry()) fprintf(stderr, "  %-16s %s\n", name.c_str(), e.usage);
}

}  // namespace

SubcommandRegistration::SubcommandRegistration(const char* name, const char* use, SubcommandFn fn) {
  registry()[name] = Entry{use, fn};
}

bool Panelctl::command(uint8_t code, const std::vector<uint8_t>& params, hostlink::Packet* reply,
                       const uint8_t* payload, size_t payload_len) {
  if (!link.command(code, params, reply, payload, payload_len, timeout_ms)) {
    fprintf(stderr, "panelctl: command %d: %s\n", code, link.error().c_str());
    return false;
  }
  return true;
}

void Panelctl::result(const std::string& text, const std::string& json_obj) const {
  if (json) {
    printf("%s\n", json_obj.c_str());
  } else if (!text.empty()) {
    printf("%s\n", text.c_str());
  }
}

bool parse_uint(const std::string& s, unsigned long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long v = strtoul(s.c_str(), &end, 0);
  if (errno || *end || s[0] == '-') return false;
  *out = v;
  return true;
}

bool read_file(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

std::string json_escape(const std::string& s) {
  std::string o;
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        o += "\\\"";
        break;
      case '\\':
        o += "\\\\";
        break;
      case '\n':
        o += "\\n";
        break;
      case '\r':
        o += "\\r";
        break;
      case '\t':
        o += "\\t";
        break;
      default:
        if (c < 0x20) {
          char b[8];
          snprintf(b, sizeof b, "\\u%04x", c);
          o += b;
        } else {
          o += static_cast<char>(c);
        }
    }
  }
  return o;
}

std::string hex_bytes(const uint8_t* p, size_t n) {
  std::string o;
  char b[4];
  for (size_t i = 0; i < n; i++) {
    snprintf(b, sizeof b, "%02x", p[i]);
    if (i) o += ' ';
    o += b;
  }
  return o;
}

int main(int argc, char** argv) {
  Panelctl ctl;
  const char* env = getenv("PANELCTL_DEVICE");
  ctl.device = env ? env : "/dev/ttyACM0";
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; i++) {
    std::string a = argv[i];
    if ((a == "--device" || a == "-d") && i + 1 < argc) {
      ctl.device = argv[++i];
    } else if (a == "--json") {
      ctl.json = true;
    } else if (a == "--timeout" && i + 1 < argc) {
      ctl.timeout_ms = atoi(argv[++i]);
    } else if (a == "--help" || a == "-h") {
      usage();
      return 0;
    } else {
      fprintf(stderr, "panelctl: unknown option %s\n", a.c_str());
      usage();
      return 2;
    }
  }
  if (i >= argc) {
    usage();
    return 2;
  }
  auto it = registry().find(argv[i]);
  if (it == registry().end()) {
    fprintf(stderr, "panelctl: unknown subcommand %s\n", argv[i]);
    usage();
    return 2;
  }
  std::vector<std::string> args(argv + i + 1, argv + argc);
  if (!ctl.link.open(ctl.device)) {
    fprintf(stderr, "panelctl: %s\n", ctl.link.error().c_str());
    return 1;
  }
  return it->second.fn(ctl, args);
}
