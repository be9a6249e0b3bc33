#include "tools/JackPeer.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

namespace velmora::tools {

namespace {
constexpr std::size_t kRingBytes = 1 << 18;
}

JackPeer::JackPeer(const std::string& clientName, Ports ports) {
  jack_status_t status{};
  client_ = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
  if (!client_) throw std::runtime_error("cannot open JACK client " + clientName);
  toJack_ = jack_ringbuffer_create(kRingBytes);
  fromJack_ = jack_ringbuffer_create(kRingBytes);
  const bool wantOut = ports != Ports::InOnly;
  const bool wantIn = ports != Ports::OutOnly;
  if (wantOut)
    out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  if (wantIn) in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  if ((wantOut && !out_) || (wantIn && !in_) ||
      jack_set_process_callback(client_, &JackPeer::process, this) != 0 ||
      jack_set_xrun_callback(client_, &JackPeer::xrun, this) != 0 || jack_activate(client_) != 0) {
    if (out_) jack_port_unregister(client_, out_);
    if (in_) jack_port_unregister(client_, in_);
    jack_client_close(client_);
    jack_ringbuffer_free(toJack_);
    jack_ringbuffer_free(fromJack_);
    throw std::runtime_error("cannot set up JACK ports for " + clientName);
  }
}

JackPeer::~JackPeer() {
  // Ports closed before the client, so that the server never keeps a stale port of ours.
  jack_deactivate(client_);
  if (out_) jack_port_unregister(client_, out_);
  if (in_) jack_port_unregister(client_, in_);
  jack_client_close(client_);
  jack_ringbuffer_free(toJack_);
  jack_ringbuffer_free(fromJack_);
}

std::string JackPeer::outPortName() const {
  return out_ ? jack_port_name(out_) : std::string{};
}
std::string JackPeer::inPortName() const {
  return in_ ? jack_port_name(in_) : std::string{};
}

std::vector<std::string> JackPeer::midiPorts() const {
  std::vector<std::string> names;
  if (const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, 0)) {
    for (const char** port = ports; *port; ++port) names.emplace_back(*port);
    jack_free(ports);
  }
  return names;
}

bool JackPeer::outConnected() const {
  return out_ && jack_port_connected(out_) > 0;
}
bool JackPeer::inConnected() const {
  return in_ && jack_port_connected(in_) > 0;
}

bool JackPeer::connect(const std::string& from, const std::string& to) {
  const int result = jack_connect(client_, from.c_str(), to.c_str());
  return result == 0 || result == EEXIST;
}

bool JackPeer::send(const std::vector<std::uint8_t>& message) {
  if (message.empty() || message.size() > 0xFFFF) return false;
  if (jack_ringbuffer_write_space(toJack_) < message.size() + 2) return false;
  // One write, so that the process thread never sees a length without its bytes.
  std::vector<std::uint8_t> record{static_cast<std::uint8_t>(message.size() & 0xFF),
                                   static_cast<std::uint8_t>(message.size() >> 8)};
  record.insert(record.end(), message.begin(), message.end());
  jack_ringbuffer_write(toJack_, reinterpret_cast<const char*>(record.data()), record.size());
  return true;
}

std::optional<std::vector<std::uint8_t>> JackPeer::receive(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t size = 0;
  for (;;) {
    // The process thread writes a record's length before its bytes: take it once all is there.
    if (jack_ringbuffer_read_space(fromJack_) >= 2) {
      std::uint8_t length[2];
      jack_ringbuffer_peek(fromJack_, reinterpret_cast<char*>(length), 2);
      size = length[0] | (length[1] << 8);
      if (jack_ringbuffer_read_space(fromJack_) >= 2 + size) break;
    }
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  jack_ringbuffer_read_advance(fromJack_, 2);
  std::vector<std::uint8_t> message(size);
  jack_ringbuffer_read(fromJack_, reinterpret_cast<char*>(message.data()), message.size());
  return message;
}

int JackPeer::xrun(void* self) {
  auto& peer = *static_cast<JackPeer*>(self);
  peer.lastXrun_ = std::chrono::steady_clock::now().time_since_epoch().count();
  ++peer.xruns_;
  return 0;
}

int JackPeer::process(jack_nframes_t frames, void* self) {
  return static_cast<JackPeer*>(self)->process(frames);
}

int JackPeer::process(jack_nframes_t frames) {
  if (out_) writeOut(frames);
  if (in_) readIn(frames);
  return 0;
}

void JackPeer::writeOut(jack_nframes_t frames) {
  void* outBuffer = jack_port_get_buffer(out_, frames);
  jack_midi_clear_buffer(outBuffer);
  // One message per frame at most, and never more than the buffer takes: the rest waits.
  std::uint32_t frame = 0;
  while (frame < frames && jack_ringbuffer_read_space(toJack_) >= 2) {
    std::uint8_t length[2];
    jack_ringbuffer_peek(toJack_, reinterpret_cast<char*>(length), 2);
    const std::size_t size = length[0] | (length[1] << 8);
    if (jack_ringbuffer_read_space(toJack_) < 2 + size) break;  // not all written yet
    if (jack_midi_max_event_size(outBuffer) < size) break;
    jack_midi_data_t* data = jack_midi_event_reserve(outBuffer, frame, size);
    if (!data) break;
    jack_ringbuffer_read_advance(toJack_, 2);
    jack_ringbuffer_read(toJack_, reinterpret_cast<char*>(data), size);
    ++frame;
  }
}

void JackPeer::readIn(jack_nframes_t frames) {
  void* inBuffer = jack_port_get_buffer(in_, frames);
  const std::uint32_t count = jack_midi_get_event_count(inBuffer);
  for (std::uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, inBuffer, i) != 0) continue;
    if (jack_ringbuffer_write_space(fromJack_) < event.size + 2) break;
    const std::uint8_t length[2] = {static_cast<std::uint8_t>(event.size & 0xFF),
                                    static_cast<std::uint8_t>(event.size >> 8)};
    jack_ringbuffer_write(fromJack_, reinterpret_cast<const char*>(length), 2);
    jack_ringbuffer_write(fromJack_, reinterpret_cast<const char*>(event.buffer), event.size);
  }
}

}  // namespace velmora::tools
