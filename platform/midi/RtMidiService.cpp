#include "platform/midi/RtMidiService.h"

#include <rtmidi/RtMidi.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>

#include "platform/midi/Endpoints.h"

namespace velmora::platform::midi {

namespace {

// JACK has a back end of our own: RtMidi serves the ALSA sequencer only.
constexpr RtMidi::Api kApis[] = {RtMidi::LINUX_ALSA};
// RtMidi tells nothing when ALSA's ports come and go: its lists are compared this often.
constexpr auto kWatchPeriod = std::chrono::seconds(1);

void QuietErrors(RtMidiError::Type, const std::string&, void* flag) {
  static_cast<std::atomic<bool>*>(flag)->store(true);
}

}  // namespace

struct RtMidiService::Port {
  RtMidi::Api api;
  unsigned index;
  std::string name;
};

// One RtMidi object per API and direction, kept for listing ports. An API that was absent is
// asked again at the next listing.
class RtMidiService::Enumerator {
 public:
  explicit Enumerator(RtMidiService& service) : service_(service) {}

  std::vector<Port> List(bool input) {
    std::vector<Port> ports;
    for (std::size_t a = 0; a < std::size(kApis); ++a) {
      RtMidi* lister = Lister(a, input);
      if (lister == nullptr) continue;
      try {
        const unsigned count = lister->getPortCount();
        for (unsigned i = 0; i < count; ++i) {
          std::string name = lister->getPortName(i);
          if (service_.IsOwnPort(name)) continue;
          ports.push_back(Port{kApis[a], i, std::move(name)});
        }
      } catch (const RtMidiError&) {
        // A back end that fails while listing lists nothing.
      }
    }
    return ports;
  }

  // True when a sequencer answers for this direction.
  bool Serves(bool input) {
    for (std::size_t a = 0; a < std::size(kApis); ++a) {
      if (Lister(a, input) != nullptr) return true;
    }
    return false;
  }

 private:
  static bool Present(std::size_t a) {
    if (kApis[a] == RtMidi::LINUX_ALSA) return access("/dev/snd/seq", R_OK | W_OK) == 0;
    return true;
  }

  RtMidi* Lister(std::size_t a, bool input) {
    if (!Present(a)) return nullptr;
    if (input ? !inputs_[a] : !outputs_[a]) {
      try {
        if (input) {
          inputs_[a] = std::make_unique<RtMidiIn>(kApis[a], service_.NewClientName());
          inputs_[a]->setErrorCallback(&QuietErrors, &errors_);
        } else {
          outputs_[a] = std::make_unique<RtMidiOut>(kApis[a], service_.NewClientName());
          outputs_[a]->setErrorCallback(&QuietErrors, &errors_);
        }
      } catch (const RtMidiError&) {
        return nullptr;
      }
    }
    return input ? static_cast<RtMidi*>(inputs_[a].get()) : outputs_[a].get();
  }

