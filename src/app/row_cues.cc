#include "app/row_cues.h"

#include <QPainter>
#include <algorithm>

#include "cycle/port_slot.h"

namespace velloquin {

RowCue CueOfState(int32_t state) {
  if (IsPrinterWorkState(state)) return RowCue::kWorking;
  switch (state) {
    case Done:
      return RowCue::kDone;
    case Failed:
      return RowCue::kError;
    case NotInBootMode:
      return RowCue::kWaitingForButton;
    default:
      return RowCue::kNone;
  }
}

QColor CueColour(RowCue cue) {
  switch (cue) {
    case RowCue::kWorking:
      return QColor(0xd3, 0xe6, 0xfb);
    case RowCue::kDone:
      return QColor(0xcf, 0xf2, 0xcf);
    case RowCue::kError:
      return QColor(0xfb, 0xd0, 0xd0);
    case RowCue::kWaitingForButton:
      return QColor(0xfc, 0xe9, 0xb0);
    case RowCue::kNone:
      break;
  }
  return QColor();
}

RowProgressBar::RowProgressBar(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  hide();
}

void RowProgressBar::SetPercent(int percent) {
  percent = percent < 0 ? -1 : std::min(percent, 100);
  if (percent == percent_) return;
  percent_ = percent;
  setVisible(percent_ >= 0);
  update();
}

void RowProgressBar::paintEvent(QPaintEvent*) {
  if (percent_ < 0) return;
  QPainter painter(this);
  painter.fillRect(rect(), QColor(0xc8, 0xcc, 0xd2));
  QRect filled = rect();
  filled.setWidth(filled.width() * percent_ / 100);
  painter.fillRect(filled, QColor(0x1f, 0x6f, 0xd1));
}

}  // namespace velloquin
