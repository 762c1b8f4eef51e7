#include "app/programmer_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "app/dialog_template.h"
#include "app/dialog_units.h"
#include "app/programmer_app.h"
#include "cycle/row_controls.h"
#include "window_fixture.h"

namespace velloquin {
namespace {

using testing_support::WindowFixture;

QComboBox* PortBox(ProgrammerDialog& dialog, int row) {
  return static_cast<QComboBox*>(dialog.Control(RowPortControlIds[static_cast<size_t>(row)]));
}
QLabel* StatusText(ProgrammerDialog& dialog, int row) {
  return static_cast<QLabel*>(dialog.Control(RowStatusControlIds[static_cast<size_t>(row)]));
}

struct RowsCase {
  std::vector<std::string> arguments;
  int rows;
};

void PrintTo(const RowsCase& c, std::ostream* out) {
  *out << "{";
  for (const std::string& argument : c.arguments) *out << " " << argument;
  *out << " } -> " << c.rows << " rows";
}

class DialogRows : public ::testing::TestWithParam<RowsCase> {};

// The command line decides the rows; exactly rows 1 to n show, and the window
// is as tall as the template with n rows.
TEST_P(DialogRows, ShowsTheRowsTheCommandLineAsks) {
  const RowsCase& c = GetParam();
  ProgrammerApp app(c.arguments);
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(app.CommandLineRows());
  EXPECT_EQ(dialog.RowCount(), c.rows);
  EXPECT_EQ(fixture.table.RowCount, c.rows);
  DialogUnits units(dialog.fontMetrics());
  EXPECT_EQ(dialog.height(), units.Y(ClientHeightUnits(c.rows)));
  for (int row = 0; row < kSlotCount; ++row) {
    const bool shown = row < c.rows;
    EXPECT_EQ(!PortBox(dialog, row)->isHidden(), shown) << "row " << row + 1;
    EXPECT_EQ(!StatusText(dialog, row)->isHidden(), shown) << "row " << row + 1;
  }
  // The last row fits, with the template's margin under it.
  EXPECT_LE(StatusText(dialog, c.rows - 1)->geometry().bottom(), dialog.height());
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, DialogRows,
    ::testing::Values(RowsCase{{}, 4}, RowsCase{{"ports:12"}, 12}, RowsCase{{"/ports:12"}, 12},
                      RowsCase{{"-PORTS:12"}, 12}, RowsCase{{"Ports:12"}, 12},
                      RowsCase{{"ports:1"}, 4}, RowsCase{{"ports:99"}, 20},
                      RowsCase{{"ports:20"}, 20}, RowsCase{{"ports:abc"}, 4},
                      RowsCase{{"ports:"}, 4}, RowsCase{{"ports:8x"}, 8},
                      RowsCase{{"ports:6", "ports:9"}, 9}, RowsCase{{"ports:", "8"}, 4},
                      RowsCase{{"--screenshot", "x.png", "ports:7"}, 7}));

TEST(ProgrammerApp, CommandLineRowsIsZeroWithoutPortsArgument) {
  EXPECT_EQ(ProgrammerApp({}).CommandLineRows(), 0);
  EXPECT_EQ(ProgrammerApp({"ports:5"}).CommandLineRows(), 5);
}

TEST(ProgrammerDialog, CaptionTextsAndStartingState) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(20);
  EXPECT_EQ(dialog.windowTitle(),
            QString("Velloquin (brought to you by Orvenda Technologies Inc.)"));
  EXPECT_FALSE(dialog.windowIcon().isNull());
  struct Text {
    int id;
    const char* text;
  };
  for (Text t : {Text{1043, "Browse..."}, Text{1048, "Do Pre-Program Verify"},
                 Text{1049, "Reset Baud Rate"}, Text{1050, "Start"}, Text{1046, "Help"}}) {
    auto* button = qobject_cast<QAbstractButton*>(dialog.Control(t.id));
    ASSERT_NE(button, nullptr) << t.id;
    EXPECT_EQ(button->text(), QString(t.text));
  }
  for (int id : {1043, 1050, 1046}) {
    EXPECT_FALSE(static_cast<QPushButton*>(dialog.Control(id))->isDefault()) << id;
  }
  EXPECT_FALSE(dialog.IsPreProgramVerifyChecked());
  EXPECT_FALSE(dialog.IsResetBaudRateChecked());
  EXPECT_NE(qobject_cast<QLineEdit*>(dialog.Control(1042)), nullptr);
  EXPECT_NE(qobject_cast<QLabel*>(dialog.Control(1047)), nullptr);
  for (int row = 0; row < 20; ++row) {
    EXPECT_EQ(StatusText(dialog, row)->text(), QString("Waiting for Thread Start."));
    EXPECT_EQ(fixture.table.Slots[static_cast<size_t>(row)].State, NotStarted);
  }
  EXPECT_EQ(fixture.table.StartPressed, 0);
  EXPECT_EQ(fixture.table.LaunchedCount, 0);
}

TEST(ProgrammerDialog, EveryPortBoxOffersCom1ToCom29AndShowsItsOwn) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(20);
  for (int row = 0; row < 20; ++row) {
    QComboBox* box = PortBox(dialog, row);
    ASSERT_EQ(box->count(), 29) << "row " << row + 1;
    for (int n = 0; n < 29; ++n) EXPECT_EQ(box->itemText(n), QString("COM%1:").arg(n + 1));
    EXPECT_TRUE(box->isEditable());
    EXPECT_EQ(box->currentIndex(), -1) << "the list's selection is left unset";
    EXPECT_EQ(dialog.GetPortName(RowPortControlIds[static_cast<size_t>(row)]),
              "COM" + std::to_string(row + 1) + ":");
  }
}

