// A LogSink that keeps every entry, for tests of what a component logs.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/log_sink.h"

namespace velloquin::testing_support {

class RecordingLog final : public LogSink {
 public:
  void LogMessage(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(text);
  }
  std::vector<std::string> Entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> entries_;
};

}  // namespace velloquin::testing_support
