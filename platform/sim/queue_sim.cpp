// Message queues on a mutex and a condition variable.
//
// Any thread may call any function; each queue has its own lock. Errors are
// returned as null / -1, never thrown.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>

#include "platform/queue.h"

struct MessageQueue {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<void*> items;
};

MessageQueue* message_queue_create(int, int) { return new (std::nothrow) MessageQueue; }

int message_queue_send(MessageQueue* q, void* msg) {
  if (!q) return -1;
  {
    std::lock_guard<std::mutex> lock(q->mu);
    q->items.push_back(msg);
  }
  q->cv.notify_one();
  return 0;
}

void* message_queue_receive(MessageQueue* q) {
  if (!q) return nullptr;
  std::unique_lock<std::mutex> lock(q->mu);
  q->cv.wait(lock, [q] { return !q->items.empty(); });
  void* msg = q->items.front();
  q->items.pop_front();
  return msg;
}

void* message_queue_receive_timeout(MessageQueue* q, int timeout_ms) {
  if (!q) return nullptr;
  std::unique_lock<std::mutex> lock(q->mu);
  if (!q->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms),
                      [q] { return !q->items.empty(); }))
    return nullptr;
  void* msg = q->items.front();
  q->items.pop_front();
  return msg;
}

int message_queue_size(MessageQueue* q) {
  if (!q) return 0;
  std::lock_guard<std::mutex> lock(q->mu);
  return static_cast<int>(q->items.size());
}

void message_queue_delete(MessageQueue* q) { delete q; }
