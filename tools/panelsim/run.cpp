// `panelsim run ROOT`: runs the daemon on ptys as the board would.
//
// The daemon's host line ROOT/dev/ttyGS0 and microcontroller line
// ROOT/dev/ttyS5 are symbolic links to pty slaves; the host side is offered
// at ROOT/host/ttyGS0, a second pty bridged to the first, so that panelctl or
// any host application opens it like a serial port. That link appears once
// the daemon has opened its line (opening discards earlier input), so a
// script can wait for it. The daemon's output is passed through. ROOT/proc/kmsg becomes a
// FIFO held open here, so kernel lines can be written into it while the
// daemon runs. The tool ends with the daemon's exit status.
//
// `panelsim hangup ROOT` hangs the daemon's host line up as a cable pull on
// the gadget side would: the request file ROOT/sim/hangup makes the run put
// a fresh pty behind ROOT/dev/ttyGS0 and close the old one, so the daemon's
// reads fail with a real hang-up. Bytes in flight are lost; the host side
// stays open. The request is removed once the daemon has reopened its line.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tools/hostlink/hostlink.h"
#include "tools/panelsim/panelsim.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

struct Pty {
  int master = -1, slave = -1;
  std::string name;
};

bool make_pty(Pty* p) {
  char name[PATH_MAX];
  if (openpty(&p->master, &p->slave, name, nullptr, nullptr) != 0) return false;
  struct termios t;
  tcgetattr(p->slave, &t);
  cfmakeraw(&t);
  tcsetattr(p->slave, TCSANOW, &t);
  p->name = name;
  fcntl(p->master, F_SETFL, fcntl(p->master, F_GETFL) | O_NONBLOCK);
  return true;
}

bool link_to(const std::string& link, const std::string& target) {
  unlink(link.c_str());
  return symlink(target.c_str(), link.c_str()) == 0;
}

// One direction of the bridge: bytes read from `from` wait here until `to`
// takes them.
struct Pipe {
  int from, to;
  std::vector<uint8_t> buf;
  size_t off = 0;
};

// Notes the device's replies as they pass to the host: every reply is 512
// bytes and echoes the command's code in its first byte. The last code, its
// time and the standby run states of the last 52 go to ROOT/sim/link for
// the live view; the daemon itself does not publish them.
class ReplyWatch {
 public:
  explicit ReplyWatch(std::string root) : path_(root + "/sim/link") {}
  void seen(const uint8_t* p, size_t n) {
    const double t = now();
    if (t - last_byte_ > 0.5) pos_ = 0;  // a pause: the next byte starts a reply
    last_byte_ = t;
    for (size_t i = 0; i < n; i++, pos_ = (pos_ + 1) % 512) {
      if (pos_ == 0) code_ = p[i];
      if (pos_ == 8 && code_ == 52) clock_state_ = hostlink::signed_byte(p[i]);
      if (pos_ == 9 && code_ == 52) offline_state_ = hostlink::signed_byte(p[i]);
      if (pos_ == 511) done(t);
    }
  }

 private:
  static double now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
  }
  void done(double t) {
    replies_++;
    if (code_ == last_code_ && t - written_ < 0.25) return;  // spare the disk during streams
    last_code_ = code_;
    written_ = t;
    std::string tmp = path_ + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (!f) return;
    fprintf(f, "last_command=%d\ntime=%.3f\nreplies=%lu\nclock_state=%d\noffline_state=%d\n", code_,
            t, replies_, clock_state_, offline_state_);
    if (fclose(f) == 0) rename(tmp.c_str(), path_.c_str());
  }
  std::string path_;
  size_t pos_ = 0;
  int code_ = -1, last_code_ = -1;
  int clock_state_ = 99, offline_state_ = 99;  // 99: not reported yet
  unsigned long replies_ = 0;
  double last_byte_ = 0, written_ = 0;
};

void pump_in(Pipe& p, ReplyWatch* watch = nullptr) {
  uint8_t tmp[65536];
  if (p.buf.size() - p.off > (8u << 20)) return;  // hold back when far behind
  ssize_t n = read(p.from, tmp, sizeof tmp);
  if (n <= 0) return;
  p.buf.insert(p.buf.end(), tmp, tmp + n);
  if (watch) watch->seen(tmp, static_cast<size_t>(n));
}

void pump_out(Pipe& p) {
  if (p.off >= p.buf.size()) return;
  ssize_t n = write(p.to, p.buf.data() + p.off, p.buf.size() - p.off);
  if (n > 0) p.off += static_cast<size_t>(n);
  if (p.off == p.buf.size()) {
    p.buf.clear();
    p.off = 0;
  }
}

std::string self_dir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = 0;
  std::string s(buf);
  return s.substr(0, s.rfind('/'));
}

