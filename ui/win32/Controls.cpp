#include "ui/win32/Controls.h"

#include <memory>
#include <stdexcept>

namespace velmora::ui::win32 {

namespace {

constexpr wchar_t kShapeClass[] = L"VelmoraShape";
constexpr wchar_t kLampClass[] = L"VelmoraLamp";
constexpr wchar_t kTitleClass[] = L"VelmoraTitle";
constexpr wchar_t kScrollClass[] = L"VelmoraScrollText";
constexpr int kLampSize = 13;

HWND createChild(const wchar_t* type, HWND parent, int left, int top, int width, int height,
                 void* owner) {
  HWND window = CreateWindowExW(0, type, L"", WS_CHILD | WS_VISIBLE, left, top, width, height,
                                parent, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) throw std::runtime_error("Cannot create a control");
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owner));
  return window;
}

template <typename Owner>
Owner* ownerOf(HWND window) {
  return reinterpret_cast<Owner*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void fill(HDC dc, const RECT& area, COLORREF color) {
  HBRUSH brush = CreateSolidBrush(color);
  FillRect(dc, &area, brush);
  DeleteObject(brush);
}

void line(HDC dc, COLORREF color, int x1, int y1, int x2, int y2) {
  HPEN pen = CreatePen(PS_SOLID, 1, color);
  HGDIOBJ old = SelectObject(dc, pen);
  MoveToEx(dc, x1, y1, nullptr);
  LineTo(dc, x2, y2);
  SelectObject(dc, old);
  DeleteObject(pen);
}

// Paints through the window's owner, between BeginPaint and EndPaint.
template <typename Paint>
LRESULT paintWith(HWND window, Paint&& paint) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  paint(dc);
  EndPaint(window, &ps);
  return 0;
}

struct TitleData {
  std::wstring text;
  COLORREF color;
  bool alignRight;
  HFONT font;
};

void registerClass(const wchar_t* name, WNDPROC procedure) {
  WNDCLASSEXW type{};
  type.cbSize = sizeof type;
  type.lpfnWndProc = procedure;
  type.hInstance = GetModuleHandleW(nullptr);
  type.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  type.lpszClassName = name;
  RegisterClassExW(&type);
}

}  // namespace

COLORREF ToColorRef(serial::TColor color) {
  // TColor is 0x00BBGGRR, as COLORREF is.
  return static_cast<COLORREF>(color & 0xFFFFFF);
}

Font::Font(const wchar_t* face, int pixelHeight, bool bold)
    : font_(CreateFontW(-pixelHeight, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE,
                        DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        DEFAULT_PITCH, face)) {}

Font::~Font() {
  if (font_ != nullptr) DeleteObject(font_);
}

// ---- ShapeBox -----------------------------------------------------------------------------

