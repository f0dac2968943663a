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
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/panelsim/panelsim.h"

__attribute__((weak)) void mcu_feeder_start(const std::string&, int) {}

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

void pump_in(Pipe& p) {
  uint8_t tmp[65536];
  if (p.buf.size() - p.off > (8u << 20)) return;  // hold back when far behind
  ssize_t n = read(p.from, tmp, sizeof tmp);
  if (n > 0) p.buf.insert(p.buf.end(), tmp, tmp + n);
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

int run(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    fprintf(stderr, "usage: panelsim run ROOT\n");
    return 2;
  }
  char real[PATH_MAX];
  if (!realpath(args[0].c_str(), real)) {
    fprintf(stderr, "panelsim: %s: %s\n", args[0].c_str(), strerror(errno));
    return 1;
  }
  std::string root = real;
  make_dirs(root + "/dev");
  make_dirs(root + "/host");
  make_dirs(root + "/proc");

  Pty line, host, mcu;
  if (!make_pty(&line) || !make_pty(&host) || !make_pty(&mcu)) {
    perror("panelsim: openpty");
    return 1;
  }
  unlink((root + "/host/ttyGS0").c_str());
  if (!link_to(root + "/dev/ttyGS0", line.name) || !link_to(root + "/dev/ttyS5", mcu.name)) {
    perror("panelsim: symlink");
    return 1;
  }
  std::string kmsg = root + "/proc/kmsg";
  struct stat st;
  if (lstat(kmsg.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
    unlink(kmsg.c_str());
    mkfifo(kmsg.c_str(), 0644);
  }
  // Held open for writing so that the daemon's reader never sees an end.
  int kmsg_fd = open(kmsg.c_str(), O_RDWR | O_NONBLOCK);

  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  signal(SIGPIPE, SIG_IGN);

  std::string paneld = self_dir() + "/paneld";
  int out_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    perror("panelsim: pipe");
    return 1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(out_pipe[1], 2);
    setenv("PANELD_ROOT", root.c_str(), 1);
    if (!getenv("TZ")) setenv("TZ", "UTC", 1);
    for (int fd :
         {line.master, line.slave, host.master, host.slave, mcu.master, mcu.slave, kmsg_fd})
      close(fd);
    execl(paneld.c_str(), "paneld", static_cast<char*>(nullptr));
    perror("panelsim: exec paneld");
    _exit(127);
  }
  close(out_pipe[1]);
  int out_fd = out_pipe[0];
  fcntl(out_fd, F_SETFL, O_NONBLOCK);
  fprintf(stderr, "panelsim: paneld running (pid %d)\n", pid);
  mcu_feeder_start(root, mcu.master);
  bool host_ready = false;
  std::string tail;  // end of the output so far, to spot the ready line

  Pipe to_dev{host.master, line.master, {}, 0};
  Pipe to_host{line.master, host.master, {}, 0};
  int status = 0;
  for (;;) {
    if (g_stop) {
      kill(pid, SIGTERM);
      waitpid(pid, &status, 0);
      break;
    }
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    struct pollfd pf[3] = {{host.master, POLLIN, 0}, {line.master, POLLIN, 0}, {out_fd, POLLIN, 0}};
    if (to_dev.off < to_dev.buf.size()) pf[1].events |= POLLOUT;
    if (to_host.off < to_host.buf.size()) pf[0].events |= POLLOUT;
    poll(pf, out_fd >= 0 ? 3 : 2, 200);
    if (out_fd >= 0 && (pf[2].revents & (POLLIN | POLLHUP))) {
      char buf[4096];
      ssize_t n = read(out_fd, buf, sizeof buf);
      if (n > 0) {
        fwrite(buf, 1, static_cast<size_t>(n), stdout);
        if (!host_ready) {
          tail.append(buf, static_cast<size_t>(n));
          if (tail.find("init_tty done!") != std::string::npos) {
            host_ready = link_to(root + "/host/ttyGS0", host.name);
            fprintf(stderr, "panelsim: host line at %s/host/ttyGS0\n", root.c_str());
          }
          if (tail.size() > 64) tail.erase(0, tail.size() - 64);
        }
      } else if (n == 0) {
        close(out_fd);
        out_fd = -1;
      }
    }
    if (pf[0].revents & POLLIN) pump_in(to_dev);
    if (pf[1].revents & POLLIN) pump_in(to_host);
    pump_out(to_dev);
    pump_out(to_host);
  }
  unlink((root + "/host/ttyGS0").c_str());
  if (kmsg_fd >= 0) close(kmsg_fd);
  if (WIFEXITED(status)) {
    fprintf(stderr, "panelsim: paneld exited with status %d\n", WEXITSTATUS(status));
    return WEXITSTATUS(status);
  }
  fprintf(stderr, "panelsim: paneld ended by signal %d\n", WTERMSIG(status));
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
PANELSIM_SUBCOMMAND("run", "ROOT: run paneld on ptys; host line at ROOT/host/ttyGS0", run);

}  // namespace
