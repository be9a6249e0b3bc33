// The RtMidi back end on a machine where neither the ALSA sequencer nor a JACK server is
// there: no device, no error, and nothing printed.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "midi/MidiInput.h"
#include "midi/MidiOutput.h"
#include "platform/midi/RtMidiService.h"

namespace pm = velmora::platform::midi;

TEST(RtMidiAbsent, AnAbsentApiContributesNothingAndRaisesNothing) {
  if (access("/dev/snd/seq", F_OK) == 0) GTEST_SKIP() << "this machine has an ALSA sequencer";
  const std::string server = "velmora-absent-" + std::to_string(getpid());
  setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);

  ::testing::internal::CaptureStderr();
  auto service = std::make_shared<pm::RtMidiService>();
  EXPECT_EQ(service->midiInGetNumDevs(), 0u);
  EXPECT_EQ(service->midiOutGetNumDevs(), 0u);
  pm::MIDIOUTCAPSA caps;
  EXPECT_EQ(service->midiOutGetDevCapsA(pm::MIDI_MAPPER, &caps, sizeof caps),
            pm::MMSYSERR_NODRIVER);
  pm::HMIDIOUT handle = nullptr;
  EXPECT_EQ(
      service->midiOutOpen(
          &handle, 0, [](void*, std::uint32_t, std::uintptr_t, std::uintptr_t, std::uintptr_t) {},
          0, pm::CALLBACK_FUNCTION),
      pm::MMSYSERR_NODRIVER);
  EXPECT_THROW(velmora::midi::TMidiInput input(service), velmora::midi::EMidiInputError);
  velmora::midi::TMidiOutput output(service);
  EXPECT_EQ(output.DeviceCount(), 0);
  EXPECT_FALSE(output.Open());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}
