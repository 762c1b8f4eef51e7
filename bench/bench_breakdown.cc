#include "bench_breakdown.h"

#include "cycle/cycle_worker.h"
#include "cycle/port_slot.h"

namespace velloquin::bench {
namespace {

// Status texts are long; a phase is named by their start.
std::string Shorten(const std::string& text) {
  std::string one_line = text.substr(0, text.find_first_of("\r\n"));
  constexpr size_t kMax = 46;
  return one_line.size() <= kMax ? one_line : one_line.substr(0, kMax - 3) + "...";
}

}  // namespace

std::vector<Phase> Phases(const RowRun& row) {
  std::vector<Phase> phases;
  if (row.launch_ms < 0) return phases;
  std::string previous_text = kThreadStartText;
  int progress_texts = 0;  // in the current phase, when it is the progress phase
  for (const RowEvent& event : row.events) {
    if (event.status == previous_text) continue;
    previous_text = event.status;
    const int64_t at = event.t_ms - row.launch_ms;
    const int percent = ProgressPercent(event.status);
    if (percent >= 0 && progress_texts > 0) {
      ++progress_texts;
    } else {
      if (!phases.empty()) phases.back().ms = at - phases.back().start_ms;
      Phase phase;
      phase.state = event.state;
      phase.start_ms = phases.empty() ? 0 : at;  // the first phase starts at the launch
      phase.label = Shorten(event.status);
      phases.push_back(std::move(phase));
      progress_texts = percent >= 0 ? 1 : 0;
    }
    if (progress_texts > 0) {
      phases.back().label = "[" + std::to_string(progress_texts) + " progress texts, last " +
                            std::to_string(percent) + "%]";
    }
    if (event.status == kDoneText) break;
  }
  return phases;
}

void PrintPhases(std::FILE* out, const std::vector<Phase>& virtual_phases,
                 const std::vector<Phase>& real_phases) {
  bool aligned = virtual_phases.size() == real_phases.size();
  for (size_t i = 0; aligned && i < virtual_phases.size(); ++i) {
    aligned = virtual_phases[i].state == real_phases[i].state &&
              virtual_phases[i].label.substr(0, 10) == real_phases[i].label.substr(0, 10);
  }
  if (!aligned) {
    std::fprintf(out, "  (the two runs went through different phases; shown one after the other)\n");
    for (const auto* phases : {&virtual_phases, &real_phases}) {
      std::fprintf(out, "  %s:\n", phases == &virtual_phases ? "virtual" : "real");
      for (const Phase& p : *phases) {
        std::fprintf(out, "  %8lld %8lld  %-22s %s\n", static_cast<long long>(p.start_ms),
                     static_cast<long long>(p.ms), SlotStateName(p.state), p.label.c_str());
      }
    }
    return;
  }
  std::fprintf(out, "  %8s %9s %9s %7s  %-22s %s\n", "start", "virtual", "real", "extra", "state",
               "status text");
  for (size_t i = 0; i < virtual_phases.size(); ++i) {
    const Phase& v = virtual_phases[i];
    const Phase& r = real_phases[i];
    std::fprintf(out, "  %8lld %9lld %9lld %+7lld  %-22s %s\n", static_cast<long long>(v.start_ms),
                 static_cast<long long>(v.ms), static_cast<long long>(r.ms),
                 static_cast<long long>(r.ms - v.ms), SlotStateName(v.state), v.label.c_str());
  }
}

void PrintSimEvents(std::FILE* out, const std::vector<sim::SimEvent>& events, int64_t until_ms) {
  for (const sim::SimEvent& event : events) {
    if (event.t_ns > until_ms * 1000000) break;
    std::fprintf(out, "  %10.1f  %-16s %s\n", static_cast<double>(event.t_ns) / 1e6,
                 sim::SimEventName(event.kind), Shorten(event.detail).c_str());
  }
}

void PrintTimeline(std::FILE* out, const RowRun& row) {
  std::string previous_text = kThreadStartText;
  for (const RowEvent& event : row.events) {
    if (event.status == previous_text) continue;
    previous_text = event.status;
    std::fprintf(out, "  %8lld  %-22s %s\n", static_cast<long long>(event.t_ms - row.launch_ms),
                 SlotStateName(event.state), Shorten(event.status).c_str());
  }
}

}  // namespace velloquin::bench