// The daemon's lines: host line and its bridged host side, the
// microcontroller line, and the kernel log FIFO.
struct Lines {
  Pty line, host, mcu;
  int kmsg_fd = -1;
};

bool make_lines(const std::string& root, Lines* l) {
  make_dirs(root + "/dev");
  make_dirs(root + "/host");
  make_dirs(root + "/proc");
  if (!make_pty(&l->line) || !make_pty(&l->host) || !make_pty(&l->mcu)) {
    perror("panelsim: openpty");
    return false;
  }
  unlink((root + "/host/ttyGS0").c_str());
  if (!link_to(root + "/dev/ttyGS0", l->line.name) || !link_to(root + "/dev/ttyS5", l->mcu.name)) {
    perror("panelsim: symlink");
    return false;
  }
  std::string kmsg = root + "/proc/kmsg";
  struct stat st;
  if (lstat(kmsg.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
    unlink(kmsg.c_str());
    mkfifo(kmsg.c_str(), 0644);
  }
  // Held open for writing so that the daemon's reader never sees an end.
  l->kmsg_fd = open(kmsg.c_str(), O_RDWR | O_NONBLOCK);
  return true;
}

// Starts paneld in ROOT with its output on a pipe; *out_fd reads it.
pid_t start_daemon(const std::string& root, const Lines& l, int* out_fd) {
  std::string paneld = self_dir() + "/paneld";
  int out_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    perror("panelsim: pipe");
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(out_pipe[1], 2);
    setenv("PANELD_ROOT", root.c_str(), 1);
    if (!getenv("TZ")) setenv("TZ", "UTC", 1);
    for (int fd : {l.line.master, l.line.slave, l.host.master, l.host.slave, l.mcu.master,
                   l.mcu.slave, l.kmsg_fd})
      close(fd);
    execl(paneld.c_str(), "paneld", static_cast<char*>(nullptr));
    perror("panelsim: exec paneld");
    _exit(127);
  }
  close(out_pipe[1]);
  *out_fd = out_pipe[0];
  fcntl(*out_fd, F_SETFL, O_NONBLOCK);
  return pid;
}

// Passes the daemon's output through and offers the host line once the
// daemon has opened its own ("init_tty done!"). Closes *out_fd at its end.
struct OutputWatch {
  std::string root, host_name, tail;
  bool host_ready = false;
  unsigned long opens = 0;  // times the daemon opened its host line
};

void pass_output(int* out_fd, OutputWatch* w) {
  char buf[4096];
  ssize_t n = read(*out_fd, buf, sizeof buf);
  if (n == 0) {
    close(*out_fd);
    *out_fd = -1;
  }
  if (n <= 0) return;
  fwrite(buf, 1, static_cast<size_t>(n), stdout);
  w->tail.append(buf, static_cast<size_t>(n));
  static const std::string kOpened = "init_tty done!";
  for (size_t at = 0; (at = w->tail.find(kOpened, at)) != std::string::npos; at += kOpened.size())
    w->opens++;
  if (w->opens > 0 && !w->host_ready) {
    w->host_ready = link_to(w->root + "/host/ttyGS0", w->host_name);
    fprintf(stderr, "panelsim: host line at %s/host/ttyGS0\n", w->root.c_str());
  }
  // Keeps only a tail too short to hold the marker whole, so none is counted twice.
  if (w->tail.size() >= kOpened.size()) w->tail.erase(0, w->tail.size() - (kOpened.size() - 1));
}

std::string hangup_path(const std::string& root) { return root + "/sim/hangup"; }

double seconds_now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Puts a fresh pty behind ROOT/dev/ttyGS0 and closes the old one: the
// daemon's next read or write on it fails as on a hung-up line.
bool hang_up(const std::string& root, Pty* line) {
  Pty fresh;
  if (!make_pty(&fresh)) {
    perror("panelsim: openpty");
    return false;
  }
  if (!link_to(root + "/dev/ttyGS0", fresh.name)) {
    perror("panelsim: symlink");
    close(fresh.master);
    close(fresh.slave);
    return false;
  }
  close(line->master);
  close(line->slave);
  *line = fresh;
  fprintf(stderr, "panelsim: host line hung up\n");
  return true;
}