TEST(ProgrammerDialog, TypedPortNamesReachTheWorkerUnchanged) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(4);
  for (const char* typed : {"rfc2217://10.0.0.9:4001", "/dev/ttyUSB3", "10.0.0.5:9100", ""}) {
    PortBox(dialog, 2)->setEditText(QString::fromLatin1(typed));
    EXPECT_EQ(dialog.GetPortName(1006), typed);
    EXPECT_EQ(dialog.GetPortName(1004), "COM2:") << "other rows keep theirs";
  }
  EXPECT_EQ(dialog.GetPortName(1003), "") << "a status id is not a port box";
}

TEST(ProgrammerDialog, IrregularIdsOfRows16To20) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(20);
  DialogUnits units(dialog.fontMetrics());
  struct RowIds {
    int row, port_id, status_id, y_units;
  };
  for (RowIds r : {RowIds{16, 1032, 1037, 233}, RowIds{17, 1033, 1038, 246},
                   RowIds{20, 1036, 1041, 285}}) {
    EXPECT_EQ(dialog.Control(r.port_id), PortBox(dialog, r.row - 1));
    EXPECT_EQ(dialog.Control(r.status_id), StatusText(dialog, r.row - 1));
    EXPECT_EQ(static_cast<QComboBox*>(dialog.Control(r.port_id))->currentText(),
              QString("COM%1:").arg(r.row));
    EXPECT_EQ(dialog.Control(r.status_id)->y(), units.Y(r.y_units));
    dialog.SetStatusText(r.status_id, "row text");
    EXPECT_EQ(StatusText(dialog, r.row - 1)->text(), QString("row text"));
  }
}

TEST(ProgrammerDialog, TabOrderFollowsTheTemplate) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(20);
  std::vector<int> expected;
  for (int row = 0; row < 20; ++row) expected.push_back(RowPortControlIds[static_cast<size_t>(row)]);
  for (int id : {1042, 1043, 1046, 1048, 1049, 1050}) expected.push_back(id);
  std::vector<int> seen;
  QWidget* widget = dialog.Control(1002);
  for (size_t guard = 0; guard < 500 && seen.size() < expected.size(); ++guard) {
    for (int id : expected) {
      if (dialog.Control(id) == widget && (seen.empty() || seen.back() != id)) seen.push_back(id);
    }
    widget = widget->nextInFocusChain();
  }
  EXPECT_EQ(seen, expected);
  for (int id : {1003, 1037, 1047}) EXPECT_EQ(dialog.Control(id)->focusPolicy(), Qt::NoFocus);
}

TEST(ProgrammerDialog, EnterNeitherClosesNorStartsAnything) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(4);
  dialog.show();
  for (int id : {1042, 1002, 1048, 1049, 1047}) {
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
      QWidget* target = dialog.Control(id);
      if (auto* box = qobject_cast<QComboBox*>(target)) target = box->lineEdit();
      QTest::keyClick(target, key);
      QCoreApplication::processEvents();
    }
  }
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(fixture.table.StartPressed, 0);
  EXPECT_EQ(PortBox(dialog, 0)->count(), 29) << "Enter adds nothing to the list";
  EXPECT_EQ(dialog.GetPortName(1002), "COM1:");
  EXPECT_TRUE(fixture.dialogs.filters.empty()) << "Browse was not pressed";
  EXPECT_TRUE(fixture.opened.empty()) << "Help was not pressed";
  // On a push button with the focus, Enter presses that button.
  dialog.Control(1050)->setFocus();
  QTest::keyClick(dialog.Control(1050), Qt::Key_Return);
  EXPECT_EQ(fixture.table.StartPressed, 1);
  EXPECT_TRUE(fixture.dialogs.filters.empty());
}

