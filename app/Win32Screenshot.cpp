#include "app/Win32Screenshot.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ui/win32/MainWindow.h"

namespace velmora::app {

namespace {

constexpr UINT kTickMs = 200;

// The thread's visible modal box (a dialog's window class), if one is open.
HWND openBox() {
  HWND box = nullptr;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND window, LPARAM found) -> BOOL {
        wchar_t type[16] = {};
        GetClassNameW(window, type, 16);
        if (std::wstring(type) != L"#32770" || !IsWindowVisible(window)) return TRUE;
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&box));
  return box;
}

}  // namespace

WindowPictureTaker::WindowPictureTaker(ui::win32::MainWindow& window, std::string directory)
    : window_(window), directory_(std::move(directory)) {
  // A box's own loop runs the ticks too.
  SetTimer(window_.Handle(), id(), kTickMs, &WindowPictureTaker::tick);
}

WindowPictureTaker::~WindowPictureTaker() {
  KillTimer(window_.Handle(), id());
}

void CALLBACK WindowPictureTaker::tick(HWND window, UINT, UINT_PTR id, DWORD) {
  auto& taker = *reinterpret_cast<WindowPictureTaker*>(id);
  if (HWND box = openBox()) {
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return;
  }
  const auto& shown = taker.window_.Shown();
  const bool switching = std::find(shown.shapes.begin(), shown.shapes.end(),
                                   core::kSwitchingColor) != shown.shapes.end();
  if (shown.version == 0 || shown.busy || switching) return;
  KillTimer(window, id);
  try {
    SaveWindowPicture(window, taker.directory_ + "\\main-window-windows.bmp");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "velmora: %s\n", error.what());
  }
  PostMessageW(window, WM_CLOSE, 0, 0);
}

void SaveWindowPicture(HWND window, const std::string& path) {
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME | RDW_ERASE);
  RECT frame{};
  GetWindowRect(window, &frame);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY);
  SelectObject(memory, old);

  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;  // bottom-up, as BMP files keep their rows
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const int stride = (width * 3 + 3) & ~3;
  std::vector<char> pixels(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height));
  const int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(),
                             reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (rows != height) throw std::runtime_error("Cannot read the window's picture");

  BITMAPFILEHEADER header{};
  header.bfType = 0x4D42;  // "BM"
  header.bfOffBits = sizeof header + sizeof info;
  header.bfSize = header.bfOffBits + static_cast<DWORD>(pixels.size());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&header), sizeof header);
  out.write(reinterpret_cast<const char*>(&info), sizeof info);
  out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
  if (!out) throw std::runtime_error("Cannot write " + path);
}

}  // namespace velmora::app
