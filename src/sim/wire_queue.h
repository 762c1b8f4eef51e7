// One direction of the line: bytes waiting to be sent, each taking its wire
// time at its frame. Bytes that follow each other without a gap form a run,
// and every byte's end is computed from the start of its run, so a long run
// keeps exact time.
#pragma once

#include <cstdint>
#include <deque>

#include "sim/wire_frame.h"

namespace velloquin::sim {

class WireQueue {
 public:
  struct Item {
    uint8_t byte = 0;
    LineFrame frame;
    int64_t not_before_ns = 0;
  };

  void Push(uint8_t byte, const LineFrame& frame, int64_t not_before_ns);
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  // When the head byte will have left the wire; kNever when empty or held.
  int64_t HeadDoneNs() const;
  // Removes the head byte, which ended at HeadDoneNs().
  Item PopHead();
  // Bytes that have not started yet go at `frame` (the speed was changed at
  // `now_ns` with bytes still queued).
  void Reframe(const LineFrame& frame, int64_t now_ns);
  // Output held (XOFF received): bytes not started by `now_ns` wait.
  void SetHeld(bool held, int64_t now_ns);
  bool held() const { return held_; }
  void Clear();

 private:
  int64_t HeadStartNs() const;
  bool HeadContinuesRun() const;

  std::deque<Item> items_;
  int64_t wire_free_ns_ = 0;  // end of the last byte sent
  int64_t run_start_ns_ = 0;
  int64_t run_count_ = 0;     // bytes sent in the current run
  LineFrame run_frame_;
  bool held_ = false;
  int64_t held_since_ns_ = 0;
  int64_t released_ns_ = 0;
};

}  // namespace velloquin::sim
