#include "sim/sim_events.h"

namespace velloquin::sim {

const char* SimEventName(SimEventKind kind) {
  switch (kind) {
    case SimEventKind::kPlugIn: return "plug-in";
    case SimEventKind::kUnplug: return "unplug";
    case SimEventKind::kPortOpened: return "port opened";
    case SimEventKind::kPortClosed: return "port closed";
    case SimEventKind::kBootModeCheck: return "boot mode check";
    case SimEventKind::kBaudReset: return "baud reset";
    case SimEventKind::kBaudShift: return "baud shift";
    case SimEventKind::kDownloadStart: return "download start";
    case SimEventKind::kDownloadEnd: return "download end";
    case SimEventKind::kXoff: return "XOFF";
    case SimEventKind::kXon: return "XON";
    case SimEventKind::kOverrun: return "overrun";
    case SimEventKind::kFlashDone: return "flash done";
    case SimEventKind::kUnlockRequest: return "unlock request";
    case SimEventKind::kUnlockAccepted: return "unlock accepted";
    case SimEventKind::kUnlockRejected: return "unlock rejected";
    case SimEventKind::kInfoRequest: return "info request";
    case SimEventKind::kOpenWrite: return "open for write";
    case SimEventKind::kWriteBlock: return "write block";
    case SimEventKind::kCloseFile: return "close file";
    case SimEventKind::kDeleteFile: return "delete file";
    case SimEventKind::kFinishLoad: return "finish load";
    case SimEventKind::kReset: return "reset";
    case SimEventKind::kIgnored: return "ignored";
    case SimEventKind::kGarbled: return "garbled";
  }
  return "?";
}

}  // namespace velloquin::sim
