#include "app/app_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace velloquin {

QImage DrawAppIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(size / 64.0, size / 64.0);  // drawn on a 64 x 64 grid

  // The sheet coming out of the top.
  painter.setPen(QPen(QColor(0x5b, 0x64, 0x70), 1.5));
  painter.setBrush(QColor(0xfa, 0xfa, 0xf7));
  painter.drawRect(QRectF(16, 4, 32, 22));
  // The printer's body and its paper slot.
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x2f, 0x3b, 0x4c));
  painter.drawRoundedRect(QRectF(4, 22, 56, 30), 6, 6);
  painter.setBrush(QColor(0x1a, 0x22, 0x2d));
  painter.drawRect(QRectF(14, 44, 36, 4));
  // The status lamp.
  painter.setBrush(QColor(0x3c, 0xc8, 0x5a));
  painter.drawEllipse(QPointF(51, 30), 3, 3);
  // The download arrow into the body.
  QPainterPath arrow;
  arrow.moveTo(28, 8);
  arrow.lineTo(36, 8);
  arrow.lineTo(36, 24);
  arrow.lineTo(43, 24);
  arrow.lineTo(32, 38);
  arrow.lineTo(21, 24);
  arrow.lineTo(28, 24);
  arrow.closeSubpath();
  painter.setBrush(QColor(0x1f, 0x8f, 0xe8));
  painter.setPen(QPen(QColor(0xff, 0xff, 0xff), 1.5));
  painter.drawPath(arrow);
  // The feet.
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1a, 0x22, 0x2d));
  painter.drawRect(QRectF(10, 52, 8, 4));
  painter.drawRect(QRectF(46, 52, 8, 4));
  return image;
}

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128}) icon.addPixmap(QPixmap::fromImage(DrawAppIcon(size)));
  return icon;
}

}  // namespace velloquin
