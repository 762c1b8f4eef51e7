#include "cycle/port_slot.h"

namespace velloquin {

const char* SlotStateName(int32_t state) {
  switch (state) {
    case NotStarted: return "NotStarted";
    case Restarting: return "Restarting";
    case LookingForPrinter: return "LookingForPrinter";
    case CheckingBootMode: return "CheckingBootMode";
    case Downloading: return "Downloading";
    case Terminated: return "Terminated";
    case StopRequested: return "StopRequested";
    case OpeningPort: return "OpeningPort";
    case Exiting: return "Exiting";
    case NotInBootMode: return "NotInBootMode";
    case Failed: return "Failed";
    case WaitingForFlash: return "WaitingForFlash";
    case Done: return "Done";
    case ForcingBootMode: return "ForcingBootMode";
    case VerifyingAfterProgram: return "VerifyingAfterProgram";
    case VerifyingBeforeProgram: return "VerifyingBeforeProgram";
  }
  return "Unknown";
}

bool IsPrinterWorkState(int32_t state) {
  switch (state) {
    case VerifyingBeforeProgram:
    case CheckingBootMode:
    case ForcingBootMode:
    case Downloading:
    case WaitingForFlash:
    case VerifyingAfterProgram:
      return true;
    default:
      return false;
  }
}

void PortSlot::Clear() {
  State = NotStarted;
  ThreadId = 0;
  Channel.reset();
  if (FirmwareFile) std::fclose(FirmwareFile);
  FirmwareFile = nullptr;
  PortControlId = 0;
  StatusControlId = 0;
  InfoText = nullptr;
  UnlockKeyReportedOn = nullptr;
}

}  // namespace velloquin
