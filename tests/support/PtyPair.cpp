// termios2 through the kernel's own header: <termios.h> must stay out of this file.
#include "support/PtyPair.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace velmora::testing {

PtyPair::PtyPair() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
    return;
  }
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) {
    ADD_FAILURE() << "no slave name";
    return;
  }
  slavePath_ = name;
  // Non-blocking so that a test never hangs on its own end.
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
  closeMaster();
}

void PtyPair::closeMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void PtyPair::write(const std::vector<std::uint8_t>& bytes) const {
  // Gives up only when the reader takes nothing for a long while: a slow build (a sanitizer)
  // may need far longer for the whole than a fixed bound would allow.
  constexpr auto kStall = std::chrono::seconds(30);
  std::size_t done = 0;
  auto deadline = std::chrono::steady_clock::now() + kStall;
  while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      deadline = std::chrono::steady_clock::now() + kStall;
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      ADD_FAILURE() << "master write: " << std::strerror(errno);
      return;
    } else {
      pollfd fd{master_, POLLOUT, 0};
      ::poll(&fd, 1, 100);
    }
  }
  EXPECT_EQ(done, bytes.size());
}

std::vector<std::uint8_t> PtyPair::read(std::size_t count, std::chrono::milliseconds bound) const {
  std::vector<std::uint8_t> bytes;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  std::uint8_t buffer[4096];
  while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
    const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - bytes.size()));
    if (n > 0) {
      bytes.insert(bytes.end(), buffer, buffer + n);
    } else {
      pollfd fd{master_, POLLIN, 0};
      ::poll(&fd, 1, 50);
    }
  }
  return bytes;
}

PtyPair::Termios PtyPair::termios() const {
  termios2 raw{};
  Termios t;
  if (::ioctl(master_, TCGETS2, &raw) != 0) {
    ADD_FAILURE() << "TCGETS2: " << std::strerror(errno);
    return t;
  }
  t.cflag = raw.c_cflag;
  t.iflag = raw.c_iflag;
  t.lflag = raw.c_lflag;
  t.oflag = raw.c_oflag;
  t.ispeed = raw.c_ispeed;
  t.ospeed = raw.c_ospeed;
  t.baudIsOther = (raw.c_cflag & CBAUD) == BOTHER;
  switch (raw.c_cflag & CSIZE) {
    case CS5:
      t.dataBits = 5;
      break;
    case CS6:
      t.dataBits = 6;
      break;
    case CS7:
      t.dataBits = 7;
      break;
    default:
      t.dataBits = 8;
      break;
  }
  t.twoStopBits = (raw.c_cflag & CSTOPB) != 0;
  t.parity = (raw.c_cflag & PARENB) != 0;
  t.oddParity = (raw.c_cflag & PARODD) != 0;
  t.markSpace = (raw.c_cflag & CMSPAR) != 0;
  t.rtsCts = (raw.c_cflag & CRTSCTS) != 0;
  t.xonXoff = (raw.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF);
  t.vminZero = raw.c_cc[VMIN] == 0;
  t.vtimeZero = raw.c_cc[VTIME] == 0;
  t.raw = !(raw.c_lflag & (ICANON | ECHO | ISIG)) && !(raw.c_oflag & OPOST) &&
          !(raw.c_iflag & (ICRNL | IXON));
  return t;
}

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "velmora-drivers-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::size_t OpenDescriptorCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

std::size_t ThreadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

}  // namespace velmora::testing
