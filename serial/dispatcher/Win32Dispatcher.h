#pragma once

// The Win32 port driver: the dispatcher's device slots on the Win32 communications interface,
// with overlapped I/O. Built only for Windows.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/dispatcher/Dispatcher.h"

namespace velmora::serial {

namespace detail {
struct Win32WaitContext;  // an OVERLAPPED record with its own manual-reset event
}

class TApdWin32Dispatcher : public TApdBaseDispatcher {
 public:
  explicit TApdWin32Dispatcher(TApdCustomComPort* owner,
                               const platform::Clock& clock = platform::Clock::system());
  ~TApdWin32Dispatcher() override;

  // Public for the port probe, which opens and closes a dispatcher that is never initialised.
  std::int32_t OpenCom(const std::string& name, std::uint32_t inSize,
                       std::uint32_t outSize) override;
  std::int32_t CloseCom() override;
  std::int32_t LastErrorCode() const override { return lastError_.load(); }
  bool DeviceLost() const override { return lost_.load(); }

 protected:
  std::int32_t EscapeComFunction(std::int32_t function) override;
  std::int32_t FlushCom(std::int32_t queue) override;
  std::int32_t GetComError(TComStat& stat) override;
  std::int32_t GetComState(TDCB& settings) override;
  std::int32_t ReadCom(std::uint8_t* buffer, std::int32_t count) override;
  std::int32_t SetComState(const TDCB& settings) override;
  bool WaitComEvent(std::uint32_t& mask) override;
  bool SetupCom(std::uint32_t inSize, std::uint32_t outSize) override;
  std::uint8_t GetComModemStatus() override;
  std::int32_t WriteDevice(const std::uint8_t* data, std::uint32_t count) override;
  void CancelComWait() override;
  void CancelOutputWait() override;
  std::int32_t YieldCPU() override;

 private:
  using WaitContext = std::unique_ptr<detail::Win32WaitContext>;
  void CloseEvents();
  // A call on the open device failed for another reason than a purge: it went away.
  void MarkLost(unsigned long error);

  // Win32 handles as void*, so that <windows.h> stays out of this header. All are made by
  // OpenCom and closed by CloseCom, when no thread of this dispatcher runs any more.
  void* device_ = nullptr;
  WaitContext readContext_;       // ReadCom (dispatch thread)
  WaitContext spareContext_;      // made and closed with the first, used by nothing
  WaitContext comContext_;        // WaitComEvent (com thread)
  WaitContext writeContext_;      // WriteDevice (output thread): the write-complete event
  void* comCancel_ = nullptr;     // auto-reset: ends a WaitComEvent
  void* outputCancel_ = nullptr;  // auto-reset: ends a WriteDevice
  std::uint32_t waitMask_ = 0;    // the events WaitComEvent waits for (com thread)

  std::atomic<std::int32_t> lastError_{0};
  std::atomic<bool> lost_{false};          // set by MarkLost, cleared by OpenCom
  std::atomic<bool> lossReported_{false};  // the loss's CE_ bits were handed out once
  bool comConfigured_ = false;             // com thread: mask and time-outs set
};

}  // namespace velmora::serial
