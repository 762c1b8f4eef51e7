// The benchmark's table: every figure with its bound and PASS or FAIL.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "bench_parts.h"

namespace velloquin::bench {

// The bounds.
inline constexpr double kMaxRealToVirtual = 1.02;  // a: real / virtual
inline constexpr double kMaxRowDeviation = 0.02;   // b: |row - a real| / a real
inline constexpr double kMaxBusyCpuShare = 0.03;   // b: CPU time / wall time
inline constexpr double kMaxPeakMemoryMb = 50;     // b: ru_maxrss, MiB
inline constexpr double kMaxIdleCpuShare = 0.005;  // c: CPU time / wall time

struct Check {
  std::string figure;
  std::string value;
  std::string bound;  // empty: a figure without a bound, which only has to exist
  bool pass = false;
};

// The checks of the parts that ran (null: did not run). Part b is measured
// against `reference`'s real time: part a's, or one given on the command line.
std::vector<Check> Checks(const Figures* a, const Figures* b, const Figures* c,
                          const Figures* reference);

void PrintTable(std::FILE* out, const std::vector<Check>& checks);

bool AllPass(const std::vector<Check>& checks);

}  // namespace velloquin::bench
