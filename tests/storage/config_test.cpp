// Configuration records: file images, rebuilds, short files, version file.
#include "storage/config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/storage/temp_root.h"

namespace {

const std::string kDefaultPath = "/media/offline_video.h264";

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.mkdirs("/usr/data");
    uint8_t zero[cfg_file_size] = {};
    cfg_from_bytes(zero, sizeof zero);  // the state before ReadConfig
    fb_x_offset = 16;
    fb_y_offset = 84;
  }
  std::string image() const {
    uint8_t b[cfg_file_size];
    cfg_to_bytes(b);
    return std::string(reinterpret_cast<char*>(b), sizeof b);
  }
  TempRoot root_;
};

TEST_F(ConfigTest, FirstBootWritesTheDefaultRecords) {
  EXPECT_EQ(ReadFBConfig(), 1);
  EXPECT_EQ(ReadConfig(), 1);

  std::string app = root_.read("/usr/data/app.cfg");
  ASSERT_EQ(app.size(), 136u);
  std::string want(136, '\0');
  want[0] = 60;
  want[6] = 1;
  want[7] = 1;
  want.replace(8, kDefaultPath.size(), kDefaultPath);
  EXPECT_EQ(app, want);
  EXPECT_EQ(cfg.bright, 60);
  EXPECT_EQ(cfg.test_mode, 1);
  EXPECT_EQ(cfg_video_path(), kDefaultPath);

  std::string fb = root_.read("/usr/data/fb.cfg");
  ASSERT_EQ(fb.size(), 16u);
  EXPECT_EQ(fb, std::string("\x10\x54", 2) + std::string(14, '\0'));
}

TEST_F(ConfigTest, RebuildKeepsClockEnableAndTheTailOfTheVideoPath) {
  uint8_t b[cfg_file_size];
  memset(b, 0xAB, sizeof b);
  cfg_from_bytes(b, sizeof b);
  ASSERT_EQ(ReadConfig(), 1);
  std::string app = root_.read("/usr/data/app.cfg");
  ASSERT_EQ(app.size(), 136u);
  EXPECT_EQ(uint8_t(app[5]), 0xAB);  // clock_enable untouched
  EXPECT_EQ(app.substr(8, kDefaultPath.size() + 1), kDefaultPath + '\0');
  EXPECT_EQ(app.substr(34), std::string(102, '\xAB'));
}

TEST_F(ConfigTest, ExistingFileIsTakenAsItIsAndSavedBackUnchanged) {
  std::string rec(136, '\0');
  const char head[] = {100, 2, 7, 3, 9, 1, 0, 0};
  rec.replace(0, 8, head, 8);
  rec.replace(8, 14, "/usr/data/v.h264", 14);
  rec[120] = 'x';  // bytes after the terminator belong to the record too
  root_.write("/usr/data/app.cfg", rec);

  EXPECT_EQ(ReadConfig(), 0);
  EXPECT_EQ(cfg.bright, 100);
  EXPECT_EQ(cfg.mode, 2);
  EXPECT_EQ(cfg.reserved_2, 7);
  EXPECT_EQ(cfg.local_rotation, 3);
  EXPECT_EQ(cfg.reserved_4, 9);
  EXPECT_EQ(cfg.clock_enable, 1);
  EXPECT_EQ(cfg.test_mode, 0);
  EXPECT_EQ(cfg.warn_enable, 0);
  EXPECT_EQ(cfg_video_path(), "/usr/data/v.h2");
  EXPECT_EQ(image(), rec);

  cfg.local_rotation = 2;
  SaveConfig();
  rec[3] = 2;
  EXPECT_EQ(root_.read("/usr/data/app.cfg"), rec);
}

TEST_F(ConfigTest, ShortFilesFillOnlyWhatTheyHold) {
  uint8_t b[cfg_file_size];
  memset(b, 5, sizeof b);
  cfg_from_bytes(b, sizeof b);
  root_.write("/usr/data/app.cfg", std::string("\x01\x02\x03", 3));
  EXPECT_EQ(ReadConfig(), 0);
  EXPECT_EQ(cfg.bright, 1);
  EXPECT_EQ(cfg.reserved_2, 3);
  EXPECT_EQ(cfg.local_rotation, 5);
  EXPECT_EQ(cfg.warn_enable, 5);

  root_.write("/usr/data/app.cfg", "");
  EXPECT_EQ(ReadConfig(), 0);  // present but empty: nothing changes
  EXPECT_EQ(cfg.bright, 1);

  root_.write("/usr/data/fb.cfg", std::string("\x07", 1));
  EXPECT_EQ(ReadFBConfig(), 0);
  EXPECT_EQ(fb_x_offset, 7);
  EXPECT_EQ(fb_y_offset, 84);
}

TEST_F(ConfigTest, SaveKeepsALongerFileInPlace) {
  root_.write("/usr/data/app.cfg", std::string(200, 'z'));
  cfg.bright = 42;
  SaveConfig();
  std::string app = root_.read("/usr/data/app.cfg");
  ASSERT_EQ(app.size(), 200u);
  EXPECT_EQ(app[0], 42);
  EXPECT_EQ(app.substr(136), std::string(64, 'z'));
}

TEST_F(ConfigTest, MissingFolderIsReportedNotFatal) {
  harness::run("rm -rf '" + root_.file("/usr") + "'");
  testing::internal::CaptureStdout();
  EXPECT_EQ(ReadConfig(), 1);
  EXPECT_EQ(ReadFBConfig(), 1);
  setVersion();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("SaveConfig open app.cfg err"), std::string::npos);
  EXPECT_NE(out.find("SaveConfig open fb.cfg err"), std::string::npos);
  EXPECT_NE(out.find("setVersion open version err "), std::string::npos);
  EXPECT_EQ(cfg.bright, 60);  // the in-memory values are still the defaults
  EXPECT_EQ(fb_y_offset, 84);
}

TEST_F(ConfigTest, VersionFileIsWrittenInPlace) {
  setVersion();
  EXPECT_EQ(root_.read("/usr/data/version"), "2026091101");
  root_.write("/usr/data/version", "2019010101-beta7");
  setVersion();
  EXPECT_EQ(root_.read("/usr/data/version"), "2026091101-beta7");
}

TEST(Identity, IsTheFixedText) {
  char* v = check_dev_version();
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "pavrotek5_0001_2026091101");
  free(v);
}

TEST(VideoPath, RefusesPathsWithoutRoomForTheTerminator) {
  std::string ok(127, 'a');
  ASSERT_EQ(cfg_set_video_path(ok.c_str()), 0);
  EXPECT_EQ(cfg_video_path(), ok);
  EXPECT_EQ(cfg_set_video_path(std::string(128, 'b').c_str()), -1);
  EXPECT_EQ(cfg_video_path(), ok);
  EXPECT_EQ(cfg_set_video_path(nullptr), -1);
  ASSERT_EQ(cfg_set_video_path("/m.h264"), 0);
  EXPECT_EQ(cfg_video_path(), "/m.h264");
}

}  // namespace
