// Simulated framebuffer planes: fb0 and fb1 are files under ROOT/sim/,
// mapped shared, and the plane state is published in ROOT/sim/planes for
// panelsim (layout in sim_state.h).
//
// Threading: one mutex guards the descriptor table, the pending user
// configuration and every update of the state file; the record words
// handed back to callers are SharedWords. Errors: -1 with errno set.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/display.h"
#include "platform/sim/fail.h"
#include "platform/sim/sim_state.h"
#include "platform/system.h"

namespace {

struct OpenPlane {
  int fd = -1;
  int plane = -1;
  void* map = nullptr;
  size_t len = 0;
};

std::mutex g_mu;
OpenPlane g_open[8];
SimPlaneState* g_state = nullptr;
std::string g_state_path;
FbUserCfg g_pending;
bool g_pending_valid = false;

uint32_t rd(const uint32_t* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
// NOLINTNEXTLINE(readability-non-const-parameter): the builtin stores through p
void wr(uint32_t* p, uint32_t v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }

// The mapped state file of the current root; the caller holds g_mu.
SimPlaneState* state_locked() {
  std::string path = dev_path(sim_state_file);
  if (g_state && path == g_state_path) return g_state;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || (st.st_size < static_cast<off_t>(sizeof(SimPlaneState)) &&
                              ftruncate(fd, sizeof(SimPlaneState)) != 0)) {
    close(fd);
    return nullptr;
  }
  void* m = mmap(nullptr, sizeof(SimPlaneState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (m == MAP_FAILED) return nullptr;
  // A mapping of an earlier root stays: it costs one page and nobody reads it.
  g_state = static_cast<SimPlaneState*>(m);
  g_state_path = path;
  if (rd(&g_state->magic) != sim_state_magic || rd(&g_state->version) != sim_state_version) {
    uint32_t* w = reinterpret_cast<uint32_t*>(g_state);
    for (size_t i = 0; i < sizeof(SimPlaneState) / 4; i++) wr(w + i, 0);
    wr(&g_state->magic, sim_state_magic);
    wr(&g_state->version, sim_state_version);
  }
  return g_state;
}

// Runs f(state) as one update that readers in other processes see whole.
template <typename F>
void update_locked(F f) {
  SimPlaneState* s = state_locked();
  if (!s) return;
  uint32_t seq = rd(&s->seq);
  wr(&s->seq, seq | 1);
  __atomic_thread_fence(__ATOMIC_RELEASE);
  f(s);
  wr(&s->updates, rd(&s->updates) + 1);
  __atomic_store_n(&s->seq, (seq | 1) + 1, __ATOMIC_RELEASE);
}

OpenPlane* find_locked(int fd) {
  if (fd < 0) return nullptr;
  for (auto& p : g_open)
    if (p.fd == fd) return &p;
  return nullptr;
}

bool rotated_quarter() {
  char buf[16] = {};
  int fd = dev_open(sysfs_rotator_angle, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t n = read(fd, buf, sizeof(buf) - 1);
  close(fd);
  if (n <= 0) return false;
  buf[n] = 0;
  return strcmp(buf, "90") == 0 || strcmp(buf, "270") == 0 || strcmp(buf, "90\n") == 0 ||
         strcmp(buf, "270\n") == 0;
}

void close_keeping_errno(int fd) {
  int e = errno;
  close(fd);
  errno = e;
}

// Opens the plane's file, at least `len` bytes long, and maps it: the
// descriptor, or -1 with errno and nothing left open.
int map_plane_file(int plane, size_t len, void** map) {
  int fd = dev_open(sim_fb_files[plane], O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 ||
      (st.st_size < static_cast<off_t>(len) && ftruncate(fd, static_cast<off_t>(len)) != 0)) {
    close_keeping_errno(fd);
    return -1;
  }
  *map = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (*map == MAP_FAILED) {
    close_keeping_errno(fd);
    return -1;
  }
  return fd;
}

// What the caller and panelsim learn of a plane just opened.
void describe_open_locked(int plane, void* map, uint32_t w, uint32_t h, size_t frame,
                          FbInfo* info) {
  info->xres.store(w);
  info->yres.store(h);
  info->line_length.store(w * 4);
  info->pix_fmt.store(fb_fmt_argb8888);
  info->frame_size.store(static_cast<uint32_t>(frame));
  info->base_vaddr.store(reinterpret_cast<uintptr_t>(map));
  update_locked([&](SimPlaneState* s) {
    SimPlane* p = &s->plane[plane];
    wr(&p->open, 1);
    wr(&p->xres, w);
    wr(&p->yres, h);
    wr(&p->line_length, w * 4);
    wr(&p->frame_size, static_cast<uint32_t>(frame));
    wr(&p->num_buffers, sim_fb_buffers);
    if (rd(&p->shown) >= sim_fb_buffers) wr(&p->shown, 0);
  });
}

}  // namespace

void sim_panel_size(const std::string& panel_file, uint32_t* w, uint32_t* h) {
  *w = sim_default_width;
  *h = sim_default_height;
  FILE* f = fopen(panel_file.c_str(), "r");
  if (!f) return;
  unsigned a = 0, b = 0;
  char tail = 0;
  int got = fscanf(f, "%ux%u%c", &a, &b, &tail);
  fclose(f);
  if (got < 2 || (got == 3 && tail != '\n' && tail != ' ')) return;
  if (a == 0 || b == 0 || a > sim_max_side || b > sim_max_side) return;
  *w = a;
  *h = b;
}

int sim_state_read(const std::string& root, SimPlaneState* out) {
  int fd = open((root + sim_state_file).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(SimPlaneState))) {
    close(fd);
    return -1;
  }
  void* m = mmap(nullptr, sizeof(SimPlaneState), PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (m == MAP_FAILED) return -1;
  const uint32_t* src = static_cast<const uint32_t*>(m);
  uint32_t* dst = reinterpret_cast<uint32_t*>(out);
  const size_t words = sizeof(SimPlaneState) / 4;
  const SimPlaneState* s = static_cast<const SimPlaneState*>(m);
  int ok = -1;
  // A writer holds the sequence word odd only for a few stores: retry.
  for (int attempt = 0; attempt < 100000 && ok < 0; attempt++) {
    uint32_t s1 = __atomic_load_n(&s->seq, __ATOMIC_ACQUIRE);
    if (s1 & 1) continue;
    for (size_t i = 0; i < words; i++) dst[i] = __atomic_load_n(src + i, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (__atomic_load_n(&s->seq, __ATOMIC_RELAXED) == s1) ok = 0;
  }
  munmap(m, sizeof(SimPlaneState));
  if (ok < 0 || out->magic != sim_state_magic || out->version != sim_state_version) return -1;
  return 0;
}

int fb_open(const char* path, FbInfo* info) {
  int plane = -1;
  if (path && strcmp(path, "/dev/fb0") == 0) plane = 0;
  if (path && strcmp(path, "/dev/fb1") == 0) plane = 1;
  if (plane < 0 || !info) return fail_with(ENODEV, -1);
  uint32_t w, h;
  sim_panel_size(dev_path(sim_panel_file), &w, &h);
  if (rotated_quarter()) std::swap(w, h);
  const size_t frame = size_t(w) * h * 4;
  const size_t len = frame * sim_fb_buffers;
  void* map = nullptr;
  int fd = map_plane_file(plane, len, &map);
  if (fd < 0) return -1;

  std::lock_guard<std::mutex> lock(g_mu);
  OpenPlane* slot = nullptr;
  for (auto& p : g_open)
    if (p.fd < 0) {
      slot = &p;
      break;
    }
  if (!slot) {
    munmap(map, len);
    close(fd);
    return fail_with(EMFILE, -1);
  }
  *slot = OpenPlane{fd, plane, map, len};
  describe_open_locked(plane, map, w, h, frame, info);
  return fd;
}

int fb_close(int fd, FbInfo* info) {
  std::lock_guard<std::mutex> lock(g_mu);
  OpenPlane* p = find_locked(fd);
  if (!p) return fail_with(EBADF, -1);
  int plane = p->plane;
  munmap(p->map, p->len);
  close(p->fd);
  *p = OpenPlane{};
  if (info) {
    info->xres.store(0);
    info->yres.store(0);
    info->line_length.store(0);
    info->frame_size.store(0);
    info->base_vaddr.store(0);
  }
  bool still_open = false;
  for (auto& o : g_open) still_open |= (o.plane == plane);
  if (!still_open) update_locked([&](SimPlaneState* s) { wr(&s->plane[plane].open, 0); });
  return 0;
}

static int set_enabled(int fd, uint32_t on) {
  std::lock_guard<std::mutex> lock(g_mu);
  OpenPlane* p = find_locked(fd);
  if (!p) return fail_with(EBADF, -1);
  update_locked([&](SimPlaneState* s) { wr(&s->plane[p->plane].enabled, on); });
  return 0;
}

int fb_enable(int fd) { return set_enabled(fd, 1); }
int fb_disable(int fd) { return set_enabled(fd, 0); }

int fb_pan_display(int fd, const FbInfo* info, int k) {
  std::lock_guard<std::mutex> lock(g_mu);
  OpenPlane* p = find_locked(fd);
  if (!p) return fail_with(EBADF, -1);
  if (k < 0 || static_cast<uint32_t>(k) >= sim_fb_buffers) return fail_with(EINVAL, -1);
  update_locked([&](SimPlaneState* s) {
    wr(&s->plane[p->plane].shown, static_cast<uint32_t>(k));
    if (p->plane == 0 && rd(&s->fb0_user_cfg) && g_pending_valid) {
      for (int i = 0; i < 18; i++) wr(&s->fb0_cfg[i], g_pending.words[i]);
      wr(&s->fb0_picture, 1);
    }
  });
  return 0;
}

int fb_pan_display_enable_user_cfg(int fd) {
  std::lock_guard<std::mutex> lock(g_mu);
  OpenPlane* p = find_locked(fd);
  if (!p || p->plane != 0) {
    errno = p ? EINVAL : EBADF;
    return -1;
  }
  update_locked([&](SimPlaneState* s) { wr(&s->fb0_user_cfg, 1); });
  return 0;
}

int fb_pan_display_set_user_cfg(int fd, const FbUserCfg* cfg) {
  std::lock_guard<std::mutex> lock(g_mu);
  OpenPlane* p = find_locked(fd);
  if (!p || p->plane != 0 || !cfg) {
    errno = p ? EINVAL : EBADF;
    return -1;
  }
  g_pending = *cfg;
  g_pending_valid = true;
  return 0;
}
