// The supervisors' decisions, second by second, without waiting: the USB
// supervisor's loop as its thread runs it, the loss action's choice, and
// the microcontroller link's resynchronisation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/state.h"
#include "storage/config.h"
#include "supervision/mcu_link.h"
#include "supervision/usb_supervisor.h"

namespace {

// Runs the supervisor's decisions over one reading a second, settling after
// an arrival or a loss as the thread does. One letter a second: '.' paused,
// 'c' counting, 's' steady, 'A' arrival, 'L' loss; '*' marks a second in
// which the backlight goes off.
std::string supervise(const std::vector<int32_t>& readings) {
  int32_t last = -1;
  std::string out;
  for (int32_t st : readings) {
    const UsbStep step = usb_state_step(st, last);
    const char letters[] = ".csAL";
    out += letters[static_cast<int>(step)];
    if (step == UsbStep::kArrival || step == UsbStep::kLoss) usb_settle(&last);
    if (step != UsbStep::kPaused && step != UsbStep::kCounting && usb_backlight_off_due())
      out += '*';
  }
  return out;
}

std::vector<int32_t> seconds(std::initializer_list<std::pair<int32_t, int>> runs) {
  std::vector<int32_t> v;
  for (auto [state, n] : runs) v.insert(v.end(), n, state);
  return v;
}

TEST(UsbDecisions, SecondBySecond) {
  const struct {
    const char* what;
    std::vector<int32_t> readings;
    uint32_t test_mode;
    int32_t clock_state;
    std::string steps;
  } rows[] = {
      {"host at boot", seconds({{1, 3}}), 0, -1, "Ass"},
      {"no host: loss in the tenth second, dark in the sixtieth", seconds({{0, 61}}), 0, -1,
       std::string(9, 'c') + "L" + std::string(50, 's') + "*s"},
      {"a running clock keeps the backlight", seconds({{0, 61}}), 0, 1,
       std::string(9, 'c') + "L" + std::string(51, 's')},
      {"host back before ten seconds", seconds({{0, 5}, {1, 2}}), 0, -1, "cccccAs"},
      {"host leaves and comes back", seconds({{1, 1}, {0, 10}, {1, 1}}), 0, -1,
       "A" + std::string(9, 'c') + "LA"},
      {"unreadable state at boot is the start state", seconds({{-1, 3}}), 0, -1, "sss"},
      {"test mode decides nothing", seconds({{0, 12}, {1, 2}}), 1, -1, std::string(14, '.')},
  };
  for (const auto& r : rows) {
    test_mode.store(r.test_mode);
    CLOCK_STATE.store(r.clock_state);
    usb_timeout_cnt.store(0);
    usb_state_step(1, 1);  // a configured reading clears the counts
    EXPECT_EQ(supervise(r.readings), r.steps) << r.what;
  }
  test_mode.store(0);
  CLOCK_STATE.store(-1);
}

TEST(UsbDecisions, LossChoice) {
  const struct {
    int32_t suspend;
    uint8_t warn_enable, clock_enable;
    int32_t clock_state;
    UsbLossChoice choice;
  } rows[] = {
      {0, 1, 1, -1, UsbLossChoice::kWarn},   {1, 1, 1, -1, UsbLossChoice::kClock},
      {0, 0, 1, -1, UsbLossChoice::kClock},  {0, 0, 1, 1, UsbLossChoice::kNothing},
      {0, 0, 1, 0, UsbLossChoice::kNothing}, {0, 0, 0, -1, UsbLossChoice::kDark},
      {1, 1, 0, -1, UsbLossChoice::kDark},   {0, 0, 2, -1, UsbLossChoice::kNothing},
  };
  for (const auto& r : rows) {
    mcu_usb_suspend.store(r.suspend);
    cfg.warn_enable.store(r.warn_enable);
    cfg.clock_enable.store(r.clock_enable);
    CLOCK_STATE.store(r.clock_state);
    EXPECT_EQ(usb_loss_choice(), r.choice)
        << r.suspend << int(r.warn_enable) << int(r.clock_enable) << r.clock_state;
  }
  CLOCK_STATE.store(-1);
}

TEST(McuDecisions, ResyncDropsBytesUpToThePossibleFrameStart) {
  const struct {
    std::vector<uint8_t> bytes;
    size_t offset;
  } rows[] = {
      {{0x00, 0xAA, 0x55, 0x01}, 1}, {{0xAA, 0x00, 0xAA, 0x55}, 2},  // byte 0 never counts
      {{0x01, 0x02, 0x03}, 3},       {{0x01, 0x02, 0xAA}, 2},        // AA last may begin one
      {{0x01, 0xAA, 0x54, 0xAA}, 3}, {{0xAA}, 1},
  };
  for (const auto& r : rows) EXPECT_EQ(mcu_resync_offset(r.bytes.data(), r.bytes.size()), r.offset);
}

}  // namespace
