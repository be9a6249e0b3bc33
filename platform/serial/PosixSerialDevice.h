#pragma once

// The POSIX serial device: an exclusively opened tty in raw mode, and the few operations that
// the serial driver needs on it. Every failure is reported as a serial error code
// (SerialError.h) and also left in LastSerialError().

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace velmora::platform {

enum class SerialParity : std::uint8_t { None, Odd, Even, Mark, Space };
enum class SerialStopBits : std::uint8_t { One, OneAndHalf, Two };

// What a tty can express of the line settings.
struct SerialLineSettings {
  std::uint32_t baud = 38400;
  std::uint8_t dataBits = 8;  // 5 to 8
  SerialParity parity = SerialParity::None;
  SerialStopBits stopBits = SerialStopBits::One;
  bool rtsCtsFlow = false;  // CRTSCTS
  bool xonXoffOut = false;  // IXON: our output stops on XOFF
  bool xonXoffIn = false;   // IXOFF: the kernel sends XOFF when its input queue fills
  std::uint8_t xonChar = 0x11;
  std::uint8_t xoffChar = 0x13;
  bool operator==(const SerialLineSettings&) const = default;
};

// The termios control and input flags of the line settings, and back. Only the flags these
// settings own are touched; the rate travels beside them (c_ospeed).
struct SerialTermiosFlags {
  std::uint32_t cflag = 0;
  std::uint32_t iflag = 0;
};
void EncodeLineFlags(const SerialLineSettings& line, SerialTermiosFlags& flags);
void DecodeLineFlags(const SerialTermiosFlags& flags, SerialLineSettings& line);

// Modem line bits as TIOCMGET reports them, named once here.
inline constexpr int kModemDtr = 0x002;
inline constexpr int kModemRts = 0x004;
inline constexpr int kModemCts = 0x020;
inline constexpr int kModemDcd = 0x040;
inline constexpr int kModemRi = 0x080;
inline constexpr int kModemDsr = 0x100;

// The kernel's interrupt counters (TIOCGICOUNT): only differences between two readings matter.
struct SerialCounters {
  std::uint32_t cts = 0, dsr = 0, ring = 0, dcd = 0;
  std::uint32_t frame = 0, overrun = 0, parity = 0, brk = 0, bufferOverrun = 0;
};

// What a poll of the device found.
struct SerialPollResult {
  bool readable = false;
  bool writable = false;
  bool woken = false;   // the waker was signalled
  bool hangup = false;  // the device is gone (POLLHUP, POLLERR, POLLNVAL)
};

// An eventfd that wakes a thread waiting in SerialPollResult polls. Signals are counted until
// drained, so a signal given before the wait starts is never lost.
class SerialWaker {
 public:
  SerialWaker();
  ~SerialWaker();
  SerialWaker(const SerialWaker&) = delete;
  SerialWaker& operator=(const SerialWaker&) = delete;

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void signal() const;  // any thread
  void drain() const;   // the waiting thread

 private:
  int fd_ = -1;
};

// Waits for news from a device beside a waker. Input is watched edge-triggered: every arrival
// of bytes is reported once, whether or not earlier bytes were taken, so bytes that nobody
// takes yet never make the watcher spin.
class SerialArrivalWatch {
 public:
  SerialArrivalWatch() = default;
  ~SerialArrivalWatch() { Detach(); }
  SerialArrivalWatch(const SerialArrivalWatch&) = delete;
  SerialArrivalWatch& operator=(const SerialArrivalWatch&) = delete;

  // 0 or an error code. Bytes already waiting count as an arrival.
  int Attach(int deviceFd, const SerialWaker& waker);
  void Detach();
  bool attached() const { return epoll_ >= 0; }
  // readable: bytes arrived; woken: the waker was signalled; hangup: the device is gone.
  // Nothing set after timeoutMs (-1: no limit).
  SerialPollResult Wait(int timeoutMs) const;

 private:
  int epoll_ = -1;
  int waker_ = -1;
};

class SerialCloser;

// Owned by one dispatcher; its operations may be called from the dispatcher's threads at once
// (they are single system calls on the descriptor, which the kernel serialises), but Open and
// Close only while no other thread uses it.
class PosixSerialDevice {
 public:
  // With a closer the descriptor's close() runs on the closer's thread, and an open first waits
  // for the device's own close there; without one, both happen on the caller's thread.
  explicit PosixSerialDevice(std::shared_ptr<SerialCloser> closer = nullptr)
      : closer_(std::move(closer)) {}
  ~PosixSerialDevice() { Close(); }
  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  // O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, locked exclusively (flock and TIOCEXCL), raw
  // mode with VMIN = VTIME = 0, low latency where the driver accepts it. 0 or an error code:
  // kErrorAccessDenied when another holder has it, kErrorFileNotFound when it does not exist.
  // A failed open leaves nothing open.
  int Open(const std::string& path);
  // Restores the settings found at open, drops what waits for the line and closes (or hands the
  // close to the closer). Safe to call when closed.
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  int ApplyLine(const SerialLineSettings& settings);
  int ReadLine(SerialLineSettings& settings) const;

  // Raises the lines of `raise` and lowers those of `lower` (kModemDtr, kModemRts). A device
  // without modem lines (a pseudo-terminal) answers kErrorNotSupported.
  int SetModemLines(int raise, int lower) const;
  // The modem line bits; empty where the device has no modem lines.
  std::optional<int> ModemLines() const;
  // Empty where the device keeps no counters.
  std::optional<SerialCounters> Counters() const;

  // Bytes read (> 0), 0 when none has arrived, -1 on failure. Never waits.
  long Read(void* buffer, std::size_t count) const;
  // Bytes taken (>= 0; 0 when the device has no room now), -1 on failure. Never waits.
  long Write(const void* buffer, std::size_t count) const;
  // Discards what waits in the kernel's input and/or output queue.
  int Purge(bool input, bool output) const;
  std::size_t InputWaiting() const;
  std::size_t OutputWaiting() const;

  // Waits for the device (readable and/or writable as asked) or the waker, at most
  // timeoutMs (-1: no limit). A negative fd (device gone) waits on the waker only.
  static SerialPollResult Poll(int fd, bool wantRead, bool wantWrite, const SerialWaker* waker,
                               int timeoutMs);

 private:
  int fail(int error);

  const std::shared_ptr<SerialCloser> closer_;
  int fd_ = -1;
  // The kernel's termios2 as found at open, restored at close.
  alignas(8) std::array<std::byte, 64> saved_{};
  bool savedValid_ = false;
};

}  // namespace velmora::platform
