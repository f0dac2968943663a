// `panelsim view ROOT [--port N]`: the simulated panel, live, in a browser.
//
// Serves on localhost a page that shows the composed panel (as the panel
// shows it: rotated, dimmed by the backlight), the device's state beside it,
// and controls for the simulated peripherals. Each picture is composed from
// the shared plane files when the page asks for it, so the view never slows
// the daemon, and its frame rate follows the browser. It reads files only:
// it keeps serving while the daemon restarts and says "no device" while the
// planes are absent.
#include <httplib.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/sim/sim_state.h"
#include "tools/panelsim/panelsim.h"
#include "tools/panelsim/planes.h"
#include "tools/panelsim/view_page.h"

namespace {

const char* const kUdcState = "/sys/class/udc/13500000.otg/state";

std::string read_text(const std::string& path, size_t max = 4096) {
  std::ifstream f(path, std::ios::binary);
  std::string s;
  if (!f) return s;
  s.resize(max);
  f.read(&s[0], static_cast<std::streamsize>(max));
  s.resize(static_cast<size_t>(f.gcount()));
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

// "key=value" lines (ROOT/sim/mcu, ROOT/sim/link) as a JSON object.
Json key_values(const std::string& text) {
  Json o = Json::object();
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    size_t eq = word.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = word.substr(0, eq), val = word.substr(eq + 1);
    char* end = nullptr;
    double v = strtod(val.c_str(), &end);
    if (!val.empty() && *end == 0)
      o[key] = v;
    else
      o[key] = val;
  }
  return o;
}

Json view_state(const std::string& root) {
  Json s;
  SimPlaneState st;
  s["device"] = sim_state_read(root, &st) == 0;
  s["daemon_running"] = access((root + "/host/ttyGS0").c_str(), F_OK) == 0;
  s["panel"] = panel_state(root);
  s["usb"] = read_text(root + kUdcState);
  s["mcu"] = key_values(read_text(root + "/sim/mcu"));
  s["link"] = key_values(read_text(root + "/sim/link"));
  return s;
}

// Turns the plane picture the way the panel shows it: a plane that the
// rotator turned to landscape goes back to the panel's portrait.
void rotate_to_panel(const std::string& root, uint32_t* w, uint32_t* h, std::vector<uint8_t>* rgb) {
  const std::string angle = read_text(root + sysfs_rotator_angle);
  const bool quarter = angle == "90" || angle == "270";
  const bool half = angle == "180";
  if (!quarter && !half) return;
  std::vector<uint8_t> out(rgb->size());
  const uint32_t W = *w, H = *h;
  const uint32_t ow = quarter ? H : W, oh = quarter ? W : H;
  for (uint32_t y = 0; y < H; y++)
    for (uint32_t x = 0; x < W; x++) {
      uint32_t ox, oy;
      if (half) {
        ox = W - 1 - x, oy = H - 1 - y;
      } else if (angle == "90") {
        ox = H - 1 - y, oy = x;
      } else {
        ox = y, oy = W - 1 - x;
      }
      memcpy(&out[(size_t(oy) * ow + ox) * 3], &(*rgb)[(size_t(y) * W + x) * 3], 3);
    }
  rgb->swap(out);
  *w = ow;
  *h = oh;
}

bool encode_jpeg(const std::vector<uint8_t>& rgb, uint32_t w, uint32_t h, std::string* out) {
  tjhandle tj = tjInitCompress();
  if (!tj) return false;
  unsigned char* buf = nullptr;
  unsigned long len = 0;
  bool ok = tjCompress2(tj, rgb.data(), static_cast<int>(w), 0, static_cast<int>(h), TJPF_RGB, &buf,
                        &len, TJSAMP_420, 85, TJFLAG_FASTDCT) == 0;
  if (ok) out->assign(reinterpret_cast<char*>(buf), len);
  tjFree(buf);
  tjDestroy(tj);
  return ok;
}

// The last picture served, reused while the planes have not changed, so
// that an idle panel costs nothing however often the page asks.
class FrameCache {
 public:
  explicit FrameCache(std::string root) : root_(std::move(root)) {}
  bool get(std::string* jpeg) {
    std::lock_guard<std::mutex> lock(mu_);
    SimPlaneState st;
    if (sim_state_read(root_, &st) != 0) return false;
    const auto now = std::chrono::steady_clock::now();
    const std::string key = std::to_string(st.updates) + "/" + std::to_string(st.plane[1].shown) +
                            "/" + read_text(root_ + sysfs_rotator_angle);
    // The overlay may be drawn into without a flip: look again after 200 ms.
    if (key == key_ && now - when_ < std::chrono::milliseconds(200)) {
      *jpeg = jpeg_;
      return true;
    }
    uint32_t w = 0, h = 0;
    std::vector<uint8_t> rgb;
    if (!compose_panel(root_, &w, &h, &rgb) || w == 0 || h == 0) return false;
    rotate_to_panel(root_, &w, &h, &rgb);
    if (!encode_jpeg(rgb, w, h, &jpeg_)) return false;
    key_ = key;
    when_ = now;
    *jpeg = jpeg_;
    return true;
  }

