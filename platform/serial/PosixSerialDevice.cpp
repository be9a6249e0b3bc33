// Uses the kernel's termios2 directly (any baud rate through BOTHER), so <termios.h> must not be
// included in this file: its struct termios clashes with the kernel's.
#include "platform/serial/PosixSerialDevice.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/serial/SerialCloser.h"
#include "platform/serial/SerialError.h"

namespace velmora::platform {

namespace {

static_assert(sizeof(termios2) <= 64);

int lastErrno() {
  return SerialErrorFromErrno(errno);
}

int fromErrno() {
  const int code = lastErrno();
  SetLastSerialError(code);
  return code;
}

struct RateCode {
  std::uint32_t rate;
  unsigned code;
};

// Standard rates keep their B-code, so that tools reading the old termios see them.
constexpr RateCode kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

unsigned rateCode(std::uint32_t rate) {
  for (const auto& entry : kRates) {
    if (entry.rate == rate) return entry.code;
  }
  return BOTHER;
}

int retryIoctl(int fd, unsigned long request, void* argument) {
  int result;
  do {
    result = ::ioctl(fd, request, argument);
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace

void EncodeLineFlags(const SerialLineSettings& line, SerialTermiosFlags& flags) {
  static constexpr std::uint32_t kSizes[] = {CS5, CS6, CS7, CS8};
  flags.cflag &= ~static_cast<std::uint32_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
  flags.cflag |= kSizes[std::clamp<int>(line.dataBits, 5, 8) - 5];
  // With five data bits CSTOPB means one and a half stop bits.
  if (line.stopBits != SerialStopBits::One) flags.cflag |= CSTOPB;
  switch (line.parity) {
    case SerialParity::None:
      break;
    case SerialParity::Odd:
      flags.cflag |= PARENB | PARODD;
      break;
    case SerialParity::Even:
      flags.cflag |= PARENB;
      break;
    case SerialParity::Mark:
      flags.cflag |= PARENB | CMSPAR | PARODD;
      break;
    case SerialParity::Space:
      flags.cflag |= PARENB | CMSPAR;
      break;
  }
  if (line.rtsCtsFlow) flags.cflag |= CRTSCTS;
  flags.iflag &= ~static_cast<std::uint32_t>(IXON | IXOFF);
  if (line.xonXoffOut) flags.iflag |= IXON;
  if (line.xonXoffIn) flags.iflag |= IXOFF;
}

void DecodeLineFlags(const SerialTermiosFlags& flags, SerialLineSettings& line) {
  switch (flags.cflag & CSIZE) {
    case CS5:
      line.dataBits = 5;
      break;
    case CS6:
      line.dataBits = 6;
      break;
    case CS7:
      line.dataBits = 7;
      break;
    default:
      line.dataBits = 8;
      break;
  }
  if (!(flags.cflag & CSTOPB)) {
    line.stopBits = SerialStopBits::One;
  } else {
    line.stopBits = line.dataBits == 5 ? SerialStopBits::OneAndHalf : SerialStopBits::Two;
  }
  if (!(flags.cflag & PARENB)) {
    line.parity = SerialParity::None;
  } else if (flags.cflag & CMSPAR) {
    line.parity = (flags.cflag & PARODD) ? SerialParity::Mark : SerialParity::Space;
  } else {
    line.parity = (flags.cflag & PARODD) ? SerialParity::Odd : SerialParity::Even;
  }
  line.rtsCtsFlow = (flags.cflag & CRTSCTS) != 0;
  line.xonXoffOut = (flags.iflag & IXON) != 0;
  line.xonXoffIn = (flags.iflag & IXOFF) != 0;
}

// ---- Waker ---------------------------------------------------------------------------------

SerialWaker::SerialWaker() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SerialWaker::~SerialWaker() {
  if (fd_ >= 0) ::close(fd_);
}

void SerialWaker::signal() const {
  const std::uint64_t one = 1;
  // Only fails when the counter is saturated, which still wakes the waiter.
  [[maybe_unused]] const auto written = ::write(fd_, &one, sizeof one);
}

void SerialWaker::drain() const {
  std::uint64_t count;
  [[maybe_unused]] const auto read = ::read(fd_, &count, sizeof count);
}

// ---- Arrival watch ------------------------------------------------------------------------

int SerialArrivalWatch::Attach(int deviceFd, const SerialWaker& waker) {
  Detach();
  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0) return fromErrno();
  epoll_event device{};
  device.events = EPOLLIN | EPOLLET;
  device.data.fd = deviceFd;
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.fd = waker.fd();
  if (::epoll_ctl(epoll, EPOLL_CTL_ADD, deviceFd, &device) < 0 ||
      ::epoll_ctl(epoll, EPOLL_CTL_ADD, waker.fd(), &wake) < 0) {
    const int error = fromErrno();
    ::close(epoll);
    return error;
  }
  epoll_ = epoll;
  waker_ = waker.fd();
  return kErrorSuccess;
}

void SerialArrivalWatch::Detach() {
  if (epoll_ >= 0) ::close(epoll_);
  epoll_ = -1;
  waker_ = -1;
}

SerialPollResult SerialArrivalWatch::Wait(int timeoutMs) const {
  SerialPollResult result;
  epoll_event events[2];
  const int count = ::epoll_wait(epoll_, events, 2, timeoutMs);
  for (int i = 0; i < count; ++i) {
    if (events[i].data.fd == waker_) {
      result.woken = true;
      continue;
    }
    result.readable = result.readable || (events[i].events & EPOLLIN) != 0;
    result.hangup = result.hangup || (events[i].events & (EPOLLHUP | EPOLLERR)) != 0;
  }
  return result;
}

// ---- Device --------------------------------------------------------------------------------

int PosixSerialDevice::fail(int error) {
  SetLastSerialError(error);
  return error;
}

int PosixSerialDevice::Open(const std::string& path) {
  Close();
  if (path.empty()) {
    SetLastSerialErrno(ENOENT);
    return fail(kErrorFileNotFound);
  }
  // Its old descriptor, still closing, holds the lock this one takes.
  if (closer_) closer_->WaitFor(path);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    SetLastSerialErrno(errno);
    return fromErrno();
  }

  termios2 settings{};
  if (retryIoctl(fd, TCGETS2, &settings) < 0) {
    // Not a tty: nothing this driver can drive.
    SetLastSerialErrno(ENOTTY);
    ::close(fd);
    return fail(kErrorFileNotFound);
  }
  // TIOCEXCL alone does not stop a privileged process, and flock alone does not stop one that
  // ignores locks; together they cover both.
  if (::flock(fd, LOCK_EX | LOCK_NB) < 0) {
    SetLastSerialErrno(errno);
    const int error = errno == EWOULDBLOCK ? kErrorAccessDenied : lastErrno();
    ::close(fd);
    return fail(error);
  }
  retryIoctl(fd, TIOCEXCL, nullptr);

  std::memcpy(saved_.data(), &settings, sizeof settings);
  savedValid_ = true;

  settings.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                        IXANY | INPCK | IUCLC | IMAXBEL);
  settings.c_oflag &= ~OPOST;
  settings.c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
  settings.c_cflag |= CREAD | CLOCAL;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  if (retryIoctl(fd, TCSETS2, &settings) < 0) {
    SetLastSerialErrno(errno);
    const int error = lastErrno();
    retryIoctl(fd, TIOCNXCL, nullptr);
    ::close(fd);
    savedValid_ = false;
    return fail(error);
  }

