#include "app/worker_bridge.h"

#include <QMetaObject>
#include <mutex>

namespace velloquin {

void DialogWorkerBridge::Attach(WorkerOperations* dialog, QObject* dialog_object) {
  dialog_ = dialog;
  dialog_object_ = dialog_object;
}

template <typename Call>
auto DialogWorkerBridge::OnGuiThread(Call call) -> std::invoke_result_t<Call, WorkerOperations&> {
  using Result = std::invoke_result_t<Call, WorkerOperations&>;
  auto serve = [this, &call]() -> Result {
    if (!dialog_ || !dialog_object_) return Result();
    return call(*dialog_);
  };
  if (QThread::currentThread() == thread()) return serve();
  Result result{};
  // Qt hands the call over and back through its own locks; this mutex makes
  // the hand-over of the arguments and of the result visible to checkers that
  // only see standard locks (ThreadSanitizer), at no real cost.
  std::mutex handoff;
  { std::lock_guard<std::mutex> publish(handoff); }
  // Blocks this worker until the GUI thread has run the call. Should the
  // call never be delivered (the application is going away), Qt releases the
  // caller and the empty result stands.
  QMetaObject::invokeMethod(
      this,
      [&] {
        std::lock_guard<std::mutex> serving(handoff);
        result = serve();
      },
      Qt::BlockingQueuedConnection);
  std::lock_guard<std::mutex> collect(handoff);
  return result;
}

void DialogWorkerBridge::SetStatusText(int status_control_id, const std::string& text) {
  // Results are values here; a status text has none, so carry a dummy.
  OnGuiThread([&](WorkerOperations& dialog) {
    dialog.SetStatusText(status_control_id, text);
    return true;
  });
}

std::string DialogWorkerBridge::GetPortName(int port_control_id) {
  return OnGuiThread([&](WorkerOperations& dialog) { return dialog.GetPortName(port_control_id); });
}

std::string DialogWorkerBridge::GetFirmwarePath() {
  return OnGuiThread([](WorkerOperations& dialog) { return dialog.GetFirmwarePath(); });
}

std::string DialogWorkerBridge::GetVerifyFileText() {
  return OnGuiThread([](WorkerOperations& dialog) { return dialog.GetVerifyFileText(); });
}

bool DialogWorkerBridge::IsPreProgramVerifyChecked() {
  return OnGuiThread([](WorkerOperations& dialog) { return dialog.IsPreProgramVerifyChecked(); });
}

bool DialogWorkerBridge::IsResetBaudRateChecked() {
  return OnGuiThread([](WorkerOperations& dialog) { return dialog.IsResetBaudRateChecked(); });
}

}  // namespace velloquin
