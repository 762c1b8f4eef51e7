// The time seam. Every pause and every time-out of the station goes through a
// Clock, so that a whole programming cycle (with its 15 s waits and 20 s steps)
// can run in virtual time under test, and its exact timing can be asserted.
#pragma once

#include <atomic>
#include <cstdint>

namespace velloquin {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary, fixed origin. Never goes backwards.
  virtual int64_t NowMs() = 0;
  // Pauses the calling thread for `ms` milliseconds (0 or less: no pause).
  virtual void SleepMs(int64_t ms) = 0;
  // Pauses until NowMs() >= deadline_ms.
  void SleepUntil(int64_t deadline_ms) {
    int64_t now = NowMs();
    if (deadline_ms > now) SleepMs(deadline_ms - now);
  }
};

// Wall-clock time (steady clock) and real sleeps.
class SystemClock final : public Clock {
 public:
  int64_t NowMs() override;
  void SleepMs(int64_t ms) override;
  // One shared instance for real runs.
  static SystemClock& Instance();
};

// Time that only moves when somebody sleeps: SleepMs advances it at once.
// Safe to share between threads, but a virtual clock shared by several
// busy threads gives no meaningful ordering; tests give each independent
// row its own clock.
class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(int64_t start_ms = 0) : now_ms_(start_ms) {}
  int64_t NowMs() override { return now_ms_.load(std::memory_order_relaxed); }
  void SleepMs(int64_t ms) override {
    if (ms > 0) now_ms_.fetch_add(ms, std::memory_order_relaxed);
  }
  // Total of all sleeps so far, for tests that assert a step's duration.
  void Advance(int64_t ms) { SleepMs(ms); }

 private:
  std::atomic<int64_t> now_ms_;
};

}  // namespace velloquin
