#include "cycle/worker_launch.h"

#include "cycle/row_controls.h"

namespace velloquin {
namespace {

struct WaitLoop {
  int passes;
  int pause_ms;
};
// Three loops, each after the stop request is stored again: a worker that was
// inside a long step may have replaced the first request with its result.
constexpr WaitLoop kWaitLoops[] = {{130, 30}, {70, 10}, {130, 10}};

// Stores StopRequested unless the worker has already stored Terminated: a
// slot that reached Terminated is never written again, even when the worker
// ends between our look and our store.
void RequestStop(PortSlot& slot) {
  int32_t state = slot.State.load();
  while (state != Terminated && !slot.State.compare_exchange_weak(state, StopRequested)) {
  }
}

}  // namespace

void OnStartPressed(SlotTable& table) { table.StartPressed.store(1); }

bool OnLaunchTimerTick(SlotTable& table, const StartWorkerThread& start_thread) {
  int32_t rows = table.RowCount.load();
  int32_t i = table.LaunchedCount.load();
  if (i >= rows) return true;
  if (table.StartPressed.load() == 0) return false;
  PortSlot& slot = table.Slots[static_cast<size_t>(i)];
  slot.State.store(Restarting);
  slot.PortControlId = RowPortControlIds[static_cast<size_t>(i)];
  slot.StatusControlId = RowStatusControlIds[static_cast<size_t>(i)];
  // A thread that cannot be created is not reported: the slot stays at
  // Restarting without a worker, and the close waits its full bound for it.
  start_thread(&slot);
  table.LaunchedCount.store(i + 1);
  return i + 1 >= rows;
}

bool StopWorkers(SlotTable& table, const std::function<void()>& process_pending, Clock& clock) {
  // Only launched rows have a worker to stop; rows never launched are left
  // untouched (and Start never pressed means nothing to wait for).
  const int32_t launched = table.LaunchedCount.load();
  if (launched == 0) return true;
  // No row is launched from here on, even if the front end's timer ticks
  // while we wait.
  table.StartPressed.store(0);
  for (const WaitLoop& loop : kWaitLoops) {
    for (int32_t i = 0; i < launched; ++i) RequestStop(table.Slots[static_cast<size_t>(i)]);
    int32_t index = 0;
    for (int pass = 0; pass < loop.passes; ++pass) {
      if (process_pending) process_pending();
      clock.SleepMs(loop.pause_ms);
      if (table.Slots[static_cast<size_t>(index)].State.load() == Terminated) {
        ++index;
      } else {
        index = 0;
      }
      if (index >= launched) return true;
    }
  }
  return false;
}

}  // namespace velloquin
