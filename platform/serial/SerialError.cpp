#include "platform/serial/SerialError.h"

#include <cerrno>

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
}
int LastSerialErrno() {
  return lastErrno;
}
void SetLastSerialErrno(int error) {
  lastErrno = error;
}

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
