// The standby screens in the real daemon: the offline screen from start-up,
// commands 51 and 52, the first-start clock rule, missing fonts, panelctl.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness/harness.h"
#include "tests/standby/overlay_image.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using harness::Image;
using hostlink::Packet;
using standby_test::argb;
using standby_test::snapshot_until;
using standby_test::wait_for;

const uint32_t kBlack = 0xFF000000;
const uint32_t kCycle[4] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF};
// The background rectangle with the default offsets (x 16, y 84).
const int kRectX = 16, kRectY = 84, kRectW = 1048, kRectH = 2288;

int cycle_index(uint32_t c) {
  for (int i = 0; i < 4; i++)
    if (kCycle[i] == c) return i;
  return -1;
}

// Where the offline screen's texts may ink: labels and speed on columns
// 190 and 860 (135 px), the degree sign on 700 (250 px), the temperature on
// 380 (550 px); rows from their starting rows on.
bool in_text_region(int x, int y) {
  return (x >= 190 && x < 325 && y >= 870 && y < 2000) ||
         (x >= 860 && x < 995 && y >= 1100 && y < 1800) ||
         (x >= 700 && x < 950 && y >= 1150 && y < 1700) ||
         (x >= 380 && x < 930 && y >= 1000 && y < 2000);
}

long long sim_offset(const DeviceRoot& root) { return std::atoll(root.read("/sim/clock").c_str()); }

time_t utc(int y, int mo, int d, int h, int mi, int s) {
  struct tm t = {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return timegm(&t);
}

std::vector<uint8_t> clock_params(int y, int mo, int d, int h, int mi, int s, int flag) {
  return {uint8_t(y >> 8), uint8_t(y),  uint8_t(mo), uint8_t(d),
          uint8_t(h),      uint8_t(mi), uint8_t(s),  uint8_t(flag)};
}

// Command 52 until the offline screen reports 0xFF; the last reply in *r.
bool stop_standby(Daemon& d, Packet* r) {
  return wait_for(
      [&] { return d.command(52, {}, r) && (*r)[1] == 200 && (*r)[8] == 0xFF && (*r)[9] == 0xFF; },
      4000);
}

TEST(OfflineScreen, TestModeCyclesColoursUnderItsTextsUntilCommand52) {
  DeviceRoot root;  // no app.cfg: factory test mode
  Daemon d(root);

  // Follow the background for five colour changes.
  std::vector<int> seen;
  Image img;
  ASSERT_TRUE(snapshot_until(
      root, "overlay", &img,
      [&](const Image& i) {
        int c = cycle_index(argb(i, kRectX + 5, kRectY + 5));
        if (c >= 0 && (seen.empty() || seen.back() != c)) seen.push_back(c);
        return seen.size() >= 5;
      },
      9000))
      << "colours seen: " << seen.size();
  for (size_t i = 1; i < seen.size(); i++) EXPECT_EQ(seen[i], (seen[i - 1] + 1) % 4) << i;

  // Black text only where the texts stand, the background colour elsewhere
  // in the rectangle, nothing outside it.
  uint32_t bg = argb(img, kRectX + 5, kRectY + 5);
  int stray = 0, text = 0;
  for (int y = 0; y < img.height; y++) {
    for (int x = 0; x < img.width; x++) {
      uint32_t p = argb(img, x, y);
      bool in_rect = x >= kRectX && x < kRectX + kRectW && y >= kRectY && y < kRectY + kRectH;
      if (p == kBlack && in_text_region(x, y)) {
        text++;
      } else if (p != (in_rect ? bg : 0u)) {
        stray++;
      }
    }
  }
  EXPECT_EQ(stray, 0);
  // Each item has ink: WATER, PUMP, RPM, speed 0, degree sign, temperature 0.
  auto has_ink = [&](int x0, int x1, int y0, int y1) {
    for (int y = y0; y < y1; y++)
      for (int x = x0; x < x1; x++)
        if (argb(img, x, y) == kBlack) return true;
    return false;
  };
  EXPECT_TRUE(has_ink(860, 995, 1100, 1300));  // WATER
  EXPECT_TRUE(has_ink(190, 325, 870, 1000));   // PUMP
  EXPECT_TRUE(has_ink(190, 325, 1460, 1600));  // RPM
  EXPECT_TRUE(has_ink(700, 950, 1150, 1700));  // degree sign
  EXPECT_TRUE(has_ink(380, 700, 1120, 1700));  // temperature 0
  EXPECT_GT(text, 1000);

  // 52 asks the screen to stop: it reports 0 until the thread has cleaned up.
  Packet r;
  ASSERT_TRUE(d.command(52, {}, &r));
  EXPECT_EQ(r[1], 200);
  EXPECT_EQ(r[8], 0xFF);  // no clock
  EXPECT_EQ(r[9], 0x00);
  ASSERT_TRUE(stop_standby(d, &r));
  Image a, b;
  ASSERT_TRUE(harness::snapshot(root, "overlay0", &a));
  ASSERT_TRUE(harness::snapshot(root, "overlay1", &b));
  EXPECT_TRUE(standby_test::all_transparent(a));
  EXPECT_TRUE(standby_test::all_transparent(b));
  EXPECT_TRUE(d.running());
}

TEST(OfflineScreen, MissingFontsLeaveTheBackgroundOnly) {
  DeviceRoot root;
  root.remove("/media/phei00u.ttf");
  root.remove("/media/AgencyGothicCTBold.ttf");
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("FT_New_Face error"));
  Image img;
  ASSERT_TRUE(snapshot_until(root, "overlay", &img, [&](const Image& i) {
    return cycle_index(argb(i, kRectX + 5, kRectY + 5)) >= 0;
  }));
  uint32_t bg = argb(img, kRectX + 5, kRectY + 5);
  int other = 0;
  for (int y = kRectY; y < kRectY + kRectH; y++)
    for (int x = kRectX; x < kRectX + kRectW; x++) other += argb(img, x, y) != bg;
  EXPECT_EQ(other, 0);
  Packet r;
  ASSERT_TRUE(stop_standby(d, &r));
  EXPECT_TRUE(d.running());
}

