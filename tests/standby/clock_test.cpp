// The clock's painting rules and the setting of the system time.
#include "standby/clock.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/system.h"
#include "tests/standby/standby_root.h"

namespace {

using standby_test::GuardedCanvas;

const uint32_t kLightGrey = 0xFFB8B8B8;

struct tm make_tm(int year, int mon, int day, int hour, int min) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = mon - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = min;
  return t;
}

class ClockPaint : public ::testing::Test {
 protected:
  void SetUp() override {
    standby_test::root();
    date_spacing = 20;  // as the clock thread sets it
  }
};

TEST_F(ClockPaint, DateIsCentredOnRow1890AndYearStartsAt1790) {
  GuardedCanvas cv(1080, 2400);
  ClockMetrics m = clock_metrics();
  {
    std::lock_guard<std::mutex> lock(clock_font_mutex);
    clock_paint(cv.canvas(), make_tm(2026, 1, 3, 9, 5));
    font_set_size(clock_face, m.date_font_size);
    EXPECT_EQ(calc_date_center_x(""), 0);
  }
  // "1/3": three glyphs and two gaps of 20 rows; the glyphs' centre is at
  // 1890, so the whole line's centre lies 20 rows further.
  auto runs = cv.ink_runs(kLightGrey, 550, 550 + m.date_max_rows, 1700, 2400);
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_NEAR((runs.front().first + runs.back().second + 1) / 2, 1890 + 20, 2);
  int32_t first, last;
  ASSERT_TRUE(cv.ink_rows(0xFF909090, 420, 480, &first, &last));
  EXPECT_NEAR(first, 1790, 1);
}

class ClockSet : public ::testing::Test {
 protected:
  void SetUp() override { standby_test::root(); }
  void TearDown() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  static time_t now() {
    struct timeval tv;
    platform_gettimeofday(&tv);
    return tv.tv_sec;
  }
};

TEST_F(ClockSet, SetsTheUtcDateAndTimeWhateverTheZone) {
  // 2026-01-22 00:00:00 UTC.
  const time_t want = 1769040000;
  for (const char* zone : {"UTC", "Asia/Tokyo", "America/New_York"}) {
    setenv("TZ", zone, 1);
    tzset();
    testing::internal::CaptureStdout();
    ASSERT_EQ(clock_set(2026, 1, 22, 0, 0, 0), 0) << zone;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NEAR(static_cast<double>(now()), static_cast<double>(want), 2) << zone;
    EXPECT_NE(out.find("current sys time before set :\r\n"), std::string::npos);
    EXPECT_NE(out.find("set sys time ...\r\ncurrent sys time after set :\r\n2026/1/22\r\n0:0:"),
              std::string::npos)
        << out;
  }
  // The simulated clock keeps its offset in the root.
  long long offset = std::atoll(standby_test::root().read("/sim/clock").c_str());
  EXPECT_NEAR(static_cast<double>(time(nullptr) + offset), static_cast<double>(want), 2);

  ASSERT_EQ(clock_set(2028, 2, 29, 23, 59, 59), 0);  // a leap day
  EXPECT_NEAR(static_cast<double>(now()), 1835481599.0, 2);
}

TEST_F(ClockSet, InvalidDatesAreRefusedAndTheClockKept) {
  ASSERT_EQ(clock_set(2030, 6, 15, 12, 0, 0), 0);
  struct Case {
    int y, mo, d, h, mi, s;
  } bad[] = {{2030, 13, 1, 0, 0, 0}, {2030, 0, 1, 0, 0, 0},           {2030, 2, 29, 0, 0, 0},
             {2030, 4, 31, 0, 0, 0}, {2030, 1, 0, 0, 0, 0},           {2030, 1, 1, 24, 0, 0},
             {2030, 1, 1, 0, 60, 0}, {2030, 1, 1, 0, 0, 60},          {1969, 12, 31, 0, 0, 0},
             {0, 0, 0, 0, 0, 0},     {65535, 255, 255, 255, 255, 255}};
  for (const Case& c : bad) {
    time_t before = now();
    testing::internal::CaptureStderr();
    EXPECT_EQ(clock_set(c.y, c.mo, c.d, c.h, static_cast<uint8_t>(c.mi), static_cast<uint8_t>(c.s)),
              1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "can not set time \r\n");
    EXPECT_NEAR(static_cast<double>(now()), static_cast<double>(before), 1);
  }
}

}  // namespace
