// File helpers: listing text and its limits, recursive deletion, sizes,
// storage figures and the write helpers.
#include "storage/files.h"

#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>

#include "tests/storage/temp_root.h"

namespace {

class FilesTest : public ::testing::Test {
 protected:
  std::string listing(const std::string& dev) {
    char out[dir_result_len];
    memset(out, 0x55, sizeof out);
    GetDir(dev.c_str(), out, sizeof out);
    return out;
  }
  TempRoot root_;
};

// Splits "a/b/c/" into its names.
std::multiset<std::string> names(const std::string& list) {
  std::multiset<std::string> out;
  std::stringstream ss(list);
  std::string n;
  while (std::getline(ss, n, '/')) out.insert(n);
  return out;
}

// "result:dir:D...file:F..." into its two lists; false when not of that form.
bool split_listing(const std::string& text, std::string* dirs, std::string* files) {
  if (text.rfind("result:dir:", 0) != 0) return false;
  size_t f = text.find("file:");
  if (f == std::string::npos) return false;
  *dirs = text.substr(11, f - 11);
  *files = text.substr(f + 5);
  return true;
}

TEST_F(FilesTest, ListingNamesDirectoriesAndFiles) {
  root_.mkdirs("/media/img");
  root_.write("/media/a.jpg", "x");
  root_.write("/media/b.h264", "y");
  symlink("a.jpg", root_.file("/media/link").c_str());
  std::string dirs, files;
  ASSERT_TRUE(split_listing(listing("/media"), &dirs, &files));
  EXPECT_EQ(dirs, "img/");
  EXPECT_EQ(names(files), (std::multiset<std::string>{"a.jpg", "b.h264", "link"}));
  EXPECT_EQ(files.back(), '/');

  root_.mkdirs("/media/empty");
  EXPECT_EQ(listing("/media/empty"), "result:dir:file:");
  EXPECT_EQ(listing("/media/empty/"), "result:dir:file:");
}

TEST_F(FilesTest, MissingDirectoryIsCreatedOneLevelOnly) {
  root_.mkdirs("/usr/data");
  EXPECT_EQ(listing("/usr/data/img"), "result:nodir-createdone");
  EXPECT_TRUE(root_.exists("/usr/data/img"));
  EXPECT_EQ(listing("/usr/data/img"), "result:dir:file:");

  EXPECT_EQ(listing("/no/such/parent"), "result:nodir-createfailed");
  EXPECT_FALSE(root_.exists("/no"));
  // The empty name is no directory, never the device root.
  EXPECT_EQ(listing(""), "result:nodir-createfailed");
  // A file in the way cannot be listed or created.
  root_.write("/f", "x");
  EXPECT_EQ(listing("/f"), "result:nodir-createfailed");
}

TEST_F(FilesTest, EachNameListStaysBelow512Characters) {
  // 72-character names take 73 characters each: seven make 511 and fit, the
  // eighth would reach 584 and is left out, in whatever order they come.
  for (int i = 0; i < 8; i++) {
    std::string n = std::string(71, 'd') + char('0' + i);
    root_.mkdirs("/big/" + n);
    root_.write("/big/" + std::string(71, 'f') + char('0' + i), "");
  }
  std::string text = listing("/big");
  std::string dirs, files;
  ASSERT_TRUE(split_listing(text, &dirs, &files));
  EXPECT_EQ(dirs.size(), 511u);
  EXPECT_EQ(files.size(), 511u);
  EXPECT_EQ(names(dirs).size(), 7u);
  EXPECT_EQ(names(files).size(), 7u);
  // The longest possible text fits the first three 512-byte slices.
  EXPECT_EQ(text.size(), 1038u);
}

TEST_F(FilesTest, FullFileListStillListsDirectories) {
  for (int i = 0; i < 20; i++) root_.write("/mix/" + std::string(40, 'a' + i), "");
  root_.mkdirs("/mix/sub");
  std::string dirs, files;
  ASSERT_TRUE(split_listing(listing("/mix"), &dirs, &files));
  EXPECT_EQ(dirs, "sub/");
  EXPECT_LT(files.size(), 512u);
  EXPECT_EQ(names(files).size(), 12u);  // 12 x 41 = 492, a 13th would make 533
}

TEST_F(FilesTest, GetfilepathJoinsWithOneSlashAndRefusesOverlongPaths) {
  char out[file_path_max];
  ASSERT_EQ(Getfilepath("/tmp", "a", out), 0);
  EXPECT_STREQ(out, "/tmp/a");
  ASSERT_EQ(Getfilepath("/tmp/", "a", out), 0);
  EXPECT_STREQ(out, "/tmp/a");

  std::string dir = "/" + std::string(200, 'd');
  ASSERT_EQ(Getfilepath(dir.c_str(), std::string(53, 'n').c_str(), out), 0);
  EXPECT_EQ(strlen(out), 255u);
  EXPECT_EQ(Getfilepath(dir.c_str(), std::string(54, 'n').c_str(), out), -1);
  EXPECT_STREQ(out, "");
}

TEST_F(FilesTest, DeleteEmptiesATreeButKeepsDirectoriesAndLinks) {
  root_.write("/d/top.txt", "1");
  root_.write("/d/l1/mid.bin", "2");
  root_.write("/d/l1/l2/deep.jpg", "3");
  root_.write("/d/l1/l2/deep2.jpg", "3");
  root_.write("/keep/target.txt", "keep");
  root_.write("/keep/sub/inner.txt", "keep");
  symlink(root_.file("/keep/target.txt").c_str(), root_.file("/d/l1/file_link").c_str());
  symlink(root_.file("/keep").c_str(), root_.file("/d/l1/l2/dir_link").c_str());
  mkfifo(root_.file("/d/pipe").c_str(), 0644);

  DeleteFile("/d");

  EXPECT_FALSE(root_.exists("/d/top.txt"));
  EXPECT_FALSE(root_.exists("/d/l1/mid.bin"));
  EXPECT_FALSE(root_.exists("/d/l1/l2/deep.jpg"));
  EXPECT_FALSE(root_.exists("/d/l1/l2/deep2.jpg"));
  EXPECT_TRUE(root_.exists("/d/l1/l2"));
  EXPECT_TRUE(root_.exists("/d/l1/file_link"));
  EXPECT_TRUE(root_.exists("/d/l1/l2/dir_link"));
  EXPECT_TRUE(root_.exists("/d/pipe"));
  EXPECT_EQ(root_.read("/keep/target.txt"), "keep");
  EXPECT_EQ(root_.read("/keep/sub/inner.txt"), "keep");
}

TEST_F(FilesTest, DeleteSkipsOverlongPathsAndDeletesTheRest) {
  std::string longdir = "/del/" + std::string(200, 'L');
  root_.write(longdir + "/" + std::string(49, 'k'), "fits");  // 255 characters
  root_.write(longdir + "/" + std::string(50, 'k'), "too long");
  root_.write(longdir + "/" + std::string(60, 's') + "/x", "under a skipped dir");
  root_.write("/del/a.txt", "a");
  root_.write("/del/z.txt", "z");

  DeleteFile("/del");

  EXPECT_FALSE(root_.exists(longdir + "/" + std::string(49, 'k')));
  EXPECT_TRUE(root_.exists(longdir + "/" + std::string(50, 'k')));
  EXPECT_TRUE(root_.exists(longdir + "/" + std::string(60, 's') + "/x"));
  EXPECT_FALSE(root_.exists("/del/a.txt"));
  EXPECT_FALSE(root_.exists("/del/z.txt"));
}

TEST_F(FilesTest, DeleteOfAFileAMissingPathAndTheEmptyName) {
  root_.write("/one.txt", "1");
  root_.write("/two.txt", "2");
  DeleteFile("/one.txt");
  EXPECT_FALSE(root_.exists("/one.txt"));
  DeleteFile("/nothing/here");
  DeleteFile("");  // must not stand for the device root
  EXPECT_TRUE(root_.exists("/two.txt"));
}

TEST_F(FilesTest, FileSizeFollowsLinksAndIsZeroWhenMissing) {
  root_.write("/s/f", std::string(1234, 'q'));
  symlink("f", root_.file("/s/l").c_str());
  EXPECT_EQ(GetFileSize("/s/f"), 1234u);
  EXPECT_EQ(GetFileSize("/s/l"), 1234u);
  testing::internal::CaptureStdout();
  EXPECT_EQ(GetFileSize("/s/missing"), 0u);
  EXPECT_EQ(GetFileSize(""), 0u);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("get file size failed"), std::string::npos);
}

TEST_F(FilesTest, StorageFiguresWithAndWithoutTheCard) {
  for (int i = 0; i < 6; i++) storage[i] = 0;
  storage[0] = 11;
  storage[1] = 22;
  storage[2] = 33;
  testing::internal::CaptureStderr();
  QuerryStorage();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("statvfs failed"), std::string::npos);
  EXPECT_EQ(storage[0], 11u);
  EXPECT_EQ(storage[1], 22u);
  EXPECT_EQ(storage[2], 33u);

  root_.mkdirs("/tmp/sdcard/mmcblk0p1");
  QuerryStorage();
  struct statvfs sv;
  ASSERT_EQ(statvfs(root_.file("/tmp/sdcard/mmcblk0p1").c_str(), &sv), 0);
  uint64_t total = uint64_t(sv.f_frsize) * sv.f_blocks / 1024;
  EXPECT_EQ(storage[0], uint32_t(total));
  EXPECT_GT(storage[0], 0u);
  EXPECT_EQ(storage[1] + storage[2], storage[0]);
  EXPECT_EQ(storage[3] + storage[4] + storage[5], 0u);
}

}  // namespace
