#pragma once

// The measurements, run on a control thread while the UI thread pumps the bridge's messages.

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Stream.h"
#include "platform/midi/MidiService.h"

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
  std::size_t clockDumpBytes = 65536;  // the dump of the clock phase (simulated service only)
  bool clockOnly = false;              // the clock phase alone
  bool slowWork = false;  // the slow-work phase alone: forwarding gaps beside captures and saves
  std::size_t timingMessages = 400;   // per way and side in the timing phase (JACK only)
  bool timingOnly = false;            // the timing phase alone (JACK only)
  std::size_t floodMessages = 20000;  // per way, burst size and side in the flood (JACK only)
  bool floodOnly = false;             // the flood alone (JACK only)
};

// How evenly a path keeps time: the spread of its delays, p90 - p10, beside their median.
struct Spread {
  double p10 = 0, p50 = 0, p90 = 0;
  std::size_t count = 0, lost = 0;
  double Width() const { return p90 - p10; }
};

// Line rate at 38400 baud 8N1: 3840 bytes/s, 1280 three-byte messages/s.
inline constexpr double kLineMessagesPerSecond = 1280.0;

struct Percentiles {
  double p50 = 0, p99 = 0, p999 = 0, max = 0;
  std::size_t count = 0, lost = 0;
};

// The latencies a stream timed, as percentiles, and what it lost.
Percentiles Summarise(const Stream& stream);
// The same of latencies gathered elsewhere, in microseconds.
Percentiles Summarise(std::vector<double> values, std::size_t lost);

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
  bool lineInOrder = true, lineOnTime = true;  // what else the loss-free verdict asks
  std::uint64_t lineSentEachWay = 0, lineLostToSerial = 0, lineLostToMidi = 0;
  double cpuLinePercent = 0;  // of one core, bridge threads only
  double cpuIdlePercent = 0;
  // The floor's own threads in the same moments (driven at line rate beside ours).
  double cpuLineFloorPercent = 0, cpuIdleFloorPercent = 0;
  long peakRssKb = 0;
  std::uint64_t latencyXruns = 0, lineXruns = 0;  // during those phases, with JACK
  // Of those, the ones that JACK's server blamed on the bridge's own client.
  std::uint64_t latencyOurXruns = 0, lineOurXruns = 0;
  // The bridge's JACK process callback in those phases (started afresh before each).
  platform::midi::ProcessTimes latencyProcess, lineProcess;
  // The floor's JACK process callback in the same phases: what this machine allows.
  platform::midi::ProcessTimes latencyFloorProcess, lineFloorProcess;
  // The timing phase (JACK only): messages scattered in time, each way.
  bool timed = false;
  Spread timingOursToSerial, timingFloorToSerial, timingOursToMidi, timingFloorToMidi;
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
  // Of those, the ones that JACK's server named the bridge's client in. Unset without JACK.
  std::function<std::uint64_t()> ourXruns;
  // The run times of the bridge's JACK process callback, and starting them afresh. Unset
  // without JACK.
  std::function<platform::midi::ProcessTimes()> processTimes;
  std::function<void()> resetProcessTimes;
  // CPU time used so far by the floor's own threads, in seconds (part of harnessCpu).
  std::function<double()> floorCpu;
  // The floor's JACK process callback, as processTimes. Unset without JACK.
  std::function<platform::midi::ProcessTimes()> floorProcessTimes;
  std::function<void()> resetFloorProcessTimes;
  bool floorThroughput = false;  // also find the floor's loss-free rates
  // Timing (JACK only): plays a message at the frame that stands for `at`; arrivals stamped at
  // their frame's time while framed.
  std::function<bool(bool floor, std::uint32_t packed, SteadyClock::time_point at)> playAt;
  std::function<void(bool)> setFramed;
};

// The timing phase alone.
void Timing(const Options& options, const Rigging& rig, Results& results);

Results RunPhases(const Options& options, const Rigging& rig);

// The longest gap between two messages forwarded, each way, ours and the floor's, at `rate`
// messages a second each way for `seconds` while `meanwhile` runs on a thread of its own.
struct Gaps {
  double oursToSerialMs = 0, floorToSerialMs = 0, oursToMidiMs = 0, floorToMidiMs = 0;
  std::uint64_t sentEachWay = 0, lostToSerial = 0, lostToMidi = 0;
};
Gaps LargestGaps(const Rigging& rig, double rate, double seconds,
                 const std::function<void()>& meanwhile);

// The pieces of the rate phases, for other drivers of the same paths (--program).

// Which far ends a load drives: ours, the floor's, or both in the same moments.
enum class Sides { Ours, Floor, Both };

// What one side was sent in one rate tried, one way, and what came back.
struct RateOutcome {
  std::uint64_t sent = 0, received = 0;
  std::uint64_t refused = 0;  // waits for room in the harness's MIDI source
  bool inOrder = true;
  bool onTime = true;  // the load kept its schedule
  std::uint64_t Lost() const { return sent - std::min(sent, received); }
};

// Waits until every stream received its count, or nothing moved for a second.
void Drain(const std::vector<std::pair<Stream*, std::uint64_t>>& expected);

// `rate` messages a second MIDI -> serial (`toSerial`) or serial -> MIDI for `seconds`, paced
// each millisecond, into `sides`; waits for what is still on its way. [0] ours, [1] the floor.
std::array<RateOutcome, 2> TryRate(const Rigging& rig, bool toSerial, double rate, double seconds,
                                   Sides sides);

}  // namespace velmora::bench
