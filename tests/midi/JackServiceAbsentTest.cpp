// Our JACK back end where no server runs: $JACK_DEFAULT_SERVER names one that does not exist.

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/midi/JackFollowingMidiService.h"
#include "platform/midi/JackMidiService.h"

namespace pm = velmora::platform::midi;

TEST(JackServiceAbsent, ListsNothingAndRefusesToOpenForWantOfTheService) {
  pm::JackMidiService service;
  for (int round = 0; round < 3; ++round) {  // each listing asks for the server again
    EXPECT_FALSE(service.Connected());
    EXPECT_EQ(service.midiInGetNumDevs(), 0u);
    EXPECT_EQ(service.midiOutGetNumDevs(), 0u);
  }
  pm::MIDIOUTCAPSA caps;
  EXPECT_EQ(service.midiOutGetDevCapsA(pm::MIDI_MAPPER, &caps, sizeof caps), pm::MMSYSERR_NODRIVER);
  const auto ignore = [](void*, std::uint32_t, std::uintptr_t, std::uintptr_t, std::uintptr_t) {};
  pm::HMIDIOUT out = nullptr;
  EXPECT_EQ(service.midiOutOpen(&out, 0, ignore, 0, pm::CALLBACK_FUNCTION), pm::MMSYSERR_NODRIVER);
  pm::HMIDIIN in = nullptr;
  EXPECT_EQ(service.midiInOpen(&in, 0, ignore, 0, pm::CALLBACK_FUNCTION), pm::MMSYSERR_NODRIVER);
}

// Without a server, JACK only where asked for; otherwise a service that joins one once it runs.
TEST(JackServiceAbsent, TheDefaultServiceFollowsTheServerUnlessAChoiceWasMade) {
  const struct {
    const char* choice;
    bool jack, following;
  } cases[] = {{nullptr, false, true}, {"jack", true, false}, {"alsa", false, false}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.choice != nullptr ? test.choice : "(none)");
    if (test.choice != nullptr) {
      setenv("VELMORA_MIDI", test.choice, 1);
    } else {
      unsetenv("VELMORA_MIDI");
    }
    const auto service = pm::MakeDefaultMidiService();
    EXPECT_EQ(dynamic_cast<pm::JackMidiService*>(service.get()) != nullptr, test.jack);
    EXPECT_EQ(dynamic_cast<pm::JackFollowingMidiService*>(service.get()) != nullptr,
              test.following);
  }
  unsetenv("VELMORA_MIDI");
}
