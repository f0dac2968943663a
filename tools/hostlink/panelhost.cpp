// The C API of the host library, on top of the C++ line code in hostlink.cpp.
#include "tools/hostlink/panelhost.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "tools/hostlink/hostlink.h"

struct panelhost {
  hostlink::HostLink link;
  std::string error;
  int timeout_ms = PANELHOST_TIMEOUT_MS;
  uint8_t last_code = 0;
  uint32_t last_tag = 0;
  uint32_t next_tag = 1;
  bool awaiting = false;

  panelhost() = default;
  explicit panelhost(int fd) : link(fd) {}
  int fail(std::string why) {
    error = std::move(why);
    return -1;
  }
};

namespace {

constexpr size_t kNameMax = PANELHOST_PARAMS_MAX - 8;  // name bytes from command byte 16
constexpr int kListingSlices = 20;                     // one listing is 20 replies of 99

long long now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The C API reports a failure by its return value with errno set.
panelhost* fail_with(int error, std::nullptr_t) {
  errno = error;
  return nullptr;
}

int call(panelhost* h, uint8_t code, const std::vector<uint8_t>& params, uint8_t* reply = nullptr,
         const void* payload = nullptr, size_t payload_len = 0) {
  return panelhost_exchange(h, code, params.data(), params.size(), payload, payload_len, reply);
}

bool name_params(panelhost* h, const char* path, uint32_t extra, std::vector<uint8_t>* out) {
  if (!path) return h->fail("no device path given"), false;
  size_t n = strlen(path);
  if (n == 0 || n > kNameMax) {
    h->fail("device path must be 1.." + std::to_string(kNameMax) + " bytes long");
    return false;
  }
  *out = hostlink::name_params(path, extra);
  return true;
}

}  // namespace

