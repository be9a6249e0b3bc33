#pragma once

// The program's texts are UTF-8; the Win32 interface takes UTF-16.

#include <string>

namespace velmora::ui::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);

}  // namespace velmora::ui::win32
