#include "serial/dispatcher/Win32Dispatcher.h"

#include <windows.h>

#include <memory>

#include "platform/serial/SerialError.h"

namespace velmora::serial {

namespace detail {

struct Win32WaitContext {
  Win32WaitContext() { record.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Win32WaitContext() {
    if (record.hEvent != nullptr) ::CloseHandle(record.hEvent);
  }
  Win32WaitContext(const Win32WaitContext&) = delete;
  Win32WaitContext& operator=(const Win32WaitContext&) = delete;
  OVERLAPPED record{};
};

}  // namespace detail

namespace {

// Every communication event that the dispatch thread turns into notifications.
constexpr DWORD kEventMask = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;
// The events of a device without modem lines.
constexpr DWORD kDataEventMask = EV_RXCHAR | EV_BREAK | EV_ERR;

HANDLE handleOf(void* handle) {
  return static_cast<HANDLE>(handle);
}

std::unique_ptr<detail::Win32WaitContext> makeContext() {
  auto context = std::make_unique<detail::Win32WaitContext>();
  if (context->record.hEvent == nullptr) return nullptr;
  return context;
}

void closeEvent(void*& event) {
  if (event != nullptr) ::CloseHandle(handleOf(event));
  event = nullptr;
}

}  // namespace

TApdWin32Dispatcher::TApdWin32Dispatcher(TApdCustomComPort* owner, const platform::Clock& clock)
    : TApdBaseDispatcher(owner, clock) {}

TApdWin32Dispatcher::~TApdWin32Dispatcher() {
  Finalize();
  if (device_ != nullptr) CloseCom();
  CloseEvents();
}

void TApdWin32Dispatcher::CloseEvents() {
  readContext_.reset();
  spareContext_.reset();
  comContext_.reset();
  writeContext_.reset();
  closeEvent(comCancel_);
  closeEvent(outputCancel_);
}

std::int32_t TApdWin32Dispatcher::OpenCom(const std::string& name, std::uint32_t, std::uint32_t) {
  HANDLE device =
      ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    lastError_ = static_cast<std::int32_t>(::GetLastError());
    platform::RecordWin32OpenError(static_cast<unsigned long>(lastError_));
    return -1;
  }
  device_ = device;
  readContext_ = makeContext();
  spareContext_ = makeContext();
  comContext_ = makeContext();
  writeContext_ = makeContext();
  comCancel_ = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  outputCancel_ = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!readContext_ || !spareContext_ || !comContext_ || !writeContext_ || !comCancel_ ||
      !outputCancel_) {
    CloseEvents();
    ::CloseHandle(device);
    device_ = nullptr;
    lastError_ = ERROR_NOT_ENOUGH_MEMORY;
    return -8;  // ecOutOfMemory: nothing left open
  }
  lastError_ = 0;
  lost_ = false;
  lossReported_ = false;
  comConfigured_ = false;
  const auto value =
      static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(device) & 0x7FFFFFFF);
  SetComHandle(value);
  return value;
}

void TApdWin32Dispatcher::MarkLost(unsigned long error) {
  if (error == ERROR_OPERATION_ABORTED || lost_.exchange(true)) return;
  // The com thread may wait on the device for ever: it waits for the stop alone from now on.
  if (comCancel_ != nullptr) ::SetEvent(handleOf(comCancel_));
}

std::int32_t TApdWin32Dispatcher::CloseCom() {
  if (device_ == nullptr) return -1;
  CloseEvents();
  // What waits for the line goes with the port, so that flow control holds no close.
  ::PurgeComm(handleOf(device_), PURGE_TXABORT | PURGE_TXCLEAR);
  const BOOL closed = ::CloseHandle(handleOf(device_));
  device_ = nullptr;
  SetComHandle(InvalidHandle);
  return closed ? 0 : -1;
}

bool TApdWin32Dispatcher::SetupCom(std::uint32_t inSize, std::uint32_t outSize) {
  if (::SetupComm(handleOf(device_), inSize, outSize)) return true;
  lastError_ = static_cast<std::int32_t>(::GetLastError());
  return false;
}

std::int32_t TApdWin32Dispatcher::EscapeComFunction(std::int32_t function) {
  ::EscapeCommFunction(handleOf(device_), static_cast<DWORD>(function));
  return 0;
}