  // USB serial adapters otherwise hold received bytes for up to 16 ms.
  serial_struct serial{};
  if (retryIoctl(fd, TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
    serial.flags |= ASYNC_LOW_LATENCY;
    retryIoctl(fd, TIOCSSERIAL, &serial);
  }
  fd_ = fd;
  return kErrorSuccess;
}

void PosixSerialDevice::Close() {
  if (fd_ < 0) return;
  if (savedValid_) {
    termios2 settings;
    std::memcpy(&settings, saved_.data(), sizeof settings);
    retryIoctl(fd_, TCSETS2, &settings);  // fails harmlessly on a vanished device
  }
  retryIoctl(fd_, TIOCNXCL, nullptr);
  // What waits for the line goes with the port: a line held by flow control would otherwise
  // keep close() waiting for it, up to the driver's closing time (30 s).
  while (::ioctl(fd_, TCFLSH, TCOFLUSH) < 0 && errno == EINTR) {
  }
  // The close also releases the flock.
  if (closer_) {
    closer_->Close(fd_);
  } else {
    ::close(fd_);
  }
  fd_ = -1;
  savedValid_ = false;
}

int PosixSerialDevice::ApplyLine(const SerialLineSettings& line) {
  if (fd_ < 0) return fail(kErrorInvalidHandle);
  if (line.baud == 0 || line.dataBits < 5 || line.dataBits > 8) {
    return fail(kErrorInvalidParameter);
  }
  termios2 settings{};
  if (retryIoctl(fd_, TCGETS2, &settings) < 0) return fromErrno();

  settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= rateCode(line.baud);  // the input rate follows the output rate
  settings.c_ospeed = line.baud;
  settings.c_ispeed = line.baud;
  SerialTermiosFlags flags{settings.c_cflag, settings.c_iflag};
  EncodeLineFlags(line, flags);
  settings.c_cflag = flags.cflag;
  settings.c_iflag = flags.iflag;
  settings.c_cc[VSTART] = line.xonChar;
  settings.c_cc[VSTOP] = line.xoffChar;

  if (retryIoctl(fd_, TCSETS2, &settings) < 0) return fromErrno();
  return kErrorSuccess;
}

int PosixSerialDevice::ReadLine(SerialLineSettings& line) const {
  if (fd_ < 0) {
    SetLastSerialError(kErrorInvalidHandle);
    return kErrorInvalidHandle;
  }
  termios2 settings{};
  if (retryIoctl(fd_, TCGETS2, &settings) < 0) return fromErrno();
  line.baud = settings.c_ospeed;
  DecodeLineFlags({settings.c_cflag, settings.c_iflag}, line);
  line.xonChar = settings.c_cc[VSTART];
  line.xoffChar = settings.c_cc[VSTOP];
  return kErrorSuccess;
}

int PosixSerialDevice::SetModemLines(int raise, int lower) const {
  if (fd_ < 0) {
    SetLastSerialError(kErrorInvalidHandle);
    return kErrorInvalidHandle;
  }
  if (raise && retryIoctl(fd_, TIOCMBIS, &raise) < 0) return fromErrno();
  if (lower && retryIoctl(fd_, TIOCMBIC, &lower) < 0) return fromErrno();
  return kErrorSuccess;
}

std::optional<int> PosixSerialDevice::ModemLines() const {
  int bits = 0;
  if (fd_ < 0 || retryIoctl(fd_, TIOCMGET, &bits) < 0) return std::nullopt;
  return bits;
}

std::optional<SerialCounters> PosixSerialDevice::Counters() const {
  serial_icounter_struct raw{};
  if (fd_ < 0 || retryIoctl(fd_, TIOCGICOUNT, &raw) < 0) return std::nullopt;
  SerialCounters counters;
  counters.cts = static_cast<std::uint32_t>(raw.cts);
  counters.dsr = static_cast<std::uint32_t>(raw.dsr);
  counters.ring = static_cast<std::uint32_t>(raw.rng);
  counters.dcd = static_cast<std::uint32_t>(raw.dcd);
  counters.frame = static_cast<std::uint32_t>(raw.frame);
  counters.overrun = static_cast<std::uint32_t>(raw.overrun);
  counters.parity = static_cast<std::uint32_t>(raw.parity);
  counters.brk = static_cast<std::uint32_t>(raw.brk);
  counters.bufferOverrun = static_cast<std::uint32_t>(raw.buf_overrun);
  return counters;
}

long PosixSerialDevice::Read(void* buffer, std::size_t count) const {
  if (fd_ < 0) {
    SetLastSerialError(kErrorInvalidHandle);
    return -1;
  }
  if (count == 0) return 0;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, count);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return 0;
    fromErrno();
    return -1;
  }
}

