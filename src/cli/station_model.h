// The headless station's model of its rows: what the window's controls would
// hold (port boxes, status texts, firmware path, verification line, the two
// check boxes), served to the workers from any thread under one lock. Every
// change of a row's status text or state becomes an event that the front end
// takes and shows; the finished printers are counted per row.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "bootloader/worker_operations.h"
#include "cycle/port_slot.h"
#include "platform/clock.h"

namespace velloquin {

struct RowEvent {
  int64_t t_ms = 0;  // since the station started
  int row = 0;       // 1 to 20
  std::string port;
  int32_t state = 0;
  std::string status;
};

struct RowCounts {
  int done = 0;
  int failed = 0;           // Failed or NotInBootMode
  int64_t busy_ms = 0;      // printer connected to finished, summed over printers
  int64_t printer_start_ms = -1;
};

class StationModel final : public WorkerOperations {
 public:
  StationModel(SlotTable* table, Clock* clock);

  // Settings of the controls.
  void SetPortName(int row, const std::string& name);  // row 0 to 19
  void SetFirmwarePath(const std::string& path);
  void SetVerifyFileText(const std::string& text);
  void SetPreProgramVerify(bool checked);
  void SetResetBaudRate(bool checked);
  // "Reset Baud Rate" ticked for one row only (a headless-station extra: the
  // window's check box is one for all rows).
  void SetResetBaudRateForRow(int row, bool checked);

  // WorkerOperations, called from the workers.
  void SetStatusText(int status_control_id, const std::string& text) override;
  std::string GetPortName(int port_control_id) override;
  std::string GetFirmwarePath() override;
  std::string GetVerifyFileText() override;
  bool IsPreProgramVerifyChecked() override;
  bool IsResetBaudRateChecked() override;

  // The station is stopping: what rows end in from now on (a download cut
  // short by the stop, say) is not counted as a printer finished.
  void BeginStop();

  // Looks at the rows' states (call from the front end's thread now and then,
  // so a state change without a new status text is seen too).
  void PollStates();
  // Waits until something changed or `timeout_ms` of real time passed.
  void WaitForChange(int timeout_ms);
  // Takes the events since the last call, oldest first.
  std::vector<RowEvent> TakeEvents();

  struct RowSnapshot {
    std::string port;
    std::string status;
    int32_t state = 0;
    RowCounts counts;
  };
  RowSnapshot Row(int row);
  // True when every row 0..rows-1 has finished at least `printers` printers.
  bool AllRowsFinished(int rows, int printers);
  // Totals over rows 0..rows-1.
  int TotalDone(int rows);
  int TotalFailed(int rows);

 private:
  struct RowState {
    std::string port;
    std::string status;
    int32_t state = NotStarted;  // as of the last event
    RowCounts counts;
  };
  // Records a state or text change of `row` (lock held).
  void NoteChange(int row, int32_t state, const std::string* status);

  SlotTable* table_;
  Clock* clock_;
  int64_t start_ms_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t version_ = 0;
  uint64_t seen_version_ = 0;
  std::array<RowState, kSlotCount> rows_;
  std::vector<RowEvent> events_;
  std::string firmware_path_;
  std::string verify_text_;
  bool pre_program_verify_ = false;
  bool reset_baud_rate_ = false;
  bool stopping_ = false;
  std::array<bool, kSlotCount> reset_baud_rows_{};
};

// "Flash Update In Progress, 41% ..." gives 41; any other text -1.
int ProgressPercent(const std::string& status);

}  // namespace velloquin
