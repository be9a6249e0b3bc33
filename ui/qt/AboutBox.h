#pragma once

#include <QDialog>
#include <QLabel>
#include <QStringList>
#include <QTimer>
#include <string>

class QPushButton;

namespace velmora::ui::qt {

// Large text with a raised edge: light above left, shadow below right.
class TitleLabel final : public QLabel {
  Q_OBJECT

 public:
  TitleLabel(const QString& text, const QColor& color, Qt::Alignment alignment,
             QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor color_;
};

// Lines that scroll upwards through a small window while scrolling is on, and start again
// from below once they have passed.
class ScrollText final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kStepMs = 60;

  explicit ScrollText(QWidget* parent = nullptr);

  void SetLines(const QStringList& lines, const QColor& color);
  const QStringList& Lines() const { return lines_; }
  // Switching on starts again from the beginning.
  void SetScrolling(bool on);
  bool Scrolling() const { return timer_.isActive(); }
  int Offset() const { return offset_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void step();
  int textHeight() const;

  QStringList lines_;
  QColor color_;
  QTimer timer_;
  int offset_ = 0;  // pixels scrolled since the start
};

// The about box: program icon, name, description, version information and thanks.
class TfmAbout final : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kClientWidth = 305;
  static constexpr int kClientHeight = 193;

  // `comments`: the line in force ("MIDI ↔ RS232, 31250 bauds"); the build's text when empty.
  explicit TfmAbout(QWidget* owner, const std::string& comments = {});

  ScrollText& Thanks() { return *scrollText1_; }

  void FormCreate();
  void FormClose();

 protected:
  void done(int result) override;

 private:
  void build(const std::string& comments);

  QLabel* programIcon_ = nullptr;
  ScrollText* scrollText1_ = nullptr;
};

}  // namespace velmora::ui::qt
