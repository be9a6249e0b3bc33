#include "Phases.h"

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <thread>

#include "support/Pty.h"

namespace velmora::bench {

namespace {

using namespace std::chrono_literals;

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ThisThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Bridge CPU: the whole process minus the harness's own threads.
class CpuMeter {
 public:
  explicit CpuMeter(const Rigging& rig) : rig_(rig) { start_ = Now(); }
  double PercentOfOneCore() const {
    const double used = Now() - start_;
    const double wall = std::chrono::duration<double>(SteadyClock::now() - wallStart_).count();
    return wall > 0 ? 100.0 * std::max(0.0, used) / wall : 0.0;
  }

 private:
  double Now() const { return ProcessCpuSeconds() - rig_.harnessCpu() - ThisThreadCpuSeconds(); }
  const Rigging& rig_;
  double start_ = 0;
  SteadyClock::time_point wallStart_ = SteadyClock::now();
};

std::uint64_t Xruns(const Rigging& rig) {
  return rig.xruns ? rig.xruns() : 0;
}

std::uint64_t OurXruns(const Rigging& rig) {
  return rig.ourXruns ? rig.ourXruns() : 0;
}

void ResetProcessTimes(const Rigging& rig) {
  if (rig.resetProcessTimes) rig.resetProcessTimes();
  if (rig.resetFloorProcessTimes) rig.resetFloorProcessTimes();
}

platform::midi::ProcessTimes FloorProcessTimesOf(const Rigging& rig) {
  return rig.floorProcessTimes ? rig.floorProcessTimes() : platform::midi::ProcessTimes{};
}

// The floor's CPU over a phase, as a share of one core.
class FloorCpuMeter {
 public:
  explicit FloorCpuMeter(const Rigging& rig) : rig_(rig), start_(Now()) {}
  double PercentOfOneCore() const {
    const double wall = std::chrono::duration<double>(SteadyClock::now() - wallStart_).count();
    return wall > 0 ? 100.0 * std::max(0.0, Now() - start_) / wall : 0.0;
  }

