// PortSlot: the record of one row's programming cycle, and the static table of
// 20 of them. Plain data shared by the GUI thread (launch and close), the
// row's worker and the boot-loader operations the worker calls.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "iocomm/io_comm.h"

namespace velloquin {

// The cycle's states. The numbers are fixed: they are tested by value, shown
// in the headless station's JSON events, and 5 is never used.
enum SlotState : int32_t {
  NotStarted = 0,
  Restarting = 1,
  LookingForPrinter = 2,
  CheckingBootMode = 3,
  Downloading = 4,
  Terminated = 6,
  StopRequested = 7,
  OpeningPort = 8,
  Exiting = 9,
  NotInBootMode = 10,
  Failed = 11,
  WaitingForFlash = 12,
  Done = 13,
  ForcingBootMode = 14,
  VerifyingAfterProgram = 15,
  VerifyingBeforeProgram = 16,
};

const char* SlotStateName(int32_t state);

// A printer is being worked on: from the moment its row sees it connected
// until the row reports.
bool IsPrinterWorkState(int32_t state);
// The row has finished a printer: programmed, failed, or not in boot-load mode.
inline bool IsFinishingState(int32_t state) {
  return state == Done || state == Failed || state == NotInBootMode;
}

struct PortSlot {
  // The current SlotState; one indivisible 32-bit value, no lock: the last
  // writer wins, which is why the close handler repeats its stop request.
  std::atomic<int32_t> State{NotStarted};
  // The worker thread is detached when it is launched and never joined; only
  // its id is kept, for diagnostics.
  uint64_t ThreadId = 0;
  std::unique_ptr<IOComm> Channel;  // owned by the row's worker
  std::FILE* FirmwareFile = nullptr;  // open only while a download runs
  int32_t PortControlId = 0;
  int32_t StatusControlId = 0;
  std::string* InfoText = nullptr;  // the worker's copy of the boot loader's info text
  // The channel on which a missing unlock key table was last reported, so the
  // activity log says it once per channel rather than on every unlock.
  const IOComm* UnlockKeyReportedOn = nullptr;

  // Back to the all-zero state of a freshly initialised dialog.
  void Clear();
};

inline constexpr int kSlotCount = 20;

struct SlotTable {
  std::array<PortSlot, kSlotCount> Slots;
  std::atomic<int32_t> RowCount{4};
  std::atomic<int32_t> LaunchedCount{0};
  std::atomic<int32_t> StartPressed{0};
};

}  // namespace velloquin
