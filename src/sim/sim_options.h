// The options of a simulated printer bench, and the parser of the port-map
// entry that names one: "sim:" followed by comma-separated key=value pairs.
//
//   sim:                              one printer in boot-load mode, old firmware
//   sim:mode=normal,flash_ms=8000     one printer that has to be forced
//   sim:printers=3,fault=none;wrong_sums@1,retry_ms=2000
//
// The bench: `printers` printers come to the adapter one after another. Every
// other key is a story key: its value may be a list separated by ';', whose
// k-th element applies to the k-th printer (the last element repeats for the
// printers after it). Keys (defaults in brackets):
//
//   printers=N     1..10000 [1]           printers that come to the bench
//   seed=N         0..4294967295 [1]      seeds challenges, old images, garbage
//   mode=M         boot | normal [boot]   boot-load mode or normal firmware
//   main=P         none | old | file:PATH [old]   main program at plug-in;
//                  "old" is 2048 bytes made from the seed; PATH may not hold
//                  ',' or ';'
//   arrive_ms=T    [0;2000] plugged in T ms after the start (first printer) or
//                  after the previous printer was unplugged
//   leave=L        done | reported | never [done]: unplugged linger_ms after
//                  it reported a main program written on the bench with the
//                  right sums (done), after any report naming a main program
//                  (reported), or only by leave_ms / a fault (never)
//   leave_ms=T     [0 = no limit] unplugged T ms after plug-in at the latest
//   linger_ms=T    [3000]
//   button_ms=T    [none] the adapter button is pressed T ms after plug-in
//   hold_ms=T      [500] how long a scripted press holds the button
//   retry_ms=T     [none] the button is pressed T ms after the printer first
//                  reported the sums of a flash write that it got wrong
//   flash_ms=T     [8000] time to write the flash once the stream has ended
//   shift_ms=T     [100] time to switch to the download after the shift command
//   boot_ms=T      [1000] restart time after the reset into boot-load mode
//   idle_ms=T      [3000] a started stream ends after this much idle line
//   reply_ms=T     [1] time between a command's last byte and its reply
//   buffer=N       64..1048576 [8192] bytes of the download buffer; XOFF at
//                  half full, XON at a quarter
//   consume=N      1..100000000 [6000] bytes per second taken from the buffer
//   fault=F        none, or fault names joined by '+':
//                    no_boot        never in boot-load mode; forcing never takes
//                    silent         the boot loader never answers
//                    reject_unlock  every unlock response is rejected
//                    garbage        every reply is replaced by garbage
//                    chatter        sends text without end from plug-in on
//                    unplug@N       unplugged when stream byte N arrives
//                    flash_stuck    the flash write never finishes
//                    wrong_sums     reports wrong sums; wrong_sums@K: only for
//                                   its first K flash writes
//
// Times are milliseconds, 0 to 1000000000. Parsing is strict: an unknown or
// repeated key, a bad number, an empty value or a list longer than the bench
// is refused with a message that names the key.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velloquin::sim {

inline constexpr char kSimPrefix[] = "sim:";
inline constexpr int64_t kNoTime = -1;

enum class MainAtPlugIn { kNone, kOld, kFile };
enum class LeaveRule { kDone, kReported, kNever };

struct PrinterFaults {
  bool no_boot = false;
  bool silent = false;
  bool reject_unlock = false;
  bool garbage = false;
  bool chatter = false;
  int64_t unplug_at_byte = 0;  // 0: never
  bool flash_stuck = false;
  int wrong_sums = 0;          // flash writes with wrong sums; -1: all
  bool operator==(const PrinterFaults&) const = default;
};

// One printer's story on the bench, and its timing.
struct PrinterStory {
  bool boot_mode = true;
  MainAtPlugIn main = MainAtPlugIn::kOld;
  std::string main_path;
  int64_t arrive_ms = 0;
  LeaveRule leave = LeaveRule::kDone;
  int64_t leave_ms = 0;
  int64_t linger_ms = 3000;
  int64_t button_ms = kNoTime;
  int64_t hold_ms = 500;
  int64_t retry_ms = kNoTime;
  int64_t flash_ms = 8000;
  int64_t shift_ms = 100;
  int64_t boot_ms = 1000;
  int64_t idle_ms = 3000;
  int64_t reply_ms = 1;
  int64_t buffer = 8192;
  int64_t consume = 6000;
  PrinterFaults faults;
  bool operator==(const PrinterStory&) const = default;
};

struct SimOptions {
  int printers = 1;
  uint32_t seed = 1;
  std::vector<PrinterStory> stories;  // one per printer
};

struct SimSpecResult {
  bool ok = false;
  SimOptions options;
  std::string error;  // "sim: <what is wrong>" when !ok
};

// Parses the text after "sim:" (a leading "sim:" is accepted and skipped).
SimSpecResult ParseSimSpec(std::string_view spec);
// Whether a port name names a simulated printer.
bool IsSimName(std::string_view name);

}  // namespace velloquin::sim
