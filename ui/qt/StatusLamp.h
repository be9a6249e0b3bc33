#pragma once

#include <QImage>
#include <QWidget>

#include "serial/StatusLightController.h"

namespace velmora::ui::qt {

// The lamp control: a bevelled square in LitColor or NotLitColor, or, once a glyph is set,
// the glyph's left half when lit and its right half when not.
class TApdStatusLight final : public QWidget, public serial::TApdCustomStatusLight {
  Q_OBJECT

 public:
  explicit TApdStatusLight(QWidget* parent = nullptr);

  const QImage& Glyph() const { return glyph_; }
  // A null image goes back to the colours at 13 x 13.
  void SetGlyph(const QImage& glyph);
  bool GlyphInUse() const { return !glyph_.isNull(); }

  // While a glyph is in use its half size wins over the size given.
  void SetBounds(int left, int top, int width, int height);

  QSize sizeHint() const override { return size(); }

 protected:
  void Changed() override { update(); }
  bool GlyphShown() const override { return GlyphInUse(); }
  void paintEvent(QPaintEvent* event) override;

 private:
  void paintGlyph(QPainter& painter);
  void paintColour(QPainter& painter);

  QImage glyph_;
};

}  // namespace velmora::ui::qt
