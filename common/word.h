// A word shared between threads without a lock.
//
// The daemon's threads exchange flags and counters through single 32-bit
// words that are read and written whole (run states, counters, geometry).
// SharedWord keeps that design but makes every access a relaxed atomic, so
// the accesses are well defined and the thread sanitizer stays quiet, while
// reads still look like plain reads.
#pragma once

#include <atomic>

template <typename T>
class SharedWord {
 public:
  constexpr SharedWord(T v = T()) noexcept : v_(v) {}
  SharedWord(const SharedWord&) = delete;
  SharedWord& operator=(const SharedWord&) = delete;

  // Reads convert implicitly; writes are named, so that `x = x ^ 1` (a read
  // and a separate write) does not compile and cannot pass for one step.
  operator T() const noexcept { return v_.load(std::memory_order_relaxed); }
  T load() const noexcept { return v_.load(std::memory_order_relaxed); }
  void store(T v) noexcept { v_.store(v, std::memory_order_relaxed); }

  // Read-modify-write, each one atomic step; all return the old value.
  T exchange(T v) noexcept { return v_.exchange(v, std::memory_order_relaxed); }
  T fetch_add(T d) noexcept { return v_.fetch_add(d, std::memory_order_relaxed); }
  T fetch_sub(T d) noexcept { return v_.fetch_sub(d, std::memory_order_relaxed); }
  T fetch_xor(T d) noexcept { return v_.fetch_xor(d, std::memory_order_relaxed); }
  // Stores `desired` only when the word still holds `expected`.
  bool compare_exchange(T expected, T desired) noexcept {
    return v_.compare_exchange_strong(expected, desired, std::memory_order_relaxed);
  }

 private:
  std::atomic<T> v_;
};
