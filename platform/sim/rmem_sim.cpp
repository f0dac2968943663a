// Simulated reserved memory and the vector rotate.
//
// Reserved memory is one sparse file, ROOT/sim/rmem, mapped shared once per
// device root, so panelsim can read the pictures that fb0 points at. A
// first-fit allocator hands out 4096-aligned pieces; physical addresses are
// file offsets plus sim_rmem_phys_base.
//
// Threading: one mutex guards the mapping and the allocation list; any
// thread may allocate, free or translate. Errors: null or -1 with errno.
#include <fcntl.h>
#include <libyuv/rotate.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/display.h"
#include "platform/sim/fail.h"
#include "platform/sim/sim_state.h"
#include "platform/system.h"

namespace {

constexpr uint32_t kPage = 4096;

std::mutex g_mu;
uint8_t* g_mem = nullptr;
std::string g_path;
std::map<uint32_t, uint32_t> g_allocs;  // file offset -> size

// Maps the reserved-memory file of the current root; caller holds g_mu.
bool map_locked() {
  std::string path = dev_path(sim_rmem_file);
  if (g_mem && path == g_path) return true;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 ||
      (st.st_size < static_cast<off_t>(sim_rmem_size) && ftruncate(fd, sim_rmem_size) != 0)) {
    close(fd);
    return false;
  }
  void* m = mmap(nullptr, sim_rmem_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (m == MAP_FAILED) return false;
  // Buffers of an earlier root stay mapped: their owners may still use them.
  g_mem = static_cast<uint8_t*>(m);
  g_path = path;
  g_allocs.clear();
  return true;
}

}  // namespace

int rmem_open() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (!map_locked()) return -1;
  return dev_open(sim_rmem_file, O_RDWR | O_CLOEXEC);
}

void* rmem_alloc(int fd, uint32_t* phys, uint32_t size) {
  if (fd < 0 || !phys || size == 0 || size > sim_rmem_size) return fail_with(EINVAL, nullptr);
  const uint32_t want = (size + (kPage - 1)) & ~(kPage - 1);
  std::lock_guard<std::mutex> lock(g_mu);
  if (!map_locked()) return nullptr;
  uint32_t cursor = 0;
  for (const auto& a : g_allocs) {
    if (a.first - cursor >= want) break;
    cursor = a.first + a.second;
  }
  if (sim_rmem_size - cursor < want) return fail_with(ENOMEM, nullptr);
  g_allocs[cursor] = want;
  *phys = sim_rmem_phys_base + cursor;
  return g_mem + cursor;
}

void rmem_free(int fd, void* virt, uint32_t phys, uint32_t size) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (!g_mem || phys < sim_rmem_phys_base) return;
  auto it = g_allocs.find(phys - sim_rmem_phys_base);
  // Only a piece handed out exactly so is released; anything else is a
  // caller's mistake and must not free a neighbour.
  if (it == g_allocs.end() || virt != g_mem + it->first) return;
  g_allocs.erase(it);
}

void rmem_close(int fd) {
  if (fd >= 0) close(fd);
}

int msa_rotate180(const void* src, void* dst, int width, int height, int src_stride, int dst_stride,
                  int bytes_per_element) {
  if (!src || !dst || width < 0 || height < 0 || src_stride < 0 || dst_stride < 0 ||
      (bytes_per_element != 1 && bytes_per_element != 2))
    return -1;
  if (width == 0 || height == 0) return 0;
  const uint8_t* s = static_cast<const uint8_t*>(src);
  uint8_t* d = static_cast<uint8_t*>(dst);
  if (bytes_per_element == 1) {
    libyuv::RotatePlane180(s, src_stride, d, dst_stride, width, height);
    return 0;
  }
  const bool aligned = (reinterpret_cast<uintptr_t>(s) % 2 == 0) &&
                       (reinterpret_cast<uintptr_t>(d) % 2 == 0) && src_stride % 2 == 0 &&
                       dst_stride % 2 == 0;
  if (aligned) {
    libyuv::RotatePlane_16(reinterpret_cast<const uint16_t*>(s), src_stride / 2,
                           reinterpret_cast<uint16_t*>(d), dst_stride / 2, width, height,
                           libyuv::kRotate180);
    return 0;
  }
  for (int y = 0; y < height; y++) {
    const uint8_t* srow = s + size_t(height - 1 - y) * src_stride;
    uint8_t* drow = d + size_t(y) * dst_stride;
    for (int x = 0; x < width; x++) memcpy(drow + x * 2, srow + size_t(width - 1 - x) * 2, 2);
  }
  return 0;
}
