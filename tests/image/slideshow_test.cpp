// The slideshow thread: directory order, looping, stop, the pause after an
// emptied directory, restart while a stopped thread still pauses, and the
// boot logo.
#include "image/slideshow.h"

#include <dirent.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "common/state.h"
#include "image/jpeg.h"
#include "storage/files.h"
#include "tests/image/panel.h"
#include "tests/image/pictures.h"

namespace {

using testpanel::PanelTest;

class Slideshow : public PanelTest {
 protected:
  void SetUp() override {
    ImgPlaying = 0;
    ASSERT_TRUE(eventually([] { return slideshow_threads() == 0; }, 3000));
    storage[0] = 0;
    // Only the pictures of the test in the image directory.
    harness::run("rm -rf '" + root().file("/usr/data/img") + "' && mkdir -p '" +
                 root().file("/usr/data/img") + "'");
  }
  void TearDown() override {
    ImgPlaying = 0;
    EXPECT_TRUE(eventually([] { return slideshow_threads() == 0; }, 3000));
  }
  void add(const std::string& dir, const std::string& name, int level) {
    ASSERT_TRUE(testpic::write(root().file(dir + name),
                               testpic::encode(testpic::flat(1080, 2288, {level, level, level}))));
  }
  // Names of the regular files in the order the directory lists them.
  std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(root().file(dir).c_str());
    while (struct dirent* e = readdir(d))
      if (e->d_type == DT_REG) names.push_back(e->d_name);
    closedir(d);
    return names;
  }
  // The centre luma of the shown picture, changes only, for up to ms.
  std::vector<int> watch(int ms, size_t stop_after = SIZE_MAX) {
    std::vector<int> seen;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end && seen.size() < stop_after) {
      int l = shown().luma;
      // Two equal reads in a row: not a buffer caught mid-decode.
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (l >= 0 && l == shown().luma && (seen.empty() || std::abs(seen.back() - l) > 4))
        seen.push_back(l);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return seen;
  }
  static double cpu_seconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  }
};

int level_of(const std::string& name) { return name == "a.jpg" ? 50 : 190; }

TEST_F(Slideshow, ShowsEveryPictureInDirectoryOrderAndStartsOver) {
  add("/usr/data/img/", "a.jpg", level_of("a.jpg"));
  add("/usr/data/img/", "b.jpg", level_of("b.jpg"));
  harness::run("mkdir '" + root().file("/usr/data/img/sub") + "'");  // skipped
  auto order = listing("/usr/data/img/");
  ASSERT_EQ(order.size(), 2u);

  ASSERT_EQ(play_local_jpg_async(), 0);
  EXPECT_EQ(ImgPlaying, 1);
  // A second start while it runs does nothing.
  EXPECT_EQ(play_local_jpg_async(), 0);
  // a, b, a pause for the subdirectory, then a again.
  auto seen = watch(5000, 3);
  ASSERT_EQ(seen.size(), 3u);
  for (size_t i = 0; i < seen.size(); i++)
    EXPECT_NEAR(seen[i], level_of(order[i % 2]), 3) << "picture " << i;
  EXPECT_EQ(slideshow_threads(), 1);
}

TEST_F(Slideshow, StopEndsAfterTheCurrentPicture) {
  add("/usr/data/img/", "a.jpg", 60);
  add("/usr/data/img/", "b.jpg", 180);
  ASSERT_EQ(play_local_jpg_async(), 0);
  ASSERT_EQ(watch(3000, 1).size(), 1u);
  ImgPlaying = 0;  // what command 114 does
  // One picture's second plus a decode at most.
  EXPECT_TRUE(eventually([] { return slideshow_threads() == 0; }, 2500));
  int last = shown().luma;
  EXPECT_TRUE(watch(1300).size() <= 1u) << "pictures changed after the stop";
  EXPECT_EQ(shown().luma, last);
}

TEST_F(Slideshow, EmptyDirectoryEndsAndALaterStartRunsAgain) {
  ASSERT_EQ(play_local_jpg_async(), 0);
  EXPECT_TRUE(eventually([] { return slideshow_threads() == 0; }, 2000));
  EXPECT_EQ(ImgPlaying, 0);

  add("/usr/data/img/", "a.jpg", 70);
  ASSERT_EQ(play_local_jpg_async(), 0);
  EXPECT_EQ(ImgPlaying, 1);
  EXPECT_TRUE(eventually([] { return std::abs(shown().luma - 70) <= 2; }, 3000));
}

