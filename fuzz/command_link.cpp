// Fuzz target: the command link end to end. The input is a script of what
// the host line does; the daemon's own command loop steps (read a 512-byte
// packet, check trailer, decryption and magic bytes, dispatch to any
// handler, bulk payload reads, reply) run over it as the daemon runs them.
//
// The line is a stand-in descriptor: read, select, poll, write and tcdrain
// on it are served from the script here, so short reads, EINTR, a gap of
// 2 s (a read returns nothing) and a silence of 15 s (the wait for a first
// byte ends too) come from the input, deterministically and without
// waiting. Other descriptors go to the system as usual. Pacing sleeps
// return at once and sync is a no-op. No worker thread runs: their queues
// and rings are emptied after each input.
//
// Input: a state byte (factory test mode, read size, standby screens
// shown), then operations, each one byte (low 3 bits: kind, high 5: an
// argument) and its data:
//   0  raw bytes: length = next byte + argument * 256, then the bytes
//   1  a well-formed packet: plaintext length selector, code, byte 1,
//      parameter count and the parameters (from byte 8 on)
//   2  the same with faults the argument picks: bad trailer, bad magic
//      bytes, bad padding, a flipped cipher byte
//   3  a bulk payload of filler: 16-bit length << (argument & 7)
//   4  EINTR   5  a gap of 2 s   6  a silence of 15 s
//   7  from here on reads return at most kReadSizes[argument & 7] bytes
// The script always ends with a silence and a probe packet (identity, 10).
//
// Invariants: every command that passed validation is answered by exactly
// one 512-byte reply that echoes its code, status 200 and its tag (the
// listing pager's raw pages excepted: one 512-byte page); a dropped packet
// and a failed read send nothing; after any input the probe is answered
// last (the link is back in step after a silence). The exit command (44)
// ends the process, so it is recorded and not run; reboot, halt, update
// and the decoder test only reach the simulated platform's shell log.
#include <dlfcn.h>
#include <fcntl.h>
#include <mbedtls/des.h>
#include <poll.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/state.h"
#include "display/fb.h"
#include "fuzz/support/fuzz_support.h"
#include "image/jpeg.h"
#include "image/png_overlay.h"
#include "link/command_loop.h"
#include "link/startup.h"
#include "protocol/command.h"
#include "protocol/tty.h"
#include "storage/config.h"
#include "video/intake.h"
#include "video/local_player.h"

namespace {

// Bytes on the line per input. More would mostly be read as junk packets
// (each one decrypted and dropped) at a few hundred milliseconds an input;
// a payload larger than a handler's room is announced in the command, and
// its draining starts all the same.
constexpr size_t kMaxLineBytes = 128u << 10;
constexpr size_t kMaxEvents = 4096;
constexpr size_t kReadSizes[8] = {0, 1, 7, 64, 500, 512, 4096, 65536};  // 0: as much as asked
constexpr uint32_t kProbeTag = 0xC0DE0001u;
const uint8_t kKey[8] = {'q', 'd', '7', 'm', 'w', 'r', 'k', 'a'};

enum class Ev : uint8_t { Data, Eintr, Gap, Silence, Pace };

struct Event {
  Ev kind;
  std::vector<uint8_t> bytes;  // Data
  size_t off = 0;              // Data: bytes already taken
  size_t pace = 0;             // Pace: the new read size
};

// The host line as the daemon sees it.
struct Line {
  int fd = -1;  // the stand-in descriptor while the line is open
  std::vector<Event> events;
  size_t next = 0;
  size_t max_read = 0;
  std::vector<uint8_t> out;  // everything the daemon sent