 private:
  double Now() const { return rig_.floorCpu ? rig_.floorCpu() : 0.0; }
  const Rigging& rig_;
  double start_ = 0;
  SteadyClock::time_point wallStart_ = SteadyClock::now();
};

platform::midi::ProcessTimes ProcessTimesOf(const Rigging& rig) {
  return rig.processTimes ? rig.processTimes() : platform::midi::ProcessTimes{};
}

void SendToSerialSide(int master, Stream& stream, std::uint32_t seq) {
  std::uint8_t bytes[3];
  BytesOf(seq, bytes);
  stream.Left(seq, SteadyClock::now());
  WriteAll(master, bytes, 3);
}

// Four streams, each 1 ms apart, interleaved a quarter of a millisecond from each other, so
// that ours and the floor see the same machine at the same time.
void Latency(const Options& options, const Rigging& rig, Results& results) {
  const std::size_t n = options.messages;
  for (Stream* s : {rig.oursToSerial, rig.floorToSerial, rig.oursToMidi, rig.floorToMidi}) {
    s->Reset(n);
  }
  std::minstd_rand random(42);
  std::uniform_int_distribution<int> dither(0, 499);
  const auto t0 = SteadyClock::now() + 10ms;
  for (std::size_t i = 0; i < n; ++i) {
    const auto base = t0 + std::chrono::milliseconds(i);
    const auto seq = static_cast<std::uint32_t>(i);
    std::this_thread::sleep_until(base);
    rig.play(false, PackedOf(seq));
    std::this_thread::sleep_until(base + 250us);
    rig.play(true, PackedOf(seq));
    if (options.jack) {
      // What reaches JACK waits for the next cycle: ours and the floor must meet the cycle at
      // the same phase, so they are sent together, first one then the other, at a time
      // scattered across the cycle (1 ms does not divide it).
      std::this_thread::sleep_until(base + 500us + std::chrono::microseconds(dither(random)));
      const bool oursFirst = i % 2 == 0;
      SendToSerialSide(oursFirst ? rig.oursMaster : rig.floorMaster,
                       oursFirst ? *rig.oursToMidi : *rig.floorToMidi, seq);
      SendToSerialSide(oursFirst ? rig.floorMaster : rig.oursMaster,
                       oursFirst ? *rig.floorToMidi : *rig.oursToMidi, seq);
    } else {
      std::this_thread::sleep_until(base + 500us);
      SendToSerialSide(rig.oursMaster, *rig.oursToMidi, seq);
      std::this_thread::sleep_until(base + 750us);
      SendToSerialSide(rig.floorMaster, *rig.floorToMidi, seq);
    }
    if (i % 5000 == 4999) rig.progress("latency: " + std::to_string(i + 1) + " messages");
  }
  Drain({{rig.oursToSerial, n}, {rig.floorToSerial, n}, {rig.oursToMidi, n}, {rig.floorToMidi, n}});
  results.oursToSerial = Summarise(*rig.oursToSerial);
  results.floorToSerial = Summarise(*rig.floorToSerial);
  results.oursToMidi = Summarise(*rig.oursToMidi);
  results.floorToMidi = Summarise(*rig.floorToMidi);
}

struct LoadOutcome {
  std::uint64_t sentToSerial = 0, sentToMidi = 0;
  std::uint64_t refused = 0;  // messages the MIDI side would not take to play
  bool onTime = true;         // the load kept its schedule (a blocked write means it did not)
};

// Messages at `toSerialRate` into the MIDI input and `toMidiRate` into the serial line of each
// side in `sides`, paced each millisecond, for `seconds`; [0] ours, [1] the floor's. Both sides
// get each message in turn, in the same moments.
std::array<LoadOutcome, 2> Load(const Rigging& rig, double toSerialRate, double toMidiRate,
                                double seconds, Sides sides = Sides::Ours) {
  const bool drive[2] = {sides != Sides::Floor, sides != Sides::Ours};
  const int masters[2] = {rig.oursMaster, rig.floorMaster};
  std::array<LoadOutcome, 2> outcome;
  const auto t0 = SteadyClock::now();
  const auto ticks = static_cast<std::uint64_t>(seconds * 1000.0);
  std::vector<std::uint8_t> block;
  for (std::uint64_t k = 1; k <= ticks; ++k) {
    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(k));
    const auto serialDue =
        static_cast<std::uint64_t>(toSerialRate * static_cast<double>(k) / 1000.0);
    bool waiting[2] = {!drive[0], !drive[1]};  // refused: the same message again next tick
    for (bool more = true; more;) {
      more = false;
      for (int side = 0; side < 2; ++side) {
        LoadOutcome& load = outcome[side];
        if (waiting[side] || load.sentToSerial >= serialDue) continue;
        if (rig.play(side == 1, PackedOf(static_cast<std::uint32_t>(load.sentToSerial)))) {
          ++load.sentToSerial;
          more = true;
        } else {
          ++load.refused;
          waiting[side] = true;
        }
      }
    }
    const auto midiDue = static_cast<std::uint64_t>(toMidiRate * static_cast<double>(k) / 1000.0);
    for (int side = 0; side < 2; ++side) {
      if (!drive[side]) continue;
      LoadOutcome& load = outcome[side];
      block.clear();
      for (; load.sentToMidi < midiDue; ++load.sentToMidi) {
        std::uint8_t bytes[3];
        BytesOf(static_cast<std::uint32_t>(load.sentToMidi), bytes);
        block.insert(block.end(), bytes, bytes + 3);
      }
      if (!block.empty()) WriteAll(masters[side], block.data(), block.size());
    }
  }
  const double took = std::chrono::duration<double>(SteadyClock::now() - t0).count();
  for (LoadOutcome& load : outcome) load.onTime = took <= seconds * 1.05 + 0.05;
  return outcome;
}

void Throughputs(const Options& options, const Rigging& rig, bool toSerial, bool floor,
                 Throughput& result) {
  for (int multiple : options.multiples) {
    const double rate = kLineMessagesPerSecond * multiple;
    const std::uint64_t refusedBefore = rig.ringRefusals ? rig.ringRefusals() : 0;
    const std::uint64_t xrunsBefore = Xruns(rig);
    const RateOutcome trial = TryRate(rig, toSerial, rate, options.throughputSeconds,
                                      floor ? Sides::Floor : Sides::Ours)[floor ? 1 : 0];
    std::string failure;
    if (trial.received != trial.sent) {
      failure = std::to_string(trial.Lost()) + " of " + std::to_string(trial.sent) + " lost";
      if (toSerial && !floor && rig.ringRefusals) {
        failure += " (" + std::to_string(rig.ringRefusals() - refusedBefore) +
                   " refused by the MIDI input's ring, the rest by the port's output buffer)";
      }
    } else if (!trial.inOrder) {
      failure = "out of order";
    } else if (trial.refused > 0) {
      failure = "the harness's MIDI source fell behind (" + std::to_string(trial.refused) +
                " waits for room)";
    } else if (!trial.onTime) {
      failure = "the load could not keep its pace";
    }
    if (!failure.empty() && Xruns(rig) > xrunsBefore) {
      failure += "; JACK xruns meanwhile: " + std::to_string(Xruns(rig) - xrunsBefore);
    }
    rig.progress(std::string(floor ? "floor " : "") +
                 (toSerial ? "MIDI->serial " : "serial->MIDI ") + std::to_string(multiple) +
                 "x line rate: " + (failure.empty() ? "ok" : failure));
    if (!failure.empty()) {
      result.firstFailure = std::to_string(multiple) + "x: " + failure;
      return;
    }
    result.multiple = multiple;
    result.messagesPerSecond = rate;
  }
}

std::string Seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", value);
  return text;
}

}  // namespace