std::int32_t TApdWin32Dispatcher::FlushCom(std::int32_t queue) {
  DWORD flags = PURGE_RXABORT | PURGE_RXCLEAR;
  if (queue == FlushOutput) {
    DiscardOutput();
    flags = PURGE_TXABORT | PURGE_TXCLEAR;
  }
  if (::PurgeComm(handleOf(device_), flags)) return 0;
  return -static_cast<std::int32_t>(::GetLastError());
}

std::int32_t TApdWin32Dispatcher::GetComError(TComStat& stat) {
  if (device_ == nullptr) return 0;
  DWORD errors = 0;
  COMSTAT status{};
  if (!lost_ && !::ClearCommError(handleOf(device_), &errors, &status)) {
    MarkLost(::GetLastError());
  }
  if (lost_) {
    stat.cbInQue = 0;
    return lossReported_.exchange(true) ? 0 : static_cast<std::int32_t>(CE_FRAME | CE_IOE);
  }
  stat.cbInQue = status.cbInQue;
  return static_cast<std::int32_t>(errors);
}

std::int32_t TApdWin32Dispatcher::GetComState(TDCB& settings) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(handleOf(device_), &dcb)) return -1;
  settings.BaudRate = dcb.BaudRate;
  settings.fBinary = dcb.fBinary;
  settings.fParity = dcb.fParity;
  settings.fOutxCtsFlow = dcb.fOutxCtsFlow;
  settings.fOutxDsrFlow = dcb.fOutxDsrFlow;
  settings.fDtrControl = static_cast<std::uint8_t>(dcb.fDtrControl);
  settings.fDsrSensitivity = dcb.fDsrSensitivity;
  settings.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
  settings.fOutX = dcb.fOutX;
  settings.fInX = dcb.fInX;
  settings.fNull = dcb.fNull;
  settings.fRtsControl = static_cast<std::uint8_t>(dcb.fRtsControl);
  settings.XonLim = dcb.XonLim;
  settings.XoffLim = dcb.XoffLim;
  settings.ByteSize = dcb.ByteSize;
  settings.Parity = dcb.Parity;
  settings.StopBits = dcb.StopBits;
  settings.XonChar = dcb.XonChar;
  settings.XoffChar = dcb.XoffChar;
  return 0;
}

std::int32_t TApdWin32Dispatcher::SetComState(const TDCB& settings) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ::GetCommState(handleOf(device_), &dcb);  // keeps the fields the serial layer does not use
  dcb.BaudRate = settings.BaudRate;
  dcb.fBinary = settings.fBinary;
  dcb.fParity = settings.fParity;
  dcb.fOutxCtsFlow = settings.fOutxCtsFlow;
  dcb.fOutxDsrFlow = settings.fOutxDsrFlow;
  dcb.fDtrControl = settings.fDtrControl;
  dcb.fDsrSensitivity = settings.fDsrSensitivity;
  dcb.fTXContinueOnXoff = settings.fTXContinueOnXoff;
  dcb.fOutX = settings.fOutX;
  dcb.fInX = settings.fInX;
  dcb.fNull = settings.fNull;
  dcb.fRtsControl = settings.fRtsControl;
  dcb.XonLim = settings.XonLim;
  dcb.XoffLim = settings.XoffLim;
  dcb.ByteSize = settings.ByteSize;
  dcb.Parity = settings.Parity;
  dcb.StopBits = settings.StopBits;
  dcb.XonChar = settings.XonChar;
  dcb.XoffChar = settings.XoffChar;
  if (::SetCommState(handleOf(device_), &dcb)) return 0;
  return -static_cast<std::int32_t>(::GetLastError());
}

std::int32_t TApdWin32Dispatcher::ReadCom(std::uint8_t* buffer, std::int32_t count) {
  DWORD read = 0;
  if (lost_) return 0;
  OVERLAPPED& context = readContext_->record;
  if (::ReadFile(handleOf(device_), buffer, static_cast<DWORD>(count), &read, &context)) {
    return static_cast<std::int32_t>(read);
  }
  if (const DWORD error = ::GetLastError(); error != ERROR_IO_PENDING) {
    MarkLost(error);
    return 0;
  }
  // The time-outs set by the com thread make the read complete at once.
  if (!::GetOverlappedResult(handleOf(device_), &context, &read, TRUE)) {
    MarkLost(::GetLastError());
    ::ResetEvent(context.hEvent);
    return 0;
  }
  ::ResetEvent(context.hEvent);
  return static_cast<std::int32_t>(read);
}

