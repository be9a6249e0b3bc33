// Our JACK back end where no server runs: $JACK_DEFAULT_SERVER names one that does not exist.

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/midi/JackMidiService.h"

namespace pm = velmora::platform::midi;

TEST(JackServiceAbsent, ListsNothingRefusesToOpenAndIsNotTheDefault) {
  pm::JackMidiService service;
  for (int round = 0; round < 3; ++round) {  // each listing asks for the server again
    EXPECT_FALSE(service.Connected());
    EXPECT_EQ(service.midiInGetNumDevs(), 0u);
    EXPECT_EQ(service.midiOutGetNumDevs(), 0u);
  }
  pm::MIDIOUTCAPSA caps;
  EXPECT_EQ(service.midiOutGetDevCapsA(pm::MIDI_MAPPER, &caps, sizeof caps),
            pm::MMSYSERR_BADDEVICEID);
  const auto ignore = [](void*, std::uint32_t, std::uintptr_t, std::uintptr_t, std::uintptr_t) {};
  pm::HMIDIOUT out = nullptr;
  EXPECT_EQ(service.midiOutOpen(&out, 0, ignore, 0, pm::CALLBACK_FUNCTION),
            pm::MMSYSERR_BADDEVICEID);
  pm::HMIDIIN in = nullptr;
  EXPECT_EQ(service.midiInOpen(&in, 0, ignore, 0, pm::CALLBACK_FUNCTION), pm::MMSYSERR_BADDEVICEID);

  unsetenv("VELMORA_MIDI");
  EXPECT_EQ(dynamic_cast<pm::JackMidiService*>(pm::MakeDefaultMidiService().get()), nullptr);
  setenv("VELMORA_MIDI", "jack", 1);
  EXPECT_NE(dynamic_cast<pm::JackMidiService*>(pm::MakeDefaultMidiService().get()), nullptr);
}
