// `panelsim view` in a real browser: headless Chromium loads the live page
// while `panelsim run` shows a JPEG frame and a PNG overlay sent with
// panelctl; the panel in the screenshot must match `panelsim snapshot`, and
// the page's USB-unplug control must reach the daemon.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "tests/harness/harness.h"

namespace {

using harness::DeviceRoot;

int free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return 18470;
  close(s);
  return ntohs(a.sin_port);
}

// An HTTP request through Python's standard library; the status code, and
// the body in *body.
int http(const std::string& method, const std::string& url, std::string* body = nullptr) {
  std::string out;
  harness::run(
      "/usr/bin/python3 -c \"import sys, urllib.request, urllib.error\n"
      "try:\n"
      "  r = urllib.request.urlopen(urllib.request.Request('" +
          url + "', method='" + method + "', data=b'' if '" + method +
          "' == 'POST' else None), timeout=20)\n"
          "  print(r.status); sys.stdout.write(r.read().decode('utf-8', 'replace'))\n"
          "except urllib.error.HTTPError as e:\n"
          "  print(e.code); sys.stdout.write(e.read().decode('utf-8', 'replace'))\n"
          "except Exception:\n"
          "  print(0)\" 2>/dev/null",
      &out);
  size_t nl = out.find('\n');
  if (body) *body = nl == std::string::npos ? "" : out.substr(nl + 1);
  return atoi(out.c_str());
}

