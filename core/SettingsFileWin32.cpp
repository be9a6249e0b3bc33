// The settings file on Windows: the same contract as the POSIX reading and writing.

#include <stdexcept>
#include <string>
#include <system_error>

// <windows.h> defines names that the project's headers declare: they come first.
// clang-format off
#include "core/Settings.h"
#include "core/Utf8Path.h"
#include <windows.h>
// clang-format on

namespace velmora::core {

namespace {

// Far above any real file: a bigger one is not ours, and is never read whole.
constexpr DWORD kMaxFileSize = 64 * 1024;

std::string systemText(DWORD error) {
  return std::error_code(static_cast<int>(error), std::system_category()).message();
}

// Closes its handle whatever happens.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

LoadedSettings LoadSettings(const std::filesystem::path& file) {
  LoadedSettings loaded;
  const auto ignored = [&](const std::string& why) {
    loaded.problem = "Réglages ignorés (" + Utf8Of(file) + ") : " + why;
    return loaded;
  };
  const Handle handle(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (handle.get() == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return loaded;
    return ignored(systemText(error));
  }
  if (GetFileType(handle.get()) != FILE_TYPE_DISK) {
    return ignored("ce n'est pas un fichier ordinaire");
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle.get(), &size)) return ignored(systemText(GetLastError()));
  if (size.QuadPart > kMaxFileSize) return ignored("trop grand");
  std::string text(kMaxFileSize + 1, '\0');
  DWORD total = 0;
  while (total < text.size()) {
    DWORD got = 0;
    if (!ReadFile(handle.get(), text.data() + total, static_cast<DWORD>(text.size()) - total, &got,
                  nullptr)) {
      return ignored(systemText(GetLastError()));
    }
    if (got == 0) break;
    total += got;
  }
  if (total > kMaxFileSize) return ignored("trop grand");
  text.resize(total);
  std::string problem;
  if (auto choices = ParseSettings(text, problem)) {
    loaded.choices = std::move(*choices);
    return loaded;
  }
  return ignored(problem);
}

void SaveSettings(const std::filesystem::path& file, const RememberedChoices& choices) {
  const auto notAFile = [](const std::filesystem::path& path) {
    return std::runtime_error(Utf8Of(path) + " : ce n'est pas un fichier ordinaire");
  };
  std::filesystem::create_directories(file.parent_path());
  // The target as reading finds it: a device's name ("COM6.conf" before Windows 11) is no file.
  {
    const Handle target(CreateFileW(file.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (target.get() != INVALID_HANDLE_VALUE && GetFileType(target.get()) != FILE_TYPE_DISK)
      throw notAFile(file);
  }
  std::filesystem::path temporary = file;
  temporary += L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  const std::string text = FormatSettings(choices);
  DWORD error = 0;
  {
    const Handle handle(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE) {
      throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                              Utf8Of(temporary));
    }
    if (GetFileType(handle.get()) != FILE_TYPE_DISK) throw notAFile(temporary);
    DWORD written = 0;
    if (!WriteFile(handle.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        !FlushFileBuffers(handle.get())) {
      error = GetLastError();
    } else if (written != text.size()) {
      error = ERROR_WRITE_FAULT;
    }
  }
  if (error == 0 && !MoveFileExW(temporary.c_str(), file.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != 0) {
    DeleteFileW(temporary.c_str());
    throw std::system_error(static_cast<int>(error), std::system_category(), Utf8Of(file));
  }
}

}  // namespace velmora::core
