// Showing JPEG pictures on plane 0: output buffer reservation, alternation,
// failures that leave the panel alone, concurrent callers, stored files.
#include <sys/stat.h>

#include <atomic>
#include <thread>
#include <vector>

#include "display/fb.h"
#include "image/jpeg.h"
#include "tests/image/panel.h"
#include "tests/image/pictures.h"

namespace {

using testpanel::PanelTest;

// A flat picture at the usable size whose luma is `level`.
std::vector<uint8_t> grey(int level) {
  return testpic::encode(testpic::flat(1080, 2288, {level, level, level}));
}

class Show : public PanelTest {};

TEST(CalcJpegOutputSize, SixteenAlignedNv12) {
  JpegdRequest r{0, 1080, 2288, 0, nullptr, {0, 0}};
  EXPECT_EQ(calc_jpeg_output_size(&r), 3734016u);
  r.width = 1;
  r.height = 1;
  EXPECT_EQ(calc_jpeg_output_size(&r), 384u);
  r.width = 368;
  r.height = 960;
  EXPECT_EQ(calc_jpeg_output_size(&r), 368u * 960 * 3 / 2);
  // No 32-bit wrap-around for absurd sizes: the result saturates.
  r.width = 0xFFFFFFF0u;
  r.height = 0xFFFFFFF0u;
  EXPECT_EQ(calc_jpeg_output_size(&r), 0xFFFFFFFFu);
}

TEST(CalcJpegOutputSizeDeathTest, ZeroAreaEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  JpegdRequest r{0, 0, 2288, 0, nullptr, {0, 0}};
  EXPECT_EXIT(calc_jpeg_output_size(&r), ::testing::ExitedWithCode(255), "");
}

TEST_F(Show, BuffersAlternateAndAFailedDecodeChangesNothing) {
  ASSERT_EQ(dev_width, 1080);
  ASSERT_EQ(dev_height, 2288);
  ASSERT_EQ(jpegd_output_size, 3735552u);
  ASSERT_NE(jpegd_output_vaddr[0], nullptr);
  ASSERT_NE(jpegd_output_vaddr[1], nullptr);
  ASSERT_NE(jpegd_output_paddr[0], jpegd_output_paddr[1]);
  ASSERT_EQ(jpg_buffer_num, 0);

  auto dark = grey(40), light = grey(200);
  ASSERT_EQ(show_jpg_buffer_nv12(dark.data(), dark.size()), 0);
  EXPECT_EQ(jpg_buffer_num, 1);
  Shown s = shown();
  EXPECT_EQ(s.y_phys, jpegd_output_paddr[0]);
  EXPECT_NEAR(s.luma, 40, 2);

  // Truncated, garbage and empty data: refused, the picture stays, and the
  // next decode still aims at the buffer that is not shown.
  std::vector<uint8_t> junk(3000, 0x5A);
  EXPECT_EQ(show_jpg_buffer_nv12(light.data(), light.size() / 2), -1);
  EXPECT_EQ(show_jpg_buffer_nv12(junk.data(), junk.size()), -1);
  EXPECT_EQ(show_jpg_buffer_nv12(light.data(), 0), -1);
  EXPECT_EQ(jpg_buffer_num, 1);
  s = shown();
  EXPECT_EQ(s.y_phys, jpegd_output_paddr[0]);
  EXPECT_NEAR(s.luma, 40, 2);

  ASSERT_EQ(show_jpg_buffer_nv12(light.data(), light.size()), 0);
  EXPECT_EQ(jpg_buffer_num, 0);
  s = shown();
  EXPECT_EQ(s.y_phys, jpegd_output_paddr[1]);
  EXPECT_NEAR(s.luma, 200, 2);

  ASSERT_EQ(show_jpg_buffer_nv12(dark.data(), dark.size()), 0);
  EXPECT_EQ(shown().y_phys, jpegd_output_paddr[0]);
  EXPECT_EQ(jpg_buffer_num, 1);
}

TEST_F(Show, LargerAreaThanReservedIsRefusedNotOverrun) {
  // A rotated panel reports a larger usable area than the buffers reserved
  // at start-up were made for.
  auto pic = grey(90);
  int32_t w = dev_width, h = dev_height;
  dev_width = 2400;
  dev_height = 1080;
  int r = show_jpg_buffer_nv12(pic.data(), pic.size());
  dev_width = w;
  dev_height = h;
  EXPECT_EQ(r, -1);
  EXPECT_EQ(show_jpg_buffer_nv12(pic.data(), pic.size()), 0);
}

TEST_F(Show, ConcurrentCallersAreSerialised) {
  // Every caller's decode must use its own request and output record: each
  // shown picture flips the buffer index exactly once, and what ends on the
  // panel is one whole picture.
  const int levels[4] = {30, 90, 150, 210};
  std::vector<std::vector<uint8_t>> pics;
  for (int l : levels) pics.push_back(grey(l));
  int before = jpg_buffer_num;
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; i++)
        if (show_jpg_buffer_nv12(pics[t].data(), pics[t].size()) == 0) ok++;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok, 20);
  EXPECT_EQ(jpg_buffer_num, before);  // 20 flips
  Shown s = shown();
  EXPECT_EQ(s.y_phys, jpegd_output_paddr[before ^ 1]);
  bool one_of = false;
  for (int l : levels) one_of |= std::abs(s.luma - l) <= 2;
  EXPECT_TRUE(one_of) << s.luma;
}

TEST_F(Show, StoredFiles) {
  auto pic = grey(120);
  ASSERT_TRUE(testpic::write(root().file("/usr/data/p.jpg"), pic));
  EXPECT_EQ(show_jpg_local("/usr/data/p.jpg"), 0);
  EXPECT_NEAR(shown().luma, 120, 2);
  int index = jpg_buffer_num;

  EXPECT_EQ(show_jpg_local("/usr/data/missing.jpg"), -1);
  // Not regular files: refused at once (a FIFO would block a plain open).
  EXPECT_EQ(show_jpg_local("/usr/data"), -1);
  ASSERT_EQ(mkfifo(root().file("/tmp/fifo").c_str(), 0644), 0);
  EXPECT_EQ(show_jpg_local("/tmp/fifo"), -1);
  // An empty file opens: 0, whatever the decoder makes of no data.
  root().write("/usr/data/empty.jpg", "");
  EXPECT_EQ(show_jpg_local("/usr/data/empty.jpg"), 0);
  EXPECT_EQ(jpg_buffer_num, index);
  EXPECT_NEAR(shown().luma, 120, 2);
}

}  // namespace
