#pragma once

// Paths travel through the program as UTF-8 text; Windows opens them by their wide names.

#include <cstdio>
#include <filesystem>
#include <string>

namespace velmora::core {

inline std::filesystem::path Utf8Path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string Utf8Of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// Opens `path` as std::fopen would, by its wide name on Windows.
inline std::FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
#ifdef _WIN32
  const std::wstring wide(mode, mode + std::char_traits<char>::length(mode));
  return ::_wfopen(path.c_str(), wide.c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}

}  // namespace velmora::core
