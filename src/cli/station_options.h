// The headless station's command line: the window's "ports:N" argument and
// options for what the window's controls hold.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velloquin {

struct StationOptions {
  int rows = 4;                           // from "ports:N" (0 becomes 4)
  std::optional<std::string> firmware;    // --firmware PATH
  std::optional<std::string> verify;      // --verify PATH
  bool pre_verify = false;                // --pre-verify
  bool reset_baud = false;                // --reset-baud
  std::vector<int> reset_baud_rows;       // --reset-baud-row ROW (rows from 1)
  std::map<int, std::string> ports;       // --port ROW=NAME, rows from 1
  int printers = 0;                       // --printers N; 0: run until stopped
  bool json = false;                      // --json
  bool help = false;
  bool version = false;
};

// Parses the arguments (the program name excluded). On a bad argument returns
// false with a one-line reason in *error.
bool ParseStationOptions(const std::vector<std::string>& arguments, StationOptions* options,
                         std::string* error);

// The usage text of --help.
std::string StationUsage();

// The verification line for a firmware path, derived as Browse derives it:
// the path up to its last '.' (when that is not the first character), plus
// ".ver".
std::string DeriveVerificationPath(const std::string& firmware_path);

}  // namespace velloquin