long PosixSerialDevice::Write(const void* buffer, std::size_t count) const {
  if (fd_ < 0) {
    SetLastSerialError(kErrorInvalidHandle);
    return -1;
  }
  if (count == 0) return 0;
  for (;;) {
    const ssize_t n = ::write(fd_, buffer, count);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return 0;
    fromErrno();
    return -1;
  }
}

int PosixSerialDevice::Purge(bool input, bool output) const {
  if (fd_ < 0) {
    SetLastSerialError(kErrorInvalidHandle);
    return kErrorInvalidHandle;
  }
  if (!input && !output) return kErrorSuccess;
  const int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
  int result;
  do {
    result = ::ioctl(fd_, TCFLSH, queue);
  } while (result < 0 && errno == EINTR);
  return result < 0 ? fromErrno() : kErrorSuccess;
}

std::size_t PosixSerialDevice::InputWaiting() const {
  int count = 0;
  if (fd_ < 0 || retryIoctl(fd_, TIOCINQ, &count) < 0 || count < 0) return 0;
  return static_cast<std::size_t>(count);
}

std::size_t PosixSerialDevice::OutputWaiting() const {
  int count = 0;
  if (fd_ < 0 || retryIoctl(fd_, TIOCOUTQ, &count) < 0 || count < 0) return 0;
  return static_cast<std::size_t>(count);
}

SerialPollResult PosixSerialDevice::Poll(int fd, bool wantRead, bool wantWrite,
                                         const SerialWaker* waker, int timeoutMs) {
  pollfd fds[2] = {};
  nfds_t count = 0;
  int deviceIndex = -1;
  int wakerIndex = -1;
  if (fd >= 0) {
    deviceIndex = static_cast<int>(count);
    fds[count].fd = fd;
    fds[count].events = static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
    ++count;
  }
  if (waker && waker->valid()) {
    wakerIndex = static_cast<int>(count);
    fds[count].fd = waker->fd();
    fds[count].events = POLLIN;
    ++count;
  }
  SerialPollResult result;
  const int ready = ::poll(fds, count, timeoutMs);
  if (ready <= 0) return result;  // time-out or EINTR: the caller looks again
  if (deviceIndex >= 0) {
    const short events = fds[deviceIndex].revents;
    result.readable = (events & POLLIN) != 0;
    result.writable = (events & POLLOUT) != 0;
    result.hangup = (events & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
  if (wakerIndex >= 0) result.woken = (fds[wakerIndex].revents & POLLIN) != 0;
  return result;
}

}  // namespace velmora::platform
