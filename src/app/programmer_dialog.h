// ProgrammerDialog: the station's window. The firmware path with Browse, the
// two check boxes, Start and Help, the verification line, and 4 to 20 port
// rows, each a port box and a status text that its worker writes. It also
// serves the workers' operations (on the GUI thread: the worker bridge
// carries calls from other threads here), launches one worker per tick of the
// 30 ms timer after Start, and stops them all, within a bound, when it closes.
#pragma once

#include <QDialog>
#include <QTimer>
#include <array>
#include <map>
#include <memory>
#include <string>

#include "app/about_help.h"
#include "app/file_selection.h"
#include "app/row_cues.h"
#include "bootloader/worker_operations.h"
#include "cli/station_model.h"
#include "cycle/port_slot.h"
#include "cycle/worker_launch.h"
#include "iocomm/channel_env.h"
#include "platform/clock.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace velloquin {

// What the window is handed: the row table, the seams it works through, and
// how a row's worker is started.
struct DialogServices {
  SlotTable* table = nullptr;  // required; outlives every worker
  Clock* clock = nullptr;      // required; the close handler's pauses
  ChannelEnv channels;         // for the saved paths' temporary channel
  StartWorkerThread start_thread;
  FileDialogs* file_dialogs = nullptr;  // null: the desktop's dialogs
  UrlOpener open_url;                   // empty: the desktop's opener
  std::string boot_directory;           // where the help page lies
};

class ProgrammerDialog final : public QDialog, public WorkerOperations {
 public:
  // `command_line_rows`: 0 (no "ports:" argument) shows 4 rows.
  ProgrammerDialog(int command_line_rows, DialogServices services, QWidget* parent = nullptr);
  ~ProgrammerDialog() override;

  // WorkerOperations, GUI thread only (the bridge brings other threads here).
  void SetStatusText(int status_control_id, const std::string& text) override;
  std::string GetPortName(int port_control_id) override;
  std::string GetFirmwarePath() override;
  std::string GetVerifyFileText() override;
  bool IsPreProgramVerifyChecked() override;
  bool IsResetBaudRateChecked() override;

  // The handlers.
  void OnStart();
  void OnBrowse();
  void OnHelp();
  void ShowAbout();

  int RowCount() const { return row_count_; }
  // The control with a template id (a row's box or text, or a global
  // control), or null.
  QWidget* Control(int id) const;
  // Whether the close found every worker ended within its bound.
  bool WorkersStoppedInTime() const { return stopped_in_time_; }

  // What a row shows beside its text (for tests and the screenshot).
  struct RowView {
    RowCue cue = RowCue::kNone;
    int percent = -1;  // -1: no progress bar
    int done = 0;
    int failed = 0;
  };
  RowView RowDecoration(int row) const;
  // Brings the rows' colours, bars and counts up to date (also done every
  // 100 ms by a timer).
  void RefreshRows();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 public:
  // Escape: the same orderly close as the close box.
  void reject() override;
  // Enter: nothing.
  void accept() override {}

 private:
  struct Row {
    QComboBox* port = nullptr;
    QLabel* status = nullptr;
    RowProgressBar* progress = nullptr;
    QLabel* counts = nullptr;
    RowView view;
  };
  void BuildGlobalControls();
  void BuildRows();
  void SetTabOrder();
  void ShowRows();
  void LoadSavedPaths();
  void OnLaunchTick();
  void ApplyRowView(Row& row, const RowView& view);
  void SetFirmwareText(const QString& path);

  DialogServices services_;
  QtFileDialogs desktop_dialogs_;
  int row_count_ = 4;
  std::map<int, QWidget*> controls_;
  QLineEdit* firmware_path_ = nullptr;
  QLabel* verify_line_ = nullptr;
  QCheckBox* pre_program_verify_ = nullptr;
  QCheckBox* reset_baud_rate_ = nullptr;
  std::array<Row, kSlotCount> rows_;
  QTimer launch_timer_;
  QTimer refresh_timer_;
  // Counts the printers each row finished, from the states and texts it sees.
  std::unique_ptr<StationModel> tally_;
  bool closing_ = false;
  bool stopped_in_time_ = true;
};

}  // namespace velloquin
