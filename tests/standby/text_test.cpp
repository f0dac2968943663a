// UTF-8 decoding, rotated glyph placement and the per-character loop.
#include "standby/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "standby/clock.h"
#include "tests/standby/standby_root.h"

namespace {

using standby_test::GuardedCanvas;

// The text as a heap block of exactly its bytes plus the NUL, so that the
// address sanitizer sees any read past the end.
std::unique_ptr<char[]> exact(const std::string& s) {
  std::unique_ptr<char[]> p(new char[s.size() + 1]);
  memcpy(p.get(), s.c_str(), s.size() + 1);
  return p;
}

uint32_t decode(const std::string& s, uint32_t* len) {
  auto p = exact(s);
  return utf8_to_unicode(p.get(), len);
}

TEST(Utf8, DecodesOneToFourByteCharacters) {
  uint32_t len = 99;
  EXPECT_EQ(decode("A", &len), 0x41u);
  EXPECT_EQ(len, 1u);
  EXPECT_EQ(decode("\xC2\xB0", &len), 0xB0u);
  EXPECT_EQ(len, 2u);
  EXPECT_EQ(decode("\xE2\x82\xAC", &len), 0x20ACu);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(decode("\xF0\x9F\x98\x80", &len), 0x1F600u);
  EXPECT_EQ(len, 4u);
  // Only the first character counts.
  EXPECT_EQ(decode("\xC2\xB0"
                   "C",
                   &len),
            0xB0u);
  EXPECT_EQ(len, 2u);
}

TEST(Utf8, BytesThatCannotBeginACharacterGiveLengthZero) {
  for (int b : {0x80, 0xA0, 0xBF, 0xF8, 0xFC, 0xFF}) {
    uint32_t len = 99;
    std::string s(1, static_cast<char>(b));
    EXPECT_EQ(decode(s + "x", &len), 0u) << b;
    EXPECT_EQ(len, 0u) << b;
  }
}

TEST(Utf8, CharacterCutShortByTheTextEndIsNotReadPastIt) {
  for (const char* s : {"\xC2", "\xE2", "\xE2\x82", "\xF0", "\xF0\x9F", "\xF0\x9F\x98"}) {
    uint32_t len = 99;
    EXPECT_EQ(decode(s, &len), 0u);
    EXPECT_EQ(len, 0u);
  }
}

// A 3-row, 4-column glyph: row 0 is the top row.
//   row 0: X . . X
//   row 1: . X . .
//   row 2: X X X .
// The fifth byte of each row is padding (pitch 5).
// clang-format off
const uint8_t kGlyph[3 * 5] = {
    255, 0,   0, 1, 77,
    0,   200, 0, 0, 77,
    9,   9,   9, 0, 77,
};
// clang-format on
const uint32_t kInk = 0xFF123456;
const uint32_t kPaper = 0x00ABCDEF;

GlyphBitmap test_glyph() {
  GlyphBitmap g;
  g.rows = 3;
  g.width = 4;
  g.pitch = 5;
  g.buffer = kGlyph;
  return g;
}

bool covered(int r, int c) { return kGlyph[r * 5 + c] != 0; }

TEST(GlyphPlacement, BottomRowOnColumnXLeftEdgeOnRowY0UncoveredUntouched) {
  GuardedCanvas cv(20, 30, kPaper);
  const int x = 5, y0 = 11;
  place_glyph_r90(cv.canvas(), test_glyph(), x, y0, kInk);
  for (int y = 0; y < 30; y++) {
    for (int col = 0; col < 20; col++) {
      int r = 2 - (col - x);  // bitmap row standing on this column
      int c = y - y0;
      bool ink = r >= 0 && r < 3 && c >= 0 && c < 4 && covered(r, c);
      EXPECT_EQ(cv.at(col, y), ink ? kInk : kPaper) << "column " << col << " row " << y;
    }
  }
  // The bottom row (X X X .) stands on column x, from row y0 on.
  EXPECT_EQ(cv.at(x, y0), kInk);
  EXPECT_EQ(cv.at(x, y0 + 3), kPaper);
  // The top row (X . . X) is on column x + 2.
  EXPECT_EQ(cv.at(x + 2, y0), kInk);
  EXPECT_EQ(cv.at(x + 2, y0 + 3), kInk);
  EXPECT_TRUE(cv.margin_intact());
}

TEST(GlyphPlacement, GlyphsReachingBeyondTheCanvasAreClipped) {
  struct Case {
    int x, y0;
  } cases[] = {{-1, -2},
               {18, 27},
               {-3, 0},
               {20, 0},
               {0, 30},
               {0, -4},
               {-2000000000, 5},
               {5, 2147483600},
               {2147483640, 2147483640},
               {-2147483647, -2147483647}};
  for (const Case& k : cases) {
    GuardedCanvas cv(20, 30, kPaper);
    place_glyph_r90(cv.canvas(), test_glyph(), k.x, k.y0, kInk);
    EXPECT_TRUE(cv.margin_intact()) << k.x << "," << k.y0;
  }
  // The part that lies inside is drawn: bitmap row 2 on column 0 at x = -1.
  GuardedCanvas cv(20, 30, kPaper);
  place_glyph_r90(cv.canvas(), test_glyph(), -1, 28, kInk);
  // Bitmap row 2 would stand on column -1; row 1 stands on column 0, row 0
  // on column 1; bitmap columns 0 and 1 land on rows 28 and 29.
  EXPECT_EQ(cv.at(0, 28), kPaper);
  EXPECT_EQ(cv.at(0, 29), kInk);
  EXPECT_EQ(cv.at(1, 28), kInk);
  EXPECT_EQ(cv.at(1, 29), kPaper);
  EXPECT_TRUE(cv.margin_intact());
}

TEST(GlyphPlacement, MonoNegativePitchAndShortRows) {
  // The same picture as 1-bit rows: 1001, 0100, 1110.
  const uint8_t mono[3] = {0x90, 0x40, 0xE0};
  GlyphBitmap m;
  m.rows = 3;
  m.width = 4;
  m.pitch = 1;
  m.buffer = mono;
  m.mono = true;
  GuardedCanvas a(20, 30, kPaper), b(20, 30, kPaper);
  place_glyph_r90(a.canvas(), test_glyph(), 5, 11, kInk);
  place_glyph_r90(b.canvas(), m, 5, 11, kInk);
  EXPECT_TRUE(a.same_pixels(b));

  // Bottom-up rows (negative pitch) give the same picture.
  const uint8_t up[3 * 5] = {9, 9, 9, 0, 0, 0, 200, 0, 0, 0, 255, 0, 0, 1, 0};
  GlyphBitmap u = test_glyph();
  u.buffer = up;
  u.pitch = -5;
  GuardedCanvas c(20, 30, kPaper);
  place_glyph_r90(c.canvas(), u, 5, 11, kInk);
  EXPECT_TRUE(a.same_pixels(c));

  // Rows shorter than the width would be read past their end: not drawn.
  GlyphBitmap s = test_glyph();
  s.pitch = 3;
  GuardedCanvas d(20, 30, kPaper), blank(20, 30, kPaper);
  place_glyph_r90(d.canvas(), s, 5, 11, kInk);
  EXPECT_TRUE(d.same_pixels(blank));
}

// The per-character loop with the clock's real face.
class TextLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    standby_test::root();
    lock_ = std::unique_lock<std::mutex>(clock_font_mutex);
    font_set_size(clock_face, 60);
  }
  void draw(GuardedCanvas* cv, const std::string& text, int8_t spacing = 25) {
    auto p = exact(text);
    show_string_r90_on(cv->canvas(), clock_face, p.get(), 10, 20, 50, spacing, kInk);
  }
  std::unique_lock<std::mutex> lock_;
};