Percentiles Summarise(const Stream& stream) {
  std::size_t lost = 0;
  std::vector<double> values = stream.LatenciesUs(lost);
  return Summarise(std::move(values), lost);
}

Percentiles Summarise(std::vector<double> values, std::size_t lost) {
  Percentiles result;
  result.lost = lost;
  result.count = values.size();
  if (values.empty()) return result;
  std::sort(values.begin(), values.end());
  auto rank = [&](double q) {
    const auto index = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values[std::min(values.size() - 1, index == 0 ? 0 : index - 1)];
  };
  result.p50 = rank(0.50);
  result.p99 = rank(0.99);
  result.p999 = rank(0.999);
  result.max = values.back();
  return result;
}

void Drain(const std::vector<std::pair<Stream*, std::uint64_t>>& expected) {
  std::uint64_t last = ~0ull;
  auto still = SteadyClock::now();
  for (;;) {
    std::uint64_t total = 0;
    bool done = true;
    for (auto& [stream, count] : expected) {
      total += stream->Received();
      done = done && stream->Received() >= count;
    }
    if (done) return;
    if (total != last) {
      last = total;
      still = SteadyClock::now();
    } else if (SteadyClock::now() - still > 1s) {
      return;
    }
    std::this_thread::sleep_for(5ms);
  }
}

std::array<RateOutcome, 2> TryRate(const Rigging& rig, bool toSerial, double rate, double seconds,
                                   Sides sides) {
  const bool drive[2] = {sides != Sides::Floor, sides != Sides::Ours};
  Stream* streams[2] = {toSerial ? rig.oursToSerial : rig.oursToMidi,
                        toSerial ? rig.floorToSerial : rig.floorToMidi};
  for (int side = 0; side < 2; ++side) {
    if (drive[side]) streams[side]->Reset(0);
  }
  const auto loads =
      toSerial ? Load(rig, rate, 0, seconds, sides) : Load(rig, 0, rate, seconds, sides);
  std::array<RateOutcome, 2> outcome;
  std::vector<std::pair<Stream*, std::uint64_t>> expected;
  for (int side = 0; side < 2; ++side) {
    if (!drive[side]) continue;
    RateOutcome& trial = outcome[side];
    trial.sent = toSerial ? loads[side].sentToSerial : loads[side].sentToMidi;
    trial.refused = loads[side].refused;
    trial.onTime = loads[side].onTime;
    expected.emplace_back(streams[side], trial.sent);
  }
  Drain(expected);
  for (int side = 0; side < 2; ++side) {
    if (!drive[side]) continue;
    outcome[side].received = streams[side]->Received();
    outcome[side].inOrder = streams[side]->InOrder();
  }
  return outcome;
}

