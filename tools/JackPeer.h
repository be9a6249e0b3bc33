#pragma once

// A JACK MIDI client with an output port and an input port: what a piece of MIDI gear or
// another program looks like to Velmora. The peer tool, the MIDI tests and the end-to-end
// tests play the far side of Velmora's MIDI ports with it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/JackClient.h"

namespace velmora::tools {

class JackPeer {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // Which ports the client has. A client that both feeds Velmora and listens to it closes a
  // loop in JACK's graph, which JACK cannot order: one of the two links then reads a buffer
  // the other client is still writing. Two clients, one each way, keep the graph a line.
  enum class Ports { Both, OutOnly, InOnly };
  // How fast queued messages leave: each on a frame of its own, or one a cycle for a receiver
  // that loses bursts (RtMidi's JACK input, on a long message among short ones).
  enum class Pace { EveryFrame, EveryCycle };

  // Opens the client on $JACK_DEFAULT_SERVER; throws when it cannot.
  explicit JackPeer(const std::string& clientName, Ports ports = Ports::Both,
                    Pace pace = Pace::EveryFrame);
  JackPeer(const JackPeer&) = delete;
  JackPeer& operator=(const JackPeer&) = delete;

  const std::string& outPortName() const { return outName_; }  // a MIDI source; may be empty
  const std::string& inPortName() const { return inName_; }    // a MIDI sink; may be empty

  // Queues a message for the next process cycles; false when it does not fit. One thread only.
  bool send(const Bytes& message);
  // True once everything send() queued is in a port buffer.
  bool waitSent(std::chrono::milliseconds bound) const;
  // The next received message, or nothing after the time-out. One thread only.
  std::optional<Bytes> receive(std::chrono::milliseconds timeout);

  std::vector<std::string> midiPorts() const { return client_.midiPorts(); }
  // The ports connected to our output or our input.
  std::vector<std::string> connections(bool out) const;
  bool outConnected() const;
  bool inConnected() const;
  bool connect(const std::string& from, const std::string& to) const {
    return client_.connect(from, to);
  }

  std::uint64_t xruns() const { return client_.xruns(); }
  std::chrono::steady_clock::time_point lastXrun() const { return client_.lastXrun(); }

  // Leaves the server, as a device that is unplugged. Safe to call twice.
  void leave();

 private:
  static int process(jack_nframes_t frames, void* self);
  // Process thread: our ring into the output port; the input port into our ring.
  void writeOut(jack_port_t* out, jack_nframes_t frames);
  void readIn(jack_port_t* in, jack_nframes_t frames);

  const Pace pace_;
  // [length:2][bytes] records. toJack_: send()'s thread writes, the process thread reads;
  // fromJack_ the other way round.
  JackRing toJack_;
  JackRing fromJack_;
  std::uint64_t queued_ = 0;            // send()'s thread only
  std::atomic<std::uint64_t> sent_{0};  // written by the process thread
  JackClient client_;                   // after the rings: it leaves before they go
  // Registered after activation: the process thread sees them come.
  std::atomic<jack_port_t*> out_{nullptr};
  std::atomic<jack_port_t*> in_{nullptr};
  std::string outName_, inName_;
};

}  // namespace velmora::tools
