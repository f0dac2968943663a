// Host commands of the picture path: JPEG frame (101), stored picture (113),
// slideshow stop (114), logo (45) and exit (44).
//
// Threads: all run on the command loop.
// Errors: none reported in the reply; every command is answered (except
// exit), also when its payload or path was refused.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/state.h"
#include "display/draw.h"
#include "image/jpeg.h"
#include "image/slideshow.h"
#include "platform/system.h"
#include "protocol/command.h"

namespace {

// 101: a JPEG file as bulk payload, shown unless a standby screen owns the
// panel. The payload is always taken off the line first.
void cmd_jpeg_frame(const Command& c, Reply&) {
  uint32_t n = c.be32(8);
  // Refused (too long for r_buf) or incomplete payloads are not shown.
  if (read_payload(r_buf, n, max_packet_len) < 0) return;
  if (standby_idle()) {
    show_jpg_buffer_nv12(r_buf, n);
  } else {
    fputs("error fail jpg---------------", stdout);
  }
}

// 113: show a stored picture named by the host.
void cmd_play_local_jpg(const Command& c, Reply&) {
  puts("CMD_PLAY_LOCAL_JPG \r");
  std::string path;
  // A path length reaching beyond the command is refused unread.
  if (!c.name(&path)) return;
  show_jpg_local(path.c_str());
}

// 114: the slideshow ends after its current picture.
void cmd_stop_slideshow(const Command&, Reply&) { ImgPlaying.store(0); }

// 45: the boot logo.
void cmd_logo(const Command&, Reply&) { playXyzAnnimation(); }

// 44: leave the panel tidy, tell the next start not to show the offline
// screen, and end without a reply.
void cmd_exit(const Command&, Reply& r) {
  r.mode = ReplyMode::None;
  if (jpg_buffer_num == 1) playXyzAnnimation();
  clear_overlay();
  FILE* f = dev_fopen("/tmp/no_show_offline", "w");
  if (f) fclose(f);
  // _exit: the worker threads still run, so neither static destructors nor
  // a flush of every stream (the kernel-log reader holds its stream's lock
  // while it blocks) may run. stdout and stderr are unbuffered, the upload
  // file is flushed after every chunk.
  _exit(0);
}

}  // namespace

PANELD_COMMAND(101, cmd_jpeg_frame);
PANELD_COMMAND(113, cmd_play_local_jpg);
PANELD_COMMAND(114, cmd_stop_slideshow);
PANELD_COMMAND(45, cmd_logo);
PANELD_COMMAND(44, cmd_exit);
