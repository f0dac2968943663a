// Glue shared by the fuzz targets: a throw-away device root, an in-memory
// host line, and checks that abort with a message (a finding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// An invariant of the code under test; a violation is a finding.
#define FUZZ_CHECK(cond)                                \
  do {                                                  \
    if (!(cond)) fuzz::fail(__FILE__, __LINE__, #cond); \
  } while (0)

namespace fuzz {

[[noreturn]] void fail(const char* file, int line, const char* what);

// A fresh device root with the folder skeleton, made once per process and
// named by PANELD_ROOT; removed at exit.
const std::string& device_root();
// Real path of a device path.
std::string real(const std::string& device_path);
void write_file(const std::string& device_path, const uint8_t* data, size_t n);
// Contents of a device file; false when it cannot be read.
bool read_file(const std::string& device_path, std::string* out);
// Every regular file below a real directory, path relative to it -> content
// (the simulated panel's files under /sim left out).
std::map<std::string, std::string> tree(const std::string& real_dir);
void remove_tree(const std::string& real_dir);

// The host line: a pipe whose read end is tty_fd. feed() writes bytes the
// next payload read takes; pending() counts those not yet taken.
void line_open();
void line_feed(const uint8_t* data, size_t n);
size_t line_pending();
// Drops whatever is left on the line.
void line_flush();

// Reads the fuzzer's bytes front to back; past the end everything reads 0.
class Input {
 public:
  Input(const uint8_t* d, size_t n) : d_(d), n_(n) {}
  bool empty() const { return pos_ >= n_; }
  size_t left() const { return pos_ < n_ ? n_ - pos_ : 0; }
  uint8_t u8() { return pos_ < n_ ? d_[pos_++] : 0; }
  uint16_t u16() { return uint16_t(u8() << 8 | u8()); }
  uint32_t u32() { return uint32_t(u16()) << 16 | u16(); }
  // Up to n bytes (fewer at the end).
  std::vector<uint8_t> bytes(size_t n) {
    size_t k = n < left() ? n : left();
    std::vector<uint8_t> v(d_ + pos_, d_ + pos_ + k);
    pos_ += k;
    return v;
  }
  std::vector<uint8_t> rest() { return bytes(left()); }

 private:
  const uint8_t* d_;
  size_t n_;
  size_t pos_ = 0;
};

}  // namespace fuzz
