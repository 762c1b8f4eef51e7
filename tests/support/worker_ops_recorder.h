// A WorkerOperations for tests: serves the row's inputs from settable values
// and records every status text per control id, in order. Safe to call from
// any number of worker threads at once.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bootloader/worker_operations.h"

namespace velloquin::testing_support {

class WorkerOpsRecorder : public WorkerOperations {
 public:
  // WorkerOperations.
  void SetStatusText(int status_control_id, const std::string& text) override;
  std::string GetPortName(int port_control_id) override;
  std::string GetFirmwarePath() override;
  std::string GetVerifyFileText() override;
  bool IsPreProgramVerifyChecked() override;
  bool IsResetBaudRateChecked() override;

  // What the operations serve. A port control id without its own name gets
  // the default name.
  void SetPortName(const std::string& name);
  void SetPortName(int port_control_id, const std::string& name);
  void SetFirmwarePath(const std::string& path);
  void SetVerifyFileText(const std::string& text);
  void SetPreProgramVerify(bool checked);
  void SetResetBaudRate(bool checked);

  // Every status text shown on a control, oldest first.
  std::vector<std::string> StatusTexts(int status_control_id) const;
  // The last one, or "" if none.
  std::string LastStatus(int status_control_id) const;
  // Every call in order, as "Name" or "Name(argument)" (status texts
  // included), to check when an input was read.
  std::vector<std::string> Calls() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::string default_port_name_ = "COM1:";
  std::map<int, std::string> port_names_;
  std::string firmware_path_;
  std::string verify_text_;
  bool pre_program_verify_ = false;
  bool reset_baud_rate_ = false;
  std::map<int, std::vector<std::string>> status_texts_;
  std::vector<std::string> calls_;
};

}  // namespace velloquin::testing_support
