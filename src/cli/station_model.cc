#include "cli/station_model.h"

#include <chrono>
#include <cstdlib>

#include "cycle/row_controls.h"

namespace velloquin {
namespace {

// The row whose worker runs on this thread, learnt from the control ids the
// worker names in its calls (a worker always writes its status before it asks
// for a check box).
thread_local int t_worker_row = -1;

// Bounds what a front end that stopped taking events can pile up.
constexpr size_t kMaxQueuedEvents = 100000;

}  // namespace

StationModel::StationModel(SlotTable* table, Clock* clock)
    : table_(table), clock_(clock), start_ms_(clock->NowMs()) {
  for (int i = 0; i < kSlotCount; ++i) rows_[i].port = "COM" + std::to_string(i + 1) + ":";
}

void StationModel::SetPortName(int row, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (row >= 0 && row < kSlotCount) rows_[row].port = name;
}

void StationModel::SetFirmwarePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  firmware_path_ = path;
}

void StationModel::SetVerifyFileText(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  verify_text_ = text;
}

void StationModel::SetPreProgramVerify(bool checked) {
  std::lock_guard<std::mutex> lock(mutex_);
  pre_program_verify_ = checked;
}

void StationModel::SetResetBaudRate(bool checked) {
  std::lock_guard<std::mutex> lock(mutex_);
  reset_baud_rate_ = checked;
}

void StationModel::SetResetBaudRateForRow(int row, bool checked) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (row >= 0 && row < kSlotCount) reset_baud_rows_[row] = checked;
}

void StationModel::BeginStop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
}

void StationModel::NoteChange(int row, int32_t state, const std::string* status) {
  RowState& r = rows_[row];
  bool state_changed = state != r.state;
  bool text_changed = status && *status != r.status;
  if (!state_changed && !text_changed) return;
  int64_t now = clock_->NowMs();
  if (state_changed) {
    if (IsPrinterWorkState(state) && r.counts.printer_start_ms < 0) r.counts.printer_start_ms = now;
    if (IsFinishingState(state) && !IsFinishingState(r.state) && !stopping_) {
      if (state == Done) {
        ++r.counts.done;
      } else {
        ++r.counts.failed;
      }
      if (r.counts.printer_start_ms >= 0) r.counts.busy_ms += now - r.counts.printer_start_ms;
      r.counts.printer_start_ms = -1;
    }
    r.state = state;
  }
  if (text_changed) r.status = *status;
  if (events_.size() < kMaxQueuedEvents) {
    events_.push_back({now - start_ms_, row + 1, r.port, r.state, r.status});
  }
  ++version_;
  changed_.notify_all();
}

void StationModel::SetStatusText(int status_control_id, const std::string& text) {
  int row = RowOfStatusControl(status_control_id);
  if (row < 0) return;
  t_worker_row = row;
  int32_t state = table_->Slots[static_cast<size_t>(row)].State.load();
  std::lock_guard<std::mutex> lock(mutex_);
  NoteChange(row, state, &text);
}

void StationModel::PollStates() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int row = 0; row < kSlotCount; ++row) {
    NoteChange(row, table_->Slots[static_cast<size_t>(row)].State.load(), nullptr);
  }
}

std::string StationModel::GetPortName(int port_control_id) {
  int row = RowOfPortControl(port_control_id);
  if (row >= 0) t_worker_row = row;
  std::lock_guard<std::mutex> lock(mutex_);
  return row < 0 ? std::string() : rows_[row].port;
}

std::string StationModel::GetFirmwarePath() {
  std::lock_guard<std::mutex> lock(mutex_);
  return firmware_path_;
}

std::string StationModel::GetVerifyFileText() {
  std::lock_guard<std::mutex> lock(mutex_);
  return verify_text_;
}

bool StationModel::IsPreProgramVerifyChecked() {
  std::lock_guard<std::mutex> lock(mutex_);
  return pre_program_verify_;
}

bool StationModel::IsResetBaudRateChecked() {
  std::lock_guard<std::mutex> lock(mutex_);
  return reset_baud_rate_ || (t_worker_row >= 0 && reset_baud_rows_[t_worker_row]);
}

void StationModel::WaitForChange(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                    [&] { return version_ != seen_version_; });
  seen_version_ = version_;
}

std::vector<RowEvent> StationModel::TakeEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<RowEvent> events;
  events.swap(events_);
  return events;
}

StationModel::RowSnapshot StationModel::Row(int row) {
  std::lock_guard<std::mutex> lock(mutex_);
  const RowState& r = rows_[row];
  return {r.port, r.status, r.state, r.counts};
}

bool StationModel::AllRowsFinished(int rows, int printers) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (int row = 0; row < rows; ++row) {
    if (rows_[row].counts.done + rows_[row].counts.failed < printers) return false;
  }
  return true;
}

int StationModel::TotalDone(int rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  int total = 0;
  for (int row = 0; row < rows; ++row) total += rows_[row].counts.done;
  return total;
}

int StationModel::TotalFailed(int rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  int total = 0;
  for (int row = 0; row < rows; ++row) total += rows_[row].counts.failed;
  return total;
}

int ProgressPercent(const std::string& status) {
  static const std::string kPrefix = "Flash Update In Progress, ";
  if (status.rfind(kPrefix, 0) != 0) return -1;
  return std::atoi(status.c_str() + kPrefix.size());
}

}  // namespace velloquin
