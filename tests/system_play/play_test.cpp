// `panelctl play` on media generated here with the ffmpeg tool, shown by the
// real daemon under `panelsim run` on a 720x1600 panel (usable area 720 x
// 1472 from row 64): the fit of each kind of file, the device's frame rate,
// the pixels of a still, bad input and Ctrl-C.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/harness/harness.h"

namespace {

using harness::DeviceRoot;
using harness::Image;

constexpr int kTop = 64;  // first row of the usable area

struct Rgb {
  int r, g, b;
};
Rgb at(const Image& img, int x, int y) {
  const uint8_t* p = img.at(x, kTop + y);
  return Rgb{p[0], p[1], p[2]};
}
bool black(Rgb c) { return c.r < 24 && c.g < 24 && c.b < 24; }

class Play : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new DeviceRoot();
    root_->write("/sim/panel", "720x1600");
    root_->write("/tmp/no_show_logo_and_offline", "");  // a quiet panel
    dir_ = root_->path() + "/../";
    media_ok_ = harness::ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=12 -t 2 -pix_fmt yuv420p " +
                                dir_ + "clip.mp4") == 0 &&
                harness::ffmpeg(
                    "-f lavfi -i color=c=0x30c060:size=200x400:rate=10,noise=alls=20:allf=t "
                    "-t 1 " +
                    dir_ + "anim.gif") == 0 &&
                harness::ffmpeg(
                    "-f lavfi -i color=c=red:size=150x600 -f lavfi -i "
                    "color=c=blue:size=150x600 -filter_complex hstack -frames:v 1 " +
                    dir_ + "portrait.png") == 0;
    sim_ = new harness::SimRun(*root_);
    int st;
    sim_->ctl("--timeout 20000 takeover --wait 60000", &st);
  }
  static void TearDownTestSuite() {
    delete sim_;
    delete root_;
  }
  void SetUp() override { ASSERT_TRUE(media_ok_) << "ffmpeg could not make the test media"; }

  std::string play(const std::string& args, int* st, std::string* err = nullptr) {
    return sim_->ctl("--timeout 20000 play --panel 720x1600 " + args, st, err);
  }
  Image panel() {
    Image img;
    EXPECT_TRUE(harness::snapshot(*root_, "video", &img));
    return img;
  }

  static inline DeviceRoot* root_ = nullptr;
  static inline harness::SimRun* sim_ = nullptr;
  static inline std::string dir_;
  static inline bool media_ok_ = false;
};

TEST_F(Play, VideoIsLetterboxedAndShownAtTheSourceRate) {
  int st;
  std::string err;
  const std::string out = play("--json " + dir_ + "clip.mp4", &st, &err);
  ASSERT_EQ(st, 0) << out << err;
  EXPECT_NE(out.find("\"kind\":\"video\",\"frames\":24,\"source_fps\":12.0"), std::string::npos)
      << out;
  // The device's frame counter advanced at about 12 per second.
  const size_t f = out.find("\"device_fps\":");
  ASSERT_NE(f, std::string::npos);
  const double fps = atof(out.c_str() + f + 13);
  EXPECT_GT(fps, 9.0) << out;
  EXPECT_LT(fps, 15.0) << out;
  // 320x240 on 720x1472: 720x540 from row 466, black above and below.
  Image img = panel();
  EXPECT_TRUE(black(at(img, 360, 440)));
  EXPECT_TRUE(black(at(img, 360, 1040)));
  EXPECT_FALSE(black(at(img, 100, 736)));
  EXPECT_EQ(sim_->log().find("decoder direct work failed"), std::string::npos);
}

TEST_F(Play, AnimatedGifFillsThePanel) {
  int st;
  const std::string out = play("--fill --json " + dir_ + "anim.gif", &st);
  ASSERT_EQ(st, 0) << out;
  EXPECT_NE(out.find("\"kind\":\"video\",\"frames\":10,"), std::string::npos) << out;
  Image img = panel();
  // Cropped, not letterboxed: green up to every edge.
  for (auto [x, y] : {std::pair{4, 4}, {715, 4}, {4, 1467}, {715, 1467}, {360, 736}}) {
    const Rgb c = at(img, x, y);
    EXPECT_TRUE(c.g > 110 && c.r < 110 && c.b < 150)
        << x << "," << y << ": " << c.r << " " << c.g << " " << c.b;
  }
}

