// Our JACK back end when its server stops and another starts, under traffic: a server of this
// test's own (jackd or PipeWire), started and stopped by the fixture's script under a name or a
// runtime folder of this build tree.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi/JackMidiService.h"
#include "support/FarProcess.h"
#include "support/Wait.h"
#include "support/XrunRetry.h"

namespace pm = velmora::platform::midi;
using velmora::testing::RetryOnXrun;
using velmora::testing::WaitUntil;
using namespace std::chrono_literals;

namespace {

// jack-server.sh or pipewire-server.sh, as the test's registration chooses.
bool Server(const char* action) {
  return std::system((std::string(std::getenv("VELMORA_SERVER_SCRIPT")) + " " + action).c_str()) ==
         0;
}

// The far side, in a process of its own.
class FarProcess : public velmora::testing::FarProcess {
 public:
  FarProcess(std::initializer_list<const char*> args, bool firstLine)
      : velmora::testing::FarProcess(VELMORA_PEER, args, firstLine) {}
};

std::atomic<int> lost{0};
std::atomic<int> arrived{0};
void Callback(void*, std::uint32_t message, std::uintptr_t, std::uintptr_t, std::uintptr_t) {
  if (message == pm::MM_DEVICELOST) ++lost;
  if (message == pm::MIM_DATA) ++arrived;
}

// Choosing a list entry while no server runs: each call says that the service is missing.
void EveryChoiceIsRefused(pm::JackMidiService& service) {
  EXPECT_FALSE(service.Connected());
  EXPECT_EQ(service.midiInGetNumDevs(), 0u);
  EXPECT_EQ(service.midiOutGetNumDevs(), 0u);
  for (const std::intptr_t id :
       {std::intptr_t{0}, std::intptr_t{1}, std::intptr_t{pm::MIDI_MAPPER}}) {
    pm::MIDIOUTCAPSA outCaps;
    EXPECT_EQ(service.midiOutGetDevCapsA(id, &outCaps, sizeof outCaps), pm::MMSYSERR_NODRIVER);
    pm::HMIDIOUT out = nullptr;
    EXPECT_EQ(service.midiOutOpen(&out, id, &Callback, 0, pm::CALLBACK_FUNCTION),
              pm::MMSYSERR_NODRIVER);
  }
  for (const std::uint32_t id : {0u, 1u}) {
    pm::MIDIINCAPSA inCaps;
    EXPECT_EQ(service.midiInGetDevCapsA(id, &inCaps, sizeof inCaps), pm::MMSYSERR_NODRIVER);
    pm::HMIDIIN in = nullptr;
    EXPECT_EQ(service.midiInOpen(&in, id, &Callback, 0, pm::CALLBACK_FUNCTION),
              pm::MMSYSERR_NODRIVER);
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

    // The server that the fixture started is the one joined, and says so.
    const bool pipeWire =
        std::string(std::getenv("VELMORA_SERVER_SCRIPT")).find("pipewire") != std::string::npos;
    EXPECT_EQ(service.Name().rfind(pipeWire ? "JACK (PipeWire " : "JACK (jackd ", 0), 0u)
        << service.Name();

    // Notes go out all along, through the stop and the start: never a crash, each one either
    // taken or refused because the device is lost.
    std::atomic<bool> sending{true};
    std::atomic<int> refusedOtherwise{0};
    std::thread traffic([&] {
      while (sending.load()) {
        const auto result = service.midiOutShortMsg(out, 0x403C90);
        if (result != pm::MMSYSERR_NOERROR && result != pm::MIDIERR_NODEVICE &&
            result != pm::MIDIERR_NOTREADY) {
          ++refusedOtherwise;
        }
        std::this_thread::sleep_for(1ms);
      }
    });
    const std::string name = service.ClientName();
    int before = changes.load();
    EXPECT_TRUE(Server("stop"));
    // Its client died with the server: a new "velmora-peer" would share its futex, which the
    // dead server left in place (jackd unlinks only those of the clients that closed).
    far.reset();
    EXPECT_TRUE(WaitUntil([&] { return lost.load() == 2 && changes.load() > before; }));
    EveryChoiceIsRefused(service);
    EXPECT_EQ(service.midiOutShortMsg(out, 0x403C90), pm::MIDIERR_NODEVICE);

    // The lost devices stay open: the new client comes all the same.
    before = changes.load();
    EXPECT_TRUE(Server("start"));
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
    sending.store(false);
    traffic.join();
    EXPECT_EQ(refusedOtherwise.load(), 0);

    EXPECT_EQ(service.midiInClose(in), 0u);
    EXPECT_EQ(service.midiOutClose(out), 0u);
  }
  EXPECT_TRUE(Server("stop"));
}

}  // namespace
