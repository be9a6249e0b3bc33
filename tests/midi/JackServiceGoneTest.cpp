// Our JACK back end when its server stops and another starts: a server of this test's own,
// started and stopped by the fixture's script under a name of this build tree.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/midi/JackMidiService.h"
#include "support/Wait.h"
#include "support/XrunRetry.h"

namespace pm = velmora::platform::midi;
using velmora::testing::RetryOnXrun;
using velmora::testing::WaitUntil;
using namespace std::chrono_literals;

namespace {

bool Server(const char* action) {
  return std::system((std::string(VELMORA_JACK_SCRIPT) + " " + action).c_str()) == 0;
}

// A far side in a process of its own (velmora-peer, whose client is "velmora-peer"). libjack
// keeps one table of the clients' wake-up futexes per process, indexed by JACK's client number,
// and an entry can outlive its client (seen: the start script's jack_wait, gone, still mapped).
// The next client of the process with that number takes it as its own, waits on a futex nobody
// posts and stalls the graph. So no second client shares our process, here as in the program.
class FarProcess {
 public:
  // With `firstLine`, returns once the far side has said its first line, or has failed.
  FarProcess(std::initializer_list<const char*> args, bool firstLine) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    // The peer flushes its first line itself (no stdbuf: its preloaded library would come
    // before the sanitizers' runtime).
    std::vector<const char*> argv{VELMORA_PEER};
    argv.insert(argv.end(), args);
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, VELMORA_PEER, &actions, nullptr, const_cast<char**>(argv.data()),
                    environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    pollfd ready{out[0], POLLIN, 0};
    char c = 0;
    while (firstLine && pid_ > 0 && poll(&ready, 1, 20'000) == 1 && read(out[0], &c, 1) == 1 &&
           c != '\n')
      line_ += c;
    close(out[0]);
  }
  ~FarProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  FarProcess(const FarProcess&) = delete;
  FarProcess& operator=(const FarProcess&) = delete;
  const std::string& line() const { return line_; }
  // True once it has ended by itself with status 0.
  bool Succeeded() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return false;
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t pid_ = -1;
  std::string line_;
};

std::atomic<int> lost{0};
std::atomic<int> arrived{0};
void Callback(void*, std::uint32_t message, std::uintptr_t, std::uintptr_t, std::uintptr_t) {
  if (message == pm::MM_DEVICELOST) ++lost;
  if (message == pm::MIM_DATA) ++arrived;
}

// Choosing a list entry while no server runs: each call gives a result code.
void EveryChoiceIsRefused(pm::JackMidiService& service) {
  EXPECT_FALSE(service.Connected());
  EXPECT_EQ(service.midiInGetNumDevs(), 0u);
  EXPECT_EQ(service.midiOutGetNumDevs(), 0u);
  for (const std::intptr_t id :
       {std::intptr_t{0}, std::intptr_t{1}, std::intptr_t{pm::MIDI_MAPPER}}) {
    pm::MIDIOUTCAPSA outCaps;
    EXPECT_EQ(service.midiOutGetDevCapsA(id, &outCaps, sizeof outCaps), pm::MMSYSERR_BADDEVICEID);
    pm::HMIDIOUT out = nullptr;
    EXPECT_EQ(service.midiOutOpen(&out, id, &Callback, 0, pm::CALLBACK_FUNCTION),
              pm::MMSYSERR_BADDEVICEID);
  }
  for (const std::uint32_t id : {0u, 1u}) {
    pm::MIDIINCAPSA inCaps;
    EXPECT_EQ(service.midiInGetDevCapsA(id, &inCaps, sizeof inCaps), pm::MMSYSERR_BADDEVICEID);
    pm::HMIDIIN in = nullptr;
    EXPECT_EQ(service.midiInOpen(&in, id, &Callback, 0, pm::CALLBACK_FUNCTION),
              pm::MMSYSERR_BADDEVICEID);
  }
}

TEST(JackServiceGone, OpenDevicesAreLostAndTheServiceIsBackOnTheNextServerWhileTheyStayOpen) {
  ASSERT_TRUE(Server("start"));
  {
    pm::JackMidiService service;
    std::atomic<int> changes{0};
    service.SetPortsChangedCallback([&] { ++changes; });
    // One port each way: the devices that the stop takes away.
    auto far =
        std::make_unique<FarProcess>(std::initializer_list<const char*>{"jack-listen"}, true);
    ASSERT_EQ(far->line().rfind("listening on ", 0), 0u) << far->line();
    ASSERT_TRUE(service.Connected());
    ASSERT_TRUE(WaitUntil(
        [&] { return service.midiInGetNumDevs() == 1 && service.midiOutGetNumDevs() == 1; }));
    pm::HMIDIIN in = nullptr;
    pm::HMIDIOUT out = nullptr;
    ASSERT_EQ(service.midiInOpen(&in, 0, &Callback, 0, pm::CALLBACK_FUNCTION), 0u);
    ASSERT_EQ(service.midiOutOpen(&out, 0, &Callback, 0, pm::CALLBACK_FUNCTION), 0u);
    ASSERT_EQ(service.midiInStart(in), 0u);

    const std::string name = service.ClientName();
    int before = changes.load();
    ASSERT_TRUE(Server("stop"));
    // Its client died with the server: a new "velmora-peer" would share its futex, which the
    // dead server left in place (jackd unlinks only those of the clients that closed).
    far.reset();
    EXPECT_TRUE(WaitUntil([&] { return lost.load() == 2 && changes.load() > before; }));
    EveryChoiceIsRefused(service);
    EXPECT_EQ(service.midiOutShortMsg(out, 0x403C90), pm::MIDIERR_NODEVICE);

    // The lost devices stay open: the new client comes all the same.
    before = changes.load();
    ASSERT_TRUE(Server("start"));
    EXPECT_TRUE(WaitUntil([&] { return service.Connected() && changes.load() > before; }));
    // The new client has the old one's name: links made by name find it again.
    EXPECT_EQ(service.ClientName(), name);
    const auto sendOnce = [&] {
      const int lostBefore = lost.load();
      // It sends once its output is linked to ours.
      FarProcess sender({"jack-send", "903C64"}, false);
      EXPECT_TRUE(WaitUntil([&] { return service.midiInGetNumDevs() == 1; }));
      pm::HMIDIIN again = nullptr;
      EXPECT_EQ(service.midiInOpen(&again, 0, &Callback, 0, pm::CALLBACK_FUNCTION), 0u);
      EXPECT_EQ(service.midiInStart(again), 0u);
      EXPECT_TRUE(sender.Succeeded());
      const bool heard = WaitUntil([] { return arrived.load() > 0; }, 3s);
      // The sender has ended: the new input is lost in turn.
      EXPECT_TRUE(WaitUntil([&] { return lost.load() == lostBefore + 1; }));
      EXPECT_EQ(service.midiInClose(again), 0u);
      return heard;
    };
    RetryOnXrun([&] { return service.Xruns(); }, sendOnce);

    EXPECT_EQ(service.midiInClose(in), 0u);
    EXPECT_EQ(service.midiOutClose(out), 0u);
  }
  EXPECT_TRUE(Server("stop"));
}

}  // namespace
