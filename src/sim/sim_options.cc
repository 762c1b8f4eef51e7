#include "sim/sim_options.h"

#include <charconv>
#include <map>

namespace velloquin::sim {

namespace {

constexpr int64_t kMaxMs = 1000000000;

using Setter = bool (*)(std::string_view value, PrinterStory* story, std::string* why);

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// A plain decimal number (no sign, no blanks) within [min, max].
bool ParseNumber(std::string_view text, int64_t min, int64_t max, int64_t* out) {
  if (text.empty()) return false;
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (value > static_cast<uint64_t>(max) || static_cast<int64_t>(value) < min) return false;
  *out = static_cast<int64_t>(value);
  return true;
}

bool NumberSetter(std::string_view value, int64_t min, int64_t max, int64_t* field,
                  std::string* why) {
  if (ParseNumber(value, min, max, field)) return true;
  *why = "'" + std::string(value) + "' is not a number from " + std::to_string(min) + " to " +
         std::to_string(max);
  return false;
}

// A time in milliseconds, or "none" where the key allows it.
bool TimeOrNone(std::string_view value, int64_t* field, std::string* why) {
  if (value == "none") {
    *field = kNoTime;
    return true;
  }
  return NumberSetter(value, 0, kMaxMs, field, why);
}

bool SetMode(std::string_view value, PrinterStory* story, std::string* why) {
  if (value == "boot" || value == "normal") {
    story->boot_mode = value == "boot";
    return true;
  }
  *why = "'" + std::string(value) + "' is not boot or normal";
  return false;
}

bool SetMain(std::string_view value, PrinterStory* story, std::string* why) {
  if (value == "none") {
    story->main = MainAtPlugIn::kNone;
  } else if (value == "old") {
    story->main = MainAtPlugIn::kOld;
  } else if (value.starts_with("file:") && value.size() > 5) {
    story->main = MainAtPlugIn::kFile;
    story->main_path = std::string(value.substr(5));
  } else {
    *why = "'" + std::string(value) + "' is not none, old or file:PATH";
    return false;
  }
  return true;
}

bool SetLeave(std::string_view value, PrinterStory* story, std::string* why) {
  if (value == "done") {
    story->leave = LeaveRule::kDone;
  } else if (value == "reported") {
    story->leave = LeaveRule::kReported;
  } else if (value == "never") {
    story->leave = LeaveRule::kNever;
  } else {
    *why = "'" + std::string(value) + "' is not done, reported or never";
    return false;
  }
  return true;
}

bool SetOneFault(std::string_view item, PrinterFaults* faults, std::string* why) {
  size_t at = item.find('@');
  std::string_view name = item.substr(0, at);
  std::string_view argument = at == std::string_view::npos ? "" : item.substr(at + 1);
  bool has_argument = at != std::string_view::npos;
  int64_t number = 0;
  if (has_argument && !ParseNumber(argument, 1, kMaxMs, &number)) {
    *why = "fault '" + std::string(item) + "' needs a count from 1 to " + std::to_string(kMaxMs);
    return false;
  }
  struct Flag {
    const char* name;
    bool PrinterFaults::*field;
  };
  static constexpr Flag kFlags[] = {{"no_boot", &PrinterFaults::no_boot},
                                    {"silent", &PrinterFaults::silent},
                                    {"reject_unlock", &PrinterFaults::reject_unlock},
                                    {"garbage", &PrinterFaults::garbage},
                                    {"chatter", &PrinterFaults::chatter},
                                    {"flash_stuck", &PrinterFaults::flash_stuck}};
  for (const Flag& flag : kFlags) {
    if (name != flag.name) continue;
    if (has_argument) {
      *why = "fault '" + std::string(name) + "' takes no @count";
      return false;
    }
    if (faults->*flag.field) break;  // repeated
    faults->*flag.field = true;
    return true;
  }
  if (name == "unplug" && faults->unplug_at_byte == 0) {
    if (!has_argument) {
      *why = "fault 'unplug' needs @N, the stream byte at which the printer is unplugged";
      return false;
    }
    faults->unplug_at_byte = number;
    return true;
  }
  if (name == "wrong_sums" && faults->wrong_sums == 0) {
    faults->wrong_sums = has_argument ? static_cast<int>(number) : -1;
    return true;
  }
  bool known = name == "unplug" || name == "wrong_sums";
  for (const Flag& flag : kFlags) known = known || name == flag.name;
  *why = known ? "fault '" + std::string(name) + "' is named twice"
               : "unknown fault '" + std::string(name) + "'";
  return false;
}

bool SetFault(std::string_view value, PrinterStory* story, std::string* why) {
  story->faults = PrinterFaults{};
  if (value == "none") return true;
  for (std::string_view item : Split(value, '+')) {
    if (item == "none") {
      *why = "'none' cannot be joined with other faults";
      return false;
    }
    if (!SetOneFault(item, &story->faults, why)) return false;
  }
  return true;
}

// A story key that takes a time, a count or a byte rate.
template <int64_t PrinterStory::*Field, int64_t Min, int64_t Max>
bool SetNumber(std::string_view value, PrinterStory* story, std::string* why) {
  return NumberSetter(value, Min, Max, &(story->*Field), why);
}

template <int64_t PrinterStory::*Field>
bool SetTimeOrNone(std::string_view value, PrinterStory* story, std::string* why) {
  return TimeOrNone(value, &(story->*Field), why);
}

struct StoryKey {
  const char* name;
  Setter set;
};

constexpr StoryKey kStoryKeys[] = {
    {"mode", SetMode},
    {"main", SetMain},
    {"arrive_ms", SetNumber<&PrinterStory::arrive_ms, 0, kMaxMs>},
    {"leave", SetLeave},
    {"leave_ms", SetNumber<&PrinterStory::leave_ms, 0, kMaxMs>},
    {"linger_ms", SetNumber<&PrinterStory::linger_ms, 0, kMaxMs>},
    {"button_ms", SetTimeOrNone<&PrinterStory::button_ms>},
    {"hold_ms", SetNumber<&PrinterStory::hold_ms, 1, kMaxMs>},
    {"retry_ms", SetTimeOrNone<&PrinterStory::retry_ms>},
    {"flash_ms", SetNumber<&PrinterStory::flash_ms, 0, kMaxMs>},
    {"shift_ms", SetNumber<&PrinterStory::shift_ms, 0, kMaxMs>},
    {"boot_ms", SetNumber<&PrinterStory::boot_ms, 0, kMaxMs>},
    {"idle_ms", SetNumber<&PrinterStory::idle_ms, 1, kMaxMs>},
    {"reply_ms", SetNumber<&PrinterStory::reply_ms, 0, kMaxMs>},
    {"buffer", SetNumber<&PrinterStory::buffer, 64, 1048576>},
    {"consume", SetNumber<&PrinterStory::consume, 1, 100000000>},
    {"fault", SetFault},
};

// Later printers arrive 2 s after the one before them has left.
constexpr std::string_view kDefaultArrival = "0;2000";

SimSpecResult Fail(std::string message) {
  SimSpecResult result;
  result.error = "sim: " + std::move(message);
  return result;
}

}  // namespace

bool IsSimName(std::string_view name) { return name.starts_with(kSimPrefix); }

SimSpecResult ParseSimSpec(std::string_view spec) {
  if (IsSimName(spec)) spec.remove_prefix(sizeof(kSimPrefix) - 1);
  std::map<std::string, std::string_view, std::less<>> values;
  if (!spec.empty()) {
    for (std::string_view pair : Split(spec, ',')) {
      size_t equals = pair.find('=');
      if (pair.empty()) return Fail("empty option (two commas, or a comma at an end)");
      if (equals == std::string_view::npos) return Fail("'" + std::string(pair) + "' is not key=value");
      std::string key(pair.substr(0, equals));
      std::string_view value = pair.substr(equals + 1);
      if (value.empty()) return Fail("option '" + key + "' has no value");
      if (!values.emplace(key, value).second) return Fail("option '" + key + "' is given twice");
    }
  }

  SimSpecResult result;
  SimOptions& options = result.options;
  int64_t number = 0;
  if (auto it = values.find("printers"); it != values.end()) {
    if (!ParseNumber(it->second, 1, 10000, &number))
      return Fail("option 'printers': '" + std::string(it->second) + "' is not a number from 1 to 10000");
    options.printers = static_cast<int>(number);
    values.erase(it);
  }
  if (auto it = values.find("seed"); it != values.end()) {
    if (!ParseNumber(it->second, 0, UINT32_MAX, &number))
      return Fail("option 'seed': '" + std::string(it->second) + "' is not a number from 0 to 4294967295");
    options.seed = static_cast<uint32_t>(number);
    values.erase(it);
  }
  values.emplace("arrive_ms", kDefaultArrival);  // no effect when given

  options.stories.assign(options.printers, PrinterStory{});
  for (const auto& [key, value] : values) {
    const StoryKey* story_key = nullptr;
    for (const StoryKey& candidate : kStoryKeys) {
      if (key == candidate.name) story_key = &candidate;
    }
    if (story_key == nullptr) return Fail("unknown option '" + key + "'");
    std::vector<std::string_view> items = Split(value, ';');
    bool is_default = key == "arrive_ms" && value == kDefaultArrival;
    if (items.size() > static_cast<size_t>(options.printers) && !is_default) {
      return Fail("option '" + key + "' has " + std::to_string(items.size()) +
                  " values for " + std::to_string(options.printers) + " printer(s)");
    }
    for (int printer = 0; printer < options.printers; ++printer) {
      std::string_view item = items[std::min<size_t>(printer, items.size() - 1)];
      std::string why;
      if (item.empty()) return Fail("option '" + key + "' has an empty value in its list");
      if (!story_key->set(item, &options.stories[printer], &why))
        return Fail("option '" + key + "': " + why);
    }
  }
  result.ok = true;
  return result;
}

}  // namespace velloquin::sim
