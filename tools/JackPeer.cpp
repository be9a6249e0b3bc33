#include "tools/JackPeer.h"

#include <jack/midiport.h>

#include <thread>

namespace velmora::tools {

namespace {

constexpr std::size_t kRingBytes = 1 << 18;

// Polls: the process thread is real-time and must not wake anyone through a lock.
template <typename Done>
bool pollUntil(Done done, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The size of the whole record at the ring's head, or 0 while it is not all written.
std::size_t recordAtHead(platform::midi::ByteRing* ring) {
  if (ring->ReadSpace() < 2) return 0;
  std::uint8_t length[2];
  ring->Peek(length, 2);
  const std::size_t size = length[0] | (length[1] << 8);
  return ring->ReadSpace() >= 2 + size ? size : 0;
}

}  // namespace

JackPeer::JackPeer(const std::string& clientName, Ports ports, Pace pace)
    : pace_(pace),
      toJack_(MakeJackRing(kRingBytes)),
      fromJack_(MakeJackRing(kRingBytes)),
      client_(clientName, &JackPeer::process, this) {
  // Active before its ports are listed: whoever sees one can link it at once (JACK refuses to
  // link a port of a client not yet active).
  client_.activate();
  if (ports != Ports::InOnly) out_.store(client_.registerPort("out", true));
  if (ports != Ports::OutOnly) in_.store(client_.registerPort("in", false));
  if (out_.load()) outName_ = jack_port_name(out_.load());
  if (in_.load()) inName_ = jack_port_name(in_.load());
}

void JackPeer::leave() {
  client_.leave();
  out_.store(nullptr);
  in_.store(nullptr);
}

std::vector<std::string> JackPeer::connections(bool out) const {
  jack_port_t* port = out ? out_.load() : in_.load();
  return port ? client_.connections(port) : std::vector<std::string>{};
}
bool JackPeer::outConnected() const {
  jack_port_t* port = out_.load();
  return port && jack_port_connected(port) > 0;
}
bool JackPeer::inConnected() const {
  jack_port_t* port = in_.load();
  return port && jack_port_connected(port) > 0;
}

bool JackPeer::send(const Bytes& message) {
  if (message.empty() || message.size() > 0xFFFF) return false;
  if (toJack_->WriteSpace() < message.size() + 2) return false;
  // One write, so that the process thread never sees a length without its bytes.
  Bytes record{static_cast<std::uint8_t>(message.size() & 0xFF),
               static_cast<std::uint8_t>(message.size() >> 8)};
  record.insert(record.end(), message.begin(), message.end());
  toJack_->Write(record.data(), record.size());
  ++queued_;
  return true;
}

bool JackPeer::waitSent(std::chrono::milliseconds bound) const {
  return pollUntil([&] { return sent_.load() == queued_; }, bound);
}

std::optional<JackPeer::Bytes> JackPeer::receive(std::chrono::milliseconds timeout) {
  std::size_t size = 0;
  if (!pollUntil([&] { return (size = recordAtHead(fromJack_.get())) > 0; }, timeout)) {
    return std::nullopt;
  }
  fromJack_->ReadAdvance(2);
  Bytes message(size);
  fromJack_->Read(message.data(), size);
  return message;
}

int JackPeer::process(jack_nframes_t frames, void* self) {
  auto& peer = *static_cast<JackPeer*>(self);
  if (jack_port_t* out = peer.out_.load()) peer.writeOut(out, frames);
  if (jack_port_t* in = peer.in_.load()) peer.readIn(in, frames);
  return 0;
}

void JackPeer::writeOut(jack_port_t* out, jack_nframes_t frames) {
  void* buffer = jack_port_get_buffer(out, frames);
  jack_midi_clear_buffer(buffer);
  const jack_nframes_t last = pace_ == Pace::EveryCycle ? 1 : frames;
  // What the buffer cannot take waits for the next cycle.
  for (jack_nframes_t frame = 0; frame < last; ++frame) {
    const std::size_t size = recordAtHead(toJack_.get());
    if (size == 0 || jack_midi_max_event_size(buffer) < size) break;
    jack_midi_data_t* data = jack_midi_event_reserve(buffer, frame, size);
    if (!data) break;
    toJack_->ReadAdvance(2);
    toJack_->Read(data, size);
    sent_.fetch_add(1);
  }
}

void JackPeer::readIn(jack_port_t* in, jack_nframes_t frames) {
  void* buffer = jack_port_get_buffer(in, frames);
  const std::uint32_t count = jack_midi_get_event_count(buffer);
  for (std::uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0) continue;
    if (fromJack_->WriteSpace() < event.size + 2) break;
    // Length before bytes: receive() takes a record only once all of it is there.
    const std::uint8_t length[2] = {static_cast<std::uint8_t>(event.size & 0xFF),
                                    static_cast<std::uint8_t>(event.size >> 8)};
    fromJack_->Write(length, 2);
    fromJack_->Write(event.buffer, event.size);
  }
}

}  // namespace velmora::tools
