#include "tools/hostlink/hostlink.h"

#include <fcntl.h>
#include <mbedtls/des.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace hostlink {

namespace {
const unsigned char kKey[8] = {'q', 'd', '7', 'm', 'w', 'r', 'k', 'a'};

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

Packet encrypt_raw(const uint8_t* plain504) {
  Packet pkt{};
  mbedtls_des_context ctx;
  mbedtls_des_init(&ctx);
  mbedtls_des_setkey_enc(&ctx, kKey);
  unsigned char iv[8];
  memcpy(iv, kKey, 8);
  mbedtls_des_crypt_cbc(&ctx, MBEDTLS_DES_ENCRYPT, 504, iv, plain504, pkt.data());
  mbedtls_des_free(&ctx);
  pkt[510] = 0xA1;
  pkt[511] = 0x1A;
  return pkt;
}

Packet make_packet(uint8_t code, const std::vector<uint8_t>& params, uint32_t tag,
                   size_t plain_len) {
  if (plain_len < 496) plain_len = 496;
  if (plain_len > 503) plain_len = 503;
  uint8_t plain[504] = {0};
  plain[0] = code;
  plain[2] = 0x1A;
  plain[3] = 0x6D;
  plain[4] = tag >> 24;
  plain[5] = tag >> 16;
  plain[6] = tag >> 8;
  plain[7] = tag;
  size_t n = params.size() < plain_len - 8 ? params.size() : plain_len - 8;
  if (n) memcpy(plain + 8, params.data(), n);
  uint8_t pad = static_cast<uint8_t>(8 - plain_len % 8);
  for (size_t i = plain_len; i < 504; i++) plain[i] = pad;
  return encrypt_raw(plain);
}

void put_be32(std::vector<uint8_t>& v, size_t off, uint32_t x) {
  if (v.size() < off + 4) v.resize(off + 4);
  v[off] = x >> 24;
  v[off + 1] = x >> 16;
  v[off + 2] = x >> 8;
  v[off + 3] = x;
}

void put_be16(std::vector<uint8_t>& v, size_t off, uint16_t x) {
  if (v.size() < off + 2) v.resize(off + 2);
  v[off] = x >> 8;
  v[off + 1] = x;
}

// Offsets in `params` are counted from byte 8 of the command.
std::vector<uint8_t> name_params(const std::string& name, uint32_t extra) {
  std::vector<uint8_t> v(8);
  put_be32(v, 0, static_cast<uint32_t>(name.size()));
  put_be32(v, 4, extra);
  v.insert(v.end(), name.begin(), name.end());
  return v;
}

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint32_t be32(const uint8_t* p) {
  return uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24;
}

HostLink::~HostLink() {
  if (own_ && fd_ >= 0) ::close(fd_);
}

bool HostLink::open(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd_ < 0) {
    err_ = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  struct termios t;
  if (tcgetattr(fd_, &t) == 0) {
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd_, TCSANOW, &t);
  }
  return true;
}

bool HostLink::send_bytes(const uint8_t* p, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(fd_, p + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) {
      err_ = std::string("write failed: ") + strerror(errno);
      return false;
    }
    struct pollfd pf = {fd_, POLLOUT, 0};
    poll(&pf, 1, 1000);
  }
  return true;
}

bool HostLink::recv_bytes(uint8_t* p, size_t n, int timeout_ms) {
  size_t got = 0;
  long long end = now_ms() + timeout_ms;
  while (got < n) {
    long long left = end - now_ms();
    if (left <= 0) break;
    struct pollfd pf = {fd_, POLLIN, 0};
    int r = poll(&pf, 1, static_cast<int>(left));
    if (r <= 0) continue;
    ssize_t k = ::read(fd_, p + got, n - got);
    if (k > 0)
      got += static_cast<size_t>(k);
    else if (k < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
      break;
    else if (k <= 0)
      usleep(1000);
  }
  if (got < n) {
    err_ = "no reply from the device (got " + std::to_string(got) + " of " + std::to_string(n) +
           " bytes)";
    return false;
  }
  return true;
}

void HostLink::drain() {
  uint8_t buf[4096];
  for (;;) {
    struct pollfd pf = {fd_, POLLIN, 0};
    if (poll(&pf, 1, 0) <= 0) return;
    if (::read(fd_, buf, sizeof buf) <= 0) return;
  }
}

bool HostLink::send_command(uint8_t code, const std::vector<uint8_t>& params,
                            const uint8_t* payload, size_t payload_len) {
  if (!send_packet(make_packet(code, params, ++tag_))) return false;
  return payload_len == 0 || send_bytes(payload, payload_len);
}

bool HostLink::reply(Packet* out, int timeout_ms) {
  Packet tmp;
  return recv_bytes(out ? out->data() : tmp.data(), 512, timeout_ms);
}

bool HostLink::command(uint8_t code, const std::vector<uint8_t>& params, Packet* reply,
                       const uint8_t* payload, size_t payload_len, int timeout_ms) {
  return send_command(code, params, payload, payload_len) && this->reply(reply, timeout_ms);
}

bool HostLink::command_no_reply(uint8_t code, const std::vector<uint8_t>& params) {
  return send_packet(make_packet(code, params, ++tag_));
}

}  // namespace hostlink
