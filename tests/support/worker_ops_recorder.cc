#include "support/worker_ops_recorder.h"

namespace velloquin::testing_support {

void WorkerOpsRecorder::SetStatusText(int status_control_id, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_texts_[status_control_id].push_back(text);
  calls_.push_back("SetStatusText(" + text + ")");
}

std::string WorkerOpsRecorder::GetPortName(int port_control_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back("GetPortName");
  auto found = port_names_.find(port_control_id);
  return found != port_names_.end() ? found->second : default_port_name_;
}

std::string WorkerOpsRecorder::GetFirmwarePath() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back("GetFirmwarePath");
  return firmware_path_;
}

std::string WorkerOpsRecorder::GetVerifyFileText() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back("GetVerifyFileText");
  return verify_text_;
}

bool WorkerOpsRecorder::IsPreProgramVerifyChecked() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back("IsPreProgramVerifyChecked");
  return pre_program_verify_;
}

bool WorkerOpsRecorder::IsResetBaudRateChecked() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back("IsResetBaudRateChecked");
  return reset_baud_rate_;
}

void WorkerOpsRecorder::SetPortName(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_port_name_ = name;
}

void WorkerOpsRecorder::SetPortName(int port_control_id, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  port_names_[port_control_id] = name;
}

void WorkerOpsRecorder::SetFirmwarePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  firmware_path_ = path;
}

void WorkerOpsRecorder::SetVerifyFileText(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  verify_text_ = text;
}

void WorkerOpsRecorder::SetPreProgramVerify(bool checked) {
  std::lock_guard<std::mutex> lock(mutex_);
  pre_program_verify_ = checked;
}

void WorkerOpsRecorder::SetResetBaudRate(bool checked) {
  std::lock_guard<std::mutex> lock(mutex_);
  reset_baud_rate_ = checked;
}

std::vector<std::string> WorkerOpsRecorder::StatusTexts(int status_control_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = status_texts_.find(status_control_id);
  return found != status_texts_.end() ? found->second : std::vector<std::string>{};
}

std::string WorkerOpsRecorder::LastStatus(int status_control_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = status_texts_.find(status_control_id);
  return found != status_texts_.end() && !found->second.empty() ? found->second.back() : "";
}

std::vector<std::string> WorkerOpsRecorder::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

void WorkerOpsRecorder::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  status_texts_.clear();
  calls_.clear();
}

}  // namespace velloquin::testing_support
