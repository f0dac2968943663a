// Host commands of the panel settings: rotation (13), brightness (14) and
// the display-offset calibration (202).
//
// Threading: all run on the command-loop thread; the calibration paints the
// overlay under the plane lock. Errors: none is reported in the reply.
#include <unistd.h>

#include "common/state.h"
#include "display/draw.h"
#include "display/fb.h"
#include "protocol/command.h"
#include "storage/config.h"

namespace {

void cmd_rotation(const Command& c, Reply&) {
  set_rotation(c.u8(8));
  cfg.local_rotation = c.u8(8);
  SaveConfig();
}
PANELD_COMMAND(13, cmd_rotation);

void cmd_brightness(const Command& c, Reply&) {
  const uint8_t level = c.u8(8);
  if (level == 0) {
    // Dark panel only: the remembered and the stored level stay.
    set_brightness(0, 1);
    return;
  }
  set_brightness(level, 0);
  cfg.bright = level;
  SaveConfig();
}
PANELD_COMMAND(14, cmd_brightness);

void cmd_calibrate(const Command& c, Reply&) {
  fb_x_offset = c.u8(8);
  fb_y_offset = c.u8(9);
  SaveFBConfig();
  stop_local_video();
  request_stop(OFFLINE_MODE_STATE);
  usleep(200000);

  PlaneReadLock lock;
  const int32_t n = png_frame_num;
  const uintptr_t base = fb1_buffer(n);
  clock_fb_base = base;
  draw_rect(base, 0, 0, 1080, 2400, 0xFF000000);
  dev_y = fb_y_offset.load();
  draw_rect(base, fb_x_offset, fb_y_offset, 1048, 2288, 0xFFFF0000);
  fb_pan_display(fb1_fd, &fb1_info, n);
  png_frame_num = n ^ 1;
}
PANELD_COMMAND(202, cmd_calibrate);

}  // namespace
