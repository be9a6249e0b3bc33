#pragma once

#include <QColor>

#include "serial/ComponentBase.h"

namespace velmora::ui::qt {

// A colour value's lowest byte is red, then green, then blue.
inline QColor ToQColor(serial::TColor color) {
  return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                static_cast<int>((color >> 16) & 0xFF));
}

inline serial::TColor FromQColor(const QColor& color) {
  return static_cast<serial::TColor>(color.red()) |
         (static_cast<serial::TColor>(color.green()) << 8) |
         (static_cast<serial::TColor>(color.blue()) << 16);
}

}  // namespace velmora::ui::qt
