// A re-entrant mutex with a bounded wait. The standard timed mutexes wait
// with pthread_mutex_clocklock, which the thread sanitizer of our toolchain
// does not follow (it then reports every unlock as wrong); this one waits by
// trying, so every lock and unlock is one the tools understand. The wait is
// for another thread of this process, not for a device, so it runs in real
// time whatever clock the caller uses.
#pragma once

#include <chrono>
#include <mutex>
#include <thread>

namespace velloquin {

class RecursiveTimedMutex {
 public:
  template <typename Rep, typename Period>
  bool try_lock_for(std::chrono::duration<Rep, Period> wait) {
    if (mutex_.try_lock()) return true;
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (mutex_.try_lock()) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
    }
  }
  void lock() { mutex_.lock(); }
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

}  // namespace velloquin
