// Reserved memory and the 180-degree rotate.
#include <sys/stat.h>

#include <set>
#include <thread>
#include <vector>

#include "platform/display.h"
#include "tests/display/display_root.h"

namespace {

using MemoryTest = DisplayTest;

TEST_F(MemoryTest, AllocatesAlignedFirstFitPieces) {
  int fd = rmem_open();
  ASSERT_GE(fd, 0);
  uint32_t pa, pb, pc, pd;
  uint8_t* a = static_cast<uint8_t*>(rmem_alloc(fd, &pa, 3700000));
  uint8_t* b = static_cast<uint8_t*>(rmem_alloc(fd, &pb, 4096));
  ASSERT_TRUE(a && b);
  EXPECT_NE(pa, 0u);
  EXPECT_EQ(pa % 4096, 0u);
  EXPECT_EQ(pb, pa + 3702784);  // rounded up to whole pages
  EXPECT_EQ(rmem_phys_to_virt(pb), b);
  EXPECT_EQ(rmem_phys_to_virt(pa + 17), a + 17);
  EXPECT_EQ(rmem_phys_to_virt(1), nullptr);
  a[0] = 1;
  a[3699999] = 2;

  rmem_free(fd, b, pa, 4096);  // mismatched pair: ignored
  rmem_free(fd, a, pa, 3700000);
  uint8_t* c = static_cast<uint8_t*>(rmem_alloc(fd, &pc, 8192));
  EXPECT_EQ(c, a);  // first fit reuses the hole
  EXPECT_EQ(pc, pa);
  EXPECT_EQ(rmem_alloc(fd, &pd, 0), nullptr);
  EXPECT_EQ(rmem_alloc(fd, &pd, 65u << 20), nullptr);
  rmem_close(fd);
  b[100] = 7;  // still valid after the close
  struct stat st;
  ASSERT_EQ(stat((root_ + sim_rmem_file).c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), uint64_t(sim_rmem_size));
}

TEST_F(MemoryTest, RunsOutCleanlyAndConcurrently) {
  int fd = rmem_open();
  ASSERT_GE(fd, 0);
  std::vector<std::thread> threads;
  std::vector<std::vector<uint32_t>> got(4);
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&, t] {
      uint32_t phys;
      while (rmem_alloc(fd, &phys, 1 << 20)) got[t].push_back(phys);
    });
  for (auto& t : threads) t.join();
  std::set<uint32_t> all;
  for (auto& g : got) all.insert(g.begin(), g.end());
  EXPECT_EQ(all.size(), 64u);  // 64 MiB in 1 MiB pieces, none handed out twice
  rmem_close(fd);
}

std::vector<uint8_t> rotate_ref(const std::vector<uint8_t>& src, int w, int h, int ss, int bpe) {
  std::vector<uint8_t> out(size_t(w) * h * bpe);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      for (int k = 0; k < bpe; k++)
        out[(size_t(y) * w + x) * bpe + k] =
            src[size_t(h - 1 - y) * ss + size_t(w - 1 - x) * bpe + k];
  return out;
}

TEST(Rotate180, MatchesReferenceForPlanesAndPairs) {
  for (int bpe : {1, 2})
    for (int ss_extra : {0, 3, 8}) {
      const int w = 37, h = 11, ss = w * bpe + ss_extra;
      std::vector<uint8_t> src(size_t(ss) * h + 1);
      for (size_t i = 0; i < src.size(); i++) src[i] = uint8_t(i * 7 + 3);
      // An odd offset also forces the unaligned path for pairs.
      for (int shift : {0, 1}) {
        std::vector<uint8_t> s(src.begin() + shift, src.end());
        std::vector<uint8_t> dst(size_t(w) * h * bpe + 1, 0xEE);
        ASSERT_EQ(msa_rotate180(src.data() + shift, dst.data(), w, h, ss, w * bpe, bpe), 0);
        EXPECT_EQ(dst.back(), 0xEE);  // not one byte past the end
        dst.pop_back();
        EXPECT_EQ(dst, rotate_ref(s, w, h, ss, bpe)) << "bpe " << bpe << " stride " << ss;
      }
    }
  uint8_t one = 0;
  EXPECT_EQ(msa_rotate180(&one, &one, 1, 1, 1, 1, 4), -1);
  EXPECT_EQ(msa_rotate180(&one, &one, -1, 1, 1, 1, 1), -1);
  EXPECT_EQ(msa_rotate180(&one, &one, 0, 0, 0, 0, 1), 0);
}

}  // namespace
