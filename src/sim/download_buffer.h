// The printer's download buffer: the firmware stream fills it at wire speed,
// the printer empties it at a fixed rate into its flash buffer. Kept as two
// counters and a rate, so its level at any time is computed, not stepped.
#pragma once

#include <cstdint>

namespace velloquin::sim {

class DownloadBuffer {
 public:
  // `capacity` bytes; `rate` bytes per second (at least 1).
  DownloadBuffer(int64_t capacity, int64_t rate) : capacity_(capacity), rate_(rate) {}

  // A byte arrives at `t_ns` (times never go backwards). False when the
  // buffer is full: the byte is lost.
  bool Push(int64_t t_ns);
  int64_t Level(int64_t t_ns) const { return received_ - Consumed(t_ns); }
  // The first time at or after the last byte when the level is `level` or
  // less.
  int64_t TimeLevelAtMost(int64_t level) const;
  int64_t capacity() const { return capacity_; }

 private:
  int64_t Consumed(int64_t t_ns) const;

  int64_t capacity_;
  int64_t rate_;
  int64_t received_ = 0;
  // Consumption runs at the rate from the anchor on, while there is data; an
  // empty buffer moves the anchor, so idle time is never banked.
  int64_t anchor_ns_ = 0;
  int64_t consumed_at_anchor_ = 0;
};

}  // namespace velloquin::sim
