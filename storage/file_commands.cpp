// Host file commands: chunked upload (38, 39), small file (40), delete (42),
// file size (98), paged directory listing (99) and storage figures (100).
//
// Threading: command-loop thread only; the upload stream and the listing
// pager are its private state. Errors: every command that passed validation
// is answered; a command whose name or payload is unusable is not carried
// out, and its payload is still taken off the line so the link stays in step.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/system.h"
#include "protocol/command.h"
#include "storage/files.h"

namespace {

FILE* saveFp = nullptr;  // upload in progress, null when none
// Text of the last directory listing, NUL-filled after the text.
char dir_result[kDirResultLen];
uint32_t dir_offset = 0;  // next slice of dir_result: 0, 512, ..., 9728

void put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// The name of a path command, after its "name_len" line; false after the
// `refused` line when the name would reach beyond the command.
bool logged_name(const Command& c, std::string* name, const char* refused) {
  printf("name_len: %u\n", c.be32(8));
  if (c.name(name)) return true;
  puts(refused);
  return false;
}

// Ends an unfinished upload so that its data is kept and the stream freed.
void close_upload() {
  if (!saveFp) return;
  puts("close unfinished upload");
  fflush(saveFp);
  fsync(fileno(saveFp));
  fclose(saveFp);
  saveFp = nullptr;
}

void create_file(const Command& c, Reply& r) {
  puts("create file \r");
  // A new create starts a new upload: chunks must not land in the old file.
  close_upload();
  std::string name;
  bool ok = c.name(&name);
  if (!ok) puts("create file: name beyond the command");
  if (ok && !name.empty()) saveFp = dev_fopen(name.c_str(), "w+");
  if (saveFp) {
    printf("create file success %s \r\n", name.c_str());
    r.data[8] = 200;
  } else {
    puts("create_failed \r");
    // The header overwrites bytes 0..5: the host sees "_failed" at 6..12.
    memcpy(r.data, "create_failed", sizeof "create_failed");
  }
}

void save_chunk(const Command& c, Reply& r) {
  uint32_t n = c.be32(8);
  uint32_t w = c.be32(12);
  int last = c.u8(16) == 1 ? 1 : 0;
  puts("save file buffer \r");
  printf("file_len: %u\n", w);
  if (read_payload(r_buf, n, max_packet_len) < 0) {
    printf("save file buffer: payload of %u bytes not taken\n", n);
    return;
  }
  if (!saveFp) {
    puts("save file buffer: no file open");
    return;
  }
  // Never write bytes that did not arrive.
  if (w > n) w = n;
  save_file(saveFp, r_buf, w, last);
  if (last) saveFp = nullptr;
}

void small_file(const Command& c, Reply& r) {
  uint32_t len = c.be32(8);
  uint32_t n = c.be32(12);
  printf("name_len: %u file_len: %u\n", len, n);
  std::string name;
  if (!c.name(&name)) {
    puts("save_small_file: name beyond the command");
    drain_payload(n);
    return;
  }
  printf("save_small_file name: %s \n", name.c_str());
  if (read_payload(r_buf, n, max_packet_len) < 0) {
    printf("save_small_file: payload of %u bytes not taken\n", n);
    return;
  }
  save_small_file(name.c_str(), r_buf, n);
}

void delete_file(const Command& c, Reply& r) {
  std::string name;
  if (!logged_name(c, &name, "del_file: name beyond the command")) return;
  printf("del_file name: %s \n", name.c_str());
  DeleteFile(name.c_str());
}

void file_size(const Command& c, Reply& r) {
  std::string name;
  if (!logged_name(c, &name, "get file size: name beyond the command")) return;
  uint32_t size = GetFileSize(name.c_str());
  put_le32(r.data + 8, size);
  printf("get file size: %s %u\n", name.c_str(), size);
}

void list_dir(const Command& c, Reply& r) {
  if (dir_offset == 0) {
    memset(dir_result, 0, sizeof dir_result);
    std::string name;
    // A name beyond the command gives an empty listing: the host gets zero
    // slices, never an older listing.
    if (logged_name(c, &name, "querry: name beyond the command")) {
      printf("querry name: %s \n", name.c_str());
      GetDir(name.c_str(), dir_result, sizeof dir_result);
      printf("dir_result: %s \n", dir_result);
    }
  }
  memcpy(r.data, dir_result + dir_offset, cmd_len);
  dir_offset += cmd_len;
  if (dir_offset >= kDirResultLen) dir_offset = 0;
  r.mode = ReplyMode::Raw;
}

void query_storage(const Command& c, Reply& r) {
  QuerryStorage();
  for (int i = 0; i < 6; i++) put_le32(r.data + 8 + 4 * i, storage[i]);
  uint32_t total = storage[0];
  printf("QuerryStorage ret  %u %u %u \n", total & 0xFF, (total >> 8) & 0xFF, (total >> 16) & 0xFF);
}

}  // namespace

PANELD_COMMAND(38, create_file);
PANELD_COMMAND(39, save_chunk);
PANELD_COMMAND(40, small_file);
PANELD_COMMAND(42, delete_file);
PANELD_COMMAND(98, file_size);
PANELD_COMMAND(99, list_dir);
PANELD_COMMAND(100, query_storage);
