// The text rules on plain canvases: UTF-8 decoding, rotated glyph placement
// and clipping, and the layout rules of the clock and offline screens with
// the device's real fonts.
#include "standby/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/system.h"
#include "standby/clock.h"
#include "standby/offline.h"
#include "tests/harness/harness.h"

namespace {

const uint32_t kInk = 0xFF123456, kPaper = 0x00ABCDEF;

// An ARGB canvas inside a guard margin, so that stores outside it show.
struct Guarded {
  static constexpr uint32_t kGuard = 0xDEADBEEF;
  static constexpr int kM = 8;
  int w, h, stride;
  std::vector<uint32_t> px;
  Canvas cv;
  Guarded(int width, int height, uint32_t fill = 0)
      : w(width),
        h(height),
        stride(width + 2 * kM),
        px(size_t(stride) * (height + 2 * kM), kGuard) {
    for (int y = 0; y < h; y++) std::fill_n(&px[idx(0, y)], w, fill);
    cv.base = reinterpret_cast<uint8_t*>(&px[idx(0, 0)]);
    cv.width = w;
    cv.height = h;
    cv.pitch = stride * 4;
  }
  size_t idx(int x, int y) const { return size_t(y + kM) * stride + x + kM; }
  uint32_t at(int x, int y) const { return px[idx(x, y)]; }
  bool margin_intact() const {
    for (int y = -kM; y < h + kM; y++)
      for (int x = -kM; x < w + kM; x++)
        if ((x < 0 || x >= w || y < 0 || y >= h) && at(x, y) != kGuard) return false;
    return true;
  }
  // Runs of consecutive rows with `colour` in columns [x0, x1): {first, last}.
  std::vector<std::pair<int, int>> runs(uint32_t colour, int x0, int x1) const {
    std::vector<std::pair<int, int>> out;
    for (int y = 0; y < h; y++) {
      bool ink = false;
      for (int x = x0; x < x1 && !ink; x++) ink = at(x, y) == colour;
      if (ink && (out.empty() || out.back().second != y - 1)) out.push_back({y, y});
      if (ink) out.back().second = y;
    }
    return out;
  }
};

TEST(Utf8, DecodesOneCharacterAndRefusesBadOrCutBytes) {
  struct Case {
    const char* text;
    uint32_t code, len;
  };
  // clang-format off
  const Case cases[] = {
      {"A", 0x41, 1}, {"\xC2\xB0x", 0xB0, 2}, {"\xE2\x82\xAC", 0x20AC, 3},
      {"\xF0\x9F\x98\x80", 0x1F600, 4},
      // No lead byte, then characters cut short by the end of the text.
      {"\x80x", 0, 0}, {"\xBFx", 0, 0}, {"\xF8x", 0, 0}, {"\xFFx", 0, 0},
      {"\xC2", 0, 0}, {"\xE2\x82", 0, 0}, {"\xF0\x9F\x98", 0, 0}};
  // clang-format on
  for (const Case& c : cases) {
    // A heap block of exactly the text: the address sanitizer sees a read past it.
    size_t n = strlen(c.text) + 1;
    std::unique_ptr<char[]> text(new char[n]);
    memcpy(text.get(), c.text, n);
    uint32_t len = 99;
    EXPECT_EQ(utf8_to_unicode(text.get(), &len), c.code) << n - 1 << " bytes from " << +c.text[0];
    EXPECT_EQ(len, c.len) << n - 1 << " bytes from " << +c.text[0];
  }
}

// A 3-row, 4-column glyph (row 0 on top), pitch 5:
//   X . . X
//   . X . .
//   X X X .
const uint8_t kGlyph[15] = {255, 0, 0, 1, 77, 0, 200, 0, 0, 77, 9, 9, 9, 0, 77};

GlyphBitmap glyph() {
  GlyphBitmap g;
  g.rows = 3;
  g.width = 4;
  g.pitch = 5;
  g.buffer = kGlyph;
  return g;
}

// Bitmap row r lands on column x + 2 - r, bitmap column c on row y0 + c;
// what falls outside the canvas is clipped, at any offset, and the pixels
// the glyph does not cover are left alone.
TEST(GlyphPlacement, BottomRowOnColumnXLeftEdgeOnRowY0ClippedAtTheEdges) {
  // clang-format off
  const int cases[][2] = {{5, 11}, {-1, 28}, {-1, -2}, {18, 27}, {-3, 0}, {20, 0}, {0, 30},
                          {0, -4}, {-2000000000, 5}, {5, 2147483600}, {2147483640, 2147483640},
                          {-2147483647, -2147483647}};
  // clang-format on
  for (auto& k : cases) {
    Guarded g(20, 30, kPaper);
    place_glyph_r90(g.cv, glyph(), k[0], k[1], kInk);
    EXPECT_TRUE(g.margin_intact()) << k[0] << "," << k[1];
    int wrong = 0;
    for (int y = 0; y < 30; y++)
      for (int col = 0; col < 20; col++) {
        const int64_t r = 2 - (int64_t(col) - k[0]), c = int64_t(y) - k[1];
        const bool ink = r >= 0 && r < 3 && c >= 0 && c < 4 && kGlyph[r * 5 + c];
        wrong += g.at(col, y) != (ink ? kInk : kPaper);
      }
    EXPECT_EQ(wrong, 0) << k[0] << "," << k[1];
  }
}

// The device's fonts, set up as start-up does.
class Screens : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new harness::DeviceRoot(true);
    setenv("PANELD_ROOT", root_->path().c_str(), 1);
    platform_init();
    clock_init();
    clock_setSize(230, 110);
    offline_init();
    offline_setSize(550, 135);
  }
  static void TearDownTestSuite() { delete root_; }
  static inline harness::DeviceRoot* root_ = nullptr;
};

