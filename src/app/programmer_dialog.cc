#include "app/programmer_dialog.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <algorithm>

#include "app/app_icon.h"
#include "app/command_line.h"
#include "app/dialog_template.h"
#include "app/dialog_units.h"
#include "app/qt_text.h"
#include "cycle/row_controls.h"

namespace velloquin {
namespace {

constexpr int kPortNameCount = 29;  // "COM1:" to "COM29:"
constexpr int kRefreshPeriodMs = 100;
inline constexpr char kWaitingForThreadStartText[] = "Waiting for Thread Start.";

QString CountsText(int done, int failed) {
  return QStringLiteral("\u2714 %1  \u2716 %2").arg(done).arg(failed);
}

}  // namespace

ProgrammerDialog::ProgrammerDialog(int command_line_rows, DialogServices services, QWidget* parent)
    : QDialog(parent), services_(std::move(services)) {
  setWindowTitle(QString::fromLatin1(kMainCaption));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setWindowIcon(AppIcon());

  // The desktop offers no system menu to extend: the About item goes into the
  // window's context menu.
  auto* about = new QAction(QString::fromLatin1(kAboutMenuText), this);
  connect(about, &QAction::triggered, this, &ProgrammerDialog::ShowAbout);
  addAction(about);
  setContextMenuPolicy(Qt::ActionsContextMenu);

  // A fresh table: every record back to zero, nothing launched, no Start.
  SlotTable& table = *services_.table;
  for (PortSlot& slot : table.Slots) slot.Clear();
  row_count_ = RowsToShow(command_line_rows);
  table.RowCount = row_count_;
  table.LaunchedCount = 0;
  table.StartPressed = 0;
  tally_ = std::make_unique<StationModel>(services_.table, services_.clock);

  BuildGlobalControls();
  BuildRows();
  SetTabOrder();
  ShowRows();

  connect(&launch_timer_, &QTimer::timeout, this, &ProgrammerDialog::OnLaunchTick);
  launch_timer_.start(kLaunchTimerPeriodMs);
  LoadSavedPaths();
  connect(&refresh_timer_, &QTimer::timeout, this, &ProgrammerDialog::RefreshRows);
  refresh_timer_.start(kRefreshPeriodMs);

  if (QScreen* screen = this->screen()) {
    QRect area = screen->availableGeometry();
    QPoint top_left = area.center() - QPoint(width() / 2, height() / 2);
    move(std::max(top_left.x(), area.left()), std::max(top_left.y(), area.top()));
  }
  rows_[0].port->setFocus();
}

ProgrammerDialog::~ProgrammerDialog() = default;

void ProgrammerDialog::BuildGlobalControls() {
  DialogUnits units(fontMetrics());
  for (const GlobalControl& control : kGlobalControls) {
    QWidget* widget = nullptr;
    QString text = QString::fromLatin1(control.text);
    switch (control.kind) {
      case ControlKind::kEdit:
        widget = firmware_path_ = new QLineEdit(this);
        break;
      case ControlKind::kButton: {
        auto* button = new QPushButton(text, this);
        // No default button, not even one picked when the window shows:
        // Enter presses a button only while it has the focus (keyPressEvent).
        button->setAutoDefault(false);
        button->setDefault(false);
        widget = button;
        break;
      }
      case ControlKind::kCheckBox: {
        auto* box = new QCheckBox(text, this);
        if (control.id == kPreProgramVerifyControlId) pre_program_verify_ = box;
        if (control.id == kResetBaudRateControlId) reset_baud_rate_ = box;
        widget = box;
        break;
      }
      case ControlKind::kText: {
        auto* label = new QLabel(this);
        label->setTextFormat(Qt::PlainText);
        verify_line_ = label;
        widget = label;
        break;
      }
    }
    widget->setGeometry(
        units.Rect(control.box.x, control.box.y, control.box.width, control.box.height));
    widget->setObjectName(QStringLiteral("control%1").arg(control.id));
    controls_[control.id] = widget;
  }
  auto button = [this](int id) { return static_cast<QPushButton*>(controls_.at(id)); };
  connect(button(kBrowseControlId), &QPushButton::clicked, this, &ProgrammerDialog::OnBrowse);
  connect(button(kStartControlId), &QPushButton::clicked, this, &ProgrammerDialog::OnStart);
  connect(button(kHelpControlId), &QPushButton::clicked, this, &ProgrammerDialog::OnHelp);
}

void ProgrammerDialog::BuildRows() {
  DialogUnits units(fontMetrics());
  const int item_height = fontMetrics().height() + 2;
  for (int i = 0; i < kSlotCount; ++i) {
    Row& row = rows_[static_cast<size_t>(i)];
    const int top = RowTopUnits(i);

    row.port = new QComboBox(this);
    row.port->setEditable(true);  // pick from the list or type any name
    row.port->setInsertPolicy(QComboBox::NoInsert);
    for (int n = 1; n <= kPortNameCount; ++n) row.port->addItem(QStringLiteral("COM%1:").arg(n));
    row.port->setCurrentIndex(-1);
    row.port->setEditText(QStringLiteral("COM%1:").arg(i + 1));
    const int list_height = units.Y(kRowDropDownUnits[static_cast<size_t>(i)] - kPortBoxUnits.height);
    row.port->setMaxVisibleItems(std::max(1, list_height / item_height));
    row.port->setGeometry(
        units.Rect(kPortBoxUnits.x, top, kPortBoxUnits.width, kPortBoxUnits.height));

    row.status = new QLabel(this);
    row.status->setTextFormat(Qt::PlainText);  // the cycle's text, shown as it is
    row.status->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    row.status->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    row.status->setGeometry(
        units.Rect(kStatusTextUnits.x, top, kStatusTextUnits.width, kStatusTextUnits.height));
    row.status->setContentsMargins(2, 0, 2, 0);
    row.progress = new RowProgressBar(row.status);
    const QRect inside = row.status->contentsRect();
    row.progress->setGeometry(inside.left(), inside.bottom() - 3, inside.width(), 3);

    row.counts = new QLabel(this);
    row.counts->setTextFormat(Qt::PlainText);
    row.counts->setAlignment(Qt::AlignCenter);
    row.counts->setToolTip(QStringLiteral("Printers done and failed on this row since start"));
    row.counts->setGeometry(
        units.Rect(kCountsUnits.x, top, kCountsUnits.width, kCountsUnits.height));

    const int port_id = RowPortControlIds[static_cast<size_t>(i)];
    const int status_id = RowStatusControlIds[static_cast<size_t>(i)];
    row.port->setObjectName(QStringLiteral("control%1").arg(port_id));
    row.status->setObjectName(QStringLiteral("control%1").arg(status_id));
    controls_[port_id] = row.port;
    controls_[status_id] = row.status;
    // The template hides every row; the shown ones are made visible below.
    row.port->hide();
    row.status->hide();
    row.counts->hide();
  }
  DialogUnits size_units(fontMetrics());
  setFixedSize(size_units.X(kWindowWidthUnits), size_units.Y(ClientHeightUnits(row_count_)));
}

void ProgrammerDialog::SetTabOrder() {
  QWidget* previous = nullptr;
  for (int32_t id : TabOrder()) {
    QWidget* widget = controls_.at(id);
    if (widget->focusPolicy() == Qt::NoFocus) continue;  // static texts take no focus
    if (previous) setTabOrder(previous, widget);
    previous = widget;
  }
}

void ProgrammerDialog::ShowRows() {
  for (int i = 0; i < row_count_; ++i) {
    Row& row = rows_[static_cast<size_t>(i)];
    row.port->show();
    row.status->show();
    row.counts->show();
    row.counts->setText(CountsText(0, 0));
    SetStatusText(RowStatusControlIds[static_cast<size_t>(i)], kWaitingForThreadStartText);
  }
}

void ProgrammerDialog::LoadSavedPaths() {
  SavedPaths saved = velloquin::LoadSavedPaths(services_.channels);
  SetFirmwareText(ToQt(saved.firmware));
  verify_line_->setText(ToQt(saved.verify));
}

QWidget* ProgrammerDialog::Control(int id) const {
  auto found = controls_.find(id);
  return found == controls_.end() ? nullptr : found->second;
}

// ---- The workers' operations. ----

void ProgrammerDialog::SetStatusText(int status_control_id, const std::string& text) {
  int row = RowOfStatusControl(status_control_id);
  if (row < 0) return;
  rows_[static_cast<size_t>(row)].status->setText(ToQt(text));
  tally_->SetStatusText(status_control_id, text);
}

std::string ProgrammerDialog::GetPortName(int port_control_id) {
  int row = RowOfPortControl(port_control_id);
  if (row < 0) return {};
  return FromQt(rows_[static_cast<size_t>(row)].port->currentText());
}

std::string ProgrammerDialog::GetFirmwarePath() { return FromQt(firmware_path_->text()); }

std::string ProgrammerDialog::GetVerifyFileText() { return FromQt(verify_line_->text()); }

bool ProgrammerDialog::IsPreProgramVerifyChecked() { return pre_program_verify_->isChecked(); }

bool ProgrammerDialog::IsResetBaudRateChecked() { return reset_baud_rate_->isChecked(); }

// ---- Handlers. ----

void ProgrammerDialog::OnStart() { OnStartPressed(*services_.table); }

void ProgrammerDialog::OnLaunchTick() {
  if (OnLaunchTimerTick(*services_.table, services_.start_thread)) launch_timer_.stop();
}

void ProgrammerDialog::SetFirmwareText(const QString& path) {
  firmware_path_->setText(path);
  // The end of a long path is what tells files apart: show it.
  firmware_path_->setCursorPosition(static_cast<int>(path.size()));
}

void ProgrammerDialog::OnBrowse() {
  WorkingDirectoryGuard working_directory;
  FileDialogs& dialogs = services_.file_dialogs ? *services_.file_dialogs : desktop_dialogs_;
  std::optional<QString> chosen = dialogs.ChooseFile(this, QString::fromLatin1(kBootFilesFilter));
  if (!chosen) return;
  SetFirmwareText(*chosen);
  SavedPaths paths;
  paths.firmware = FromQt(*chosen);
  paths.verify = VerificationValue(paths.firmware, [&] {
    dialogs.ShowMessage(this, QCoreApplication::applicationName(),
                        QString::fromLatin1(NoVerificationMessage));
  });
  verify_line_->setText(ToQt(paths.verify));
  // A store that cannot be written keeps the old values; the new ones are
  // used for this run all the same.
  SaveChosenPaths(services_.channels, paths);
}

void ProgrammerDialog::OnHelp() { OpenHelpPage(services_.boot_directory, services_.open_url); }

void ProgrammerDialog::ShowAbout() {
  AboutDialog about(this);
  about.exec();
}

void ProgrammerDialog::reject() { close(); }

void ProgrammerDialog::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && event->modifiers() == Qt::NoModifier) {
    // The dialog's OK command does nothing; on a push button, Enter presses it.
    if (auto* button = qobject_cast<QPushButton*>(focusWidget())) button->click();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void ProgrammerDialog::closeEvent(QCloseEvent* event) {
  if (closing_) {
    // A second close request while the first one waits for the workers.
    event->ignore();
    return;
  }
  closing_ = true;
  launch_timer_.stop();
  // Workers write their rows and read the controls through calls this thread
  // serves: keep serving them while waiting, but take no operator input, so
  // nothing new (a Browse, a second close) starts inside the wait.
  stopped_in_time_ = StopWorkers(
      *services_.table,
      [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); },
      *services_.clock);
  RefreshRows();
  refresh_timer_.stop();
  event->accept();
  QDialog::done(QDialog::Rejected);
}

