#include "sim/sim_printer.h"

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "sim/sim_bench.h"
#include "sim/sim_serial_device.h"

namespace velloquin::sim {

namespace {

constexpr size_t kOldProgramSize = 2048;
constexpr size_t kMaxMainFileSize = 64 * 1024 * 1024;

bool ReadWholeFile(const std::string& path, ByteVector* content, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "sim: cannot read main program " + path + ": " + std::strerror(errno);
    return false;
  }
  content->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (file.bad() || content->size() > kMaxMainFileSize) {
    *error = "sim: cannot read main program " + path;
    return false;
  }
  return true;
}

// Runs `f` on the bench under its lock, brought up to the clock's time.
template <typename F>
auto Locked(SimBench& bench, F f) {
  std::lock_guard lock(bench.mutex());
  bench.AdvanceTo(bench.NowNs());
  return f(bench);
}

}  // namespace

std::vector<uint8_t> OldMainProgram(uint32_t seed, int printer_number) {
  uint64_t state = (static_cast<uint64_t>(seed) << 32) ^ static_cast<uint64_t>(printer_number) ^
                   0x01D0;
  std::vector<uint8_t> bytes(kOldProgramSize);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(NextRandom(&state) >> 56);
  return bytes;
}

std::optional<std::vector<uint8_t>> PrinterView::File(std::string_view name) const {
  for (const auto& [file_name, content] : files) {
    if (file_name.size() == name.size() &&
        strncasecmp(file_name.data(), name.data(), name.size()) == 0) {
      return content;
    }
  }
  return std::nullopt;
}

std::shared_ptr<SimPrinter> SimPrinter::Create(const SimOptions& options, Clock* clock,
                                               std::shared_ptr<const UnlockKeyTable> key,
                                               std::string* error) {
  std::vector<std::optional<ByteVector>> mains;
  for (size_t i = 0; i < options.stories.size(); ++i) {
    const PrinterStory& story = options.stories[i];
    switch (story.main) {
      case MainAtPlugIn::kNone:
        mains.emplace_back();
        break;
      case MainAtPlugIn::kOld:
        mains.emplace_back(OldMainProgram(options.seed, static_cast<int>(i + 1)));
        break;
      case MainAtPlugIn::kFile: {
        ByteVector content;
        if (!ReadWholeFile(story.main_path, &content, error)) return nullptr;
        mains.emplace_back(std::move(content));
        break;
      }
    }
  }
  return std::make_shared<SimPrinter>(
      std::make_shared<SimBench>(options, clock, std::move(key), std::move(mains)));
}

std::shared_ptr<SimPrinter> SimPrinter::FromSpec(std::string_view spec, Clock* clock,
                                                 std::shared_ptr<const UnlockKeyTable> key,
                                                 std::string* error) {
  SimSpecResult parsed = ParseSimSpec(spec);
  if (!parsed.ok) {
    *error = parsed.error;
    return nullptr;
  }
  return Create(parsed.options, clock, std::move(key), error);
}

std::unique_ptr<SerialDevice> SimPrinter::Open(int* error) {
  return Locked(*bench_, [&](SimBench& bench) -> std::unique_ptr<SerialDevice> {
    int handle = 0;
    *error = bench.OpenPort(&handle);
    if (*error != 0) return nullptr;
    return std::make_unique<SimSerialDevice>(bench_, handle);
  });
}

bool SimPrinter::PlugIn() {
  return Locked(*bench_, [](SimBench& bench) { return bench.PlugInNext(); });
}

void SimPrinter::Unplug() {
  Locked(*bench_, [](SimBench& bench) { bench.UnplugNow(); });
}

void SimPrinter::SetButton(bool held) {
  Locked(*bench_, [held](SimBench& bench) { bench.SetButtonHeld(held); });
}

int SimPrinter::current_printer() {
  return Locked(*bench_, [](SimBench& bench) { return bench.current_printer(); });
}

int SimPrinter::printers_seen() {
  return Locked(*bench_,
                [](SimBench& bench) { return static_cast<int>(bench.printers().size()); });
}

PrinterView SimPrinter::Printer(int number) {
  return Locked(*bench_, [number](SimBench& bench) {
    PrinterView view;
    const auto& printers = bench.printers();
    if (number < 1 || number > static_cast<int>(printers.size())) return view;
    const PrinterModel& printer = *printers[number - 1];
    view.number = number;
    view.plugged = bench.current_printer() == number;
    view.boot_mode = printer.boot_mode();
    view.flashing = printer.flashing();
    view.flash_count = printer.flash_count();
    view.received_image = printer.received_image();
    for (const FileStore::File& file : printer.files().files()) {
      view.files.emplace_back(file.name, file.content);
    }
    return view;
  });
}

std::vector<SimEvent> SimPrinter::Events() {
  return Locked(*bench_, [](SimBench& bench) { return bench.events().Snapshot(); });
}

std::vector<LineLevelChange> SimPrinter::LineLevels() {
  return Locked(*bench_, [](SimBench& bench) { return bench.line_levels().Snapshot(); });
}

std::vector<LineSettingsChange> SimPrinter::LineSettings() {
  return Locked(*bench_, [](SimBench& bench) { return bench.line_settings().Snapshot(); });
}

}  // namespace velloquin::sim
