// panelctl refuses media the device would drop and reports what the device
// actually showed: the checks on their own (with damaged and cut input), then
// against the real daemon under `panelsim run`, on a quiet panel and on a
// freshly started one whose offline screen has the panel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <tuple>

#include "tests/harness/harness.h"
#include "tools/panelctl/check.h"

namespace {

using harness::DeviceRoot;

constexpr int kTop = 84;  // first row of the usable area on the default panel

// Media made once with the ffmpeg tool, in a folder of its own.
struct Media : DeviceRoot {
  Media() : DeviceRoot(false) {
    const std::string src = "-f lavfi -i testsrc2=size=";
    const std::string h264 = " -c:v libx264 -pix_fmt yuv420p -f h264 ";
    const std::string base = " -profile:v baseline -x264-params slices=1";
    const std::pair<const char*, std::string> files[] = {
        {"pic.jpg", "-f lavfi -i color=c=0x3060c0:size=1080x2288 -frames:v 1 "},
        {"over.png", "-f lavfi -i color=c=0xc03060:size=40x30 -frames:v 1 "},
        {"clip.mp4", src + "320x240:rate=10 -t 1 -pix_fmt yuv420p "},
        {"anim.gif", src + "200x400:rate=10 -t 1 "},
        {"ok.h264", src + "320x240:rate=10 -frames:v 6" + base + h264},
        {"big.h264", src + "1920x1080:rate=10 -frames:v 4" + base + h264},
        {"high.h264", src + "320x240:rate=10 -frames:v 10 -profile:v high -bf 2" + h264},
        {"slices.h264",
         src + "320x240:rate=10 -frames:v 4 -profile:v baseline -x264-params slices=4" + h264},
    };
    for (const auto& [name, args] : files) made = made && harness::ffmpeg(args + file(name)) == 0;
    write("notes.txt", "hello, panel\n");
    write("cut.jpg", read("pic.jpg").substr(0, read("pic.jpg").size() / 2));
  }
  bool ok() const { return made; }
  std::vector<uint8_t> bytes(const std::string& n) const { return harness::read_bytes(file(n)); }
  bool made = true;
};

const Media& media() {
  static const Media m;
  return m;
}

TEST(MediaChecks, ReadStreamsAsTheDecoderWill) {
  ASSERT_TRUE(media().ok()) << "ffmpeg with libx264 is needed";
  struct Case {
    const char* file;
    bool baseline, b_slices;
    int width, height, pictures, max_slices;
  } cases[] = {
      {"ok.h264", true, false, 320, 240, 6, 1},
      {"big.h264", true, false, 1920, 1080, 4, 1},
      {"high.h264", false, true, 320, 240, 10, 1},
      {"slices.h264", true, false, 320, 240, 4, 4},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> s = media().bytes(c.file);
    const check::H264Info in = check::inspect_h264(s.data(), s.size());
    EXPECT_EQ(std::tuple(in.annex_b, in.damaged, in.baseline, in.b_slices, in.width, in.height,
                         in.pictures, in.max_slices),
              std::tuple(true, false, c.baseline, c.b_slices, c.width, c.height, c.pictures,
                         c.max_slices))
        << c.file;
    // Cut anywhere in its headers, a stream is read without a fault (the
    // sanitizer builds watch), and never found better than it is.
    for (size_t n = 0; n < std::min<size_t>(s.size(), 1200); n++) {
      const check::H264Info cut = check::inspect_h264(s.data(), n);
      EXPECT_LE(cut.width, c.width);
      EXPECT_LE(cut.pictures, c.pictures);
    }
  }
  // Parameter sets full of ones and of zeros, and emulation bytes: read
  // without a fault; the zeros run out of bits and count as damaged.
  const std::vector<uint8_t> odd[] = {
      {0, 0, 1, 0x67, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
      {0, 0, 0, 1, 0x67, 100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 3, 0},
      {0, 0, 1, 0x68, 0, 0, 3, 0, 0, 1, 0x65, 0, 0, 1},
  };
  EXPECT_EQ(check::inspect_h264(odd[0].data(), odd[0].size()).width, 16);
  EXPECT_TRUE(check::inspect_h264(odd[1].data(), odd[1].size()).damaged);
  EXPECT_EQ(check::inspect_h264(odd[2].data(), odd[2].size()).pictures, 0);
}

TEST(MediaChecks, BandLimitsFollowTheDecoder) {
  struct Case {
    int w, h, bands, band, max_w, max_h;
  } cases[] = {
      {1080, 2288, 1, 0, 1080, 2288}, {1080, 2288, 2, 0, 1080, 1408},
      {1080, 2288, 2, 1, 1080, 880},  {1080, 2288, 3, 0, 1080, 768},
      {1080, 2288, 3, 1, 1080, 768},  {1080, 2288, 3, 2, 1080, 752},
      {720, 1472, 1, 0, 720, 1472},   {1600, 720, 1, 0, 1088, 720},
      {2400, 3000, 1, 0, 1088, 2560},
  };
  for (const Case& c : cases) {
    const check::Limit l = check::band_limit(c.w, c.h, c.bands, c.band);
    EXPECT_EQ(l.w, c.max_w) << c.w << "x" << c.h << " band " << c.band << "/" << c.bands;
    EXPECT_EQ(l.h, c.max_h) << c.w << "x" << c.h << " band " << c.band << "/" << c.bands;
  }
}

TEST(MediaChecks, PicturesMustDecodeWhole) {
  ASSERT_TRUE(media().ok()) << "ffmpeg with libx264 is needed";
  std::string why;
  EXPECT_TRUE(check::jpeg("pic.jpg", media().bytes("pic.jpg"), &why)) << why;
  EXPECT_TRUE(check::png("over.png", media().bytes("over.png"), &why)) << why;
  const std::vector<uint8_t> jpg = media().bytes("pic.jpg"), png = media().bytes("over.png");
  // Every cut of either picture is refused, with a reason naming it (a PNG
  // that lacks only its closing chunk still decodes whole).
  for (size_t n = 0; n + 12 < png.size(); n++) {
    why.clear();
    EXPECT_FALSE(check::png("x.png", std::vector<uint8_t>(png.begin(), png.begin() + n), &why))
        << n;
    EXPECT_EQ(why.rfind("x.png ", 0), 0u) << why;
  }
  for (size_t n = 0; n + 2 < jpg.size(); n += 97) {
    why.clear();
    EXPECT_FALSE(check::jpeg("x.jpg", std::vector<uint8_t>(jpg.begin(), jpg.begin() + n), &why))
        << n;
    EXPECT_EQ(why.rfind("x.jpg ", 0), 0u) << why;
  }
}

// Runs panelctl against a device; status, stdout and stderr.
struct Ran {
  int status = -1;
  std::string out, err;
};
Ran ctl(const harness::SimRun& sim, const std::string& args) {
  Ran r;
  r.out = sim.ctl("--timeout 20000 " + args, &r.status, &r.err);
  return r;
}

// The middle of the usable area shows about `rgb` on the video plane.
bool video_shows(const DeviceRoot& root, int r, int g, int b) {
  harness::Image img;
  if (!harness::snapshot(root, "video", &img) || img.width < 1080 || img.height < kTop + 2288)
    return false;
  const uint8_t* p = img.at(540, kTop + 1144);
  return std::abs(p[0] - r) < 24 && std::abs(p[1] - g) < 24 && std::abs(p[2] - b) < 24;
}

TEST(PanelctlRefuses, WhatTheDeviceWouldDropWithAReasonAndTheWayOut) {
  ASSERT_TRUE(media().ok()) << "ffmpeg with libx264 is needed";
  DeviceRoot root;
  root.write("/tmp/no_show_offline", "");
  harness::SimRun sim(root);
  ASSERT_EQ(ctl(sim, "takeover --wait 60000").status, 0);
  const auto f = [](const char* name) { return media().file(name); };
  struct Case {
    std::string args;
    std::vector<std::string> says;
  } cases[] = {
      {"jpeg " + f("notes.txt"),
       {"notes.txt is not a JPEG file (it does not begin with FF D8 FF)"}},
      {"jpeg " + f("over.png"), {"is a PNG picture, not a JPEG file: use `panelctl png-full"}},
      {"jpeg " + f("cut.jpg"), {"cut.jpg is a damaged JPEG"}},
      {"png " + f("pic.jpg") + " 0 0", {"is a JPEG picture, not a PNG file: use `panelctl jpeg"}},
      {"png-full " + f("notes.txt"), {"notes.txt is not a PNG file"}},
      {"stream " + f("clip.mp4"),
       {"clip.mp4 is an MP4 container, not an H.264 stream: use `panelctl play " + f("clip.mp4")}},
      {"stream " + f("anim.gif"), {"anim.gif is a GIF picture, not an H.264 stream"}},
      {"stream " + f("big.h264"),
       {"big.h264 is 1920x1080; the device decodes at most 1080x2288 on a 1080x2400 panel"}},
      {"stream " + f("high.h264"),
       {"high.h264 is H.264 High profile; the device decodes Baseline"}},
      {"stream " + f("slices.h264"), {"has 4 slices per picture"}},
      {"stream " + f("ok.h264") + " " + f("ok.h264") + " " + f("big.h264"),
       {"big.h264 is 1920x1080; the device decodes at most 1080x752 in band 2 of 3"}},
  };
  for (const Case& c : cases) {
    const Ran r = ctl(sim, c.args);
    EXPECT_EQ(r.status, 1) << c.args << "\n" << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.args << "\n" << r.err;
    EXPECT_EQ(r.out, "") << c.args;
    for (const std::string& s : c.says) EXPECT_NE(r.err.find(s), std::string::npos) << r.err;
  }
  // Nothing of it reached the device's decoders.
  for (const char* line : {"jpegd:", "The file is not PNG", "decoder direct work failed"})
    EXPECT_EQ(sim.log().find(line), std::string::npos) << line;

  // What passes is shown, and said so (a JPEG: in the next test).
  Ran r = ctl(sim, "--json png " + f("over.png") + " 10 20");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"shown\":true"), std::string::npos) << r.out;
  r = ctl(sim, "--json stream " + f("ok.h264") + " --stamp 7");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"frames\":6"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("\"shown\":0"), std::string::npos) << r.out;

  // Forced through, a stream the decoder refuses is reported as not shown.
  r = ctl(sim, "--force stream " + f("big.h264") + " --stamp 8");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("warning: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("none of the 4 frames was shown"), std::string::npos) << r.err;
  EXPECT_TRUE(harness::wait_until(
      [&] { return sim.log().find("decoder direct work failed") != std::string::npos; }, 3000));
  EXPECT_EQ(ctl(sim, "nop").status, 0);
}

TEST(PanelctlRefuses, PicturesWhileTheStandbyScreenHasThePanel) {
  ASSERT_TRUE(media().ok()) << "ffmpeg with libx264 is needed";
  DeviceRoot root;  // fresh: the offline screen runs from start-up
  harness::SimRun sim(root);
  Ran r = ctl(sim, "jpeg " + media().file("pic.jpg"));
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find("not sent: the device's offline screen has the panel"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("run `panelctl takeover` first"), std::string::npos) << r.err;

  // The refused JPEG's question already asked the offline screen to stop;
  // what is left to stop by now depends on the machine's speed.
  r = ctl(sim, "--json takeover --wait 60000");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("{\"taken_over\":true,\"stopped\":[", 0), 0u) << r.out;
  r = ctl(sim, "jpeg " + media().file("pic.jpg"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(video_shows(root, 0x30, 0x60, 0xc0));
}

}  // namespace
