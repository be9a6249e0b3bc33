#include "ui/qt/Shape.h"

#include <QPainter>

#include "ui/qt/Colors.h"

namespace velmora::ui::qt {

void TShape::SetBrushColor(serial::TColor color) {
  if (color == brush_) return;
  brush_ = color;
  update();
}

void TShape::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setPen(QPen(Qt::black, 0));
  painter.setBrush(ToQColor(brush_));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

}  // namespace velmora::ui::qt
