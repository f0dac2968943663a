// Fuzz target: the file commands that carry a name (38, 40, 42, 98, 99, 110,
// 113) and the upload chunks (39) between them, run as the command loop
// runs them: a decrypted command of 496 to 504 bytes, any name length field
// and name bytes, bulk payloads on the host line. Every input starts from
// the same device root holding a small tree of files, a link to a folder,
// and a folder outside the root that nothing may touch.
//
// Invariants: every payload is taken off the line, no more and no less;
// a file that was not named (not the name itself, not below a named folder
// for 42, not the open upload) keeps its content; nothing outside the
// device root changes; an upload's file holds exactly the bytes of its
// chunks; the size reply is the file's size; a fresh listing starts with
// "result:" and names only entries of the folder; a create reply is either
// success (byte 8 = 200, an empty file) or "_failed".
#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/state.h"
#include "display/fb.h"
#include "fuzz/support/fuzz_support.h"
#include "protocol/command.h"
#include "video/local_player.h"

namespace {

using Files = std::map<std::string, std::string>;

std::string root, outside;
uint32_t pager = 0;  // the listing pager: calls since the last fresh listing, mod 20

void put(const std::string& rel, const std::string& content) {
  std::string p = root + rel;
  for (size_t i = 1; i < p.size(); i++)
    if (p[i] == '/') mkdir(p.substr(0, i).c_str(), 0755);
  FILE* f = fopen(p.c_str(), "wb");
  if (!f) fuzz::fail(__FILE__, __LINE__, p.c_str());
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
}

// Every input starts from the same tree: whatever earlier inputs left
// anywhere but in the platform's own folders goes (a finding must replay
// from its input alone).
void fresh_tree() {
  if (DIR* d = opendir(root.c_str())) {
    std::vector<std::string> stale;
    while (struct dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != ".." && n != "sim" && n != "dev" && n != "host" && n != "sys")
        stale.push_back(n);
    }
    closedir(d);
    for (const std::string& n : stale) fuzz::remove_tree(root + "/" + n);
  }
  mkdir((root + "/proc").c_str(), 0755);
  mkdir((root + "/proc/sys").c_str(), 0755);
  mkdir((root + "/proc/sys/vm").c_str(), 0755);
  put("/usr/data/app.cfg", std::string(136, '\1'));
  put("/usr/data/img/a.jpg", "picture a");
  put("/usr/data/img/deep/er/b.jpg", "picture b");
  put("/media/logo.jpg", "logo");
  put("/media/warn.jpg", "warn");
  put("/tmp/sdcard/mmcblk0p1/img/c.jpg", "card");
  mkdir((root + "/usr/data/empty").c_str(), 0755);
  symlink("../../media", (root + "/usr/data/img/media").c_str());
}

// Real path the daemon acts on for a name, links resolved as far as they
// exist (the rest appended lexically).
std::string target(const std::string& name) {
  std::string p = fuzz::real(name);
  std::string tail;
  for (;;) {
    char buf[PATH_MAX];
    if (realpath(p.c_str(), buf)) return std::string(buf) + tail;
    size_t slash = p.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return p + tail;
    tail = p.substr(slash) + tail;
    p = p.substr(0, slash);
  }
}

bool under(const std::string& path, const std::string& dir) {
  return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                         (dir.back() == '/' || path[dir.size()] == '/'));
}

