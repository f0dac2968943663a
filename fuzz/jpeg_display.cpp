// Fuzz target: the JPEG display path, from the bytes of a host frame to the
// picture on plane 0. The first two bytes choose the usable panel area: the
// one the output buffers were reserved for at start-up, or any other (as
// after a rotation), smaller or larger; the rest is the JPEG file.
//
// Invariants: a decode writes only into the output buffer it was aimed at,
// and only the bytes its size needs: the other buffer (the picture on
// screen) and the memory around both stay as they were; a picture larger
// than the buffers is refused; a shown picture flips the buffer index and
// points plane 0 at the buffer just written, with a pitch and line count
// that fit it; a failed one leaves index and plane alone.
#include <cstdint>
#include <cstring>
#include <vector>

#include "display/fb.h"
#include "fuzz/support/fuzz_support.h"
#include "image/jpeg.h"
#include "platform/sim/sim_state.h"

namespace {

int32_t panel_w = 0, panel_h = 0;
constexpr size_t kGuard = 8192;
constexpr uint8_t kFill = 0x3C;

uint32_t need_for(int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return 0;
  return uint32_t((uint64_t(w) + 15) / 16 * 16 * ((uint64_t(h) + 15) / 16 * 16) * 3 / 2);
}

bool all(const uint8_t* p, size_t n, uint8_t v) {
  for (size_t i = 0; i < n; i++)
    if (p[i] != v) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string& root = fuzz::device_root();
  (void)root;
  const char panel[] = "120x200\n";
  fuzz::write_file("/sim/panel", reinterpret_cast<const uint8_t*>(panel), sizeof panel - 1);
  init_disp();
  jpeg_nv12_decode_prepare();  // start-up reserves the outputs after the planes
  panel_w = dev_width;
  panel_h = dev_height;
  if (!jpegd_output_vaddr[0] || !jpegd_output_vaddr[1] || jpegd_output_size == 0)
    fuzz::fail(__FILE__, __LINE__, "output buffers not reserved");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  uint8_t a = in.u8(), b = in.u8();
  int32_t w = panel_w, h = panel_h;
  if (a & 0x80) {  // another area, up to a bit over twice the reserved one
    w = 1 + (a & 0x7F) * 2;
    h = 1 + b * 2;
  }
  std::vector<uint8_t> jpeg = in.rest();
  dev_width.store(w);
  dev_height.store(h);

  const uint32_t size_each = jpegd_output_size;
  uint8_t* buf[2] = {static_cast<uint8_t*>(jpegd_output_vaddr[0]),
                     static_cast<uint8_t*>(jpegd_output_vaddr[1])};
  // Buffer 1 lies right behind buffer 0; the guard follows buffer 1.
  FUZZ_CHECK(buf[1] == buf[0] + size_each);
  memset(buf[0], kFill, 2 * size_t(size_each) + kGuard);
  const int i = jpg_buffer_num;
  SimPlaneState before{};
  sim_state_read(fuzz::device_root(), &before);

  int rc = show_jpg_buffer_nv12(jpeg.data(), uint32_t(jpeg.size()));

  const uint32_t need = need_for(w, h);
  if (need > size_each) FUZZ_CHECK(rc == -1);
  FUZZ_CHECK(all(buf[i ^ 1], size_each, kFill));
  FUZZ_CHECK(all(buf[1] + size_each, kGuard, kFill));
  FUZZ_CHECK(all(buf[i] + (need < size_each ? need : size_each),
                 size_each - (need < size_each ? need : size_each), kFill));
  SimPlaneState after{};
  sim_state_read(fuzz::device_root(), &after);
  if (rc == 0) {
    FUZZ_CHECK(jpg_buffer_num == (i ^ 1));
    FUZZ_CHECK(after.fb0_cfg[9] == jpegd_output_paddr[i]);
    uint32_t pitch = output.pitch(), lines = output.lines();
    FUZZ_CHECK(pitch >= uint32_t(w) && lines >= uint32_t(h));
    FUZZ_CHECK(uint64_t(pitch) * lines * 3 / 2 <= need);
  } else {
    FUZZ_CHECK(rc == -1 && jpg_buffer_num == i);
    FUZZ_CHECK(memcmp(before.fb0_cfg, after.fb0_cfg, sizeof before.fb0_cfg) == 0);
  }
  dev_width.store(panel_w);
  dev_height.store(panel_h);
  return 0;
}
