// The activity log "Zambrix.log": port failures of all rows over time.
// Every call opens the file, appends one entry, applies the size limit and
// closes the file again, so a viewer or a second station may hold it open.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "platform/log_sink.h"

namespace velloquin {

inline constexpr char kActivityLogName[] = "Zambrix.log";
inline constexpr long kActivityLogLimit = 2500000;

class ActivityLog final : public LogSink {
 public:
  // Local time of an entry; returns false when the time cannot be had.
  using TimeSource = std::function<bool(std::tm*)>;

  // `directory` empty: the process's working directory at the time of each call.
  explicit ActivityLog(std::string directory = {}, TimeSource time_source = {});
  void LogMessage(const std::string& text) override;

  // The process-wide log in the working directory.
  static ActivityLog& Instance();

 private:
  std::string directory_;
  TimeSource time_source_;
};

// Appends one entry to the process-wide log.
void LogMessage(const std::string& text);

// "%A, %B %d, %H:%M:%S" with English names, whatever the locale.
std::string FormatLogTime(const std::tm& time);

}  // namespace velloquin
