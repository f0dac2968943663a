// A word shared between threads without a lock.
//
// The daemon's threads exchange flags and counters through single 32-bit
// words that are read and written whole (run states, counters, geometry).
// SharedWord keeps that design but makes every access a relaxed atomic, so
// the accesses are well defined and the thread sanitizer stays quiet, while
// the code still reads like plain assignments.
#pragma once

#include <atomic>

template <typename T>
class SharedWord {
 public:
  constexpr SharedWord(T v = T()) noexcept : v_(v) {}
  SharedWord(const SharedWord&) = delete;
  SharedWord& operator=(const SharedWord&) = delete;

  operator T() const noexcept { return v_.load(std::memory_order_relaxed); }
  T load() const noexcept { return v_.load(std::memory_order_relaxed); }
  SharedWord& operator=(T v) noexcept {
    v_.store(v, std::memory_order_relaxed);
    return *this;
  }
  T operator++() noexcept { return v_.fetch_add(1, std::memory_order_relaxed) + 1; }
  T operator--() noexcept { return v_.fetch_sub(1, std::memory_order_relaxed) - 1; }
  T operator++(int) noexcept { return v_.fetch_add(1, std::memory_order_relaxed); }
  T operator+=(T d) noexcept { return v_.fetch_add(d, std::memory_order_relaxed) + d; }
  T operator^=(T d) noexcept { return v_.fetch_xor(d, std::memory_order_relaxed) ^ d; }
  // Stores `desired` only when the word still holds `expected`.
  bool compare_exchange(T expected, T desired) noexcept {
    return v_.compare_exchange_strong(expected, desired, std::memory_order_relaxed);
  }

 private:
  std::atomic<T> v_;
};
