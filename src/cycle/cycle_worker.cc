#include "cycle/cycle_worker.h"

#include <array>

#include "bootloader/commands.h"
#include "bootloader/unlock.h"
#include "bootloader/verify.h"
#include "bootloader/worker_operations.h"

namespace velloquin {
namespace {

constexpr int kOpenRetryPauseMs = 100;
constexpr int kReopenPauseMs = 1000;
constexpr int kLookingPauseMs = 800;
constexpr int kShortPauseMs = 100;
constexpr int kButtonRetryPauseMs = 2000;
constexpr int kVerifiedBlinkMs = 1000;
constexpr int kBootModeReplySize = 20;
constexpr int kMaxBootModeFailures = 4;
constexpr int kBaudResetPauseMs = 500;
constexpr int kBaudResetWaitBudgetMs = 5000;
constexpr int kBootModeDrainMs = 2000;

}  // namespace

CycleWorker::CycleWorker(PortSlot* slot, const ProtocolContext& context)
    : slot_(slot), context_(context) {
  slot_->InfoText = &info_text_;
}

int RunCycle(PortSlot* slot, const ProtocolContext& context) {
  CycleWorker worker(slot, context);
  return worker.Run();
}

int CycleWorker::Run() {
  while (State() != Exiting) Step();
  if (slot_->Channel) slot_->Channel->Close();
  slot_->Channel.reset();
  Status(kTerminatedText);
  // After this store the worker touches neither the slot nor the dialog.
  SetState(Terminated);
  return 0;
}

void CycleWorker::Step() {
  switch (State()) {
    case Restarting: return RestartingStep();
    case OpeningPort: return OpeningPortStep();
    case LookingForPrinter: return LookingForPrinterStep();
    case VerifyingBeforeProgram: return VerifyingBeforeProgramStep();
    case CheckingBootMode: return CheckingBootModeStep();
    case ForcingBootMode: return ForcingBootModeStep();
    case Downloading: return DownloadingStep();
    case WaitingForFlash: return WaitingForFlashStep();
    case VerifyingAfterProgram: return VerifyingAfterProgramStep();
    case Done: return DoneStep();
    case NotInBootMode: return NotInBootModeStep();
    case Failed: return FailedStep();
    case StopRequested: return StopRequestedStep();
    default:
      // A value without a step (a stray store): nothing to do, but never spin
      // a core while something else decides.
      Pause(kShortPauseMs);
      return;
  }
}

void CycleWorker::RenewChannel() {
  if (slot_->Channel) slot_->Channel->Close();
  slot_->Channel = std::make_unique<IOComm>(context_.channel_env);
}

void CycleWorker::Status(const std::string& text) {
  context_.dialog->SetStatusText(slot_->StatusControlId, text);
}

void CycleWorker::ToggleDtr() {
  if (toggle_count_ % 2 == 0) {
    DtrOn();
  } else {
    DtrOff();
  }
  ++toggle_count_;
}

void CycleWorker::Blink() {
  ToggleDtr();
  if (toggle_count_ % 2 == 0) {
    RtsOn();
  } else {
    RtsOff();
  }
}

void CycleWorker::PulseDtr(int levels, int level_ms) {
  for (int k = 0; k < levels; ++k) {
    if (k % 2 == 0) {
      DtrOn();
    } else {
      DtrOff();
    }
    Pause(level_ms);
  }
}

bool CycleWorker::RestartOnButtonOrDisconnect(uint32_t lines) {
  // The button wins over a disconnect seen in the same pass.
  if (lines & LineCts) {
    error_text_.clear();
    SetState(Restarting);
    Status(kButtonRestartingText);
    return true;
  }
  if (!(lines & LineDsr)) {
    error_text_.clear();
    SetState(Restarting);
    Status(kDisconnectedRestartingText);
    return true;
  }
  return false;
}

void CycleWorker::RestartingStep() {
  RenewChannel();
  info_text_.clear();
  DtrOn();
  RtsOff();
  Status(kWaitingForStartText);
  SetState(OpeningPort);
  aborted_ = false;
  toggle_count_ = 0;
  pass_count_ = 0;
  retry_count_ = 0;
}

void CycleWorker::OpeningPortStep() {
  Status(kOpeningPortText);
  port_name_ = context_.dialog->GetPortName(slot_->PortControlId);
  Channel().Close();
  Pause(kReopenPauseMs);
  Channel().SetHandshake(0);
  if (!Channel().OpenPort(port_name_, kPrinterModeSettings, 0)) {
    Pause(kOpenRetryPauseMs);
    return;
  }
  Channel().SetHandshake(0);
  DtrOn();
  RtsOff();
  SetState(LookingForPrinter);
}

void CycleWorker::LookingForPrinterStep() {
  DtrOff();
  RtsOff();
  Status(kLookingForPrinterText);
  Channel().Open();
  Channel().SetHandshake(0);
  if (Channel().GetLineStatus() & LineDsr) SetState(VerifyingBeforeProgram);
  if (toggle_count_ % 2 == 0) {
    DtrOn();
    RtsOn();
  } else {
    DtrOff();
    RtsOff();
  }
  ++toggle_count_;
  Pause(kLookingPauseMs);
}

void CycleWorker::VerifyingBeforeProgramStep() {
  if (!context_.dialog->IsPreProgramVerifyChecked()) {
    SetState(CheckingBootMode);
    return;
  }
  Status(kVerifyingCurrentText);
  std::string verify_path = context_.dialog->GetVerifyFileText();
  ReadBootLoaderInfo(slot_, context_, port_name_);
  if (verify_path == NoVerificationMessage ||
      !VerifyFirmware(slot_, verify_path, &error_text_)) {
    // No verification file, or the printer holds other firmware: program it.
    // The " Verify Failed " left in the error text is not shown.
    SetState(CheckingBootMode);
    return;
  }
  DtrOn();
  Status(kCurrentVerifiedText);
  SetState(Done);
  // DTR off, on, off, on, off: five levels of a second each.
  for (int k = 0; k < 5; ++k) {
    if (k % 2 == 0) {
      DtrOff();
    } else {
      DtrOn();
    }
    Pause(kVerifiedBlinkMs);
  }
}

void CycleWorker::CheckingBootModeStep() {
  if (context_.dialog->IsPreProgramVerifyChecked()) {
    SetState(ForcingBootMode);
    return;
  }
  Channel().Close();
  RenewChannel();
  Channel().OpenPort(port_name_, kPrinterModeSettings, 0);
  Status(kCheckingBootModeText);
  Channel().SetHandshake(0);
  ToggleDtr();
  RtsOff();

  if (!Channel().OutputString(BootModeCheck)) {
    if (++retry_count_ >= kMaxBootModeFailures) {
      SetState(NotInBootMode);
      return;
    }
    Pause(kShortPauseMs);
    return;
  }
  Pause(kShortPauseMs);

  if (context_.dialog->IsResetBaudRateChecked()) {
    // No answer is read on this path: the printer is always forced.
    Channel().OutputString(BaudResetCommand);
    Pause(kBaudResetPauseMs);
    WaitForBootLoader(slot_, context_, kBaudResetWaitBudgetMs);
    SetState(ForcingBootMode);
    return;
  }
  if (Channel().GetPortType() != Usb) Channel().WaitDrain(kBootModeDrainMs);
  std::array<uint8_t, kBootModeReplySize> reply{};
  int count = Channel().Input(reply.data(), kBootModeReplySize);
  if (count < 1 || reply[0] != kBootModeReply) {
    if (++retry_count_ >= kMaxBootModeFailures) {
      SetState(ForcingBootMode);
      return;
    }
    Pause(kShortPauseMs);
    return;
  }
  RtsOff();
  Pause(kShortPauseMs);
  SetState(Downloading);
}

void CycleWorker::VerifyingAfterProgramStep() {
  std::string verify_path = context_.dialog->GetVerifyFileText();
  if (verify_path == NoVerificationMessage) {
    SetState(Done);
    return;
  }
  if (VerifyFirmware(slot_, verify_path, &error_text_)) {
    SetState(Done);
  } else {
    error_text_ = kVerifyFailedText;
    SetState(Failed);
  }
}

void CycleWorker::DoneStep() {
  Status(kDoneText);
  Channel().SetHandshake(0);
  DtrOff();
  RtsOn();
  // The lines are not looked at in the first two passes, so a button still
  // held from the previous step is not taken as a new press.
  if (pass_count_++ >= 2) {
    uint32_t lines = Channel().GetLineStatus();
    if (RestartOnButtonOrDisconnect(lines)) {
      Channel().Close();
      Pause(kShortPauseMs);
      return;
    }
  }
  Blink();
  Pause(kShortPauseMs);
}

void CycleWorker::NotInBootModeStep() {
  Status(kNotInBootModeText);
  Channel().Open();
  Channel().SetHandshake(0);
  DtrOff();
  RtsOn();
  if (Channel().GetLineStatus() & LineCts) {
    SetState(Restarting);
    Status(kButtonRetryingText);
    DtrOn();
    RtsOn();
    Pause(kButtonRetryPauseMs);
    return;
  }
  Pause(kShortPauseMs);
}

void CycleWorker::FailedStep() {
  DtrOff();
  RtsOn();
  Status(kErrorPrefix + error_text_ + kErrorSuffix);
  Channel().Open();
  if (Channel().GetLineStatus() & LineCts) {
    error_text_.clear();
    SetState(Restarting);
    Status(kButtonRetryingText);
    DtrOn();
    RtsOn();
    Pause(kButtonRetryPauseMs);
    aborted_ = false;
    return;
  }
  Pause(kShortPauseMs);
}

void CycleWorker::StopRequestedStep() {
  if (slot_->Channel) {
    DtrOff();
    RtsOff();
  }
  Status(kAbortingText);
  if (slot_->Channel) Channel().Close();
  if (slot_->FirmwareFile) {
    std::fclose(slot_->FirmwareFile);
    slot_->FirmwareFile = nullptr;
  }
  Pause(kShortPauseMs);
  SetState(Exiting);
}

}  // namespace velloquin