extern "C" {

const char* panelhost_version(void) { return PANELHOST_VERSION; }

int panelhost_encode(uint8_t code, uint32_t tag, const uint8_t* params, size_t params_len,
                     uint8_t packet[PANELHOST_PACKET_LEN]) {
  if (params_len > PANELHOST_PARAMS_MAX || (params_len && !params) || !packet) return -1;
  std::vector<uint8_t> p(params, params + params_len);
  hostlink::Packet pkt = hostlink::make_packet(code, p, tag);
  memcpy(packet, pkt.data(), pkt.size());
  return 0;
}

panelhost* panelhost_open(const char* path) {
  if (!path) return fail_with(EINVAL, nullptr);
  panelhost* h = new (std::nothrow) panelhost;
  if (!h) return fail_with(ENOMEM, nullptr);
  if (!h->link.open(path)) {
    int e = errno;
    delete h;
    errno = e;
    return nullptr;
  }
  // The descriptor must not leak into programs the host application starts.
  fcntl(h->link.fd(), F_SETFD, FD_CLOEXEC);
  return h;
}

panelhost* panelhost_open_fd(int fd) {
  if (fd < 0) return fail_with(EBADF, nullptr);
  panelhost* h = new (std::nothrow) panelhost(fd);
  if (!h) errno = ENOMEM;
  return h;
}

void panelhost_close(panelhost* h) { delete h; }

const char* panelhost_error(const panelhost* h) { return h ? h->error.c_str() : "no connection"; }

void panelhost_set_timeout(panelhost* h, int timeout_ms) {
  if (h) h->timeout_ms = timeout_ms > 0 ? timeout_ms : PANELHOST_TIMEOUT_MS;
}

int panelhost_command(panelhost* h, uint8_t code, const uint8_t* params, size_t params_len) {
  if (!h) return -1;
  if (params_len > PANELHOST_PARAMS_MAX || (params_len && !params))
    return h->fail("command parameters longer than " + std::to_string(PANELHOST_PARAMS_MAX) +
                   " bytes");
  uint32_t tag = h->next_tag++;
  uint8_t pkt[PANELHOST_PACKET_LEN];
  panelhost_encode(code, tag, params, params_len, pkt);
  if (!h->link.send_bytes(pkt, sizeof pkt)) return h->fail(h->link.error());
  h->last_code = code;
  h->last_tag = tag;
  h->awaiting = true;
  return 0;
}

int panelhost_bulk(panelhost* h, const void* data, size_t len) {
  if (!h) return -1;
  if (len == 0) return 0;
  if (!data) return h->fail("no payload given");
  if (!h->link.send_bytes(static_cast<const uint8_t*>(data), len)) return h->fail(h->link.error());
  return 0;
}

int panelhost_reply(panelhost* h, uint8_t reply[PANELHOST_PACKET_LEN], int timeout_ms) {
  if (!h) return -1;
  if (!h->awaiting) return h->fail("no command waits for a reply");
  h->awaiting = false;
  uint8_t buf[PANELHOST_PACKET_LEN];
  uint8_t* r = reply ? reply : buf;
  const long long end = now_ms() + (timeout_ms > 0 ? timeout_ms : h->timeout_ms);
  for (;;) {
    long long left = end - now_ms();
    if (left <= 0 || !h->link.recv_bytes(r, PANELHOST_PACKET_LEN, static_cast<int>(left)))
      return h->fail(h->link.error() +
                     "; the device drops packets it cannot decrypt, and a line out of step "
                     "recovers after 2 s of silence");
    // The listing reply is raw text without a header.
    if (h->last_code == 99) return 0;
    uint32_t tag = hostlink::be32(r + 2);
    if (r[0] == h->last_code && r[1] == PANELHOST_STATUS_OK && tag == h->last_tag) return 0;
    // A late reply to an earlier command whose wait was given up: skip it.
    if (r[1] == PANELHOST_STATUS_OK && tag != h->last_tag) continue;
    h->link.drain();
    return h->fail("reply does not match command " + std::to_string(h->last_code) + " (got code " +
                   std::to_string(r[0]) + ", status " + std::to_string(r[1]) + ")");
  }
}

int panelhost_exchange(panelhost* h, uint8_t code, const uint8_t* params, size_t params_len,
                       const void* payload, size_t payload_len,
                       uint8_t reply[PANELHOST_PACKET_LEN]) {
  if (!h) return -1;
  if (payload_len > PANELHOST_BULK_MAX)
    return h->fail("payload of " + std::to_string(payload_len) + " bytes is over the " +
                   std::to_string(PANELHOST_BULK_MAX) + "-byte limit");
  if (panelhost_command(h, code, params, params_len) != 0) return -1;
  if (panelhost_bulk(h, payload, payload_len) != 0) {
    h->awaiting = false;
    return -1;
  }
  return panelhost_reply(h, reply, h->timeout_ms);
}

int panelhost_identity(panelhost* h, char out[26]) {
  uint8_t r[PANELHOST_PACKET_LEN];
  if (call(h, 10, {}, r) != 0) return -1;
  if (out) {
    memcpy(out, r + 8, 25);
    out[25] = 0;
  }
  return 0;
}

int panelhost_nop(panelhost* h) { return call(h, 254, {}); }

int panelhost_brightness(panelhost* h, uint8_t level) {
  if (h && level > 100) return h->fail("brightness is 0..100");
  return call(h, 14, {level});
}

int panelhost_rotation(panelhost* h, uint8_t code) { return call(h, 13, {code}); }

int panelhost_set_clock(panelhost* h, int year, int month, int day, int hour, int minute,
                        int second, uint8_t clock_flag) {
  if (!h) return -1;
  if (year < 1970 || year > 65535 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60)
    return h->fail("not a valid date and time");
  std::vector<uint8_t> p(8);
  hostlink::put_be16(p, 0, static_cast<uint16_t>(year));
  p[2] = static_cast<uint8_t>(month);
  p[3] = static_cast<uint8_t>(day);
  p[4] = static_cast<uint8_t>(hour);
  p[5] = static_cast<uint8_t>(minute);
  p[6] = static_cast<uint8_t>(second);
  p[7] = clock_flag;
  return call(h, 51, p);
}

int panelhost_standby_stop(panelhost* h, uint8_t* clock_state, uint8_t* offline_state) {
  uint8_t r[PANELHOST_PACKET_LEN];
  if (call(h, 52, {}, r) != 0) return -1;
  if (clock_state) *clock_state = r[8];
  if (offline_state) *offline_state = r[9];
  return 0;
}

int panelhost_take_over(panelhost* h, int timeout_ms) {
  if (!h) return -1;
  // Everything that can own the panel is asked to stop, round after round,
  // until it has stayed quiet long enough: the supervisor may start the
  // configured local content up to a second after the first packet, and
  // the slideshow, which cannot be queried, ends within about a second.
  constexpr int kRoundMs = 200;
  constexpr int kFirstQuietMs = 2500;
  constexpr int kQuietMs = 1300;
  const long long start = now_ms();
  long long quiet_since = start;
  int quiet_needed = kFirstQuietMs;
  uint32_t last_frame = 0;
  bool have_frame = false;
  for (;;) {
    uint8_t clock_state = 0, offline_state = 0;
    int playing = 0;
    uint32_t frame = 0;
    if (panelhost_standby_stop(h, &clock_state, &offline_state) != 0) return -1;
    if (call(h, 111, {}) != 0 || call(h, 114, {}) != 0) return -1;
    if (panelhost_local_playing(h, &playing) != 0) return -1;
    if (panelhost_frame_counter(h, &frame) != 0) return -1;
    bool busy = clock_state != 0xFF || offline_state != 0xFF || playing != 0 ||
                (have_frame && frame != last_frame);
    last_frame = frame;
    have_frame = true;
    long long now = now_ms();
    if (busy) {
      quiet_since = now;
      quiet_needed = kQuietMs;
    } else if (now - quiet_since >= quiet_needed) {
      return 0;
    }
    if (now - start > timeout_ms) {
      std::string what = clock_state != 0xFF     ? "the clock screen"
                         : offline_state != 0xFF ? "the offline screen"
                         : playing               ? "local video"
                                                 : "video";
      return h->fail("the panel is still busy with " + what + " after " +
                     std::to_string(timeout_ms) + " ms");
    }
    sleep_ms(kRoundMs);
  }
}

int panelhost_show_jpeg(panelhost* h, const void* jpeg, size_t len) {
  std::vector<uint8_t> p(4);
  hostlink::put_be32(p, 0, static_cast<uint32_t>(len));
  return call(h, 101, p, nullptr, jpeg, len);
}

int panelhost_png_frame(panelhost* h, const void* png, size_t len, uint16_t x, uint16_t y,
                        uint8_t stream, uint8_t* queued) {
  std::vector<uint8_t> p(9);
  hostlink::put_be32(p, 0, static_cast<uint32_t>(len));
  hostlink::put_be16(p, 4, x);
  hostlink::put_be16(p, 6, y);
  p[8] = stream;
  uint8_t r[PANELHOST_PACKET_LEN];
  if (call(h, 102, p, r, png, len) != 0) return -1;
  if (queued) *queued = r[8];
  return 0;
}

int panelhost_clear_overlay(panelhost* h) { return call(h, 103, {}); }

int panelhost_overlay_plane(panelhost* h, int on) {
  return call(h, 105, {static_cast<uint8_t>(on ? 1 : 0)});
}

int panelhost_h264_block(panelhost* h, int band, int bands, uint32_t stamp, const void* data,
                         size_t len, int last, uint8_t* fill) {
  static const uint8_t kCode[3] = {121, 119, 120};
  if (!h) return -1;
  if (band < 0 || band > 2 || bands < 1 || bands > 3 || band >= bands)
    return h->fail("band must be 0..bands-1 and bands 1..3");
  if (len > PANELHOST_BLOCK_MAX)
    return h->fail("an H.264 block holds at most " + std::to_string(PANELHOST_BLOCK_MAX) +
                   " bytes");
  std::vector<uint8_t> p(10);
  hostlink::put_be32(p, 0, static_cast<uint32_t>(len));
  p[4] = last ? 1 : 0;
  p[5] = static_cast<uint8_t>(bands);
  hostlink::put_be32(p, 6, stamp);
  uint8_t r[PANELHOST_PACKET_LEN];
  if (call(h, kCode[band], p, r, data, len) != 0) return -1;
  if (fill) *fill = r[8];
  return 0;
}

int panelhost_h264_start(panelhost* h, uint32_t stamp, int timeout_ms) {
  // Two empty blocks, each taken before the next is sent. The device drops
  // the block that brings a new stamp together with everything queued;
  // and when its decoder was closed it opens for that block and closes
  // again at once, dropping what arrived meanwhile. Whichever happened,
  // once the second block has been taken the decoder is settled and the
  // stream's first block is kept. One band, so that the decoder wakes for
  // band 0 alone.
  const long long end = now_ms() + timeout_ms;
  for (int i = 0; i < 2; ++i) {
    uint8_t fill = 0;
    if (panelhost_h264_block(h, 0, 1, stamp, nullptr, 0, 0, &fill) != 0) return -1;
    if (fill == 0) return h->fail("the device refuses video (is a standby screen running?)");
    for (;;) {
      uint8_t counts[4];
      if (panelhost_queue_status(h, counts) != 0) return -1;
      if (counts[0] == 0) break;
      if (now_ms() > end) return h->fail("the device did not take the new stream's first block");
      sleep_ms(10);
    }
  }
  return 0;
}

int panelhost_queue_status(panelhost* h, uint8_t counts[4]) {
  uint8_t r[PANELHOST_PACKET_LEN];
  if (call(h, 122, {}, r) != 0) return -1;
  if (counts) memcpy(counts, r + 8, 4);
  return 0;
}

int panelhost_frame_counter(panelhost* h, uint32_t* frame) {
  uint8_t r[PANELHOST_PACKET_LEN];
  if (call(h, 118, {}, r) != 0) return -1;
  if (frame) *frame = hostlink::be32(r + 8);
  return 0;
}

int panelhost_frame_rate(panelhost* h, uint8_t fps) {
  if (h && fps == 0) return h->fail("frame rate is 1..255");
  return call(h, 15, {fps});
}

int panelhost_stop_video(panelhost* h) { return call(h, 123, {}); }

int panelhost_play_local(panelhost* h, const char* device_path) {
  std::vector<uint8_t> p;
  if (!h || !name_params(h, device_path, 0, &p)) return -1;
  // The player keeps at most 127 characters of a path.
  if (strlen(device_path) > 127) return h->fail("a local video path holds at most 127 bytes");
  return call(h, 110, p);
}

int panelhost_stop_local(panelhost* h) { return call(h, 111, {}); }

int panelhost_local_playing(panelhost* h, int* playing) {
  uint8_t r[PANELHOST_PACKET_LEN];
  if (call(h, 112, {}, r) != 0) return -1;
  if (playing) *playing = r[8];
  return 0;
}

int panelhost_upload(panelhost* h, const char* device_path, const void* data, size_t len) {
  std::vector<uint8_t> p;
  if (!h || !name_params(h, device_path, 0, &p)) return -1;
  if (len && !data) return h->fail("no data given");
  uint8_t r[PANELHOST_PACKET_LEN];
  if (call(h, 38, p, r) != 0) return -1;
  if (r[8] != 200) return h->fail(std::string("the device cannot create ") + device_path);
  const uint8_t* d = static_cast<const uint8_t*>(data);
  size_t off = 0;
  // Even an empty file takes one (last) chunk, which closes it.
  do {
    size_t n = len - off < PANELHOST_BLOCK_MAX ? len - off : PANELHOST_BLOCK_MAX;
    bool last = off + n == len;
    std::vector<uint8_t> c(9);
    hostlink::put_be32(c, 0, static_cast<uint32_t>(n));
    hostlink::put_be32(c, 4, static_cast<uint32_t>(n));
    c[8] = last ? 1 : 0;
    if (call(h, 39, c, nullptr, d ? d + off : nullptr, n) != 0) return -1;
    off += n;
  } while (off < len);
  return 0;
}

int panelhost_file_size(panelhost* h, const char* device_path, uint32_t* size) {
  std::vector<uint8_t> p;
  if (!h || !name_params(h, device_path, 0, &p)) return -1;
  uint8_t r[PANELHOST_PACKET_LEN];
  if (call(h, 98, p, r) != 0) return -1;
  if (size) *size = hostlink::le32(r + 8);
  return 0;
}

int panelhost_delete(panelhost* h, const char* device_path) {
  std::vector<uint8_t> p;
  if (!h || !name_params(h, device_path, 0, &p)) return -1;
  return call(h, 42, p);
}

int panelhost_list(panelhost* h, const char* device_path, char* out, size_t cap) {
  std::vector<uint8_t> p;
  if (!h || !name_params(h, device_path, 0, &p)) return -1;
  // The device pages one listing over 20 replies and reads the name only
  // at the first. A pager left part-way by an earlier host is run to its
  // end first: the new listing is the reply that starts with "result:".
  std::string text;
  int slice = -1;  // index of our listing's first slice
  for (int i = 0; i < 2 * kListingSlices; ++i) {
    uint8_t r[PANELHOST_PACKET_LEN];
    if (call(h, 99, p, r) != 0) return -1;
    if (slice < 0 && memcmp(r, "result:", 7) == 0) slice = i;
    if (slice >= 0) {
      text.append(reinterpret_cast<const char*>(r), strnlen(reinterpret_cast<const char*>(r), 512));
      if (i - slice == kListingSlices - 1) break;
    }
  }
  if (slice < 0) return h->fail("the device sent no listing");
  if (out && cap) {
    size_t n = text.size() < cap - 1 ? text.size() : cap - 1;
    memcpy(out, text.data(), n);
    out[n] = 0;
  }
  return 0;
}

int panelhost_storage(panelhost* h, uint32_t kib[3]) {
  uint8_t r[PANELHOST_PACKET_LEN];
  if (call(h, 100, {}, r) != 0) return -1;
  if (kib)
    for (int i = 0; i < 3; ++i) kib[i] = hostlink::le32(r + 8 + 4 * i);
  return 0;
}

}  // extern "C"
