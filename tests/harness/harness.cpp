#include "tests/harness/harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "platform/sim/sim_state.h"

namespace harness {

namespace {

void mkdirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
}

bool open_pty(int* master, int* slave, std::string* name) {
  char buf[PATH_MAX];
  if (openpty(master, slave, buf, nullptr, nullptr) != 0) return false;
  struct termios t;
  tcgetattr(*slave, &t);
  cfmakeraw(&t);
  tcsetattr(*slave, TCSANOW, &t);
  fcntl(*master, F_SETFL, fcntl(*master, F_GETFL) | O_NONBLOCK);
  fcntl(*master, F_SETFD, FD_CLOEXEC);
  fcntl(*slave, F_SETFD, FD_CLOEXEC);
  *name = buf;
  return true;
}

}  // namespace

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::vector<uint8_t> read_bytes(const std::string& path) {
  const std::string s = read_file(path);
  return {s.begin(), s.end()};
}

double cpu_share(pid_t pid, int ms) {
  auto ticks = [pid] {  // utime + stime, fields 14 and 15 of its stat line
    long user = 0, sys = 0;
    if (FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r")) {
      if (fscanf(f, "%*d (%*[^)]) %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &user,
                 &sys) != 2)
        user = sys = 0;
      fclose(f);
    }
    return user + sys;
  };
  const long a = ticks();
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return double(ticks() - a) / sysconf(_SC_CLK_TCK) / (ms / 1000.0);
}

std::string build_dir() { return PANELD_BUILD_DIR; }

double time_factor() {
  static const double factor = [] {
    const char* e = getenv("PANELD_TIME_FACTOR");
    double f = e && *e ? atof(e) : PANELD_TIME_FACTOR;
    return f >= 1 ? f : 1.0;
  }();
  return factor;
}

int scaled(int ms) { return static_cast<int>(ms * time_factor()); }

bool wait_until(const std::function<bool()>& cond, int timeout_ms, int step_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(scaled(timeout_ms));
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  return true;
}

int run(const std::string& cmdline, std::string* out) {
  FILE* p = popen(cmdline.c_str(), "r");
  if (!p) return -1;
  std::string o;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) o.append(buf, n);
  int st = pclose(p);
  if (out) *out = o;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size()))
    n++;
  return n;
}

int ffmpeg(const std::string& args, std::string* out) {
  return run("ffmpeg -hide_banner -loglevel error -nostdin -y " + args, out);
}

