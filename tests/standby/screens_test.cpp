// The screen threads on the simulated planes of this process, seen through
// `panelsim snapshot`, as the USB supervisor and start-up run them.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/state.h"
#include "display/draw.h"
#include "display/fb.h"
#include "standby/clock.h"
#include "standby/offline.h"
#include "standby/text.h"
#include "storage/config.h"
#include "tests/standby/overlay_image.h"
#include "tests/standby/standby_root.h"

namespace {

using harness::Image;
using standby_test::argb;
using standby_test::image_runs;
using standby_test::snapshot_until;
using standby_test::wait_for;

const uint32_t kLightGrey = 0xFFB8B8B8;
const uint32_t kBlack = 0xFF000000;

class Screens : public ::testing::Test {
 protected:
  void SetUp() override { root_ = &standby_test::root(); }
  // Stops a screen as the host does and checks that it cleans up.
  void stop_and_check(SharedWord<int32_t>& state, pthread_t thread) {
    request_stop(state);
    EXPECT_TRUE(wait_for([&] { return state == -1; }, 3000));
    pthread_join(thread, nullptr);
    Image a, b;
    ASSERT_TRUE(harness::snapshot(*root_, "overlay0", &a));
    ASSERT_TRUE(harness::snapshot(*root_, "overlay1", &b));
    EXPECT_TRUE(standby_test::all_transparent(a));
    EXPECT_TRUE(standby_test::all_transparent(b));
  }
  const harness::DeviceRoot* root_ = nullptr;
};

TEST_F(Screens, ClockDigitsKeepTheirRowsAndStopClearsTheOverlay) {
  ASSERT_EQ(CLOCK_STATE, -1);
  ASSERT_EQ(clock_set(2026, 1, 22, 11, 11, 0), 0);
  int32_t band = clock_metrics().time_max_rows;
  pthread_t t;
  ASSERT_EQ(pthread_create(&t, nullptr, clock_thread, nullptr), 0);
  ASSERT_TRUE(wait_for([] { return CLOCK_STATE == 1; }));

  auto time_runs = [&](const Image& img) {
    return image_runs(img, kLightGrey, 495, 495 + band, 0, 1700);
  };
  Image img;
  ASSERT_TRUE(snapshot_until(*root_, "overlay", &img,
                             [&](const Image& i) { return time_runs(i).size() == 5; }));
  auto eleven = time_runs(img);

  ASSERT_EQ(clock_set(2026, 1, 22, 8, 58, 0), 0);
  ASSERT_TRUE(snapshot_until(*root_, "overlay", &img, [&](const Image& i) {
    auto r = time_runs(i);
    return r.size() == 5 && r != eleven;
  }));
  auto eight = time_runs(img);
  // Each digit ends at the far end of its cell (time_max_width + 25 rows
  // apart), the colon is not shifted.
  for (size_t i = 0; i < 5; i++) EXPECT_NEAR(eleven[i].second, eight[i].second, 1) << i;
  int32_t cell = clock_metrics().time_max_width;
  EXPECT_NEAR(eleven[0].second, 280 + cell - 1, 1);
  EXPECT_NEAR(eleven[1].second, 280 + (cell + 25) + cell - 1, 1);
  EXPECT_NEAR(eleven[2].first, 280 + 2 * (cell + 25), 1);
  EXPECT_EQ(date_spacing, 20);

  stop_and_check(CLOCK_STATE, t);
}

TEST_F(Screens, OfflineScreenShowsTheCurrentTemperatureAndStops) {
  ASSERT_EQ(OFFLINE_MODE_STATE, -1);
  temperature = 7;
  pump_speed = 1234;
  test_mode = 0;
  pthread_t t;
  ASSERT_EQ(pthread_create(&t, nullptr, offline_mode_thread, nullptr), 0);
  ASSERT_TRUE(wait_for([] { return OFFLINE_MODE_STATE == 1; }));

  // The temperature stands on column 380; below column 700 nothing else.
  auto first_row = [](const Image& i) {
    auto r = image_runs(i, kBlack, 380, 700, 0, 2400);
    return r.empty() ? -1 : r.front().first;
  };
  Image img;
  ASSERT_TRUE(snapshot_until(*root_, "overlay", &img,
                             [&](const Image& i) { return first_row(i) >= 1120; }));
  // Outside test mode the background rectangle is transparent.
  EXPECT_EQ(argb(img, fb_x_offset + 5, dev_y + 5), 0u);

  temperature = 35;
  ASSERT_TRUE(snapshot_until(*root_, "overlay", &img, [&](const Image& i) {
    int r = first_row(i);
    return r >= 1000 && r < 1120;
  }));

  stop_and_check(OFFLINE_MODE_STATE, t);
  // A second request on a stopped screen does not turn -1 into 0.
  request_stop(OFFLINE_MODE_STATE);
  EXPECT_EQ(OFFLINE_MODE_STATE, -1);
}

TEST_F(Screens, WarningLinesFromTwoThreadsAreDrawnOneAtATime) {
  testing::internal::CaptureStdout();
  int32_t before = png_frame_num;
  show_warn_msg("");  // an empty text still flips and shows
  EXPECT_EQ(png_frame_num, before ^ 1);

  auto warn = [](const char* who) {
    for (int i = 0; i < 10; i++) show_warn_msgf("%s warning %d", who, i);
  };
  std::thread a(warn, "usb"), b(warn, "mcu");
  a.join();
  b.join();
  std::string out = testing::internal::GetCapturedStdout();
  size_t shown = 0;
  for (size_t p = out.find("show warn msg"); p != std::string::npos;
       p = out.find("show warn msg", p + 1))
    shown++;
  EXPECT_EQ(shown, 21u);

  Image img;
  ASSERT_TRUE(harness::snapshot(*root_, "overlay", &img));
  auto runs = image_runs(img, 0xFF909090, 200, 260, 0, 2400);
  ASSERT_FALSE(runs.empty());
  EXPECT_GE(runs.front().first, 1400);
  transparent_fb1_direct(0);
  transparent_fb1_direct(0);
}

}  // namespace
