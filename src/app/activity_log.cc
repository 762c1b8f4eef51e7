#include "app/activity_log.h"

#include <cstdio>
#include <fstream>
#include <mutex>
#include <string_view>

namespace velloquin {
namespace {

// The log is read on stations whatever their language: English names always,
// never the locale's.
constexpr const char* kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};
constexpr const char* kMonths[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};

// All entries of the process go through one lock, so that two entries never
// interleave and one call's emptying of the file never falls between another
// call's lines.
std::mutex& LogFileMutex() {
  static std::mutex mutex;
  return mutex;
}

bool LocalNow(std::tm* out) {
  std::time_t now = std::time(nullptr);
  return now != static_cast<std::time_t>(-1) && localtime_r(&now, out) != nullptr;
}

// The log's lines end in CR LF; Linux has no text mode to add the CR.
std::string WithCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

}  // namespace

std::string FormatLogTime(const std::tm& time) {
  if (time.tm_wday < 0 || time.tm_wday > 6 || time.tm_mon < 0 || time.tm_mon > 11 ||
      time.tm_mday < 1 || time.tm_mday > 31 || time.tm_hour < 0 || time.tm_hour > 23 ||
      time.tm_min < 0 || time.tm_min > 59 || time.tm_sec < 0 || time.tm_sec > 60) {
    return {};
  }
  char text[64];
  std::snprintf(text, sizeof text, "%s, %s %02d, %02d:%02d:%02d", kWeekdays[time.tm_wday],
                kMonths[time.tm_mon], time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
  return text;
}

ActivityLog::ActivityLog(std::string directory, TimeSource time_source)
    : directory_(std::move(directory)),
      time_source_(time_source ? std::move(time_source) : TimeSource(LocalNow)) {}

void ActivityLog::LogMessage(const std::string& text) {
  std::tm time{};
  std::string stamp = time_source_(&time) ? FormatLogTime(time) : std::string();
  // Five lines: empty, the time, "Message: ", the text, empty.
  std::string entry = WithCrLf("\n" + stamp + "\nMessage: \n" + text + "\n\n");
  std::string path = directory_.empty() ? kActivityLogName : directory_ + "/" + kActivityLogName;

  std::lock_guard<std::mutex> lock(LogFileMutex());
  // The whole entry goes out in one appending write, so that a second
  // station appending to the same file does not split it either.
  std::ofstream file(path, std::ios::binary | std::ios::app);
  if (!file) return;  // the entry is lost; the caller goes on
  file.write(entry.data(), static_cast<std::streamsize>(entry.size()));
  file.flush();
  // After an appending write the position is the file's size.
  std::streamoff size = file.tellp();
  file.close();
  if (size > kActivityLogLimit) {
    std::ofstream truncate(path, std::ios::binary | std::ios::trunc);
  }
}

ActivityLog& ActivityLog::Instance() {
  static ActivityLog log;
  return log;
}

void LogMessage(const std::string& text) { ActivityLog::Instance().LogMessage(text); }

}  // namespace velloquin
