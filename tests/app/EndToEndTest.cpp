// The program as a user runs it: started with a JACK peer and a virtual serial port in place,
// its own start-up picks them, and the wire is checked on both sides. The program runs in a
// mount name space of its own whose /dev holds no device of the machine's: its /dev/ttyV0 is
// our pseudo-terminal, so that runs at once never meet and no real adapter gets test bytes.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/PtyPair.h"
#ifdef VELMORA_E2E_X11
#include "PrivateDisplay.h"
#endif
#include "support/Wait.h"
#include "support/XrunRetry.h"
#include "tools/JackClient.h"
#include "tools/JackPeer.h"

extern char** environ;

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using velmora::testing::PtyPair;
using velmora::tools::JackPeer;

namespace {

constexpr auto kBound = 30s;
// Long enough for what is on its way; what has not come by then was lost.
constexpr auto kAttemptBound = 5s;

// A command under `unshare`: root makes the mount name space itself; anyone else needs a user
// name space around it.
class Isolated {
 public:
  // `output`, `errors`: where the command's standard output and error go; empty: ours.
  // `link`: the name under /dev that leads to `slavePath`; "-": none.
  Isolated(const std::string& slavePath, std::vector<std::string> command,
           const std::string& output = {}, const std::string& errors = {},
           const std::string& link = "ttyV0") {
    std::vector<std::string> words{"unshare"};
    if (::geteuid() != 0) words.insert(words.end(), {"--user", "--map-root-user"});
    words.insert(words.end(),
                 {"--mount", "--propagation", "private", "/bin/sh", VELMORA_PRIVATE_DEV, link,
                  slavePath, std::to_string(::geteuid()), std::to_string(::getegid())});
    words.insert(words.end(), command.begin(), command.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output.empty()) {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    if (!errors.empty()) {
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    if (posix_spawnp(&pid_, "unshare", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Isolated() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Isolated(const Isolated&) = delete;
  Isolated& operator=(const Isolated&) = delete;

  bool started() const { return pid_ > 0; }
  // Where the command's /dev is seen from outside its name space.
  std::filesystem::path dev() const { return "/proc/" + std::to_string(pid_) + "/root/dev"; }
  pid_t pid() const { return pid_; }
  // unshare and the shell exec the command: the signal reaches it.
  void signal(int number) { ::kill(pid_, number); }
  // True when it ended within the bound; the exit status is kept.
  bool waitExit(std::chrono::milliseconds bound) {
    return velmora::testing::WaitUntil(
        [&] { return exited_ || (exited_ = ::waitpid(pid_, &status_, WNOHANG) == pid_); }, bound);
  }
  bool succeeded() const { return exited_ && WIFEXITED(status_) && WEXITSTATUS(status_) == 0; }
  int status() const { return status_; }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

using velmora::testing::WaitUntil;

// After the program ended: only the peer's own ports are left in JACK's graph, and the serial
// device is free (the driver's exclusive mode and its flock, the only lock it takes, are gone).
void ExpectNothingLeftBehind(JackPeer& peer, const std::string& peerName,
                             const std::string& serialPath) {
  EXPECT_TRUE(WaitUntil(
      [&] {
        for (const auto& port : peer.midiPorts()) {
          if (port.rfind(peerName + ":", 0) != 0) return false;
        }
        return true;
      },
      kBound))
      << "a port of the program stayed behind";
  const int fd = ::open(serialPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "the serial device is still held";
  ::close(fd);
}

class EndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Nothing remembered: the program starts as it always did. The profile's lock is ours too:
    // a Velmora of the machine's never meets the test's.
    config = std::make_unique<velmora::testing::TempDir>();
    ::setenv("XDG_CONFIG_HOME", config->path().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", config->path().c_str(), 1);
    serial = std::make_unique<PtyPair>();
    Isolated probe(serial->slavePath(), {"true"});
    isolated = probe.started() && probe.waitExit(kBound) && probe.succeeded();
    if (!isolated) return;
    peer = std::make_unique<JackPeer>("e2e-peer");
    program =
        std::make_unique<Isolated>(serial->slavePath(), std::vector<std::string>{VELMORA_PROGRAM});
    // The program's start-up connects to both of our ports once it has opened everything.
    ready = WaitUntil([] { return peer->outConnected() && peer->inConnected(); }, kBound);
  }
  static void TearDownTestSuite() {
    program.reset();
    serial.reset();
    peer.reset();
    config.reset();
  }
  void SetUp() override {
    if (!isolated) {
      GTEST_SKIP() << "no private mount name space (unshare --mount needs root or user name "
                      "spaces): the program would see the machine's serial devices";
    }
    ASSERT_TRUE(ready) << "the program did not open the JACK peer's ports";
  }

  // What JACK delivered next; a message lost in an overrun cycle fails the attempt, and
  // Exchange tries it again when the server reported that overrun.
  static std::optional<Bytes> receive() { return peer->receive(kAttemptBound); }
  template <typename Attempt>
  static void Exchange(Attempt attempt) {
    velmora::testing::RetryOnXrun([] { return peer->xruns(); }, attempt);
  }

  static inline std::unique_ptr<JackPeer> peer;
  static inline std::unique_ptr<PtyPair> serial;
  static inline std::unique_ptr<velmora::testing::TempDir> config;
  static inline std::unique_ptr<Isolated> program;
  static inline bool isolated = false;
  static inline bool ready = false;
};

TEST_F(EndToEnd, ANoteOnFromMidiArrivesOnTheSerialPortAsExactlyItsBytes) {
  Exchange([] {
    // In order: anything extra comes before the last.
    return peer->send({0x90, 0x3C, 0x64}) && peer->send({0x80, 0x3C, 0x00}) &&
           serial->read(6, kAttemptBound) == Bytes{0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00};
  });
}

TEST_F(EndToEnd, RunningStatusOnTheSerialPortArrivesAsTwoNoteOns) {
  Exchange([] {
    serial->write({0x90, 0x3C, 0x64, 0x40, 0x7F});
    return receive() == Bytes{0x90, 0x3C, 0x64} && receive() == Bytes{0x90, 0x40, 0x7F};
  });
}

TEST_F(EndToEnd, ASysexBlockOnTheSerialPortArrivesWhole) {
  Bytes block{0xF0};
  for (int i = 0; i < 998; ++i) block.push_back(static_cast<std::uint8_t>((i * 7) & 0x7F));
  block.push_back(0xF7);
  Exchange([&] {
    serial->write(block);
    return receive() == block;
  });
}

TEST_F(EndToEnd, AClockByteInsideANoteOnArrivesBeforeIt) {
  Exchange([] {
    serial->write({0x90, 0x3C, 0xF8, 0x64});
    return receive() == Bytes{0xF8} && receive() == Bytes{0x90, 0x3C, 0x64};
  });
}

// SIGUSR1 is "Tout arrêter": All Sound Off, All Notes Off and Reset All Controllers on the 16
// channels reach the serial line and the MIDI output.
TEST_F(EndToEnd, SigUsr1SilencesBothSides) {
  std::vector<Bytes> messages;
  for (const std::uint8_t controller : {0x78, 0x7B, 0x79}) {
    for (std::uint8_t channel = 0; channel < 16; ++channel)
      messages.push_back({static_cast<std::uint8_t>(0xB0 | channel), controller, 0x00});
  }
  Bytes line;
  for (const Bytes& message : messages) line.insert(line.end(), message.begin(), message.end());
  Exchange([&] {
    program->signal(SIGUSR1);
    if (serial->read(line.size(), kAttemptBound) != line) return false;
    for (const Bytes& message : messages) {
      if (receive() != message) return false;
    }
    return true;
  });
}

// Last: the program ends on SIGTERM, leaving no JACK port behind and the serial device free.
TEST_F(EndToEnd, TerminationEndsTheProgramAndFreesEveryDevice) {
  program->signal(SIGTERM);
  ASSERT_TRUE(program->waitExit(kBound));
  EXPECT_TRUE(WIFEXITED(program->status()));
  EXPECT_EQ(WEXITSTATUS(program->status()), 0);
  ExpectNothingLeftBehind(*peer, "e2e-peer", serial->slavePath());
}

// The headless program with the devices and line named on its command line: it forwards, prints
// what the window would show, and ends on SIGTERM with status 0, leaving nothing behind; on
// its way out it tells how long its JACK process callback ran at most.
TEST(Headless, RunsTheNamedDevicesAtTheGivenLineAndEndsOnTermination) {
  PtyPair serial;
  {
    Isolated probe(serial.slavePath(), {"true"});
    if (!(probe.started() && probe.waitExit(kBound) && probe.succeeded())) {
      GTEST_SKIP() << "no private mount name space";
    }
  }
  velmora::testing::TempDir directory;
  const std::string output = (directory.path() / "stdout").string();
  const std::string errors = (directory.path() / "stderr").string();
  // The line comes from the remembered choices, the devices from the command line.
  const auto settings = directory.path() / "velmora" / "velmora.conf";
  std::filesystem::create_directories(settings.parent_path());
  std::ofstream(settings) << "[serial]\nbaud=31250\nparity=E\n[midi]\ninput=gone\n";
  ::setenv("XDG_CONFIG_HOME", directory.path().c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", directory.path().c_str(), 1);
  JackPeer peer("headless-peer");
  Isolated program(serial.slavePath(),
                   {VELMORA_HEADLESS, "--port", "COM1", "--midi-in", "HEADLESS-PEER", "--midi-out",
                    "headless-peer"},
                   output, errors);
  const auto printed = [&] {
    std::ifstream file(output);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  };
  const auto hasPrinted = [&](const std::string& part) {
    return WaitUntil([&] { return printed().find(part) != std::string::npos; }, kBound);
  };
  ASSERT_TRUE(WaitUntil([&] { return peer.outConnected() && peer.inConnected(); }, kBound))
      << printed();
  // A pseudo-terminal keeps the speed but forces 8 bits without parity: the line it runs.
  EXPECT_TRUE(hasPrinted("RS232 ouvert : COM1 (/dev/ttyV0) 31250,8,N,1")) << printed();
  // The JACK it joined, found by itself.
  EXPECT_TRUE(hasPrinted("[MIDI] - service MIDI : JACK (jackd ")) << printed();
  EXPECT_EQ(serial.termios().ospeed, 31250u);

  velmora::testing::RetryOnXrun([&] { return peer.xruns(); },
                                [&] {
                                  return peer.send({0x90, 0x3C, 0x64}) &&
                                         serial.read(3, kAttemptBound) == Bytes{0x90, 0x3C, 0x64};
                                });
  EXPECT_TRUE(hasPrinted("90 3C 64")) << printed();
  velmora::testing::RetryOnXrun([&] { return peer.xruns(); },
                                [&] {
                                  serial.write({0x80, 0x3C, 0x00});
                                  return peer.receive(kAttemptBound) == Bytes{0x80, 0x3C, 0x00};
                                });
  EXPECT_TRUE(hasPrinted("[Com-Rx] - 803C00")) << printed();

  // --list names the JACK it would join too.
  const std::string listed = (directory.path() / "list").string();
  Isolated list(serial.slavePath(), {VELMORA_HEADLESS, "--list"}, listed, listed + ".err");
  ASSERT_TRUE(list.waitExit(kBound));
  std::stringstream listText;
  listText << std::ifstream(listed).rdbuf();
  EXPECT_NE(listText.str().find("midi-in\theadless-peer:out\n"), std::string::npos)
      << listText.str();
  EXPECT_NE(listText.str().find("service MIDI : JACK (jackd "), std::string::npos)
      << listText.str();

  program.signal(SIGTERM);
  ASSERT_TRUE(program.waitExit(kBound));
  EXPECT_TRUE(program.succeeded()) << program.status();
  const std::string text = printed();
  const auto stop = text.find("Arrêt demandé");
  ASSERT_NE(stop, std::string::npos) << text;
  EXPECT_NE(text.find("RS232 fermé", stop), std::string::npos) << text;
  EXPECT_NE(text.find("MIDI In fermé", stop), std::string::npos) << text;
  std::stringstream said;
  said << std::ifstream(errors).rdbuf();
  EXPECT_NE(said.str().find("velmora-headless: traitement JACK : "), std::string::npos)
      << said.str();
  EXPECT_NE(said.str().find(" au-delà de 50 µs\n"), std::string::npos) << said.str();
  ExpectNothingLeftBehind(peer, "headless-peer", serial.slavePath());
}

// A link cut in a patchbay is the user's choice: told once, and never made again by the
// program; a link that the user adds to the program's ports is told.
TEST(Headless, ALinkTheUserCutsStaysCutAndALinkTheUserAddsIsTold) {
  PtyPair serial;
  {
    Isolated probe(serial.slavePath(), {"true"});
    if (!(probe.started() && probe.waitExit(kBound) && probe.succeeded())) {
      GTEST_SKIP() << "no private mount name space";
    }
  }
  velmora::testing::TempDir directory;
  const std::string output = (directory.path() / "stdout").string();
  ::setenv("XDG_CONFIG_HOME", directory.path().c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", directory.path().c_str(), 1);
  JackPeer peer("cut-peer");
  Isolated program(
      serial.slavePath(),
      {VELMORA_HEADLESS, "--port", "COM1", "--midi-in", "cut-peer", "--midi-out", "cut-peer"},
      output, (directory.path() / "stderr").string());
  const auto printed = [&] {
    std::stringstream text;
    text << std::ifstream(output).rdbuf();
    return text.str();
  };
  const auto count = [&](const std::string& part) {
    const std::string text = printed();
    int found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
    return found;
  };
  ASSERT_TRUE(WaitUntil([&] { return peer.outConnected() && peer.inConnected(); }, kBound))
      << printed();
  const std::string ourIn = peer.connections(true).front();
  const std::string ourOut = peer.connections(false).front();

  velmora::tools::JackClient patchbay(
      "cut-patchbay", [](jack_nframes_t, void*) { return 0; }, nullptr);
  ASSERT_EQ(jack_disconnect(patchbay.get(), ourOut.c_str(), peer.inPortName().c_str()), 0);
  EXPECT_TRUE(WaitUntil([&] { return count("cut-peer:in : lien coupé") == 1; }, kBound))
      << printed();
  // A new port refreshes the program's lists, and the link it then tells of comes after: by
  // then the cut link would have been made again.
  JackPeer other("cut-other", JackPeer::Ports::OutOnly);
  ASSERT_TRUE(other.connect(other.outPortName(), ourIn));
  EXPECT_TRUE(WaitUntil(
      [&] { return count("cut-other:out -> " + ourIn + " : lien ajouté hors de Velmora") == 1; },
      kBound))
      << printed();
  EXPECT_FALSE(peer.inConnected());
  EXPECT_TRUE(peer.outConnected());
  EXPECT_EQ(count("lien coupé"), 1) << printed();
  EXPECT_EQ(count("débranché"), 0) << printed();
  program.signal(SIGTERM);
  EXPECT_TRUE(program.waitExit(kBound));
}

// A capture whose file cannot take more (/dev/full; a 64 KiB tmpfs, mounted in the program's
// own name space) stops with one line saying so and how much it wrote; forwarding goes on.
TEST(Headless, ACaptureThatCannotWriteStopsWithOneLineAndForwardingGoesOn) {
  PtyPair probeSerial;
  {
    Isolated probe(probeSerial.slavePath(), {"true"});
    if (!(probe.started() && probe.waitExit(kBound) && probe.succeeded())) {
      GTEST_SKIP() << "no private mount name space";
    }
  }
  velmora::testing::TempDir directory;
  ::setenv("XDG_CONFIG_HOME", directory.path().c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", directory.path().c_str(), 1);
  const std::string small = (directory.path() / "small").string();
  std::filesystem::create_directories(small);
  struct Case {
    std::string name;
    std::vector<std::string> before;  // runs the program after it
    std::string file;
    bool empty;  // nothing could be written
  };
  const std::vector<Case> cases = {
      {"/dev/full", {}, "/dev/full", true},
      {"tmpfs",
       {"/bin/sh", "-c", "mount -t tmpfs -o size=64k velmora-capture \"$0\" && exec \"$@\"", small},
       small + "/capture.txt",
       false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    PtyPair serial;
    JackPeer peer("capture-peer");
    const std::string output = (directory.path() / "stdout").string();
    std::vector<std::string> command = test.before;
    command.insert(command.end(), {VELMORA_HEADLESS, "--port", "COM1", "--midi-in", "capture-peer",
                                   "--midi-out", "capture-peer", "--capture", test.file});
    Isolated program(serial.slavePath(), command, output, (directory.path() / "stderr").string());
    const auto printed = [&] {
      std::stringstream text;
      text << std::ifstream(output).rdbuf();
      return text.str();
    };
    ASSERT_TRUE(WaitUntil([&] { return peer.outConnected() && peer.inConnected(); }, kBound))
        << printed();
    ASSERT_TRUE(
        WaitUntil([&] { return printed().find("capture démarrée") != std::string::npos; }, kBound))
        << printed();
    // Far more than 64 KiB of lines, from the serial side.
    const std::string stopped = "[Capture] - " + test.file + " : capture arrêtée : disque plein (";
    for (int round = 0; round < 20 && printed().find(stopped) == std::string::npos; ++round) {
      Bytes notes;
      for (int i = 0; i < 500; ++i) notes.insert(notes.end(), {0x90, 0x3C, 0x64});
      serial.write(notes);
      WaitUntil([&] { return printed().find(stopped) != std::string::npos; }, 500ms);
    }
    const std::string text = printed();
    const auto at = text.find(stopped);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.find(stopped, at + 1), std::string::npos) << "one line";
    const unsigned long written = std::stoul(text.substr(at + stopped.size()));
    const std::string unit = " octets écrits)";
    EXPECT_EQ(text.substr(at + stopped.size() + std::to_string(written).size(), unit.size()), unit);
    if (test.empty) {
      EXPECT_EQ(written, 0u);
    } else {
      EXPECT_GT(written, 0u);
      EXPECT_LE(written, 64u * 1024);
    }
    velmora::testing::RetryOnXrun([&] { return peer.xruns(); },
                                  [&] {
                                    return peer.send({0x90, 0x3D, 0x64}) &&
                                           serial.read(3, kAttemptBound) == Bytes{0x90, 0x3D, 0x64};
                                  });
    program.signal(SIGTERM);
    ASSERT_TRUE(program.waitExit(kBound));
    EXPECT_TRUE(program.succeeded()) << program.status();
  }
}

// The headless program whose remembered choices pass clock, transport and system exclusive MIDI
// to serial: what a DAW plays through JACK reaches the serial port byte for byte; real-time
// bytes keep their order among themselves and may go between the dump's bytes, everything else
// keeps its order.
TEST(Headless, PassesClockTransportAndA4KiBDumpToTheSerialPortAsRemembered) {
  PtyPair serial;
  {
    Isolated probe(serial.slavePath(), {"true"});
    if (!(probe.started() && probe.waitExit(kBound) && probe.succeeded())) {
      GTEST_SKIP() << "no private mount name space";
    }
  }
  velmora::testing::TempDir directory;
  ::setenv("XDG_CONFIG_HOME", directory.path().c_str(), 1);
  std::filesystem::create_directories(directory.path() / "velmora");
  std::ofstream(directory.path() / "velmora" / "velmora.conf")
      << "[messages]\nto-serial=channel,sysex,clock,transport\n";
  JackPeer peer("kinds-peer");
  Isolated program(
      serial.slavePath(),
      {VELMORA_HEADLESS, "--port", "COM1", "--midi-in", "kinds-peer", "--midi-out", "kinds-peer"},
      (directory.path() / "stdout").string(), (directory.path() / "stderr").string());
  ASSERT_TRUE(WaitUntil([&] { return peer.outConnected() && peer.inConnected(); }, kBound));

  Bytes dump(4096);
  dump.front() = 0xF0;
  for (std::size_t i = 1; i + 1 < dump.size(); ++i) dump[i] = static_cast<std::uint8_t>(i % 128);
  dump.back() = 0xF7;
  const std::vector<Bytes> played{{0xFA}, {0xF8}, dump, {0xF8}, {0x90, 0x3C, 0x64}, {0xFC}};
  Bytes realTime, rest;
  for (const Bytes& message : played) {
    (message[0] >= 0xF8 ? realTime : rest)
        .insert((message[0] >= 0xF8 ? realTime : rest).end(), message.begin(), message.end());
  }
  velmora::testing::RetryOnXrun(
      [&] { return peer.xruns(); },
      [&] {
        for (const Bytes& message : played) {
          if (!peer.send(message)) return false;
        }
        const Bytes got = serial.read(realTime.size() + rest.size(), kAttemptBound);
        Bytes gotRealTime, gotRest;
        for (const std::uint8_t byte : got) {
          (byte >= 0xF8 ? gotRealTime : gotRest).push_back(byte);
        }
        EXPECT_EQ(Bytes(got.begin(), got.begin() + 2), (Bytes{0xFA, 0xF8}))
            << "played before the dump";
        return gotRealTime == realTime && gotRest == rest;
      });
  program.signal(SIGTERM);
  ASSERT_TRUE(program.waitExit(kBound));
  EXPECT_TRUE(program.succeeded()) << program.status();
}

std::string slurp(const std::filesystem::path& file) {
  std::stringstream text;
  text << std::ifstream(file).rdbuf();
  return text.str();
}

// Stopping while a dump goes out at 31250 baud: the first SIGTERM lets it go on for the bound
// of line time, then counts what is left in one line and ends with status 0; a second one,
// during that, ends the program at once.
TEST(Headless, StoppingDrainsTheLineWithinItsBoundAndASecondSignalEndsAtOnce) {
  PtyPair probeLine;
  {
    Isolated probe(probeLine.slavePath(), {"true"});
    if (!(probe.started() && probe.waitExit(kBound) && probe.succeeded())) {
      GTEST_SKIP() << "no private mount name space";
    }
  }
  velmora::testing::TempDir directory;
  ::setenv("XDG_CONFIG_HOME", directory.path().c_str(), 1);
  std::filesystem::create_directories(directory.path() / "velmora");
  std::ofstream(directory.path() / "velmora" / "velmora.conf") << "[messages]\nto-serial=sysex\n";
  // Nearly twice what 3 s of line carry, and one JACK event.
  Bytes dump(16000, 0x11);
  dump.front() = 0xF0;
  dump.back() = 0xF7;
  for (const int signals : {1, 2}) {
    SCOPED_TRACE(std::to_string(signals) + " signal(s)");
    PtyPair serial;
    JackPeer peer("stop-peer-" + std::to_string(signals));
    const auto output = directory.path() / ("stdout-" + std::to_string(signals));
    Isolated program(serial.slavePath(),
                     {VELMORA_HEADLESS, "--port", "COM1", "--baud", "31250", "--midi-in",
                      peer.outPortName(), "--midi-out", peer.inPortName()},
                     output.string(), (directory.path() / "stderr").string());
    ASSERT_TRUE(WaitUntil([&] { return peer.outConnected() && peer.inConnected(); }, kBound));
    ASSERT_TRUE(peer.send(dump));
    Bytes got = serial.read(64, kBound);
    ASSERT_FALSE(got.empty()) << "the dump began";
    program.signal(SIGTERM);
    if (signals == 2) {
      ASSERT_TRUE(WaitUntil(
          [&] { return slurp(output).find("Arrêt demandé") != std::string::npos; }, kBound));
      program.signal(SIGTERM);
    }
    ASSERT_TRUE(program.waitExit(kBound));
    for (Bytes more = serial.read(dump.size(), 500ms); !more.empty();
         more = serial.read(dump.size(), 500ms)) {
      got.insert(got.end(), more.begin(), more.end());
    }
    EXPECT_TRUE(std::equal(got.begin(), got.end(), dump.begin())) << "a part of the dump, in order";
    const std::string printed = slurp(output);
    const bool counted =
        printed.find("[Com-Tx] - arrêt du programme : 1 message non transmis") != std::string::npos;
    if (signals == 1) {
      EXPECT_TRUE(program.succeeded()) << program.status();
      EXPECT_TRUE(counted) << printed;
      // The bound's line time went out after the signal: far more than the moments before it.
      EXPECT_GT(got.size(), 64u + 1000u);
      EXPECT_LT(got.size(), dump.size());
    } else {
      EXPECT_TRUE(WIFEXITED(program.status()) && WEXITSTATUS(program.status()) == 128 + SIGTERM)
          << program.status();
      EXPECT_FALSE(counted) << "ended at once";
    }
  }
}

// The headless program of one profile, in a /dev of its own whose COM1 is its own serial pair.
struct Gateway {
  // `tag` names its output files in `folder`; `command` starts the program (the headless one).
  Gateway(const std::string& profile, const std::filesystem::path& folder, const std::string& tag,
          std::vector<std::string> command = {VELMORA_HEADLESS})
      : output(folder / (tag + ".out")),
        errors(folder / (tag + ".err")),
        program(serial.slavePath(), with(std::move(command), {"--profile", profile}), output,
                errors) {}
  static std::vector<std::string> with(std::vector<std::string> command,
                                       const std::vector<std::string>& more) {
    command.insert(command.end(), more.begin(), more.end());
    return command;
  }
  bool hasPrinted(const std::string& part) const {
    return WaitUntil([&] { return slurp(output).find(part) != std::string::npos; }, kBound);
  }
  bool stop() {
    program.signal(SIGTERM);
    return program.waitExit(kBound) && program.succeeded();
  }

  PtyPair serial;
  const std::filesystem::path output, errors;
  Isolated program;
};

// Settings and locks in a folder of the test's own; false when no private /dev can be made.
bool ProfilesSetUp(const velmora::testing::TempDir& directory) {
  ::setenv("XDG_CONFIG_HOME", directory.path().c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", directory.path().c_str(), 1);
  PtyPair any;
  Isolated probe(any.slavePath(), {"true"});
  return probe.started() && probe.waitExit(kBound) && probe.succeeded();
}

// Two profiles side by side: each its JACK client with the usual port names, its own pair
// forwarding, its own remembered choices (b's peer is not the lists' first, nor its line the
// default), and its name in its status lines.
TEST(Profiles, TwoRunSideBySideEachWithItsClientItsPairAndItsChoices) {
  velmora::testing::TempDir directory;
  if (!ProfilesSetUp(directory)) GTEST_SKIP() << "no private mount name space";
  struct Side {
    std::string profile;
    unsigned baud;
    std::unique_ptr<JackPeer> peer = nullptr;
    std::unique_ptr<Gateway> gateway = nullptr;
  };
  std::vector<Side> sides;
  sides.push_back({"a", 31250});
  sides.push_back({"b", 19200});
  std::filesystem::create_directories(directory.path() / "velmora");
  for (Side& side : sides) {
    side.peer = std::make_unique<JackPeer>("profile-peer-" + side.profile);
    std::ofstream(directory.path() / "velmora" / (side.profile + ".conf"))
        << "[serial]\nbaud=" << side.baud << "\n[midi]\ninput=" << side.peer->outPortName()
        << "\noutput=" << side.peer->inPortName() << "\n";
  }
  for (Side& side : sides) {
    side.gateway = std::make_unique<Gateway>(side.profile, directory.path(), side.profile);
  }
  for (Side& side : sides) {
    SCOPED_TRACE(side.profile);
    JackPeer& peer = *side.peer;
    Gateway& gateway = *side.gateway;
    const std::string client = "velmora-" + side.profile;
    ASSERT_TRUE(WaitUntil(
        [&] {
          return peer.connections(true) == std::vector<std::string>{client + ":midi_in"} &&
                 peer.connections(false) == std::vector<std::string>{client + ":midi_out"};
        },
        kBound))
        << slurp(gateway.output);
    EXPECT_TRUE(gateway.hasPrinted("État (" + side.profile +
                                   ") : RS232 ouvert : COM1 (/dev/ttyV0) " +
                                   std::to_string(side.baud)))
        << slurp(gateway.output);
    EXPECT_EQ(gateway.serial.termios().ospeed, side.baud);
    const auto tag = static_cast<std::uint8_t>(side.baud & 0x7F);
    velmora::testing::RetryOnXrun([&] { return peer.xruns(); },
                                  [&] {
                                    return peer.send({0x90, 0x3C, tag}) &&
                                           gateway.serial.read(3, kAttemptBound) ==
                                               Bytes{0x90, 0x3C, tag};
                                  });
    velmora::testing::RetryOnXrun([&] { return peer.xruns(); },
                                  [&] {
                                    gateway.serial.write({0x80, 0x3C, tag});
                                    return peer.receive(kAttemptBound) == Bytes{0x80, 0x3C, tag};
                                  });
  }
  for (Side& side : sides) EXPECT_TRUE(side.gateway->stop()) << side.profile;
}

// The same profile twice: the second start ends with status 1 and one line naming the first;
// the first killed, its lock goes with it and the profile starts again.
TEST(Profiles, ASecondStartIsRefusedWhileTheFirstRunsAndNotAfterItWasKilled) {
  velmora::testing::TempDir directory;
  if (!ProfilesSetUp(directory)) GTEST_SKIP() << "no private mount name space";
  Gateway first("solo", directory.path(), "first");
  ASSERT_TRUE(first.hasPrinted("État (solo) : RS232 ouvert")) << slurp(first.output);
  // Headless, then the window (which shows no box that would wait for a click).
  std::vector<std::vector<std::string>> seconds{{VELMORA_HEADLESS}};
#ifdef VELMORA_PROGRAM
  seconds.push_back({"env", "QT_QPA_PLATFORM=offscreen", VELMORA_PROGRAM});
#endif
  for (const auto& command : seconds) {
    SCOPED_TRACE(command.back());
    Gateway second("solo", directory.path(), "second", command);
    ASSERT_TRUE(second.program.waitExit(kBound));
    EXPECT_TRUE(WIFEXITED(second.program.status()) && WEXITSTATUS(second.program.status()) == 1)
        << second.program.status();
    EXPECT_EQ(slurp(second.errors), "velmora: le profil solo tourne déjà (pid " +
                                        std::to_string(first.program.pid()) + ")\n");
    EXPECT_EQ(slurp(second.output), "");
  }
  first.program.signal(SIGKILL);
  ASSERT_TRUE(first.program.waitExit(kBound));
  Gateway third("solo", directory.path(), "third");
  EXPECT_TRUE(third.hasPrinted("État (solo) : RS232 ouvert"))
      << slurp(third.output) << slurp(third.errors);
  EXPECT_TRUE(third.stop());
}

// A JACK server of the test's own, under a name of its own: it starts when the test says, so
// that a program may start before it. Clients made meanwhile (the programs, the peers) use it.
class PrivateJack {
 public:
  PrivateJack()
      : name_("velmora-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(++made_)),
        saved_(std::getenv("JACK_DEFAULT_SERVER") ? std::getenv("JACK_DEFAULT_SERVER") : "") {
    ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
  }
  ~PrivateJack() {
    run("stop");
    ::setenv("JACK_DEFAULT_SERVER", saved_.c_str(), 1);
  }
  PrivateJack(const PrivateJack&) = delete;
  PrivateJack& operator=(const PrivateJack&) = delete;
  bool start() { return run("start"); }

 private:
  static bool run(const std::string& what) {
    return std::system(("'" VELMORA_JACK_SERVER "' " + what + " >/dev/null 2>&1").c_str()) == 0;
  }
  static inline int made_ = 0;
  const std::string name_, saved_;
};

// Devices that come late, a JACK server that starts after the program, a device another
// program holds, a profile started fresh beside another gateway: in each, the headless program
// opens the device the user meant, and no other, as soon as it can, and then forwards both ways.
// The chosen serial device is /dev/ttyV0 or /dev/ttyV1 of the program's own /dev; /dev/ttyV0
// is there from the start.
TEST(ComeAndGo, TheProgramOpensTheDeviceMeantAndNoOtherAsSoonAsItComes) {
  velmora::testing::TempDir directory;
  if (!ProfilesSetUp(directory)) GTEST_SKIP() << "no private mount name space";
  struct Case {
    std::string name;
    std::string settings;  // the profile's file, "PEER" standing for the peer's client
    std::vector<std::string> options;
    bool late = false;         // /dev/ttyV1, the choice, comes after the start
    bool jackLate = false;     // the JACK server and the peer start after the program
    bool busy = false;         // another program holds /dev/ttyV0 until the program waits
    bool beside = false;       // another gateway's ports are on the server before the peer's
    std::string waiting = {};  // the line that the program prints while it waits
    std::string opened = "COM1 (/dev/ttyV0)";
  };
  const std::vector<Case> cases{
      {"remembered serial device comes late",
       "[serial]\ndevice=/dev/ttyV1\nbaud=31250\n[midi]\ninput=PEER:out\noutput=PEER:in\n",
       {},
       true,
       false,
       false,
       false,
       "[RS232] - /dev/ttyV1 : absent, ouvert dès son arrivée",
       "COM2 (/dev/ttyV1) 31250"},
      {"busy, then free",
       "[serial]\ndevice=/dev/ttyV0\n[midi]\ninput=PEER:out\noutput=PEER:in\n",
       {},
       false,
       false,
       true,
       false,
       "[RS232] - /dev/ttyV0 : occupé par un autre programme"},
      {"fresh profile beside another gateway", "", {"--no-settings"}, false, false, false, true},
      {"damaged settings beside another gateway",
       "[serial]\nbaud=fast\n",
       {},
       false,
       false,
       false,
       true},
      // Last: where the JACK service cannot join a late server, the test stops there.
      {"at boot: remembered devices and JACK come after the program",
       "[serial]\ndevice=/dev/ttyV1\n[midi]\ninput=PEER:out\noutput=PEER:in\n",
       {},
       true,
       true,
       false,
       false,
       "[RS232] - /dev/ttyV1 : absent, ouvert dès son arrivée",
       "COM2 (/dev/ttyV1)"},
      {"at boot: devices given on the command line come after the program",
       "",
       {"--port", "/dev/ttyV1", "--midi-in", "PEER", "--midi-out", "PEER"},
       true,
       true,
       false,
       false,
       "[MIDI-In] - PEER : absent, ouvert dès son arrivée",
       "COM2 (/dev/ttyV1)"},
  };
  int number = 0;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::string profile = "c" + std::to_string(++number);
    // After "velmora-…" in any order the service lists ports in: a fresh gateway meets the other
    // gateway's ports first.
    const std::string peerName = "zz-peer-" + profile;
    const auto withPeer = [&](std::string text) {
      for (std::size_t at; (at = text.find("PEER")) != std::string::npos;) {
        text.replace(at, 4, peerName);
      }
      return text;
    };
    const auto file = directory.path() / "velmora" / (profile + ".conf");
    std::filesystem::create_directories(file.parent_path());
    if (!test.settings.empty()) std::ofstream(file) << withPeer(test.settings);
    std::vector<std::string> command{VELMORA_HEADLESS, "--profile", profile};
    for (const auto& option : test.options) command.push_back(withPeer(option));

    PrivateJack jack;
    if (!test.jackLate) {
      ASSERT_TRUE(jack.start());
    }
    PtyPair first, second;  // /dev/ttyV0, /dev/ttyV1
    int held = -1;
    if (test.busy) {
      held = ::open(first.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    }
    // Another gateway's ports, as a gateway with open devices has them, before any other.
    std::optional<velmora::tools::JackClient> other;
    if (test.beside) {
      other.emplace(
          "velmora-" + profile + "-other", [](jack_nframes_t, void*) -> int { return 0; }, nullptr);
      other->activate();
      other->registerPort("midi_out", true);
      other->registerPort("midi_in", false);
    }
    std::unique_ptr<JackPeer> peer;
    if (!test.jackLate) peer = std::make_unique<JackPeer>(peerName);
    const auto output = directory.path() / (profile + ".out");
    Isolated program(first.slavePath(), command, output.string(),
                     (directory.path() / (profile + ".err")).string());
    const auto hasPrinted = [&](const std::string& part) {
      return WaitUntil([&] { return slurp(output).find(part) != std::string::npos; }, kBound);
    };
    if (!test.waiting.empty()) {
      ASSERT_TRUE(hasPrinted(withPeer(test.waiting))) << slurp(output);
      EXPECT_EQ(slurp(output).find("RS232 ouvert"), std::string::npos) << slurp(output);
      if (test.late) {
        // Nothing else was opened meanwhile: /dev/ttyV0 is free.
        const int fd = ::open(first.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "another device was opened";
        ::close(fd);
      }
    }
    if (test.jackLate) {
      ASSERT_TRUE(jack.start());
      peer = std::make_unique<JackPeer>(peerName);
    }
    if (test.late) {
      std::filesystem::create_symlink(second.slavePath(), program.dev() / "ttyV1");
    }
    if (held >= 0) ::close(held);
    PtyPair& chosen = test.late ? second : first;

    if (test.jackLate && !WaitUntil(
                             [&] {
                               for (const auto& port : peer->midiPorts()) {
                                 if (port.rfind("velmora-" + profile + ":", 0) == 0) return true;
                               }
                               return false;
                             },
                             kBound)) {
      program.signal(SIGTERM);
      program.waitExit(kBound);
      GTEST_SKIP() << "the program's JACK service does not join a server that starts after it "
                      "(the JACK back end's part, not done yet): "
                   << slurp(output);
    }
    ASSERT_TRUE(WaitUntil([&] { return peer->outConnected() && peer->inConnected(); }, kBound))
        << slurp(output);
    EXPECT_TRUE(hasPrinted("RS232 ouvert : " + test.opened)) << slurp(output);
    velmora::testing::RetryOnXrun([&] { return peer->xruns(); },
                                  [&] {
                                    return peer->send({0x90, 0x3C, 0x64}) &&
                                           chosen.read(3, kAttemptBound) == Bytes{0x90, 0x3C, 0x64};
                                  });
    velmora::testing::RetryOnXrun([&] { return peer->xruns(); },
                                  [&] {
                                    chosen.write({0x80, 0x3C, 0x00});
                                    return peer->receive(kAttemptBound) == Bytes{0x80, 0x3C, 0x00};
                                  });
    program.signal(SIGTERM);
    ASSERT_TRUE(program.waitExit(kBound));
    EXPECT_TRUE(program.succeeded()) << program.status();
    const std::string printed = slurp(output);
    // One line per episode; and what the run was given is not remembered.
    if (!test.waiting.empty()) {
      const std::string line = withPeer(test.waiting);
      EXPECT_EQ(printed.find(line), printed.rfind(line)) << printed;
    }
    EXPECT_EQ(slurp(file), withPeer(test.settings));
    EXPECT_EQ(printed.find("velmora-" + profile + "-other:"), std::string::npos) << printed;
  }
}

#ifdef VELMORA_E2E_X11
// Options given for a run (a port, a line, a MIDI output, the kinds that cross) take effect in
// the window program and are never written: not when the user moves the window, the one choice
// it writes then, beside what was remembered.
TEST(WindowProgram, RunOptionsTakeEffectAndAreNeverRemembered) {
  velmora::testing::TempDir directory;
  if (!ProfilesSetUp(directory)) GTEST_SKIP() << "no private mount name space";
  velmora::testing::PrivateDisplay display;
  if (!display.valid()) GTEST_SKIP() << "no Xvfb: no window to move";
  JackPeer remembered("window-peer"), given("window-given");
  const std::string settings =
      "# Velmora's remembered choices, written when they change.\n[serial]\n"
      "device=/dev/ttyV1\nbaud=31250\ndata-bits=8\nparity=N\nstop-bits=1\nflow=none\n\n"
      "[midi]\ninput=" +
      remembered.outPortName() + "\noutput=" + remembered.inPortName() +
      "\n\n[messages]\nto-serial=channel,clock\nto-midi=all\nserial-text=off\n";
  const auto file = directory.path() / "velmora" / "w1.conf";
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << settings;
  Gateway window("w1", directory.path(), "w1",
                 {"env", "QT_QPA_PLATFORM=xcb", "DISPLAY=" + display.name(), VELMORA_PROGRAM,
                  "--port", "/dev/ttyV0", "--baud", "19200", "--midi-out", given.inPortName(),
                  "--to-serial", "channel,sysex"});
  ASSERT_TRUE(WaitUntil([&] { return remembered.outConnected() && given.inConnected(); }, kBound))
      << slurp(window.errors);
  ASSERT_TRUE(WaitUntil([&] { return display.MoveShownWindow(123, 45); }, kBound));
  EXPECT_TRUE(WaitUntil([&] { return window.serial.termios().ospeed == 19200; }, kBound));
  velmora::testing::RetryOnXrun([&] { return remembered.xruns(); },
                                [&] {
                                  const Bytes dump{0xF0, 0x7D, 0x01, 0xF7};
                                  return remembered.send(dump) &&
                                         window.serial.read(4, kAttemptBound) == dump;
                                });
  velmora::testing::RetryOnXrun([&] { return given.xruns(); },
                                [&] {
                                  window.serial.write({0x80, 0x3C, 0x00});
                                  return given.receive(kAttemptBound) == Bytes{0x80, 0x3C, 0x00};
                                });
  EXPECT_TRUE(window.stop()) << slurp(window.errors);
  EXPECT_EQ(slurp(file), settings + "\n[window]\nx=123\ny=45\n");
}
#endif

}  // namespace