  bool done() const { return next >= events.size(); }
  // Applies read-size changes and skips what is used up.
  void settle() {
    while (!done()) {
      Event& e = events[next];
      if (e.kind == Ev::Pace) {
        max_read = e.pace;
      } else if (!(e.kind == Ev::Data && e.off >= e.bytes.size())) {
        return;
      }
      next++;
    }
  }
  ssize_t read(uint8_t* buf, size_t n) {
    if (n == 0) return 0;
    settle();
    if (done()) return 0;  // nothing more comes: the 2 s gap ends the read
    Event& e = events[next];
    if (e.kind == Ev::Eintr) {
      next++;
      errno = EINTR;
      return -1;
    }
    if (e.kind != Ev::Data) {
      next++;
      return 0;
    }
    size_t k = e.bytes.size() - e.off;
    if (k > n) k = n;
    if (max_read && k > max_read) k = max_read;
    memcpy(buf, e.bytes.data() + e.off, k);
    e.off += k;
    return static_cast<ssize_t>(k);
  }
  // The wait for a first byte: 1 ready, 0 time-out, -1 EINTR. A gap is
  // shorter than the wait and passes.
  int wait_readable() {
    for (;;) {
      settle();
      if (done()) return 0;
      Event& e = events[next];
      switch (e.kind) {
        case Ev::Eintr:
          next++;
          errno = EINTR;
          return -1;
        case Ev::Gap:
          next++;
          continue;
        case Ev::Silence:
          next++;
          return 0;
        default:
          return 1;
      }
    }
  }
  // A reopened line has flushed what had arrived: the rest of a packet or
  // payload already being read.
  void reopen() {
    settle();
    if (!done() && events[next].kind == Ev::Data && events[next].off > 0) next++;
  }
};

Line line;

template <typename F>
F system_fn(const char* name) {
  void* p = dlsym(RTLD_NEXT, name);
  if (!p) abort();
  return reinterpret_cast<F>(p);
}

bool on_line(int fd) { return line.fd >= 0 && fd == line.fd; }

void open_line() {
  line.fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (line.fd < 0) fuzz::fail(__FILE__, __LINE__, "open /dev/null");
  tty_fd.store(line.fd);
}

void put_be32(uint8_t* p, uint32_t x) {
  p[0] = uint8_t(x >> 24), p[1] = uint8_t(x >> 16), p[2] = uint8_t(x >> 8), p[3] = uint8_t(x);
}

// A command packet: plaintext padded PKCS#5-style to 504 bytes, encrypted
// with the device key, the rest zero up to the trailer.
std::vector<uint8_t> make_packet(const std::vector<uint8_t>& plain_in, uint8_t faults,
                                 uint8_t flip_at) {
  std::vector<uint8_t> plain = plain_in;
  if (faults & 2) plain[3] ^= 0x40;
  if (plain.size() > des_len - 1) plain.resize(des_len - 1);  // room for the padding
  const size_t pad = 8 - plain.size() % 8;
  plain.resize(plain.size() + pad, uint8_t(pad));
  if (faults & 4) plain.back() = uint8_t(9 + (flip_at & 0x7F));
  std::vector<uint8_t> pkt(cmd_len, 0);
  uint8_t iv[8];
  memcpy(iv, kKey, 8);
  mbedtls_des_context ctx;
  mbedtls_des_init(&ctx);
  mbedtls_des_setkey_enc(&ctx, kKey);
  mbedtls_des_crypt_cbc(&ctx, MBEDTLS_DES_ENCRYPT, plain.size(), iv, plain.data(), pkt.data());
  mbedtls_des_free(&ctx);
  if (faults & 8) pkt[flip_at % des_len] ^= 0x01;
  pkt[510] = 0xA1;
  pkt[511] = 0x1A;
  if (faults & 1) pkt[510 + (flip_at & 1)] ^= 0x80;
  return pkt;
}

std::vector<uint8_t> plaintext(uint8_t code, uint32_t tag, size_t len,
                               const std::vector<uint8_t>& params, uint8_t byte1 = 0) {
  std::vector<uint8_t> p(len < 4 ? 4 : len, 0);
  p[0] = code;
  p[1] = byte1;
  p[2] = 0x1A;
  p[3] = 0x6D;
  if (p.size() >= 8) put_be32(&p[4], tag);
  for (size_t i = 0; i < params.size() && 8 + i < p.size(); i++) p[8 + i] = params[i];
  return p;
}

void add(Ev kind, std::vector<uint8_t> bytes = {}, size_t pace = 0) {
  line.events.push_back(Event{kind, std::move(bytes), 0, pace});
}

// Builds the line's script from the operations; the state byte is taken.
void build_script(fuzz::Input& in) {
  size_t bytes = 0;
  uint32_t seq = 0;
  while (!in.empty() && line.events.size() < kMaxEvents && bytes < kMaxLineBytes) {
    const uint8_t op = in.u8();
    const uint8_t arg = op >> 3;
    switch (op & 7) {
      case 0: {
        size_t n = in.u8() + size_t(arg) * 256;
        std::vector<uint8_t> b = in.bytes(n);
        bytes += b.size();
        if (!b.empty()) add(Ev::Data, std::move(b));
        break;
      }
      case 1:
      case 2: {
        const uint8_t len_sel = in.u8();
        // Mostly full-length commands as host applications send them.
        const size_t len = len_sel < 160 ? 503 : 4 + len_sel % 125 * 4;  // 4..500
        const uint8_t code = in.u8(), byte1 = in.u8();
        std::vector<uint8_t> params = in.bytes(in.u8());
        const uint8_t faults = (op & 7) == 2 ? (arg & 15) : 0;
        const uint8_t flip_at = faults ? in.u8() : 0;
        add(Ev::Data,
            make_packet(plaintext(code, 0xF0000000u | seq++, len, params, byte1), faults, flip_at));
        bytes += cmd_len;
        break;
      }
      case 3: {
        size_t n = size_t(in.u16()) << (arg & 7);
        if (n > kMaxLineBytes - bytes) n = kMaxLineBytes - bytes;
        std::vector<uint8_t> b(n);
        for (size_t i = 0; i < n; i++) b[i] = uint8_t(0xA5 ^ i);
        bytes += n;
        if (n) add(Ev::Data, std::move(b));
        break;
      }
      case 4:
        add(Ev::Eintr);
        break;
      case 5:
        add(Ev::Gap);
        break;
      case 6:
        add(Ev::Silence);
        break;
      default:
        add(Ev::Pace, {}, kReadSizes[arg & 7]);
        break;
    }
  }
  add(Ev::Silence);
  add(Ev::Data, make_packet(plaintext(10, kProbeTag, 503, {}), 0, 0));
}

// What a command left behind for worker threads that do not run here.
void tidy_up() {
  uint8_t cmd[504] = {38, 0, 0x1A, 0x6D};  // a create without a name closes an open upload
  uint8_t reply[cmd_len] = {};
  Reply r{reply};
  find_command(38)(Command(cmd, sizeof cmd), r);
  // A player left running would end, and free its buffer, during a later
  // input: the leak check would blame that input for it.
  stop_local_h264_and_join();
  clear_h264_rings();
  ImgPlaying.store(0);
  truncate((fuzz::device_root() + "/sim/shell.log").c_str(), 0);
}

}  // namespace

