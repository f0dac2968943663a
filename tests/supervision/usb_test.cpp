// The USB supervisor's decisions, second by second, and the reading of the
// controller's state attribute.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "common/state.h"
#include "link/system_commands.h"
#include "storage/config.h"
#include "supervision/mcu_link.h"
#include "supervision/usb_supervisor.h"
#include "tests/harness/harness.h"

namespace {

class UsbSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    usb_connect_state = -1;
    usb_timeout_cnt = 0;
    usb_timeout_long_cnt = 0;
    test_mode = 0;
    test_h264 = 0;
    CLOCK_STATE = -1;
    last_ = -1;
  }
  void TearDown() override { CLOCK_STATE = -1; }

  // One second as the thread runs it; returns the step and whether the
  // backlight went off in that second.
  UsbStep second(int32_t st, bool* off = nullptr) {
    UsbStep s = usb_state_step(st, last_);
    bool dark = false;
    if (s == UsbStep::kArrival || s == UsbStep::kLoss) usb_settle(&last_);
    if (s != UsbStep::kPaused && s != UsbStep::kCounting) dark = usb_backlight_off_due();
    if (off) *off = dark;
    return s;
  }
  int32_t last_ = -1;
};

TEST_F(UsbSteps, BootWithoutHostLosesAfterTenSecondsAndDarkensAtSixty) {
  for (int i = 1; i <= 9; i++) ASSERT_EQ(second(0), UsbStep::kCounting) << i;
  EXPECT_EQ(usb_timeout_cnt, 9u);
  EXPECT_EQ(second(0), UsbStep::kLoss);
  EXPECT_EQ(usb_timeout_cnt, 0u);
  EXPECT_EQ(last_, 0);
  int offs = 0, off_at = 0;
  for (int i = 11; i <= 120; i++) {
    bool off = false;
    ASSERT_EQ(second(0, &off), UsbStep::kSteady);
    if (off) {
      offs++;
      off_at = i;
    }
  }
  EXPECT_EQ(offs, 1);  // once per absence
  EXPECT_EQ(off_at, 60);
  EXPECT_EQ(usb_timeout_long_cnt, 120);
}

TEST_F(UsbSteps, RunningClockKeepsTheBacklight) {
  for (int i = 1; i <= 10; i++) second(0);
  CLOCK_STATE = 1;
  bool any = false;
  for (int i = 11; i <= 70; i++) {
    bool off = false;
    second(0, &off);
    any = any || off;
  }
  EXPECT_FALSE(any);
}

TEST_F(UsbSteps, ArrivalIsActedOnAtOnceAndOnlyOnce) {
  EXPECT_EQ(second(1), UsbStep::kArrival);
  EXPECT_EQ(usb_connect_state, 1);
  EXPECT_EQ(second(1), UsbStep::kSteady);
  // Gone for five seconds and back: neither loss nor a second arrival.
  for (int i = 0; i < 5; i++) ASSERT_EQ(second(0), UsbStep::kCounting);
  EXPECT_EQ(usb_timeout_long_cnt, 5);
  EXPECT_EQ(second(1), UsbStep::kSteady);
  EXPECT_EQ(usb_timeout_cnt, 0u);
  EXPECT_EQ(usb_timeout_long_cnt, 0);
  // Gone for good: loss after ten, then arrival again.
  for (int i = 0; i < 9; i++) ASSERT_EQ(second(0), UsbStep::kCounting);
  EXPECT_EQ(second(0), UsbStep::kLoss);
  EXPECT_EQ(second(1), UsbStep::kArrival);
}

TEST_F(UsbSteps, HostPacketsHoldTheLossOff) {
  EXPECT_EQ(second(1), UsbStep::kArrival);
  for (int i = 0; i < 30; i++) {
    ASSERT_EQ(second(0), UsbStep::kCounting) << i;
    if (i % 5 == 4) usb_timeout_cnt = 0;  // what every valid packet does
  }
}

