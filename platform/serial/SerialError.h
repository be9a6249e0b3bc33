#pragma once

// The error codes that the serial layer reports for a device, on every platform: the Win32
// numbers, so that the dispatcher and the error table see the same codes everywhere.

#include <string>

namespace velmora::platform {

inline constexpr int kErrorSuccess = 0;
inline constexpr int kErrorFileNotFound = 2;
inline constexpr int kErrorPathNotFound = 3;
inline constexpr int kErrorTooManyOpenFiles = 4;
inline constexpr int kErrorAccessDenied = 5;
inline constexpr int kErrorInvalidHandle = 6;
inline constexpr int kErrorNotEnoughMemory = 8;
inline constexpr int kErrorGenFailure = 31;
inline constexpr int kErrorNotSupported = 50;
inline constexpr int kErrorInvalidParameter = 87;
inline constexpr int kErrorOperationAborted = 995;
inline constexpr int kErrorIoPending = 997;
inline constexpr int kErrorIoDevice = 1117;
inline constexpr int kErrorDeviceNotConnected = 1167;

// The one place where an errno value becomes a serial error code.
int SerialErrorFromErrno(int error);

// The calling thread's last serial error code (GetLastError on Windows). Drivers set it where
// the Win32 calls would have; the dispatcher reads it after a failed OpenCom.
int LastSerialError();
void SetLastSerialError(int code);

// The system's error number (errno) behind the calling thread's last failed device opening; 0
// when none was recorded. The codes above fold a refused permission, a busy device and a lock
// held by another program into one, and the user is told which.
int LastSerialErrno();
void SetLastSerialErrno(int error);  // forgets the system's text too

// The system's own words for the last failed opening, in its language; empty on Linux, whose
// errno texts are English.
std::string LastSerialSystemText();
#ifdef _WIN32
// A failed CreateFile: its GetLastError code as the errno that names the cause, and its text.
void RecordWin32OpenError(unsigned long code);
#endif

}  // namespace velmora::platform
