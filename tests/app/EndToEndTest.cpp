// The program as a user runs it: started with a JACK peer and a virtual serial port in place,
// its own start-up picks them, and the wire is checked on both sides.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/JackPeer.h"

extern char** environ;

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr auto kBound = 30s;
const char* const kSerialLink = "/dev/ttyV0";

// The far end of the virtual serial port: a pseudo-terminal master whose slave is linked as
// /dev/ttyV0, the first virtual port of the serial name space.
class VirtualSerialPort {
 public:
  VirtualSerialPort() {
    int slave = -1;
    char name[128] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    ::close(slave);  // the program opens it, exclusively
    slavePath_ = name;
    // Another run of these tests may hold the link for a while; then it is ours.
    for (int i = 0; i < 600; ++i) {
      std::error_code ignored;
      // A link left by a run that was killed points nowhere: it is nobody's.
      if (std::filesystem::is_symlink(kSerialLink, ignored) &&
          !std::filesystem::exists(kSerialLink, ignored)) {
        std::filesystem::remove(kSerialLink, ignored);
      }
      std::error_code exists;
      std::filesystem::create_symlink(slavePath_, kSerialLink, exists);
      if (!exists) return;
      std::this_thread::sleep_for(100ms);
    }
    ::close(master_);
    throw std::runtime_error(std::string(kSerialLink) + " stays in the way");
  }
  ~VirtualSerialPort() {
    std::error_code ignored;
    std::filesystem::remove(kSerialLink, ignored);
    ::close(master_);
  }
  VirtualSerialPort(const VirtualSerialPort&) = delete;
  VirtualSerialPort& operator=(const VirtualSerialPort&) = delete;

  void write(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) throw std::runtime_error("pty write");
    }
  }
  // Reads until `count` bytes arrived or the bound passed.
  Bytes read(std::size_t count, std::chrono::milliseconds bound) {
    Bytes bytes;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (bytes.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      std::uint8_t buffer[4096];
      const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - bytes.size()));
      if (n > 0) bytes.insert(bytes.end(), buffer, buffer + n);
      if (n <= 0) std::this_thread::sleep_for(5ms);  // no slave yet: EIO until it is opened
    }
    return bytes;
  }
  const std::string& slavePath() const { return slavePath_; }

 private:
  int master_ = -1;
  std::string slavePath_;
};

class Program {
 public:
  Program() {
    const char* argv[] = {VELMORA_PROGRAM, nullptr};
    if (posix_spawn(&pid_, VELMORA_PROGRAM, nullptr, nullptr, const_cast<char**>(argv), environ) !=
        0) {
      throw std::runtime_error("cannot start the program");
    }
  }
  ~Program() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  void signal(int number) { ::kill(pid_, number); }
  // True when it ended within the bound; the exit status is kept.
  bool waitExit(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
        exited_ = true;
        return true;
      }
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }
  int status() const { return status_; }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

template <typename Done>
bool waitFor(Done done, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class EndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (::geteuid() != 0) return;
    serial = std::make_unique<VirtualSerialPort>();
    peer = std::make_unique<velmora::tools::JackPeer>("e2e-peer");
    program = std::make_unique<Program>();
    // The program's start-up connects to both of our ports once it has opened everything.
    ready = waitFor([] { return peer->outConnected() && peer->inConnected(); }, kBound);
  }
  static void TearDownTestSuite() {
    program.reset();
    serial.reset();
    peer.reset();
  }
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to place " << kSerialLink;
    ASSERT_TRUE(ready) << "the program did not open the JACK peer's ports";
  }

  static std::optional<Bytes> receive() { return peer->receive(kBound); }

  static inline std::unique_ptr<velmora::tools::JackPeer> peer;
  static inline std::unique_ptr<VirtualSerialPort> serial;
  static inline std::unique_ptr<Program> program;
  static inline bool ready = false;
};

TEST_F(EndToEnd, ANoteOnFromMidiArrivesOnTheSerialPortAsExactlyItsBytes) {
  ASSERT_TRUE(peer->send({0x90, 0x3C, 0x64}));
  EXPECT_EQ(serial->read(3, kBound), (Bytes{0x90, 0x3C, 0x64}));
  EXPECT_TRUE(serial->read(1, 300ms).empty()) << "nothing more";
}

TEST_F(EndToEnd, RunningStatusOnTheSerialPortArrivesAsTwoNoteOns) {
  serial->write({0x90, 0x3C, 0x64, 0x40, 0x7F});
  EXPECT_EQ(receive(), (Bytes{0x90, 0x3C, 0x64}));
  EXPECT_EQ(receive(), (Bytes{0x90, 0x40, 0x7F}));
}

TEST_F(EndToEnd, ASysexBlockOnTheSerialPortArrivesWhole) {
  Bytes block{0xF0};
  for (int i = 0; i < 998; ++i) block.push_back(static_cast<std::uint8_t>((i * 7) & 0x7F));
  block.push_back(0xF7);
  serial->write(block);
  EXPECT_EQ(receive(), block);
}

TEST_F(EndToEnd, AClockByteInsideANoteOnArrivesBeforeIt) {
  serial->write({0x90, 0x3C, 0xF8, 0x64});
  EXPECT_EQ(receive(), (Bytes{0xF8}));
  EXPECT_EQ(receive(), (Bytes{0x90, 0x3C, 0x64}));
}

// Last: the program ends on SIGTERM, leaving no JACK port behind and the serial device free.
TEST_F(EndToEnd, TerminationEndsTheProgramAndFreesEveryDevice) {
  const auto start = std::chrono::steady_clock::now();
  program->signal(SIGTERM);
  ASSERT_TRUE(program->waitExit(kBound));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  std::printf("the program ended %lld ms after SIGTERM\n", static_cast<long long>(took.count()));
  EXPECT_TRUE(WIFEXITED(program->status()));
  EXPECT_EQ(WEXITSTATUS(program->status()), 0);

  EXPECT_TRUE(waitFor(
      [] {
        for (const auto& port : peer->midiPorts()) {
          if (port.rfind("e2e-peer:", 0) != 0) return false;
        }
        return true;
      },
      kBound))
      << "a port of the program stayed behind";

  const int fd = ::open(serial->slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "the serial device is still held";
  ::close(fd);
}

}  // namespace
