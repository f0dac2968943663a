// Message queues between threads (the board's vendor queue library).
//
// A message is the address of a record that the sender owns; the queue only
// carries the pointer, in the order sent. Every operation is thread-safe and
// may be called from any thread. A queue must not be deleted while a thread
// still waits on it. Failures: create returns null, send returns -1; receive
// returns null when nothing arrived (receive_timeout) or the queue is null.
#pragma once

struct MessageQueue;

// The queue library is a C library.
extern "C" {

// The two arguments are the vendor library's options; the daemon passes 0, 0.
MessageQueue* message_queue_create(int size, int flags);
// Appends `msg`; 0, or -1 for a null queue.
int message_queue_send(MessageQueue* q, void* msg);
// Waits until a message is there and returns the oldest one.
void* message_queue_receive(MessageQueue* q);
// As message_queue_receive, but gives up after `timeout_ms` milliseconds
// and returns null.
void* message_queue_receive_timeout(MessageQueue* q, int timeout_ms);
// Messages waiting; 0 for a null queue.
int message_queue_size(MessageQueue* q);
// Destroys the queue; the messages still in it are dropped (their records
// belong to their senders). Null is ignored.
void message_queue_delete(MessageQueue* q);

}  // extern "C"
