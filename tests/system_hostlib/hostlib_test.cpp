// The host library and the protocol reference against the real daemon: the
// document's command table and worked example, the C API, the installed
// library built into an example program, and the Python module.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/command.h"
#include "tests/harness/harness.h"
#include "tests/image/pictures.h"
#include "tools/hostlink/panelhost.h"

namespace {

using harness::Daemon;
using harness::DeviceRoot;
using harness::SimRun;

std::string source(const std::string& rel) { return std::string(PANELD_SOURCE_DIR) + "/" + rel; }

TEST(ProtocolDoc, CommandTableListsExactlyTheRegisteredCodes) {
  const std::string doc = harness::read_file(source("docs/protocol.md"));
  const size_t at = doc.find("\n## Command table\n");
  ASSERT_NE(at, std::string::npos);
  std::istringstream in(doc.substr(at, doc.find("\n## ", at + 1) - at));
  std::vector<int> documented, registered;
  std::string line;
  int code;
  char bar;
  while (std::getline(in, line))
    if (sscanf(line.c_str(), "| %d %c", &code, &bar) == 2 && bar == '|') documented.push_back(code);
  for (int c = 0; c < 256; ++c)  // the only use of the daemon's registry
    if (find_command(static_cast<uint8_t>(c))) registered.push_back(c);
  std::sort(documented.begin(), documented.end());
  ASSERT_FALSE(registered.empty());
  EXPECT_EQ(documented, registered);  // each code once, none missing, none extra
}

// The C library encodes as the Python module does, which its own test holds
// to the document's worked example (the command and the device's reply).
TEST(ProtocolDoc, CLibraryEncodesAsThePythonModule) {
  std::vector<uint8_t> params(40);
  for (size_t i = 0; i < params.size(); ++i) params[i] = uint8_t(i);
  uint8_t pkt[PANELHOST_PACKET_LEN];
  ASSERT_EQ(panelhost_encode(51, 7, params.data(), params.size(), pkt), 0);
  std::string py;
  ASSERT_EQ(harness::run("PYTHONPATH=" + source("python") +
                             " /usr/bin/python3 -c 'import sys, panelhost; sys.stdout.buffer.write("
                             "panelhost.encode(51, bytes(range(40)), tag=7))'",
                         &py),
            0);
  EXPECT_TRUE(py == std::string(pkt, pkt + sizeof pkt));
}

// A connection through the C API on the harness's host line.
class CApi : public ::testing::Test {
 protected:
  void SetUp() override {
    h_ = panelhost_open_fd(d_.host().fd());
    ASSERT_NE(h_, nullptr);
  }
  void TearDown() override { panelhost_close(h_); }
  DeviceRoot root_;
  Daemon d_{root_};
  panelhost* h_ = nullptr;
};

TEST_F(CApi, FilesRoundTrip) {
  // Three chunks, the last one short.
  std::vector<uint8_t> data(2 * PANELHOST_BLOCK_MAX + 12345);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  ASSERT_EQ(panelhost_upload(h_, "/usr/data/img/big.bin", data.data(), data.size()), 0)
      << panelhost_error(h_);
  EXPECT_EQ(root_.read("/usr/data/img/big.bin"), std::string(data.begin(), data.end()));
  uint32_t size = 0;
  ASSERT_EQ(panelhost_file_size(h_, "/usr/data/img/big.bin", &size), 0);
  EXPECT_EQ(size, data.size());
  ASSERT_EQ(panelhost_upload(h_, "/usr/data/img/empty", nullptr, 0), 0) << panelhost_error(h_);
  EXPECT_TRUE(root_.exists("/usr/data/img/empty"));

  char text[2048];
  ASSERT_EQ(panelhost_list(h_, "/usr/data/img", text, sizeof text), 0);
  EXPECT_EQ(std::string(text).rfind("result:dir:file:", 0), 0u) << text;
  EXPECT_NE(std::string(text).find("big.bin/"), std::string::npos) << text;

  // A listing abandoned part-way by another host does not confuse the next.
  std::vector<uint8_t> p(8);
  hostlink::put_be32(p, 0, 6);
  p.insert(p.end(), {'/', 'm', 'e', 'd', 'i', 'a'});
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(panelhost_exchange(h_, 99, p.data(), p.size(), nullptr, 0, nullptr), 0);
  ASSERT_EQ(panelhost_list(h_, "/usr/data/img", text, sizeof text), 0);
  EXPECT_NE(std::string(text).find("big.bin/"), std::string::npos) << text;
  ASSERT_EQ(panelhost_list(h_, "/usr/data/new", text, sizeof text), 0);
  EXPECT_STREQ(text, "result:nodir-createdone");

  ASSERT_EQ(panelhost_delete(h_, "/usr/data/img/big.bin"), 0);
  EXPECT_FALSE(root_.exists("/usr/data/img/big.bin"));
  ASSERT_EQ(panelhost_file_size(h_, "/usr/data/img/big.bin", &size), 0);
  EXPECT_EQ(size, 0u);

  uint32_t kib[3] = {1, 1, 1};
  ASSERT_EQ(panelhost_storage(h_, kib), 0);  // no SD card in a fresh root
  EXPECT_EQ(kib[0], 0u);

  // The device cannot create a file in a missing directory: an error, not
  // a silent success.
  EXPECT_EQ(panelhost_upload(h_, "/no/such/dir/f", "x", 1), -1);
  EXPECT_NE(std::string(panelhost_error(h_)).find("cannot create"), std::string::npos);
}

// Calls that cannot work fail before sending; late replies are skipped; a
// line out of step recovers.
TEST_F(CApi, BadCallsLateRepliesAndALineOutOfStep) {
  struct Case {
    const char* what;
    int rc;
  };
  std::vector<uint8_t> big(PANELHOST_BULK_MAX + 1);
  std::vector<uint8_t> params(PANELHOST_PARAMS_MAX + 1);
  std::string long_path(PANELHOST_PARAMS_MAX, 'a');
  const Case cases[] = {
      {"payload over 2 MiB",
       panelhost_exchange(h_, 101, nullptr, 0, big.data(), big.size(), nullptr)},
      {"parameters too long",
       panelhost_exchange(h_, 254, params.data(), params.size(), nullptr, 0, nullptr)},
      {"block over 1 MiB",
       panelhost_h264_block(h_, 0, 1, 1, big.data(), PANELHOST_BLOCK_MAX + 1, 0, nullptr)},
      {"band beyond the bands", panelhost_h264_block(h_, 1, 1, 1, big.data(), 10, 0, nullptr)},
      {"path too long", panelhost_file_size(h_, long_path.c_str(), nullptr)},
      {"empty path", panelhost_delete(h_, "")},
      {"brightness over 100", panelhost_brightness(h_, 101)},
      {"month 13", panelhost_set_clock(h_, 2026, 13, 1, 0, 0, 0, 2)},
      {"reply without a command", panelhost_reply(h_, nullptr, 100)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.rc, -1) << c.what;

  // Two commands sent before reading: the first reply is stale for the
  // second and is skipped.
  ASSERT_EQ(panelhost_command(h_, 17, nullptr, 0), 0);
  ASSERT_EQ(panelhost_command(h_, 10, nullptr, 0), 0);
  uint8_t r[PANELHOST_PACKET_LEN];
  ASSERT_EQ(panelhost_reply(h_, r, 5000), 0) << panelhost_error(h_);
  EXPECT_EQ(r[0], 10);

  // One stray byte puts the line out of step: the next packet is misread
  // and dropped, so no reply comes. The documented recovery: 2.5 s of
  // silence, then go on.
  const uint8_t stray = 0x55;
  ASSERT_TRUE(d_.host().send_bytes(&stray, 1));
  panelhost_set_timeout(h_, 500);
  EXPECT_EQ(panelhost_nop(h_), -1);
  EXPECT_NE(std::string(panelhost_error(h_)).find("no reply"), std::string::npos);
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  d_.host().drain();
  panelhost_set_timeout(h_, 5000);
  char id[26];
  ASSERT_EQ(panelhost_identity(h_, id), 0) << panelhost_error(h_);
  EXPECT_STREQ(id, "pavrotek5_0001_2026091101");
}

TEST_F(CApi, TakeOverThenPicturesAndOverlaysReachThePanel) {
  // A fresh device: factory test mode, the offline screen over everything.
  testpic::Canvas c(1080, 2288);
  for (size_t i = 0; i < c.px.size(); i++) c.px[i] = i % 3 ? 40 : 200;  // red
  std::vector<uint8_t> jpg = testpic::encode(c);
  // Refused while the offline screen runs, not decoded, and its payload read
  // off the line: the next exchange is answered.
  ASSERT_EQ(panelhost_show_jpeg(h_, jpg.data(), jpg.size()), 0);
  ASSERT_TRUE(d_.wait_log("error fail jpg", 3000)) << d_.log();
  EXPECT_EQ(d_.count_log("jpg_buffer_num"), 0) << d_.log();

  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(panelhost_take_over(h_, 15000), 0) << panelhost_error(h_);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(8));
  uint8_t clock_state = 0, offline_state = 0;
  int playing = 1;
  ASSERT_EQ(panelhost_standby_stop(h_, &clock_state, &offline_state), 0);
  EXPECT_EQ(clock_state, 0xFF);
  EXPECT_EQ(offline_state, 0xFF);
  ASSERT_EQ(panelhost_local_playing(h_, &playing), 0);
  EXPECT_EQ(playing, 0);

  ASSERT_EQ(panelhost_show_jpeg(h_, jpg.data(), jpg.size()), 0);
  harness::Image snap;
  ASSERT_TRUE(harness::snapshot(root_, "video", &snap));
  for (int ch = 0; ch < 3; ch++) EXPECT_NEAR(snap.at(540, 1200)[ch], ch ? 40 : 200, 6) << ch;

  // A small opaque PNG at x 100, y 50 of the usable area, which starts at
  // the panel's default y offset, row 84.
  const int top = 84;
  std::string png;
  ASSERT_EQ(harness::ffmpeg("-f lavfi -i color=c=0x00ff00:s=64x32 "
                            "-frames:v 1 -f image2pipe -c:v png -",
                            &png),
            0);
  ASSERT_EQ(panelhost_png_frame(h_, png.data(), png.size(), 100, 50, 1, nullptr), 0);
  EXPECT_TRUE(harness::wait_until(
      [&] {
        if (!harness::snapshot(root_, "overlay", &snap)) return false;
        const uint8_t* o = snap.at(110, top + 60);
        return o[0] < 4 && o[1] > 250 && o[2] < 4 && o[3] == 255;
      },
      2000, 100));
  EXPECT_EQ(snap.at(99, top + 60)[3], 0) << "left of the picture stays transparent";
  ASSERT_EQ(panelhost_clear_overlay(h_), 0);
  ASSERT_TRUE(harness::snapshot(root_, "overlay", &snap));
  EXPECT_EQ(snap.at(110, top + 60)[3], 0);
}

TEST_F(CApi, StreamsPlayAndEachNewStampStartsAfresh) {
  const std::string clip = root_.read("/usr/data/boot.h264");  // 30 pictures
  ASSERT_FALSE(clip.empty());
  EXPECT_EQ(panelhost_h264_start(h_, 1, 1000), -1) << "the offline screen still runs";
  EXPECT_NE(std::string(panelhost_error(h_)).find("refuses video"), std::string::npos);
  ASSERT_EQ(panelhost_take_over(h_, 15000), 0) << panelhost_error(h_);
  for (uint32_t stamp : {7u, 8u, 9u}) {
    ASSERT_EQ(panelhost_h264_start(h_, stamp, 5000), 0) << panelhost_error(h_);
    uint8_t fill = 0;
    ASSERT_EQ(panelhost_h264_block(h_, 0, 1, stamp, clip.data(), clip.size(), 1, &fill), 0);
    EXPECT_EQ(fill, 1);
    // The highest frame number the counter shows: the picture of a stream's
    // last block sets the counter back to 1.
    uint32_t shown = 0, f = 0;
    EXPECT_TRUE(harness::wait_until(
        [&] { return panelhost_frame_counter(h_, &f) == 0 && (shown = std::max(shown, f)) >= 25; },
        20000, 10))
        << "stamp " << stamp << ": " << shown << "\n"
        << d_.log();
  }
  ASSERT_EQ(panelhost_stop_video(h_), 0);
}

// The Python module and its example against `panelsim run`.
TEST(Python, ModuleAndExampleDriveTheDevice) {
  DeviceRoot root;
  SimRun sim(root);
  const std::string dev = root.path() + "/host/ttyGS0";
  std::string out;
  int st = harness::run("PYTHONPATH=" + source("python") + " PANELHOST_DEVICE=" + dev +
                            " PANELD_SOURCE_DIR=" + source("") + " /usr/bin/python3 " +
                            source("tests/system_hostlib/panelhost_test.py") + " 2>&1",
                        &out);
  EXPECT_EQ(st, 0) << out;
  EXPECT_TRUE(root.exists("/usr/data/from_python.bin")) << out;

  root.write("/tmp/example.jpg", root.read("/media/logo.jpg"));
  st = harness::run("/usr/bin/python3 " + source("python/example.py") + " " + dev + " " +
                        root.file("/tmp/example.jpg") + " 2>&1",
                    &out);
  EXPECT_EQ(st, 0) << out;
  EXPECT_NE(out.find("device pavrotek5_0001_2026091101"), std::string::npos) << out;
  EXPECT_NE(out.find("showed"), std::string::npos) << out;
}

// Flags the installed library was built with, for programs linked to it.
#if defined(__SANITIZE_ADDRESS__)
constexpr const char* kSanitize = "-fsanitize=address,undefined";
#elif defined(__SANITIZE_THREAD__)
constexpr const char* kSanitize = "-fsanitize=thread";
#else
constexpr const char* kSanitize = "";
#endif

TEST(Install, ProgramsBuiltAgainstThePrefixTalkToTheDevice) {
  DeviceRoot work(false);
  const std::string prefix = work.path() + "/prefix";
  const std::string flags = kSanitize;
  std::string out;
  ASSERT_EQ(harness::run(
                "cmake --install " + harness::build_dir() + " --prefix " + prefix + " 2>&1", &out),
            0)
      << out;
  const std::string ex = prefix + "/share/doc/panelhost/example";
  ASSERT_EQ(
      harness::run("cmake -S " + ex + " -B " + work.path() + "/ex -DCMAKE_PREFIX_PATH=" + prefix +
                       " '-DCMAKE_C_FLAGS=" + flags + "' '-DCMAKE_EXE_LINKER_FLAGS=" + flags +
                       "' >/dev/null 2>&1 && cmake --build " + work.path() + "/ex 2>&1",
                   &out),
      0)
      << out;

  // The C++ wrapper through pkg-config.
  work.write(
      "/hello.cpp",
      "#include <panelhost.hpp>\n#include <cstdio>\n"
      "int main(int, char** argv) {\n"
      "  panel::Device d(argv[1]);\n  std::string id;\n"
      "  if (!d.identity(&id)) { std::fprintf(stderr, \"%s\\n\", d.error().c_str()); return 1; }\n"
      "  std::printf(\"c++ %s\\n\", id.c_str());\n  return 0;\n}\n");
  const std::string pc = "PKG_CONFIG_PATH=$(dirname $(find " + prefix + " -name panelhost.pc)) ";
  ASSERT_EQ(
      harness::run(pc + "sh -c 'c++ -std=c++17 " + flags + " " + work.file("/hello.cpp") + " -o " +
                       work.path() + "/hello_cpp $(pkg-config --cflags --libs panelhost)' 2>&1",
                   &out),
      0)
      << out;

  DeviceRoot root;
  SimRun sim(root);
  const std::string dev = root.path() + "/host/ttyGS0";
  root.write("/tmp/example.jpg", root.read("/media/logo.jpg"));
  ASSERT_EQ(harness::run(work.path() + "/ex/panel_hello " + dev + " " +
                             root.file("/tmp/example.jpg") + " 2>&1",
                         &out),
            0)
      << out;
  EXPECT_NE(out.find("panelhost 1.0.0, device pavrotek5_0001_2026091101"), std::string::npos)
      << out;
  EXPECT_NE(out.find("showed"), std::string::npos) << out;

  const std::string libdir = "$(dirname $(find " + prefix + " -name 'libpanelhost.so' | head -1))";
  ASSERT_EQ(
      harness::run("LD_LIBRARY_PATH=" + libdir + " " + work.path() + "/hello_cpp " + dev + " 2>&1",
                   &out),
      0)
      << out;
  EXPECT_EQ(out, "c++ pavrotek5_0001_2026091101\n");

  const std::string py = "$(dirname $(find " + prefix + " -name panelhost.py))";
  ASSERT_EQ(harness::run("PYTHONPATH=" + py +
                             " /usr/bin/python3 -c 'import panelhost; print(panelhost.Panel(\"" +
                             dev + "\").identity())' 2>&1",
                         &out),
            0)
      << out;
  EXPECT_EQ(out, "pavrotek5_0001_2026091101\n");
  EXPECT_EQ(harness::run("test -f " + prefix + "/share/doc/panelhost/protocol.md"), 0);
}

}  // namespace