 private:
  std::string root_;
  std::mutex mu_;
  std::string key_, jpeg_;
  std::chrono::steady_clock::time_point when_;
};

void reply_result(httplib::Response& res, const std::string& why, const std::string& done) {
  Json j;
  j["ok"] = why.empty();
  j[why.empty() ? "result" : "error"] = why.empty() ? done : why;
  res.status = why.empty() ? 200 : 400;
  res.set_content(j.dump(), "application/json");
}

void add_controls(httplib::Server& svr, const std::string& root) {
  svr.Post("/usb", [root](const httplib::Request& req, httplib::Response& res) {
    const std::string state = req.get_param_value("state");
    if (state != "plug" && state != "unplug") return reply_result(res, "state: plug or unplug", "");
    reply_result(res, usb_set(root, state == "plug"), "usb " + state);
  });
  svr.Post("/mcu", [root](const httplib::Request& req, httplib::Response& res) {
    std::vector<std::string> settings;
    for (const char* key : {"temp", "pump", "suspend"})
      if (req.has_param(key)) settings.push_back(std::string(key) + "=" + req.get_param_value(key));
    std::string now;
    std::string why = mcu_set(root, settings, &now);
    reply_result(res, why, now);
  });
  svr.Post("/kmsg", [root](const httplib::Request& req, httplib::Response& res) {
    const std::string line = req.get_param_value("line");
    if (line.empty() || line.find('\n') != std::string::npos)
      return reply_result(res, "line: one non-empty line", "");
    reply_result(res, kmsg_write(root, line), "written");
  });
}

void add_pages(httplib::Server& svr, const std::string& root) {
  auto cache = std::make_shared<FrameCache>(root);
  svr.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kViewPage, "text/html; charset=utf-8");
  });
  svr.Get("/panel.jpg", [cache](const httplib::Request&, httplib::Response& res) {
    std::string jpeg;
    res.set_header("Cache-Control", "no-store");
    if (!cache->get(&jpeg)) {
      res.status = 503;
      res.set_content("no device", "text/plain");
      return;
    }
    res.set_content(jpeg, "image/jpeg");
  });
  // The same pictures as one MJPEG stream, for players and other pages: at
  // most 30 a second, fewer when the reader is slower (writes block).
  svr.Get("/stream.mjpg", [cache](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "multipart/x-mixed-replace; boundary=frame", [cache](size_t, httplib::DataSink& sink) {
          const auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(33);
          std::string jpeg;
          if (cache->get(&jpeg)) {
            const std::string head = "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                     std::to_string(jpeg.size()) + "\r\n\r\n";
            if (!sink.write(head.data(), head.size()) || !sink.write(jpeg.data(), jpeg.size()) ||
                !sink.write("\r\n", 2))
              return false;
          }
          std::this_thread::sleep_until(next + std::chrono::milliseconds(jpeg.empty() ? 467 : 0));
          return sink.is_writable();
        });
  });
  svr.Get("/state.json", [root](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(view_state(root).dump(-1, ' ', false, Json::error_handler_t::replace),
                    "application/json");
  });
}

int view(const std::string& root, int port) {
  httplib::Server svr;
  // Only SO_REUSEADDR: the library's default SO_REUSEPORT would let a second
  // view share a port that another one already serves.
  svr.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  add_pages(svr, root);
  add_controls(svr, root);
  if (!svr.bind_to_port("127.0.0.1", port)) {
    fprintf(stderr,
            "panelsim view: cannot listen on 127.0.0.1:%d (in use?): choose another with "
            "--port N\n",
            port);
    return 1;
  }
  printf("panelsim view: http://127.0.0.1:%d/\n", port);
  return svr.listen_after_bind() ? 0 : 1;
}

void setup_view(CLI::App& app) {
  static std::string root;
  static int port = 8470;
  auto* v = app.add_subcommand("view", "the simulated panel, live, in a browser (localhost)");
  v->add_option("ROOT", root, "device root")->required()->check(CLI::ExistingDirectory);
  v->add_option("--port", port, "TCP port on 127.0.0.1")
      ->option_text("N")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  on_run(v, [] { return view(root, port); });
}
PANELSIM_SUBCOMMANDS(setup_view);

}  // namespace
