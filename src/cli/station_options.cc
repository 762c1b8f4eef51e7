#include "cli/station_options.h"

#include <charconv>

#include "app/command_line.h"

namespace velloquin {
namespace {

bool ParseInt(const std::string& text, int* value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string StationUsage() {
  return "Usage: velloquin-cli [ports:N] [options]\n"
         "Programs printers on up to 20 serial ports at once, one row per port.\n"
         "\n"
         "  ports:N            number of rows, 4 to 20 (default 4)\n"
         "  --firmware PATH    firmware image (default: the saved \"FilePath\")\n"
         "  --verify PATH      verification file (default: derived from the firmware path)\n"
         "  --pre-verify       \"Do Pre-Program Verify\"\n"
         "  --reset-baud       \"Reset Baud Rate\"\n"
         "  --reset-baud-row ROW  \"Reset Baud Rate\" for row ROW only\n"
         "  --port ROW=NAME    the port of row ROW (from 1), e.g. --port 2=COM7: or\n"
         "                     --port 3=/dev/ttyUSB0 (default: COM<ROW>:)\n"
         "  --printers N       stop once every row has finished N printers\n"
         "  --json             one JSON object per status change on standard output\n"
         "  --help, --version\n"
         "\n"
         "Ctrl-C or SIGTERM stops every row. Exit code: 0 when every finished printer was\n"
         "programmed, 1 when any failed, 2 for bad arguments.\n";
}

bool ParseStationOptions(const std::vector<std::string>& arguments, StationOptions* options,
                         std::string* error) {
  int command_line_rows = 0;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= arguments.size()) {
        *error = arg + " needs a value";
        return false;
      }
      *out = arguments[++i];
      return true;
    };
    std::string text;
    if (arg == "--help" || arg == "-h") {
      options->help = true;
    } else if (arg == "--version") {
      options->version = true;
    } else if (arg == "--json") {
      options->json = true;
    } else if (arg == "--pre-verify") {
      options->pre_verify = true;
    } else if (arg == "--reset-baud") {
      options->reset_baud = true;
    } else if (arg == "--reset-baud-row") {
      int row = 0;
      if (!value(&text)) return false;
      if (!ParseInt(text, &row) || row < 1 || row > kMaxRows) {
        *error = "--reset-baud-row takes a row from 1 to 20, not \"" + text + "\"";
        return false;
      }
      options->reset_baud_rows.push_back(row);
    } else if (arg == "--firmware") {
      if (!value(&text)) return false;
      options->firmware = text;
    } else if (arg == "--verify") {
      if (!value(&text)) return false;
      options->verify = text;
    } else if (arg == "--printers") {
      if (!value(&text)) return false;
      if (!ParseInt(text, &options->printers) || options->printers < 1) {
        *error = "--printers takes a whole number of 1 or more, not \"" + text + "\"";
        return false;
      }
    } else if (arg == "--port") {
      if (!value(&text)) return false;
      size_t eq = text.find('=');
      int row = 0;
      if (eq == std::string::npos || !ParseInt(text.substr(0, eq), &row) || row < 1 ||
          row > kMaxRows || eq + 1 == text.size()) {
        *error = "--port takes ROW=NAME with ROW from 1 to 20, not \"" + text + "\"";
        return false;
      }
      options->ports[row] = text.substr(eq + 1);
    } else if (ParsePortsParameter(arg, &command_line_rows)) {
      // The window's own argument: a later one overrides an earlier one.
    } else if (arg.rfind("--", 0) == 0) {
      *error = "unknown option " + arg;
      return false;
    } else {
      *error = "unexpected argument \"" + arg + "\"";
      return false;
    }
  }
  options->rows = RowsToShow(command_line_rows);
  for (const auto& [row, name] : options->ports) {
    if (row > options->rows) {
      *error = "--port " + std::to_string(row) + "=" + name + " names a row beyond the " +
               std::to_string(options->rows) + " rows of this station (see ports:N)";
      return false;
    }
  }
  return true;
}

std::string DeriveVerificationPath(const std::string& firmware_path) {
  size_t dot = firmware_path.rfind('.');
  std::string base =
      dot != std::string::npos && dot != 0 ? firmware_path.substr(0, dot) : firmware_path;
  return base + ".ver";
}

}  // namespace velloquin
