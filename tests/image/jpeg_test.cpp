// The JPEG path inside this process, for what the daemon's interfaces cannot
// reach: concurrent callers, and the slideshow thread's order, pace and stop.
#include "image/jpeg.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/state.h"
#include "display/fb.h"
#include "image/slideshow.h"
#include "platform/sim/sim_state.h"
#include "storage/files.h"
#include "tests/harness/harness.h"
#include "tests/image/pictures.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> grey(int level) { return testpic::encode(testpic::flat(1080, 2288, level)); }

class Jpeg : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new harness::DeviceRoot(true);
    setenv("PANELD_ROOT", root_->path().c_str(), 1);
    init_disp();
    jpeg_nv12_decode_prepare();
  }
  static void TearDownTestSuite() { delete root_; }
  void SetUp() override {
    storage[0].store(0);  // no card: the slideshow reads /usr/data/img/
    harness::run("rm -rf '" + dir() + "' && mkdir -p '" + dir() + "'");
  }
  void TearDown() override {
    ImgPlaying.store(0);
    EXPECT_TRUE(harness::wait_until([] { return slideshow_threads() == 0; }, 3000));
  }
  static std::string dir() { return root_->file("/usr/data/img"); }
  static void add(const std::string& name, int level) {
    root_->write("/usr/data/img/" + name, testpic::bytes(grey(level)));
  }

  // Buffer and centre luma of the picture on plane 0, read through the
  // simulation files rather than memory the decoder may be writing.
  struct Shown {
    uint32_t y_phys = 0;
    int luma = -1;
    bool operator==(const Shown& o) const { return y_phys == o.y_phys && luma == o.luma; }
  };
  static Shown shown() {
    Shown s;
    SimPlaneState st;
    if (sim_state_read(root_->path(), &st) != 0 || !st.fb0_picture) return s;
    s.y_phys = st.fb0_cfg[9];
    int fd = open(root_->file(sim_rmem_file).c_str(), O_RDONLY | O_CLOEXEC);
    uint8_t b = 0;
    off_t off = off_t(s.y_phys - sim_rmem_phys_base) + off_t(st.fb0_cfg[2] / 2) * st.fb0_cfg[10] +
                st.fb0_cfg[1] / 2;
    if (fd >= 0 && pread(fd, &b, 1, off) == 1) s.luma = b;
    if (fd >= 0) close(fd);
    return s;
  }
  // Changes of the shown luma away from `last`, with their times (ms since
  // the call).
  static std::vector<std::pair<int, long>> watch(int ms, size_t stop_after, int last) {
    std::vector<std::pair<int, long>> seen;
    auto start = Clock::now();
    while (Clock::now() < start + std::chrono::milliseconds(ms) && seen.size() < stop_after) {
      int l = shown().luma;
      std::this_thread::sleep_for(5ms);  // two equal reads: not a buffer caught mid-decode
      if (l >= 0 && l == shown().luma && std::abs(last - l) > 4)
        seen.push_back({last = l, long((Clock::now() - start) / 1ms)});
      std::this_thread::sleep_for(15ms);
    }
    return seen;
  }
  static inline harness::DeviceRoot* root_ = nullptr;
};

TEST_F(Jpeg, ConcurrentCallersAreSerialised) {
  // Each shown picture flips the buffer index exactly once, and the panel
  // ends with one whole picture.
  const int levels[4] = {30, 90, 150, 210};
  int before = jpg_buffer_num;
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int level : levels)
    threads.emplace_back([&ok, level] {
      auto pic = grey(level);
      for (int i = 0; i < 5; i++) ok += show_jpg_buffer_nv12(pic.data(), pic.size()) == 0;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok, 20);
  EXPECT_EQ(jpg_buffer_num, before);
  Shown s = shown();
  EXPECT_EQ(s.y_phys, jpegd_output_paddr[before ^ 1]);
  bool one_of = false;
  for (int l : levels) one_of |= std::abs(s.luma - l) <= 2;
  EXPECT_TRUE(one_of) << s.luma;
}

TEST_F(Jpeg, SlideshowShowsTheDirectoryInOrderOneEntryASecondUntilStopped) {
  add("a.jpg", 50);
  add("b.jpg", 190);
  harness::run("mkdir '" + dir() + "/sub'");  // not shown, but costs its second
  std::vector<int> order;
  DIR* d = opendir(dir().c_str());
  while (struct dirent* e = readdir(d))
    if (e->d_type == DT_REG) order.push_back(e->d_name[0] == 'a' ? 50 : 190);
  closedir(d);

  const int before = shown().luma;  // none of the slideshow's levels
  ASSERT_EQ(play_local_jpg_async(), 0);
  EXPECT_EQ(play_local_jpg_async(), 0);  // already running: nothing more
  auto seen = watch(8000, 3, before);
  ASSERT_EQ(seen.size(), 3u);
  for (size_t i = 0; i < 3; i++) EXPECT_NEAR(seen[i].first, order[i % 2], 3) << i;
  EXPECT_GE(seen[1].second - seen[0].second, 900);
  EXPECT_GE(seen[2].second - seen[0].second, 2800) << "three entries, three seconds";
  EXPECT_EQ(slideshow_threads(), 1);

  ImgPlaying.store(0);  // what command 114 does: the current second runs out
  EXPECT_TRUE(harness::wait_until([] { return slideshow_threads() == 0; }, 2500));
  Shown last = shown();
  std::this_thread::sleep_for(1200ms);
  EXPECT_TRUE(shown() == last) << "a picture was shown after the stop";
}

TEST_F(Jpeg, EmptiedDirectoryPausesInsteadOfSpinning) {
  add("a.jpg", 100);
  ASSERT_EQ(play_local_jpg_async(), 0);
  ASSERT_TRUE(harness::wait_until([] { return std::abs(shown().luma - 100) <= 2; }, 3000));
  root_->remove("/usr/data/img/a.jpg");
  std::this_thread::sleep_for(1100ms);  // into the empty passes
  EXPECT_LT(harness::cpu_share(getpid(), 1500), 0.2) << "the slideshow rescans without pausing";
  EXPECT_EQ(ImgPlaying, 1);
  add("c.jpg", 160);  // found on a following pass
  EXPECT_TRUE(harness::wait_until([] { return std::abs(shown().luma - 160) <= 2; }, 3500));
}

}  // namespace
