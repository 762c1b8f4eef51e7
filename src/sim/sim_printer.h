// The simulated printer bench as tests, tools and the station's opener see
// it: build one from options (or a "sim:" spec) on a Clock, open its port as
// a SerialDevice, script plug-ins, unplugs and the adapter button, and read
// back what the printers received and did.
//
//   VirtualClock clock;
//   auto bench = SimPrinter::FromSpec("sim:mode=normal", &clock, key, &error);
//   std::unique_ptr<SerialDevice> port = bench->Open(&error_number);
//   ... drive the port ...
//   EXPECT_EQ(bench->Printer(1).received_image, image);
//
// In short (details in the headers named):
//   - Line (sim_serial_device.h, wire_frame.h): every byte takes its wire
//     time at its speed and frame (start, data, parity and stop bits) in the
//     clock's time; a byte read at another speed, data size or parity, or
//     with fewer stop bits than the reader checks, arrives garbled. The
//     station's writes go through a 4096-byte queue that drains at wire
//     speed; reads keep the COMMTIMEOUTS meaning. DSR is on while a printer
//     is plugged in, CTS while the adapter button is held.
//   - Printer (printer_model.h, boot_loader_model.h): printer-mode commands
//     at 19200 8N2 ('P' only in boot-load mode), boot-loader commands at
//     115200 8N1 behind 1C 66, the firmware stream at 115200 8N2 after the
//     baud shift. Timing defaults: reply 1 ms, shift 100 ms, buffer 8192
//     bytes emptied at 6000 bytes/s (XOFF at half, XON at a quarter), stream
//     end on close or 3 s idle, flash write 8 s, restart 1 s.
//   - Sums (image_sums.h): System CRC = CRC-16/ARC of the whole image,
//     Control CRC Sum = of its first 256 bytes, Data CRC Sum = of the rest,
//     Total CRC Sum = byte sum modulo 2^32; `velloquin-sim ver` writes them.
//   - Options (sim_options.h): "sim:key=value,..." with per-printer lists
//     separated by ';', e.g. "sim:printers=3,mode=boot;normal,fault=none;
//     wrong_sums@1,retry_ms=2000".
//
// Nothing runs on a thread of its own: each call computes what happened up
// to the clock's time, so virtual-time tests are exact and real-time runs
// cost nothing while they wait. Every call is safe from any thread; every
// inspection first brings the simulation up to the clock's time.
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