TEST_F(Screens, ClockDigitsKeepTheirRowsWhateverTheirWidths) {
  const ClockMetrics m = clock_metrics();
  auto time_runs = [&m](int hour, int minute) {
    Guarded g(1080, 2400);
    struct tm t = {};
    t.tm_year = 126, t.tm_mday = 22, t.tm_hour = hour, t.tm_min = minute;
    {
      std::lock_guard<std::mutex> lock(clock_font_mutex);
      clock_paint(g.cv, t);
    }
    auto runs = g.runs(0xFFB8B8B8, 495, 495 + m.time_max_rows);
    while (!runs.empty() && runs.back().first >= 1700) runs.pop_back();  // the date line
    return runs;
  };
  auto eleven = time_runs(11, 11), eight = time_runs(8, 58);
  ASSERT_EQ(eleven.size(), 5u);
  ASSERT_EQ(eight.size(), 5u);
  // Digits stand at the far end of their cells, the colon right after its cell.
  for (size_t i = 0; i < 5; i++) EXPECT_NEAR(eleven[i].second, eight[i].second, 1) << i;
  EXPECT_NEAR(eleven[0].second, 280 + m.time_max_width - 1, 1);
  EXPECT_NEAR(eleven[2].first, 280 + 2 * (m.time_max_width + 25), 1);
}

TEST_F(Screens, TemperatureBelowTenStartsFurtherOn) {
  auto first_row = [](int temp) {
    Guarded g(1080, 2400);
    offline_paint_locked(g.cv, temp, 0);
    auto runs = g.runs(0xFF000000, 380, 700);  // left of the degree sign: the temperature alone
    return runs.empty() ? -1 : runs.front().first;
  };
  const int cell = offline_metrics().big_max_width;
  const int seven = first_row(7), thirty_five = first_row(35);
  EXPECT_GE(seven, 1120);
  EXPECT_LT(seven, 1120 + cell);
  EXPECT_GE(thirty_five, 1000);
  EXPECT_LT(thirty_five, 1120);
}

}  // namespace