namespace {

Spread SpreadOf(const Stream& stream) {
  Spread spread;
  // The floor sends a cycle's events as the cycle is processed: ahead of their frames' times.
  std::vector<double> values = stream.LatenciesUs(spread.lost, true);
  spread.count = values.size();
  if (values.empty()) return spread;
  std::sort(values.begin(), values.end());
  const auto at = [&](double share) {
    return values[std::min(values.size() - 1, static_cast<std::size_t>(share * values.size()))];
  };
  spread.p10 = at(0.10);
  spread.p50 = at(0.50);
  spread.p90 = at(0.90);
  return spread;
}

}  // namespace

// Messages 7 ms apart plus up to 3 ms more, so that they fall anywhere in a cycle: MIDI ->
// serial placed at their frames by the far side, serial -> MIDI written to the line at their
// times. Ours and the floor get the same times.
void Timing(const Options& options, const Rigging& rig, Results& results) {
  if (!rig.playAt || !rig.setFramed) return;
  const std::size_t n = options.timingMessages;
  for (Stream* s : {rig.oursToSerial, rig.floorToSerial, rig.oursToMidi, rig.floorToMidi}) {
    s->Reset(n);
  }
  std::minstd_rand random(7);
  std::uniform_int_distribution<int> extra(0, 2999);
  std::vector<SteadyClock::time_point> times(n);
  const auto schedule = [&](SteadyClock::time_point from) {
    auto at = from;
    for (auto& time : times) {
      at += 7ms + std::chrono::microseconds(extra(random));
      time = at;
    }
  };
  rig.setFramed(true);
  rig.progress("timing: " + std::to_string(n) + " messages each way, 7 to 10 ms apart");
  schedule(SteadyClock::now() + 200ms);
  for (std::size_t i = 0; i < n; ++i) {
    const auto seq = static_cast<std::uint32_t>(i);
    rig.playAt(false, PackedOf(seq), times[i]);
    rig.playAt(true, PackedOf(seq), times[i]);
  }
  std::this_thread::sleep_until(times.back() + 100ms);
  Drain({{rig.oursToSerial, n}, {rig.floorToSerial, n}});
  schedule(SteadyClock::now() + 50ms);
  for (std::size_t i = 0; i < n; ++i) {
    const auto seq = static_cast<std::uint32_t>(i);
    std::this_thread::sleep_until(times[i]);
    const bool oursFirst = i % 2 == 0;
    SendToSerialSide(oursFirst ? rig.oursMaster : rig.floorMaster,
                     oursFirst ? *rig.oursToMidi : *rig.floorToMidi, seq);
    SendToSerialSide(oursFirst ? rig.floorMaster : rig.oursMaster,
                     oursFirst ? *rig.floorToMidi : *rig.oursToMidi, seq);
  }
  Drain({{rig.oursToMidi, n}, {rig.floorToMidi, n}});
  rig.setFramed(false);
  results.timed = true;
  results.timingOursToSerial = SpreadOf(*rig.oursToSerial);
  results.timingFloorToSerial = SpreadOf(*rig.floorToSerial);
  results.timingOursToMidi = SpreadOf(*rig.oursToMidi);
  results.timingFloorToMidi = SpreadOf(*rig.floorToMidi);
}

Gaps LargestGaps(const Rigging& rig, double rate, double seconds,
                 const std::function<void()>& meanwhile) {
  for (Stream* stream : {rig.oursToSerial, rig.floorToSerial, rig.oursToMidi, rig.floorToMidi})
    stream->Reset(0);
  std::thread beside(meanwhile);
  const auto loads = Load(rig, rate, rate, seconds, Sides::Both);
  beside.join();
  Drain({{rig.oursToSerial, loads[0].sentToSerial},
         {rig.floorToSerial, loads[1].sentToSerial},
         {rig.oursToMidi, loads[0].sentToMidi},
         {rig.floorToMidi, loads[1].sentToMidi}});
  Gaps gaps;
  gaps.oursToSerialMs = rig.oursToSerial->LargestGapUs() / 1000.0;
  gaps.floorToSerialMs = rig.floorToSerial->LargestGapUs() / 1000.0;
  gaps.oursToMidiMs = rig.oursToMidi->LargestGapUs() / 1000.0;
  gaps.floorToMidiMs = rig.floorToMidi->LargestGapUs() / 1000.0;
  gaps.sentEachWay = loads[0].sentToSerial;
  gaps.lostToSerial =
      loads[0].sentToSerial - std::min(loads[0].sentToSerial, rig.oursToSerial->Received());
  gaps.lostToMidi = loads[0].sentToMidi - std::min(loads[0].sentToMidi, rig.oursToMidi->Received());
  return gaps;
}

