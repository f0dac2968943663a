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
  cfg.local_rotation.store(c.u8(8));
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
  cfg.bright.store(level);
  SaveConfig();
}
PANELD_COMMAND(14, cmd_brightness);

void cmd_calibrate(const Command& c, Reply&) {
  fb_x_offset.store(c.u8(8));
  fb_y_offset.store(c.u8(9));
  SaveFBConfig();
  stop_local_video();
  request_stop(OFFLINE_MODE_STATE);
  usleep(200000);

  overlay_flip([](int32_t n) {
    const uintptr_t base = fb1_buffer(n);
    draw_rect(base, 0, 0, 1080, 2400, 0xFF000000);
    dev_y.store(fb_y_offset);
    draw_rect(base, fb_x_offset, fb_y_offset, 1048, 2288, 0xFFFF0000);
  });
}
PANELD_COMMAND(202, cmd_calibrate);

}  // namespace
