// The PNG pixel writer on plain memory: every PNG kind to the right ARGB
// pixels at the right place, clipping, and broken data.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/png_overlay.h"
#include "tests/png/png_maker.h"

namespace {

using pngtest::Bgra;
using pngtest::Kind;
using pngtest::Picture;

constexpr uint8_t kFill = 0xA5;

// A canvas inside a larger block: guard rows above and below, and spare
// bytes at the end of every row (pitch wider than the visible width).
struct GuardedCanvas {
  static constexpr int kGuardRows = 3;
  std::vector<uint8_t> mem;
  PngCanvas canvas{};
  GuardedCanvas(int width, int height, int spare_px = 5) {
    const uint32_t pitch = uint32_t(width + spare_px) * 4;
    mem.assign(size_t(height + 2 * kGuardRows) * pitch, kFill);
    canvas = {mem.data() + size_t(kGuardRows) * pitch, width, height, pitch};
  }
  Bgra at(int x, int y) const {
    const uint8_t* p = canvas.base + size_t(y) * canvas.pitch + size_t(x) * 4;
    return {p[0], p[1], p[2], p[3]};
  }
  // True when every byte outside the visible width x height is untouched.
  bool guards_intact() const {
    const uint8_t* start = canvas.base;
    const uint8_t* end = canvas.base + size_t(canvas.height) * canvas.pitch;
    for (const uint8_t* p = mem.data(); p < mem.data() + mem.size(); p++) {
      const bool inside =
          p >= start && p < end && size_t(p - start) % canvas.pitch < size_t(canvas.width) * 4;
      if (!inside && *p != kFill) return false;
    }
    return true;
  }
};

const Bgra kUntouched{kFill, kFill, kFill, kFill};

// The CRC of PNG chunks (ISO 3309).
uint32_t crc32_of(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; i++) {
    c ^= p[i];
    for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

// Every pixel of the canvas is the picture's where it covers, untouched
// elsewhere.
void expect_drawn(const GuardedCanvas& g, const Picture& pic, int x0, int y0,
                  const std::string& what) {
  int bad = 0;
  for (int y = 0; y < g.canvas.height && bad < 5; y++) {
    for (int x = 0; x < g.canvas.width && bad < 5; x++) {
      const int px = x - x0, py = y - y0;
      const bool covered = px >= 0 && py >= 0 && px < pic.width && py < pic.height;
      const Bgra want = covered ? pic.at(px, py) : kUntouched;
      const Bgra got = g.at(x, y);
      if (!(got == want)) {
        ADD_FAILURE() << what << " at canvas " << x << "," << y << ": got "
                      << pngtest::to_string(got) << " want " << pngtest::to_string(want);
        bad++;
      }
    }
  }
  EXPECT_TRUE(g.guards_intact()) << what;
}

class EveryKind : public ::testing::TestWithParam<Kind> {};

// Sizes chosen so that interlaced pictures have empty and partial passes.
TEST_P(EveryKind, DecodesToTheSamePixelsAtThePosition) {
  const Kind& k = GetParam();
  for (auto [w, h] : {std::pair{1, 1}, {3, 5}, {13, 11}, {37, 9}}) {
    const Picture pic = pngtest::make_picture(k, w, h);
    ASSERT_FALSE(pic.png.empty()) << k.name;
    GuardedCanvas g(48, 24);
    const std::string what =
        std::string(k.name) + " " + std::to_string(w) + "x" + std::to_string(h);
    ASSERT_EQ(png_draw_canvas(pic.png.data(), pic.png.size(), 2, 3, g.canvas, false), 0) << what;
    expect_drawn(g, pic, 2, 3, what);
  }
}

INSTANTIATE_TEST_SUITE_P(Png, EveryKind, ::testing::ValuesIn(pngtest::all_kinds()),
                         [](const ::testing::TestParamInfo<Kind>& i) { return i.param.name; });

// An independent decoder agrees: ffmpeg's PNG decoder to RGBA.
TEST(PixelWriter, AgreesWithAnIndependentDecoder) {
  if (system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
  char dir[] = "/tmp/pngkindsXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  for (const Kind& k : pngtest::all_kinds()) {
    // ffmpeg drops the transparent colour of grey pictures below 8 bits;
    // the known samples above check those.
    if (k.color_type == PNG_COLOR_TYPE_GRAY && k.depth < 8 && k.trns) continue;
    const Picture pic = pngtest::make_picture(k, 13, 11);
    const std::string in = std::string(dir) + "/" + k.name + ".png";
    const std::string out = std::string(dir) + "/" + k.name + ".rgba";
    FILE* f = fopen(in.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(pic.png.data(), 1, pic.png.size(), f);
    fclose(f);
    const std::string cmd = "ffmpeg -v error -y -i " + in + " -f rawvideo -pix_fmt rgba " + out;
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
    std::vector<uint8_t> ref(13 * 11 * 4);
    f = fopen(out.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fread(ref.data(), 1, ref.size(), f), ref.size()) << k.name;
    fclose(f);
    unlink(in.c_str());
    unlink(out.c_str());

    GuardedCanvas g(13, 11, 0);
    ASSERT_EQ(png_draw_canvas(pic.png.data(), pic.png.size(), 0, 0, g.canvas, false), 0);
    // ffmpeg rounds 16-bit samples to 8 bits its own way (off by one at
    // most); 8-bit kinds must match exactly.
    const int tolerance = k.depth == 16 ? 1 : 0;
    auto near = [&](uint8_t a, uint8_t b) { return abs(int(a) - int(b)) <= tolerance; };
    for (int i = 0; i < 13 * 11; i++) {
      const uint8_t* r = &ref[size_t(i) * 4];
      const Bgra got = g.at(i % 13, i / 13);
      ASSERT_TRUE(near(got.r, r[0]) && near(got.g, r[1]) && near(got.b, r[2]) && near(got.a, r[3]))
          << k.name << " pixel " << i << ": " << pngtest::to_string(got) << " ffmpeg rgba "
          << int(r[0]) << "," << int(r[1]) << "," << int(r[2]) << "," << int(r[3]);
    }
  }
  rmdir(dir);
}

TEST(PixelWriter, RgbaPlacedOnAWidePlaneWithItsOwnPitch) {
  // 100 x 50 at column 200, row 10: columns 200..299 of rows 10..59.
  const Picture pic =
      pngtest::make_picture({"rgba8", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, false}, 100, 50);
  GuardedCanvas g(320, 64, 17);
  ASSERT_EQ(png_draw_canvas(pic.png.data(), pic.png.size(), 200, 10, g.canvas, false), 0);
  expect_drawn(g, pic, 200, 10, "rgba 100x50");
  // Alpha is stored, not blended: a transparent pixel overwrites as well.
  GuardedCanvas t(8, 8);
  const auto clear = pngtest::solid_rgba(4, 4, 10, 20, 30, 0);
  ASSERT_EQ(png_draw_canvas(clear.data(), clear.size(), 1, 1, t.canvas, false), 0);
  EXPECT_TRUE((t.at(1, 1) == Bgra{30, 20, 10, 0}));
  EXPECT_TRUE((t.at(0, 0) == kUntouched));
}

TEST(PixelWriter, PicturesThatDoNotFitAreClipped) {
  for (const Kind& k : {Kind{"rgb8", PNG_COLOR_TYPE_RGB, 8, false, false},
                        Kind{"rgba8_adam7", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, true},
                        Kind{"palette4_adam7", PNG_COLOR_TYPE_PALETTE, 4, true, true}}) {
    const Picture pic = pngtest::make_picture(k, 21, 17);
    // Over the right and bottom edges, over the left and top edges, and
    // wholly outside.
    for (auto [x, y] : {std::pair{30, 12},
                        {-7, -5},
                        {-3, 10},
                        {38, 0},
                        {0, 24},
                        {-21, 0},
                        {1000000, 1000000},
                        {-1000000, 3}}) {
      GuardedCanvas g(40, 24);
      const std::string what =
          std::string(k.name) + " at " + std::to_string(x) + "," + std::to_string(y);
      ASSERT_EQ(png_draw_canvas(pic.png.data(), pic.png.size(), x, y, g.canvas, false), 0) << what;
      expect_drawn(g, pic, x, y, what);
    }
  }
}

TEST(PixelWriter, StopsDecodingOnceNothingMoreCanShow) {
  // A picture whose image data fails its check at the end: where only the
  // first rows can show, the rest is not decoded and the picture counts as
  // drawn; where all of it shows, the fault is found.
  Picture pic = pngtest::make_picture({"gray8", PNG_COLOR_TYPE_GRAY, 8, false, false}, 7, 400);
  size_t idat_end = 0;
  for (size_t at = 8; at + 12 <= pic.png.size();) {
    const uint32_t len = uint32_t(pic.png[at]) << 24 | pic.png[at + 1] << 16 |
                         pic.png[at + 2] << 8 | pic.png[at + 3];
    if (memcmp(&pic.png[at + 4], "IDAT", 4) == 0) idat_end = at + 12 + len;
    at += 12 + len;
  }
  ASSERT_GT(idat_end, 0u);
  pic.png[idat_end - 1] ^= 1;  // the last image data chunk's CRC
  GuardedCanvas g(10, 5);
  EXPECT_EQ(png_draw_canvas(pic.png.data(), pic.png.size(), 0, 3, g.canvas, false), 0);
  EXPECT_TRUE((g.at(0, 3) == pic.at(0, 0)));
  EXPECT_TRUE((g.at(6, 4) == pic.at(6, 1)));
  EXPECT_TRUE(g.guards_intact());
  GuardedCanvas tall(10, 500);
  EXPECT_EQ(png_draw_canvas(pic.png.data(), pic.png.size(), 0, 3, tall.canvas, false), -1);
  // No canvas at all: nothing is written.
  PngCanvas none{nullptr, 0, 0, 0};
  EXPECT_EQ(png_draw_canvas(pic.png.data(), pic.png.size(), 0, 0, none, false), 0);
}

// Broken data of every kind is refused; whatever was drawn stays inside the
// canvas, and the next good picture decodes as usual.
TEST(PixelWriter, BrokenDataIsRefusedWithoutHarm) {
  const Picture good =
      pngtest::make_picture({"rgba8_adam7", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, true}, 9, 7);
  std::vector<std::vector<uint8_t>> bad;
  bad.push_back({});
  bad.push_back(std::vector<uint8_t>(good.png.begin(), good.png.begin() + 7));
  bad.push_back({'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0, 0, 0});
  // Every truncation of the file past the signature.
  for (size_t n = 8; n < good.png.size() - 12; n += 3)
    bad.push_back(std::vector<uint8_t>(good.png.begin(), good.png.begin() + n));
  // A flipped bit in each chunk (CRC errors are fatal for critical chunks).
  for (size_t i = 16; i < good.png.size(); i += 11) {
    auto v = good.png;
    v[i] ^= 0x10;
    bad.push_back(v);
  }
  // IHDR with width 0 (CRC fixed up so that the header itself is judged).
  {
    auto v = good.png;
    memset(&v[16], 0, 4);
    const uint32_t crc = crc32_of(&v[12], 17);
    v[29] = uint8_t(crc >> 24);
    v[30] = uint8_t(crc >> 16);
    v[31] = uint8_t(crc >> 8);
    v[32] = uint8_t(crc);
    bad.push_back(v);
  }
  int refused = 0;
  for (const auto& v : bad) {
    GuardedCanvas g(12, 10);
    if (png_draw_canvas(v.data(), v.size(), 1, 1, g.canvas, false) != 0) refused++;
    ASSERT_TRUE(g.guards_intact());
  }
  // A flipped bit may hit an ancillary byte that libpng tolerates; truncated
  // and non-PNG data never pass.
  EXPECT_GE(refused, int(bad.size()) - 4);
  GuardedCanvas g(12, 10);
  ASSERT_EQ(png_draw_canvas(good.png.data(), good.png.size(), 1, 1, g.canvas, false), 0);
  expect_drawn(g, good, 1, 1, "after broken data");
}

TEST(PixelWriter, TheLibraryAcceptsTheVersionTheDecoderAsksFor) {
  // The decoder names "1.6.43"; libpng checks major and minor only.
  png_structp png = png_create_read_struct("1.6.43", nullptr, nullptr, nullptr);
  ASSERT_NE(png, nullptr) << "installed libpng " << png_get_libpng_ver(nullptr);
  png_destroy_read_struct(&png, nullptr, nullptr);
}

}  // namespace
