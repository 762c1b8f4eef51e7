// Fuzzes the parser of "sim:" port-map entries: any text must give either a
// bench whose stories fit their limits, or an error that names the problem.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sim/sim_options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  velloquin::sim::SimSpecResult result = velloquin::sim::ParseSimSpec(text);
  if (!result.ok) {
    if (result.error.rfind("sim: ", 0) != 0) std::abort();
    return 0;
  }
  const auto& options = result.options;
  if (options.printers < 1 || options.printers > 10000) std::abort();
  if (options.stories.size() != static_cast<size_t>(options.printers)) std::abort();
  for (const auto& story : options.stories) {
    if (story.buffer < 64 || story.consume < 1 || story.idle_ms < 1 || story.hold_ms < 1) std::abort();
    if (story.faults.unplug_at_byte < 0 || story.faults.wrong_sums < -1) std::abort();
    if (story.main == velloquin::sim::MainAtPlugIn::kFile && story.main_path.empty()) std::abort();
  }
  return 0;
}