std::string real_of(const std::string& rel) {
  char buf[PATH_MAX];
  std::string p = root + rel;
  return realpath(p.c_str(), buf) ? std::string(buf) : p;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char buf[PATH_MAX];
  root = realpath(fuzz::device_root().c_str(), buf);
  outside = root + ".outside";
  mkdir(outside.c_str(), 0755);
  FILE* f = fopen((outside + "/secret").c_str(), "wb");
  if (f) fputs("untouchable", f), fclose(f);
  fuzz::line_open();
  const char panel[] = "48x64\n";
  fuzz::write_file("/sim/panel", reinterpret_cast<const uint8_t*>(panel), sizeof panel - 1);
  init_disp();
  CLOCK_STATE.store(-1);
  OFFLINE_MODE_STATE.store(-1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t codes[8] = {38, 39, 40, 42, 98, 99, 110, 113};
  fuzz::Input in(data, size);
  fresh_tree();
  std::string upload_real;  // file of the upload in progress, "" when none
  std::string upload_data;
  bool upload_open = false;
  bool upload_tainted = false;  // named by another command meanwhile

  while (!in.empty()) {
    const uint8_t code = codes[in.u8() % 8];
    const size_t cmd_size = 496 + in.u8() % 9;
    uint8_t cmd[504] = {code, 0, 0x1A, 0x6D, 9, 8, 7, 6};
    const uint8_t name_len = in.u8();
    std::vector<uint8_t> name_bytes = in.bytes(name_len);
    // Usually the true length; sometimes one that reaches past the command.
    uint32_t len_field = uint32_t(name_bytes.size());
    const uint8_t lie = in.u8();
    if (lie >= 0xF0) len_field = uint32_t(cmd_size) - 16 + (lie & 0x0F);
    if (lie == 0xEF) len_field = 0xFFFFFFFFu;
    if (!name_bytes.empty())
      memcpy(cmd + 16, name_bytes.data(), name_bytes.size() < 488 ? name_bytes.size() : 488);
    uint32_t n = 0, w = 0;
    if (code == 39) {  // chunk: N at 8..11, W at 12..15, last flag at 16
      n = in.u8();
      w = in.u8();
      cmd[16] = in.u8() % 3;
      len_field = n;
      cmd[12] = uint8_t(w >> 24), cmd[13] = uint8_t(w >> 16), cmd[14] = uint8_t(w >> 8),
      cmd[15] = uint8_t(w);
    }
    if (code == 40) {
      n = in.u8();
      cmd[12] = uint8_t(n >> 24), cmd[13] = uint8_t(n >> 16), cmd[14] = uint8_t(n >> 8),
      cmd[15] = uint8_t(n);
    }
    cmd[8] = uint8_t(len_field >> 24), cmd[9] = uint8_t(len_field >> 16);
    cmd[10] = uint8_t(len_field >> 8), cmd[11] = uint8_t(len_field);
    std::vector<uint8_t> payload = in.bytes(n);
    payload.resize(n, 0xA7);
    const Command c(cmd, cmd_size);
    std::string name;
    const bool name_ok = c.name(&name);
    // A NUL ends the name where the daemon hands it to the system.
    const std::string sys_name = name.substr(0, strnlen(name.c_str(), name.size()));

    const Files before = fuzz::tree(root);
    const Files outside_before = fuzz::tree(outside);
    fuzz::line_feed(payload.data(), payload.size());
    uint8_t reply[cmd_len] = {};
    Reply r{reply};
    find_command(code)(c, r);
    if (code == 110) stop_local_h264();

    FUZZ_CHECK(fuzz::line_pending() == 0);
    FUZZ_CHECK(fuzz::tree(outside) == outside_before);

    // What this command may change.
    std::string allowed;
    bool allowed_below = false;
    if (name_ok && !sys_name.empty() && (code == 38 || code == 40 || code == 42)) {
      allowed = target(sys_name);
      allowed_below = code == 42;
    }
    const Files after = fuzz::tree(root);
    for (const auto& [rel, content] : before) {
      const std::string real = real_of(rel);
      if (!allowed.empty() && (real == allowed || (allowed_below && under(real, allowed))))
        continue;
      if (upload_open && real == upload_real) continue;
      // The last chunk of an upload drops the page cache: the kernel's
      // control, written by the daemon itself (a host may have put
      // anything there before).
      if (code == 39 && rel == "/proc/sys/vm/drop_caches") continue;
      auto it = after.find(rel);
      FUZZ_CHECK(it != after.end());
      FUZZ_CHECK(it->second == content);
    }

    switch (code) {
      case 38:
        if (reply[8] == 200 && memcmp(reply, "create_failed", 14) != 0) {
          FUZZ_CHECK(name_ok && !sys_name.empty());
          upload_real = target(sys_name);
          upload_data.clear();
          upload_open = true;
          upload_tainted = false;
          struct stat st;
          FUZZ_CHECK(stat(upload_real.c_str(), &st) == 0 && st.st_size == 0);
        } else {
          FUZZ_CHECK(memcmp(reply, "create_failed", 14) == 0);
          upload_open = false;
        }
        break;
      case 39:
        if (upload_open) {
          upload_data.append(reinterpret_cast<const char*>(payload.data()), w < n ? w : n);
          if (cmd[16] == 1) upload_open = false;
          // Each chunk is on storage before the reply, unless the file was
          // since named by another command.
          std::string got;
          if (!upload_tainted) {
            FILE* f = fopen(upload_real.c_str(), "rb");
            FUZZ_CHECK(f != nullptr);
            char b[4096];
            size_t k;
            while ((k = fread(b, 1, sizeof b, f)) > 0) got.append(b, k);
            fclose(f);
            FUZZ_CHECK(got == upload_data);
          }
        }
        break;
      case 98: {
        uint32_t got = uint32_t(reply[8]) | uint32_t(reply[9]) << 8 | uint32_t(reply[10]) << 16 |
                       uint32_t(reply[11]) << 24;
        struct stat st;
        uint32_t want = name_ok && !sys_name.empty() && stat(fuzz::real(sys_name).c_str(), &st) == 0
                            ? uint32_t(st.st_size)
                            : 0;
        if (name_ok) FUZZ_CHECK(got == want);
        break;
      }
      case 99:
        FUZZ_CHECK(r.mode == ReplyMode::Raw);
        if (pager == 0 && name_ok) FUZZ_CHECK(memcmp(reply, "result:", 7) == 0);
        pager = (pager + 1) % 20;
        break;
      default:
        FUZZ_CHECK(r.mode == ReplyMode::Normal);
        break;
    }
    if (code != 38 && upload_open && !allowed.empty() &&
        (upload_real == allowed || (allowed_below && under(upload_real, allowed))))
      upload_tainted = true;
  }
  // An unfinished upload is closed by the next create; end it here too.
  uint8_t cmd[504] = {38, 0, 0x1A, 0x6D};
  uint8_t reply[cmd_len] = {};
  Reply r{reply};
  find_command(38)(Command(cmd, sizeof cmd), r);
  fuzz::line_flush();
  return 0;
}
