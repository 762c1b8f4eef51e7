// The station's command line: an argument "ports:" followed by a number sets
// the number of port rows, 4 to 20. Shared by the window and the headless
// station.
#pragma once

#include <string>
#include <vector>

namespace velloquin {

inline constexpr int kMinRows = 4;
inline constexpr int kMaxRows = 20;

// Looks at one argument: with one leading '-' or '/' stripped, "ports:" (any
// case) and a decimal number (leading blanks skipped, an optional sign,
// digits up to the first non-digit; none give 0), clamped to 4..20, is
// stored in *rows. Returns whether the argument was a "ports:" argument.
bool ParsePortsParameter(const std::string& argument, int* rows);

// CommandLineRows: the last "ports:" argument's value, or 0 when none.
int CommandLineRows(const std::vector<std::string>& arguments);

// The rows a station shows: 0 becomes 4.
inline int RowsToShow(int command_line_rows) {
  return command_line_rows == 0 ? kMinRows : command_line_rows;
}

}  // namespace velloquin
