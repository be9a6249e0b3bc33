#pragma once

#include <QWidget>

#include "serial/ComponentBase.h"

namespace velmora::ui::qt {

// A rectangle filled with its brush colour and outlined in black.
class TShape final : public QWidget {
  Q_OBJECT

 public:
  explicit TShape(QWidget* parent = nullptr) : QWidget(parent) {}

  serial::TColor BrushColor() const { return brush_; }
  void SetBrushColor(serial::TColor color);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  serial::TColor brush_ = 0xFFFFFF;
};

}  // namespace velmora::ui::qt
