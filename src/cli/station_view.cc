#include "cli/station_view.h"

#include <cstdio>

namespace velloquin {
namespace {

constexpr int kBarWidth = 20;
constexpr size_t kStatusWidth = 90;

std::string ProgressBar(int percent) {
  if (percent < 0) return std::string(kBarWidth + 2, ' ');
  int filled = percent * kBarWidth / 100;
  if (filled > kBarWidth) filled = kBarWidth;
  return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "]";
}

// One line of the terminal table: line breaks in a status text are shown as
// a blank so the table keeps one line per row.
std::string OneLine(const std::string& text, size_t width) {
  std::string line;
  for (char c : text) line.push_back(c == '\r' || c == '\n' ? ' ' : c);
  if (line.size() > width) line = line.substr(0, width - 3) + "...";
  return line;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          // 8-bit text: each byte as its own code point, so the output stays
          // valid JSON whatever the bytes are.
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
          out += buffer;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

std::string JsonEventLine(const RowEvent& e) {
  return "{\"t_ms\": " + std::to_string(e.t_ms) + ", \"row\": " + std::to_string(e.row) +
         ", \"port\": " + JsonString(e.port) + ", \"state\": " + JsonString(SlotStateName(e.state)) +
         ", \"state_value\": " + std::to_string(e.state) + ", \"status\": " + JsonString(e.status) +
         "}";
}

std::string JsonSummaryLine(StationModel& model, int rows, int64_t elapsed_ms) {
  std::string out = "{\"summary\": {\"rows\": [";
  for (int row = 0; row < rows; ++row) {
    auto r = model.Row(row);
    int finished = r.counts.done + r.counts.failed;
    int64_t per_printer = finished ? r.counts.busy_ms / finished : 0;
    if (row) out += ", ";
    out += "{\"row\": " + std::to_string(row + 1) + ", \"port\": " + JsonString(r.port) +
           ", \"done\": " + std::to_string(r.counts.done) +
           ", \"failed\": " + std::to_string(r.counts.failed) +
           ", \"ms_per_printer\": " + std::to_string(per_printer) + "}";
  }
  out += "], \"done\": " + std::to_string(model.TotalDone(rows)) +
         ", \"failed\": " + std::to_string(model.TotalFailed(rows)) +
         ", \"elapsed_ms\": " + std::to_string(elapsed_ms) + "}}";
  return out;
}

std::string TextSummary(StationModel& model, int rows, int64_t elapsed_ms) {
  std::string out = "\nSummary after " + std::to_string(elapsed_ms / 1000) + "." +
                    std::to_string(elapsed_ms % 1000 / 100) + " s\n";
  char line[200];
  std::snprintf(line, sizeof line, "%-4s %-12s %6s %7s %14s\n", "row", "port", "done", "failed",
                "s per printer");
  out += line;
  for (int row = 0; row < rows; ++row) {
    auto r = model.Row(row);
    int finished = r.counts.done + r.counts.failed;
    double per_printer = finished ? r.counts.busy_ms / 1000.0 / finished : 0.0;
    std::snprintf(line, sizeof line, "%-4d %-12s %6d %7d %14.1f\n", row + 1,
                  OneLine(r.port, 12).c_str(), r.counts.done, r.counts.failed, per_printer);
    out += line;
  }
  std::snprintf(line, sizeof line, "printers done: %d, failed: %d\n", model.TotalDone(rows),
                model.TotalFailed(rows));
  return out + line;
}

void StationView::Show(StationModel& model, const std::vector<RowEvent>& events) {
  switch (mode_) {
    case Mode::kJson:
      for (const RowEvent& e : events) std::fprintf(out_, "%s\n", JsonEventLine(e).c_str());
      break;
    case Mode::kLines:
      for (const RowEvent& e : events) {
        // A state change that keeps the row's text adds nothing to read.
        if (last_line_.size() < static_cast<size_t>(e.row)) last_line_.resize(e.row);
        if (last_line_[e.row - 1] == e.status) continue;
        last_line_[e.row - 1] = e.status;
        std::fprintf(out_, "%8.1fs row %2d %-8s %s\n", e.t_ms / 1000.0, e.row,
                     OneLine(e.port, 8).c_str(), OneLine(e.status, 200).c_str());
      }
      break;
    case Mode::kTerminal:
      if (!events.empty() || !drawn_) Redraw(model);
      break;
  }
  std::fflush(out_);
}

void StationView::Redraw(StationModel& model) {
  // Back to the top of the table, then every row on a cleared line.
  if (drawn_) std::fprintf(out_, "\x1b[%dA", rows_);
  for (int row = 0; row < rows_; ++row) {
    auto r = model.Row(row);
    std::fprintf(out_, "\r\x1b[2K%2d %-10s %s %s\n", row + 1, OneLine(r.port, 10).c_str(),
                 ProgressBar(ProgressPercent(r.status)).c_str(),
                 OneLine(r.status, kStatusWidth).c_str());
  }
  drawn_ = true;
}

}  // namespace velloquin
