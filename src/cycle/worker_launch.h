// Launching the rows' workers, one per tick of the launch timer, and stopping
// them at close with a bounded wait that keeps the front end's messages
// flowing (workers talk to their rows through synchronous calls that the
// front end serves). Written once for both front ends.
#pragma once

#include <functional>

#include "cycle/port_slot.h"
#include "platform/clock.h"

namespace velloquin {

inline constexpr int kLaunchTimerId = 1;
inline constexpr int kLaunchTimerPeriodMs = 30;

// Starts the worker thread of a slot; false when no thread could be created.
// The station starts a detached thread running RunCycle; tests may keep and
// join theirs.
using StartWorkerThread = std::function<bool(PortSlot* slot)>;

// The Start button: only allows the launch. Pressing it again changes nothing.
void OnStartPressed(SlotTable& table);

// One tick of the launch timer: launches at most one row. Returns true when
// every row runs, so the front end stops its timer.
bool OnLaunchTimerTick(SlotTable& table, const StartWorkerThread& start_thread);

// The close handler's stop-and-wait: asks every launched worker to stop and
// waits, in three bounded loops (at most about 5.9 s of pauses), until every
// one has ended, calling `process_pending` before each pause so the front end
// serves the workers' calls meanwhile. Returns true when all ended in time.
bool StopWorkers(SlotTable& table, const std::function<void()>& process_pending, Clock& clock);

}  // namespace velloquin
