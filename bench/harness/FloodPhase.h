#pragma once

// The flood through JACK: every kind of message that crosses, numbered, in bursts of many
// events a cycle MIDI -> serial and in large blocks serial -> MIDI, through the bridge and
// through a floor that forwards each event as it is, each checked on arrival: whole, unchanged,
// in order (real-time bytes in order among themselves), none twice, none invented.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/Bridge.h"
#include "platform/midi/ProcessTimes.h"
#include "support/Pty.h"

namespace velmora::bench {

struct FloodRigging {
  core::Bridge* bridge = nullptr;
  // Chooses the bridge's MIDI devices by their listed names; UI thread.
  std::function<bool(const std::string& input, const std::string& output)> selectMidi;
  std::string midiIn, midiOut;  // the devices to go back to
  // Runs work on a control thread while the UI thread pumps the bridge's messages.
  std::function<void(const std::function<void()>&)> whilePumping;
  const Pty* oursPty = nullptr;             // the bridge's serial port
  std::function<std::uint64_t()> ourXruns;  // xruns the server blamed on the bridge's client
  // The bridge's process callback: its longest run since the last reset, and the reset.
  std::function<platform::midi::ProcessTimes()> processTimes;
  std::function<void()> resetProcessTimes;
  std::function<void(const std::string&)> progress;
};

// Runs on the UI thread with the bridge ready, nothing else reading its pseudo-terminal;
// prints a table and a line of JSON. Leaves the bridge on the MIDI devices and choices it had.
// 0 when nothing of ours was lost, altered, reordered or doubled.
int RunFlood(const FloodRigging& rig, std::size_t messages);

}  // namespace velmora::bench
