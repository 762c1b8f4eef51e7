#include "bench_report.h"

#include <algorithm>
#include <cmath>

namespace velloquin::bench {
namespace {

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

double Share(const Figures& f) { return f.wall_ms > 0 ? f.cpu_ms / f.wall_ms : 0; }

}  // namespace

std::vector<Check> Checks(const Figures* a, const Figures* b, const Figures* c,
                          const Figures* reference) {
  std::vector<Check> checks;
  if (a) {
    checks.push_back({"a: cycle done, image received whole", a->completed ? "yes" : "no", "yes",
                      a->completed});
    checks.push_back({"a: cycle, virtual time", Format("%.0f ms", a->virtual_ms), "",
                      a->virtual_ms > 0});
    checks.push_back({"a: cycle, real time", Format("%.0f ms", a->real_ms), "", a->real_ms > 0});
    double ratio = a->virtual_ms > 0 && a->real_ms > 0 ? a->real_ms / a->virtual_ms : INFINITY;
    checks.push_back({"a: real / virtual", Format("%.4f", ratio),
                      Format("<= %.2f", kMaxRealToVirtual), ratio <= kMaxRealToVirtual});
  }
  if (b) {
    int done = 0;
    for (int i = 0; i < b->rows; ++i) done += b->row_ms[i] >= 0;
    checks.push_back({"b: rows done, images received whole",
                      std::to_string(done) + " of " + std::to_string(b->rows),
                      "all", b->completed});
    if (reference && reference->real_ms > 0 && b->rows > 0) {
      const double reference_ms = reference->real_ms;
      double worst = 0;
      double slowest = 0;
      double fastest = INFINITY;
      for (int i = 0; i < b->rows; ++i) {
        double row = b->row_ms[i] >= 0 ? b->row_ms[i] : INFINITY;
        worst = std::max(worst, std::fabs(row - reference_ms) / reference_ms);
        slowest = std::max(slowest, row);
        fastest = std::min(fastest, row);
      }
      checks.push_back({"b: row cycles, fastest .. slowest",
                        Format("%.0f", fastest) + " .. " + Format("%.0f ms", slowest), "", done > 0});
      checks.push_back({"b: worst row vs a's real time", Format("%+.2f %%", worst * 100),
                        Format("<= %.0f %%", kMaxRowDeviation * 100), worst <= kMaxRowDeviation});
    } else {
      checks.push_back({"b: worst row vs a's real time", "no reference", "part a", false});
    }
    checks.push_back({"b: CPU, share of one core",
                      Format("%.2f %%", Share(*b) * 100) + Format(" (%.0f ms", b->cpu_ms) +
                          Format(" in %.1f s)", b->wall_ms / 1000),
                      Format("<= %.0f %%", kMaxBusyCpuShare * 100), Share(*b) <= kMaxBusyCpuShare});
    double peak_mb = static_cast<double>(b->maxrss_kb) / 1024;
    checks.push_back({"b: peak memory (ru_maxrss)", Format("%.1f MB", peak_mb),
                      Format("<= %.0f MB", kMaxPeakMemoryMb), peak_mb <= kMaxPeakMemoryMb});
  }
  if (c) {
    checks.push_back({"c: rows still waiting, all stopped", c->completed ? "yes" : "no", "yes",
                      c->completed});
    checks.push_back({"c: CPU, share of one core",
                      Format("%.3f %%", Share(*c) * 100) + Format(" (%.0f ms", c->cpu_ms) +
                          Format(" in %.1f s)", c->wall_ms / 1000),
                      Format("<= %.1f %%", kMaxIdleCpuShare * 100), Share(*c) <= kMaxIdleCpuShare});
  }
  return checks;
}

void PrintTable(std::FILE* out, const std::vector<Check>& checks) {
  size_t width = 6;
  size_t value_width = 5;
  for (const Check& check : checks) {
    width = std::max(width, check.figure.size());
    value_width = std::max(value_width, check.value.size());
  }
  std::fprintf(out, "%-*s  %-*s  %-9s  %s\n", static_cast<int>(width), "figure",
               static_cast<int>(value_width), "value", "bound", "result");
  for (const Check& check : checks) {
    std::fprintf(out, "%-*s  %-*s  %-9s  %s\n", static_cast<int>(width), check.figure.c_str(),
                 static_cast<int>(value_width), check.value.c_str(),
                 check.bound.empty() ? "-" : check.bound.c_str(), check.pass ? "PASS" : "FAIL");
  }
}

bool AllPass(const std::vector<Check>& checks) {
  return std::all_of(checks.begin(), checks.end(), [](const Check& c) { return c.pass; });
}

}  // namespace velloquin::bench
