#pragma once

// A JACK client of our own on $JACK_DEFAULT_SERVER (never one it starts): the peer, the
// benchmark's far side and its floor are all made of these.

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/midi/ByteRing.h"
#include "platform/midi/CallbackTimer.h"

namespace velmora::tools {

// A lock-free single-producer single-consumer ring that a process callback may touch.
using JackRing = std::unique_ptr<platform::midi::ByteRing>;
JackRing MakeJackRing(std::size_t bytes);

class JackClient {
 public:
  // `process` runs on JACK's process thread with `self`. Throws when no server answers.
  JackClient(const std::string& name, JackProcessCallback process, void* self);
  ~JackClient();
  JackClient(const JackClient&) = delete;
  JackClient& operator=(const JackClient&) = delete;

  jack_client_t* get() const { return client_; }
  // A MIDI port; throws when the server refuses it. Before activate() only.
  jack_port_t* registerPort(const std::string& name, bool output);
  void activate();
  // Deactivates, then unregisters the ports before closing, so that the server never keeps a
  // stale port of ours. Safe to call twice; nothing of the client may be used after it.
  void leave();

  // Every MIDI port of the server, ours included.
  std::vector<std::string> midiPorts() const;
  std::vector<std::string> connections(const jack_port_t* port) const;
  bool connect(const std::string& from, const std::string& to) const;

  // Cycles the server could not finish in time, on any of its clients, and the last one's time.
  std::uint64_t xruns() const { return xruns_.load(); }
  std::chrono::steady_clock::time_point lastXrun() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(lastXrun_.load()));
  }
  // CPU time of the process thread so far, in seconds; whether it runs real-time.
  double processCpuSeconds() const;
  // How long the process callback ran: any thread reads or resets.
  platform::midi::ProcessTimes processTimes() const { return timer_.Times(); }
  void resetProcessTimes() { timer_.Reset(); }
  bool realTime() const;

 private:
  static int onXrun(void* self);
  static int timedProcess(jack_nframes_t frames, void* self);

  JackProcessCallback process_;
  void* processSelf_;
  platform::midi::CallbackTimer timer_;

  jack_client_t* client_ = nullptr;
  std::vector<jack_port_t*> ports_;
  // Written by JACK's notification thread, read by anyone.
  std::atomic<std::uint64_t> xruns_{0};
  std::atomic<std::chrono::steady_clock::rep> lastXrun_{0};
};

}  // namespace velmora::tools
