// The window's side of the worker operations. Workers call from their own
// threads; every call is carried out on the GUI thread as a blocking queued
// call, so the widgets are only ever touched by the thread that owns them and
// a worker sees each control whole. A call made on the GUI thread itself runs
// at once (a queued call to ourselves would wait forever).
//
// The bridge outlives the window: once the window is gone (or before it is
// attached) reads return empty values and status texts are dropped, so a
// worker that misses the close bound never touches a destroyed widget.
#pragma once

#include <QObject>
#include <QPointer>
#include <QThread>
#include <string>
#include <type_traits>

#include "bootloader/worker_operations.h"

namespace velloquin {

class DialogWorkerBridge final : public QObject, public WorkerOperations {
 public:
  // The bridge belongs to the thread that creates it: make it on the GUI thread.
  DialogWorkerBridge() = default;

  // The dialog whose controls serve the calls (GUI thread only); null detaches.
  void Attach(WorkerOperations* dialog, QObject* dialog_object);

  void SetStatusText(int status_control_id, const std::string& text) override;
  std::string GetPortName(int port_control_id) override;
  std::string GetFirmwarePath() override;
  std::string GetVerifyFileText() override;
  bool IsPreProgramVerifyChecked() override;
  bool IsResetBaudRateChecked() override;

 private:
  // Runs `call` with the attached dialog on the GUI thread and returns its
  // result; the value-initialised result when no dialog is attached.
  template <typename Call>
  auto OnGuiThread(Call call) -> std::invoke_result_t<Call, WorkerOperations&>;

  // Both only touched on the GUI thread; the QPointer turns null when the
  // dialog's object is destroyed.
  WorkerOperations* dialog_ = nullptr;
  QPointer<QObject> dialog_object_;
};

}  // namespace velloquin
