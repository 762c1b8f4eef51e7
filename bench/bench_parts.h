// The three parts of the benchmark. Each runs in a process of its own (so
// its CPU time and peak memory are its own), prints its details to standard
// output, and hands its figures back as one plain record.
#pragma once

#include <cstdint>
#include <string>

namespace velloquin::bench {

inline constexpr int kMaxRows = 20;

struct BenchOptions {
  size_t image_bytes = 100 * 1024;
  int rows = kMaxRows;       // parts b and c
  int idle_seconds = 60;     // part c
  int64_t flash_ms = 0;      // the simulated printer's flash write
  std::string boot_dir;      // ends with '/'
  bool timeline = false;     // print every status text of part a
};

// Plain data: it crosses a pipe from the part's process to the report.
struct Figures {
  char part = 0;
  bool completed = false;  // every row finished (a, b) or waited (c), and all stopped
  double virtual_ms = -1;  // part a
  double real_ms = -1;     // part a; part b: the slowest row
  int rows = 0;
  double row_ms[kMaxRows] = {};  // part b: each row's cycle, -1 when unfinished
  double cpu_ms = 0;
  double front_cpu_ms = 0;
  // CPU time of a row's worker thread for its cycle (the simulated printer's
  // work included): part a in virtual and in real time; part b the mean.
  double virtual_cycle_cpu_ms = -1;
  double cycle_cpu_ms = -1;
  long context_switches = 0;
  double wall_ms = 0;
  long maxrss_kb = 0;
};

// One row, one printer in boot-load mode: a cycle in virtual time, then one
// in real time, each from Restarting to Done.
Figures RunPartA(const BenchOptions& options);
// options.rows rows at once on the same scenario, in real time.
Figures RunPartB(const BenchOptions& options);
// options.rows rows waiting for printers that never come, for
// options.idle_seconds of real time.
Figures RunPartC(const BenchOptions& options);

}  // namespace velloquin::bench