TEST(ClockCommand, SetsTheDaemonsClockAndTheClockFlag) {
  DeviceRoot root;
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("init_tty done!", 10000));  // the line is flushed when opened
  Packet r;
  ASSERT_TRUE(d.command(51, clock_params(2030, 6, 15, 12, 34, 56, 1), &r));
  EXPECT_EQ(r[0], 51);
  EXPECT_EQ(r[1], 200);
  EXPECT_NEAR(double(time(nullptr) + sim_offset(root)), double(utc(2030, 6, 15, 12, 34, 56)), 3);
  std::string cfg = root.read("/usr/data/app.cfg");
  ASSERT_EQ(cfg.size(), 136u);
  EXPECT_EQ(cfg[5], 1);

  // A flag above 1 leaves clock_enable alone; the time is still set.
  ASSERT_TRUE(d.command(51, clock_params(2031, 1, 2, 3, 4, 5, 2), &r));
  EXPECT_NEAR(double(time(nullptr) + sim_offset(root)), double(utc(2031, 1, 2, 3, 4, 5)), 3);
  EXPECT_EQ(root.read("/usr/data/app.cfg")[5], 1);

  // An impossible date is refused; the flag is still taken and saved.
  size_t from = d.log().size();
  ASSERT_TRUE(d.command(51, clock_params(2031, 13, 40, 25, 61, 61, 0), &r));
  EXPECT_EQ(r[1], 200);
  EXPECT_TRUE(d.wait_log("can not set time \r\n", 2000, from));
  EXPECT_NEAR(double(time(nullptr) + sim_offset(root)), double(utc(2031, 1, 2, 3, 4, 5)), 3);
  EXPECT_EQ(root.read("/usr/data/app.cfg")[5], 0);
}

TEST(ClockCommand, FirstStartSetsTheTwentySecondOfJanuary2026) {
  DeviceRoot root;
  // The device's clock reads 1970-01-01 00:01:40.
  root.write("/sim/clock", std::to_string(100 - static_cast<long long>(time(nullptr))) + "\n");
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("current sys time after set :\r\n"));
  std::string log = d.log();
  EXPECT_NE(log.find("first start, set time"), std::string::npos);
  EXPECT_NE(log.find("current sys time before set :\r\n1970/1/1\r\n"), std::string::npos);
  EXPECT_NE(log.find("current sys time after set :\r\n2026/1/22\r\n0:0:"), std::string::npos);
  EXPECT_NEAR(double(time(nullptr) + sim_offset(root)), double(utc(2026, 1, 22, 0, 0, 0)), 3);

  // A clock that was set is left alone at the next start.
  DeviceRoot later;
  Daemon d2(later);
  ASSERT_TRUE(d2.wait_log("time stamp"));
  EXPECT_EQ(d2.count_log("first start, set time"), 0);
}

using harness::SimRun;

TEST(Panelctl, ClockSetAndStandbyStop) {
  DeviceRoot root;
  SimRun sim(root);
  int st;
  std::string out = sim.ctl("clock-set 2031-03-04 05:06:07 --flag 1", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_EQ(out, "clock set to 2031-03-04 05:06:07, clock flag 1\n");
  EXPECT_NEAR(double(time(nullptr) + sim_offset(root)), double(utc(2031, 3, 4, 5, 6, 7)), 3);
  EXPECT_EQ(root.read("/usr/data/app.cfg")[5], 1);

  out = sim.ctl("--json clock-set --now", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_NE(out.find("\"clock_flag\":null"), std::string::npos) << out;
  EXPECT_NEAR(double(sim_offset(root)), 0, 3);
  EXPECT_EQ(root.read("/usr/data/app.cfg")[5], 1);

  out = sim.ctl("clock-set 2031-02-30", &st);
  EXPECT_EQ(st, 2) << out;
  out = sim.ctl("clock-set --flag 3", &st);
  EXPECT_EQ(st, 2) << out;

  // The offline screen runs from start-up: the first stop reports
  // "stopping", later ones "not running".
  out = sim.ctl("--json standby-stop", &st);
  EXPECT_EQ(st, 0) << out;
  EXPECT_TRUE(out == "{\"clock_state\":-1,\"offline_state\":0}\n" ||
              out == "{\"clock_state\":-1,\"offline_state\":-1}\n")
      << out;
  EXPECT_TRUE(wait_for([&] {
    return sim.ctl("standby-stop", &st) == "clock: not running, offline: not running\n";
  }));
}

}  // namespace