  RtMidiService& service_;
  std::atomic<bool> errors_{false};
  std::unique_ptr<RtMidiIn> inputs_[std::size(kApis)];
  std::unique_ptr<RtMidiOut> outputs_[std::size(kApis)];
};

class RtMidiService::RtInput final : public InputEndpoint {
 public:
  RtInput(MidiCallback callback, std::uintptr_t instance) : InputEndpoint(callback, instance) {}
  // RtMidi's ALSA input thread is the driver thread.
  static void Arrived(double, std::vector<unsigned char>* message, void* self) {
    if (message == nullptr || message->empty()) return;
    static_cast<RtInput*>(self)->Deliver(message->data(), message->size());
  }
  std::unique_ptr<RtMidiIn> rtmidi;
  RtMidi::Api api = RtMidi::UNSPECIFIED;
  std::string port;  // the source's name
  std::atomic<bool> failed{false};
};

class RtMidiService::RtOutput final : public OutputEndpoint {
 public:
  RtOutput(MidiCallback callback, std::uintptr_t instance) : OutputEndpoint(callback, instance) {}
  std::unique_ptr<RtMidiOut> rtmidi;
  RtMidi::Api api = RtMidi::UNSPECIFIED;
  std::string port;                 // the destination's name
  std::atomic<bool> failed{false};  // set by RtMidi's error callback during a send
};

std::string RtMidiService::DefaultClientName() {
  return "Velmora-" + std::to_string(static_cast<long>(getpid()));
}

RtMidiService::RtMidiService(std::string clientName)
    : clientName_(std::move(clientName)), watch_([this] { WatchLoop(); }) {
  std::lock_guard lock(mutex_);
  enumerator_ = std::make_unique<Enumerator>(*this);
}

RtMidiService::~RtMidiService() {
  // 1. The watch ends: nothing lists or calls back any more.
  {
    std::lock_guard lock(watchMutex_);
    stopping_ = true;
  }
  watchWake_.notify_all();
  watch_.join();
  // 2. Then the listing clients go.
  std::lock_guard lock(mutex_);
  enumerator_.reset();
}

void RtMidiService::SetPortsChangedCallback(std::function<void()> callback) {
  {
    std::lock_guard lock(watchMutex_);
    portsChanged_ = std::move(callback);
  }
  watchWake_.notify_all();
}

RtMidiService::PortNames RtMidiService::ListNames() {
  PortNames names;
  std::lock_guard lock(mutex_);
  if (!enumerator_) return names;
  for (const bool input : {true, false}) {
    for (auto& port : PortsLocked(input)) names[input ? 0 : 1].push_back(std::move(port.name));
  }
  // Under the lock, which closing takes too: no handle goes away meanwhile.
  const auto gone = [](const std::vector<std::string>& list, const std::string& port) {
    return std::find(list.begin(), list.end(), port) == list.end();
  };
  for (const auto& input : inputs_) {
    if (gone(names[0], input->port)) input->Lost();
  }
  for (const auto& output : outputs_) {
    if (gone(names[1], output->port)) output->Lost();
  }
  return names;
}

void RtMidiService::WatchLoop() {
  std::unique_lock lock(watchMutex_);
  for (;;) {
    // Idle, without a timer, while nobody listens.
    watchWake_.wait(lock, [&] { return stopping_ || portsChanged_; });
    if (stopping_) return;
    PortNames before;
    bool known = false;
    while (portsChanged_) {
      lock.unlock();
      PortNames now;
      try {
        now = ListNames();
      } catch (...) {
        now = before;  // a listing that fails is made again a period later
      }
      lock.lock();
      if (stopping_) return;
      // Held while it runs: none after SetPortsChangedCallback has taken it away.
      if (known && now != before && portsChanged_) portsChanged_();
      before = std::move(now);
      known = true;
      if (watchWake_.wait_for(lock, kWatchPeriod, [&] { return stopping_; })) return;
    }
  }
}

std::string RtMidiService::NewClientName() {
  return clientName_ + "-" + std::to_string(++clients_);
}

bool RtMidiService::IsOwnPort(const std::string& portName) const {
  return portName.rfind(clientName_ + "-", 0) == 0;
}

std::vector<RtMidiService::Port> RtMidiService::PortsLocked(bool input) {
  return enumerator_->List(input);
}

// Without a sequencer, the service is what is missing; with one, the port that was asked for.
MMRESULT RtMidiService::NoPortLocked(bool input) {
  return enumerator_->Serves(input) ? MMSYSERR_BADDEVICEID : MMSYSERR_NODRIVER;
}

// A port that went between its listing and its opening is what is missing, unless the
// sequencer went with it.
MMRESULT RtMidiService::OpenRefused(const Port& port, bool input) {
  std::lock_guard lock(mutex_);
  const auto ports = PortsLocked(input);
  const bool listed =
      std::any_of(ports.begin(), ports.end(), [&](const Port& p) { return p.name == port.name; });
  return listed || !enumerator_->Serves(input) ? MMSYSERR_NODRIVER : MIDIERR_NODEVICE;
}

RtMidiService::RtInput* RtMidiService::InputLocked(HMIDIIN handle) const {
  return FindOpen(inputs_, handle);
}

RtMidiService::RtOutput* RtMidiService::OutputLocked(HMIDIOUT handle) const {
  return FindOpen(outputs_, handle);
}

// ---- input --------------------------------------------------------------------------------

std::uint32_t RtMidiService::midiInGetNumDevs() {
  std::lock_guard lock(mutex_);
  return static_cast<std::uint32_t>(PortsLocked(true).size());
}

MMRESULT RtMidiService::midiInGetDevCapsA(std::uintptr_t id, MIDIINCAPSA* caps,
                                          std::uint32_t size) {
  if (caps == nullptr || size < sizeof(MIDIINCAPSA)) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  const auto ports = PortsLocked(true);
  if (id >= ports.size()) return NoPortLocked(true);
  FillInputCaps(ports[id].name, static_cast<std::uint16_t>(ports[id].api), 0x0500, *caps);
  return MMSYSERR_NOERROR;
}

MMRESULT RtMidiService::midiInOpen(HMIDIIN* handle, std::uint32_t id, MidiCallback callback,
                                   std::uintptr_t instance, std::uint32_t flags) {
  if (handle == nullptr || callback == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
  Port port;
  {
    std::lock_guard lock(mutex_);
    const auto ports = PortsLocked(true);
    if (id >= ports.size()) return NoPortLocked(true);
    port = ports[id];
  }
  auto input = std::make_unique<RtInput>(callback, instance);
  input->api = port.api;
  input->port = port.name;
  try {
    input->rtmidi = std::make_unique<RtMidiIn>(port.api, NewClientName());
    input->rtmidi->setErrorCallback(&QuietErrors, &input->failed);
    input->rtmidi->ignoreTypes(false, false, false);  // the callback decides what to drop
    input->rtmidi->setCallback(&RtInput::Arrived, input.get());
    input->rtmidi->openPort(port.index, "in");
  } catch (const RtMidiError&) {
    return OpenRefused(port, true);
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  if (input->failed || !input->rtmidi->isPortOpen()) return OpenRefused(port, true);
  std::lock_guard lock(mutex_);
  inputs_.push_back(std::move(input));
  *handle = inputs_.back().get();
  return MMSYSERR_NOERROR;
}

MMRESULT RtMidiService::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  return input ? input->Prepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT RtMidiService::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  return input ? input->Unprepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT RtMidiService::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  return input ? input->AddBuffer(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT RtMidiService::midiInStart(HMIDIIN handle) {
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  return input ? input->Start() : MMSYSERR_INVALHANDLE;
}

// Stop, reset and close call back: they run outside the service's lock. Handles are made and
// destroyed only by the thread that uses them, so the pointer stays valid meanwhile.
MMRESULT RtMidiService::midiInStop(HMIDIIN handle) {
  RtInput* input = nullptr;
  {
    std::lock_guard lock(mutex_);
    input = InputLocked(handle);
  }
  return input ? input->Stop() : MMSYSERR_INVALHANDLE;
}

MMRESULT RtMidiService::midiInReset(HMIDIIN handle) {
  RtInput* input = nullptr;
  {
    std::lock_guard lock(mutex_);
    input = InputLocked(handle);
  }
  return input ? input->Reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT RtMidiService::midiInClose(HMIDIIN handle) {
  std::unique_ptr<RtInput> closing;
  {
    std::lock_guard lock(mutex_);
    auto* input = InputLocked(handle);
    if (input == nullptr) return MMSYSERR_INVALHANDLE;
    if (auto result = input->Close()) return result;
    auto found = std::find_if(inputs_.begin(), inputs_.end(),
                              [&](const auto& i) { return i.get() == input; });
    closing = std::move(*found);
    inputs_.erase(found);
  }
  // Closing the port waits for RtMidi's thread, which may be delivering (to a closed endpoint,
  // which drops it): so without the lock.
  closing->rtmidi.reset();
  return MMSYSERR_NOERROR;
}

MMRESULT RtMidiService::midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  return CopyErrorText(ResultText(code), text, size);
}

// ---- output -------------------------------------------------------------------------------

std::uint32_t RtMidiService::midiOutGetNumDevs() {
  std::lock_guard lock(mutex_);
  return static_cast<std::uint32_t>(PortsLocked(false).size());
}

MMRESULT RtMidiService::midiOutGetDevCapsA(std::intptr_t id, MIDIOUTCAPSA* caps,
                                           std::uint32_t size) {
  if (caps == nullptr || size < sizeof(MIDIOUTCAPSA)) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  const auto ports = PortsLocked(false);
  const bool mapper = id == MIDI_MAPPER;
  const std::intptr_t index = mapper ? 0 : id;
  if (index < 0 || static_cast<std::size_t>(index) >= ports.size()) return NoPortLocked(false);
  FillOutputCaps(ports[index].name, mapper, static_cast<std::uint16_t>(ports[index].api), 0x0500,
                 *caps);
  return MMSYSERR_NOERROR;
}

MMRESULT RtMidiService::midiOutOpen(HMIDIOUT* handle, std::intptr_t id, MidiCallback callback,
                                    std::uintptr_t instance, std::uint32_t flags) {
  if (handle == nullptr || callback == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
  Port port;
  {
    std::lock_guard lock(mutex_);
    const auto ports = PortsLocked(false);
    const std::intptr_t index = id == MIDI_MAPPER ? 0 : id;  // the mapper plays on output 0
    if (index < 0 || static_cast<std::size_t>(index) >= ports.size()) return NoPortLocked(false);
    port = ports[index];
  }
  auto output = std::make_unique<RtOutput>(callback, instance);
  output->api = port.api;
  output->port = port.name;
  try {
    output->rtmidi = std::make_unique<RtMidiOut>(port.api, NewClientName());
    output->rtmidi->setErrorCallback(&QuietErrors, &output->failed);
    output->rtmidi->openPort(port.index, "out");
  } catch (const RtMidiError&) {
    return OpenRefused(port, false);
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  if (output->failed || !output->rtmidi->isPortOpen()) return OpenRefused(port, false);
  std::lock_guard lock(mutex_);
  outputs_.push_back(std::move(output));
  *handle = outputs_.back().get();
  return MMSYSERR_NOERROR;
}

MMRESULT RtMidiService::midiOutShortMsg(HMIDIOUT handle, std::uint32_t packed) {
  RtOutput* output = nullptr;
  {
    std::lock_guard lock(mutex_);
    output = OutputLocked(handle);
  }
  if (output == nullptr) return MMSYSERR_INVALHANDLE;
  // RtMidi sends exactly what it is given: only the bytes that the status byte calls for.
  const auto status = static_cast<std::uint8_t>(packed & 0xFF);
  const std::size_t length = ShortMessageLength(status);
  if (length == 0) return MMSYSERR_INVALPARAM;
  const unsigned char bytes[3] = {status, static_cast<unsigned char>((packed >> 8) & 0x7F),
                                  static_cast<unsigned char>((packed >> 16) & 0x7F)};
  output->failed = false;
  try {
    output->rtmidi->sendMessage(bytes, length);
  } catch (const RtMidiError&) {
    return MMSYSERR_ERROR;
  }
  return output->failed ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
}

MMRESULT RtMidiService::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  auto* output = OutputLocked(handle);
  return output ? output->Prepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT RtMidiService::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                               std::uint32_t size) {
  std::lock_guard lock(mutex_);
  auto* output = OutputLocked(handle);
  return output ? output->Unprepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT RtMidiService::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) {
  RtOutput* output = nullptr;
  {
    std::lock_guard lock(mutex_);
    output = OutputLocked(handle);
  }
  if (output == nullptr) return MMSYSERR_INVALHANDLE;
  if (auto result = output->BeginLong(header, size)) return result;
  output->failed = false;
  MMRESULT result = MMSYSERR_NOERROR;
  try {
    output->rtmidi->sendMessage(reinterpret_cast<const unsigned char*>(header->lpData),
                                header->dwBufferLength);
  } catch (const RtMidiError&) {
    result = MMSYSERR_ERROR;
  }
  if (output->failed) result = MMSYSERR_ERROR;
  // RtMidi has copied the bytes: the header is free again.
  if (result == MMSYSERR_NOERROR) {
    output->CompleteLong(header);
  } else {
    output->AbortLong(header);
  }
  return result;
}

MMRESULT RtMidiService::midiOutReset(HMIDIOUT handle) {
  std::lock_guard lock(mutex_);
  return OutputLocked(handle) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

MMRESULT RtMidiService::midiOutClose(HMIDIOUT handle) {
  std::unique_ptr<RtOutput> closing;
  {
    std::lock_guard lock(mutex_);
    auto* output = OutputLocked(handle);
    if (output == nullptr) return MMSYSERR_INVALHANDLE;
    if (auto result = output->Close()) return result;
    auto found = std::find_if(outputs_.begin(), outputs_.end(),
                              [&](const auto& o) { return o.get() == output; });
    closing = std::move(*found);
    outputs_.erase(found);
  }
  closing->rtmidi.reset();
  return MMSYSERR_NOERROR;
}

MMRESULT RtMidiService::midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  return CopyErrorText(ResultText(code), text, size);
}

}  // namespace velmora::platform::midi
