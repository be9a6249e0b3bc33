// velmora-jack-pair-bench: what the JACK server itself loses between two plain clients, and
// how much of it it reports as xruns. One client writes an event numbered by its cycle every
// cycle, the other checks the numbers; no code of Velmora's runs. Against PipeWire run it
// under `pw-jack`. Losses that come without xruns are the server's silent drops: no client can
// tell them from a message that was never sent.

#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Written by the process threads, read by main; the numbers in flight are each thread's own.
struct Pair {
  jack_port_t* out = nullptr;
  jack_port_t* in = nullptr;
  std::size_t size = 8;
  std::uint32_t sent = 0;      // the sender's process thread only
  std::uint32_t expected = 0;  // the receiver's process thread only
  std::atomic<std::uint64_t> received{0};
  std::atomic<std::uint64_t> missing{0};
  std::atomic<std::uint64_t> xruns{0};
};

int Send(jack_nframes_t frames, void* arg) {
  auto& pair = *static_cast<Pair*>(arg);
  void* buffer = jack_port_get_buffer(pair.out, frames);
  jack_midi_clear_buffer(buffer);
  jack_midi_data_t* data = jack_midi_event_reserve(buffer, 0, pair.size);
  if (data == nullptr) return 0;
  std::memset(data, 0, pair.size);
  const std::uint32_t number = ++pair.sent;
  data[0] = 0xF0;
  for (int i = 0; i < 3; ++i) data[1 + i] = (number >> (7 * i)) & 0x7F;
  data[pair.size - 1] = 0xF7;
  return 0;
}

int Receive(jack_nframes_t frames, void* arg) {
  auto& pair = *static_cast<Pair*>(arg);
  void* buffer = jack_port_get_buffer(pair.in, frames);
  const std::uint32_t count = jack_midi_get_event_count(buffer);
  for (std::uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0 || event.size < 5) continue;
    const std::uint32_t number = event.buffer[1] | event.buffer[2] << 7 | event.buffer[3] << 14;
    if (pair.expected != 0 && number > pair.expected + 1) {
      pair.missing.fetch_add(number - pair.expected - 1);
    }
    pair.expected = number;
    pair.received.fetch_add(1);
  }
  return 0;
}

int Xrun(void* arg) {
  static_cast<Pair*>(arg)->xruns.fetch_add(1);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
  Pair pair;
  if (argc > 2) pair.size = std::max<std::size_t>(5, std::strtoul(argv[2], nullptr, 10));
  const std::string stem = "pair-" + std::to_string(getpid());
  jack_client_t* sender = jack_client_open((stem + "-src").c_str(), JackNoStartServer, nullptr);
  jack_client_t* receiver = jack_client_open((stem + "-dst").c_str(), JackNoStartServer, nullptr);
  if (sender == nullptr || receiver == nullptr) {
    std::fprintf(stderr, "velmora-jack-pair-bench: no JACK server\n");
    return 2;
  }
  pair.out = jack_port_register(sender, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  pair.in = jack_port_register(receiver, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  jack_set_process_callback(sender, Send, &pair);
  jack_set_process_callback(receiver, Receive, &pair);
  jack_set_xrun_callback(sender, Xrun, &pair);
  jack_set_xrun_callback(receiver, Xrun, &pair);
  if (pair.out == nullptr || pair.in == nullptr || jack_activate(sender) != 0 ||
      jack_activate(receiver) != 0 ||
      jack_connect(sender, jack_port_name(pair.out), jack_port_name(pair.in)) != 0) {
    std::fprintf(stderr, "velmora-jack-pair-bench: the pair did not start\n");
    return 2;
  }
  sleep(1);  // the link carries from a later cycle on PipeWire
  const std::uint64_t received = pair.received, missing = pair.missing, xruns = pair.xruns;
  sleep(static_cast<unsigned>(seconds));
  const std::uint64_t got = pair.received - received, lost = pair.missing - missing;
  const std::uint64_t told = pair.xruns - xruns;
  std::printf(
      "%d s, events of %zu bytes, %u frames a cycle: %llu received, %llu lost, "
      "%llu xruns reported to the two clients\n",
      seconds, pair.size, jack_get_buffer_size(sender), static_cast<unsigned long long>(got),
      static_cast<unsigned long long>(lost), static_cast<unsigned long long>(told));
  jack_client_close(sender);
  jack_client_close(receiver);
  return lost > 0 && told == 0 ? 1 : 0;
}
