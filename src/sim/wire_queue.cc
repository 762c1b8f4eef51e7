#include "sim/wire_queue.h"

#include <algorithm>

namespace velloquin::sim {

void WireQueue::Push(uint8_t byte, const LineFrame& frame, int64_t not_before_ns) {
  items_.push_back(Item{byte, frame, not_before_ns});
}

int64_t WireQueue::HeadStartNs() const {
  return std::max({wire_free_ns_, items_.front().not_before_ns, released_ns_});
}

bool WireQueue::HeadContinuesRun() const {
  return run_count_ > 0 && HeadStartNs() == wire_free_ns_ && items_.front().frame == run_frame_;
}

int64_t WireQueue::HeadDoneNs() const {
  if (items_.empty()) return kNever;
  int64_t start = HeadStartNs();
  if (held_ && start >= held_since_ns_) return kNever;
  const LineFrame& frame = items_.front().frame;
  if (HeadContinuesRun()) return run_start_ns_ + WireNs(run_count_ + 1, frame);
  return start + WireNs(1, frame);
}

WireQueue::Item WireQueue::PopHead() {
  int64_t done = HeadDoneNs();
  if (HeadContinuesRun()) {
    ++run_count_;
  } else {
    run_start_ns_ = HeadStartNs();
    run_count_ = 1;
    run_frame_ = items_.front().frame;
  }
  wire_free_ns_ = done;
  Item head = items_.front();
  items_.pop_front();
  return head;
}

void WireQueue::Reframe(const LineFrame& frame, int64_t now_ns) {
  for (size_t i = 0; i < items_.size(); ++i) {
    bool on_the_wire = i == 0 && HeadStartNs() < now_ns && !(held_ && HeadStartNs() >= held_since_ns_);
    if (!on_the_wire) items_[i].frame = frame;
  }
}

void WireQueue::SetHeld(bool held, int64_t now_ns) {
  if (held == held_) return;
  held_ = held;
  if (held) {
    held_since_ns_ = now_ns;
  } else {
    released_ns_ = now_ns;
  }
}

void WireQueue::Clear() {
  items_.clear();
  held_ = false;
}

}  // namespace velloquin::sim
