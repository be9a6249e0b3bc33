#pragma once

#include "ui/win32/Win32Api.h"

#include <string>

namespace velmora::ui::win32 {
class MainWindow;
}

namespace velmora::app {

// For the documentation: the window as the screen shows it, frame included, into a 24-bit
// BMP file (scripts/screenshots makes a PNG of it). Raises std::runtime_error.
void SaveWindowPicture(HWND window, const std::string& path);

// Once the window's start-up has settled, saves main-window-windows.bmp into `directory`, then
// closes the window. A box that start-up opens (a machine without MIDI output shows one) would
// wait for a click that never comes: it is closed, not pictured. View thread; it must not
// outlive the window.
class WindowPictureTaker {
 public:
  WindowPictureTaker(ui::win32::MainWindow& window, std::string directory);
  ~WindowPictureTaker();
  WindowPictureTaker(const WindowPictureTaker&) = delete;
  WindowPictureTaker& operator=(const WindowPictureTaker&) = delete;

 private:
  static void CALLBACK tick(HWND window, UINT message, UINT_PTR id, DWORD time);
  UINT_PTR id() const { return reinterpret_cast<UINT_PTR>(this); }

  ui::win32::MainWindow& window_;
  const std::string directory_;
};

}  // namespace velmora::app
