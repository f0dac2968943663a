// The daemon: start-up in its fixed order, then the command loop.
//
// The initial thread runs start-up and then stays the command loop for the
// life of the process: it alone reads the host line, decrypts, dispatches
// and replies. Everything else runs in the worker threads started here or
// by the commands.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "common/state.h"
#include "common/thread.h"
#include "display/fb.h"
#include "image/jpeg.h"
#include "image/png_overlay.h"
#include "image/slideshow.h"
#include "link/command_loop.h"
#include "link/startup.h"
#include "platform/system.h"
#include "protocol/command.h"
#include "protocol/tty.h"
#include "standby/clock.h"
#include "standby/offline.h"
#include "standby/text.h"
#include "storage/config.h"
#include "storage/files.h"
#include "supervision/kmsg_watcher.h"
#include "supervision/mcu_link.h"
#include "supervision/usb_supervisor.h"
#include "video/h264_decoder.h"
#include "video/local_player.h"

namespace {

// A start-up marker file that asks to skip a screen once; it is removed.
bool take_marker(const char* path) {
  if (dev_access(path, F_OK) != 0) return false;
  DeleteFile(path);
  return true;
}

// Records, planes, backlight and storage figures, before any worker runs.
int prepare_device() {
  version_info = check_dev_version();
  static std::vector<uint8_t> receive(max_packet_len);
  r_buf = receive.data();
  ReadFBConfig();
  if (init_disp() < 0) return -1;
  set_framerate(30);
  if (jpeg_nv12_decode_prepare() < 0) return -1;
  setVersion();
  int fd = dev_open("/usr/data/boot.sign", O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) close(fd);
  ReadConfig();
  test_mode.store(cfg.test_mode);
  set_brightness(cfg.bright, 0);
  QuerryStorage();
  return 0;
}

void start_workers() {
  static PngSync png_sync;
  sem_init(&png_sync.back_free, 0, 1);
  sem_init(&png_sync.back_ready, 0, 0);
  pthread_mutex_init(&png_sync.flip_lock, nullptr);
  // The overlay streams' slot pools exist before the command loop serves:
  // a frame sent right after start-up must find them, not be dropped.
  png_thread_init();
  big_png_thread_init();

  start_thread(play_h264_thread2, nullptr);
  start_thread(usb_state_thread, nullptr);
  start_thread(handle_data_thread, nullptr);
  start_thread(decode_png_thread_func, &png_sync);
  start_thread(decode_big_png_thread_func, &png_sync);
  start_thread(mcu_uart_thread, nullptr);
}

void start_standby_screens(bool show_offline) {
  show_warn_msg_init();
  if (show_offline) {
    if (test_mode == 0) play_local_h264_async("/usr/data/boot.h264");
    offline_init();
    offline_setSize(550, 135);
    start_thread(offline_mode_thread, nullptr);
  }
  clock_init();
  clock_setSize(230, 110);

  _time_stamp = _get_time_stamp();
  printf("time stamp %lld\n", static_cast<long long>(_time_stamp));
  if (_time_stamp < 3600) {
    puts("first start, set time");
    clock_set(2026, 1, 22, 0, 0, 0);
  }
}

// The command loop: one packet at a time; a broken line is reopened.
int serve_host() {
  uint8_t reply[cmd_len];
  std::vector<uint8_t> cmd;
  for (;;) {
    if (init_tty() < 0) return -1;
    for (;;) {
      const PacketRead got = read_command(&cmd);
      if (got == PacketRead::Failed) {
        printf("uart_read null ");
        uart_close(tty_fd);
        break;
      }
      if (got == PacketRead::Command) handle_command(cmd, reply);
    }
  }
}

}  // namespace

int main() {
  platform_init();
  local_video_stop_hook.store(stop_local_h264);

  puts("main start!");
  if (prepare_device() < 0) return -1;

  const bool show_logo = !take_marker("/tmp/no_show_logo_and_offline");
  const bool show_offline = !take_marker("/tmp/no_show_offline") && show_logo;
  if (test_mode != 1 && show_logo) playBootAnnimation();

  start_workers();
  start_standby_screens(show_offline);
  return serve_host();
}
