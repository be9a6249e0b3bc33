#pragma once

// A JACK MIDI client with one output port and one input port: what a piece of MIDI gear or
// another program looks like to Velmora. Used by the peer tool and the end-to-end tests.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <jack/jack.h>
#include <jack/ringbuffer.h>

namespace velmora::tools {

class JackPeer {
 public:
  // Which ports the client has. A client that both feeds Velmora and listens to it closes a
  // loop in JACK's graph, which JACK cannot order: one of the two links then reads a buffer
  // the other client is still writing. Two clients, one each way, keep the graph a line.
  enum class Ports { Both, OutOnly, InOnly };

  // Opens the client on the default (or $JACK_DEFAULT_SERVER) server; throws when it cannot.
  explicit JackPeer(const std::string& clientName, Ports ports = Ports::Both);
  ~JackPeer();
  JackPeer(const JackPeer&) = delete;
  JackPeer& operator=(const JackPeer&) = delete;

  std::string outPortName() const;  // "client:out", a MIDI source; empty without one
  std::string inPortName() const;   // "client:in", a MIDI sink; empty without one

  // Queues a message for the next process cycle. Call from one thread only.
  bool send(const std::vector<std::uint8_t>& message);
  // The next received message, or nothing after the time-out.
  std::optional<std::vector<std::uint8_t>> receive(std::chrono::milliseconds timeout);

  // Every MIDI port of the server, ours included.
  std::vector<std::string> midiPorts() const;

  // Cycles the server could not finish in time (on any client), and when the last one was seen.
  std::uint64_t xruns() const { return xruns_.load(); }
  std::chrono::steady_clock::time_point lastXrun() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(lastXrun_.load()));
  }

  bool outConnected() const;
  bool inConnected() const;
  // Connects our output to another client's input port (or theirs to ours with `toUs`).
  bool connect(const std::string& from, const std::string& to);

 private:
  static int process(jack_nframes_t frames, void* self);
  int process(jack_nframes_t frames);
  void writeOut(jack_nframes_t frames);  // process thread: our ring into the output port
  void readIn(jack_nframes_t frames);    // process thread: the input port into our ring
  static int xrun(void* self);

  jack_client_t* client_ = nullptr;
  jack_port_t* out_ = nullptr;
  jack_port_t* in_ = nullptr;
  // Lock-free single-producer single-consumer rings of [length:2][bytes] records:
  // toJack_ written by send()'s thread, read by JACK's process thread; fromJack_ the other way.
  jack_ringbuffer_t* toJack_ = nullptr;
  jack_ringbuffer_t* fromJack_ = nullptr;
  // Written by JACK's notification thread, read by anyone.
  std::atomic<std::uint64_t> xruns_{0};
  std::atomic<std::chrono::steady_clock::rep> lastXrun_{0};
};

}  // namespace velmora::tools
