// Fuzz target: the kernel log watcher over any stream of kernel log bytes.
// Lines are read and cut as the watcher reads them (at most 1023 bytes, cut
// at the newline) and handled one by one; after a failed allocation the
// rest of the stream is drained.
//
// Invariants: an under-run recovery line is logged as exactly one line of
// "/usr/data/log"; a failed allocation (in a line that is not an under-run)
// asks for the exit; other lines leave the log alone. A logged entry is
// either the line itself or "[hh:mm:ss.mmm] message", with minutes and
// seconds below 60, the time within a millisecond of the line's time stamp,
// the message taken from the line, and at most 1023 characters in all.
// Draining takes every line that is left.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/support/fuzz_support.h"
#include "supervision/kmsg_watcher.h"

namespace {

void check_entry(const std::string& line, const std::string& entry) {
  FUZZ_CHECK(entry.size() <= 1023);
  if (entry == line) return;
  int h = -1, m = -1, s = -1, ms = -1, n = 0;
  FUZZ_CHECK(sscanf(entry.c_str(), "[%d:%d:%d.%d] %n", &h, &m, &s, &ms, &n) == 4 && n > 0);
  FUZZ_CHECK(entry[n - 1] == ' ' && entry[n - 2] == ']');
  FUZZ_CHECK(h >= 0 && m >= 0 && m < 60 && s >= 0 && s < 60 && ms >= 0 && ms < 1000);
  // The entry's time against the line's stamp.
  // The stamp follows the priority's closing bracket.
  size_t open = line.find(">[");
  FUZZ_CHECK(line[0] == '<' && open != std::string::npos);
  open++;
  double t = strtod(line.c_str() + open + 1, nullptr);
  FUZZ_CHECK(t >= 0 && t < 1e12);
  double shown = double(h) * 3600 + m * 60 + s + ms / 1000.0;
  FUZZ_CHECK(shown <= t + 1e-4 + t * 1e-15 && shown >= t - 1.1e-3 - t * 1e-15);
  // The message is a stretch of the line after the stamp, not blank-led.
  std::string msg = entry.substr(size_t(n));
  FUZZ_CHECK(!msg.empty() && line.find(msg, open) != std::string::npos);
  FUZZ_CHECK(msg.size() <= 511);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::device_root();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string log_path = fuzz::real("/usr/data/log");
  unlink(log_path.c_str());
  std::string text(reinterpret_cast<const char*>(data), size);
  FILE* stream = fmemopen(text.empty() ? nullptr : &text[0], text.size(), "r");
  if (!stream) return 0;

  std::string want_log;
  char line[1024];
  while (fgets(line, sizeof line, stream)) {
    line[strcspn(line, "\n")] = 0;
    std::string l(line);
    KmsgVerdict v = handle_kmsg_line(line);
    bool underrun = l.find("tft underrun recover done") != std::string::npos;
    bool alloc = l.find("aFailed to alloc") != std::string::npos;
    if (underrun) {
      FUZZ_CHECK(v == KmsgVerdict::kLogged);
      const std::string entry = format_kmsg_line(line);
      check_entry(l, entry.c_str());
      want_log += entry + "\n";
    } else {
      FUZZ_CHECK(v == (alloc ? KmsgVerdict::kExit : KmsgVerdict::kIgnore));
    }
    std::string got;
    if (!fuzz::read_file("/usr/data/log", &got)) got.clear();
    FUZZ_CHECK(got == want_log);
    if (v == KmsgVerdict::kExit) {
      clear_kernel_messages(stream);
      FUZZ_CHECK(fgets(line, sizeof line, stream) == nullptr);
      break;
    }
  }
  // Any line, matching or not, formats safely.
  if (size > 0) {
    std::string first = text.substr(0, text.find('\n'));
    first.resize(strnlen(first.c_str(), first.size()));
    if (first.size() > 1023) first.resize(1023);
    check_entry(first, format_kmsg_line(first.c_str()).c_str());
  }
  fclose(stream);
  return 0;
}
