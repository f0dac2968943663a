// Configuration records, listing text and recursive deletion, in-process on a
// throw-away device root (PANELD_ROOT points at it while a test runs).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "storage/config.h"
#include "storage/files.h"
#include "tests/harness/harness.h"

namespace {

class Storage : public ::testing::Test {
 protected:
  Storage() : root_(false) { setenv("PANELD_ROOT", root_.path().c_str(), 1); }
  ~Storage() override { unsetenv("PANELD_ROOT"); }
  std::string listing(const std::string& dev) {
    char out[dir_result_len];
    memset(out, 0x55, sizeof out);
    GetDir(dev.c_str(), out, sizeof out);
    return out;
  }
  harness::DeviceRoot root_;
};

TEST_F(Storage, FirstBootRebuildsBothRecordsAndShortFilesKeepTheRest) {
  mkdir(root_.file("/usr").c_str(), 0755);
  mkdir(root_.file("/usr/data").c_str(), 0755);
  EXPECT_EQ(ReadConfig(), 1);
  std::string app = root_.read("/usr/data/app.cfg");
  ASSERT_EQ(app.size(), 136u);
  EXPECT_EQ(app.substr(0, 8), std::string("\x3c\0\0\0\0\0\x01\x01", 8));
  EXPECT_EQ(app.substr(8, 26), std::string("/media/offline_video.h264\0", 26));
  EXPECT_EQ(ReadFBConfig(), 1);
  std::string fb = root_.read("/usr/data/fb.cfg");
  ASSERT_EQ(fb.size(), 16u);
  EXPECT_EQ(fb[0], 16);
  EXPECT_EQ(fb[1], 84);

  // A short file fills only the bytes it holds.
  root_.write("/usr/data/app.cfg", std::string("\x50\x02", 2));
  EXPECT_EQ(ReadConfig(), 0);
  EXPECT_EQ(cfg.bright, 80);
  EXPECT_EQ(cfg.mode, 2);
  EXPECT_EQ(cfg.test_mode, 1);
  EXPECT_EQ(cfg_video_path(), "/media/offline_video.h264");
  EXPECT_EQ(cfg_set_video_path(std::string(128, 'v').c_str()), -1);
  EXPECT_EQ(cfg_video_path(), "/media/offline_video.h264");
}

TEST_F(Storage, ListingTextKeepsEachNameListBelow512Characters) {
  root_.write("/m/img/x", "");
  root_.write("/m/a.jpg", "x");
  EXPECT_EQ(listing("/m"), "result:dir:img/file:a.jpg/");
  root_.write("/m/img/sub/y", "");
  EXPECT_EQ(listing("/m/img"), "result:dir:sub/file:x/");
  EXPECT_EQ(listing("/m/new"), "result:nodir-createdone");
  EXPECT_EQ(listing("/m/new"), "result:dir:file:");
  EXPECT_EQ(listing("/no/such/parent"), "result:nodir-createfailed");

  // 72-character names take 73 with their slash: seven fit (511), an eighth
  // would not, whatever the directory order.
  for (int i = 0; i < 8; i++) root_.write("/big/" + std::string(71, 'a') + char('0' + i), "");
  std::string text = listing("/big");
  ASSERT_EQ(text.rfind("result:dir:file:", 0), 0u);
  EXPECT_EQ(text.size(), strlen("result:dir:file:") + 7 * 73);
}

TEST_F(Storage, DeletionEmptiesATreeButKeepsFoldersLinksAndTooLongPaths) {
  root_.write("/d/1.txt", "1");
  root_.write("/d/a/2.txt", "2");
  root_.write("/d/a/b/3.txt", "3");
  root_.write("/keep.txt", "k");
  symlink(root_.file("/keep.txt").c_str(), root_.file("/d/a/link").c_str());
  // A child path longer than the 256-byte path buffer is skipped, not cut.
  std::string deep = "/d/" + std::string(130, 'x') + "/" + std::string(130, 'y');
  root_.write(deep + "/far.txt", "f");
  DeleteFile("/d");
  EXPECT_FALSE(root_.exists("/d/1.txt"));
  EXPECT_FALSE(root_.exists("/d/a/2.txt"));
  EXPECT_FALSE(root_.exists("/d/a/b/3.txt"));
  EXPECT_TRUE(root_.exists("/d/a/b"));
  EXPECT_TRUE(root_.exists("/d/a/link"));
  EXPECT_TRUE(root_.exists("/keep.txt"));
  EXPECT_TRUE(root_.exists(deep + "/far.txt"));
  DeleteFile("");  // the empty name is no file, never the whole root
  EXPECT_TRUE(root_.exists("/keep.txt"));
}

}  // namespace
