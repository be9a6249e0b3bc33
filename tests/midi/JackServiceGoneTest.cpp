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
#include <string>

#include "platform/midi/JackMidiService.h"
#include "support/Wait.h"
#include "tools/JackPeer.h"

namespace pm = velmora::platform::midi;
using velmora::testing::WaitUntil;
using velmora::tools::JackPeer;

namespace {

bool Server(const char* action) {
  return std::system((std::string(VELMORA_JACK_SCRIPT) + " " + action).c_str()) == 0;
}

// The far side in a process of its own (velmora-peer jack-listen: one port each way). libjack
// frees every client of a dead server in a process as soon as another client opens there, so a
// far side in ours could not outlive its server (see the service).
class FarProcess {
 public:
  // Returns once the far side is active (it says so on its output), or has failed.
  FarProcess() {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    // Line-buffered: its first line comes before it has anything more to say.
    const char* argv[] = {"stdbuf", "-oL", VELMORA_PEER, "jack-listen", nullptr};
    if (posix_spawnp(&pid_, "stdbuf", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    pollfd ready{out[0], POLLIN, 0};
    char c = 0;
    while (pid_ > 0 && poll(&ready, 1, 20'000) == 1 && read(out[0], &c, 1) == 1 && c != '\n')
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
  bool Started() const { return pid_ > 0 && line_.rfind("listening on ", 0) == 0; }

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
    FarProcess far;
    ASSERT_TRUE(far.Started());
    ASSERT_TRUE(service.Connected());
    ASSERT_TRUE(WaitUntil(
        [&] { return service.midiInGetNumDevs() == 1 && service.midiOutGetNumDevs() == 1; }));
    pm::HMIDIIN in = nullptr;
    pm::HMIDIOUT out = nullptr;
    ASSERT_EQ(service.midiInOpen(&in, 0, &Callback, 0, pm::CALLBACK_FUNCTION), 0u);
    ASSERT_EQ(service.midiOutOpen(&out, 0, &Callback, 0, pm::CALLBACK_FUNCTION), 0u);
    ASSERT_EQ(service.midiInStart(in), 0u);

    int before = changes.load();
    ASSERT_TRUE(Server("stop"));
    EXPECT_TRUE(WaitUntil([&] { return lost.load() == 2 && changes.load() > before; }));
    EveryChoiceIsRefused(service);
    EXPECT_EQ(service.midiOutShortMsg(out, 0x403C90), pm::MIDIERR_NODEVICE);

    // The lost devices stay open: the new client comes all the same.
    before = changes.load();
    ASSERT_TRUE(Server("start"));
    EXPECT_TRUE(WaitUntil([&] { return service.Connected() && changes.load() > before; }));
    JackPeer peer("far2");
    EXPECT_TRUE(WaitUntil([&] { return service.midiInGetNumDevs() == 1; }));
    pm::HMIDIIN again = nullptr;
    ASSERT_EQ(service.midiInOpen(&again, 0, &Callback, 0, pm::CALLBACK_FUNCTION), 0u);
    ASSERT_EQ(service.midiInStart(again), 0u);
    // The stable name is the new client's again, though the lost device still holds it.
    const std::vector<std::string> ours{service.ClientName() + ":midi_in"};
    EXPECT_TRUE(WaitUntil([&] { return peer.connections(true) == ours; }));
    const auto xrunsBefore = service.Xruns();
    EXPECT_TRUE(peer.send({0x90, 0x3C, 0x64}));
    EXPECT_TRUE(WaitUntil([] { return arrived.load() > 0; }))
        << "xruns " << xrunsBefore << " -> " << service.Xruns() << ", peer " << peer.xruns();
    EXPECT_EQ(lost.load(), 2);

    EXPECT_EQ(service.midiInClose(in), 0u);
    EXPECT_EQ(service.midiOutClose(out), 0u);
    EXPECT_EQ(service.midiInClose(again), 0u);
  }
  EXPECT_TRUE(Server("stop"));
}

}  // namespace