// The address sanitizer's checking versions of read, write and poll: other
// descriptors go through them, so a read from a file into a short buffer
// is still caught.
extern "C" ssize_t __interceptor_read(int, void*, size_t);
extern "C" ssize_t __interceptor_write(int, const void*, size_t);
extern "C" int __interceptor_poll(struct pollfd*, nfds_t, int);

// The line's system calls. The sanitizers' own interceptors of these are
// weak and give way; descriptors other than the line's go on as usual.
extern "C" ssize_t read(int fd, void* buf, size_t n) {
  if (!on_line(fd)) return __interceptor_read(fd, buf, n);
  return line.read(static_cast<uint8_t*>(buf), n);
}

extern "C" ssize_t write(int fd, const void* buf, size_t n) {
  if (!on_line(fd)) return __interceptor_write(fd, buf, n);
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  line.out.insert(line.out.end(), p, p + n);
  return static_cast<ssize_t>(n);
}

extern "C" int select(int nfds, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv) {
  static auto sys = system_fn<int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*)>("select");
  const int fd = line.fd;
  if (fd < 0 || fd >= nfds || !((r && FD_ISSET(fd, r)) || (w && FD_ISSET(fd, w))))
    return sys(nfds, r, w, e, tv);
  if (e) FD_ZERO(e);
  if (w && FD_ISSET(fd, w)) {  // the line always takes a reply
    if (r) FD_ZERO(r);
    return 1;
  }
  const int got = line.wait_readable();
  if (got <= 0) FD_ZERO(r);
  return got;
}

