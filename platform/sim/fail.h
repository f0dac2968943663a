// The board's vendor calls report a failure by their return value with
// errno set; the simulated ones do the same.
#pragma once

#include <cerrno>

// Sets errno to `error` and gives `result` back: `return fail_with(EINVAL, -1);`.
template <typename T>
T fail_with(int error, T result) {
  errno = error;
  return result;
}
