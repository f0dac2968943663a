// The standby screens in the real daemon: the offline screen from start-up
// and command 52, missing fonts, command 51 and the first-start clock rule.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tests/harness/harness.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using harness::Image;
using hostlink::Packet;

const uint32_t kBlack = 0xFF000000;
const uint32_t kCycle[4] = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF};
// The background rectangle with the default offsets (x 16, y 84).
const int kRectX = 16, kRectY = 84, kRectW = 1048, kRectH = 2288;

// The rectangle's colour in the overlay buffer shown now; a snapshot takes
// about as long as a one-second frame in a sanitizer build.
int shown_cycle_index(const DeviceRoot& root) {
  const uint32_t px = harness::Overlay{root}.shown_pixel(kRectX + 5, kRectY + 5);
  for (int i = 0; i < 4; i++)
    if (kCycle[i] == px) return i;
  return -1;
}

// Device time by the simulated clock's offset, and a UTC date in seconds.
double device_now(const DeviceRoot& root) {
  return double(time(nullptr) + std::atoll(root.read("/sim/clock").c_str()));
}
double utc(int y, int mo, int d, int h, int mi, int s) {
  struct tm t = {};
  t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d;
  t.tm_hour = h, t.tm_min = mi, t.tm_sec = s;
  return double(timegm(&t));
}

TEST(OfflineScreen, TestModeCyclesColoursUnderItsTextsUntilCommand52) {
  DeviceRoot root;  // no app.cfg: factory test mode
  Daemon d(root);

  std::vector<int> seen;  // the background through five colour changes
  auto five_changes = [&] {
    int c = shown_cycle_index(root);
    if (c >= 0 && (seen.empty() || seen.back() != c)) seen.push_back(c);
    return seen.size() >= 5;
  };
  ASSERT_TRUE(harness::wait_until(five_changes, 9000)) << "colours seen: " << seen.size();
  Image img;
  for (size_t i = 1; i < seen.size(); i++) EXPECT_EQ(seen[i], (seen[i - 1] + 1) % 4) << i;
  ASSERT_TRUE(harness::snapshot(root, "overlay", &img));

  // Black only inside the texts' regions (column of the text and the rows
  // from its start on), the colour elsewhere in the rectangle, nothing
  // outside; and ink in every region.
  struct Region {
    const char* what;
    int x0, x1, y0, y1;
    int ink = 0;
  } regions[] = {{"WATER", 860, 995, 1100, 1800},       {"PUMP", 190, 325, 870, 1200},
                 {"speed", 190, 325, 1200, 1460},       {"RPM", 190, 325, 1460, 2000},
                 {"degree sign", 700, 950, 1150, 1700}, {"temperature", 380, 930, 1000, 2000}};
  uint32_t bg = img.argb(kRectX + 5, kRectY + 5);
  int stray = 0;
  for (int y = 0; y < img.height; y++)
    for (int x = 0; x < img.width; x++) {
      uint32_t p = img.argb(x, y);
      bool text = false;
      for (Region& r : regions)
        if (p == kBlack && x >= r.x0 && x < r.x1 && y >= r.y0 && y < r.y1) text = true, r.ink++;
      bool in_rect = x >= kRectX && x < kRectX + kRectW && y >= kRectY && y < kRectY + kRectH;
      stray += !text && p != (in_rect ? bg : 0u);
    }
  EXPECT_EQ(stray, 0);
  for (const Region& r : regions) EXPECT_GT(r.ink, 100) << r.what;

  // 52 asks the screen to stop: "stopping" (0), later "not running" (0xFF)
  // once both overlay buffers are transparent.
  Packet r;
  ASSERT_TRUE(d.command(52, {}, &r));
  EXPECT_EQ(r[8], 0xFF) << "no clock runs";
  EXPECT_EQ(r[9], 0x00);
  ASSERT_TRUE(d.stop_standby());
  for (const char* layer : {"overlay0", "overlay1"}) {
    ASSERT_TRUE(harness::snapshot(root, layer, &img));
    for (uint8_t b : img.rgba) ASSERT_EQ(b, 0) << layer;
  }
  EXPECT_TRUE(d.running());
}