LRESULT CALLBACK ShapeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT) {
    return paintWith(window, [&](HDC dc) {
      RECT area;
      GetClientRect(window, &area);
      const auto* shape = ownerOf<ShapeBox>(window);
      fill(dc, area, 0);  // the black border
      InflateRect(&area, -1, -1);
      fill(dc, area, ToColorRef(shape ? shape->brush_ : serial::clGray));
    });
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

SIZE TextSize(HWND where, HFONT font, const std::wstring& text) {
  HDC dc = GetDC(where);
  HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(where, dc);
  return size;
}

ShapeBox::ShapeBox(HWND parent, int left, int top, int width, int height)
    : window_(createChild(kShapeClass, parent, left, top, width, height, this)) {}

void ShapeBox::SetBrushColor(serial::TColor color) {
  if (color == brush_) return;
  brush_ = color;
  InvalidateRect(window_, nullptr, FALSE);
}

// ---- LampBox ------------------------------------------------------------------------------

LRESULT CALLBACK LampProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT) {
    return paintWith(window, [&](HDC dc) {
      RECT area;
      GetClientRect(window, &area);
      const auto* lamp = ownerOf<LampBox>(window);
      fill(dc, area, ToColorRef(lamp ? lamp->CurrentColor() : serial::clGray));
      const int w = area.right;
      const int h = area.bottom;
      line(dc, RGB(255, 255, 255), 0, 0, w, 0);
      line(dc, RGB(255, 255, 255), 0, 0, 0, h);
      line(dc, RGB(128, 128, 128), w - 1, 1, w - 1, h);
      line(dc, RGB(128, 128, 128), 1, h - 1, w, h - 1);
    });
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LampBox::LampBox(HWND parent, int left, int top)
    : window_(createChild(kLampClass, parent, left, top, kLampSize, kLampSize, this)) {}

void LampBox::Changed() {
  InvalidateRect(window_, nullptr, FALSE);
}

// ---- Title label --------------------------------------------------------------------------

LRESULT CALLBACK TitleProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* data = ownerOf<TitleData>(window);
  if (message == WM_PAINT && data != nullptr) {
    return paintWith(window, [&](HDC dc) {
      RECT area;
      GetClientRect(window, &area);
      fill(dc, area, GetSysColor(COLOR_BTNFACE));
      area.top += 1;
      area.bottom -= 2;
      SetBkMode(dc, TRANSPARENT);
      HGDIOBJ old = SelectObject(dc, data->font);
      const UINT format =
          (data->alignRight ? DT_RIGHT : DT_LEFT) | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX;
      const auto draw = [&](COLORREF color, int dx) {
        RECT moved = area;
        OffsetRect(&moved, dx, dx);
        SetTextColor(dc, color);
        DrawTextW(dc, data->text.c_str(), -1, &moved, format);
      };
      draw(RGB(255, 255, 255), -1);
      draw(RGB(128, 128, 128), 1);
      draw(data->color, 0);
      SelectObject(dc, old);
    });
  }
  if (message == WM_NCDESTROY && data != nullptr) {
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    std::unique_ptr<TitleData> gone(data);
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND CreateTitleLabel(HWND parent, const std::wstring& text, COLORREF color, bool alignRight,
                      HFONT font, int left, int top, int width, int height) {
  auto data = std::make_unique<TitleData>(TitleData{text, color, alignRight, font});
  HWND window = createChild(kTitleClass, parent, left, top, width, height, data.get());
  data.release();  // the window's own now, deleted at WM_NCDESTROY
  SetWindowTextW(window, text.c_str());
  return window;
}

// ---- ScrollTextBox ------------------------------------------------------------------------

LRESULT CALLBACK ScrollProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* box = ownerOf<ScrollTextBox>(window);
  if (box != nullptr && message == WM_PAINT) {
    return paintWith(window, [&](HDC dc) { box->paint(dc); });
  }
  if (box != nullptr && message == WM_TIMER) {
    RECT area;
    GetClientRect(window, &area);
    const int textHeight = static_cast<int>(box->lines_.size()) * box->lineHeight_;
    box->offset_ = (box->offset_ + 1) % (area.bottom + textHeight + 1);
    InvalidateRect(window, nullptr, FALSE);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

ScrollTextBox::ScrollTextBox(HWND parent, std::vector<std::wstring> lines, COLORREF color,
                             HFONT font, int left, int top, int width, int height)
    : window_(createChild(kScrollClass, parent, left, top, width, height, this)),
      lines_(std::move(lines)),
      color_(color),
      font_(font) {
  HDC dc = GetDC(window_);
  HGDIOBJ old = SelectObject(dc, font_);
  TEXTMETRICW metrics{};
  if (GetTextMetricsW(dc, &metrics)) lineHeight_ = metrics.tmHeight;
  SelectObject(dc, old);
  ReleaseDC(window_, dc);
}

void ScrollTextBox::SetScrolling(bool on) {
  if (on == scrolling_) return;
  scrolling_ = on;
  if (on) {
    offset_ = 0;
    SetTimer(window_, 1, kStepMs, nullptr);
  } else {
    KillTimer(window_, 1);
  }
  InvalidateRect(window_, nullptr, FALSE);
}

void ScrollTextBox::paint(HDC dc) const {
  RECT area;
  GetClientRect(window_, &area);
  // Drawn off screen first, so that the moving text does not flicker.
  HDC memory = CreateCompatibleDC(dc);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, area.right, area.bottom);
  HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
  fill(memory, area, GetSysColor(COLOR_BTNFACE));
  HGDIOBJ oldFont = SelectObject(memory, font_);
  SetBkMode(memory, TRANSPARENT);
  SetTextColor(memory, color_);
  int top = area.bottom - offset_;
  for (const auto& text : lines_) {
    RECT row{0, top, area.right, top + lineHeight_};
    DrawTextW(memory, text.c_str(), -1, &row, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    top += lineHeight_;
  }
  BitBlt(dc, 0, 0, area.right, area.bottom, memory, 0, 0, SRCCOPY);
  SelectObject(memory, oldFont);
  SelectObject(memory, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(memory);
}

void RegisterControlClasses() {
  registerClass(kShapeClass, &ShapeProc);
  registerClass(kLampClass, &LampProc);
  registerClass(kTitleClass, &TitleProc);
  registerClass(kScrollClass, &ScrollProc);
}

}  // namespace velmora::ui::win32
