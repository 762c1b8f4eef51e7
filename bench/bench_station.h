// A benchmark station: the headless station's rows (StationModel, RunCycle
// workers on detached threads, OnLaunchTimerTick and StopWorkers) on
// simulated printers, run until every row has finished its printer or for a
// fixed time, with the times of every row's status changes and the process's
// CPU time and peak memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench_files.h"
#include "cli/station_model.h"
#include "platform/clock.h"
#include "sim/sim_events.h"

namespace velloquin::bench {

// A row's text from the moment the station starts until its worker writes
// its first own text.
inline constexpr char kThreadStartText[] = "Waiting for Thread Start.";

struct RowRun {
  int64_t launch_ms = -1;  // when the row was launched (Restarting stored)
  int64_t done_ms = -1;    // when it first showed the "*** DONE" text; -1: never
  int32_t last_state = 0;  // its state when the run ended
  // CPU time of the row's worker thread from its start to the "*** DONE"
  // text, the simulated printer's work included; -1: never done.
  double cycle_cpu_ms = -1;
  std::vector<RowEvent> events;  // every status or state change, oldest first
  // done_ms - launch_ms, or -1.
  int64_t CycleMs() const { return done_ms < 0 || launch_ms < 0 ? -1 : done_ms - launch_ms; }
};

struct StationRun {
  std::vector<RowRun> rows;
  // Over the measured window: from Start until every row was done (or the
  // run's time was up); the stop that follows is not in it.
  double wall_ms = 0;
  double cpu_ms = 0;  // user + system, every thread of the process
  double front_cpu_ms = 0;  // of that, the front end's thread (launch, events, stop)
  long context_switches = 0;  // voluntary and involuntary, every thread
  long maxrss_kb = 0;  // peak resident memory of the process so far
  bool all_done = false;
  bool stopped = false;  // every worker ended within StopWorkers' bound
  std::vector<sim::SimEvent> first_row_sim_events;  // what row 1's printer saw
  // Rows whose printer received the firmware image byte for byte.
  int images_received = 0;
  std::vector<std::string> problems;  // setup problems and channel failures
};

struct RunRequest {
  Clock* clock = nullptr;  // the rows' clock (and the simulated printers')
  int rows = 1;
  // true: until every row is done (at most `limit_ms` of real time);
  // false: for `limit_ms` of real time.
  bool until_done = true;
  int64_t limit_ms = 0;
  const BenchFiles* files = nullptr;
  std::string boot_dir;  // ends with '/'
};

StationRun RunStation(const RunRequest& request);

}  // namespace velloquin::bench
