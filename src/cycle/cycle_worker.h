// The cycle worker: the body of a row's thread. It runs the row's state
// machine one step per pass, for as long as the station runs, and so serves
// one printer after another on the row's port. It reports only through the
// row's status text.
#pragma once

#include <string>

#include "bootloader/protocol_context.h"
#include "cycle/port_slot.h"

namespace velloquin {

// Status texts of the cycle, exactly as the rows show them.
inline constexpr char kWaitingForStartText[] = "Waiting for Start....";
inline constexpr char kOpeningPortText[] = "Opening/Trying Comm Port.";
inline constexpr char kLookingForPrinterText[] = "Looking for Printer to be connected.";
inline constexpr char kVerifyingCurrentText[] = "Verifying current firmware.";
inline constexpr char kCurrentVerifiedText[] = "Current firmware verified.";
inline constexpr char kCheckingBootModeText[] = "Checking for Printer to be in BOOT LOAD Mode.";
inline constexpr char kDoneText[] =
    "*** DONE PROGRAMMING PRINTER ***, Waiting for Disconnect/Re-connect or Button push to "
    "re-program printer.";
inline constexpr char kButtonRestartingText[] = "Button Press Detected; Restarting...";
inline constexpr char kDisconnectedRestartingText[] = "Printer Disconnected; Restarting...";
inline constexpr char kButtonRetryingText[] = "Button Press Detected; Retrying...";
inline constexpr char kNotInBootModeText[] =
    "Printer is NOT in Boot Load Mode; Put Printer Into Boot Load Mode then--> Press Button on "
    "Dongle to Retry.";
inline constexpr char kErrorPrefix[] = "ERROR: ";
inline constexpr char kErrorSuffix[] = " Press Button on Dongle to Retry";
inline constexpr char kAbortingText[] = "Aborting Process.";
inline constexpr char kTerminatedText[] = "Process Terminated.";

// The worker's own items, alive for the whole life of the worker thread.
class CycleWorker {
 public:
  CycleWorker(PortSlot* slot, const ProtocolContext& context);

  // The loop: runs until the slot's State is Exiting, then destroys the
  // channel, shows "Process Terminated." and stores Terminated as its very
  // last action. Returns 0.
  int Run();

  // One pass: the step of the current State.
  void Step();

  const std::string& ErrorText() const { return error_text_; }

 private:
  // The states of the cycle (cycle_worker.cc).
  void RestartingStep();
  void OpeningPortStep();
  void LookingForPrinterStep();
  void VerifyingBeforeProgramStep();
  void CheckingBootModeStep();
  void VerifyingAfterProgramStep();
  void DoneStep();
  void NotInBootModeStep();
  void FailedStep();
  void StopRequestedStep();
  // The firmware download and the wait for the flash (firmware_download.cc).
  void DownloadingStep();
  void WaitingForFlashStep();
  // Forcing boot-load mode (forcing_boot_mode.cc).
  void ForcingBootModeStep();

  // Shared small steps.
  IOComm& Channel() { return *slot_->Channel; }
  void RenewChannel();
  void Status(const std::string& text);
  void Pause(int ms) { context_.clock->SleepMs(ms); }
  void SetState(SlotState state) { slot_->State.store(state); }
  int32_t State() const { return slot_->State.load(); }
  void DtrOn() { Channel().ClearDtr(0); }
  void DtrOff() { Channel().ClearDtr(1); }
  void RtsOn() { Channel().ClearRts(0); }
  void RtsOff() { Channel().ClearRts(1); }
  // DTR on for an even toggle count, off for an odd one; counts up.
  void ToggleDtr();
  // DTR and RTS at opposite levels, swapping on every call.
  void Blink();
  // `levels` DTR levels of `level_ms` each, starting with on.
  void PulseDtr(int levels, int level_ms);
  // The adapter button or a disconnect ends a waiting state: true when the
  // cycle restarts.
  bool RestartOnButtonOrDisconnect(uint32_t lines);

  PortSlot* slot_;
  const ProtocolContext& context_;
  std::string error_text_;
  std::string port_name_;
  std::string info_text_;
  bool aborted_ = false;
  int toggle_count_ = 0;
  int pass_count_ = 0;
  int retry_count_ = 0;
};

// The thread entry's work: runs the worker on the slot and returns 0.
int RunCycle(PortSlot* slot, const ProtocolContext& context);

}  // namespace velloquin