TEST(ProgrammerDialog, StartLaunchesOneRowPerTickOnceEvenWhenPressedTwice) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(4);
  QTest::qWait(100);
  EXPECT_TRUE(fixture.launched.empty()) << "the timer launches nothing before Start";
  auto* start = static_cast<QPushButton*>(dialog.Control(1050));
  QTest::mouseClick(start, Qt::LeftButton);
  QTest::mouseClick(start, Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return fixture.launched.size() == 4; }, 2000));
  QTest::qWait(100);
  ASSERT_EQ(fixture.launched.size(), 4u);
  for (int row = 0; row < 4; ++row) {
    PortSlot& slot = fixture.table.Slots[static_cast<size_t>(row)];
    EXPECT_EQ(fixture.launched[static_cast<size_t>(row)], &slot);
    EXPECT_EQ(slot.State, Restarting);
    EXPECT_EQ(slot.PortControlId, RowPortControlIds[static_cast<size_t>(row)]);
    EXPECT_EQ(slot.StatusControlId, RowStatusControlIds[static_cast<size_t>(row)]);
  }
  for (int row = 4; row < 20; ++row) {
    EXPECT_EQ(fixture.table.Slots[static_cast<size_t>(row)].State, NotStarted);
  }
}

TEST(ProgrammerDialog, CloseBeforeStartEndsAtOnce) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(4);
  dialog.show();
  QSignalSpy finished(&dialog, &QDialog::finished);
  EXPECT_TRUE(dialog.close());
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(finished.count(), 1);
  EXPECT_EQ(fixture.virtual_clock.NowMs(), 0) << "no waiting";
  EXPECT_TRUE(dialog.WorkersStoppedInTime());
}

// Workers that never end: the close asks them to stop, waits its bound (in
// virtual time) and closes the window all the same. Escape takes the same way.
TEST(ProgrammerDialog, EscapeAndCloseBoxStopWorkersWithinTheBound) {
  for (bool escape : {false, true}) {
    WindowFixture fixture;
    ProgrammerDialog& dialog = fixture.Make(4);
    dialog.show();
    dialog.OnStart();
    ASSERT_TRUE(QTest::qWaitFor([&] { return fixture.launched.size() == 4; }, 2000));
    if (escape) {
      QTest::keyClick(dialog.Control(1042), Qt::Key_Escape);
    } else {
      dialog.close();
    }
    EXPECT_FALSE(dialog.isVisible()) << (escape ? "Escape" : "close box");
    EXPECT_FALSE(dialog.WorkersStoppedInTime());
    EXPECT_EQ(fixture.virtual_clock.NowMs(), 130 * 30 + 70 * 10 + 130 * 10);
    for (int row = 0; row < 4; ++row) {
      EXPECT_EQ(fixture.table.Slots[static_cast<size_t>(row)].State, StopRequested);
    }
  }
}

TEST(ProgrammerDialog, RowCuesFollowStateAndText) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(4);
  PortSlot& slot = fixture.table.Slots[1];
  auto show = [&](SlotState state, const char* text) {
    slot.State = state;
    dialog.SetStatusText(1005, text);
    dialog.RefreshRows();
    return dialog.RowDecoration(1);
  };
  EXPECT_EQ(show(LookingForPrinter, "Looking for Printer to be connected.").cue, RowCue::kNone);
  ProgrammerDialog::RowView view =
      show(Downloading, "Flash Update In Progress, 41% Data Sent ****");
  EXPECT_EQ(view.cue, RowCue::kWorking);
  EXPECT_EQ(view.percent, 41);
  EXPECT_EQ(StatusText(dialog, 1)->text(), QString("Flash Update In Progress, 41% Data Sent ****"))
      << "the row's text stays as the cycle wrote it";
  EXPECT_EQ(show(WaitingForFlash, "Done Sending Data").percent, -1);
  view = show(Done, "*** DONE PROGRAMMING PRINTER ***");
  EXPECT_EQ(view.cue, RowCue::kDone);
  EXPECT_EQ(view.done, 1);
  show(Restarting, "Printer Disconnected; Restarting...");
  view = show(Failed, "ERROR:  Verify Failed  Press Button on Dongle to Retry");
  EXPECT_EQ(view.cue, RowCue::kError);
  EXPECT_EQ(view.failed, 1);
  view = show(NotInBootMode, "Printer is NOT in Boot Load Mode");
  EXPECT_EQ(view.cue, RowCue::kWaitingForButton);
  EXPECT_EQ(view.failed, 1) << "still the same printer";
  show(Restarting, "Button Press Detected; Restarting...");
  view = show(Failed, "ERROR: again");
  EXPECT_EQ(view.done, 1);
  EXPECT_EQ(view.failed, 2);
  EXPECT_EQ(dialog.RowDecoration(0).done, 0) << "other rows count their own";
}

}  // namespace
}  // namespace velloquin
