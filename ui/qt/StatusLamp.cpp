#include "ui/qt/StatusLamp.h"

#include <QPainter>

#include "ui/qt/Colors.h"

namespace velmora::ui::qt {

namespace {
constexpr int kLampSize = 13;
}

TApdStatusLight::TApdStatusLight(QWidget* parent) : QWidget(parent) {
  setFixedSize(kLampSize, kLampSize);
}

void TApdStatusLight::SetGlyph(const QImage& glyph) {
  glyph_ = glyph.convertToFormat(QImage::Format_ARGB32);
  if (GlyphInUse()) {
    setFixedSize(glyph_.width() / 2, glyph_.height());
  } else {
    setFixedSize(kLampSize, kLampSize);
  }
  update();
}

void TApdStatusLight::SetBounds(int left, int top, int width, int height) {
  if (GlyphInUse()) {
    width = glyph_.width() / 2;
    height = glyph_.height();
  }
  move(left, top);
  setFixedSize(width, height);
}

void TApdStatusLight::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (GlyphInUse()) {
    paintGlyph(painter);
  } else {
    paintColour(painter);
  }
}

void TApdStatusLight::paintGlyph(QPainter& painter) {
  const QRect source(Lit() ? 0 : width(), 0, width(), height());
  QImage part = glyph_.copy(source);
  // The glyph's background, told by its top-left pixel, shows the parent's colour.
  const QRgb transparent = glyph_.pixel(0, 0);
  const QColor brush = parentWidget() ? parentWidget()->palette().color(QPalette::Window)
                                      : palette().color(QPalette::Window);
  for (int y = 0; y < part.height(); ++y) {
    for (int x = 0; x < part.width(); ++x) {
      if (part.pixel(x, y) == transparent) part.setPixel(x, y, brush.rgba());
    }
  }
  painter.drawImage(0, 0, part);
}

void TApdStatusLight::paintColour(QPainter& painter) {
  const int w = width();
  const int h = height();
  painter.fillRect(rect(), ToQColor(CurrentColor()));
  painter.setRenderHint(QPainter::Antialiasing, false);
  // The lines end one pixel short, as the end point of a line is not drawn.
  painter.setPen(QPen(Qt::white, 0));
  painter.drawLine(0, 0, w - 1, 0);
  painter.drawLine(0, 0, 0, h - 1);
  painter.setPen(QPen(ToQColor(serial::clGray), 0));
  painter.drawLine(w - 1, 1, w - 1, h - 1);
  painter.drawLine(1, h - 1, w - 1, h - 1);
}

}  // namespace velmora::ui::qt
