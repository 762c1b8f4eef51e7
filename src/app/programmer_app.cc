#include "app/programmer_app.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/command_line.h"
#include "app/programmer_dialog.h"
#include "app/station_setup.h"
#include "app/worker_bridge.h"
#include "bootloader/boot_directory.h"
#include "cycle/cycle_worker.h"

namespace velloquin {

ProgrammerApp::ProgrammerApp(std::vector<std::string> arguments)
    : arguments_(std::move(arguments)), command_line_rows_(velloquin::CommandLineRows(arguments_)) {}

int ProgrammerApp::Run() {
  CaptureOptions capture;
  std::string error;
  if (!ParseCaptureOptions(arguments_, &capture, &error)) {
    std::fprintf(stderr, "velloquin: %s\n", error.c_str());
    return 2;
  }
  // The row table and the window's side of the worker operations (the
  // MainDialog the workers reach) outlive every worker: a worker that misses
  // the close bound may still look at its slot or call its row.
  static SlotTable table;
  static DialogWorkerBridge* main_dialog = new DialogWorkerBridge;
  StationSetup setup(main_dialog);
  if (!setup.Problems().empty()) std::fprintf(stderr, "%s", setup.Problems().c_str());

  DialogServices services;
  services.table = &table;
  services.clock = &setup.GetClock();
  services.channels = setup.Channels();
  services.boot_directory = BootDirectory();
  const ProtocolContext& protocol = setup.Protocol();
  services.start_thread = [&protocol](PortSlot* slot) {
    std::thread([slot, &protocol] { RunCycle(slot, protocol); }).detach();
    return true;
  };

  ProgrammerDialog dialog(command_line_rows_, std::move(services));
  main_dialog->Attach(&dialog, &dialog);
  int capture_result = 0;
  if (capture.Active()) ArmCapture(&dialog, capture, &capture_result);
  dialog.exec();
  main_dialog->Attach(nullptr, nullptr);
  if (!dialog.WorkersStoppedInTime()) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(capture_result);
  }
  return capture_result;
}

}  // namespace velloquin
