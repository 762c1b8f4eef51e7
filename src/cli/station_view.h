// How the headless station shows its rows: redrawn in place on a terminal,
// one plain line per change otherwise, or one JSON object per change.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/station_model.h"

namespace velloquin {

// {"t_ms": ..., "row": ..., "port": "...", "state": "...", "state_value": ...,
//  "status": "..."}
std::string JsonEventLine(const RowEvent& event);
// {"summary": {"rows": [...], "done": n, "failed": n, "elapsed_ms": n}}
std::string JsonSummaryLine(StationModel& model, int rows, int64_t elapsed_ms);
// The summary for people: printers done and failed per row, time per printer.
std::string TextSummary(StationModel& model, int rows, int64_t elapsed_ms);
// A JSON string literal (quotes included) for 8-bit text.
std::string JsonString(const std::string& text);

class StationView {
 public:
  enum class Mode { kTerminal, kLines, kJson };
  StationView(std::FILE* out, Mode mode, int rows) : out_(out), mode_(mode), rows_(rows) {}

  // Shows what changed. In terminal mode the whole table is redrawn in place.
  void Show(StationModel& model, const std::vector<RowEvent>& events);

 private:
  void Redraw(StationModel& model);
  std::FILE* out_;
  Mode mode_;
  int rows_;
  bool drawn_ = false;
  std::vector<std::string> last_line_;  // kLines: the last text shown per row
};

}  // namespace velloquin
