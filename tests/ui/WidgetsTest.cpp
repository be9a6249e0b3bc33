#include <gtest/gtest.h>

#include <QImage>
#include <QWidget>

#include "ui/qt/Colors.h"
#include "ui/qt/Shape.h"
#include "ui/qt/StatusLamp.h"

namespace velmora::test {
namespace {

using ui::qt::TApdStatusLight;
using ui::qt::ToQColor;

QImage Render(QWidget& widget) {
  return widget.grab().toImage();
}

TEST(Colors, LowestByteIsRed) {
  EXPECT_EQ(ToQColor(0x0000FF), QColor(255, 0, 0));
  EXPECT_EQ(ToQColor(0x00FF00), QColor(0, 255, 0));
  EXPECT_EQ(ToQColor(0x800000), QColor(0, 0, 128));
  EXPECT_EQ(ui::qt::FromQColor(QColor(1, 2, 3)), 0x030201u);
}

TEST(StatusLight, PaintsItsColourWithALightTopLeftAndAGrayBottomRightEdge) {
  QWidget parent;
  TApdStatusLight lamp(&parent);
  lamp.SetLitColor(serial::clLime);
  lamp.SetNotLitColor(serial::clNavy);
  ASSERT_EQ(lamp.size(), QSize(13, 13));

  QImage image = Render(lamp);
  const QColor white(255, 255, 255);
  const QColor gray(128, 128, 128);
  EXPECT_EQ(image.pixelColor(6, 6), QColor(0, 0, 128));
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(image.pixelColor(i, 0), white) << "top row " << i;
    EXPECT_EQ(image.pixelColor(0, i), white) << "left column " << i;
  }
  for (int i = 1; i < 13; ++i) {
    EXPECT_EQ(image.pixelColor(12, i), gray) << "right column " << i;
    EXPECT_EQ(image.pixelColor(i, 12), gray) << "bottom row " << i;
  }
  EXPECT_EQ(image.pixelColor(11, 11), QColor(0, 0, 128));

  lamp.SetLit(true);
  image = Render(lamp);
  EXPECT_EQ(image.pixelColor(6, 6), QColor(0, 255, 0));
  EXPECT_EQ(image.pixelColor(12, 12), gray);
}

TEST(StatusLight, AGlyphShowsItsLeftHalfLitAndItsRightHalfDark) {
  QWidget parent;
  QPalette palette = parent.palette();
  palette.setColor(QPalette::Window, QColor(10, 20, 30));
  parent.setPalette(palette);
  TApdStatusLight lamp(&parent);

  // 20 x 8: background white, a red square on the left half, a blue one on the right half.
  QImage glyph(20, 8, QImage::Format_ARGB32);
  glyph.fill(Qt::white);
  for (int y = 2; y < 6; ++y) {
    for (int x = 2; x < 6; ++x) {
      glyph.setPixelColor(x, y, Qt::red);
      glyph.setPixelColor(x + 10, y, Qt::blue);
    }
  }
  lamp.SetGlyph(glyph);
  EXPECT_TRUE(lamp.GlyphInUse());
  EXPECT_EQ(lamp.size(), QSize(10, 8));
  lamp.SetBounds(3, 4, 13, 13);
  EXPECT_EQ(lamp.geometry(), QRect(3, 4, 10, 8)) << "the glyph decides the size";

  lamp.SetLit(true);
  QImage image = Render(lamp);
  EXPECT_EQ(image.pixelColor(3, 3), QColor(Qt::red));
  EXPECT_EQ(image.pixelColor(0, 0), QColor(10, 20, 30)) << "the glyph's background is the parent's";
  lamp.SetLit(false);
  image = Render(lamp);
  EXPECT_EQ(image.pixelColor(3, 3), QColor(Qt::blue));
  EXPECT_EQ(image.pixelColor(9, 7), QColor(10, 20, 30));

  lamp.SetGlyph(QImage());
  EXPECT_FALSE(lamp.GlyphInUse());
  EXPECT_EQ(lamp.size(), QSize(13, 13));
}

TEST(Shape, FillsWithItsBrushColourInsideABlackOutline) {
  ui::qt::TShape shape;
  shape.resize(17, 22);
  shape.SetBrushColor(serial::clRed);
  QImage image = Render(shape);
  EXPECT_EQ(image.pixelColor(8, 11), QColor(255, 0, 0));
  EXPECT_EQ(image.pixelColor(0, 0), QColor(0, 0, 0));
  EXPECT_EQ(image.pixelColor(16, 21), QColor(0, 0, 0));
  shape.SetBrushColor(0x00FF00);
  EXPECT_EQ(Render(shape).pixelColor(8, 11), QColor(0, 255, 0));
}

}  // namespace
}  // namespace velmora::test