// ---- The rows' cues. ----

void ProgrammerDialog::RefreshRows() {
  tally_->PollStates();
  tally_->TakeEvents();  // only the latest state of each row is shown
  for (int i = 0; i < row_count_; ++i) {
    StationModel::RowSnapshot snapshot = tally_->Row(i);
    RowView view;
    view.cue = CueOfState(snapshot.state);
    view.percent = ProgressPercent(snapshot.status);
    view.done = snapshot.counts.done;
    view.failed = snapshot.counts.failed;
    ApplyRowView(rows_[static_cast<size_t>(i)], view);
  }
}

void ProgrammerDialog::ApplyRowView(Row& row, const RowView& view) {
  if (view.cue != row.view.cue) {
    QColor colour = CueColour(view.cue);
    QPalette palette = this->palette();
    if (colour.isValid()) palette.setColor(QPalette::Window, colour);
    row.status->setPalette(palette);
    row.status->setAutoFillBackground(colour.isValid());
  }
  row.progress->SetPercent(view.percent);
  if (view.done != row.view.done || view.failed != row.view.failed) {
    row.counts->setText(CountsText(view.done, view.failed));
  }
  row.view = view;
}

ProgrammerDialog::RowView ProgrammerDialog::RowDecoration(int row) const {
  if (row < 0 || row >= kSlotCount) return {};
  return rows_[static_cast<size_t>(row)].view;
}

}  // namespace velloquin
