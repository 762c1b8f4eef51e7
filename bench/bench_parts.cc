#include "bench_parts.h"

#include <algorithm>
#include <cstdio>

#include "bench_breakdown.h"
#include "bench_files.h"
#include "bench_station.h"
#include "cycle/port_slot.h"

namespace velloquin::bench {
namespace {

// A cycle that has not reached Done after this much real time is broken.
constexpr int64_t kCycleLimitMs = 180000;
constexpr int64_t kNeverArrivesMs = 1000000000;
// 115200 baud, 8 data bits, no parity, 2 stop bits: 11 bits a byte.
constexpr double kDownloadBitsPerByte = 11;
constexpr double kDownloadBaud = 115200;

// Problems go to the part's details; the figures and their bounds tell the rest.
void NoteProblem(const char* what, const std::string& problem) {
  std::printf("  %s: %s\n", what, problem.c_str());
}

void NoteProblems(const StationRun& run, const char* what) {
  for (const std::string& problem : run.problems) NoteProblem(what, problem);
}

PrinterSetup Printers(const BenchOptions& options) {
  PrinterSetup printers;
  printers.flash_ms = options.flash_ms;
  return printers;
}

RunRequest Request(const BenchFiles& files, const BenchOptions& options, Clock* clock, int rows) {
  RunRequest request;
  request.clock = clock;
  request.rows = rows;
  request.until_done = true;
  request.limit_ms = kCycleLimitMs;
  request.files = &files;
  request.boot_dir = options.boot_dir;
  return request;
}

void CopyRunFigures(const StationRun& run, Figures* figures) {
  figures->rows = static_cast<int>(run.rows.size());
  for (size_t i = 0; i < run.rows.size() && i < kMaxRows; ++i) {
    figures->row_ms[i] = static_cast<double>(run.rows[i].CycleMs());
  }
  double cycle_cpu_total = 0;
  int cycles = 0;
  for (const RowRun& row : run.rows) {
    if (row.cycle_cpu_ms < 0) continue;
    cycle_cpu_total += row.cycle_cpu_ms;
    ++cycles;
  }
  figures->cycle_cpu_ms = cycles > 0 ? cycle_cpu_total / cycles : -1;
  figures->cpu_ms = run.cpu_ms;
  figures->front_cpu_ms = run.front_cpu_ms;
  figures->context_switches = run.context_switches;
  figures->wall_ms = run.wall_ms;
  figures->maxrss_kb = run.maxrss_kb;
}

// Where the CPU time went: the front end's thread against the rows' threads
// (which also run the simulated printers), and how often threads slept.
void PrintCpu(const Figures& figures) {
  if (figures.cycle_cpu_ms >= 0) {
    std::printf("  CPU of a row's thread for its cycle: %.1f ms%s\n", figures.cycle_cpu_ms,
                figures.rows > 1 ? " (mean over the rows)" : "");
  }
  std::printf("  CPU %.0f ms in %.1f s: front end thread %.0f ms, row threads (with the simulated "
              "printers) %.0f ms; %ld context switches\n",
              figures.cpu_ms, figures.wall_ms / 1000, figures.front_cpu_ms,
              figures.cpu_ms - figures.front_cpu_ms, figures.context_switches);
}

// What a run that should have finished a printer on every row leaves to say:
// rows that did not, printers without the whole image, channel failures.
void ConcludeCycles(const StationRun& run, const char* what) {
  for (size_t i = 0; i < run.rows.size(); ++i) {
    const RowRun& row = run.rows[i];
    if (row.CycleMs() < 0) {
      std::printf("  %s: row %zu not done, ended in %s\n", what, i + 1, SlotStateName(row.last_state));
    }
  }
  const int rows = static_cast<int>(run.rows.size());
  if (run.images_received != rows) {
    NoteProblem(what,
                std::to_string(rows - run.images_received) +
                    " printer(s) without the image byte for byte");
  }
  NoteProblems(run, what);
}

}  // namespace

Figures RunPartA(const BenchOptions& options) {
  Figures figures;
  figures.rows = 1;
  std::printf("Part a: one row, one printer in boot-load mode, a %zu-byte image at 115200 baud\n",
              options.image_bytes);
  BenchFiles files(options.image_bytes, 1, Printers(options));
  if (!files.ok()) {
    NoteProblem("setup", files.error());
    return figures;
  }
  VirtualClock virtual_clock;
  StationRun virtual_run = RunStation(Request(files, options, &virtual_clock, 1));
  StationRun real_run = RunStation(Request(files, options, &SystemClock::Instance(), 1));

  figures.virtual_ms = static_cast<double>(virtual_run.rows[0].CycleMs());
  figures.real_ms = static_cast<double>(real_run.rows[0].CycleMs());
  CopyRunFigures(real_run, &figures);
  figures.virtual_cycle_cpu_ms = virtual_run.rows[0].cycle_cpu_ms;
  figures.completed = virtual_run.all_done && real_run.all_done && virtual_run.stopped &&
                      real_run.stopped && virtual_run.images_received == 1 &&
                      real_run.images_received == 1;

  const double wire_ms =
      static_cast<double>(options.image_bytes) * kDownloadBitsPerByte / kDownloadBaud * 1000;
  std::printf("  cycle Restarting -> Done: virtual %.0f ms, real %.0f ms; wire time of the image "
              "alone %.1f ms\n",
              figures.virtual_ms, figures.real_ms, wire_ms);
  std::printf("  CPU of the row's thread for the cycle in virtual time: %.1f ms (the work alone, "
              "without a real pause)\n",
              figures.virtual_cycle_cpu_ms);
  PrintCpu(figures);
  std::printf("  phases (ms since the launch; \"extra\" = real - virtual):\n");
  PrintPhases(stdout, Phases(virtual_run.rows[0]), Phases(real_run.rows[0]));
  std::printf("  the simulated printer's events in the virtual run, until Done (ms):\n");
  PrintSimEvents(stdout, virtual_run.first_row_sim_events, virtual_run.rows[0].done_ms);
  if (options.timeline) {
    std::printf("  status texts, virtual run:\n");
    PrintTimeline(stdout, virtual_run.rows[0]);
    std::printf("  status texts, real run:\n");
    PrintTimeline(stdout, real_run.rows[0]);
  }
  ConcludeCycles(virtual_run, "virtual run");
  ConcludeCycles(real_run, "real run");
  return figures;
}

Figures RunPartB(const BenchOptions& options) {
  Figures figures;
  std::printf("Part b: %d rows at once, each its own port and printer, real time\n", options.rows);
  BenchFiles files(options.image_bytes, options.rows, Printers(options));
  if (!files.ok()) {
    NoteProblem("setup", files.error());
    return figures;
  }
  StationRun run = RunStation(Request(files, options, &SystemClock::Instance(), options.rows));
  CopyRunFigures(run, &figures);
  figures.completed = run.all_done && run.stopped && run.images_received == options.rows;
  for (int i = 0; i < figures.rows; ++i) figures.real_ms = std::max(figures.real_ms, figures.row_ms[i]);
  std::printf("  row cycles (ms):");
  for (int i = 0; i < figures.rows; ++i) std::printf(" %.0f", figures.row_ms[i]);
  std::printf("\n  images received whole: %d of %d\n", run.images_received, options.rows);
  PrintCpu(figures);
  ConcludeCycles(run, "run");
  return figures;
}

Figures RunPartC(const BenchOptions& options) {
  Figures figures;
  std::printf("Part c: %d rows waiting for printers that never come, %d s real time\n", options.rows,
              options.idle_seconds);
  PrinterSetup printers = Printers(options);
  printers.arrive_ms = kNeverArrivesMs;
  BenchFiles files(options.image_bytes, options.rows, printers);
  if (!files.ok()) {
    NoteProblem("setup", files.error());
    return figures;
  }
  RunRequest request = Request(files, options, &SystemClock::Instance(), options.rows);
  request.until_done = false;
  request.limit_ms = static_cast<int64_t>(options.idle_seconds) * 1000;
  StationRun run = RunStation(request);
  CopyRunFigures(run, &figures);
  int waiting = 0;
  for (const RowRun& row : run.rows) waiting += row.last_state == LookingForPrinter;
  std::printf("  rows looking for a printer at the end: %d of %d\n", waiting, options.rows);
  PrintCpu(figures);
  figures.completed = run.stopped && waiting == options.rows;
  NoteProblems(run, "run");
  return figures;
}

}  // namespace velloquin::bench
