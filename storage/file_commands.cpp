// Host file commands: chunked upload (38, 39), small file (40), delete (42),
// file size (98), paged directory listing (99) and storage figures (100).
//
// Threading: command-loop thread, and the chunk writer thread (started with
// the first upload, never joined) that writes one upload chunk at a time
// while the loop takes the next one off the line. The upload stream passes
// between the two under the writer's lock; the listing pager is the loop's. Errors: every command
// that passed validation is answered; a command whose name or payload is unusable is not carried
// out, and its payload is still taken off the line so the link stays in step.
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "common/thread.h"
#include "platform/system.h"
#include "protocol/command.h"
#include "storage/files.h"

namespace {

FILE* saveFp = nullptr;  // upload in progress, null when none

// Writes a chunk that is not the last while the command loop reads the next
// one: the line would otherwise stand idle for as long as each write takes.
// Only one chunk is in hand at a time, so at most two are not yet on
// storage (save_file waits for the earlier ones).
class ChunkWriter {
 public:
  // Waits for the chunk in hand, then hands this one over. `buf` stays
  // untouched by the caller until the next settle().
  void hand_over(FILE* fp, const uint8_t* buf, uint32_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return !busy_; });
    if (!started_) {
      if (start_thread(&ChunkWriter::run, this) != 0) {
        lock.unlock();
        write(fp, buf, size);  // no thread: written here, as before
        return;
      }
      started_ = true;
    }
    fp_ = fp;
    buf_ = buf;
    size_ = size;
    busy_ = true;
    work_.notify_one();
  }

  // Waits until the chunk in hand is written.
  void settle() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return !busy_; });
  }

 private:
  static void write(FILE* fp, const uint8_t* buf, uint32_t size) {
    if (save_file(fp, buf, size, 0) != 0) puts("save file buffer: chunk not written");
  }

  static void* run(void* self) {
    auto* w = static_cast<ChunkWriter*>(self);
    std::unique_lock<std::mutex> lock(w->mutex_);
    for (;;) {
      w->work_.wait(lock, [w] { return w->busy_; });
      lock.unlock();
      write(w->fp_, w->buf_, w->size_);
      lock.lock();
      w->busy_ = false;
      w->idle_.notify_all();
    }
    return nullptr;
  }

  std::mutex mutex_;
  std::condition_variable work_, idle_;
  bool started_ = false;
  bool busy_ = false;
  FILE* fp_ = nullptr;
  const uint8_t* buf_ = nullptr;
  uint32_t size_ = 0;
};

ChunkWriter writer;
// The receive buffer's twin: a chunk in the writer's hand stays in one while
// the next payload arrives in the other (r_buf and this swap places).
std::unique_ptr<uint8_t[]> spare_store;
uint8_t* spare = nullptr;
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
  writer.settle();
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
  writer.settle();
  if (last) {
    save_file(saveFp, r_buf, w, last);
    saveFp = nullptr;
    return;
  }
  if (!spare) {
    spare_store.reset(new (std::nothrow) uint8_t[max_packet_len]);
    spare = spare_store.get();
  }
  if (!spare) {
    save_file(saveFp, r_buf, w, 0);  // no memory for a second buffer: written here
    return;
  }
  std::swap(r_buf, spare);
  writer.hand_over(saveFp, spare, w);
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

void settle_upload_before(uint8_t code) {
  if (code != 39) writer.settle();
}

PANELD_COMMAND(38, create_file);
PANELD_COMMAND(39, save_chunk);
PANELD_COMMAND(40, small_file);
PANELD_COMMAND(42, delete_file);
PANELD_COMMAND(98, file_size);
PANELD_COMMAND(99, list_dir);
PANELD_COMMAND(100, query_storage);
