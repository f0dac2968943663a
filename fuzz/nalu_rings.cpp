// Fuzz target: the H.264 block rings of the three parts and the NAL-unit
// splitters behind them, driven by a sequence of operations taken from the
// input: block commands 119/120/121 with their payload on the host line,
// direct pushes (the local player's way in, including blocks at the slot
// size limit), the decoder's take into a splitter, unit and tail reads,
// cleans and ring clears.
//
// Invariants: every payload is taken off the line (the link stays in step);
// a block is refused exactly when it cannot be stored, and stored blocks
// come out of their ring whole, in order, none lost or repeated; ring
// indices agree with the count; the splitter gives the same units as a
// plain reference splitter over the same bytes, each unit starting with a
// start code and holding no other, and never writes beyond the room given.
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "common/state.h"
#include "fuzz/support/fuzz_support.h"
#include "platform/codec.h"
#include "platform/sim/sim_state.h"
#include "protocol/command.h"
#include "video/h264_decoder.h"
#include "video/intake.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The splitter's contract, written the plain way.
struct RefSplitter {
  Bytes buf;
  uint32_t cap;

  static size_t find_sc(const Bytes& b, size_t from) {
    for (size_t i = from; i + 2 < b.size(); i++)
      if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) return i;
    return b.size();
  }
  uint32_t write(const uint8_t* d, uint32_t n) {
    uint32_t room = cap - uint32_t(buf.size());
    uint32_t k = n < room ? n : room;
    buf.insert(buf.end(), d, d + k);
    return k;
  }
  // Returns the unit (empty: none) and its start-code length.
  Bytes read_unit(int32_t room, uint32_t* sc_len) {
    for (;;) {
      size_t sc = find_sc(buf, 0);
      if (sc == buf.size()) {
        size_t keep = 0;
        while (keep < 2 && keep < buf.size() && buf[buf.size() - keep - 1] == 0) keep++;
        buf.erase(buf.begin(), buf.end() - keep);
        return {};
      }
      if (sc > 0 && buf[sc - 1] == 0) sc--;
      buf.erase(buf.begin(), buf.begin() + sc);
      *sc_len = buf[2] == 1 ? 3 : 4;
      size_t next = find_sc(buf, *sc_len);
      if (next == buf.size()) return {};
      if (buf[next - 1] == 0 && next - 1 > *sc_len) next--;
      Bytes unit(buf.begin(), buf.begin() + next);
      buf.erase(buf.begin(), buf.begin() + next);
      if (room < 0 || unit.size() > size_t(room)) continue;
      return unit;
    }
  }
  Bytes read_tail(int32_t room) {
    Bytes t;
    t.swap(buf);
    if (room < 0 || t.size() > size_t(room)) return {};
    return t;
  }
};

struct Part {
  std::deque<Bytes> queued;  // blocks in the ring, oldest first
  NaluBuf* nal = nullptr;
  RefSplitter ref;
};

Part parts[3];
H264BlockRecord* const records[3] = {&h264_block_data1, &h264_block_data2, &h264_block_data3};
uint8_t big[kH264BlockMax + 64];
uint8_t unit_buf[8192 + 64];
constexpr uint8_t kGuard = 0xE7;

void check_ring(int p) {
  H264BlockRecord* r = records[p];
  FUZZ_CHECK(r->count >= 0 && r->count <= kH264RingSlots);
  FUZZ_CHECK(size_t(r->count) == parts[p].queued.size());
  FUZZ_CHECK(r->write_index < uint32_t(kH264RingSlots) && r->read_index < uint32_t(kH264RingSlots));
  FUZZ_CHECK((r->read_index + uint32_t(r->count)) % kH264RingSlots == r->write_index);
}

