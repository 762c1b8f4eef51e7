// Where a row's cycle spends its time: its status texts grouped into phases
// (the progress texts of the download are one phase), each with the state it
// was shown in and how long it lasted, and what the simulated printer saw.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_station.h"
#include "sim/sim_events.h"

namespace velloquin::bench {

struct Phase {
  int32_t state = 0;
  std::string label;  // the status text, or a summary of the progress texts
  int64_t start_ms = 0;  // since the row's launch
  int64_t ms = 0;        // until the next phase (0 for the last one)
};

// The phases from the launch to the first "*** DONE" text. Only changes of
// the text count: a state seen without a new text (polled from the front end)
// carries the front end's reading of the clock, which in virtual time says
// nothing about the row.
std::vector<Phase> Phases(const RowRun& row);

// The phases of a virtual-time and a real-time run of the same cycle side by
// side (or one after the other if their sequences differ).
void PrintPhases(std::FILE* out, const std::vector<Phase>& virtual_phases,
                 const std::vector<Phase>& real_phases);

// The printer's events up to `until_ms`, in ms since the clock's origin.
void PrintSimEvents(std::FILE* out, const std::vector<sim::SimEvent>& events, int64_t until_ms);

// Every status text with its time (the progress texts shortened).
void PrintTimeline(std::FILE* out, const RowRun& row);

}  // namespace velloquin::bench