TEST(OfflineScreen, MissingFontsLeaveTheBackgroundOnly) {
  DeviceRoot root;
  root.remove("/media/phei00u.ttf");
  root.remove("/media/AgencyGothicCTBold.ttf");
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("FT_New_Face error"));
  ASSERT_TRUE(harness::wait_until([&] { return shown_cycle_index(root) >= 0; }, 5000));
  Image img;
  ASSERT_TRUE(harness::snapshot(root, "overlay", &img));
  uint32_t bg = img.argb(kRectX + 5, kRectY + 5);
  int other = 0;
  for (int y = kRectY; y < kRectY + kRectH; y++)
    for (int x = kRectX; x < kRectX + kRectW; x++) other += img.argb(x, y) != bg;
  EXPECT_EQ(other, 0);
  EXPECT_TRUE(d.stop_standby());
  EXPECT_TRUE(d.running());
}

TEST(ClockCommand, SetsTheClockAndTheClockFlag) {
  DeviceRoot root;
  Daemon d(root);
  Packet r;
  // Year (high, low), month, day, hour, minute, second, clock flag.
  ASSERT_TRUE(d.command(51, {0x07, 0xEE, 6, 15, 12, 34, 56, 1}, &r));
  EXPECT_NEAR(device_now(root), utc(2030, 6, 15, 12, 34, 56), 3);
  std::string cfg = root.read("/usr/data/app.cfg");
  ASSERT_EQ(cfg.size(), 136u);
  EXPECT_EQ(cfg[5], 1);
  // Past 2038, where 32-bit time stamps end.
  ASSERT_TRUE(d.command(51, {0x07, 0xF8, 2, 29, 1, 2, 3, 1}, &r));
  EXPECT_NEAR(device_now(root), utc(2040, 2, 29, 1, 2, 3), 3);
  ASSERT_TRUE(d.command(51, {0x07, 0xEE, 6, 15, 12, 34, 56, 1}, &r));

  // An impossible date is refused; the flag is still taken and saved.
  ASSERT_TRUE(d.command(51, {0x07, 0xEF, 13, 40, 25, 61, 61, 0}, &r));
  EXPECT_EQ(r[1], 200);
  EXPECT_TRUE(d.wait_log("can not set time \r\n", 2000));
  EXPECT_NEAR(device_now(root), utc(2030, 6, 15, 12, 34, 56), 4);
  EXPECT_EQ(root.read("/usr/data/app.cfg")[5], 0);
}

TEST(ClockCommand, FirstStartSetsTheTwentySecondOfJanuary2026) {
  DeviceRoot root;
  // The device's clock reads 1970-01-01 00:01:40.
  root.write("/sim/clock", std::to_string(100 - static_cast<long long>(time(nullptr))) + "\n");
  Daemon d(root);
  ASSERT_TRUE(d.wait_log("current sys time after set :\r\n2026/1/22\r\n0:0:")) << d.log();
  EXPECT_NE(d.log().find("current sys time before set :\r\n1970/1/1\r\n"), std::string::npos);
  EXPECT_NEAR(device_now(root), utc(2026, 1, 22, 0, 0, 0), 3);

  // A clock that was set is left alone at the next start, also past 2038.
  for (double when : {0.0, utc(2040, 3, 1, 0, 0, 0)}) {
    DeviceRoot later;
    if (when > 0)
      later.write("/sim/clock", std::to_string(static_cast<long long>(when) - time(nullptr)));
    Daemon d2(later);
    ASSERT_TRUE(d2.wait_log("time stamp"));
    EXPECT_EQ(d2.count_log("first start, set time"), 0) << when;
  }
}

}  // namespace
