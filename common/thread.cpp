#include "common/thread.h"

#include <cstdio>
#include <cstring>

int DaemonThread::start(ThreadEntry entry, void* arg, ThreadEnd end) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (end == ThreadEnd::kDetached) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  const int rc = pthread_create(&handle_, &attr, entry, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) fprintf(stderr, "thread start failed: %s\n", strerror(rc));
  joinable_ = rc == 0 && end == ThreadEnd::kJoined;
  return rc;
}

void DaemonThread::join() {
  if (!joinable_) return;
  pthread_join(handle_, nullptr);
  joinable_ = false;
}

int start_thread(ThreadEntry entry, void* arg) {
  DaemonThread t;
  return t.start(entry, arg, ThreadEnd::kDetached);
}
