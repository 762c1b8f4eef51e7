// Where the port channel writes its failures. The station wires this to the
// activity log; tests wire it to a recorder.
#pragma once

#include <string>

namespace velloquin {

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void LogMessage(const std::string& text) = 0;
};

}  // namespace velloquin
