// velmora-bench: latency, throughput, CPU and memory of the real bridge, headless, with a
// minimal forwarder beside it as the floor. Prints a table, then one line of JSON.

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "ClockPhase.h"
#include "Phases.h"
#include "Rig.h"
#include "core/Settings.h"
#include "platform/MessagePump.h"
#include "platform/midi/InputOnPumpThread.h"
#ifdef VELMORA_BENCH_PROGRAM_MODE
#include "ProgramRig.h"
#endif
#ifdef VELMORA_BENCH_JACK
#include "FloodPhase.h"
#include "JackRig.h"
#include "platform/midi/JackMidiService.h"
#endif

namespace {

using namespace velmora;
using namespace velmora::bench;

constexpr const char* kUsage =
    "usage: velmora-bench [--quick] [--messages N] [--throughput-seconds S] [--line-seconds S]\n"
    "                     [--idle-seconds S] [--multiples A,B,...] [--jack [--jack-period F] "
    "[--jack-no-realtime]]\n"
    "                     [--clock-only] [--slow-work] [--flood-only [--flood-messages N]]\n"
    "       velmora-bench --program [...]  (the velmora program itself; --program --help)\n"
    "  --quick   a short run for trying: 2000 messages, 2 s per rate, 5 s line rate, 2 s idle\n"
    "  --jack    MIDI on our JACK back end against a JACK server that the harness starts\n"
    "            (jackd, dummy driver, 48 kHz, F frames a cycle, 64 unless given; JACK's threads\n"
    "            on real-time scheduling where the system allows, unless --jack-no-realtime)\n"
    "  --clock-only  the clock phase alone: 120 BPM MIDI -> serial during a 64 KiB dump\n"
    "  --timing-only (with --jack) the timing phase alone: messages 7-10 ms apart each way,\n"
    "            the spread of their delays beside a floor that forwards each cycle at once;\n"
    "            --timing-messages N per way (400)\n"
    "  --flood-only  (with --jack; a full --jack run ends with it) the flood alone: every kind\n"
    "            of message, numbered, in bursts of 100 and 1000 events a cycle MIDI -> serial "
    "and\n"
    "            in blocks of as many serial -> MIDI, checked whole and in order, ours beside the\n"
    "            floor; --flood-messages N per run (20000)\n"
    "  --slow-work   1000 messages a second each way for 10 s while, on the bridge's thread,\n"
    "                captures to a FIFO nobody reads start and stop, the choices are saved 50\n"
    "                times and the MIDI ports are switched to a second pair and back: the\n"
    "                longest gap in forwarding each way, ours beside the floor's\n";

bool Parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string{}; };
    try {
      if (arg == "--quick") {
        options.messages = 2000;
        options.throughputSeconds = 2;
        options.lineSeconds = 5;
        options.idleSeconds = 2;
        options.multiples = {1, 100};
        options.clockDumpBytes = 16384;
        options.timingMessages = 200;
        options.floodMessages = 2000;
      } else if (arg == "--clock-only") {
        options.clockOnly = true;
      } else if (arg == "--timing-only") {
        options.timingOnly = true;
      } else if (arg == "--timing-messages") {
        options.timingMessages = std::stoul(value());
      } else if (arg == "--flood-only") {
        options.floodOnly = true;
      } else if (arg == "--flood-messages") {
        options.floodMessages = std::stoul(value());
      } else if (arg == "--slow-work") {
        options.slowWork = true;
      } else if (arg == "--jack") {
        options.jack = true;
      } else if (arg == "--jack-no-realtime") {
        options.jackRealtime = false;
      } else if (arg == "--jack-period") {
        options.jackPeriod = std::stoi(value());
      } else if (arg == "--messages") {
        options.messages = std::stoul(value());
      } else if (arg == "--throughput-seconds") {
        options.throughputSeconds = std::stod(value());
      } else if (arg == "--line-seconds") {
        options.lineSeconds = std::stod(value());
      } else if (arg == "--idle-seconds") {
        options.idleSeconds = std::stod(value());
      } else if (arg == "--multiples") {
        options.multiples.clear();
        std::string list = value();
        for (std::size_t at = 0; at < list.size();) {
          std::size_t used = 0;
          options.multiples.push_back(std::stoi(list.substr(at), &used));
          at += used + 1;
        }
      } else {
        return false;
      }
    } catch (const std::exception&) {
      return false;
    }
  }
  return options.messages > 0 && options.messages <= kSeqMask + 1 && !options.multiples.empty() &&
         options.jackPeriod >= 16 && options.jackPeriod <= 8192 &&
         !(options.jack && (options.clockOnly || options.slowWork)) &&
         (options.jack || !options.timingOnly) && (options.jack || !options.floodOnly) &&
         options.floodMessages > 0 && options.timingMessages > 0 &&
         options.timingMessages <= kSeqMask + 1;
}

