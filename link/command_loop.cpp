#include "link/command_loop.h"

#include <cstdio>
#include <cstring>

#include "common/state.h"
#include "protocol/command.h"
#include "protocol/packet.h"
#include "protocol/tty.h"
#include "storage/config.h"

PacketRead read_command(std::vector<uint8_t>* cmd) {
  if (uart_read(tty_fd, r_buf, cmd_len) < 0) return PacketRead::Failed;
  return validate_packet(r_buf, cmd) ? PacketRead::Command : PacketRead::Dropped;
}

void handle_command(const std::vector<uint8_t>& cmd, uint8_t* reply) {
  usb_timeout_cnt.store(0);
  test_mode.store(0);
  if (cfg.test_mode == 1) {
    cfg.test_mode.store(0);
    SaveConfig();
    puts("save test mode config");
  }
  request_stop(CLOCK_STATE);

  memset(reply, 0, cmd_len);
  Command c(cmd.data(), cmd.size());
  Reply r{reply};
  if (CommandHandler h = find_command(c.code())) h(c, r);

  if (r.mode == ReplyMode::Normal) {
    reply[0] = c.code();
    reply[1] = 200;
    for (int i = 0; i < 4; i++) reply[2 + i] = c.u8(4 + i);
    safe_write(tty_fd, reply, cmd_len);
  } else if (r.mode == ReplyMode::Raw) {
    safe_write(tty_fd, reply, cmd_len);
  }
}
