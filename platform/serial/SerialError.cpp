#include "platform/serial/SerialError.h"

#include <algorithm>
#include <cerrno>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace velmora::platform {

int SerialErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return kErrorFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:  // flock held by someone else
    case EROFS:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EINVAL:
      return kErrorInvalidParameter;
    case ENOTTY:
    case EOPNOTSUPP:
      return kErrorNotSupported;
    case EINTR:
    case ECANCELED:
      return kErrorOperationAborted;
    case EIO:
      return kErrorIoDevice;
#ifdef EHOSTDOWN
    case EHOSTDOWN:
    case ESHUTDOWN:
      return kErrorDeviceNotConnected;
#endif
    default:
      return kErrorGenFailure;
  }
}

namespace {
thread_local int lastErrno = 0;
thread_local std::string lastSystemText;
}  // namespace
int LastSerialErrno() {
  return lastErrno;
}
void SetLastSerialErrno(int error) {
  lastErrno = error;
  lastSystemText.clear();
}
std::string LastSerialSystemText() {
  return lastSystemText;
}

#ifdef _WIN32
void RecordWin32OpenError(unsigned long code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      lastErrno = EACCES;
      break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      lastErrno = EBUSY;
      break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      lastErrno = ENOENT;
      break;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      lastErrno = ENOTTY;
      break;
    default:
      lastErrno = 0;
      break;
  }
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring wide(text != nullptr ? text : L"", length);
  if (text != nullptr) LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' ' ||
                           wide.back() == L'.'))
    wide.pop_back();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                        nullptr, 0, nullptr, nullptr);
  lastSystemText.assign(static_cast<std::size_t>(std::max(bytes, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), lastSystemText.data(),
                      bytes, nullptr, nullptr);
  if (lastSystemText.empty()) lastSystemText = "code " + std::to_string(code);
}
#endif

#ifdef _WIN32
int LastSerialError() {
  return static_cast<int>(::GetLastError());
}
void SetLastSerialError(int code) {
  ::SetLastError(static_cast<DWORD>(code));
}
#else
namespace {
thread_local int lastError = 0;
}
int LastSerialError() {
  return lastError;
}
void SetLastSerialError(int code) {
  lastError = code;
}
#endif

}  // namespace velmora::platform