TEST_F(TextLoop, BytesThatAreNoCharacterAreSkipped) {
  GuardedCanvas want(200, 400);
  draw(&want, "12:3");
  int32_t first, last;
  ASSERT_TRUE(want.ink_rows(kInk, 0, 200, &first, &last));
  for (const char* bad : {"1\xFF"
                          "2:3",
                          "\x80"
                          "12:\xBF"
                          "3",
                          "12:3\xE2\x82", "12:3\xF0"}) {
    GuardedCanvas cv(200, 400);
    draw(&cv, bad);
    EXPECT_TRUE(cv.same_pixels(want)) << "text with " << strlen(bad) << " bytes";
  }
  // A lead byte followed by the end: nothing at all is drawn.
  GuardedCanvas cv(200, 400);
  draw(&cv, "\xC0");
  EXPECT_TRUE(cv.same_pixels(GuardedCanvas(200, 400)));
}

TEST_F(TextLoop, MissingFaceDrawsNothingAndTextsNeverLeaveTheCanvas) {
  GuardedCanvas cv(200, 400), blank(200, 400);
  testing::internal::CaptureStdout();
  show_string_r90_on(cv.canvas(), nullptr, "12:34", 10, 20, 50, 25, kInk);
  show_warn_line_on(cv.canvas(), nullptr, "warning");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(cv.same_pixels(blank));
  EXPECT_NE(out.find("Error loading character 0x31\n"), std::string::npos);

  // A long warning line on a small canvas runs off its end: clipped.
  GuardedCanvas small(300, 1500);
  show_warn_line_on(small.canvas(), clock_face, "a warning far longer than the canvas is");
  EXPECT_TRUE(small.margin_intact());
  int32_t first, last;
  ASSERT_TRUE(small.ink_rows(0xFF909090, 0, 300, &first, &last));
  EXPECT_GE(first, 1400);
}

TEST_F(TextLoop, SlashIsShiftedByItsWidthExceptWithTheDateSpacing) {
  date_spacing = 20;
  // Date spacing: nothing is shifted, each glyph takes its width plus 20.
  GuardedCanvas d(200, 400);
  draw(&d, "1/3", 20);
  auto dr = d.ink_runs(kInk, 0, 200, 0, 400);
  ASSERT_EQ(dr.size(), 3u);
  EXPECT_NEAR(dr[0].first, 20, 1);
  EXPECT_NEAR(dr[1].first - dr[0].second - 1, 20, 2);
  EXPECT_NEAR(dr[2].first - dr[1].second - 1, 20, 2);

  GuardedCanvas e(200, 400);
  draw(&e, "/", 3);
  auto er = e.ink_runs(kInk, 0, 200, 0, 400);
  ASSERT_EQ(er.size(), 1u);
  EXPECT_NEAR(er[0].first, 20 + (er[0].second - er[0].first + 1), 1);
}

}  // namespace
