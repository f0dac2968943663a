// The panel planes: opening and geometry, NV12 pictures on plane 0,
// rotation and backlight.
//
// Threading: init_disp runs before any worker thread; set_rotation and
// set_brightness on the command loop; active_/inactive_brightness on the
// USB supervisor; fb_display_nv12 on whichever thread shows a JPEG frame.
// The plane lock (a writer-preferring reader-writer lock, readers nest per
// thread) keeps every painter and panner off the planes while set_rotation
// replaces the mappings. Errors: texts on stderr, results 0 / -1.
#include "display/fb.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/system.h"
#include "storage/config.h"

FbInfo fb_info;
FbInfo fb1_info;
SharedWord<int32_t> fb_fd{-1};
SharedWord<int32_t> fb1_fd{-1};
SharedWord<int32_t> dev_width, dev_height, dev_x, dev_y, dev_type;
SharedWord<int32_t> rotation;
SharedWord<int32_t> bright;
SharedWord<int32_t> png_frame_num;

namespace {

constexpr const char* kRotatorAngle =
    "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/rotator_angle";
constexpr const char* kDumpDsiReg =
    "/sys/bus/platform/drivers/ingenic-fb/ingenic-fb.0/dump_dsi_reg";

// Writer-preferring, so that a rotation is not starved by painters whose
// read sections overlap; read locks therefore must not nest on the rwlock
// itself (a waiting writer would block the inner one): the per-thread depth
// makes inner PlaneReadLocks free.
class PlaneLock {
 public:
  PlaneLock() {
    pthread_rwlockattr_t a;
    pthread_rwlockattr_init(&a);
    pthread_rwlockattr_setkind_np(&a, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&lock_, &a);
    pthread_rwlockattr_destroy(&a);
  }
  void lock_shared() { pthread_rwlock_rdlock(&lock_); }
  void unlock_shared() { pthread_rwlock_unlock(&lock_); }
  void lock() { pthread_rwlock_wrlock(&lock_); }
  void unlock() { pthread_rwlock_unlock(&lock_); }

 private:
  pthread_rwlock_t lock_;
};

PlaneLock g_plane_lock;
thread_local int t_read_depth = 0;

// Replaces the whole value of a sysfs attribute. On the board the write
// alone does it; the truncation keeps a regular file in step.
void write_attribute(const char* path, const char* text) {
  int fd = dev_open(path, O_RDWR);
  if (fd < 0) return;
  size_t n = strlen(text);
  if (write(fd, text, n) == static_cast<ssize_t>(n) && ftruncate(fd, n) != 0) {
  }
  close(fd);
}

// One row of the panel table. x_rot0 / x_rot2: dev_x at rotation code 0 / 2,
// kKeep: dev_x keeps its value (also at every other code unless x_any).
constexpr int32_t kKeep = -1;
struct PanelRow {
  uint32_t xres, yres;
  int32_t width, height, y, type;
  int32_t x_rot0, x_rot2, x_any;
};
constexpr PanelRow kPanels[] = {
    {720, 1600, 720, 1472, 64, 1, kKeep, kKeep, kKeep},
    {1600, 720, 1600, 720, 0, 1, 0, 0, 0},
    {424, 960, 368, 960, 0, 2, 56, 0, 56},
    {452, 1280, 448, 1280, 0, 3, 0, 4, kKeep},
    {480, 960, 320, 960, 0, 4, 80, 80, kKeep},
    {1080, 2400, 1080, 2288, kKeep, 6, 0, 0, 0},  // y: the stored display offset
};

// The panel table: geometry of the usable area from plane 0's size.
void set_geometry(uint32_t xres, uint32_t yres) {
  const int32_t rot = rotation;
  for (const PanelRow& p : kPanels) {
    if (p.xres != xres || p.yres != yres) continue;
    dev_width.store(p.width);
    dev_height.store(p.height);
    const int32_t x = rot == 0 ? p.x_rot0 : rot == 2 ? p.x_rot2 : p.x_any;
    if (x != kKeep) dev_x.store(x);
    dev_y.store(p.y == kKeep ? static_cast<int32_t>(fb_y_offset.load()) : p.y);
    dev_type.store(p.type);
    return;
  }
  dev_width.store(static_cast<int32_t>(xres));
  dev_height.store(static_cast<int32_t>(yres));
}

}  // namespace

PlaneReadLock::PlaneReadLock() {
  if (t_read_depth++ == 0) g_plane_lock.lock_shared();
}

