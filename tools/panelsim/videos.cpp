// The device's stored videos for a fresh root: the boot animation
// "/usr/data/boot.h264" and the standby video "/media/offline_video.h264",
// short baseline H.264 clips at the usable panel size, made with the ffmpeg
// tool (libx264). Encoded clips are kept beside the panelsim binary, so that
// the many roots a test run makes cost a copy each, not an encode.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/panelsim/panelsim.h"

namespace {

struct Clip {
  const char* device_path;
  const char* cache_name;  // changes whenever the recipe below changes
  const char* source;      // lavfi source graph
};

const Clip kClips[] = {
    {"/usr/data/boot.h264", "boot-v1.h264", "testsrc2=size=1080x2288:rate=15"},
    {"/media/offline_video.h264", "offline-v1.h264", "testsrc=size=1080x2288:rate=15"},
};

std::string exe_dir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = 0;
  std::string s(buf);
  size_t slash = s.rfind('/');
  return slash == std::string::npos ? "." : s.substr(0, slash);
}

// Runs ffmpeg without a shell; true when it made `out`.
bool encode(const char* source, const std::string& out) {
  std::vector<std::string> argv = {
      "ffmpeg",     "-hide_banner", "-loglevel", "error",    "-nostdin", "-y",   "-f",
      "lavfi",      "-i",           source,      "-t",       "2",        "-c:v", "libx264",
      "-profile:v", "baseline",     "-preset",   "veryfast", "-crf",     "34",   "-g",
      "30",         "-x264-params", "slices=1",  "-pix_fmt", "yuv420p",  "-f",   "h264",
      out};
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    execvp("ffmpeg", args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool copy_file(const std::string& from, const std::string& to) {
  FILE* in = fopen(from.c_str(), "rb");
  if (!in) return false;
  std::vector<uint8_t> data;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, in)) > 0) data.insert(data.end(), buf, buf + n);
  bool ok = !ferror(in);
  fclose(in);
  return ok && !data.empty() && write_file_if_missing(to, data.data(), data.size());
}

// The cached clip, encoding it first when it is not there. Several inits
// may run at once: each encodes to its own name and renames into place.
bool cached_clip(const Clip& c, std::string* path) {
  std::string dir = exe_dir() + "/panelsim-media";
  *path = dir + "/" + c.cache_name;
  if (file_exists(*path)) return true;
  if (!make_dirs(dir)) return false;
  std::string tmp = *path + ".tmp" + std::to_string(getpid());
  if (!encode(c.source, tmp)) {
    unlink(tmp.c_str());
    return false;
  }
  if (rename(tmp.c_str(), path->c_str()) != 0) {
    unlink(tmp.c_str());
    return file_exists(*path);
  }
  return true;
}

int videos(const std::string& root) {
  int status = 0;
  for (const Clip& c : kClips) {
    std::string dst = root + c.device_path;
    if (file_exists(dst)) continue;
    std::string src;
    if (!cached_clip(c, &src) || !copy_file(src, dst)) {
      fprintf(stderr, "panelsim: cannot make %s (is ffmpeg with libx264 installed?)\n",
              c.device_path);
      status = 1;
    }
  }
  return status;
}
PANELSIM_INIT_STEP(40, "stored videos", videos);

}  // namespace