TEST_F(Slideshow, MissingDirectoryEndsTheThreadAndGivesBackTheFlag) {
  harness::run("rm -rf '" + root().file("/usr/data/img") + "'");
  EXPECT_EQ(play_local_jpg_thread(nullptr), reinterpret_cast<void*>(intptr_t(-1)));
  ASSERT_EQ(play_local_jpg_async(), 0);
  EXPECT_TRUE(eventually([] { return slideshow_threads() == 0; }, 2000));
  EXPECT_EQ(ImgPlaying, 0);
}

TEST_F(Slideshow, EmptiedDirectoryPausesInsteadOfSpinning) {
  add("/usr/data/img/", "a.jpg", 100);
  ASSERT_EQ(play_local_jpg_async(), 0);
  ASSERT_TRUE(eventually([] { return std::abs(shown().luma - 100) <= 2; }, 3000));
  root().remove("/usr/data/img/a.jpg");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // into the empty passes
  double cpu0 = cpu_seconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_LT(cpu_seconds() - cpu0, 0.3) << "the slideshow rescans without pausing";
  EXPECT_EQ(ImgPlaying, 1);
  EXPECT_EQ(slideshow_threads(), 1);
  // A picture added later is found on a following pass.
  add("/usr/data/img/", "c.jpg", 160);
  EXPECT_TRUE(eventually([] { return std::abs(shown().luma - 160) <= 2; }, 3500));
}

TEST_F(Slideshow, RestartWhileTheStoppedThreadPausesLeavesOneSlideshow) {
  // Plane state updates made by one shown picture.
  auto pic = testpic::encode(testpic::flat(1080, 2288, {10, 10, 10}));
  uint32_t u0 = updates();
  ASSERT_EQ(show_jpg_buffer_nv12(pic.data(), pic.size()), 0);
  uint32_t per_show = updates() - u0;
  ASSERT_GT(per_show, 0u);

  add("/usr/data/img/", "a.jpg", 60);
  add("/usr/data/img/", "b.jpg", 180);
  ASSERT_EQ(play_local_jpg_async(), 0);
  ASSERT_EQ(watch(3000, 1).size(), 1u);
  ImgPlaying = 0;
  ASSERT_EQ(play_local_jpg_async(), 0);  // the old thread is still in its second
  EXPECT_EQ(ImgPlaying, 1);
  EXPECT_TRUE(eventually([] { return slideshow_threads() == 1; }, 2500));
  // One picture a second, not two.
  u0 = updates();
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  uint32_t shows = (updates() - u0) / per_show;
  EXPECT_GE(shows, 2u);
  EXPECT_LE(shows, 4u);
  EXPECT_EQ(slideshow_threads(), 1);
}

TEST_F(Slideshow, CardImageDirectoryWhenACardIsPresent) {
  add("/usr/data/img/", "a.jpg", 60);
  harness::run("mkdir -p '" + root().file("/tmp/sdcard/mmcblk0p1/img") + "'");
  add("/tmp/sdcard/mmcblk0p1/img/", "card.jpg", 220);
  storage[0] = 1024;
  ASSERT_EQ(play_local_jpg_async(), 0);
  EXPECT_TRUE(eventually([] { return std::abs(shown().luma - 220) <= 2; }, 3000));
  EXPECT_TRUE(watch(1500).size() <= 1u) << "the card's directory holds one picture";
}

TEST_F(Slideshow, BootLogoIsTheStoredLogo) {
  add("/media/", "logo.jpg", 33);  // replaces the generated logo
  int index = jpg_buffer_num;
  EXPECT_EQ(playBootAnnimation(), 0);
  EXPECT_NE(jpg_buffer_num, index);
  EXPECT_NEAR(shown().luma, 33, 2);
  root().remove("/media/logo.jpg");
  EXPECT_EQ(playXyzAnnimation(), -1);
}

}  // namespace
