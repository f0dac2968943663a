/* Preloaded into a sanitizer build's daemon by scripts/soak.sh: the exit
 * command ends the daemon with _exit, which skips the leak checker's own
 * check at exit, so the check runs here first. A report ends the process
 * with the sanitizer's error status. Built without sanitizers: it only
 * calls into the runtime the daemon carries. */
#define _GNU_SOURCE
#include <sys/syscall.h>
#include <unistd.h>

void __lsan_do_leak_check(void) __attribute__((weak));

void _exit(int status) {
  if (__lsan_do_leak_check) __lsan_do_leak_check();
  syscall(SYS_exit_group, status);
  for (;;) {
  }
}