// A push the model expects to be stored or refused.
void expect_push(int p, const uint8_t* data, uint32_t len, int32_t got) {
  bool fits = len <= kH264BlockMax && parts[p].queued.size() < size_t(kH264RingSlots);
  if (fits) {
    parts[p].queued.emplace_back(data, data + len);
    FUZZ_CHECK(got == int32_t(parts[p].queued.size()));
  } else {
    FUZZ_CHECK(got == -1);
  }
}

// The decoder thread's take: the oldest block of a part into its splitter.
void take(int p) {
  H264BlockRecord* r = records[p];
  pthread_mutex_lock(&pc_mutex);
  if (r->count > 0) {
    FUZZ_CHECK(!parts[p].queued.empty());
    H264Slot& s = r->slots[r->read_index];
    const Bytes& want = parts[p].queued.front();
    FUZZ_CHECK(s.length == want.size());
    FUZZ_CHECK(s.length == 0 || memcmp(s.data, want.data(), s.length) == 0);
    int32_t taken = nalu_buf_write(parts[p].nal, s.data, s.length);
    FUZZ_CHECK(uint32_t(taken) == parts[p].ref.write(s.data, s.length));
    r->read_index.store((r->read_index + 1) % kH264RingSlots);
    r->count.fetch_sub(1);
    parts[p].queued.pop_front();
  }
  pthread_mutex_unlock(&pc_mutex);
}

void check_unit(int32_t len, const NaluUnit& u, const Bytes& want, uint32_t want_sc, int32_t room) {
  FUZZ_CHECK(len == int32_t(want.size()));
  for (size_t i = size_t(len > 0 ? len : 0); i < sizeof unit_buf; i++)
    FUZZ_CHECK(unit_buf[i] == kGuard);
  if (len <= 0) return;
  FUZZ_CHECK(len <= room);
  FUZZ_CHECK(memcmp(unit_buf, want.data(), want.size()) == 0);
  FUZZ_CHECK(u.length == uint32_t(len));
  FUZZ_CHECK(u.start_code_len == want_sc);
  FUZZ_CHECK(u.type == (uint32_t(len) > want_sc ? (unit_buf[want_sc] & 0x1Fu) : 0u));
  // One unit: no start code after its own.
  for (uint32_t i = want_sc; i + 2 < uint32_t(len); i++)
    FUZZ_CHECK(!(unit_buf[i] == 0 && unit_buf[i + 1] == 0 && unit_buf[i + 2] == 1));
}

