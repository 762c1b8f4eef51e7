// ProgrammerApp: the window's start-up. It reads the command line (the
// number of rows from "ports:N"), builds the station around the window,
// runs the window modally and ends when it closes.
#pragma once

#include <string>
#include <vector>

#include "app/window_capture.h"

namespace velloquin {

class ProgrammerApp {
 public:
  // `arguments`: the command line without the program's name.
  explicit ProgrammerApp(std::vector<std::string> arguments);

  // CommandLineRows: 0 without a "ports:" argument, otherwise 4 to 20.
  int CommandLineRows() const { return command_line_rows_; }

  // Needs a QApplication. Builds the station and runs the window until it is
  // closed; returns the process's exit code (2 for bad arguments). When some
  // worker did not end within the close bound, the process ends right here,
  // without tearing down what that worker may still use.
  int Run();

 private:
  std::vector<std::string> arguments_;
  int command_line_rows_ = 0;
};

}  // namespace velloquin
