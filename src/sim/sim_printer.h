// The simulated printer bench as tests, tools and the station's opener see
// it: build one from options (or a "sim:" spec) on a Clock, open its port as
// a SerialDevice, script plug-ins, unplugs and the adapter button, and read
// back what the printers received and did.
//
//   VirtualClock clock;
//   auto bench = SimPrinter::Create(options, &clock, key, &error);
//   std::unique_ptr<SerialDevice> port = bench->Open(&error_number);
//   ... drive the port ...
//   EXPECT_EQ(bench->Printer(1).received_image, image);
//
// Every inspection first brings the simulation up to the clock's time.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bootloader/unlock_key.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "sim/sim_events.h"
#include "sim/sim_options.h"

namespace velloquin::sim {

class SimBench;

// A copy of one printer's state.
struct PrinterView {
  int number = 0;            // 1-based place on the bench; 0: no such printer
  bool plugged = false;
  bool boot_mode = false;
  bool flashing = false;
  int flash_count = 0;       // flash writes finished on this bench
  std::vector<uint8_t> received_image;  // the last firmware stream, as received
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  // The stored file of that name (case ignored), or nothing.
  std::optional<std::vector<uint8_t>> File(std::string_view name) const;
};

class SimPrinter {
 public:
  // Loads the main programs given as file:PATH. `key` may be null: every
  // unlock is then rejected. Null with *error set when a file cannot be read.
  static std::shared_ptr<SimPrinter> Create(const SimOptions& options, Clock* clock,
                                            std::shared_ptr<const UnlockKeyTable> key,
                                            std::string* error);
  static std::shared_ptr<SimPrinter> FromSpec(std::string_view spec, Clock* clock,
                                              std::shared_ptr<const UnlockKeyTable> key,
                                              std::string* error);

  // The station's side of the port; exclusive: EBUSY while it is open.
  std::unique_ptr<SerialDevice> Open(int* error);

  // Scripting, at the clock's time.
  bool PlugIn();   // the next printer of the bench, if none is plugged
  void Unplug();
  void SetButton(bool held);

  // Inspection.
  int current_printer();  // 0 while none is plugged
  int printers_seen();    // printers plugged in so far
  PrinterView Printer(int number);
  std::vector<SimEvent> Events();
  std::vector<LineLevelChange> LineLevels();
  std::vector<LineSettingsChange> LineSettings();

  explicit SimPrinter(std::shared_ptr<SimBench> bench) : bench_(std::move(bench)) {}

 private:
  std::shared_ptr<SimBench> bench_;
};

// The main program a printer with main=old arrives with.
std::vector<uint8_t> OldMainProgram(uint32_t seed, int printer_number);

}  // namespace velloquin::sim
