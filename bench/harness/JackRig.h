#pragma once

// What --jack adds: a JACK server of the harness's own, the far side of both MIDI links as a
// JACK client that times every message in its process callback, and the floor as a JACK client
// that forwards to a pseudo-terminal and back.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Rig.h"
#include "Stream.h"
#include "support/Pty.h"
#include "tools/JackClient.h"

namespace velmora::bench {

// jackd with the dummy driver, with or without real-time scheduling, under a name of its own
// (velmora-bench-<pid>), which it sets as JACK_DEFAULT_SERVER for this process. Started by the
// constructor (throws when it does not come up), stopped by the destructor; it also ends soon
// after the harness, should the harness be killed. Create it before any thread or JACK client.
class JackServer {
 public:
  JackServer(int sampleRate, int period, bool realtime);
  ~JackServer();
  JackServer(const JackServer&) = delete;
  JackServer& operator=(const JackServer&) = delete;
  const std::string& name() const { return name_; }
  // The xruns that the server blamed on `client` so far. jackd (jack2) writes a line for each
  // client that had not finished its cycle in time ("JackEngine::XRun: client = NAME was not
  // finished, state = ...", or "... client NAME finished after current callback") and tells
  // every client one xrun per such line; this counts the lines of its log that name `client`.
  std::uint64_t XrunsNaming(const std::string& client) const;

 private:
  void Stop();
  std::string name_;
  std::filesystem::path log_, pidFile_;
  pid_t guard_ = -1;  // the shell that ends jackd
  pid_t jackd_ = -1;
  int stop_ = -1;  // the pipe to the shell
};

// The far side of the bridge's MIDI links and of the floor's: a source and a sink for each.
// A message to play leaves when the process callback writes it into the source's port buffer
// (its departure time is taken there); an arrival is timed at the start of the process callback
// of the cycle that brings it. Sources and sinks are two clients: with one, the floor's client
// would close a loop in JACK's graph, which JACK breaks with a cycle's delay.
class JackFarSide {
 public:
  struct Lane {
    Stream* toSerial = nullptr;  // departures stamped here
    Stream* toMidi = nullptr;    // arrivals stamped here
  };
  JackFarSide(Lane ours, Lane floor);
  ~JackFarSide();
  JackFarSide(const JackFarSide&) = delete;
  JackFarSide& operator=(const JackFarSide&) = delete;

  // "client:port" names; ours are registered first, so they are listed first.
  std::string SourceName(bool floor) const;
  std::string SinkName(bool floor) const;
  // Queues a message for the next cycle; false when the queue is full. One thread at a time.
  bool Play(bool floor, std::uint32_t packed);
  // Timing: queues a message to play at `at`, at the frame that stands for that time in the
  // cycle that holds it (frame 0 when its cycle has passed), stamped as leaving then. Queue in
  // order of time; one thread at a time.
  bool PlayAt(bool floor, std::uint32_t packed, SteadyClock::time_point at);
  // Timing: arrivals stamped at the time their frame stands for, rather than at the cycle's
  // processing.
  void SetFramed(bool framed) { framed_.store(framed, std::memory_order_release); }
  // The ports connected to a source or sink of ours.
  std::vector<std::string> Connections(bool floor, bool source) const;
  bool Connect(const std::string& from, const std::string& to) const;

  jack_nframes_t SampleRate() const;
  jack_nframes_t Period() const;
  std::uint64_t Xruns() const { return player_.xruns(); }
  // Most messages one port buffer took in a cycle, and the cycles it could take no more.
  std::uint32_t MostPerCycle() const { return mostPerCycle_.load(std::memory_order_relaxed); }
  std::uint64_t FullCycles() const { return fullCycles_.load(std::memory_order_relaxed); }
  // How many three-byte messages an empty port buffer takes, found on a port of our own that
  // nothing is connected to; 0 until the first cycle has run.
  std::uint32_t PortCapacity() const { return capacity_.load(std::memory_order_acquire); }
  // Whether JACK runs our process thread on real-time scheduling.
  bool RealTime() const { return player_.realTime(); }
  double ProcessCpuSeconds() const {
    return player_.processCpuSeconds() + listener_.processCpuSeconds();
  }

 private:
  struct Port {
    Lane lane;
    jack_port_t* source = nullptr;
    jack_port_t* sink = nullptr;
    tools::JackRing queue;  // packed messages; the player writes, JACK reads
    tools::JackRing timed;  // TimedMessage records, in order of time; the same
  };
  struct TimedMessage {
    std::uint32_t packed;
    std::int64_t atUs;  // JACK's microseconds
  };
  void PlayTimed(Port& port, void* buffer, jack_nframes_t frames);
  static int ProcessPlayer(jack_nframes_t frames, void* self);
  static int ProcessListener(jack_nframes_t frames, void* self);

  tools::JackClient player_;    // the sources
  tools::JackClient listener_;  // the sinks
  Port ports_[2];  // after the clients, so the destructor makes them leave before it goes
  jack_port_t* probe_ = nullptr;
  std::atomic<std::uint32_t> capacity_{0};      // written once by the process thread
  std::atomic<std::uint32_t> mostPerCycle_{0};  // written by the process thread only
  std::atomic<std::uint64_t> fullCycles_{0};
  std::atomic<bool> framed_{false};
};

// JACK's clock and ours: JACK counts microseconds of the same monotonic clock on Linux, but
// from its own origin, measured once.
std::int64_t JackUsOf(SteadyClock::time_point at);
SteadyClock::time_point SteadyOfJack(jack_time_t us);

// The floor through JACK: its process callback writes what its input brings straight to the
// pseudo-terminal's slave; a reader thread takes the slave's bytes to a queue that the next
// cycle empties into its output.
class JackFloor {
 public:
  explicit JackFloor(const Pty& pty);
  ~JackFloor();
  JackFloor(const JackFloor&) = delete;
  JackFloor& operator=(const JackFloor&) = delete;
  std::string SourceName() const;
  std::string SinkName() const;
  // What the floor itself dropped: its queue full, or the slave refusing a write.
  std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
  std::thread& thread() { return reader_; }
  double ProcessCpuSeconds() const { return client_.processCpuSeconds(); }
  platform::midi::ProcessTimes ProcessTimes() const { return client_.processTimes(); }
  void ResetProcessTimes() { client_.resetProcessTimes(); }

 private:
  static int Process(jack_nframes_t frames, void* self);
  void Read();

  int fd_ = -1;
  tools::JackClient client_;
  jack_port_t* in_ = nullptr;
  jack_port_t* out_ = nullptr;
  tools::JackRing queue_;  // packed messages; the reader writes, JACK reads
  std::atomic<std::uint64_t> dropped_{0};
  StopSignal stop_;
  std::thread reader_;  // last: starts once everything above is ready
};

// Resident kilobytes of this process's shared memory mappings from /dev/shm: JACK's.
long SharedMemoryRssKb();
// VmHWM of this process, in kilobytes.
long PeakRssKb();

}  // namespace velmora::bench