TEST_F(Play, PortraitStillIsAJpegFrameWithTheExpectedPixels) {
  int st;
  const std::string out = play(dir_ + "portrait.png", &st);
  ASSERT_EQ(st, 0) << out;
  EXPECT_NE(out.find("portrait.png: picture, 1 frame(s)"), std::string::npos) << out;
  Image img = panel();
  // 300x600 on 720x1472: 720x1440 from row 16; left half red, right blue.
  struct Case {
    int x, y;
    Rgb want;
  } cases[] = {{360, 6, {0, 0, 0}},     {360, 1466, {0, 0, 0}}, {180, 736, {254, 0, 0}},
               {540, 736, {0, 0, 254}}, {4, 30, {254, 0, 0}},   {715, 1440, {0, 0, 254}}};
  for (const Case& c : cases) {
    const Rgb got = at(img, c.x, c.y);
    EXPECT_NEAR(got.r, c.want.r, 24) << c.x << "," << c.y;
    EXPECT_NEAR(got.g, c.want.g, 24) << c.x << "," << c.y;
    EXPECT_NEAR(got.b, c.want.b, 24) << c.x << "," << c.y;
  }
  // --stretch fills the whole area: no black rows.
  ASSERT_EQ((play("--stretch " + dir_ + "portrait.png", &st), st), 0);
  img = panel();
  EXPECT_FALSE(black(at(img, 180, 2)));
  EXPECT_FALSE(black(at(img, 540, 1469)));
}

TEST_F(Play, BadInputIsNamedAndLeavesTheDeviceAlone) {
  root_->write("/../notmedia.txt", "hello, not a picture\n");
  int st;
  std::string err;
  const std::vector<uint8_t> before = panel().rgba;
  struct Case {
    std::string args;
    int status;
    std::string says;
  } cases[] = {
      {dir_ + "notmedia.txt", 1, "notmedia.txt"},
      {dir_ + "nothere.mp4", 2, "nothere.mp4"},
      {"--bands 4 " + dir_ + "clip.mp4", 2, "--bands"},
      {"--panel 12x34x " + dir_ + "clip.mp4", 2, "--panel"},
  };
  for (const Case& c : cases) {
    play(c.args, &st, &err);
    EXPECT_EQ(st, c.status) << c.args << ": " << err;
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
  EXPECT_TRUE(panel().rgba == before);
  // With --json the error is JSON too.
  const std::string out = play("--json " + dir_ + "notmedia.txt", &st);
  EXPECT_EQ(out.rfind("{\"error\":\"cannot read ", 0), 0u) << out;
}

TEST_F(Play, InterruptStopsTheStreamAndTheDeviceServesOn) {
  const size_t from = sim_->log().size();
  std::string out;
  const int st =
      harness::run("timeout -s INT --preserve-status 3 " + harness::build_dir() +
                       "/panelctl --device " + root_->file("/host/ttyGS0") +
                       " play --panel 720x1600 --loop --bands 2 " + dir_ + "clip.mp4 2>&1",
                   &out);
  EXPECT_EQ(st, 130) << out;
  EXPECT_NE(out.find("stopped"), std::string::npos) << out;
  EXPECT_NE(sim_->log().find("stop play h264", from), std::string::npos);
  int s;
  EXPECT_EQ(sim_->ctl("--timeout 20000 identity", &s), "pavrotek5_0001_2026091101\n");
}

// Pixels of the overlay's shown buffer within a box, as RGBA.
int count_pixels(const Image& ov, int x0, int y0, int w, int h,
                 const std::function<bool(const uint8_t*)>& match) {
  int n = 0;
  for (int y = y0; y < y0 + h; y++)
    for (int x = x0; x < x0 + w; x++) n += match(ov.at(x, y)) ? 1 : 0;
  return n;
}

TEST_F(Play, TextAndHostReadingsReachTheOverlay) {
  int st;
  std::string err;
  sim_->ctl(
      "--timeout 20000 overlay-text 'Hi\\nthere' --x 40 --y 100 --size 48 --color ffcc00 "
      "--background 0000ff80",
      &st, &err);
  ASSERT_EQ(st, 0) << err;
  Image ov;
  // The frame is drawn at row 100 of the overlay's origin, the usable area.
  ASSERT_TRUE(harness::wait_until(
      [&] {
        return harness::snapshot(*root_, "overlay", &ov) &&
               count_pixels(ov, 40, kTop + 100, 60, 100, [](const uint8_t* p) {
                 return p[0] > 230 && p[1] > 180 && p[1] < 230 && p[2] < 40 && p[3] > 240;
               }) > 50;
      },
      10000));
  // The background, half transparent blue, around the glyphs.
  const uint8_t* corner = ov.at(41, kTop + 101);
  EXPECT_NEAR(corner[2], 255, 4);
  EXPECT_NEAR(corner[3], 128, 4);
  EXPECT_EQ(ov.at(39, kTop + 101)[3], 0);

  for (const char* bad : {"--color red", "--font /no/such.ttf", "--size 2"}) {
    sim_->ctl(std::string("overlay-text x ") + bad, &st, &err);
    EXPECT_EQ(st, 2) << bad;
    EXPECT_NE(err.find(std::string(bad).substr(0, 6)), std::string::npos) << err;
  }

  sim_->ctl("--timeout 20000 sensors --count 2 --interval 0.2 --x 300 --y 600", &st, &err);
  ASSERT_EQ(st, 0) << err;
  EXPECT_TRUE(harness::wait_until(
      [&] {
        return harness::snapshot(*root_, "overlay", &ov) &&
               count_pixels(ov, 300, kTop + 600, 200, 60,
                            [](const uint8_t* p) { return p[0] > 240 && p[3] > 240; }) > 50;
      },
      10000));
}

}  // namespace
