// The profile's lock on Windows: named kernel objects, which go with the last handle, so with
// the process however it ends.

#include <cctype>
#include <string>
#include <system_error>

// <windows.h> defines names that the project's headers declare: they come first.
// clang-format off
#include "core/ProfileLock.h"
#include <windows.h>
// clang-format on

namespace velmora::core {

namespace {

std::string systemText(DWORD error) {
  return std::error_code(static_cast<int>(error), std::system_category()).message();
}

}  // namespace

struct ProfileLock::System {
  HANDLE guard = nullptr;    // the named mutex that one start at a time holds while it looks
  HANDLE mapping = nullptr;  // the lock itself: it exists while its holder runs; holds its pid
  ~System() {
    if (mapping != nullptr) CloseHandle(mapping);
    if (guard != nullptr) CloseHandle(guard);
  }
};

ProfileLock::ProfileLock(const std::string& profile, const std::filesystem::path&)
    : system_(std::make_unique<System>()) {
  const auto unavailable = [&](const std::string& what, DWORD error) {
    problem_ = "pas de verrou pour le profil " + profile + " (" + what + " : " + systemText(error) +
               ") : un second lancement ne sera pas refusé";
  };
  // In lower case: the settings files of "A" and "a" are one file on Windows. The session's
  // name space: each user's profiles are their own.
  std::wstring name = L"Local\\velmora-profile-";
  for (const unsigned char c : profile) name += static_cast<wchar_t>(std::tolower(c));
  system_->guard = CreateMutexW(nullptr, FALSE, (name + L"-guard").c_str());
  if (system_->guard == nullptr) {
    unavailable("mutex", GetLastError());
    return;
  }
  // WAIT_ABANDONED: a start ended while it looked; the guard is ours all the same.
  const DWORD waited = WaitForSingleObject(system_->guard, INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    {
      unavailable("mutex", GetLastError());
      return;
    }
  }
  system_->mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(DWORD), name.c_str());
  const DWORD created = GetLastError();
  void* view = system_->mapping != nullptr
                   ? MapViewOfFile(system_->mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(DWORD))
                   : nullptr;
  if (view == nullptr) {
    unavailable("mapping", GetLastError());
  } else if (created == ERROR_ALREADY_EXISTS) {
    state_ = State::HeldElsewhere;
    holder_ = static_cast<long>(*static_cast<const DWORD*>(view));
  } else {
    *static_cast<DWORD*>(view) = GetCurrentProcessId();
    state_ = State::Held;
  }
  if (view != nullptr) UnmapViewOfFile(view);
  if (state_ != State::Held && system_->mapping != nullptr) {
    CloseHandle(system_->mapping);
    system_->mapping = nullptr;
  }
  ReleaseMutex(system_->guard);
}

ProfileLock::~ProfileLock() = default;

}  // namespace velmora::core
