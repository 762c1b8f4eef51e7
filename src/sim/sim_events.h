// What the simulated printer and adapter record for tests and tools to read:
// a log of what each printer received and did, the DTR/RTS levels with their
// times, and the line settings the station applied.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/wire_frame.h"

namespace velloquin::sim {

enum class SimEventKind {
  kPlugIn,
  kUnplug,
  kPortOpened,
  kPortClosed,
  kBootModeCheck,
  kBaudReset,
  kBaudShift,
  kDownloadStart,   // first byte of the firmware stream; the main program is erased
  kDownloadEnd,     // detail: the byte count and why it ended
  kXoff,
  kXon,
  kOverrun,         // a stream byte arrived at a full buffer and was lost
  kFlashDone,       // detail: the sums reported from now on
  kUnlockRequest,   // detail: the challenge
  kUnlockAccepted,
  kUnlockRejected,
  kInfoRequest,
  kOpenWrite,       // detail: the file name
  kWriteBlock,      // detail: the block length
  kCloseFile,       // detail: the file name and its size
  kDeleteFile,      // detail: the file name, and whether it was there
  kFinishLoad,      // detail: whether the reset into boot-load mode is armed
  kReset,           // the DTR pulse train restarted the printer
  kIgnored,         // a command that was understood but not carried out
  kGarbled,         // a byte at a speed or frame the printer was not listening at
};

const char* SimEventName(SimEventKind kind);

struct SimEvent {
  int64_t t_ns = 0;
  int printer = 0;  // 1-based place on the bench; 0: the adapter
  SimEventKind kind = SimEventKind::kIgnored;
  std::string detail;
};

enum class ControlLine { kDtr, kRts };
// What moved a control line: the station's EscapeFunction, the DTR/RTS modes
// of SetConfig, opening (a tty raises both) or closing (and drops them).
enum class LineCause { kEscape, kConfig, kOpen, kClose };

struct LineLevelChange {
  int64_t t_ns = 0;
  ControlLine line = ControlLine::kDtr;
  bool on = false;
  LineCause cause = LineCause::kEscape;
};

struct LineSettingsChange {
  int64_t t_ns = 0;
  LineFrame frame;
  uint32_t dcb_flags = 0;
};

// A history that keeps its newest `kCapacity` entries, so a station left
// running for days does not grow without bound.
template <typename T>
class BoundedHistory {
 public:
  static constexpr size_t kCapacity = 100000;
  void Add(T entry) {
    if (entries_.size() == kCapacity) {
      entries_.pop_front();
      ++dropped_;
    }
    entries_.push_back(std::move(entry));
  }
  std::vector<T> Snapshot() const { return {entries_.begin(), entries_.end()}; }
  const T* Last() const { return entries_.empty() ? nullptr : &entries_.back(); }
  size_t dropped() const { return dropped_; }

 private:
  std::deque<T> entries_;
  size_t dropped_ = 0;
};

}  // namespace velloquin::sim
