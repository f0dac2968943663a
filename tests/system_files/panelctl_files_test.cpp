// panelctl's file subcommands against the daemon under `panelsim run`.
#include <gtest/gtest.h>

#include <string>

#include "tests/harness/harness.h"

namespace {

TEST(PanelctlFiles, TransferListSizeDeleteAndStorage) {
  harness::DeviceRoot root;
  harness::SimRun sim(root);
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
  // Several chunks of the default size, the last one short, and an empty
  // file (one last chunk): whole, replacing the old content, closed, synced
  // and the page cache dropped before panelctl returns.
  std::string big(5 * 2097152 + 123, '\0');
  uint32_t x = 12345;
  for (char& c : big) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
  root.write("/../big.bin", big);
  root.write("/../empty.bin", "");
  auto closes = [&] { return harness::count(sim.log(), "close file"); };
  for (const std::string name : {"big.bin", "empty.bin"}) {
    const std::string dev = "/media/" + name, want = root.read("/../" + name);
    root.write(dev, "old content that must go");
    const int closed = closes();
    const std::string out = sim.ctl("upload " + root.file("/../" + name) + " " + dev, &st, &err);
    EXPECT_EQ(st, 0) << err;
    EXPECT_EQ(out.rfind("uploaded " + dev + ": " + std::to_string(want.size()) + " bytes in ", 0),
              0u)
        << out;
    EXPECT_NE(out.find(" MB/s\n"), std::string::npos) << out;
    EXPECT_EQ(err, "");
    EXPECT_TRUE(root.read(dev) == want) << dev;
    EXPECT_EQ(root.read("/proc/sys/vm/drop_caches"), "1\n");
    root.write("/proc/sys/vm/drop_caches", "");
    EXPECT_EQ(closes(), closed + 1) << dev;
  }
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

}  // namespace