PlaneReadLock::~PlaneReadLock() {
  if (--t_read_depth == 0) g_plane_lock.unlock_shared();
}

uintptr_t fb1_buffer(int n) {
  uintptr_t base = fb1_info.base_vaddr;
  if (base == 0 || n < 0 || static_cast<uint32_t>(n) >= fb_plane_buffers) return 0;
  return base + uintptr_t(n) * fb1_info.frame_size;
}

size_t plane_room(uintptr_t addr) {
  for (const FbInfo* info : {&fb_info, &fb1_info}) {
    uintptr_t base = info->base_vaddr;
    uintptr_t end = base + uintptr_t(fb_plane_buffers) * info->frame_size;
    if (base != 0 && addr >= base && addr < end) return end - addr;
  }
  return SIZE_MAX;
}

int open_fb() {
  int fd = fb_open("/dev/fb0", &fb_info);
  fb_fd.store(fd);
  if (fd < 0) {
    fprintf(stderr, "can`t open /dev/fb0.\n");
    return -1;
  }
  if (fb_enable(fd) < 0) {
    fprintf(stderr, "can`t enable fb.\n");
    return -1;
  }
  int fd1 = fb_open("/dev/fb1", &fb1_info);
  fb1_fd.store(fd1);
  fb_enable(fd1);
  set_geometry(fb_info.xres, fb_info.yres);
  fb_pan_display_enable_user_cfg(fd);
  printf("open_fb %d %d \n", dev_width.load(), dev_height.load());
  return 0;
}

int init_disp() {
  open_fb();
  bright.store(60);
  return 0;
}

void set_rotation(uint32_t code) {
  if (t_read_depth > 0) {
    // The caller paints or pans a plane: reopening now would pull the
    // mapping from under it (and the lock would wait for itself).
    fprintf(stderr, "set_rotation refused while the planes are in use\n");
    return;
  }
  rotation.store(static_cast<int32_t>(code));
  {
    std::lock_guard<PlaneLock> lock(g_plane_lock);
    fb_close(fb_fd, &fb_info);
    fb_close(fb1_fd, &fb1_info);
    const char* text = code == 1 ? "90" : code == 2 ? "180" : code == 3 ? "270" : "0";
    write_attribute(kRotatorAngle, text);
    open_fb();
  }
  usleep(50000);
}

void set_brightness(int32_t level, int keep_stored) {
  int32_t v = level < 101 ? level : 100;
  printf("set_brightness %d\n", v);
  char text[24];
  snprintf(text, sizeof(text), "%lld", static_cast<long long>(v) * 10);
  printf("%s %d\n", text, static_cast<int>(strlen(text)));
  write_attribute(kDumpDsiReg, text);
  if (keep_stored == 0) bright.store(v);
}

void active_brightness() { set_brightness(bright, 0); }
void inactive_brightness() { set_brightness(0, 1); }

int fb_show_nv12(int fd, const FbInfo* info, const Nv12Picture& p) {
  FbUserCfg c;
  c.words[FbUserCfg::kFormat] = fb_user_fmt_nv12;
  c.words[FbUserCfg::kWidth] = static_cast<uint32_t>(p.width);
  c.words[FbUserCfg::kHeight] = static_cast<uint32_t>(p.height);
  c.words[FbUserCfg::kX] = static_cast<uint32_t>(p.x);
  c.words[FbUserCfg::kY] = static_cast<uint32_t>(dev_y.load());
  c.words[FbUserCfg::kConst2] = 2;
  c.words[FbUserCfg::kConst1] = 1;
  c.words[FbUserCfg::kYPhys] = p.y_paddr;
  c.words[FbUserCfg::kYStride] = p.stride;
  c.words[FbUserCfg::kUvPhys] = p.uv_paddr;
  c.words[FbUserCfg::kUvStride] = p.stride;
  c.words[FbUserCfg::kFlags] = p.flags;
  PlaneReadLock lock;
  fb_pan_display_set_user_cfg(fd, &c);
  return fb_pan_display(fd, info, 0);
}

int fb_display_nv12(int fd, int32_t width, int32_t height, const FbInfo* info,
                    const uint32_t* output, uint32_t y_paddr) {
  if (!output) return -1;
  const uint32_t pitch = output[2];
  return fb_show_nv12(
      fd, info, Nv12Picture{width, height, dev_x, y_paddr, y_paddr + pitch * output[3], pitch, 0});
}