// Bridges the host line and passes output until the daemon ends or a
// signal asks to stop; returns the daemon's wait status.
int serve(const std::string& root, Lines& l, pid_t pid, int out_fd) {
  OutputWatch watch{root, l.host.name, {}, false};
  ReplyWatch replies(root);
  Pipe to_dev{l.host.master, l.line.master, {}, 0};
  Pipe to_host{l.line.master, l.host.master, {}, 0};
  int status = 0;
  double checked = 0;
  unsigned long opens_at_hangup = 0;
  bool hung_up = false;
  for (;;) {
    const double t = seconds_now();
    if (t - checked > 0.1) {  // a stat per pass would cost a stream dearly
      checked = t;
      if (hung_up && watch.opens > opens_at_hangup) {
        unlink(hangup_path(root).c_str());
        hung_up = false;
      } else if (!hung_up && access(hangup_path(root).c_str(), F_OK) == 0) {
        if (hang_up(root, &l.line)) {
          to_dev = Pipe{l.host.master, l.line.master, {}, 0};
          to_host = Pipe{l.line.master, l.host.master, {}, 0};
          opens_at_hangup = watch.opens;
          hung_up = true;
        } else {
          unlink(hangup_path(root).c_str());
        }
      }
    }
    if (g_stop) {
      kill(pid, SIGTERM);
      waitpid(pid, &status, 0);
      return status;
    }
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    struct pollfd pf[3] = {
        {l.host.master, POLLIN, 0}, {l.line.master, POLLIN, 0}, {out_fd, POLLIN, 0}};
    if (to_dev.off < to_dev.buf.size()) pf[1].events |= POLLOUT;
    if (to_host.off < to_host.buf.size()) pf[0].events |= POLLOUT;
    poll(pf, out_fd >= 0 ? 3 : 2, 200);
    if (out_fd >= 0 && (pf[2].revents & (POLLIN | POLLHUP))) pass_output(&out_fd, &watch);
    if (pf[0].revents & POLLIN) pump_in(to_dev);
    if (pf[1].revents & POLLIN) pump_in(to_host, &replies);
    pump_out(to_dev);
    pump_out(to_host);
  }
}

int exit_code(int status) {
  if (WIFEXITED(status)) {
    fprintf(stderr, "panelsim: paneld exited with status %d\n", WEXITSTATUS(status));
    return WEXITSTATUS(status);
  }
  fprintf(stderr, "panelsim: paneld ended by signal %d\n", WTERMSIG(status));
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

int run(const std::string& root_arg) {
  char real[PATH_MAX];
  if (!realpath(root_arg.c_str(), real)) {
    fprintf(stderr, "panelsim: %s: %s\n", root_arg.c_str(), strerror(errno));
    return 1;
  }
  const std::string root = real;
  Lines lines;
  if (!make_lines(root, &lines)) return 1;
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  signal(SIGPIPE, SIG_IGN);
  unlink(hangup_path(root).c_str());  // a request left from an earlier run
  int out_fd = -1;
  pid_t pid = start_daemon(root, lines, &out_fd);
  if (pid < 0) return 1;
  fprintf(stderr, "panelsim: paneld running (pid %d)\n", pid);
  mcu_feeder_start(root, lines.mcu.master);
  int status = serve(root, lines, pid, out_fd);
  unlink((root + "/host/ttyGS0").c_str());
  if (lines.kmsg_fd >= 0) close(lines.kmsg_fd);
  return exit_code(status);
}

// Asks the running `panelsim run` to hang the line up and waits until the
// daemon has reopened it.
int hangup(const std::string& root) {
  const std::string path = hangup_path(root);
  if (access((root + "/host/ttyGS0").c_str(), F_OK) != 0) {  // offered only during a run
    fprintf(stderr, "panelsim hangup: no panelsim run serves %s\n", root.c_str());
    return 1;
  }
  make_dirs(root + "/sim");
  int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  if (fd < 0) {
    fprintf(stderr, "panelsim hangup: %s: %s\n", path.c_str(), strerror(errno));
    return 1;
  }
  close(fd);
  const char* factor = getenv("PANELD_TIME_FACTOR");
  const double wait = 20 * (factor && atof(factor) > 1 ? atof(factor) : 1);
  for (double start = seconds_now(); seconds_now() - start < wait;) {
    if (access(path.c_str(), F_OK) != 0) return 0;
    usleep(50000);
  }
  unlink(path.c_str());
  fprintf(stderr,
          "panelsim hangup: the daemon did not reopen its line (is panelsim run running?)\n");
  return 1;
}

void setup_run(CLI::App& app) {
  static std::string root;
  auto* r = app.add_subcommand("run", "run paneld on ptys; host line at ROOT/host/ttyGS0");
  r->add_option("ROOT", root, "device root (panelsim init makes one)")->required();
  on_run(r, [] { return run(root); });
  auto* h = app.add_subcommand("hangup", "hang up the daemon's host line during panelsim run");
  h->add_option("ROOT", root, "device root")->required();
  on_run(h, [] { return hangup(root); });
}
PANELSIM_SUBCOMMANDS(setup_run);

}  // namespace
