// panelctl's file subcommands against the daemon under `panelsim run`.
#include <gtest/gtest.h>

#include <string>

#include "tests/harness/harness.h"

namespace {

TEST(PanelctlFiles, TransferListSizeDeleteAndStorage) {
  harness::DeviceRoot root;
  harness::SimRun sim(root);
  ASSERT_TRUE(root.exists("/host/ttyGS0"));
  int st;
  std::string err, data;
  for (size_t i = 0; i < 5500; i++) data += char(i * 13 + 1);
  root.write("/../local.bin", data);
  const std::string local = root.file("/../local.bin");
  EXPECT_EQ(sim.ctl("storage", &st), "total 0 KiB, used 0 KiB, available 0 KiB\n");
  EXPECT_EQ(sim.ctl("put " + local + " /media/s.bin", &st), "put /media/s.bin: 5500 bytes\n");
  EXPECT_EQ(root.read("/media/s.bin"), data);
  // Five chunks of 1000 bytes and a last one of 500; no progress bar when
  // stderr is not a terminal.
  std::string up = sim.ctl("--json upload " + local + " /media/u.bin --chunk 1000", &st, &err);
  EXPECT_EQ(up.rfind("{\"path\":\"/media/u.bin\",\"bytes\":5500,\"seconds\":", 0), 0u) << up;
  EXPECT_NE(up.find(",\"mb_per_s\":"), std::string::npos) << up;
  EXPECT_EQ(st, 0);
  EXPECT_EQ(err, "");
  EXPECT_EQ(root.read("/media/u.bin"), data);
  sim.ctl("upload " + local + " /no/such/dir/f", &st, &err);
  EXPECT_NE(st, 0);
  EXPECT_NE(err.find("cannot create /no/such/dir/f"), std::string::npos) << err;
  EXPECT_EQ(sim.ctl("size /media/u.bin", &st), "5500\n");
  for (const std::string& bad : {root.file("/../none.bin"), root.file("/media")}) {
    EXPECT_EQ(sim.ctl("upload " + bad + " /media/v.bin", &st, &err), "");
    EXPECT_NE(st, 0);
    EXPECT_NE(err.find("panelctl: "), std::string::npos) << err;
  }
  EXPECT_FALSE(root.exists("/media/v.bin"));

  root.write("/media/sub/x", "");
  // A round cut short by another program: ls still finds its own listing.
  hostlink::HostLink link;
  ASSERT_TRUE(link.open(root.file("/host/ttyGS0")));
  hostlink::Packet r;
  for (int i = 0; i < 7; i++) ASSERT_TRUE(link.command(99, hostlink::name_params("/tmp"), &r));
  std::string out = sim.ctl("--json ls /media", &st);
  for (auto name : {"\"dirs\":[", "\"sub\"", "\"u.bin\"", "\"s.bin\""})
    EXPECT_NE(out.find(name), std::string::npos) << out;
  EXPECT_EQ(sim.ctl("ls /media/newdir", &st), "/media/newdir: no such directory; created it\n");
  EXPECT_TRUE(root.exists("/media/newdir"));

  EXPECT_EQ(sim.ctl("rm /media/u.bin", &st), "rm /media/u.bin: ok\n");
  EXPECT_EQ(st, 0);
  EXPECT_FALSE(root.exists("/media/u.bin"));
  harness::run("mkdir -p '" + root.file("/tmp/sdcard/mmcblk0p1") + "'");
  out = sim.ctl("--json storage", &st);
  EXPECT_EQ(out.rfind("{\"total_kib\":", 0), 0u) << out;
  EXPECT_EQ(out.find("{\"total_kib\":0,"), std::string::npos) << out;
}

// A file of several chunks in the default size, not a multiple of it: every
// byte arrives in order, the file is complete and closed when panelctl
// returns, and the summary carries the rate. An empty file is one last chunk.
TEST(PanelctlFiles, MultiMegabyteUploadArrivesWholeAndClosed) {
  harness::DeviceRoot root;
  harness::SimRun sim(root);
  ASSERT_TRUE(root.exists("/host/ttyGS0"));
  std::string data(5 * 2097152 + 123, '\0');
  uint32_t x = 12345;
  for (char& c : data) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  root.write("/../big.bin", data);
  root.write("/../empty.bin", "");
  struct Case {
    const char* local;
    const char* dev;
    size_t bytes;
  } cases[] = {{"/../big.bin", "/media/big.bin", data.size()},
               {"/../empty.bin", "/media/empty.bin", 0}};
  int closes = 0;
  for (const Case& c : cases) {
    root.write(c.dev, "old content that must go");
    int st;
    std::string err;
    std::string out = sim.ctl("upload " + root.file(c.local) + " " + c.dev, &st, &err);
    EXPECT_EQ(st, 0) << err;
    EXPECT_EQ(
        out.rfind("uploaded " + std::string(c.dev) + ": " + std::to_string(c.bytes) + " bytes in ",
                  0),
        0u)
        << out;
    EXPECT_NE(out.find(" MB/s\n"), std::string::npos) << out;
    EXPECT_EQ(err, "");  // no progress bar without a terminal
    EXPECT_EQ(root.read(c.dev), c.bytes ? data : std::string()) << c.dev;
    // Closed, synced and the page cache dropped before the last reply.
    EXPECT_EQ(root.read("/proc/sys/vm/drop_caches"), "1\n");
    root.write("/proc/sys/vm/drop_caches", "");
    closes++;
    size_t n = 0;
    std::string log = sim.log();
    for (size_t p = log.find("close file"); p != std::string::npos;
         p = log.find("close file", p + 1))
      n++;
    EXPECT_EQ(n, size_t(closes)) << log;
  }
}

}  // namespace