// Commands 119, 120, 121 with the payload on the host line.
void block_command(fuzz::Input& in) {
  static const uint8_t codes[3] = {121, 119, 120};
  int p = in.u8() % 3;
  uint8_t mode = in.u8() % 5;  // 0 and 4 are refused
  uint8_t last = in.u8() % 3;
  uint32_t n = in.u8() * 4u;
  Bytes payload = in.bytes(n);
  n = uint32_t(payload.size());
  uint8_t cmd[24] = {codes[p], 0, 0x1A, 0x6D, 1, 2, 3, 4};
  cmd[8] = uint8_t(n >> 24), cmd[9] = uint8_t(n >> 16), cmd[10] = uint8_t(n >> 8),
  cmd[11] = uint8_t(n);
  cmd[12] = last;
  cmd[13] = mode;
  fuzz::line_feed(payload.data(), payload.size());
  uint8_t reply[cmd_len] = {};
  Reply r{reply};
  int32_t before = int32_t(parts[p].queued.size());
  find_command(cmd[0])(Command(cmd, sizeof cmd), r);
  FUZZ_CHECK(fuzz::line_pending() == 0);
  FUZZ_CHECK(r.mode == ReplyMode::Normal);
  if (mode >= 1 && mode <= 3 && before < kH264RingSlots) {
    parts[p].queued.push_back(payload);
    FUZZ_CHECK(reply[8] == before + 1);
    FUZZ_CHECK(h264_mode == mode);
  } else {
    FUZZ_CHECK(reply[8] == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::device_root();
  fuzz::line_open();
  for (int p = 0; p < 3; p++) h264_data_arrays[p].store(records[p]);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  clear_h264_rings();
  uint32_t cap = 16 + in.u16() % 8192;
  for (Part& part : parts) {
    part.queued.clear();
    nalu_buf_free(part.nal);
    part.nal = nalu_buf_init(cap);
    part.ref = RefSplitter{{}, cap};
  }
  CLOCK_STATE.store(-1);
  OFFLINE_MODE_STATE.store(-1);
  local_h264_playing.store(0);

  while (!in.empty()) {
    uint8_t op = in.u8();
    int p = (op >> 4) % 3;
    switch (op & 0x0F) {
      case 0:
      case 1:
      case 2:
        block_command(in);
        break;
      case 3:
      case 4: {  // a direct push, as the local player and the commands do
        uint32_t len = in.u8() * 8u;
        Bytes b = in.bytes(len);
        uint8_t last = in.u8() & 1;
        expect_push(p, b.data(), uint32_t(b.size()),
                    push_h264_block2(b.data(), uint32_t(b.size()), last, p));
        break;
      }
      case 5: {  // blocks around the slot size
        uint32_t len = kH264BlockMax - 8 + in.u8() % 16;
        memset(big, in.u8(), len);
        expect_push(p, big, len, push_h264_block2(big, len, 0, p));
        break;
      }
      case 6:
      case 7:
        take(p);
        break;
      case 8:
      case 9:
      case 10: {
        int32_t room = int32_t(in.u16() % (sizeof unit_buf - 63)) - 2;
        memset(unit_buf, kGuard, sizeof unit_buf);
        NaluUnit u{};
        uint32_t sc = 0;
        Bytes want = parts[p].ref.read_unit(room, &sc);
        int32_t len = nalu_buf_read_unit(parts[p].nal, &u, unit_buf, room);
        check_unit(len, u, want, sc, room);
        FUZZ_CHECK(nalu_buf_size(parts[p].nal) == parts[p].ref.buf.size());
        break;
      }
      case 11: {
        int32_t room = int32_t(in.u16() % (sizeof unit_buf - 63)) - 2;
        memset(unit_buf, kGuard, sizeof unit_buf);
        NaluUnit u{};
        Bytes want = parts[p].ref.read_tail(room);
        int32_t len = nalu_buf_read_tail(parts[p].nal, &u, unit_buf, room);
        uint32_t sc = 0;
        if (want.size() >= 3 && want[0] == 0 && want[1] == 0 && want[2] == 1)
          sc = 3;
        else if (want.size() >= 4 && want[0] == 0 && want[1] == 0 && want[2] == 0 && want[3] == 1)
          sc = 4;
        FUZZ_CHECK(len == int32_t(want.size()));
        if (len > 0) {
          FUZZ_CHECK(memcmp(unit_buf, want.data(), want.size()) == 0);
          FUZZ_CHECK(u.start_code_len == sc && u.length == uint32_t(len));
        }
        FUZZ_CHECK(nalu_buf_size(parts[p].nal) == 0);
        break;
      }
      case 12:
        nalu_buf_clean(parts[p].nal);
        parts[p].ref.buf.clear();
        break;
      case 13: {  // the wake-up rule: every active part has a block
        int32_t mode = in.u8() % 4;
        h264_mode.store(mode);
        bool missing = false;
        for (int i = 0; i < mode; i++) missing = missing || parts[i].queued.empty();
        pthread_mutex_lock(&pc_mutex);
        FUZZ_CHECK(check_264_cnt() == (missing ? 1 : 0));
        pthread_mutex_unlock(&pc_mutex);
        break;
      }
      case 14:
        clear_h264_rings();
        for (Part& part : parts) part.queued.clear();
        break;
      default:
        break;
    }
    for (int i = 0; i < 3; i++) check_ring(i);
  }
  fuzz::line_flush();
  return 0;
}
