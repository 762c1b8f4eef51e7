#include "app/worker_bridge.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "cycle/row_controls.h"
#include "window_fixture.h"

namespace velloquin {
namespace {

using testing_support::WindowFixture;

// Passes every call on to the window and notes whether it ran on the GUI
// thread (the widgets' owner).
class GuiThreadCheck final : public WorkerOperations {
 public:
  explicit GuiThreadCheck(WorkerOperations* dialog) : dialog_(dialog) {}
  void SetStatusText(int id, const std::string& text) override {
    Note();
    dialog_->SetStatusText(id, text);
  }
  std::string GetPortName(int id) override {
    Note();
    return dialog_->GetPortName(id);
  }
  std::string GetFirmwarePath() override {
    Note();
    return dialog_->GetFirmwarePath();
  }
  std::string GetVerifyFileText() override {
    Note();
    return dialog_->GetVerifyFileText();
  }
  bool IsPreProgramVerifyChecked() override {
    Note();
    return dialog_->IsPreProgramVerifyChecked();
  }
  bool IsResetBaudRateChecked() override {
    Note();
    return dialog_->IsResetBaudRateChecked();
  }
  std::atomic<int> calls{0};
  std::atomic<int> off_gui_thread{0};

 private:
  void Note() {
    ++calls;
    if (QThread::currentThread() != QApplication::instance()->thread()) ++off_gui_thread;
  }
  WorkerOperations* dialog_;
};

// Twenty workers call at once while the GUI thread keeps itself busy between
// short bursts of event processing: every call is served, on the GUI thread,
// and every row ends with its own worker's last text.
TEST(WorkerBridge, TwentyWorkersAtOnceWhileTheGuiThreadIsBusy) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(20);
  static_cast<QLineEdit*>(dialog.Control(1042))->setText("/fw/main.bot");
  GuiThreadCheck check(&dialog);
  DialogWorkerBridge bridge;
  bridge.Attach(&check, &dialog);

  constexpr int kPasses = 40;
  std::atomic<int> finished{0};
  std::atomic<int> wrong_answers{0};
  std::vector<std::thread> workers;
  for (int row = 0; row < 20; ++row) {
    workers.emplace_back([&, row] {
      const int port_id = RowPortControlIds[static_cast<size_t>(row)];
      const int status_id = RowStatusControlIds[static_cast<size_t>(row)];
      for (int pass = 0; pass < kPasses; ++pass) {
        bridge.SetStatusText(status_id, "row " + std::to_string(row) + " pass " + std::to_string(pass));
        if (bridge.GetPortName(port_id) != "COM" + std::to_string(row + 1) + ":") ++wrong_answers;
        if (bridge.GetFirmwarePath() != "/fw/main.bot") ++wrong_answers;
        if (bridge.GetVerifyFileText() != "") ++wrong_answers;
        if (bridge.IsPreProgramVerifyChecked() || bridge.IsResetBaudRateChecked()) ++wrong_answers;
      }
      ++finished;
    });
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (finished < 20 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(15));  // busy: nothing is served
    QCoreApplication::processEvents();
  }
  ASSERT_EQ(finished, 20) << "workers were left waiting";
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(wrong_answers, 0);
  EXPECT_EQ(check.calls, 20 * kPasses * 6);
  EXPECT_EQ(check.off_gui_thread, 0);
  for (int row = 0; row < 20; ++row) {
    auto* text = static_cast<QLabel*>(dialog.Control(RowStatusControlIds[static_cast<size_t>(row)]));
    EXPECT_EQ(text->text(), QString("row %1 pass %2").arg(row).arg(kPasses - 1));
  }
}

TEST(WorkerBridge, ACallFromTheGuiThreadRunsAtOnce) {
  WindowFixture fixture;
  ProgrammerDialog& dialog = fixture.Make(4);
  DialogWorkerBridge bridge;
  bridge.Attach(&dialog, &dialog);
  bridge.SetStatusText(1003, "direct");
  EXPECT_EQ(static_cast<QLabel*>(dialog.Control(1003))->text(), QString("direct"));
  EXPECT_EQ(bridge.GetPortName(1002), "COM1:");
}

// Before the window is attached and after it is gone, workers get empty
// answers instead of touching widgets that are not there.
TEST(WorkerBridge, WithoutAWindowWorkersGetEmptyAnswers) {
  DialogWorkerBridge bridge;
  WindowFixture fixture;
  fixture.Make(4);
  auto ask_from_worker = [&bridge] {
    std::string name = "unset";
    std::atomic<bool> done{false};
    std::thread worker([&] {
      bridge.SetStatusText(1003, "nobody sees this");
      name = bridge.GetPortName(1002);
      done = true;
    });
    while (!done) QCoreApplication::processEvents();
    worker.join();
    return name;
  };
  EXPECT_EQ(ask_from_worker(), "") << "not attached yet";
  bridge.Attach(fixture.dialog.get(), fixture.dialog.get());
  EXPECT_EQ(ask_from_worker(), "COM1:");
  fixture.dialog.reset();
  EXPECT_EQ(ask_from_worker(), "") << "the window is gone";
}

}  // namespace
}  // namespace velloquin
