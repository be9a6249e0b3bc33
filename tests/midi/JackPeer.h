#pragma once

// A JACK client of the tests' own, the other end of the bridge's MIDI ports: it sends what it
// is given, at most one message per process cycle (RtMidi loses unpaced bursts), and keeps
// what it receives. It closes its ports before it leaves the server.

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace velmora::test {

class JackPeer {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // Raises std::runtime_error when no JACK server answers.
  explicit JackPeer(const std::string& name);
  ~JackPeer();
  JackPeer(const JackPeer&) = delete;
  JackPeer& operator=(const JackPeer&) = delete;

  std::string SourceName() const;  // the peer's output port: an input device for us
  std::string SinkName() const;    // the peer's input port: an output device for us

  void Send(Bytes message);
  // Waits until everything given to Send is out.
  bool WaitSent(std::chrono::milliseconds bound);
  bool WaitReceived(std::size_t count, std::chrono::milliseconds bound);
  std::vector<Bytes> Received();
  void ClearReceived();
  // Cycles that JACK reported overrun (xruns), on any client of the server. What a late client
  // wrote in such a cycle may be lost: JACK's doing, which a loaded machine causes.
  int Xruns() const { return xruns_.load(); }
  // Leaves the server: deactivates, unregisters both ports, closes. Safe to call twice.
  void Leave();

 private:
  static int Process(jack_nframes_t frames, void* self);
  static int Xrun(void* self);

  jack_client_t* client_ = nullptr;
  jack_port_t* source_ = nullptr;
  jack_port_t* sink_ = nullptr;
  // Guards the two queues; taken by the test thread and by JACK's process thread (the test
  // server runs without real-time scheduling, so a short wait there harms nothing).
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Bytes> outgoing_;
  std::vector<Bytes> received_;
  std::atomic<int> xruns_{0};
};

}  // namespace velmora::test
