// Still pictures on the video plane: decode a JPEG file with the hardware
// decoder into one of two NV12 output buffers and point plane 0 at it.
//
// Threads: any thread may show a picture; g_jpeg_lock serialises them, so a
// decode never uses another's request, output record or output buffer. It
// is taken under the plane lock (lock order: README.md), so a caller
// that already paints under the plane lock may show a picture too.
// Errors: 0 / -1 after printing the reason; a failed decode is never shown
// and does not flip jpg_buffer_num.
#include "image/jpeg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "common/reserve.h"
#include "display/fb.h"
#include "platform/display.h"
#include "platform/system.h"

SharedWord<int32_t> jpg_buffer_num{0};
static JpegdDecoder* decoder_jpeg = nullptr;
static JpegdRequest config{};
JpegdFrame output{};
void* jpegd_output_vaddr[2] = {nullptr, nullptr};
uint32_t jpegd_output_paddr[2] = {0, 0};
uint32_t jpegd_output_size = 0;

namespace {

std::mutex g_jpeg_lock;

// Stored pictures larger than this are not read into memory; a real picture
// for this panel is a few MiB at most.
constexpr off_t kMaxStoredPicture = 64 * 1024 * 1024;

// A request for the whole usable panel area.
JpegdRequest panel_request(const uint8_t* data, uint32_t length) {
  JpegdRequest r{};
  r.length = length;
  r.width = uint32_t(dev_width.load());
  r.height = uint32_t(dev_height.load());
  r.format = JPEGD_FORMAT_NV12;
  r.data = data;
  return r;
}

}  // namespace

uint32_t calc_jpeg_output_size(const JpegdRequest* request) {
  uint64_t w = (uint64_t(request->width) + 15) / 16 * 16;
  uint64_t h = (uint64_t(request->height) + 15) / 16 * 16;
  uint64_t size = w * h * 3 / 2;
  return size > UINT32_MAX ? UINT32_MAX : uint32_t(size);
}

int jpeg_nv12_decode_prepare() {
  int h = rmem_open();
  if (h < 0) {
    puts("jpegd prepare decoder open rmem failed");
  } else {
    JpegdRequest probe = panel_request(nullptr, 0);
    const uint32_t need = calc_jpeg_output_size(&probe);
    if (need == 0) {
      // No usable panel area: the daemon cannot show anything.
      rmem_close(h);
      return -1;
    }
    uint64_t size = round4096(need);
    if (size <= UINT32_MAX) {
      jpegd_output_vaddr[0] = rmem_alloc(h, &jpegd_output_paddr[0], uint32_t(size));
      if (!jpegd_output_vaddr[0]) {
        puts("rmem_alloc failed!");
      } else {
        jpegd_output_vaddr[1] = rmem_alloc(h, &jpegd_output_paddr[1], uint32_t(size));
        if (!jpegd_output_vaddr[1]) puts("rmem_alloc failed!");
      }
    } else {
      puts("rmem_alloc failed!");
    }
    // Both buffers must exist for the size to count: a decode aimed at a
    // missing buffer is refused instead of written through a null address.
    if (jpegd_output_vaddr[0] && jpegd_output_vaddr[1]) jpegd_output_size = uint32_t(size);
    rmem_close(h);
  }
  usleep(30000);
  return 0;
}

int show_jpg_buffer_nv12(const uint8_t* data, uint32_t length) {
  PlaneReadLock plane;
  std::lock_guard<std::mutex> lock(g_jpeg_lock);

  decoder_jpeg = jpegd_decoder_open();
  if (!decoder_jpeg) {
    fwrite("Unable to open jpeg decoder\n", 1, 28, stderr);
    return -1;
  }
  config = panel_request(data, length);
  printf("width=%d height=%d\n", int(config.width), int(config.height));

  int i = jpg_buffer_num;
  // The buffers were sized for the panel at start-up; a later, larger area
  // (a rotated panel) must not make the decoder write past them.
  // No usable area (plane 0 never opened) refuses the picture here; only
  // start-up treats that as fatal.
  uint32_t need = config.width && config.height ? calc_jpeg_output_size(&config) : 0;
  if (need == 0 || need > jpegd_output_size ||
      jpegd_decoder_set_output_mem(decoder_jpeg, &config, jpegd_output_vaddr[i],
                                   jpegd_output_paddr[i], need) < 0) {
    fwrite("jpeg decoder set output memory failed.\n", 1, 39, stderr);
    jpegd_decoder_close(decoder_jpeg);
    decoder_jpeg = nullptr;
    return -1;
  }
  printf("jpg_buffer_num %d\n", i);

  if (jpegd_decoder_get(decoder_jpeg, &config, &output) != 0) {
    fwrite("jpeg decoder acquire failed.\n", 1, 29, stderr);
    jpegd_decoder_close(decoder_jpeg);
    decoder_jpeg = nullptr;
    return -1;
  }
  jpg_buffer_num.store(i ^ 1);
  fb_display_nv12(fb_fd, int32_t(config.width), int32_t(config.height), &fb_info, output.words,
                  jpegd_output_paddr[i]);
  jpegd_decoder_put(decoder_jpeg, &output);
  jpegd_decoder_close(decoder_jpeg);
  decoder_jpeg = nullptr;
  return 0;
}

int show_jpg_local(const char* path) {
  // Non-blocking, so a FIFO or device node named by the host cannot hang the
  // caller; only regular files are read.
  int fd = dev_open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    perror("Failed to open src file");
    return -1;
  }
  struct stat st {};
  int rc = fstat(fd, &st);
  if (rc != 0 || !S_ISREG(st.st_mode)) {
    if (rc == 0) errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    perror("Failed to open src file");
    close(fd);
    return -1;
  }
  off_t size = lseek(fd, 0, SEEK_END);
  lseek(fd, 0, SEEK_SET);
  if (size < 0 || size > kMaxStoredPicture) {
    fwrite("Failed to alloc input_mem\n", 1, 26, stderr);
  } else {
    std::vector<uint8_t> block(size_t(size) + 1);
    // Only the bytes that were actually read go to the decoder.
    size_t got = 0;
    while (got < size_t(size)) {
      ssize_t n = read(fd, block.data() + got, size_t(size) - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += size_t(n);
    }
    show_jpg_buffer_nv12(block.data(), uint32_t(got));
  }
  close(fd);
  return 0;
}
