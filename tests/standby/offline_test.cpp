// The offline screen's layout rules on a plain canvas.
#include "standby/offline.h"

#include <gtest/gtest.h>

#include "tests/standby/standby_root.h"

namespace {

using standby_test::GuardedCanvas;

const uint32_t kBlack = 0xFF000000;

// Rows holding the temperature's ink: the columns it stands on below the
// degree sign (which stands on column 700).
std::vector<std::pair<int32_t, int32_t>> temperature_runs(int32_t temp) {
  GuardedCanvas cv(1080, 2400);
  offline_paint_locked(cv.canvas(), temp, 0);
  EXPECT_TRUE(cv.margin_intact());
  return cv.ink_runs(kBlack, 380, 700, 0, 2400);
}

TEST(OfflinePaint, TemperatureBelowTenStartsFurtherOn) {
  standby_test::root();
  int32_t cell = offline_metrics().big_max_width;
  ASSERT_GT(cell, 0);

  auto one = temperature_runs(7);
  ASSERT_FALSE(one.empty());
  EXPECT_GE(one.front().first, 1120);
  EXPECT_LE(one.back().second, 1120 + cell - 1);

  auto two = temperature_runs(35);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_GE(two[0].first, 1000);
  EXPECT_LE(two[0].second, 1000 + cell - 1);
  EXPECT_GE(two[1].first, 1000 + cell + 4);
  EXPECT_NEAR(two[1].second, 1000 + 2 * cell + 4 - 1, 1);  // "5" at its cell's far end
  EXPECT_LT(two[0].first, one.front().first);

  auto three = temperature_runs(100);
  ASSERT_EQ(three.size(), 3u);
  EXPECT_GE(three[0].first, 1000);
  EXPECT_NEAR(three[2].second, 1000 + 3 * (cell + 4) - 4 - 1, 1);
}

TEST(OfflinePaint, SpeedDigitsStartInTheirCellsFromRow1200) {
  standby_test::root();
  GuardedCanvas slow(1080, 2400), fast(1080, 2400);
  offline_paint_locked(slow.canvas(), 25, 0);
  offline_paint_locked(fast.canvas(), 25, 65535);
  // Where the two speeds differ only their digits are ("PUMP" reaches into
  // the same columns further back).
  int32_t first_diff = 2400;
  for (int32_t y = 0; y < 2400 && first_diff == 2400; y++)
    for (int32_t x = 0; x < 1080; x++)
      if (slow.at(x, y) != fast.at(x, y)) first_diff = y;
  EXPECT_GE(first_diff, 1200);
  EXPECT_LT(first_diff, 1200 + offline_metrics().small_max_width);
}

}  // namespace
