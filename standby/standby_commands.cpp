// Host commands of the standby screens: set the clock (51), stop both
// screens and report their run states (52).
//
// Threading: command-loop thread only.
// Errors: none is reported in the reply; clock_set prints its own failure.
#include "common/state.h"
#include "protocol/command.h"
#include "standby/clock.h"
#include "storage/config.h"

namespace {

// Bytes 8..9 year (big-endian), 10 month, 11 day, 12 hour, 13 minute,
// 14 second, 15 clock flag (0 or 1; other values leave it unchanged).
void cmd_clock_set(const Command& c, Reply&) {
  uint8_t flag = c.u8(15);
  if (flag <= 1) cfg.clock_enable.store(flag);
  clock_set(c.be16(8), c.u8(10), c.u8(11), c.u8(12), c.u8(13), c.u8(14));
  SaveConfig();
}
PANELD_COMMAND(51, cmd_clock_set);

void cmd_standby_stop(const Command&, Reply& r) {
  request_stop(CLOCK_STATE);
  request_stop(OFFLINE_MODE_STATE);
  r.data[8] = static_cast<uint8_t>(CLOCK_STATE.load());
  r.data[9] = static_cast<uint8_t>(OFFLINE_MODE_STATE.load());
}
PANELD_COMMAND(52, cmd_standby_stop);

}  // namespace