double ThreadCpuSeconds(std::thread& thread) {
  clockid_t id{};
  timespec ts{};
  if (pthread_getcpuclockid(thread.native_handle(), &id) != 0 || clock_gettime(id, &ts) != 0) {
    return 0;
  }
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

const char* Mark(bool ok) {
  return ok ? "ok" : "MISSED";
}

void PrintLatency(const char* name, const Percentiles& ours, const Percentiles& floor) {
  std::printf("%-16s %9s %9s %9s %9s %7s\n", name, "p50", "p99", "p99.9", "max", "lost");
  auto row = [](const char* label, double a, double b, double c, double d, std::size_t lost) {
    std::printf("  %-14s %9.1f %9.1f %9.1f %9.1f %7zu\n", label, a, b, c, d, lost);
  };
  row("ours (us)", ours.p50, ours.p99, ours.p999, ours.max, ours.lost);
  row("floor (us)", floor.p50, floor.p99, floor.p999, floor.max, floor.lost);
  row("ours - floor", ours.p50 - floor.p50, ours.p99 - floor.p99, ours.p999 - floor.p999,
      ours.max - floor.max, 0);
  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  std::printf("  %-14s %9.2f %9.2f %9.2f %9.2f\n", "ours / floor", ratio(ours.p50, floor.p50),
              ratio(ours.p99, floor.p99), ratio(ours.p999, floor.p999), ratio(ours.max, floor.max));
}

std::string Json(const Percentiles& p) {
  char text[256];
  std::snprintf(text, sizeof text,
                "{\"p50_us\":%.1f,\"p99_us\":%.1f,\"p999_us\":%.1f,\"max_us\":%.1f,\"count\":%zu,"
                "\"lost\":%zu}",
                p.p50, p.p99, p.p999, p.max, p.count, p.lost);
  return text;
}

// What --jack adds to the figures.
struct JackFigures {
  std::string server, midiIn, midiOut;  // the bridge's devices, as its lists name them
  unsigned sampleRate = 0, period = 0;
  bool realtime = false;
  std::uint64_t xruns = 0, fullCycles = 0, floorDropped = 0;
  std::uint64_t ourXruns = 0;  // of `xruns`, those that the server named our client in
  std::string client;          // our client's name
  std::uint32_t mostPerCycle = 0, capacity = 0;
  long sharedKb = 0;  // JACK's shared memory resident in this process
};

// What one port buffer a cycle allows, in messages a second.
double PortRate(const JackFigures& jack) {
  return jack.period ? static_cast<double>(jack.capacity) * jack.sampleRate / jack.period : 0;
}

std::string Json(const platform::midi::ProcessTimes& t) {
  char text[128];
  std::snprintf(text, sizeof text, "{\"longest_us\":%.1f,\"over_50us\":%llu,\"cycles\":%llu}",
                static_cast<double>(t.longestNs) / 1000.0,
                static_cast<unsigned long long>(t.overBudget),
                static_cast<unsigned long long>(t.cycles));
  return text;
}

std::string Text(const platform::midi::ProcessTimes& t) {
  char text[128];
  std::snprintf(text, sizeof text, "%.1f us (%llu of %llu cycles over 50 us)",
                static_cast<double>(t.longestNs) / 1000.0,
                static_cast<unsigned long long>(t.overBudget),
                static_cast<unsigned long long>(t.cycles));
  return text;
}

std::string Json(const Throughput& t) {
  char text[160];
  std::snprintf(text, sizeof text, "{\"msgs_per_s\":%.0f,\"multiple\":%d}", t.messagesPerSecond,
                t.multiple);
  return text;
}

void PrintRate(const char* label, const Throughput& t) {
  std::printf("%-44s %d x (%.0f msg/s)%s%s\n", label, t.multiple, t.messagesPerSecond,
              t.firstFailure.empty() ? "" : "; next: ", t.firstFailure.c_str());
}

void PrintClock(const ClockFigures& clock) {
  if (!clock.ran) return;
  const bool ok = clock.dumpWhole && clock.oursClocks == clock.clocks &&
                  clock.floorClocks == clock.clocks && clock.addedP99 <= 1000;
  std::printf("\nclock phase: 120 BPM MIDI -> serial during a %zu-byte dump at 31250 baud\n",
              clock.dumpBytes);
  std::printf("  %-42s %zu played, %zu through ours, %zu through the floor\n", "clock bytes",
              clock.clocks, clock.oursClocks, clock.floorClocks);
  std::printf("  %-42s %s, %.1f s on the line\n", "the dump",
              clock.dumpWhole ? "whole" : "NOT WHOLE", clock.dumpSeconds);
  std::printf("  %-42s p50 %.0f us, p99 %.0f us, max %.0f us\n",
              "each clock's delay beyond the floor's", clock.addedP50, clock.addedP99,
              clock.addedMax);
  std::printf("  %-42s %.2f %% of one core\n", "the bridge's CPU meanwhile", clock.cpuPercent);
  std::printf("  %-42s %s\n", "p99 <= 1 ms, the dump whole, no clock lost", Mark(ok));
}

std::string Json(const ClockFigures& clock) {
  if (!clock.ran) return {};
  char text[320];
  std::snprintf(text, sizeof text,
                ",\"clock\":{\"dump_bytes\":%zu,\"clocks\":%zu,\"ours\":%zu,\"floor\":%zu,"
                "\"dump_whole\":%s,\"dump_seconds\":%.2f,\"added_us\":{\"p50\":%.0f,\"p99\":%.0f,"
                "\"max\":%.0f},\"cpu_percent\":%.2f}",
                clock.dumpBytes, clock.clocks, clock.oursClocks, clock.floorClocks,
                clock.dumpWhole ? "true" : "false", clock.dumpSeconds, clock.addedP50,
                clock.addedP99, clock.addedMax, clock.cpuPercent);
  return text;
}

void PrintTiming(const Results& r, unsigned period, unsigned sampleRate) {
  if (!r.timed) return;
  std::printf("timing at %u frames a cycle (%.2f ms): delays in us, spread = p90 - p10\n", period,
              1000.0 * period / std::max(1u, sampleRate));
  std::printf("%-16s %9s %9s %9s %9s %7s\n", "", "p10", "p50", "p90", "spread", "lost");
  const auto row = [](const char* label, const Spread& s) {
    std::printf("  %-14s %9.1f %9.1f %9.1f %9.1f %7zu\n", label, s.p10, s.p50, s.p90, s.Width(),
                s.lost);
  };
  std::printf("MIDI -> serial\n");
  row("ours", r.timingOursToSerial);
  row("floor", r.timingFloorToSerial);
  std::printf("serial -> MIDI\n");
  row("ours", r.timingOursToMidi);
  row("floor", r.timingFloorToMidi);
  std::printf(
      "{\"timing\":{\"period_frames\":%u,\"to_serial_spread_us\":%.1f,"
      "\"floor_to_serial_spread_us\":%.1f,\"to_midi_spread_us\":%.1f,"
      "\"floor_to_midi_spread_us\":%.1f}}\n",
      period, r.timingOursToSerial.Width(), r.timingFloorToSerial.Width(),
      r.timingOursToMidi.Width(), r.timingFloorToMidi.Width());
}

void Print(const Options& options, const Results& r, const JackFigures* jack,
           const ClockFigures& clock = {}) {
  const double addedToSerial50 = r.oursToSerial.p50 - r.floorToSerial.p50;
  const double addedToSerial99 = r.oursToSerial.p99 - r.floorToSerial.p99;
  const double addedToMidi50 = r.oursToMidi.p50 - r.floorToMidi.p50;
  const double addedToMidi99 = r.oursToMidi.p99 - r.floorToMidi.p99;
  const bool latencyOk = addedToSerial50 <= 100 && addedToSerial99 <= 500 && addedToMidi50 <= 100 &&
                         addedToMidi99 <= 500 && r.oursToSerial.lost == 0 && r.oursToMidi.lost == 0;
  const bool throughputOk = r.toSerial.multiple >= 100 && r.toMidi.multiple >= 100;
  const double idleLimit = jack ? 0.3 : 0.1;
  const bool cpuOk = r.cpuLinePercent <= 3.0 && r.cpuLinePercent <= 2 * r.cpuLineFloorPercent &&
                     r.cpuIdlePercent <= idleLimit;
  // JACK's shared memory is the server's, mapped here: not ours to count.
  const long ownRssKb = r.peakRssKb - (jack ? jack->sharedKb : 0);
  const bool rssOk = ownRssKb <= 30 * 1024;
  const bool processOk = r.latencyProcess.longestNs <= platform::midi::kProcessBudgetNs &&
                         r.lineProcess.longestNs <= platform::midi::kProcessBudgetNs;

  std::printf("\nvelmora-bench: %zu messages per latency stream, 1 ms apart, MIDI on %s\n",
              options.messages, jack ? "our JACK back end" : "the simulated service");
  if (jack) {
    std::printf("JACK server %s: dummy driver, %u Hz, %u frames a cycle (%.3f ms), %s\n",
                jack->server.c_str(), jack->sampleRate, jack->period,
                1000.0 * jack->period / std::max(1u, jack->sampleRate),
                jack->realtime ? "real-time scheduling" : "no real-time scheduling");
    std::printf("bridge's MIDI input: %s, output: %s\n", jack->midiIn.c_str(),
                jack->midiOut.c_str());
  }
  std::printf("\n");
  PrintLatency("MIDI -> serial", r.oursToSerial, r.floorToSerial);
  PrintLatency("serial -> MIDI", r.oursToMidi, r.floorToMidi);
  std::printf("\n%-44s %s\n", "added latency p50 <= 100 us, p99 <= 500 us", Mark(latencyOk));
  PrintRate("MIDI -> serial, loss-free for the period", r.toSerial);
  PrintRate("serial -> MIDI, loss-free for the period", r.toMidi);
  if (jack) {
    PrintRate("floor MIDI -> serial, loss-free", r.floorToSerialRate);
    PrintRate("floor serial -> MIDI, loss-free", r.floorToMidiRate);
  }
  std::printf("%-44s %s\n", "each way >= 100 x line rate", Mark(throughputOk));
  std::printf("%-44s %s (%llu each way, lost %llu / %llu%s%s)\n",
              "both ways at line rate, nothing lost", Mark(r.lineRateLossFree),
              static_cast<unsigned long long>(r.lineSentEachWay),
              static_cast<unsigned long long>(r.lineLostToSerial),
              static_cast<unsigned long long>(r.lineLostToMidi),
              r.lineInOrder ? "" : "; out of order", r.lineOnTime ? "" : "; the load fell behind");
  std::printf("%-44s %.3f %% of one core; floor %.3f %% (ratio %.1f)\n",
              "CPU at line rate both ways", r.cpuLinePercent, r.cpuLineFloorPercent,
              r.cpuLineFloorPercent > 0 ? r.cpuLinePercent / r.cpuLineFloorPercent : 0.0);
  std::printf("%-44s %.3f %% of one core; floor %.3f %%\n", "CPU idle, port open", r.cpuIdlePercent,
              r.cpuIdleFloorPercent);
  std::printf("%-44s %s\n",
              jack ? "CPU <= 3 % and <= 2 x floor at line rate, <= 0.3 % idle"
                   : "CPU <= 3 % and <= 2 x floor at line rate, <= 0.1 % idle",
              Mark(cpuOk));
  if (jack) {
    std::printf("%-44s %.1f MB, of which JACK's shared memory %.1f MB; the rest %.1f MB %s\n",
                "peak resident size (VmHWM; <= 30 MB)", r.peakRssKb / 1024.0,
                jack->sharedKb / 1024.0, ownRssKb / 1024.0, Mark(rssOk));
    std::printf(
        "%-44s %llu xruns (%llu while timing latency, %llu at line rate); a port buffer took at "
        "most %u messages a cycle, full in %llu cycles; the floor dropped %llu\n"
        "%-44s %u three-byte messages a cycle: %.0f msg/s (%.0f x line rate)\n",
        "JACK", static_cast<unsigned long long>(jack->xruns),
        static_cast<unsigned long long>(r.latencyXruns),
        static_cast<unsigned long long>(r.lineXruns), jack->mostPerCycle,
        static_cast<unsigned long long>(jack->fullCycles),
        static_cast<unsigned long long>(jack->floorDropped), "a JACK MIDI port buffer holds",
        jack->capacity, PortRate(*jack), PortRate(*jack) / kLineMessagesPerSecond);
    std::printf("%-44s %llu (%llu while timing latency, %llu at line rate)\n",
                ("JACK xruns the server blamed on " + jack->client).c_str(),
                static_cast<unsigned long long>(jack->ourXruns),
                static_cast<unsigned long long>(r.latencyOurXruns),
                static_cast<unsigned long long>(r.lineOurXruns));
    std::printf("%-44s latency phase %s; line rate %s %s\n",
                "our process callback, longest run (<= 50 us)", Text(r.latencyProcess).c_str(),
                Text(r.lineProcess).c_str(), Mark(processOk));
    std::printf("%-44s latency phase %s; line rate %s\n", "the floor's process callback",
                Text(r.latencyFloorProcess).c_str(), Text(r.lineFloorProcess).c_str());
  } else {
    std::printf("%-44s %.1f MB %s\n", "peak resident size (<= 30 MB)", r.peakRssKb / 1024.0,
                Mark(rssOk));
  }
  PrintClock(clock);

  std::string jackJson;
  if (jack) {
    char text[1280];
    std::snprintf(
        text, sizeof text,
        ",\"jack\":{\"sample_rate\":%u,\"period_frames\":%u,\"realtime\":%s,\"xruns\":%llu,"
        "\"xruns_latency\":%llu,\"xruns_line_rate\":%llu,"
        "\"most_per_cycle\":%u,\"port_capacity\":%u,\"port_capacity_msgs_per_s\":%.0f,\"full_"
        "cycles\":%llu,\"floor_dropped\":%llu,"
        "\"shared_memory_rss_kb\":%ld,\"xruns_ours\":%llu,\"xruns_ours_latency\":%llu,"
        "\"xruns_ours_line_rate\":%llu,\"process_callback\":{\"target_us\":50,"
        "\"latency\":%s,\"line_rate\":%s,\"floor_latency\":%s,\"floor_line_rate\":%s}},"
        "\"floor_throughput\":{\"midi_to_serial\":%s,\"serial_to_midi\":%s}",
        jack->sampleRate, jack->period, jack->realtime ? "true" : "false",
        static_cast<unsigned long long>(jack->xruns),
        static_cast<unsigned long long>(r.latencyXruns),
        static_cast<unsigned long long>(r.lineXruns), jack->mostPerCycle, jack->capacity,
        PortRate(*jack), static_cast<unsigned long long>(jack->fullCycles),
        static_cast<unsigned long long>(jack->floorDropped), jack->sharedKb,
        static_cast<unsigned long long>(jack->ourXruns),
        static_cast<unsigned long long>(r.latencyOurXruns),
        static_cast<unsigned long long>(r.lineOurXruns), Json(r.latencyProcess).c_str(),
        Json(r.lineProcess).c_str(), Json(r.latencyFloorProcess).c_str(),
        Json(r.lineFloorProcess).c_str(), Json(r.floorToSerialRate).c_str(),
        Json(r.floorToMidiRate).c_str());
    jackJson = text;
  }
  std::printf(
      "{\"messages\":%zu,\"midi_service\":\"%s\",\"midi_to_serial\":{\"ours\":%s,\"floor\":%s},"
      "\"serial_to_midi\":{\"ours\":%s,\"floor\":%s},"
      "\"added_us\":{\"midi_to_serial_p50\":%.1f,\"midi_to_serial_p99\":%.1f,"
      "\"serial_to_midi_p50\":%.1f,\"serial_to_midi_p99\":%.1f},"
      "\"throughput\":{\"midi_to_serial_msgs_per_s\":%.0f,\"midi_to_serial_multiple\":%d,"
      "\"serial_to_midi_msgs_per_s\":%.0f,\"serial_to_midi_multiple\":%d,"
      "\"seconds_per_rate\":%.1f},"
      "\"line_rate\":{\"seconds\":%.1f,\"sent_each_way\":%llu,\"lost_to_serial\":%llu,"
      "\"lost_to_midi\":%llu,\"loss_free\":%s},"
      "\"cpu_percent\":{\"line_rate\":%.3f,\"idle\":%.3f,\"line_rate_floor\":%.3f,"
      "\"idle_floor\":%.3f},\"peak_rss_kb\":%ld%s%s,"
      "\"targets_met\":{\"latency\":%s,\"throughput\":%s,\"line_rate\":%s,\"cpu\":%s,"
      "\"rss\":%s}}\n",
      options.messages, jack ? "jack" : "simulated", Json(r.oursToSerial).c_str(),
      Json(r.floorToSerial).c_str(), Json(r.oursToMidi).c_str(), Json(r.floorToMidi).c_str(),
      addedToSerial50, addedToSerial99, addedToMidi50, addedToMidi99, r.toSerial.messagesPerSecond,
      r.toSerial.multiple, r.toMidi.messagesPerSecond, r.toMidi.multiple, options.throughputSeconds,
      options.lineSeconds, static_cast<unsigned long long>(r.lineSentEachWay),
      static_cast<unsigned long long>(r.lineLostToSerial),
      static_cast<unsigned long long>(r.lineLostToMidi), r.lineRateLossFree ? "true" : "false",
      r.cpuLinePercent, r.cpuIdlePercent, r.cpuLineFloorPercent, r.cpuIdleFloorPercent, r.peakRssKb,
      jackJson.c_str(), Json(clock).c_str(), latencyOk ? "true" : "false",
      throughputOk ? "true" : "false", r.lineRateLossFree ? "true" : "false",
      cpuOk ? "true" : "false", rssOk ? "true" : "false");
}

void Progress(const std::string& text) {
  std::fprintf(stderr, "... %s\n", text.c_str());
}

bool WaitReady(const BridgeRig& rig) {
  auto& pump = platform::MessagePump::current();
  const auto deadline = SteadyClock::now() + std::chrono::seconds(10);
  while (!rig.Ready() && SteadyClock::now() < deadline) {
    pump.processMessages();
    pump.waitMessage(SteadyClock::now() + std::chrono::milliseconds(10));
  }
  return rig.Ready();
}

// Runs `work` on a control thread while this thread, the UI thread, pumps the bridge's
// messages.
template <typename Work>
void WhilePumping(Work work) {
  auto& pump = platform::MessagePump::current();
  platform::MessageWindow quitter([&](const platform::Message&) -> std::intptr_t {
    pump.quit();
    return 0;
  });
  std::thread control([&, ref = quitter.ref()] {
    work();
    ref.post(platform::WM_USER);
  });
  pump.run();
  control.join();
  pump.resetQuit();  // the closing devices still wait for their messages
}

Results Measure(const Options& options, const Rigging& rigging) {
  Results results;
  WhilePumping([&] { results = RunPhases(options, rigging); });
  return results;
}

// The clock phase on our bridge, set for it meanwhile: 31250 baud, system exclusive and clock
// to the serial port.
ClockFigures MeasureClock(const Options& options, core::Bridge& bridge, const ClockRigging& rig) {
  using core::MessageKind;
  bridge.SetLineSettings(core::LineSettings{31250});
  bridge.SetMessageChoice(
      {core::MessageKinds{MessageKind::Channel, MessageKind::Sysex, MessageKind::Clock}});
  ClockFigures figures;
  WhilePumping([&] { figures = RunClockPhase(rig, options.clockDumpBytes); });
  bridge.SetMessageChoice({});
  bridge.SetLineSettings(core::LineSettings{});
  return figures;
}

// Forwarding at 1000 messages a second each way while the bridge's thread starts and stops
// captures to a FIFO that nobody reads (each writer stays in its open), saves the choices 50
// times to a real file and switches its MIDI input and output to `spare` and back, as the
// window's handlers do: the longest gap each way, beside the floor's in the same moments. The
// player plays into both inputs: the one open takes it.
int RunSlowWork(BridgeRig& rig, const Rigging& rigging, const std::string (&spare)[2]) {
  constexpr double kSeconds = 10;
  constexpr int kSaves = 50;
  constexpr int kCaptures = 10;
  constexpr int kSwitches = 10;
  core::Bridge& bridge = rig.Bridge();
  const std::string first[2] = {rig.Selected(core::DeviceList::MidiIn),
                                rig.Selected(core::DeviceList::MidiOut)};
  int switched = 0;
  bool switchFailed = false;
  char folder[] = "/tmp/velmora-bench-XXXXXX";
  if (::mkdtemp(folder) == nullptr) return 1;
  const std::filesystem::path root(folder);
  const std::string fifo = (root / "capture.fifo").string();
  if (::mkfifo(fifo.c_str(), 0600) != 0) return 1;
  int result = 0;
  {
    core::SettingsStore settings(root / "velmora.conf");
    enum : std::uint32_t { kSave = platform::WM_USER + 1, kStart, kStop, kSwitch };
    platform::MessageWindow work([&](const platform::Message& message) -> std::intptr_t {
      if (message.id == kSave) {
        core::RememberedChoices choices;
        choices.position = core::WindowPosition{static_cast<int>(message.wParam), 0};
        settings.Remember(choices);
      } else if (message.id == kStart) {
        bridge.StartCapture(fifo);
      } else if (message.id == kStop) {
        bridge.StopCapture();
      } else if (message.id == kSwitch) {
        const std::string(&to)[2] = switched % 2 == 0 ? spare : first;
        switchFailed = !rig.SelectMidi(to[0], to[1]) || switchFailed ||
                       rig.Selected(core::DeviceList::MidiIn) != to[0] ||
                       rig.Selected(core::DeviceList::MidiOut) != to[1];
        ++switched;
      }
      return 0;
    });
    const platform::WindowRef ref = work.ref();
    Progress("slow work: 1000 messages a second each way for 10 s, " + std::to_string(kCaptures) +
             " captures to a FIFO, " + std::to_string(kSaves) + " saves and " +
             std::to_string(kSwitches) + " MIDI port switches beside");
    Gaps gaps;
    WhilePumping([&] {
      gaps = LargestGaps(rigging, 1000, kSeconds, [&] {
        const auto t0 = SteadyClock::now();
        const auto step = std::chrono::duration<double>(kSeconds) / (kSaves + 2);
        for (int k = 1; k <= kSaves; ++k) {
          std::this_thread::sleep_until(
              t0 + std::chrono::duration_cast<SteadyClock::duration>(step * k));
          ref.post(kSave, static_cast<std::uintptr_t>(k));
          if (k % (kSaves / kCaptures) == 1) ref.post(kStart);
          if (k % (kSaves / kCaptures) == 3) ref.post(kStop);
          // Apart enough that a switch's own wait is over before the next.
          if (k % (kSaves / kSwitches) == 0) ref.post(kSwitch);
        }
      });
    });
    bridge.StopCapture();
    std::printf(
        "slow work: longest gap MIDI -> serial %.2f ms (floor %.2f), serial -> MIDI %.2f "
        "ms (floor %.2f); %llu sent each way, lost %llu / %llu; %d port switches%s\n",
        gaps.oursToSerialMs, gaps.floorToSerialMs, gaps.oursToMidiMs, gaps.floorToMidiMs,
        static_cast<unsigned long long>(gaps.sentEachWay),
        static_cast<unsigned long long>(gaps.lostToSerial),
        static_cast<unsigned long long>(gaps.lostToMidi), switched,
        switchFailed ? " (a port was not listed or not taken)" : "");
    const bool met = gaps.oursToSerialMs <= gaps.floorToSerialMs + 5 &&
                     gaps.oursToMidiMs <= gaps.floorToMidiMs + 5 && !switchFailed &&
                     switched == kSwitches;
    std::printf(
        "{\"slow_work\":{\"gap_to_serial_ms\":%.3f,\"floor_gap_to_serial_ms\":%.3f,"
        "\"gap_to_midi_ms\":%.3f,\"floor_gap_to_midi_ms\":%.3f,\"port_switches\":%d,"
        "\"within_5_ms\":%s}}\n",
        gaps.oursToSerialMs, gaps.floorToSerialMs, gaps.oursToMidiMs, gaps.floorToMidiMs, switched,
        met ? "true" : "false");
    result = met ? 0 : 3;
  }
  // The writers still waiting in their open are let go (they write and close), then the FIFO.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  if (reader >= 0) ::close(reader);
  std::filesystem::remove_all(root);
  return result;
}

int RunSimulated(const Options& options) {
  auto simulated = std::make_shared<platform::midi::SimulatedMidiService>();
  // The bridge takes the first devices listed; the floor the second ones.
  const auto oursIn = simulated->AddInput("Bench In");
  simulated->AddOutput("Bench Out");
  const auto floorIn = simulated->AddInput("Floor In");
  simulated->AddOutput("Floor Out");
  // The pair the slow-work phase switches the bridge to and back.
  const std::string spare[2] = {"Bench In 2", "Bench Out 2"};
  std::optional<platform::midi::SimulatedMidiService::DeviceKey> spareIn;
  if (options.slowWork) {
    spareIn = simulated->AddInput(spare[0]);
    simulated->AddOutput(spare[1]);
  }

  Stream oursToSerial, floorToSerial, oursToMidi, floorToMidi;
  auto timed = std::make_shared<TimedMidiService>(simulated);
  timed->onInput = [&](std::uint32_t packed, SteadyClock::time_point at) {
    oursToSerial.Left(SeqOf(packed), at);
  };
  timed->onOutput = [&](std::uint32_t packed, SteadyClock::time_point at) {
    oursToMidi.Arrived(packed, at);
  };

  Pty oursPty, floorPty;
  BridgeRig rig(timed, oursPty);
  if (!WaitReady(rig)) {
    std::fputs("velmora-bench: the bridge did not open its port and MIDI devices\n", stderr);
    return 1;
  }
  // The same door for the floor, without the timing hooks: it takes its own times.
  TimedMidiService floorService(simulated);
  Floor floor(floorService, 1, 1, floorPty, floorToSerial, floorToMidi);
  if (!floor.Ready()) {
    std::fputs("velmora-bench: the floor could not open its MIDI devices\n", stderr);
    return 1;
  }
  // First, while nothing else reads the lines.
  ClockRigging clockRig;
  clockRig.play = [&](bool toFloor, std::uint32_t packed) {
    simulated->PlayShort(toFloor ? floorIn : oursIn, packed);
  };
  clockRig.playDump = [&](const std::vector<std::uint8_t>& dump) { simulated->Play(oursIn, dump); };
  clockRig.oursMaster = oursPty.master();
  clockRig.floorMaster = floorPty.master();
  clockRig.harnessCpu = [&] { return ThreadCpuSeconds(floor.thread()); };
  clockRig.progress = &Progress;
  const ClockFigures clock =
      options.slowWork ? ClockFigures{} : MeasureClock(options, rig.Bridge(), clockRig);
  if (options.clockOnly) {
    PrintClock(clock);
    std::printf("{\"clock_only\":true%s}\n", Json(clock).c_str());
    return 0;
  }

  SerialTap oursTap(oursPty.master(), [&](std::uint32_t packed, SteadyClock::time_point at) {
    oursToSerial.Arrived(packed, at);
  });
  SerialTap floorTap(floorPty.master(), [&](std::uint32_t packed, SteadyClock::time_point at) {
    floorToSerial.Arrived(packed, at);
  });

  Rigging rigging;
  rigging.play = [&](bool toFloor, std::uint32_t packed) {
    simulated->PlayShort(toFloor ? floorIn : oursIn, packed);
    if (!toFloor && spareIn) simulated->PlayShort(*spareIn, packed);
    return true;  // the simulation queues without bound
  };
  rigging.oursMaster = oursPty.master();
  rigging.floorMaster = floorPty.master();
  rigging.oursToSerial = &oursToSerial;
  rigging.floorToSerial = &floorToSerial;
  rigging.oursToMidi = &oursToMidi;
  rigging.floorToMidi = &floorToMidi;
  rigging.harnessCpu = [&] {
    return ThreadCpuSeconds(oursTap.thread()) + ThreadCpuSeconds(floorTap.thread()) +
           ThreadCpuSeconds(floor.thread());
  };
  rigging.floorCpu = [&] { return ThreadCpuSeconds(floor.thread()); };
  rigging.ringRefusals = [&] { return rig.RingRefusals(); };
  rigging.progress = &Progress;
  if (options.slowWork) return RunSlowWork(rig, rigging, spare);
  const Results results = Measure(options, rigging);
  Print(options, results, nullptr, clock);
  return 0;
}

#ifdef VELMORA_BENCH_JACK
bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

// True when `port` is connected to exactly one port, of a client whose name starts with
// `client`; says what it found otherwise.
bool ConnectedOnlyTo(const std::vector<std::string>& found, const std::string& port,
                     const std::string& client) {
  if (found.size() == 1 && StartsWith(found[0], client)) return true;
  std::string list;
  for (const auto& name : found) list += " " + name;
  std::fprintf(stderr, "velmora-bench: %s should be connected to %s... only; it is to:%s\n",
               port.c_str(), client.c_str(), list.empty() ? " nothing" : list.c_str());
  return false;
}

int RunJack(const Options& options) {
  JackServer server(48000, options.jackPeriod, options.jackRealtime);
  Stream oursToSerial, floorToSerial, oursToMidi, floorToMidi;
  // Registered first: its ports head the lists that the bridge fills at start-up.
  JackFarSide far({&oursToSerial, &oursToMidi}, {&floorToSerial, &floorToMidi});
  Pty oursPty, floorPty;
  JackFloor floor(floorPty);
  if (!far.Connect(far.SourceName(true), floor.SinkName()) ||
      !far.Connect(floor.SourceName(), far.SinkName(true))) {
    std::fputs("velmora-bench: cannot connect the floor's JACK ports\n", stderr);
    return 1;
  }

  // The program's own service: one JACK client, "velmora" or the name JACK gave instead.
  auto service = std::make_shared<platform::midi::JackMidiService>();
  const std::string client = service->ClientName();
  const std::string clientPrefix = client + ":";
  BridgeRig rig(service, oursPty);
  // As the headless program: the UI thread takes the MIDI input from the service itself.
  platform::midi::InputOnPumpThread midiInput(*service);
  // The lists hold every other client's ports, the floor's too: choose ours by name.
  for (auto list : {core::DeviceList::MidiIn, core::DeviceList::MidiOut}) {
    std::string items;
    for (int i = 0; i < rig.Window().ListCount(list); ++i) {
      items += (i ? ", " : "") + rig.Window().ListItem(list, i);
    }
    Progress(std::string(list == core::DeviceList::MidiIn ? "MIDI inputs" : "MIDI outputs") +
             " listed: " + items + "; opened at start-up: " + rig.Selected(list));
  }
  if (!rig.SelectMidi(far.SourceName(false), far.SinkName(false))) {
    std::fprintf(stderr, "velmora-bench: the bridge does not list %s and %s\n",
                 far.SourceName(false).c_str(), far.SinkName(false).c_str());
    return 1;
  }
  if (!WaitReady(rig)) {
    std::fputs("velmora-bench: the bridge did not open its port and MIDI devices\n", stderr);
    return 1;
  }
  if (!ConnectedOnlyTo(far.Connections(false, true), far.SourceName(false), clientPrefix) ||
      !ConnectedOnlyTo(far.Connections(false, false), far.SinkName(false), clientPrefix) ||
      !ConnectedOnlyTo(far.Connections(true, true), far.SourceName(true), floor.SinkName()) ||
      !ConnectedOnlyTo(far.Connections(true, false), far.SinkName(true), floor.SourceName())) {
    return 1;
  }
  // The flood reads the bridge's line itself: alone, or last, once the taps are gone (and
  // its buffers cannot count in the figures' peak memory).
  auto flood = [&] {
    FloodRigging rigging;
    rigging.bridge = &rig.Bridge();
    rigging.selectMidi = [&](const std::string& in, const std::string& out) {
      return rig.SelectMidi(in, out) && rig.Selected(core::DeviceList::MidiIn) == in &&
             rig.Selected(core::DeviceList::MidiOut) == out;
    };
    rigging.midiIn = rig.Selected(core::DeviceList::MidiIn);
    rigging.midiOut = rig.Selected(core::DeviceList::MidiOut);
    rigging.whilePumping = [](const std::function<void()>& work) { WhilePumping(work); };
    rigging.oursPty = &oursPty;
    rigging.ourXruns = [&] { return server.XrunsNaming(client); };
    rigging.processTimes = [&] {
      return service->ProcessCallbackTimes().value_or(platform::midi::ProcessTimes{});
    };
    rigging.resetProcessTimes = [&] { service->ResetProcessCallbackTimes(); };
    rigging.progress = &Progress;
    return RunFlood(rigging, options.floodMessages);
  };
  if (options.floodOnly) return flood();
  std::optional<SerialTap> oursTap(
      std::in_place, oursPty.master(),
      [&](std::uint32_t packed, SteadyClock::time_point at) { oursToSerial.Arrived(packed, at); });
  std::optional<SerialTap> floorTap(
      std::in_place, floorPty.master(),
      [&](std::uint32_t packed, SteadyClock::time_point at) { floorToSerial.Arrived(packed, at); });

  Rigging rigging;
  rigging.play = [&](bool toFloor, std::uint32_t packed) { return far.Play(toFloor, packed); };
  rigging.oursMaster = oursPty.master();
  rigging.floorMaster = floorPty.master();
  rigging.oursToSerial = &oursToSerial;
  rigging.floorToSerial = &floorToSerial;
  rigging.oursToMidi = &oursToMidi;
  rigging.floorToMidi = &floorToMidi;
  rigging.harnessCpu = [&] {
    return ThreadCpuSeconds(oursTap->thread()) + ThreadCpuSeconds(floorTap->thread()) +
           ThreadCpuSeconds(floor.thread()) + far.ProcessCpuSeconds() + floor.ProcessCpuSeconds();
  };
  rigging.ringRefusals = [&] { return rig.RingRefusals(); };
  rigging.xruns = [&] { return far.Xruns(); };
  rigging.ourXruns = [&] { return server.XrunsNaming(client); };
  rigging.processTimes = [&] {
    return service->ProcessCallbackTimes().value_or(platform::midi::ProcessTimes{});
  };
  rigging.resetProcessTimes = [&] { service->ResetProcessCallbackTimes(); };
  rigging.floorCpu = [&] { return ThreadCpuSeconds(floor.thread()) + floor.ProcessCpuSeconds(); };
  rigging.floorProcessTimes = [&] { return floor.ProcessTimes(); };
  rigging.resetFloorProcessTimes = [&] { floor.ResetProcessTimes(); };
  rigging.progress = &Progress;
  rigging.floorThroughput = true;
  rigging.playAt = [&](bool toFloor, std::uint32_t packed, SteadyClock::time_point at) {
    return far.PlayAt(toFloor, packed, at);
  };
  rigging.setFramed = [&](bool framed) { far.SetFramed(framed); };
  const Results results = Measure(options, rigging);
  PrintTiming(results, far.Period(), far.SampleRate());
  if (options.timingOnly) return 0;

  JackFigures figures;
  figures.server = server.name();
  figures.midiIn = rig.Selected(core::DeviceList::MidiIn);
  figures.midiOut = rig.Selected(core::DeviceList::MidiOut);
  figures.sampleRate = far.SampleRate();
  figures.period = far.Period();
  figures.realtime = far.RealTime();
  figures.capacity = far.PortCapacity();
  figures.xruns = far.Xruns();
  figures.ourXruns = server.XrunsNaming(client);
  figures.client = client;
  figures.fullCycles = far.FullCycles();
  figures.mostPerCycle = far.MostPerCycle();
  figures.floorDropped = floor.Dropped();
  figures.sharedKb = SharedMemoryRssKb();
  Print(options, results, &figures);
  oursTap.reset();
  floorTap.reset();
  return flood();
}

#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef VELMORA_BENCH_PROGRAM_MODE
  if (argc > 1 && std::strcmp(argv[1], "--program") == 0) {
    return RunProgramMode(argc - 2, argv + 2);
  }
#endif
  Options options;
  if (!Parse(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
#ifdef VELMORA_BENCH_JACK
    if (options.jack) return RunJack(options);
#else
    if (options.jack) {
      std::fputs("velmora-bench: built without JACK, no --jack\n", stderr);
      return 2;
    }
#endif
    return RunSimulated(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "velmora-bench: %s\n", error.what());
    return 1;
  }
}
