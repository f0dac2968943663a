// Identity, power, service and configuration-byte commands.
//
// All run on the command-loop thread; none reports a failure in its reply.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/state.h"
#include "link/startup.h"
#include "platform/system.h"
#include "protocol/command.h"
#include "storage/config.h"

namespace {

// Group and position numbers answered to command 201; nothing assigns them.
constexpr uint8_t kGroup = 0;
constexpr uint8_t kPosition = 0;

constexpr size_t kIdentityLen = 25;

void cmd_identity(const Command&, Reply& r) {
  memcpy(r.data + 8, version_info.data(), std::min(version_info.size(), kIdentityLen));
}
PANELD_COMMAND(10, cmd_identity);

void cmd_reboot(const Command&, Reply&) { run_shell("reboot"); }
PANELD_COMMAND(11, cmd_reboot);

void cmd_halt(const Command&, Reply&) { run_shell("halt"); }
PANELD_COMMAND(12, cmd_halt);

void cmd_constant(const Command&, Reply& r) {
  // 4096 as a little-endian u32.
  r.data[8] = 0x00;
  r.data[9] = 0x10;
  r.data[10] = 0x00;
  r.data[11] = 0x00;
}
PANELD_COMMAND(17, cmd_constant);

void cmd_update(const Command&, Reply&) { run_shell("/etc/ota_bin/local_ota_update.sh /tmp"); }
PANELD_COMMAND(43, cmd_update);

void cmd_warn_enable(const Command& c, Reply&) {
  cfg.warn_enable.store(c.u8(8));
  SaveConfig();
}
PANELD_COMMAND(46, cmd_warn_enable);

void cmd_config_bytes(const Command& c, Reply&) {
  cfg.bright.store(c.u8(8));
  cfg.mode.store(c.u8(9));
  cfg.reserved_2.store(c.u8(10));
  cfg.local_rotation.store(c.u8(11));
  cfg.reserved_4.store(c.u8(12));
  cfg.clock_enable.store(c.u8(13));
  SaveConfig();
}
PANELD_COMMAND(125, cmd_config_bytes);

void cmd_usb_display(const Command&, Reply&) {
  int fd = dev_open("/usr/data/usb_display", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) close(fd);
}
PANELD_COMMAND(150, cmd_usb_display);

void cmd_group(const Command&, Reply& r) {
  r.data[8] = kGroup;
  r.data[9] = kPosition;
}
PANELD_COMMAND(201, cmd_group);

void cmd_decoder_test(const Command&, Reply&) {
  test_h264.store(1);
  run_shell("cmd_h264_direct_decode infile=/media/out.h264 width=400 height=400 &");
}
PANELD_COMMAND(253, cmd_decoder_test);

void cmd_nop(const Command&, Reply&) {}
PANELD_COMMAND(254, cmd_nop);

}  // namespace
