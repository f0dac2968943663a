// panelctl's file subcommands against the daemon under `panelsim run`.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tests/harness/harness.h"

namespace {

using harness::DeviceRoot;

using harness::SimRun;

std::string local_file(const DeviceRoot& root, const std::string& name, size_t n) {
  std::string path = root.path() + "/../" + name;
  std::string data(n, '\0');
  for (size_t i = 0; i < n; i++) data[i] = char(i * 13 + 1);
  FILE* f = fopen(path.c_str(), "wb");
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
  return path;
}

TEST(PanelctlFiles, TransferListSizeDeleteAndStorage) {
  DeviceRoot root;
  SimRun sim(root);
  ASSERT_TRUE(root.exists("/host/ttyGS0"));
  int st;
  std::string err;
  std::string out = sim.ctl("storage", &st, &err);
  ASSERT_EQ(st, 0) << err;
  EXPECT_EQ(out, "total 0 KiB, used 0 KiB, available 0 KiB\n");

  std::string small = local_file(root, "small.bin", 3000);
  out = sim.ctl("put " + small + " /media/s.bin", &st, &err);
  EXPECT_EQ(st, 0) << err;
  EXPECT_EQ(out, "put /media/s.bin: 3000 bytes\n");
  EXPECT_EQ(root.read("/media/s.bin").size(), 3000u);

  // Uneven chunks: 5 chunks of 1000 bytes and a last one of 500.
  std::string big = local_file(root, "big.bin", 5500);
  out = sim.ctl("--json upload " + big + " /media/u.bin --chunk 1000", &st, &err);
  EXPECT_EQ(st, 0) << err;
  EXPECT_EQ(out, "{\"path\":\"/media/u.bin\",\"bytes\":5500}\n");
  EXPECT_EQ(err, "");  // no progress bar when stderr is not a terminal
  std::string want = root.read("/../big.bin");
  EXPECT_EQ(root.read("/media/u.bin"), want);

  // An empty file is one last chunk of nothing.
  std::string empty = local_file(root, "empty.bin", 0);
  out = sim.ctl("upload " + empty + " /media/e.bin", &st, &err);
  EXPECT_EQ(st, 0) << err;
  EXPECT_TRUE(root.exists("/media/e.bin"));
  EXPECT_EQ(root.read("/media/e.bin"), "");

  out = sim.ctl("upload " + small + " /no/such/dir/f", &st, &err);
  EXPECT_NE(st, 0);
  EXPECT_NE(err.find("cannot create /no/such/dir/f"), std::string::npos) << err;

  out = sim.ctl("size /media/u.bin", &st);
  EXPECT_EQ(out, "5500\n");
  out = sim.ctl("--json size /media/none", &st);
  EXPECT_EQ(out, "{\"path\":\"/media/none\",\"size\":0}\n");

  harness::run("mkdir -p '" + root.file("/media/sub") + "'");
  out = sim.ctl("--json ls /media", &st, &err);
  EXPECT_EQ(st, 0) << err;
  EXPECT_NE(out.find("\"dirs\":["), std::string::npos) << out;
  EXPECT_NE(out.find("\"sub\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"u.bin\""), std::string::npos) << out;
  // Cut a round short by hand: ls still finds the start of its own listing.
  hostlink::HostLink link;
  ASSERT_TRUE(link.open(root.file("/host/ttyGS0")));
  hostlink::Packet r;
  for (int i = 0; i < 7; i++) ASSERT_TRUE(link.command(99, hostlink::name_params("/media"), &r));
  out = sim.ctl("ls /media/sub", &st, &err);
  EXPECT_EQ(st, 0) << err;
  EXPECT_EQ(out, "");  // an empty directory
  out = sim.ctl("ls /media/newdir", &st);
  EXPECT_EQ(out, "/media/newdir: no such directory; created it\n");
  EXPECT_TRUE(root.exists("/media/newdir"));
  out = sim.ctl("ls /no/parent/x", &st, &err);
  EXPECT_NE(st, 0);
  EXPECT_NE(err.find("cannot be created"), std::string::npos) << err;

  out = sim.ctl("rm /media/u.bin", &st);
  EXPECT_EQ(st, 0);
  EXPECT_FALSE(root.exists("/media/u.bin"));

  harness::run("mkdir -p '" + root.file("/tmp/sdcard/mmcblk0p1") + "'");
  out = sim.ctl("--json storage", &st);
  EXPECT_EQ(out.rfind("{\"total_kib\":", 0), 0u) << out;
  EXPECT_EQ(out.find("{\"total_kib\":0,"), std::string::npos) << out;
}

}  // namespace