extern "C" int poll(struct pollfd* fds, nfds_t n, int timeout) {
  if (n != 1 || !on_line(fds[0].fd)) return __interceptor_poll(fds, n, timeout);
  fds[0].revents = 0;
  if (fds[0].events & POLLOUT) {
    fds[0].revents = POLLOUT;
    return 1;
  }
  const int got = line.wait_readable();
  if (got > 0) fds[0].revents = POLLIN;
  return got;
}

extern "C" int tcdrain(int fd) {
  static auto sys = system_fn<int (*)(int)>("tcdrain");
  return on_line(fd) ? 0 : sys(fd);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::device_root();
  const char panel[] = "48x64\n";
  fuzz::write_file("/sim/panel", reinterpret_cast<const uint8_t*>(panel), sizeof panel - 1);
  version_info = "fuzz_0001_2026091101";
  r_buf = static_cast<uint8_t*>(malloc(max_packet_len));
  if (init_disp() < 0 || jpeg_nv12_decode_prepare() < 0)
    fuzz::fail(__FILE__, __LINE__, "display start-up");
  ReadConfig();
  png_thread_init();
  big_png_thread_init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t state = in.u8();
  test_mode.store(state & 1);
  cfg.test_mode.store(state & 1);
  CLOCK_STATE.store(state & 0x10 ? 1 : -1);
  OFFLINE_MODE_STATE.store(state & 0x20 ? 1 : -1);
  line.events.clear();
  line.next = 0;
  line.out.clear();
  line.max_read = kReadSizes[(state >> 1) & 7];
  build_script(in);

  open_line();
  // FUZZ_TRACE=1 shows the passes of the loop, for looking into an input.
  static const bool trace = getenv("FUZZ_TRACE") != nullptr;
  std::vector<uint8_t> cmd;
  uint8_t reply[cmd_len];
  // Bounded: every pass takes at least one event or ends the script.
  for (size_t pass = 0; pass < 4 * kMaxEvents + 64; pass++) {
    const size_t sent = line.out.size();
    const PacketRead got = read_command(&cmd);
    FUZZ_CHECK(got == PacketRead::Command || line.out.size() == sent);
    if (got == PacketRead::Failed) {
      // As the daemon does: close the line and open it again.
      const bool finished = line.done();
      uart_close(tty_fd);
      line.fd = -1;
      if (finished) break;
      line.reopen();
      open_line();
      continue;
    }
    if (trace) fprintf(stderr, "pass %zu: %s\n", pass, got == PacketRead::Dropped ? "dropped" : "");
    if (got == PacketRead::Dropped) continue;
    const Command c(cmd.data(), cmd.size());
    if (trace) fprintf(stderr, "  command %d\n", c.code());
    if (c.code() == 44) continue;  // exit: recorded, not run
    handle_command(cmd, reply);
    FUZZ_CHECK(line.out.size() == sent + cmd_len);
    if (c.code() != 99) {  // the listing pager sends raw pages
      const uint8_t* r = line.out.data() + sent;
      FUZZ_CHECK(r[0] == c.code() && r[1] == 200);
      for (int i = 0; i < 4; i++) FUZZ_CHECK(r[2 + i] == c.u8(4 + size_t(i)));
    }
  }
  if (line.fd >= 0) {
    uart_close(tty_fd);
    line.fd = -1;
  }
  tty_fd.store(-1);
  // Back in step: the probe after the silence is answered, and last.
  FUZZ_CHECK(line.done());
  FUZZ_CHECK(line.out.size() >= cmd_len && line.out.size() % cmd_len == 0);
  const uint8_t* last = line.out.data() + line.out.size() - cmd_len;
  FUZZ_CHECK(last[0] == 10 && last[1] == 200);
  FUZZ_CHECK(last[2] == 0xC0 && last[3] == 0xDE && last[4] == 0x00 && last[5] == 0x01);
  FUZZ_CHECK(memcmp(last + 8, version_info.data(), version_info.size()) == 0);
  tidy_up();
  return 0;
}
