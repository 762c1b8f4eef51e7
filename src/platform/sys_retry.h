// The one place that retries a system call interrupted by a signal. Every
// call that can fail with EINTR goes through RetryOnInterrupt, so that a
// signal arriving in the middle of a read, a poll or an ioctl never surfaces
// as a port failure.
//
// Never wrap close() in it: on Linux the descriptor is released even when
// close() reports EINTR, and closing it again could close a descriptor that
// another thread has been given in the meantime.
#pragma once

#include <cerrno>

namespace velloquin {

// Calls `call` until it returns something other than -1 with errno EINTR, and
// returns that result (errno stays as the last attempt left it). A call that
// computes its own time-out (poll to a deadline) recomputes it on each attempt.
template <typename Call>
auto RetryOnInterrupt(Call&& call) {
  for (;;) {
    auto result = call();
    if (!(result == -1 && errno == EINTR)) return result;
  }
}

}  // namespace velloquin
