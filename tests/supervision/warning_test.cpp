// Both warning painters (host loss, microcontroller suspend) must hold the
// warning lock from stopping the offline screen to the last line, or their
// pictures and lines interleave. The panel is not open here, so the drawing
// calls do nothing and only the ordering is seen.
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

using std::chrono::milliseconds;

TEST(Warnings, EachPainterHoldsTheWarningLockThroughout) {
  struct Row {
    std::function<void()> paint;
    const char* line;
  };
  const Row rows[] = {{[] { mcu_show_warning(11); }, "led_usb_timeout_11_3"},
                      {[] { usb_loss_action(); }, "lcd_usb_timeout_4 state 0"}};
  harness::DeviceRoot root(false);
  setenv("PANELD_ROOT", root.path().c_str(), 1);
  usb_timeout_cnt.store(3);
  mcu_usb_suspend.store(0);
  mcu_usb_suspend_count.store(4);
  usb_connect_state.store(0);
  cfg.warn_enable.store(1);
  for (const Row& r : rows) {
    std::unique_lock<std::recursive_mutex> hold(warn_mutex);
    OFFLINE_MODE_STATE.store(1);  // stands for a running offline screen
    std::thread t(r.paint);
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_EQ(OFFLINE_MODE_STATE, 1) << r.line << ": offline screen stopped without the lock";
    hold.unlock();
    for (int i = 0; i < 400 && OFFLINE_MODE_STATE != 0; i++)
      std::this_thread::sleep_for(milliseconds(5));
    EXPECT_EQ(OFFLINE_MODE_STATE, 0) << r.line;
    // Still waiting for the offline thread to end: the lock must stay taken.
    std::this_thread::sleep_for(milliseconds(400));
    bool free_now = warn_mutex.try_lock();
    if (free_now) warn_mutex.unlock();
    EXPECT_FALSE(free_now) << r.line << ": lock released while waiting for the offline screen";
    OFFLINE_MODE_STATE.store(-1);
    t.join();
    EXPECT_STREQ(warn_buffer, r.line);
  }
  unsetenv("PANELD_ROOT");
}

}  // namespace
