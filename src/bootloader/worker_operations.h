// The six operations through which a row's worker (and the boot-loader
// exchanges it runs) reads and writes its row of the station. The window
// serves them on its GUI thread; the headless station from a thread-safe
// model; tests with a recorder. Every call may come from any worker thread.
#pragma once

#include <string>

namespace velloquin {

// "NO VERIFICATION FILE FOUND, NO VERIFICATION WILL BE DONE.": when the
// verification line shows it, the rows skip every verification.
inline constexpr char NoVerificationMessage[] =
    "NO VERIFICATION FILE FOUND, NO VERIFICATION WILL BE DONE.";

class WorkerOperations {
 public:
  virtual ~WorkerOperations() = default;
  virtual void SetStatusText(int status_control_id, const std::string& text) = 0;
  virtual std::string GetPortName(int port_control_id) = 0;
  virtual std::string GetFirmwarePath() = 0;
  virtual std::string GetVerifyFileText() = 0;
  virtual bool IsPreProgramVerifyChecked() = 0;
  virtual bool IsResetBaudRateChecked() = 0;
};

}  // namespace velloquin