TEST_F(UsbSteps, UnreadableStateIsCountedButNotAsAbsence) {
  EXPECT_EQ(second(1), UsbStep::kArrival);
  for (int i = 0; i < 9; i++) ASSERT_EQ(second(-1), UsbStep::kCounting);
  EXPECT_EQ(usb_timeout_long_cnt, 0);
  EXPECT_EQ(usb_connect_state, -1);
  EXPECT_EQ(second(-1), UsbStep::kLoss);
  EXPECT_EQ(last_, -1);
  // From -1 to 0 is a new state, counted again.
  EXPECT_EQ(second(0), UsbStep::kCounting);
}

TEST_F(UsbSteps, TestModeAndDecoderTestPauseDecisionsNotCounters) {
  test_mode = 1;
  for (int i = 0; i < 70; i++) ASSERT_EQ(second(0), UsbStep::kPaused);
  EXPECT_EQ(usb_timeout_long_cnt, 70);
  EXPECT_EQ(usb_timeout_cnt, 0u);
  EXPECT_EQ(second(1), UsbStep::kPaused);
  EXPECT_EQ(usb_timeout_long_cnt, 0);
  EXPECT_EQ(last_, -1);
  // Test mode ends with the first packet: the host present is an arrival.
  test_mode = 0;
  EXPECT_EQ(second(1), UsbStep::kArrival);
  test_h264 = 1;
  for (int i = 0; i < 20; i++) ASSERT_EQ(second(0), UsbStep::kPaused);
}

TEST(UsbLoss, ChoiceFollowsSuspendWarnAndClockSettings) {
  struct Row {
    int suspend, warn, clock, clock_state;
    UsbLossChoice want;
  };
  const Row rows[] = {
      {0, 1, 0, -1, UsbLossChoice::kWarn},    {0, 1, 1, -1, UsbLossChoice::kWarn},
      {1, 1, 0, -1, UsbLossChoice::kDark},    {1, 1, 1, -1, UsbLossChoice::kClock},
      {0, 0, 0, -1, UsbLossChoice::kDark},    {0, 0, 1, -1, UsbLossChoice::kClock},
      {0, 0, 1, 1, UsbLossChoice::kNothing},  {0, 0, 1, 0, UsbLossChoice::kNothing},
      {0, 0, 2, -1, UsbLossChoice::kNothing}, {2, 1, 1, -1, UsbLossChoice::kClock},
      {0, 2, 0, -1, UsbLossChoice::kDark},
  };
  for (const Row& r : rows) {
    mcu_usb_suspend = r.suspend;
    cfg.warn_enable = static_cast<uint8_t>(r.warn);
    cfg.clock_enable = static_cast<uint8_t>(r.clock);
    CLOCK_STATE = r.clock_state;
    EXPECT_EQ(usb_loss_choice(), r.want)
        << r.suspend << " " << r.warn << " " << r.clock << " " << r.clock_state;
  }
  CLOCK_STATE = -1;
  mcu_usb_suspend = 0;
}

TEST(UsbAttribute, ReadsConfiguredOtherAndMissing) {
  harness::DeviceRoot root(false);
  setenv("PANELD_ROOT", root.path().c_str(), 1);
  const std::string attr = "/sys/class/udc/13500000.otg/state";
  EXPECT_EQ(get_usb_state(), -1);
  root.write(attr, "configured\n");
  EXPECT_EQ(get_usb_state(), 1);
  root.write(attr, "configured");
  EXPECT_EQ(get_usb_state(), 1);
  root.write(attr, "not attached\n");
  EXPECT_EQ(get_usb_state(), 0);
  root.write(attr, "configured-ish\n");
  EXPECT_EQ(get_usb_state(), 0);
  root.write(attr, "");
  EXPECT_EQ(get_usb_state(), 0);
  // Longer than the read: compared without running past the buffer.
  root.write(attr, std::string(300, 'c'));
  EXPECT_EQ(get_usb_state(), 0);
  unsetenv("PANELD_ROOT");
}

}  // namespace
