// Unattended runs of the window, for the documentation and the measurements:
// press Start, let the rows work for a while, save a picture of the window
// and/or report the longest stretch the GUI thread was not serving its event
// loop, then close the window the orderly way.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <string>
#include <vector>

namespace velloquin {

class ProgrammerDialog;

struct CaptureOptions {
  std::string screenshot_path;  // --screenshot PATH: a PNG of the window
  int after_ms = 8000;          // --after-ms N: how long the rows work first
  bool frame_report = false;    // --frame-report: print the longest GUI frame
  bool Active() const { return !screenshot_path.empty() || frame_report; }
};

// Takes the capture options out of the arguments (others are left alone).
// False with a reason for a malformed one.
bool ParseCaptureOptions(const std::vector<std::string>& arguments, CaptureOptions* options,
                         std::string* error);

// Ticks every 5 ms on the GUI thread and keeps the longest gap between two
// ticks: while the thread is busy (handling a call, painting) no tick comes,
// so the gap bounds the longest frame.
class FrameProbe {
 public:
  static constexpr int kPeriodMs = 5;
  void Start();
  void Stop();
  double LongestGapMs() const { return longest_gap_ns_ / 1e6; }
  long long Ticks() const { return ticks_; }

 private:
  QTimer timer_;
  QElapsedTimer clock_;
  long long last_ns_ = 0;
  long long longest_gap_ns_ = 0;
  long long ticks_ = 0;
};

// Arms the capture on a dialog about to be shown: Start at once, the picture
// and the report after `after_ms`, then close. Returns at once; the dialog's
// own modal run carries it out. `result` receives 0, or 1 when the picture
// could not be saved.
void ArmCapture(ProgrammerDialog* dialog, const CaptureOptions& options, int* result);

}  // namespace velloquin
