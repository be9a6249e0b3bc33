#include "serial/dispatcher/PosixDispatcher.h"

#include <algorithm>
#include <chrono>

#include "platform/serial/SerialError.h"

namespace velmora::serial {

namespace {

using platform::PosixSerialDevice;
using platform::SerialLineSettings;
using platform::SerialParity;
using platform::SerialStopBits;

// How often the com thread looks at the modem lines and the error counters of a device that
// has them; no wait on a descriptor reports those.
constexpr int kLineWatchMs = 20;

std::uint8_t modemStatusOf(int lines) {
  std::uint8_t status = 0;
  if (lines & platform::kModemCts) status |= MS_CTS_ON;
  if (lines & platform::kModemDsr) status |= MS_DSR_ON;
  if (lines & platform::kModemRi) status |= MS_RING_ON;
  if (lines & platform::kModemDcd) status |= MS_RLSD_ON;
  return status;
}

SerialLineSettings lineOf(const TDCB& dcb) {
  SerialLineSettings line;
  line.baud = dcb.BaudRate;
  line.dataBits = dcb.ByteSize;
  line.parity = dcb.Parity <= 4 ? static_cast<SerialParity>(dcb.Parity) : SerialParity::None;
  line.stopBits = dcb.StopBits == 0   ? SerialStopBits::One
                  : dcb.StopBits == 1 ? SerialStopBits::OneAndHalf
                                      : SerialStopBits::Two;
  // The kernel has one switch for both directions of RTS/CTS flow.
  line.rtsCtsFlow = dcb.fOutxCtsFlow || dcb.fRtsControl == 2;
  line.xonXoffOut = dcb.fOutX;
  line.xonXoffIn = dcb.fInX;
  line.xonChar = static_cast<std::uint8_t>(dcb.XonChar);
  line.xoffChar = static_cast<std::uint8_t>(dcb.XoffChar);
  return line;
}

void mergeLine(const SerialLineSettings& line, TDCB& dcb) {
  dcb.BaudRate = line.baud;
  dcb.ByteSize = line.dataBits;
  dcb.Parity = static_cast<std::uint8_t>(line.parity);
  dcb.StopBits = line.stopBits == SerialStopBits::One          ? 0
                 : line.stopBits == SerialStopBits::OneAndHalf ? 1
                                                               : 2;
  dcb.fOutxCtsFlow = line.rtsCtsFlow;
  if (!line.rtsCtsFlow && dcb.fRtsControl == 2) dcb.fRtsControl = 1;
  if (line.rtsCtsFlow && dcb.fRtsControl != 2) dcb.fRtsControl = 2;
  dcb.fOutX = line.xonXoffOut;
  dcb.fInX = line.xonXoffIn;
  dcb.XonChar = static_cast<char>(line.xonChar);
  dcb.XoffChar = static_cast<char>(line.xoffChar);
}

std::uint32_t difference(std::uint32_t now, std::uint32_t before) {
  return now - before;
}

}  // namespace

TApdPosixDispatcher::TApdPosixDispatcher(TApdCustomComPort* owner, platform::SerialNameSpace names,
                                         const platform::Clock& clock,
                                         std::shared_ptr<platform::SerialCloser> closer)
    : TApdBaseDispatcher(owner, clock), names_(std::move(names)), device_(std::move(closer)) {}

TApdPosixDispatcher::~TApdPosixDispatcher() {
  // The threads call this object's slots: stop them while it is whole.
  Finalize();
  std::unique_lock lock(deviceLock_);
  device_.Close();
}

// ---- Opening and closing --------------------------------------------------------------------

std::int32_t TApdPosixDispatcher::OpenCom(const std::string& name, std::uint32_t, std::uint32_t) {
  if (!comWaker_.valid() || !outputWaker_.valid()) {
    lastError_ = platform::kErrorNotEnoughMemory;
    return -8;  // ecOutOfMemory: nothing was opened
  }
  std::unique_lock lock(deviceLock_);
  const int error = device_.Open(names_.Resolve(name));
  if (error != platform::kErrorSuccess) {
    lastError_ = error;
    platform::SetLastSerialError(error);
    return -1;
  }
  if (arrivals_.Attach(device_.fd(), comWaker_) != platform::kErrorSuccess) {
    device_.Close();
    lastError_ = platform::kErrorNotEnoughMemory;
    return -8;  // ecOutOfMemory: nothing left open
  }
  lastError_ = 0;
  comWaker_.drain();
  outputWaker_.drain();
  lost_ = false;
  lossReported_ = false;
  pendingErrors_ = 0;
  lastModem_ = device_.ModemLines();
  lastCounters_ = device_.Counters();
  watchLines_ = lastModem_.has_value() || lastCounters_.has_value();
  lossAnnounced_ = false;
  SerialLineSettings line;
  if (device_.ReadLine(line) == platform::kErrorSuccess) mergeLine(line, shadow_);
  const int fd = device_.fd();
  SetComHandle(fd);
  return fd;
}

std::int32_t TApdPosixDispatcher::CloseCom() {
  std::unique_lock lock(deviceLock_);
  if (!device_.IsOpen()) return -1;
  arrivals_.Detach();
  device_.Close();
  SetComHandle(InvalidHandle);
  return 0;
}

bool TApdPosixDispatcher::SetupCom(std::uint32_t, std::uint32_t) {
  // The kernel's queues have a fixed size; only an open device matters.
  std::shared_lock lock(deviceLock_);
  if (device_.IsOpen()) return true;
  lastError_ = platform::kErrorInvalidHandle;
  platform::SetLastSerialError(platform::kErrorInvalidHandle);
  return false;
}

// ---- Line settings and lines ----------------------------------------------------------------

std::int32_t TApdPosixDispatcher::GetComState(TDCB& settings) {
  std::shared_lock lock(deviceLock_);
  SerialLineSettings line;
  if (device_.ReadLine(line) != platform::kErrorSuccess) return -1;
  mergeLine(line, shadow_);
  settings = shadow_;
  return 0;
}

std::int32_t TApdPosixDispatcher::SetComState(const TDCB& settings) {
  std::shared_lock lock(deviceLock_);
  const int error = device_.ApplyLine(lineOf(settings));
  if (error != platform::kErrorSuccess) return -error;
  shadow_ = settings;
  return 0;
}

std::int32_t TApdPosixDispatcher::EscapeComFunction(std::int32_t function) {
  int raise = 0;
  int lower = 0;
  switch (function) {
    case SETRTS:
      raise = platform::kModemRts;
      break;
    case CLRRTS:
      lower = platform::kModemRts;
      break;
    case SETDTR:
      raise = platform::kModemDtr;
      break;
    case CLRDTR:
      lower = platform::kModemDtr;
      break;
    case GETBASEIRQ:
      return 0;  // no port I/O address here
    default:
      return -1;
  }
  std::shared_lock lock(deviceLock_);
  const int error = device_.SetModemLines(raise, lower);
  // A device without modem lines (a pseudo-terminal) has nothing to raise: not a failure.
  if (error == platform::kErrorSuccess || error == platform::kErrorNotSupported ||
      error == platform::kErrorInvalidParameter) {
    return 0;
  }
  return -1;
}

std::uint8_t TApdPosixDispatcher::GetComModemStatus() {
  std::shared_lock lock(deviceLock_);
  const std::optional<int> lines = device_.ModemLines();
  return lines ? modemStatusOf(*lines) : 0;
}

// ---- Reading and errors ---------------------------------------------------------------------

std::int32_t TApdPosixDispatcher::GetComError(TComStat& stat) {
  std::shared_lock lock(deviceLock_);
  std::uint32_t errors = pendingErrors_.exchange(0);
  if (lost_ && !lossReported_.exchange(true)) errors |= CE_FRAME | CE_IOE;
  stat.cbInQue = lost_ ? 0 : static_cast<std::uint32_t>(device_.InputWaiting());
  return static_cast<std::int32_t>(errors);
}

std::int32_t TApdPosixDispatcher::GetComErrorBits() {
  std::uint32_t errors = pendingErrors_.exchange(0);
  if (lost_ && !lossReported_.exchange(true)) errors |= CE_FRAME | CE_IOE;
  return static_cast<std::int32_t>(errors);
}

std::int32_t TApdPosixDispatcher::ReadCom(std::uint8_t* buffer, std::int32_t count) {
  if (count <= 0 || lost_) return 0;
  std::shared_lock lock(deviceLock_);
  const long n = device_.Read(buffer, static_cast<std::size_t>(count));
  if (n < 0) {
    if (platform::LastSerialError() == platform::kErrorIoDevice) MarkLost();
    return -1;
  }
  return static_cast<std::int32_t>(n);
}

std::int32_t TApdPosixDispatcher::FlushCom(std::int32_t queue) {
  if (queue == FlushOutput) DiscardOutput();
  std::shared_lock lock(deviceLock_);
  if (!device_.IsOpen()) return -platform::kErrorInvalidHandle;
  if (lost_) return 0;  // nothing left to purge
  const int error = device_.Purge(queue == FlushInput, queue == FlushOutput);
  return error == platform::kErrorSuccess ? 0 : -error;
}

void TApdPosixDispatcher::MarkLost() {
  lost_ = true;
  // Whoever waits on the device looks again and finds it gone.
  comWaker_.signal();
}

// ---- Com thread -----------------------------------------------------------------------------

std::uint32_t TApdPosixDispatcher::LookForLineChanges() {
  std::uint32_t mask = 0;
  std::shared_lock lock(deviceLock_);
  if (const std::optional<int> lines = device_.ModemLines()) {
    if (lastModem_) {
      const int changed = *lines ^ *lastModem_;
      if (changed & platform::kModemCts) mask |= EV_CTS;
      if (changed & platform::kModemDsr) mask |= EV_DSR;
      if (changed & platform::kModemDcd) mask |= EV_RLSD;
      // A ring is reported when it ends, as the ring trailing edge.
      if ((*lastModem_ & platform::kModemRi) && !(*lines & platform::kModemRi)) mask |= EV_RING;
    }
    lastModem_ = lines;
  }
  if (const std::optional<platform::SerialCounters> counters = device_.Counters()) {
    if (lastCounters_) {
      const platform::SerialCounters& was = *lastCounters_;
      // Pulses shorter than the watch interval show only in the counters.
      if (difference(counters->cts, was.cts)) mask |= EV_CTS;
      if (difference(counters->dsr, was.dsr)) mask |= EV_DSR;
      if (difference(counters->dcd, was.dcd)) mask |= EV_RLSD;
      if (difference(counters->ring, was.ring)) mask |= EV_RING;
      std::uint32_t errors = 0;
      if (difference(counters->bufferOverrun, was.bufferOverrun)) errors |= CE_RXOVER;
      if (difference(counters->overrun, was.overrun)) errors |= CE_OVERRUN;
      if (difference(counters->parity, was.parity)) errors |= CE_RXPARITY;
      if (difference(counters->frame, was.frame)) errors |= CE_FRAME;
      if (difference(counters->brk, was.brk)) {
        errors |= CE_BREAK;
        mask |= EV_BREAK;
      }
      if (errors & ~CE_BREAK) mask |= EV_ERR;
      if (errors) pendingErrors_.fetch_or(errors);
    }
    lastCounters_ = counters;
  }
  return mask;
}

bool TApdPosixDispatcher::WaitComEvent(std::uint32_t& mask) {
  return WaitForDevice(mask, -1) > 0;
}

std::int32_t TApdPosixDispatcher::WaitComEventFor(std::uint32_t& mask,
                                                  std::chrono::milliseconds timeout) {
  return WaitForDevice(mask, static_cast<int>(std::max<std::int64_t>(0, timeout.count())));
}

std::int32_t TApdPosixDispatcher::WaitForDevice(std::uint32_t& mask, int timeoutMs) {
  mask = 0;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  // What is left of the time-out, at most `slice` ms (-1: no limit).
  const auto left = [&](int slice) {
    if (timeoutMs < 0) return slice;
    const auto rest =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    const int ms = static_cast<int>(std::max<std::int64_t>(0, rest));
    return slice < 0 ? ms : std::min(ms, slice);
  };
  for (;;) {
    if (lost_) {
      if (!lossAnnounced_) {
        lossAnnounced_ = true;
        mask = EV_ERR;
        return 1;
      }
      // Nothing more will come from the device: wait for the stop alone.
      const auto result = PosixSerialDevice::Poll(-1, false, false, &comWaker_, left(-1));
      if (!result.woken && timeoutMs >= 0) return 0;
      comWaker_.drain();
      return 1;
    }

    if (!arrivals_.attached()) return -1;
    // Waits outside the device lock, which CloseCom would otherwise wait for. Safe only because
    // the waiting thread (the com thread, or the dispatch thread without one) has left this wait
    // for good before CloseCom detaches the watch and closes the descriptor: neither can change
    // under this wait.
    // Line errors arrive with bytes, which wake this wait; modem lines change by themselves and
    // are polled, but only while someone listens: an idle port then sleeps.
    const bool poll = watchLines_ && ModemWatchWanted();
    const platform::SerialPollResult result = arrivals_.Wait(left(poll ? kLineWatchMs : -1));
    // The device's events are edges, reported once: what came together with a wake-up is kept.
    if (result.hangup) MarkLost();
    if (result.woken) {
      comWaker_.drain();
      if (result.readable && !result.hangup) mask |= EV_RXCHAR;
      return 1;  // stop, a trigger armed, or MarkLost: the caller looks at its flags, the loop at
                 // lost_
    }
    if (result.hangup) continue;
    if (watchLines_) mask = LookForLineChanges();
    if (result.readable) mask |= EV_RXCHAR;
    if (mask != 0) return 1;
    if (timeoutMs >= 0 && left(-1) == 0) return 0;
  }
}

// ---- Output ---------------------------------------------------------------------------------

std::uint32_t TApdPosixDispatcher::WriteAtOnce(const std::uint8_t* data, std::uint32_t count) {
  if (lost_) return 0;
  std::shared_lock lock(deviceLock_);
  if (!device_.IsOpen()) return 0;
  const long written = device_.Write(data, count);  // the descriptor never blocks
  return written > 0 ? static_cast<std::uint32_t>(written) : 0;
}

std::int32_t TApdPosixDispatcher::WriteDevice(const std::uint8_t* data, std::uint32_t count) {
  for (;;) {
    // A cancel given before this call counts too.
    if (PosixSerialDevice::Poll(-1, false, false, &outputWaker_, 0).woken) {
      outputWaker_.drain();
      return 0;
    }
    if (lost_) return -1;  // the block is dropped
    int fd;
    long written;
    int error = 0;
    {
      std::shared_lock lock(deviceLock_);
      if (!device_.IsOpen()) return -1;
      fd = device_.fd();
      written = device_.Write(data, count);
      if (written < 0) error = platform::LastSerialError();
    }
    if (written > 0) return static_cast<std::int32_t>(written);
    if (written < 0) {
      if (error == platform::kErrorIoDevice) MarkLost();
      return -1;
    }
    // No room in the kernel's queue (flow control, or a slow line): wait for some. The poll
    // runs outside the device lock on a descriptor read under it; safe only because the
    // output thread is stopped and joined before CloseCom closes it.
    const platform::SerialPollResult result =
        PosixSerialDevice::Poll(fd, false, true, &outputWaker_, -1);
    if (result.hangup) {
      MarkLost();
      return -1;
    }
  }
}

}  // namespace velmora::serial
