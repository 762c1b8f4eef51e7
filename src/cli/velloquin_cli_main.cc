// velloquin-cli: the headless station. The same rows as the window, driven
// from a terminal or a script: every row runs its endless programming cycle
// on its own port until Ctrl-C, SIGTERM, or --printers N is reached.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/station_setup.h"
#include "bootloader/worker_operations.h"
#include "cli/station_model.h"
#include "cli/station_options.h"
#include "cli/station_view.h"
#include "cycle/cycle_worker.h"
#include "cycle/row_controls.h"
#include "cycle/worker_launch.h"

namespace velloquin {
namespace {

std::atomic<int> g_stop_signal{0};

constexpr int kIdleLookMs = 250;

void OnStopSignal(int signal_number) { g_stop_signal.store(signal_number); }

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The verification line, as the window's Browse would have set it: the given
// file, or the firmware path with ".ver", or NoVerificationMessage when that
// file does not open.
std::string VerificationLine(const StationOptions& options, const std::string& firmware) {
  std::string path = options.verify ? *options.verify : DeriveVerificationPath(firmware);
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    std::fclose(f);
    return path;
  }
  return NoVerificationMessage;
}

int Run(const StationOptions& options) {
  static SlotTable table;  // outlives detached workers that miss the stop bound
  SystemClock& clock = SystemClock::Instance();
  StationModel model(&table, &clock);
  StationSetup setup(&model);
  if (!setup.Problems().empty()) std::fprintf(stderr, "%s", setup.Problems().c_str());

  std::string firmware =
      options.firmware ? *options.firmware : ReadSavedFirmwarePath(setup.Settings());
  model.SetFirmwarePath(firmware);
  model.SetVerifyFileText(VerificationLine(options, firmware));
  model.SetPreProgramVerify(options.pre_verify);
  model.SetResetBaudRate(options.reset_baud);
  for (int row : options.reset_baud_rows) model.SetResetBaudRateForRow(row - 1, true);
  for (const auto& [row, name] : options.ports) model.SetPortName(row - 1, name);
  if (!options.json) {
    std::fprintf(stderr, "Firmware: %s\nVerification: %s\n", firmware.c_str(),
                 model.GetVerifyFileText().c_str());
  }

  for (int i = 0; i < kSlotCount; ++i) table.Slots[static_cast<size_t>(i)].Clear();
  table.RowCount = options.rows;
  table.LaunchedCount = 0;
  for (int row = 0; row < options.rows; ++row) {
    model.SetStatusText(RowStatusControlIds[static_cast<size_t>(row)], "Waiting for Thread Start.");
  }

  StationView::Mode mode = options.json              ? StationView::Mode::kJson
                           : isatty(STDOUT_FILENO) ? StationView::Mode::kTerminal
                                                   : StationView::Mode::kLines;
  StationView view(stdout, mode, options.rows);
  const ProtocolContext& protocol = setup.Protocol();
  auto start_thread = [&protocol](PortSlot* slot) {
    std::thread([slot, &protocol] { RunCycle(slot, protocol); }).detach();
    return true;
  };

  InstallStopHandlers();
  const int64_t started = clock.NowMs();
  OnStartPressed(table);
  bool all_launched = false;
  while (g_stop_signal.load() == 0) {
    if (!all_launched) {
      all_launched = OnLaunchTimerTick(table, start_thread);
      model.WaitForChange(kLaunchTimerPeriodMs);
    } else {
      // Once every row runs, a look four times a second is plenty for a
      // person and keeps an idle station's wake-ups (and CPU) low; events
      // queue in the model meanwhile, none is lost.
      clock.SleepMs(kIdleLookMs);
    }
    model.PollStates();
    view.Show(model, model.TakeEvents());
    if (options.printers > 0 && all_launched && model.AllRowsFinished(options.rows, options.printers)) {
      break;
    }
  }

  model.PollStates();
  model.BeginStop();
  bool stopped = StopWorkers(
      table,
      [&] {
        model.PollStates();
        view.Show(model, model.TakeEvents());
      },
      clock);
  model.PollStates();
  view.Show(model, model.TakeEvents());
  const int64_t elapsed = clock.NowMs() - started;
  if (options.json) {
    std::printf("%s\n", JsonSummaryLine(model, options.rows, elapsed).c_str());
  } else {
    std::printf("%s", TextSummary(model, options.rows, elapsed).c_str());
    if (!stopped) std::printf("Some rows did not stop in time; leaving them.\n");
  }
  std::fflush(stdout);
  int code = model.TotalFailed(options.rows) > 0 ? 1 : 0;
  // Workers that missed the bound are still inside a step: end the process
  // without running destructors under their feet.
  std::_Exit(code);
}

}  // namespace
}  // namespace velloquin

int main(int argc, char** argv) {
  using namespace velloquin;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  StationOptions options;
  std::string error;
  if (!ParseStationOptions(arguments, &options, &error)) {
    std::fprintf(stderr, "velloquin-cli: %s\n\n%s", error.c_str(), StationUsage().c_str());
    return 2;
  }
  if (options.help) {
    std::printf("%s", StationUsage().c_str());
    return 0;
  }
  if (options.version) {
    std::printf("Velloquin Version %s\n", VELLOQUIN_VERSION);
    return 0;
  }
  return Run(options);
}
