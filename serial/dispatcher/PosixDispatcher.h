#pragma once

// The POSIX port driver: the dispatcher's device slots on a tty, through termios2 and the
// Linux serial ioctls. Device events reach the com thread by poll on the tty beside an eventfd,
// so a stop or a flush never waits for the device.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "platform/serial/PosixSerialDevice.h"
#include "platform/serial/SerialNames.h"
#include "serial/dispatcher/Dispatcher.h"

namespace velmora::serial {

class TApdPosixDispatcher : public TApdBaseDispatcher {
 public:
  // names: how "\\.\COMn" and "COMn" find their device; paths are opened as given.
  // closer: where the device's descriptor is closed (see PosixSerialDevice); none: here.
  explicit TApdPosixDispatcher(TApdCustomComPort* owner,
                               platform::SerialNameSpace names = platform::SerialNameSpace{},
                               const platform::Clock& clock = platform::Clock::system(),
                               std::shared_ptr<platform::SerialCloser> closer = nullptr);
  ~TApdPosixDispatcher() override;

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
  std::int32_t GetComErrorBits() override;
  bool ReadsWithoutCount() const override { return true; }
  std::int32_t GetComState(TDCB& settings) override;
  std::int32_t ReadCom(std::uint8_t* buffer, std::int32_t count) override;
  std::int32_t SetComState(const TDCB& settings) override;
  bool WaitComEvent(std::uint32_t& mask) override;
  // The dispatch thread waits for the device itself: no com thread.
  std::int32_t WaitComEventFor(std::uint32_t& mask, std::chrono::milliseconds timeout) override;
  bool HasTimedComWait() const override { return true; }
  bool SetupCom(std::uint32_t inSize, std::uint32_t outSize) override;
  std::uint8_t GetComModemStatus() override;
  std::int32_t WriteDevice(const std::uint8_t* data, std::uint32_t count) override;
  std::uint32_t WriteAtOnce(const std::uint8_t* data, std::uint32_t count) override;
  void CancelComWait() override { comWaker_.signal(); }
  // The wait below picks its slice anew.
  void ModemWatchChanged() override { comWaker_.signal(); }
  void CancelOutputWait() override { outputWaker_.signal(); }

 private:
  // WaitComEvent and WaitComEventFor: 1 news or a wake, 0 nothing within timeoutMs (-1: no
  // limit), -1 the device cannot be waited on.
  std::int32_t WaitForDevice(std::uint32_t& mask, int timeoutMs);
  // Waiting thread: the modem-line and counter changes since the last look, as EV_ bits; the line
  // errors among them are added to pendingErrors_.
  std::uint32_t LookForLineChanges();
  // Any thread: the device is gone; the next GetComError reports it once.
  void MarkLost();

  const platform::SerialNameSpace names_;

  // deviceLock_: shared by every device call, exclusive for OpenCom and CloseCom, so that no
  // thread uses a descriptor that is being closed (and perhaps reused). Never held across a
  // wait. Last in the serial layer's lock order (see TApdBaseDispatcher).
  mutable std::shared_mutex deviceLock_;
  platform::PosixSerialDevice device_;

  // Made once; OpenCom drains them. comWaker_ ends a WaitComEvent, outputWaker_ a WriteDevice.
  const platform::SerialWaker comWaker_;
  const platform::SerialWaker outputWaker_;

  std::atomic<std::int32_t> lastError_{0};
  std::atomic<bool> lost_{false};
  std::atomic<bool> lossReported_{false};
  std::atomic<std::uint32_t> pendingErrors_{0};  // CE_ bits for the next GetComError

  // The settings termios cannot hold (DTR and RTS control, XON/XOFF limits, DSR flow); the
  // base calls GetComState and SetComState under its general lock, which guards this.
  TDCB shadow_;

  // The thread that waits for device events only: the com thread, or the dispatch thread when
  // there is none (set by OpenCom before the thread starts, dropped by CloseCom after it has
  // left its wait for good).
  platform::SerialArrivalWatch arrivals_;
  bool watchLines_ =
      false;  // the device answers TIOCMGET or TIOCGICOUNT: lines looked at each wake
  std::optional<int> lastModem_;
  std::optional<platform::SerialCounters> lastCounters_;
  bool lossAnnounced_ = false;  // EV_ERR was reported for a lost device
};

}  // namespace velmora::serial
