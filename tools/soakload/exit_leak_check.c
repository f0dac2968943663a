/* Preloaded into a sanitizer build's daemon by scripts/soak.sh.
 *
 * The exit command ends the daemon with _exit, which skips the leak
 * checker's own check at exit, so the check runs here first. A report ends
 * the process with the sanitizer's error status.
 *
 * With SOAK_HEAP_LOG set, the daemon (not panelsim, which carries the
 * preload too) also appends "epoch_seconds live_KiB" to that file every two
 * seconds: the bytes its live allocations hold, as the sanitizer's
 * allocator counts them. Its resident memory is no measure of a leak: the
 * allocator keeps freed blocks in quarantine and reuses memory by size
 * class, so resident memory creeps up over an hour with nothing lost.
 *
 * Built without sanitizers: it only calls into the runtime the daemon
 * carries. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

void __lsan_do_leak_check(void) __attribute__((weak));
size_t __sanitizer_get_current_allocated_bytes(void) __attribute__((weak));

void _exit(int status) {
  if (__lsan_do_leak_check) __lsan_do_leak_check();
  syscall(SYS_exit_group, status);
  for (;;) {
  }
}

static int heap_log = -1;

static void* sample_heap(void* unused) {
  (void)unused;
  for (;;) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    dprintf(heap_log, "%lld.%03ld %zu\n", (long long)now.tv_sec, now.tv_nsec / 1000000L,
            __sanitizer_get_current_allocated_bytes() / 1024);
    sleep(2);
  }
  return NULL;
}

__attribute__((constructor)) static void start_heap_samples(void) {
  const char* path = getenv("SOAK_HEAP_LOG");
  if (!path || !*path || !__sanitizer_get_current_allocated_bytes) return;
  if (strcmp(program_invocation_short_name, "paneld") != 0) return;
  heap_log = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (heap_log < 0) return;
  pthread_t t;
  if (pthread_create(&t, NULL, sample_heap, NULL) == 0) pthread_detach(t);
}
