#pragma once

// The measurements, run on a control thread while the UI thread pumps the bridge's messages.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Stream.h"

namespace velmora::bench {

struct Options {
  std::size_t messages = 20000;                                  // per latency stream, 1 ms apart
  double throughputSeconds = 10;                                 // per rate tried
  double lineSeconds = 60;                                       // both ways at line rate
  double idleSeconds = 10;                                       // port open, no traffic
  std::vector<int> multiples = {1, 10, 50, 100, 200, 400, 800};  // of the line rate, in this order
  bool jack = false;         // MIDI on our JACK back end, on a JACK server of the harness
  int jackPeriod = 64;       // frames per JACK cycle, at 48 kHz
  bool jackRealtime = true;  // JACK's threads on real-time scheduling, where the system allows
};

// Line rate at 38400 baud 8N1: 3840 bytes/s, 1280 three-byte messages/s.
inline constexpr double kLineMessagesPerSecond = 1280.0;

struct Percentiles {
  double p50 = 0, p99 = 0, p999 = 0, max = 0;
  std::size_t count = 0, lost = 0;
};

struct Throughput {
  int multiple = 0;  // highest multiple of the line rate sustained with nothing lost; 0: none
  double messagesPerSecond = 0;
  std::string firstFailure;  // what went wrong at the next rate, if one was tried
};

struct Results {
  Percentiles oursToSerial, floorToSerial, oursToMidi, floorToMidi;
  Throughput toSerial, toMidi;
  Throughput floorToSerialRate, floorToMidiRate;  // measured with --jack only
  bool lineRateLossFree = false;
  std::uint64_t lineSentEachWay = 0, lineLostToSerial = 0, lineLostToMidi = 0;
  double cpuLinePercent = 0;  // of one core, bridge threads only
  double cpuIdlePercent = 0;
  long peakRssKb = 0;
  std::uint64_t latencyXruns = 0, lineXruns = 0;  // during those phases, with JACK
};

// The devices and streams the phases drive.
struct Rigging {
  // Plays a message into our MIDI input or the floor's; false when it was refused.
  std::function<bool(bool floor, std::uint32_t packed)> play;
  int oursMaster = -1, floorMaster = -1;
  Stream* oursToSerial = nullptr;
  Stream* floorToSerial = nullptr;
  Stream* oursToMidi = nullptr;
  Stream* floorToMidi = nullptr;
  // CPU time used so far by the harness's own threads (load, taps, floor), in seconds.
  std::function<double()> harnessCpu;
  std::function<void(const std::string&)> progress;
  // What the MIDI input's ring has refused so far.
  std::function<std::uint64_t()> ringRefusals;
  // Cycles that JACK reported overrun so far (xruns): what a late client wrote in one may be lost
  // or read twice. Unset without JACK.
  std::function<std::uint64_t()> xruns;
  bool floorThroughput = false;  // also find the floor's loss-free rates
};

Results RunPhases(const Options& options, const Rigging& rig);

}  // namespace velmora::bench
