#pragma once

// The clock phase: a DAW's clock (120 BPM, 48 Timing Clock bytes a second) MIDI -> serial while
// a long dump goes out at a 31250-baud line's pace, through our bridge and, clock alone, through
// the floor. Each clock byte's time on a virtual line is compared with the floor's same clock.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Stream.h"

namespace velmora::bench {

struct ClockFigures {
  bool ran = false;
  std::size_t dumpBytes = 0;
  std::size_t clocks = 0;  // played into each
  std::size_t oursClocks = 0, floorClocks = 0;
  bool dumpWhole = false;  // every byte of it on our line, in order
  double dumpSeconds = 0;  // on our line, from its first byte to its last
  // Each clock's delay beyond the floor's same clock, in microseconds.
  double addedP50 = 0, addedP99 = 0, addedMax = 0;
  double cpuPercent = 0;  // the bridge's threads, of one core, over the phase
};

struct ClockRigging {
  // Plays a short message into our MIDI input (floor false) or the floor's.
  std::function<void(bool floor, std::uint32_t packed)> play;
  // Plays a system exclusive message into our MIDI input.
  std::function<void(const std::vector<std::uint8_t>& dump)> playDump;
  int oursMaster = -1, floorMaster = -1;
  // CPU time used so far by the harness's other threads (the floor's), in seconds.
  std::function<double()> harnessCpu;
  std::function<void(const std::string&)> progress;
};

// Runs on a control thread while the UI thread pumps the bridge, set to 31250 baud and to pass
// system exclusive and clock to the serial port.
ClockFigures RunClockPhase(const ClockRigging& rig, std::size_t dumpBytes);

}  // namespace velmora::bench
