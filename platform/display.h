// The board's display and memory operations: framebuffer planes, reserved
// (physically contiguous) memory and the vector 180-degree rotate.
//
// On the board these come from the vendor library; on a development machine
// platform/sim/ supplies them (planes and reserved memory are shared files
// under the device root, see platform/sim/sim_state.h).
//
// Threading: every function may be called from any thread. The plane
// records are filled by fb_open on the caller's thread; other threads read
// their words (SharedWord) while the display subsystem's plane lock keeps
// them from reading a record that fb_close/fb_open are replacing.
// Errors: negative results (or null) mean failure, errno set where useful;
// nothing is printed here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/word.h"

// Plane information record: the display library's record of 65 little-endian
// 32-bit words, filled by fb_open. The daemon reads the named words only;
// the others belong to the library. On a 64-bit development machine the
// address word is a full pointer, so only the 32-bit layout is the board's.
struct FbInfo {
  SharedWord<uint32_t> xres;         // word 0: visible width in pixels
  SharedWord<uint32_t> yres;         // word 1: visible height in pixels
  uint32_t reserved2;                // word 2
  SharedWord<uint32_t> line_length;  // word 3: bytes from one row to the next
  SharedWord<uint32_t> pix_fmt;      // word 4: pixel-format code (printed only)
  SharedWord<uint32_t> frame_size;   // word 5: bytes of one buffer
  uint32_t reserved6;                // word 6
  SharedWord<uintptr_t> base_vaddr;  // word 7: buffer 0; buffer k at + k * frame_size
  uint32_t reserved8[57];            // words 8..64
};
static_assert(sizeof(SharedWord<uint32_t>) == 4 && sizeof(SharedWord<uintptr_t>) == sizeof(void*),
              "a shared word has the size of the plain word");
static_assert(sizeof(void*) != 4 || sizeof(FbInfo) == 65 * 4,
              "the board's plane record has 65 words");
static_assert(sizeof(void*) != 4 || offsetof(FbInfo, base_vaddr) == 7 * 4,
              "buffer address in word 7");

// Buffers of each plane: buffer k, k = 0 or 1.
constexpr uint32_t fb_plane_buffers = 2;

// Pixel-format codes reported in FbInfo::pix_fmt.
constexpr uint32_t fb_fmt_argb8888 = 0;

// User configuration of plane 0: 18 little-endian words, see the index names.
struct FbUserCfg {
  enum Word : int {
    kFormat = 0,  // 4 = NV12
    kWidth = 1,
    kHeight = 2,
    kX = 3,
    kY = 4,
    kConst2 = 5,  // always 2
    kConst1 = 6,  // always 1
    kYPhys = 9,
    kYStride = 10,
    kUvPhys = 11,
    kUvStride = 12,
    kFlags = 13,  // the video path sets its second byte to 255
  };
  uint32_t words[18] = {};
};
static_assert(sizeof(FbUserCfg) == 18 * 4, "the board's user configuration has 18 words");
constexpr uint32_t fb_user_fmt_nv12 = 4;

// The display library is a C library.
extern "C" {

// Opens "/dev/fb0" or "/dev/fb1" and fills *info; returns a descriptor,
// negative on failure (info untouched then).
int fb_open(const char* path, FbInfo* info);
int fb_enable(int fd);   // shows the plane; negative on failure
int fb_disable(int fd);  // hides the plane
// Closes the plane and unmaps its buffers: every address taken from *info
// is invalid afterwards (the record is cleared).
int fb_close(int fd, FbInfo* info);
// Shows buffer k (0 or 1) of the plane. For plane 0 in user-configuration
// mode it shows the picture last given to fb_pan_display_set_user_cfg.
int fb_pan_display(int fd, const FbInfo* info, int k);
// Plane 0 takes its picture from the user configuration from now on.
int fb_pan_display_enable_user_cfg(int fd);
// Sets plane 0's picture source (shown at the next fb_pan_display).
int fb_pan_display_set_user_cfg(int fd, const FbUserCfg* cfg);

// Reserved memory.
int rmem_open();
// Allocates size bytes (rounded up to 4096), 4096-aligned; returns the
// process address and writes the physical address to *phys; null on failure.
void* rmem_alloc(int fd, uint32_t* phys, uint32_t size);
void rmem_free(int fd, void* virt, uint32_t phys, uint32_t size);
// Buffers already allocated stay valid after the close.
void rmem_close(int fd);

// Writes src rotated by 180 degrees to dst. width and height count elements
// of bytes_per_element bytes (1: a Y plane, 2: an interleaved UV plane);
// strides are in bytes. src and dst must not overlap. Returns 0, or -1 for
// an unsupported element size or a negative dimension (nothing written).
int msa_rotate180(const void* src, void* dst, int width, int height, int src_stride, int dst_stride,
                  int bytes_per_element);

}  // extern "C"