std::string url(int port, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

std::string chromium(const std::string& what, const std::string& url) {
  std::string dir = harness::build_dir() + "/tests/chromium-" + std::to_string(getpid());
  std::string out;
  harness::run(
      "timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-quic "
      "--no-first-run --disable-background-networking --disable-component-update "
      "--disable-sync --user-data-dir='" +
          dir + "' " + what + " '" + url + "' 2>/dev/null",
      &out);
  harness::run("rm -rf '" + dir + "'");
  return out;
}

// Mean absolute difference per channel between the snapshot, scaled down
// by box sampling, and the screenshot's region at (x0, y0) of w x h.
double panel_difference(const harness::Image& snap, const harness::Image& shot, int x0, int y0,
                        int w, int h) {
  double sum = 0;
  long n = 0;
  // Leave a margin: the browser's scaling blurs the borders.
  for (int y = 4; y < h - 4; y += 3)
    for (int x = 4; x < w - 4; x += 3) {
      const int sx0 = x * snap.width / w, sx1 = (x + 1) * snap.width / w;
      const int sy0 = y * snap.height / h, sy1 = (y + 1) * snap.height / h;
      for (int c = 0; c < 3; c++) {
        double acc = 0;
        int cnt = 0;
        for (int sy = sy0; sy < sy1; sy++)
          for (int sx = sx0; sx < sx1; sx++, cnt++) acc += snap.at(sx, sy)[c];
        sum += std::fabs(acc / std::max(cnt, 1) - shot.at(x0 + x, y0 + y)[c]);
        n++;
      }
    }
  return sum / std::max(n, 1L);
}

TEST(LiveView, BrowserShowsThePanelAndItsUnplugControlReachesTheDaemon) {
  DeviceRoot root;
  root.write("/tmp/no_show_logo_and_offline", "");  // a quiet panel
  const std::string dir = root.path() + "/../";
  ASSERT_EQ(harness::ffmpeg("-f lavfi -i testsrc2=size=1080x2288 -frames:v 1 " + dir + "f.jpg"), 0);
  ASSERT_EQ(harness::ffmpeg("-f lavfi -i color=c=0xff2020c0:size=300x500,format=rgba "
                            "-frames:v 1 " +
                            dir + "badge.png"),
            0);
  harness::SimRun sim(root);
  int st;
  auto ctl = [&](const std::string& args) { return sim.ctl("--timeout 20000 " + args, &st); };
  ASSERT_TRUE(harness::wait_until(
      [&] { return ctl("standby-stop") == "clock: not running, offline: not running\n"; }, 30000))
      << sim.log();
  ctl("play-stop");
  ASSERT_EQ(ctl("brightness 100"), "brightness 100\n");
  ASSERT_EQ(st, 0);
  ASSERT_EQ(ctl("jpeg " + dir + "f.jpg"), "sent " + std::to_string(root.read("/../f.jpg").size()) +
                                              " bytes, shown on the video plane\n");
  ASSERT_EQ(st, 0);
  ctl("png " + dir + "badge.png 100 300");
  ASSERT_EQ(st, 0);

  const int port = free_port();
  harness::SimRun view(root, "view", {"--port", std::to_string(port)});
  ASSERT_TRUE(
      harness::wait_until([&] { return http("GET", url(port, "/state.json")) == 200; }, 20000));
  // The overlay has been drawn once the snapshot shows the badge.
  harness::Image snap;
  ASSERT_TRUE(harness::wait_until(
      [&] {
        return harness::snapshot(root, "panel", &snap) && snap.at(250, 84 + 300 + 250)[0] > 150 &&
               snap.at(250, 84 + 300 + 250)[2] < 150;
      },
      20000));
  const std::string shot = dir + "shot.png";
  chromium("--screenshot=" + shot + " --window-size=600,1000", url(port, "/"));
  harness::Image img;
  ASSERT_TRUE(harness::read_png(shot, &img)) << "no screenshot";
  ASSERT_GE(img.height, 1000);
  // The page shows the panel at (8, 8), 16 pixels less than the window high.
  const int h = img.height - 16, w = static_cast<int>(std::lround(h * 1080.0 / 2400));
  EXPECT_LT(panel_difference(snap, img, 8, 8, w, h), 10.0);
  // A known spot: inside the badge, red over the test picture.
  const uint8_t* p = img.at(8 + 250 * w / 1080, 8 + (84 + 550) * h / 2400);
  EXPECT_GT(p[0], 150);

  // The MJPEG stream: parts of whole JPEG pictures.
  root.write("/../mjpeg.py",
             "import sys, urllib.request\n"
             "r = urllib.request.urlopen(sys.argv[1], timeout=20)\n"
             "d = b''\n"
             "while d.count(b'--frame') < 3:\n"
             "  d += r.read(4096)\n"
             "print(r.headers['Content-Type'], d.count(b'\\r\\n\\r\\n\\xff\\xd8'))\n");
  std::string mjpeg;
  EXPECT_EQ(
      harness::run("timeout 60 /usr/bin/python3 " + dir + "mjpeg.py " + url(port, "/stream.mjpg"),
                   &mjpeg),
      0);
  EXPECT_EQ(mjpeg, "multipart/x-mixed-replace; boundary=frame 3\n");

  // The page's unplug button sends this request; the daemon sees the USB
  // controller leave and warns.
  const std::string dom = chromium("--dump-dom", url(port, "/"));
  EXPECT_NE(dom.find("id=\"unplug\" data-post=\"/usb?state=unplug\""), std::string::npos) << dom;
  EXPECT_NE(dom.find("b.onclick = () => post(requestOf(b))"), std::string::npos);
  const size_t from = sim.log().size();
  std::string body;
  EXPECT_EQ(http("POST", url(port, "/usb?state=unplug"), &body), 200) << body;
  EXPECT_EQ(root.read("/sys/class/udc/13500000.otg/state"), "not attached\n");
  EXPECT_TRUE(harness::wait_until(
      [&] { return sim.log().find("show warn 2", from) != std::string::npos; }, 20000))
      << sim.log().substr(from);
  EXPECT_EQ(http("POST", url(port, "/usb?state=sideways")), 400);

  // State: the last command the host sent (the queue query with which
  // panelctl saw its PNG drawn), the backlight as set.
  ASSERT_EQ(http("GET", url(port, "/state.json"), &body), 200);
  EXPECT_NE(body.find("\"backlight\":\"1000\""), std::string::npos) << body;
  EXPECT_NE(body.find("\"last_command\":122"), std::string::npos) << body;
}

TEST(LiveView, NoDeviceAndAPortInUse) {
  DeviceRoot root(false);
  const int port = free_port();
  harness::SimRun view(root, "view", {"--port", std::to_string(port)});
  ASSERT_TRUE(harness::wait_until([&] { return http("GET", url(port, "/")) == 200; }, 20000));
  std::string body;
  EXPECT_EQ(http("GET", url(port, "/panel.jpg"), &body), 503);
  EXPECT_EQ(body, "no device");
  EXPECT_EQ(http("GET", url(port, "/state.json"), &body), 200);
  EXPECT_EQ(body.rfind("{\"device\":false", 0), 0u) << body;
  std::string out;
  EXPECT_EQ(harness::run(harness::build_dir() + "/panelsim view " + root.path() + " --port " +
                             std::to_string(port) + " 2>&1",
                         &out),
            1);
  EXPECT_NE(out.find(std::to_string(port)), std::string::npos) << out;
  EXPECT_NE(out.find("--port"), std::string::npos) << out;
}

}  // namespace