std::uint8_t TApdWin32Dispatcher::GetComModemStatus() {
  DWORD bits = 0;
  if (!::GetCommModemStatus(handleOf(device_), &bits)) return 0;
  return static_cast<std::uint8_t>(bits & 0xF0);
}

bool TApdWin32Dispatcher::WaitComEvent(std::uint32_t& mask) {
  mask = 0;
  HANDLE device = handleOf(device_);
  if (lost_) {
    // Nothing more will come from the device: wait for the stop alone.
    ::WaitForSingleObject(handleOf(comCancel_), INFINITE);
    return true;
  }
  if (!comConfigured_) {
    waitMask_ = kEventMask;
    ::SetCommMask(device, waitMask_);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // a read returns at once with what has arrived
    ::SetCommTimeouts(device, &timeouts);
    comConfigured_ = true;
  }
  OVERLAPPED& context = comContext_->record;
  DWORD events = 0;
  if (::WaitCommEvent(device, &events, &context)) {
    mask = events;
    return true;
  }
  if (::GetLastError() != ERROR_IO_PENDING) {
    // A device without modem lines (a pseudo-terminal under Wine) refuses a wait that includes
    // their events: it waits for the data events alone. One that refuses even those is polled
    // by the dispatch passes; waiting again at once would only spin.
    if (waitMask_ == kDataEventMask) return false;
    waitMask_ = kDataEventMask;
    ::SetCommMask(device, waitMask_);
    return true;
  }
  HANDLE waits[2] = {context.hEvent, handleOf(comCancel_)};
  const DWORD which = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  if (which == WAIT_OBJECT_0 + 1) {
    // A zero mask ends the pending wait; the mask is set again for the next one. A device
    // that went away may refuse the mask: the wait, this thread's, is cancelled instead.
    if (!::SetCommMask(device, 0)) ::CancelIo(device);
    DWORD ignored;
    ::GetOverlappedResult(device, &context, &ignored, TRUE);
    ::ResetEvent(context.hEvent);
    ::SetCommMask(device, waitMask_);
    return true;
  }
  DWORD ignored;
  if (!::GetOverlappedResult(device, &context, &ignored, FALSE)) {
    MarkLost(::GetLastError());
    ::ResetEvent(context.hEvent);
    return true;  // waits for the stop
  }
  ::ResetEvent(context.hEvent);
  // Wine completes a data wait without naming the event: the dispatch pass looks for itself.
  mask = events != 0 ? events : EV_RXCHAR;
  return true;
}

std::int32_t TApdWin32Dispatcher::WriteDevice(const std::uint8_t* data, std::uint32_t count) {
  HANDLE device = handleOf(device_);
  OVERLAPPED& context = writeContext_->record;
  DWORD written = 0;
  if (lost_) return -1;  // the block is dropped
  if (::WriteFile(device, data, count, &written, &context)) {
    return static_cast<std::int32_t>(written);
  }
  if (const DWORD error = ::GetLastError(); error != ERROR_IO_PENDING) {
    MarkLost(error);
    return -1;  // the block is dropped
  }
  HANDLE waits[2] = {context.hEvent, handleOf(outputCancel_)};
  const DWORD which = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  if (which == WAIT_OBJECT_0 + 1) {
    // Abandoned: the flush purges it; the record must outlive the write, so wait it out.
    ::PurgeComm(device, PURGE_TXABORT);
    ::GetOverlappedResult(device, &context, &written, TRUE);
    ::ResetEvent(context.hEvent);
    return 0;
  }
  if (!::GetOverlappedResult(device, &context, &written, FALSE)) {
    MarkLost(::GetLastError());
    ::ResetEvent(context.hEvent);
    return -1;
  }
  ::ResetEvent(context.hEvent);
  return static_cast<std::int32_t>(written);
}

void TApdWin32Dispatcher::CancelComWait() {
  if (comCancel_ != nullptr) ::SetEvent(handleOf(comCancel_));
}

void TApdWin32Dispatcher::CancelOutputWait() {
  if (outputCancel_ != nullptr) ::SetEvent(handleOf(outputCancel_));
}

std::int32_t TApdWin32Dispatcher::YieldCPU() {
  ::Sleep(0);
  return 0;
}

}  // namespace velmora::serial
