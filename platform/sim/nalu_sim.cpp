// NAL-unit splitter: a bounded byte FIFO over one linear buffer.
//
// A splitter belongs to one thread at a time (the decoder thread keeps one
// per part). Errors: null handles read as empty; nothing is thrown.
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/codec.h"
#include "platform/sim/sim_state.h"

struct NaluBuf {
  uint8_t* data;
  uint32_t capacity;
  uint32_t head;  // first buffered byte
  uint32_t tail;  // one past the last buffered byte
  // Offset below which no start code other than the unit's own was found,
  // so a search after more input does not rescan the whole unit.
  uint32_t scanned;
};

namespace {

// Position of the next "00 00 01" at or after `from`, or `end` if none.
uint32_t find_start_code(const uint8_t* d, uint32_t from, uint32_t end) {
  uint32_t i = from;
  while (end >= 3 && i + 2 < end) {
    const void* z = memchr(d + i, 0, end - 2 - i);
    if (!z) return end;
    i = static_cast<uint32_t>(static_cast<const uint8_t*>(z) - d);
    if (d[i + 1] == 0) {
      if (d[i + 2] == 1) return i;
      // 00 00 00 ...: the next candidate starts one byte on.
      i += 1;
    } else {
      i += 2;  // 00 xx with xx != 0: no start code can begin at i or i+1
    }
  }
  return end;
}

// Drops everything before the first start code; false when there is none.
bool align_to_start_code(NaluBuf* h) {
  uint32_t sc = find_start_code(h->data, h->head, h->tail);
  if (sc == h->tail) {
    // Keep up to two trailing zero bytes: they may begin a start code.
    uint32_t keep = 0;
    while (keep < 2 && h->tail - keep > h->head && h->data[h->tail - keep - 1] == 0) ++keep;
    h->head = h->tail - keep;
    h->scanned = h->head;
    return false;
  }
  if (sc > h->head && h->data[sc - 1] == 0) --sc;  // four-byte start code
  if (sc != h->head) {
    h->head = sc;
    h->scanned = sc;
  }
  return true;
}

uint32_t start_code_len(const NaluBuf* h) { return h->data[h->head + 2] == 1 ? 3 : 4; }

void fill_unit(NaluUnit* unit, const uint8_t* p, uint32_t len, uint32_t sc_len) {
  if (!unit) return;
  unit->start_code_len = sc_len;
  unit->length = len;
  unit->type = len > sc_len ? (p[sc_len] & 0x1F) : 0;
}

}  // namespace

NaluBuf* nalu_buf_init(uint32_t capacity) {
  NaluBuf* h = new (std::nothrow) NaluBuf{};
  if (!h) return nullptr;
  h->data = static_cast<uint8_t*>(malloc(capacity ? capacity : 1));
  if (!h->data) {
    delete h;
    return nullptr;
  }
  h->capacity = capacity;
  return h;
}

int32_t nalu_buf_write(NaluBuf* h, const uint8_t* data, uint32_t length) {
  if (!h || !data) return 0;
  uint32_t free_bytes = h->capacity - (h->tail - h->head);
  uint32_t n = length < free_bytes ? length : free_bytes;
  if (n == 0) return 0;
  if (h->tail + n > h->capacity) {
    uint32_t used = h->tail - h->head;
    memmove(h->data, h->data + h->head, used);
    h->scanned -= h->head;
    h->head = 0;
    h->tail = used;
  }
  memcpy(h->data + h->tail, data, n);
  h->tail += n;
  return static_cast<int32_t>(n);
}

int32_t nalu_buf_read_unit(NaluBuf* h, NaluUnit* unit, uint8_t* dest, int32_t room) {
  if (!h) return 0;
  for (;;) {
    if (!align_to_start_code(h)) return 0;
    uint32_t sc_len = start_code_len(h);
    uint32_t from = h->head + sc_len;
    if (h->scanned > from) from = h->scanned;
    uint32_t next = find_start_code(h->data, from, h->tail);
    if (next == h->tail) {
      // Incomplete: resume the search near the end once more bytes came.
      h->scanned = h->tail >= 2 ? h->tail - 2 : h->head;
      if (h->scanned < h->head + sc_len) h->scanned = h->head + sc_len;
      return 0;
    }
    if (h->data[next - 1] == 0 && next - 1 > h->head + sc_len) --next;
    uint32_t len = next - h->head;
    const uint8_t* p = h->data + h->head;
    h->head = next;
    h->scanned = next;
    if (room < 0 || len > static_cast<uint32_t>(room) || !dest) continue;  // does not fit: drop
    memcpy(dest, p, len);
    fill_unit(unit, dest, len, sc_len);
    return static_cast<int32_t>(len);
  }
}

int32_t nalu_buf_read_tail(NaluBuf* h, NaluUnit* unit, uint8_t* dest, int32_t room) {
  if (!h) return 0;
  uint32_t len = h->tail - h->head;
  const uint8_t* p = h->data + h->head;
  h->head = h->tail = h->scanned = 0;
  if (len == 0 || room < 0 || len > static_cast<uint32_t>(room) || !dest) return 0;
  memcpy(dest, p, len);
  uint32_t sc_len = 0;
  if (len >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1)
    sc_len = 3;
  else if (len >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1)
    sc_len = 4;
  fill_unit(unit, dest, len, sc_len);
  return static_cast<int32_t>(len);
}

void nalu_buf_clean(NaluBuf* h) {
  if (h) h->head = h->tail = h->scanned = 0;
}

// Simulation-only inspection for the fuzz targets: the board's splitter has
// no such calls, so they are declared in sim_state.h, not in codec.h.
uint32_t nalu_buf_size(const NaluBuf* h) { return h ? h->tail - h->head : 0; }

void nalu_buf_free(NaluBuf* h) {
  if (!h) return;
  free(h->data);
  delete h;
}
