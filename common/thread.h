// The daemon's one way to run a thread.
//
// Every thread is started by start_thread and ends one of two ways, fixed
// per thread:
//   Detached: started and never joined. The long-lived workers (started once
//     at start-up), and the screens that come and go (clock, slideshow,
//     offline) which are asked to stop through their run-state word and wait
//     for nobody.
//   Joined: the owner asks it to stop (its own word or message) and joins it
//     before it starts the next one or releases what the thread uses: the
//     mirror thread (by the decoder thread) and the local player (under its
//     start lock).
// A failed start is printed and returned; nothing ends the process.
#pragma once

#include <pthread.h>

using ThreadEntry = void* (*)(void*);

enum class ThreadEnd { kDetached, kJoined };

// One thread of either kind. Not copyable; a Joined one must be joined
// before it is started again or destroyed.
class DaemonThread {
 public:
  DaemonThread() = default;
  DaemonThread(const DaemonThread&) = delete;
  DaemonThread& operator=(const DaemonThread&) = delete;

  // Starts entry(arg); pthread_create's result (0 started).
  int start(ThreadEntry entry, void* arg, ThreadEnd end);
  // Waits for a Joined thread to end; does nothing when none was started
  // or it was joined already.
  void join();
  // A Joined thread was started and not yet joined.
  bool joinable() const { return joinable_; }

 private:
  pthread_t handle_{};
  bool joinable_ = false;
};

// Starts a detached thread: the workers and the screens.
int start_thread(ThreadEntry entry, void* arg);
