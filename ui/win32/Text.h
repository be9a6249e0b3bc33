#pragma once

// The program's texts are UTF-8; the Win32 interface takes UTF-16.

#include <string>

namespace velmora::ui::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
// In the local code page, as the C library's fopen and the command line take a path: UTF-8 for
// a text that the code page cannot write (whose file then fails to open, and says so).
std::string LocalPath(const std::wstring& wide);

}  // namespace velmora::ui::win32
