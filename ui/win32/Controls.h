#pragma once

// The painted controls of the windows (shapes, lamps, title labels, scrolling text) and the
// fonts, as small window classes of their own. Each control belongs to the window that
// created it and lives on the UI thread.

#include "ui/win32/Win32Api.h"

#include <string>
#include <vector>

#include "serial/ComponentBase.h"
#include "serial/StatusLightController.h"

namespace velmora::ui::win32 {

COLORREF ToColorRef(serial::TColor color);

// A GDI font, deleted with its owner.
class Font {
 public:
  Font(const wchar_t* face, int pixelHeight, bool bold = false);
  ~Font();
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;
  HFONT get() const { return font_; }

 private:
  HFONT font_;
};

// The width and height of `text` in `font`, as the window `where` draws it.
SIZE TextSize(HWND where, HFONT font, const std::wstring& text);

// Registers the painted controls' window classes; once per process, before the first window.
void RegisterControlClasses();

// A rectangle with a black border and a brush colour (TShape).
class ShapeBox {
 public:
  ShapeBox(HWND parent, int left, int top, int width, int height);
  void SetBrushColor(serial::TColor color);
  serial::TColor BrushColor() const { return brush_; }

 private:
  friend LRESULT CALLBACK ShapeProc(HWND, UINT, WPARAM, LPARAM);
  HWND window_;
  serial::TColor brush_ = serial::clGray;
};

// A status lamp: its colour, with a raised edge.
class LampBox final : public serial::TApdCustomStatusLight {
 public:
  LampBox(HWND parent, int left, int top);
  HWND Handle() const { return window_; }

 protected:
  void Changed() override;

 private:
  friend LRESULT CALLBACK LampProc(HWND, UINT, WPARAM, LPARAM);
  HWND window_;
};

// A bold title with a white and a grey shadow.
HWND CreateTitleLabel(HWND parent, const std::wstring& text, COLORREF color, bool alignRight,
                      HFONT font, int left, int top, int width, int height);

// Lines that scroll up through their box, from below it to above it, again and again.
class ScrollTextBox {
 public:
  static constexpr UINT kStepMs = 60;
  ScrollTextBox(HWND parent, std::vector<std::wstring> lines, COLORREF color, HFONT font, int left,
                int top, int width, int height);
  void SetScrolling(bool on);

 private:
  friend LRESULT CALLBACK ScrollProc(HWND, UINT, WPARAM, LPARAM);
  void paint(HDC dc) const;
  HWND window_;
  std::vector<std::wstring> lines_;
  COLORREF color_;
  HFONT font_;
  int offset_ = 0;
  int lineHeight_ = 14;
  bool scrolling_ = false;
};

}  // namespace velmora::ui::win32