Results RunPhases(const Options& options, const Rigging& rig) {
  Results results;
  Timing(options, rig, results);
  if (options.timingOnly) return results;
  rig.progress("latency: " + std::to_string(options.messages) + " messages per stream, 1 ms apart");
  const std::uint64_t xrunsBefore = Xruns(rig);
  const std::uint64_t ourXrunsBefore = OurXruns(rig);
  ResetProcessTimes(rig);
  Latency(options, rig, results);
  results.latencyProcess = ProcessTimesOf(rig);
  results.latencyFloorProcess = FloorProcessTimesOf(rig);
  results.latencyXruns = Xruns(rig) - xrunsBefore;
  results.latencyOurXruns = OurXruns(rig) - ourXrunsBefore;

  rig.progress("idle: " + Seconds(options.idleSeconds) + " with the port open");
  {
    CpuMeter meter(rig);
    FloorCpuMeter floorMeter(rig);
    std::this_thread::sleep_for(std::chrono::duration<double>(options.idleSeconds));
    results.cpuIdlePercent = meter.PercentOfOneCore();
    results.cpuIdleFloorPercent = floorMeter.PercentOfOneCore();
  }

  rig.progress("both ways at line rate for " + Seconds(options.lineSeconds));
  {
    for (Stream* s : {rig.oursToSerial, rig.floorToSerial, rig.oursToMidi, rig.floorToMidi}) {
      s->Reset(0);
    }
    CpuMeter meter(rig);
    FloorCpuMeter floorMeter(rig);
    const std::uint64_t lineXrunsBefore = Xruns(rig);
    const std::uint64_t lineOurXrunsBefore = OurXruns(rig);
    ResetProcessTimes(rig);
    // The floor runs beside ours, so that its CPU is measured in the same moments.
    const auto loads =
        Load(rig, kLineMessagesPerSecond, kLineMessagesPerSecond, options.lineSeconds, Sides::Both);
    const LoadOutcome& load = loads[0];
    results.cpuLinePercent = meter.PercentOfOneCore();
    results.cpuLineFloorPercent = floorMeter.PercentOfOneCore();
    Drain({{rig.oursToSerial, load.sentToSerial},
           {rig.oursToMidi, load.sentToMidi},
           {rig.floorToSerial, loads[1].sentToSerial},
           {rig.floorToMidi, loads[1].sentToMidi}});
    results.lineProcess = ProcessTimesOf(rig);
    results.lineFloorProcess = FloorProcessTimesOf(rig);
    results.lineXruns = Xruns(rig) - lineXrunsBefore;
    results.lineOurXruns = OurXruns(rig) - lineOurXrunsBefore;
    results.lineSentEachWay = load.sentToSerial;
    results.lineLostToSerial =
        load.sentToSerial - std::min(load.sentToSerial, rig.oursToSerial->Received());
    results.lineLostToMidi =
        load.sentToMidi - std::min(load.sentToMidi, rig.oursToMidi->Received());
    results.lineInOrder = rig.oursToSerial->InOrder() && rig.oursToMidi->InOrder();
    results.lineOnTime = load.onTime;
    results.lineRateLossFree = load.onTime && results.lineLostToSerial == 0 &&
                               results.lineLostToMidi == 0 && results.lineInOrder;
  }

  Throughputs(options, rig, true, false, results.toSerial);
  Throughputs(options, rig, false, false, results.toMidi);
  if (rig.floorThroughput) {
    Throughputs(options, rig, true, true, results.floorToSerialRate);
    Throughputs(options, rig, false, true, results.floorToMidiRate);
  }

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  results.peakRssKb = usage.ru_maxrss;
  return results;
}

}  // namespace velmora::bench
