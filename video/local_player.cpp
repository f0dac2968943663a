// Local H.264 playback and commands 110..112.
//
// The player thread owns its file and read buffer; it pushes into part 0 of
// the intake. player_mu makes "is a player there? start one" one step for
// all callers (command loop, USB supervisor, start-up). Errors: a file that
// cannot be opened is reported on stderr and nothing plays.
#include "video/local_player.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/state.h"
#include "common/thread.h"
#include "display/draw.h"
#include "display/fb.h"
#include "platform/system.h"
#include "protocol/command.h"
#include "storage/config.h"
#include "video/h264_decoder.h"
#include "video/intake.h"

namespace {

char local_264_path[kLocalPathMax];      // under player_mu
SharedWord<int32_t> local_h264_mark{0};  // 1 keep playing, 0 stop requested (any thread)
SharedWord<int32_t> h264_loop_mark{0};   // 1 start the file again at its end

constexpr uint32_t kReadBlock = 1048576;
constexpr int32_t kQueuedBlocksMax = 3;  // blocks of a file waiting in record 0

std::mutex player_mu;
DaemonThread local_264_player;       // joined before the next start
SharedWord<int32_t> player_done{0};  // that thread has finished

// Sleeps up to one second, less when a stop is requested.
void wait_a_second() {
  for (int i = 0; i < 20 && local_h264_mark == 1; ++i) usleep(50000);
}

// One pass through the file, block by block, until its end or a stop;
// the bytes read.
size_t play_pass(FILE* f, uint8_t* buf) {
  size_t pass_bytes = 0;
  for (;;) {
    size_t n = fread(buf, 1, kReadBlock, f);
    if (n == 0 || local_h264_mark != 1) break;
    pass_bytes += n;
    // Wait for room, giving up on a stop. A block read just before a stop
    // is not queued: the host's stream may already be behind it.
    while (push_h264_block_while(buf, static_cast<uint32_t>(n), local_h264_mark) == -1 &&
           local_h264_mark == 1)
      wait_a_second();
    while (h264_block_data1.count >= kQueuedBlocksMax && local_h264_mark == 1) wait_a_second();
  }
  printf("totalframe:%d \n", 0);
  return pass_bytes;
}

int play_file(const char* path, int loop) {
  if (loop) h264_loop_mark.store(1);
  printf("play_local_h264 name: %s \n", path);
  FILE* f = dev_fopen(path, "rb");
  if (!f) {
    fprintf(stderr, "open %s err: %s\n", path, strerror(errno));
    return -1;
  }
  std::vector<uint8_t> buf(kReadBlock);
  // A file plays as one part, whatever the host streamed last.
  h264_mode.store(1);
  local_h264_playing.store(1);
  for (;;) {
    // A pass that read nothing (empty file, read error) ends the playback
    // rather than spinning through empty passes.
    if (play_pass(f, buf.data()) == 0) break;
    if (h264_loop_mark != 1 || local_h264_mark != 1) break;
    clearerr(f);
    fseek(f, 0, SEEK_SET);
  }
  fclose(f);
  local_h264_mark.store(0);
  local_h264_playing.store(0);
  return -1;
}

}  // namespace

int play_local_h264(const char* path, int width, int height, int loop) {
  local_h264_mark.store(1);
  return play_file(path, loop);
}

void* play_local_h264_thread(void*) {
  if (local_h264_playing == 1) {
    stop_local_h264();
    sleep(2);
  }
  char path[kLocalPathMax];
  {
    std::lock_guard<std::mutex> lock(player_mu);
    memcpy(path, local_264_path, sizeof path);
  }
  // local_h264_mark was set when this player was started, so a stop that
  // comes before the file is open is not lost.
  play_file(path, 1);
  player_done.store(1);
  return nullptr;
}

int play_local_h264_async(const char* path) {
  clean_fb1();
  std::lock_guard<std::mutex> lock(player_mu);
  if (local_h264_playing == 1 || (local_264_player.joinable() && player_done == 0)) return 0;
  if (!path || strnlen(path, kLocalPathMax) >= static_cast<size_t>(kLocalPathMax)) {
    fprintf(stderr, "local h264 path too long\n");
    return -1;
  }
  local_264_player.join();
  memset(local_264_path, 0, sizeof local_264_path);
  strcpy(local_264_path, path);
  cfg_set_video_path(path);
  local_h264_mark.store(1);
  player_done.store(0);
  return local_264_player.start(play_local_h264_thread, nullptr, ThreadEnd::kJoined);
}

void request_local_h264_stop() {
  local_h264_mark.store(0);
  h264_start_mark.store(0);
  printf("stop_local_h264 ");
}

void stop_local_h264() {
  request_local_h264_stop();
  // A decoder waiting for blocks releases now, not at the next block.
  wake_h264_decoder();
}

void stop_local_h264_and_join() {
  stop_local_h264();
  // The player takes player_mu as it starts: join only once it has finished.
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(player_mu);
      if (!local_264_player.joinable()) return;
      if (player_done == 1) {
        local_264_player.join();
        return;
      }
    }
    usleep(10000);
  }
}

namespace {

void cmd_play_local(const Command& c, Reply&) {
  printf("local 264 \r");
  std::string name;
  // A name reaching beyond the command is refused; a long one by the player.
  if (!c.name(&name)) return;
  play_local_h264_async(name.c_str());
}
PANELD_COMMAND(110, cmd_play_local);

void cmd_stop_local(const Command&, Reply&) { stop_local_h264(); }
PANELD_COMMAND(111, cmd_stop_local);

void cmd_local_playing(const Command&, Reply& r) {
  r.data[8] = static_cast<uint8_t>(local_h264_playing.load());
}
PANELD_COMMAND(112, cmd_local_playing);

}  // namespace
