#pragma once

#include "ui/win32/Win32Api.h"

#include <string>

namespace velmora::app {

// For the documentation: the window as the screen shows it, frame included, into a 24-bit
// BMP file (scripts/screenshots makes a PNG of it). Raises std::runtime_error.
void SaveWindowPicture(HWND window, const std::string& path);

}  // namespace velmora::app
