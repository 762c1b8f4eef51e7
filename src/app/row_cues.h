// What a row shows beside its status text: a colour for its state, a slim
// progress bar while the firmware streams, and the printers it finished. The
// status text itself always stays exactly as the cycle writes it.
#pragma once

#include <QColor>
#include <QWidget>
#include <cstdint>

namespace velloquin {

enum class RowCue {
  kNone,              // not started, looking for a printer, stopping
  kWorking,           // a printer is being checked, forced, programmed or verified
  kDone,              // programmed; waiting for the next printer
  kError,             // failed; the adapter button retries
  kWaitingForButton,  // not in boot-load mode: the operator must act, then press the button
};

RowCue CueOfState(int32_t state);
// The row's background for a cue; invalid for kNone (the window's own colour).
QColor CueColour(RowCue cue);

// A thin bar painted along the bottom of a status text.
class RowProgressBar final : public QWidget {
 public:
  explicit RowProgressBar(QWidget* parent);
  // 0 to 100; a negative value hides the bar.
  void SetPercent(int percent);
  int Percent() const { return percent_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int percent_ = -1;
};

}  // namespace velloquin
