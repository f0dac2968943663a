// Both warning painters (host loss and microcontroller suspend) take the
// warning lock before the first step of their sequence, so their pictures
// and lines never interleave. The panel is not open here: the drawing calls
// do nothing, which keeps the test to the ordering.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "common/state.h"
#include "standby/text.h"
#include "storage/config.h"
#include "supervision/mcu_link.h"
#include "supervision/usb_supervisor.h"
#include "tests/harness/harness.h"

namespace {

bool wait_for(const std::function<bool()>& cond, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void expect_waits_for_warning_lock(const std::function<void()>& painter, const char* line) {
  harness::DeviceRoot root(false);
  setenv("PANELD_ROOT", root.path().c_str(), 1);
  std::unique_lock<std::recursive_mutex> hold(warn_mutex);
  OFFLINE_MODE_STATE = 1;  // stands for a running offline screen
  std::thread t(painter);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(OFFLINE_MODE_STATE, 1) << "the offline screen was stopped without the lock";
  hold.unlock();
  EXPECT_TRUE(wait_for([] { return OFFLINE_MODE_STATE == 0; }, 2000));
  // The sequence waits for the screen's thread to finish.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  bool free_now = warn_mutex.try_lock();
  if (free_now) warn_mutex.unlock();
  EXPECT_FALSE(free_now) << "lock released while waiting for the offline screen";
  OFFLINE_MODE_STATE = -1;
  t.join();
  EXPECT_STREQ(warn_buffer, line);
  unsetenv("PANELD_ROOT");
}

TEST(Warnings, MicrocontrollerWarningHoldsTheLockThroughout) {
  usb_timeout_cnt = 3;
  expect_waits_for_warning_lock([] { mcu_show_warning(11); }, "led_usb_timeout_11_3");
  usb_timeout_cnt = 0;
}

TEST(Warnings, HostLossWarningHoldsTheLockThroughout) {
  mcu_usb_suspend = 0;
  mcu_usb_suspend_count = 4;
  usb_connect_state = 0;
  cfg.warn_enable = 1;
  expect_waits_for_warning_lock([] { usb_loss_action(); }, "lcd_usb_timeout_4 state 0");
  mcu_usb_suspend_count = 0;
}

}  // namespace
