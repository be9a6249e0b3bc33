// Our JACK back end when its server stops: a server of this test's own, started and stopped
// by the fixture's script under a name of this build tree.

#include <gtest/gtest.h>
#include <jack/jack.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "platform/midi/JackMidiService.h"
#include "support/Wait.h"

namespace pm = velmora::platform::midi;
using velmora::testing::WaitUntil;

namespace {

bool Server(const char* action) {
  return std::system((std::string(VELMORA_JACK_SCRIPT) + " " + action).c_str()) == 0;
}

// A bare client with one port each way: nothing of it but close may be called once its server
// is gone.
struct Far {
  Far() {
    client = jack_client_open("far", JackNoStartServer, nullptr);
    if (client == nullptr) return;
    jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_activate(client);
  }
  ~Far() {
    if (client != nullptr) jack_client_close(client);
  }
  jack_client_t* client = nullptr;
};

std::atomic<int> lost{0};
void Callback(void*, std::uint32_t message, std::uintptr_t, std::uintptr_t, std::uintptr_t) {
  if (message == pm::MM_DEVICELOST) ++lost;
}

TEST(JackServiceGone, OpenDevicesAreLostListsEmptyAndANewServerIsFoundOnceTheyAreClosed) {
  ASSERT_TRUE(Server("start"));
  {
    pm::JackMidiService service;
    auto far = std::make_unique<Far>();
    ASSERT_NE(far->client, nullptr);
    ASSERT_TRUE(service.Connected());
    ASSERT_EQ(service.midiInGetNumDevs(), 1u);
    ASSERT_EQ(service.midiOutGetNumDevs(), 1u);
    pm::HMIDIIN in = nullptr;
    pm::HMIDIOUT out = nullptr;
    ASSERT_EQ(service.midiInOpen(&in, 0, &Callback, 0, pm::CALLBACK_FUNCTION), 0u);
    ASSERT_EQ(service.midiOutOpen(&out, 0, &Callback, 0, pm::CALLBACK_FUNCTION), 0u);
    ASSERT_EQ(service.midiInStart(in), 0u);

    ASSERT_TRUE(Server("stop"));
    EXPECT_TRUE(WaitUntil([] { return lost.load() == 2; }));
    EXPECT_EQ(service.midiInGetNumDevs(), 0u);
    EXPECT_EQ(service.midiOutGetNumDevs(), 0u);
    EXPECT_EQ(service.midiOutShortMsg(out, 0x403C90), pm::MMSYSERR_NOERROR);
    EXPECT_EQ(service.midiInStop(in), 0u);
    EXPECT_EQ(service.midiInClose(in), 0u);
    EXPECT_EQ(service.midiOutClose(out), 0u);
    far.reset();  // a dead client is closed before a new server takes its name

    ASSERT_TRUE(Server("start"));
    // libjack keeps one view of its server per process while any client is open: the dead
    // client goes (when the service reconnects) before another one comes.
    EXPECT_TRUE(service.Connected());
    Far again;
    ASSERT_NE(again.client, nullptr);
    EXPECT_EQ(service.midiOutGetNumDevs(), 1u);
  }
  EXPECT_TRUE(Server("stop"));
}

}  // namespace