DeviceRoot::DeviceRoot(bool init, const std::string& parent) {
  std::string tmpl = parent + "/paneld-test-XXXXXX";
  if (!mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp failed in " + parent);
  path_ = tmpl + "/root";
  mkdir(path_.c_str(), 0755);
  if (init) {
    std::string out;
    int st = run(build_dir() + "/panelsim init " + path_ + " 2>&1", &out);
    if (st != 0) throw std::runtime_error("panelsim init failed: " + out);
  }
}

DeviceRoot::~DeviceRoot() {
  std::string parent = path_.substr(0, path_.rfind('/'));
  if (!getenv("PANELD_KEEP_ROOTS")) run("rm -rf '" + parent + "'");
}

std::string DeviceRoot::file(const std::string& device_path) const {
  return path_ + (device_path.empty() || device_path[0] != '/' ? "/" : "") + device_path;
}

bool DeviceRoot::exists(const std::string& device_path) const {
  struct stat st;
  return lstat(file(device_path).c_str(), &st) == 0;
}

std::string DeviceRoot::read(const std::string& device_path) const {
  return read_file(file(device_path));
}

void DeviceRoot::write(const std::string& device_path, const std::string& content) const {
  std::string f = file(device_path);
  mkdirs(f.substr(0, f.rfind('/')));
  std::ofstream o(f, std::ios::binary | std::ios::trunc);
  o << content;
}

void DeviceRoot::remove(const std::string& device_path) const {
  ::unlink(file(device_path).c_str());
}

void write_settings(const DeviceRoot& root, uint8_t mode, uint8_t clock_enable,
                    uint8_t warn_enable) {
  std::string rec(136, '\0');
  rec[0] = 60;
  rec[1] = static_cast<char>(mode);
  rec[5] = static_cast<char>(clock_enable);
  rec[7] = static_cast<char>(warn_enable);
  rec.replace(8, 25, "/media/offline_video.h264");
  root.write("/usr/data/app.cfg", rec);
}

Daemon::Daemon(const DeviceRoot& root, bool kmsg_fifo) : root_(root) {
  std::string host_name, mcu_name;
  if (!open_pty(&host_master_, &host_slave_, &host_name) ||
      !open_pty(&mcu_master_, &mcu_slave_, &mcu_name))
    throw std::runtime_error("openpty failed");
  mkdirs(root.file("/dev"));
  for (auto [link, name] : {std::pair{"/dev/ttyGS0", &host_name}, {"/dev/ttyS5", &mcu_name}}) {
    ::unlink(root.file(link).c_str());
    symlink(name->c_str(), root.file(link).c_str());
  }
  if (kmsg_fifo) {
    std::string k = root.file("/proc/kmsg");
    mkdirs(root.file("/proc"));
    ::unlink(k.c_str());
    mkfifo(k.c_str(), 0644);
    kmsg_fd_ = ::open(k.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  }
  log_path_ = root.path() + "/../daemon.log";
  int log_fd = ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
  std::string exe = build_dir() + "/paneld";
  pid_ = fork();
  if (pid_ == 0) {
    dup2(log_fd, 1);
    dup2(log_fd, 2);
    setenv("PANELD_ROOT", root.path().c_str(), 1);
    setenv("TZ", "UTC", 1);
    execl(exe.c_str(), "paneld", static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(log_fd);
  host_ = new hostlink::HostLink(host_master_);
  if (!wait_log("init_tty done!", 20000))
    fprintf(stderr, "harness: the daemon did not open its host line:\n%s\n", log().c_str());
}

// A sanitizer build reports its findings in the output.
static void expect_clean(const std::string& log) {
  EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
}

Daemon::~Daemon() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  expect_clean(log());
  delete host_;
  for (int fd : {host_master_, host_slave_, mcu_master_, mcu_slave_, kmsg_fd_})
    if (fd >= 0) ::close(fd);
}

bool Daemon::command(uint8_t code, const std::vector<uint8_t>& params, hostlink::Packet* reply,
                     const std::vector<uint8_t>& payload, int timeout_ms) {
  return host_->command(code, params, reply, payload.empty() ? nullptr : payload.data(),
                        payload.size(), scaled(timeout_ms));
}

void Daemon::kmsg(const std::string& line) {
  if (kmsg_fd_ < 0) return;
  std::string l = line + "\n";
  ssize_t n = ::write(kmsg_fd_, l.data(), l.size());
  (void)n;
}

std::string Daemon::log() const { return read_file(log_path_); }

bool Daemon::wait_log(const std::string& text, int timeout_ms, size_t from) const {
  return wait_until(
      [&] {
        const std::string l = log();
        return l.size() > from && l.find(text, from) != std::string::npos;
      },
      timeout_ms);
}

int Daemon::count_log(const std::string& text) const { return count(log(), text); }

bool Daemon::stop_standby(int timeout_ms) {
  hostlink::Packet r{};
  return wait_until(
      [&] { return command(52, {}, &r) && r[1] == 200 && r[8] == 0xFF && r[9] == 0xFF; },
      timeout_ms, 50);
}

bool Daemon::running() {
  if (exited_) return false;
  int st;
  pid_t w = waitpid(pid_, &st, WNOHANG);
  if (w == pid_) {
    exited_ = true;
    exit_status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return true;
}

int Daemon::wait_exit(int timeout_ms) {
  return wait_until([&] { return !running(); }, timeout_ms) ? exit_status_ : -1;
}

SimRun::SimRun(const DeviceRoot& root, const std::string& command,
               const std::vector<std::string>& options)
    : root_(root), log_path_(root.path() + "/../" + command + ".log") {
  if (command == "run") root.remove("/host/ttyGS0");
  pid_ = fork();
  if (pid_ == 0) {
    int fd = ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    std::vector<std::string> args = {"panelsim", command, root.path()};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv((build_dir() + "/panelsim").c_str(), argv.data());
    _exit(127);
  }
  // The host link appears once the daemon has opened its line.
  if (command == "run") wait_until([&] { return root.exists("/host/ttyGS0"); }, 20000, 50);
}

SimRun::~SimRun() {
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  expect_clean(log());
}

std::string SimRun::log() const { return read_file(log_path_); }

std::string SimRun::ctl(const std::string& args, int* status, std::string* err) const {
  std::string errfile = root_.path() + "/../ctl.err";
  std::string out;
  *status = run(build_dir() + "/panelctl --device " + root_.file("/host/ttyGS0") + " " + args +
                    " 2>" + errfile,
                &out);
  std::string e = read_file(errfile);
  if (err) {
    *err = e;
  } else {
    out += e;
  }
  return out;
}

int Overlay::shown() const {
  SimPlaneState s{};
  sim_state_read(root.path(), &s);
  return int(s.plane[1].shown);
}

uint32_t Overlay::pixel(int buffer, int x, int y) const {
  SimPlaneState s{};
  sim_state_read(root.path(), &s);
  const SimPlane& p = s.plane[1];
  uint32_t px = 0x01020304;  // none read
  std::ifstream f(root.file(sim_fb_files[1]), std::ios::binary);
  f.seekg(std::streamoff(buffer) * p.frame_size + std::streamoff(y) * p.line_length + x * 4);
  f.read(reinterpret_cast<char*>(&px), 4);
  return px;
}

bool read_png(const std::string& path, Image* out) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&img, path.c_str())) return false;
  img.format = PNG_FORMAT_RGBA;
  out->width = static_cast<int>(img.width);
  out->height = static_cast<int>(img.height);
  out->rgba.assign(PNG_IMAGE_SIZE(img), 0);
  return png_image_finish_read(&img, nullptr, out->rgba.data(), 0, nullptr) != 0;
}

bool snapshot(const DeviceRoot& root, const std::string& layer, Image* out) {
  std::string png = root.path() + "/../snap-" + layer + ".png";
  std::string o;
  if (run(build_dir() + "/panelsim snapshot " + root.path() + " " + png + " --layer " + layer +
              " 2>&1",
          &o) != 0)
    return false;
  const bool ok = read_png(png, out);
  ::unlink(png.c_str());
  return ok;
}

std::string snapshot_state(const DeviceRoot& root) {
  std::string o;
  run(build_dir() + "/panelsim snapshot " + root.path() + " --state", &o);
  return o;
}

}  // namespace harness
