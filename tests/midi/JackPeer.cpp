#include "tests/midi/JackPeer.h"

#include <jack/midiport.h>

#include <stdexcept>

namespace velmora::test {

JackPeer::JackPeer(const std::string& name) {
  jack_status_t status{};
  client_ = jack_client_open(name.c_str(), JackNoStartServer, &status);
  if (client_ == nullptr) throw std::runtime_error("no JACK server for the peer");
  source_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  sink_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  if (source_ == nullptr || sink_ == nullptr ||
      jack_set_process_callback(client_, &Process, this) ||
      jack_set_xrun_callback(client_, &Xrun, this) || jack_activate(client_)) {
    Leave();
    throw std::runtime_error("JACK peer could not start");
  }
}

JackPeer::~JackPeer() {
  Leave();
}

void JackPeer::Leave() {
  if (client_ == nullptr) return;
  jack_deactivate(client_);
  if (source_ != nullptr) jack_port_unregister(client_, source_);
  if (sink_ != nullptr) jack_port_unregister(client_, sink_);
  jack_client_close(client_);
  client_ = nullptr;
  source_ = nullptr;
  sink_ = nullptr;
}

std::string JackPeer::SourceName() const {
  return jack_port_name(source_);
}
std::string JackPeer::SinkName() const {
  return jack_port_name(sink_);
}

void JackPeer::Send(Bytes message) {
  std::lock_guard lock(mutex_);
  outgoing_.push_back(std::move(message));
}

bool JackPeer::WaitSent(std::chrono::milliseconds bound) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, bound, [&] { return outgoing_.empty(); });
}

bool JackPeer::WaitReceived(std::size_t count, std::chrono::milliseconds bound) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, bound, [&] { return received_.size() >= count; });
}

std::vector<JackPeer::Bytes> JackPeer::Received() {
  std::lock_guard lock(mutex_);
  return received_;
}

void JackPeer::ClearReceived() {
  std::lock_guard lock(mutex_);
  received_.clear();
}

int JackPeer::Xrun(void* self) {
  ++static_cast<JackPeer*>(self)->xruns_;
  return 0;
}

int JackPeer::Process(jack_nframes_t frames, void* self) {
  auto& peer = *static_cast<JackPeer*>(self);
  void* in = jack_port_get_buffer(peer.sink_, frames);
  void* out = jack_port_get_buffer(peer.source_, frames);
  jack_midi_clear_buffer(out);
  bool changed = false;
  {
    std::lock_guard lock(peer.mutex_);
    const jack_nframes_t count = jack_midi_get_event_count(in);
    for (jack_nframes_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, in, i) == 0) {
        peer.received_.emplace_back(event.buffer, event.buffer + event.size);
        changed = true;
      }
    }
    if (!peer.outgoing_.empty()) {
      const Bytes& next = peer.outgoing_.front();
      if (jack_midi_event_write(out, 0, next.data(), next.size()) == 0) {
        peer.outgoing_.pop_front();
        changed = true;
      }
    }
  }
  if (changed) peer.changed_.notify_all();
  return 0;
}

}  // namespace velmora::test
