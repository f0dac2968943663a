// The microcontroller frames: parsing, resynchronisation after bad bytes,
// and the suspend-run rules that decide the warning.
#include <gtest/gtest.h>

#include <vector>

#include "common/state.h"
#include "standby/offline.h"
#include "storage/config.h"
#include "supervision/mcu_link.h"
#include "supervision/usb_supervisor.h"

namespace {

std::vector<uint8_t> frame(uint8_t temp, uint16_t pump, uint8_t suspend) {
  std::vector<uint8_t> f(16, 0);
  f[0] = 0xAA;
  f[1] = 0x55;
  f[2] = temp;
  f[3] = static_cast<uint8_t>(pump >> 8);
  f[4] = static_cast<uint8_t>(pump);
  f[5] = suspend;
  return f;
}

TEST(McuFrame, ParsesHeaderAndBigEndianSpeed) {
  std::vector<uint8_t> f = {0xAA, 0x55, 0x1E, 0x05, 0xDC, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  McuReading r{};
  ASSERT_EQ(mcu_parse_frame(f.data(), &r), 0);
  EXPECT_EQ(r.temperature, 30);
  EXPECT_EQ(r.pump_speed, 1500);
  EXPECT_EQ(r.usb_suspend, 0);

  f = frame(255, 65535, 7);
  ASSERT_EQ(mcu_parse_frame(f.data(), &r), 0);
  EXPECT_EQ(r.temperature, 255);
  EXPECT_EQ(r.pump_speed, 65535);
  EXPECT_EQ(r.usb_suspend, 7);

  McuReading untouched{1, 2, 3};
  for (auto bad : {std::vector<uint8_t>{0x55, 0xAA}, std::vector<uint8_t>{0xAA, 0x00},
                   std::vector<uint8_t>{0x00, 0x55}}) {
    f = frame(40, 2000, 1);
    f[0] = bad[0];
    f[1] = bad[1];
    EXPECT_EQ(mcu_parse_frame(f.data(), &untouched), -1);
    EXPECT_EQ(untouched.temperature, 1);
  }
}

TEST(McuFrame, ResyncFindsTheNextPossibleFrameStart) {
  // A frame whose first byte was lost: the next frame's header sits inside.
  std::vector<uint8_t> b = {0x55, 30, 5, 0xDC, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xAA};
  EXPECT_EQ(mcu_resync_offset(b.data(), 16), 15u);  // trailing AA may start one
  b[15] = 0;
  EXPECT_EQ(mcu_resync_offset(b.data(), 16), 16u);  // nothing worth keeping
  b[6] = 0xAA;
  b[7] = 0x55;
  EXPECT_EQ(mcu_resync_offset(b.data(), 16), 6u);
  b[3] = 0xAA;  // AA without 55 after it is skipped
  EXPECT_EQ(mcu_resync_offset(b.data(), 16), 6u);
  // A valid-looking header at offset 0 is never kept: that frame just failed.
  std::vector<uint8_t> g = {0xAA, 0x55, 0xAA, 0x55};
  EXPECT_EQ(mcu_resync_offset(g.data(), 4), 2u);
}

class McuRun : public ::testing::Test {
 protected:
  void SetUp() override {
    temperature = 0;
    pump_speed = 0;
    mcu_usb_suspend = 0;
    mcu_usb_suspend_count = 0;
    usb_connect_state = 1;
    cfg.warn_enable = 1;
    warn_shown_ = 0;
  }
  McuAction feed(const std::vector<uint8_t>& f) {
    count_ = -1;
    return mcu_handle_frame(f.data(), &warn_shown_, &count_);
  }
  int32_t warn_shown_ = 0;
  int32_t count_ = -1;
};

TEST_F(McuRun, ValidFramesPublishReadingsBadOnesOnlyClearTheSuspendFlag) {
  EXPECT_EQ(feed(frame(30, 1500, 0)), McuAction::kNext);
  EXPECT_EQ(temperature, 30);
  EXPECT_EQ(pump_speed, 1500);
  EXPECT_EQ(mcu_usb_suspend, 0);

  EXPECT_EQ(feed(frame(31, 1600, 1)), McuAction::kNext);
  EXPECT_EQ(mcu_usb_suspend, 1);
  EXPECT_EQ(mcu_usb_suspend_count, 1);

  auto bad = frame(99, 9999, 1);
  bad[0] = 0x55;
  bad[1] = 0xAA;
  EXPECT_EQ(feed(bad), McuAction::kBadFrame);
  EXPECT_EQ(temperature, 31);
  EXPECT_EQ(pump_speed, 1600);
  EXPECT_EQ(mcu_usb_suspend, 0);
  EXPECT_EQ(mcu_usb_suspend_count, 0);
}

TEST_F(McuRun, ElevenSuspendFramesWhileConfiguredWarnOncePerRun) {
  for (int i = 1; i <= 10; i++) ASSERT_EQ(feed(frame(30, 1500, 1)), McuAction::kNext) << i;
  EXPECT_EQ(feed(frame(30, 1500, 1)), McuAction::kWarn);
  EXPECT_EQ(count_, 11);
  EXPECT_EQ(mcu_usb_suspend_count, 0);
  // The second eleven of the same run: no second warning.
  for (int i = 1; i <= 11; i++) ASSERT_EQ(feed(frame(30, 1500, 1)), McuAction::kNext) << i;
  EXPECT_EQ(warn_shown_, 1);

  // A frame without suspend ends the run; the next run warns again.
  EXPECT_EQ(feed(frame(30, 1500, 0)), McuAction::kNext);
  EXPECT_EQ(warn_shown_, 0);
  for (int i = 1; i <= 10; i++) ASSERT_EQ(feed(frame(30, 1500, 1)), McuAction::kNext);
  EXPECT_EQ(feed(frame(30, 1500, 1)), McuAction::kWarn);

  // A bad header ends a run too.
  auto bad = frame(30, 1500, 1);
  bad[1] = 0;
  EXPECT_EQ(feed(bad), McuAction::kBadFrame);
  EXPECT_EQ(warn_shown_, 0);
}

TEST_F(McuRun, SuspendValuesOtherThanOneAreNotSuspended) {
  for (int i = 0; i < 20; i++) ASSERT_EQ(feed(frame(30, 1500, 2)), McuAction::kNext);
  EXPECT_EQ(mcu_usb_suspend, 2);
  EXPECT_EQ(mcu_usb_suspend_count, 0);
}

TEST_F(McuRun, NotConfiguredOrWarningDisabledNeverWarns) {
  usb_connect_state = 0;
  for (int i = 1; i <= 10; i++) ASSERT_EQ(feed(frame(30, 1500, 1)), McuAction::kNext);
  EXPECT_EQ(mcu_usb_suspend_count, 10);
  EXPECT_EQ(feed(frame(30, 1500, 1)), McuAction::kNext);
  EXPECT_EQ(mcu_usb_suspend_count, 0);  // counted again from 0
  EXPECT_EQ(warn_shown_, 0);

  usb_connect_state = 1;
  cfg.warn_enable = 0;
  for (int i = 1; i <= 11; i++) ASSERT_EQ(feed(frame(30, 1500, 1)), McuAction::kNext);
  EXPECT_EQ(warn_shown_, 1);
  cfg.warn_enable = 1;
  for (int i = 1; i <= 11; i++) ASSERT_EQ(feed(frame(30, 1500, 1)), McuAction::kNext);
}

}  // namespace
