// The window with real workers on simulated printers, in real time.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "app/programmer_dialog.h"
#include "app/station_setup.h"
#include "app/worker_bridge.h"
#include "bootloader/temp_dir.h"
#include "cycle/cycle_worker.h"
#include "cycle/row_controls.h"
#include "window_fixture.h"

namespace velloquin {
namespace {

using testing_support::TempDir;

// Four rows on simulated benches, with the demo firmware chosen; the
// workers' threads are kept and joined.
class SimStation {
 public:
  explicit SimStation(const std::string& story) {
    const std::string demo = std::string(VELLOQUIN_SOURCE_DIR) + "/demo/";
    std::ofstream reg(dir_.File("settings.reg"));
    reg << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\IOCommZambrix]\n"
        << "\"FilePath\"=\"" << demo << "firmware.bot\"\n"
        << "\"VerFilePath\"=\"" << demo << "firmware.ver\"\n\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane\\IOCommZambrix\\Ports]\n";
    for (int row = 1; row <= 4; ++row) {
      reg << "\"COM" << row << "\"=\"" << story << ",seed=" << row << "\"\n";
    }
    reg.close();
    setenv("VELLOQUIN_REGISTRY", dir_.File("settings.reg").c_str(), 1);
    setenv("VELLOQUIN_BOOT_DIR", demo.c_str(), 1);
    saved_directory_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.Path());  // the activity log lands here

    setup_ = std::make_unique<StationSetup>(&bridge_);
    DialogServices services;
    services.table = &table_;
    services.clock = &setup_->GetClock();
    services.channels = setup_->Channels();
    services.file_dialogs = &dialogs_;
    services.open_url = [](const QUrl&) { return true; };
    services.start_thread = [this](PortSlot* slot) {
      threads_.emplace_back([this, slot] { RunCycle(slot, setup_->Protocol()); });
      return true;
    };
    dialog_ = std::make_unique<ProgrammerDialog>(4, std::move(services));
    bridge_.Attach(dialog_.get(), dialog_.get());
    dialog_->show();
  }

  ~SimStation() {
    if (dialog_->isVisible()) dialog_->close();
    bool all_ended = true;
    for (int row = 0; row < 4; ++row) all_ended = all_ended && State(row) == Terminated;
    if (all_ended) {
      for (std::thread& thread : threads_) thread.join();
    } else {
      // A worker still inside a step uses the station: leave it all behind.
      for (std::thread& thread : threads_) thread.detach();
      (void)setup_.release();
    }
    std::filesystem::current_path(saved_directory_);
    unsetenv("VELLOQUIN_REGISTRY");
    unsetenv("VELLOQUIN_BOOT_DIR");
  }

  ProgrammerDialog& Dialog() { return *dialog_; }
  int32_t State(int row) { return table_.Slots[static_cast<size_t>(row)].State.load(); }
  QString Text(int row) {
    return static_cast<QLabel*>(dialog_->Control(RowStatusControlIds[static_cast<size_t>(row)]))
        ->text();
  }
  bool WaitForAll(int32_t state, int timeout_ms) {
    return QTest::qWaitFor(
        [&] {
          for (int row = 0; row < 4; ++row) {
            if (State(row) != state) return false;
          }
          return true;
        },
        timeout_ms);
  }
  // Closes the window the way `close` does and returns the milliseconds taken.
  qint64 TimeClose(const std::function<void()>& close) {
    QElapsedTimer timer;
    timer.start();
    close();
    return timer.elapsed();
  }
  void ExpectAllTerminated() {
    EXPECT_TRUE(dialog_->WorkersStoppedInTime());
    for (int row = 0; row < 4; ++row) {
      EXPECT_EQ(State(row), Terminated) << "row " << row + 1;
      EXPECT_EQ(Text(row), QString("Process Terminated.")) << "row " << row + 1;
    }
  }

 private:
  TempDir dir_;
  std::filesystem::path saved_directory_;
  SlotTable table_;
  DialogWorkerBridge bridge_;
  testing_support::ScriptedDialogs dialogs_;
  std::unique_ptr<StationSetup> setup_;
  std::vector<std::thread> threads_;
  std::unique_ptr<ProgrammerDialog> dialog_;
};

// The close bound: three waiting loops of at most 5.9 s of pauses in all,
// plus the time spent serving the workers.
constexpr qint64 kCloseBoundMs = 5900 + 600;

TEST(WindowOnSimulatedPrinters, CloseDuringDownloadsEndsEveryWorkerWithinTheBound) {
  SimStation station("sim:consume=1500");
  station.Dialog().OnStart();
  ASSERT_TRUE(station.WaitForAll(Downloading, 30000)) << "the downloads did not start";
  QTest::qWait(500);
  qint64 took = station.TimeClose([&] { station.Dialog().close(); });
  EXPECT_LT(took, kCloseBoundMs);
  EXPECT_FALSE(station.Dialog().isVisible());
  station.ExpectAllTerminated();
}

TEST(WindowOnSimulatedPrinters, EscapeStopsWorkersTheSameOrderlyWay) {
  SimStation station("sim:arrive_ms=600000");  // no printer comes
  station.Dialog().OnStart();
  ASSERT_TRUE(station.WaitForAll(LookingForPrinter, 10000));
  qint64 took = station.TimeClose(
      [&] { QTest::keyClick(station.Dialog().Control(kFirmwarePathControlId), Qt::Key_Escape); });
  // The rest of an 800 ms blink pass and the abort step.
  EXPECT_LT(took, 2500);
  EXPECT_FALSE(station.Dialog().isVisible());
  station.ExpectAllTerminated();
}

TEST(WindowOnSimulatedPrinters, AboutBoxLeavesTheRowsProgramming) {
  SimStation station("sim:consume=1500");
  station.Dialog().OnStart();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (int row = 0; row < 4; ++row) {
          if (!station.Text(row).startsWith("Flash Update In Progress")) return false;
        }
        return true;
      },
      30000));
  std::vector<QString> before, during;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    for (int row = 0; row < 4; ++row) before.push_back(station.Text(row));
    QTest::qWait(2500);  // the About box's own loop keeps serving the workers
    for (int row = 0; row < 4; ++row) during.push_back(station.Text(row));
    box->findChild<QPushButton*>()->click();
  });
  station.Dialog().ShowAbout();
  ASSERT_EQ(during.size(), 4u);
  for (int row = 0; row < 4; ++row) {
    EXPECT_NE(during[static_cast<size_t>(row)], before[static_cast<size_t>(row)])
        << "row " << row + 1 << " went on while About was open";
    EXPECT_TRUE(during[static_cast<size_t>(row)].startsWith("Flash Update In Progress"))
        << during[static_cast<size_t>(row)].toStdString();
  }
  EXPECT_GE(station.Dialog().RowDecoration(0).percent, 0) << "the progress bar shows";
  station.Dialog().close();
  station.ExpectAllTerminated();
}

}  // namespace
}  // namespace velloquin
