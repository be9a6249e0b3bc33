#include "platform/midi/SimulatedMidiService.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <future>

#include "platform/midi/Endpoints.h"

namespace velmora::platform::midi {

struct SimulatedMidiService::Device {
  DeviceKey key = 0;
  bool input = false;
  std::string name;
  bool present = true;     // guarded by the service's mutex
  std::vector<Sent> sent;  // outputs only; guarded by the service's mutex
};

class SimulatedMidiService::SimInput final : public InputEndpoint {
 public:
  SimInput(std::shared_ptr<Device> device, MidiCallback callback, std::uintptr_t instance)
      : InputEndpoint(callback, instance), device(std::move(device)) {}
  const std::shared_ptr<Device> device;
};

class SimulatedMidiService::SimOutput final : public OutputEndpoint {
 public:
  SimOutput(std::shared_ptr<Device> device, MidiCallback callback, std::uintptr_t instance)
      : OutputEndpoint(callback, instance), device(std::move(device)) {}
  const std::shared_ptr<Device> device;
  std::deque<MIDIHDR*> held;  // long messages in play while held; guarded by the service's mutex
};

SimulatedMidiService::SimulatedMidiService() : driver_([this] { DriverLoop(); }) {}

SimulatedMidiService::~SimulatedMidiService() {
  {
    std::lock_guard lock(taskMutex_);
    stopping_ = true;
  }
  taskArrived_.notify_all();
  driver_.join();
}

// ---- the simulation's side ----------------------------------------------------------------

SimulatedMidiService::DeviceKey SimulatedMidiService::AddInput(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto device = std::make_shared<Device>();
  device->key = nextKey_++;
  device->input = true;
  device->name = name;
  devices_.push_back(device);
  all_.push_back(device);
  PostPortsChanged();
  return device->key;
}

SimulatedMidiService::DeviceKey SimulatedMidiService::AddOutput(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto device = std::make_shared<Device>();
  device->key = nextKey_++;
  device->name = name;
  devices_.push_back(device);
  all_.push_back(device);
  PostPortsChanged();
  return device->key;
}

void SimulatedMidiService::Remove(DeviceKey key) {
  std::lock_guard lock(mutex_);
  auto found = std::find_if(devices_.begin(), devices_.end(),
                            [&](const auto& device) { return device->key == key; });
  if (found == devices_.end()) return;
  (*found)->present = false;
  devices_.erase(found);
  // On the driver thread, to handles still open then: one closed meanwhile is gone from the
  // lists, and the lists are read under the lock, which closing also takes.
  Post([this, key] {
    std::lock_guard lock(mutex_);
    for (const auto& input : inputs_) {
      if (input->device->key == key) input->Lost();
    }
    for (const auto& output : outputs_) {
      if (output->device->key == key) output->Lost();
    }
  });
  PostPortsChanged();
}

bool SimulatedMidiService::Play(DeviceKey key, std::vector<std::uint8_t> message) {
  {
    std::lock_guard lock(mutex_);
    const bool present = std::any_of(devices_.begin(), devices_.end(), [&](const auto& device) {
      return device->key == key && device->input;
    });
    if (!present) return false;
  }
  Post([this, key, message = std::move(message)] {
    // The delivery itself runs outside the service's lock: it calls back into user code.
    SimInput* target = nullptr;
    {
      std::lock_guard lock(mutex_);
      for (const auto& input : inputs_) {
        if (input->device->key == key && input->device->present) target = input.get();
      }
    }
    // Handles are destroyed only on this thread's queue turn (see midiInClose), so target
    // stays valid here.
    if (target != nullptr) target->Deliver(message.data(), message.size());
  });
  return true;
}

bool SimulatedMidiService::PlayShort(DeviceKey key, std::uint32_t packed) {
  std::vector<std::uint8_t> bytes;
  const auto status = static_cast<std::uint8_t>(packed & 0xFF);
  const std::size_t length = std::max<std::size_t>(ShortMessageLength(status), 1);
  for (std::size_t i = 0; i < length; ++i) {
    bytes.push_back(static_cast<std::uint8_t>((packed >> (8 * i)) & 0xFF));
  }
  return Play(key, std::move(bytes));
}

void SimulatedMidiService::Flush() {
  std::promise<void> done;
  auto future = done.get_future();
  Post([&done] { done.set_value(); });
  future.wait();
}

void SimulatedMidiService::HoldLongMessages(bool hold) {
  std::vector<std::pair<SimOutput*, MIDIHDR*>> release;
  {
    std::lock_guard lock(mutex_);
    hold_ = hold;
    if (hold) return;
    for (const auto& output : outputs_) {
      for (auto* header : output->held) release.emplace_back(output.get(), header);
      output->held.clear();
    }
  }
  Post([release] {
    for (auto [output, header] : release) output->CompleteLong(header);
  });
}

void SimulatedMidiService::FailNext(Call call, MMRESULT result, int times) {
  std::lock_guard lock(mutex_);
  for (int i = 0; i < times; ++i) failures_[call].push_back(result);
}

std::vector<SimulatedMidiService::Sent> SimulatedMidiService::SentTo(DeviceKey key) const {
  std::lock_guard lock(mutex_);
  for (const auto& device : all_) {
    if (device->key == key) return device->sent;
  }
  return {};
}

bool SimulatedMidiService::WaitSent(DeviceKey key, std::size_t count,
                                    std::chrono::milliseconds bound) const {
  std::unique_lock lock(mutex_);
  return sentChanged_.wait_for(lock, bound, [&] {
    return std::any_of(all_.begin(), all_.end(), [&](const auto& device) {
      return device->key == key && device->sent.size() >= count;
    });
  });
}

int SimulatedMidiService::OpenHandles() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(inputs_.size() + outputs_.size());
}

// ---- helpers ------------------------------------------------------------------------------

MMRESULT SimulatedMidiService::Injected(Call call) {
  std::lock_guard lock(mutex_);
  auto found = failures_.find(call);
  if (found == failures_.end() || found->second.empty()) return MMSYSERR_NOERROR;
  const MMRESULT result = found->second.front();
  found->second.pop_front();
  return result;
}

std::shared_ptr<SimulatedMidiService::Device> SimulatedMidiService::FindLocked(
    bool input, std::intptr_t id) const {
  std::intptr_t index = 0;
  for (const auto& device : devices_) {
    if (device->input != input) continue;
    if (index == id) return device;
    ++index;
  }
  return nullptr;
}

SimulatedMidiService::SimInput* SimulatedMidiService::InputLocked(HMIDIIN handle) const {
  for (const auto& input : inputs_) {
    if (input.get() == handle) return input.get();
  }
  return nullptr;
}

SimulatedMidiService::SimOutput* SimulatedMidiService::OutputLocked(HMIDIOUT handle) const {
  for (const auto& output : outputs_) {
    if (output.get() == handle) return output.get();
  }
  return nullptr;
}

void SimulatedMidiService::SetPortsChangedCallback(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  portsChanged_ = std::move(callback);
}

void SimulatedMidiService::PostPortsChanged() {
  Post([this] {
    std::function<void()> callback;
    {
      std::lock_guard lock(mutex_);
      callback = portsChanged_;
    }
    if (callback) callback();
  });
}

void SimulatedMidiService::Post(std::function<void()> task) {
  {
    std::lock_guard lock(taskMutex_);
    tasks_.push_back(std::move(task));
  }
  taskArrived_.notify_one();
}

void SimulatedMidiService::DriverLoop() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(taskMutex_);
      taskArrived_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;  // stopping, and nothing left to do
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    try {
      task();
    } catch (...) {
      // A callback that throws must not end the driver; the message is lost.
    }
  }
}

// ---- input --------------------------------------------------------------------------------

std::uint32_t SimulatedMidiService::midiInGetNumDevs() {
  std::lock_guard lock(mutex_);
  return static_cast<std::uint32_t>(
      std::count_if(devices_.begin(), devices_.end(), [](const auto& d) { return d->input; }));
}

MMRESULT SimulatedMidiService::midiInGetDevCapsA(std::uintptr_t id, MIDIINCAPSA* caps,
                                                 std::uint32_t size) {
  if (auto result = Injected(Call::InGetDevCaps)) return result;
  if (caps == nullptr || size < sizeof(MIDIINCAPSA)) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  if (id > static_cast<std::uintptr_t>(INTPTR_MAX)) return MMSYSERR_BADDEVICEID;
  auto device = FindLocked(true, static_cast<std::intptr_t>(id));
  if (!device) return MMSYSERR_BADDEVICEID;
  *caps = MIDIINCAPSA{};
  caps->wMid = 0xFFFF;
  caps->wPid = static_cast<std::uint16_t>(device->key);
  caps->vDriverVersion = 0x0100;
  CopyName(device->name, caps->szPname);
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidiService::midiInOpen(HMIDIIN* handle, std::uint32_t id, MidiCallback callback,
                                          std::uintptr_t instance, std::uint32_t flags) {
  if (auto result = Injected(Call::InOpen)) return result;
  if (handle == nullptr || callback == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
  std::lock_guard lock(mutex_);
  auto device = FindLocked(true, id);
  if (!device) return MMSYSERR_BADDEVICEID;
  for (const auto& input : inputs_) {
    if (input->device == device) return MMSYSERR_ALLOCATED;
  }
  inputs_.push_back(std::make_unique<SimInput>(device, callback, instance));
  *handle = inputs_.back().get();
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidiService::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header,
                                                   std::uint32_t size) {
  if (auto result = Injected(Call::InPrepareHeader)) return result;
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  return input ? input->Prepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT SimulatedMidiService::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header,
                                                     std::uint32_t size) {
  if (auto result = Injected(Call::InUnprepareHeader)) return result;
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  return input ? input->Unprepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT SimulatedMidiService::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header,
                                               std::uint32_t size) {
  if (auto result = Injected(Call::InAddBuffer)) return result;
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  return input ? input->AddBuffer(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT SimulatedMidiService::midiInStart(HMIDIIN handle) {
  if (auto result = Injected(Call::InStart)) return result;
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  if (!input) return MMSYSERR_INVALHANDLE;
  if (!input->device->present) return MIDIERR_NODEVICE;
  return input->Start();
}

MMRESULT SimulatedMidiService::midiInStop(HMIDIIN handle) {
  if (auto result = Injected(Call::InStop)) return result;
  SimInput* input = nullptr;
  {
    std::lock_guard lock(mutex_);
    input = InputLocked(handle);
  }
  // Outside the service's lock: stopping may call back. The handle lives until midiInClose,
  // which only this (the UI) thread calls.
  return input ? input->Stop() : MMSYSERR_INVALHANDLE;
}

MMRESULT SimulatedMidiService::midiInReset(HMIDIIN handle) {
  if (auto result = Injected(Call::InReset)) return result;
  SimInput* input = nullptr;
  {
    std::lock_guard lock(mutex_);
    input = InputLocked(handle);
  }
  return input ? input->Reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT SimulatedMidiService::midiInClose(HMIDIIN handle) {
  if (auto result = Injected(Call::InClose)) return result;
  SimInput* input = nullptr;
  {
    std::lock_guard lock(mutex_);
    input = InputLocked(handle);
  }
  if (!input) return MMSYSERR_INVALHANDLE;
  if (auto result = input->Close()) return result;
  // The driver thread may hold the handle for a delivery that it looked up before the close;
  // the handle is destroyed on that thread's queue, after any such delivery.
  std::promise<void> destroyed;
  auto future = destroyed.get_future();
  Post([this, handle, &destroyed] {
    {
      std::lock_guard lock(mutex_);
      std::erase_if(inputs_, [&](const auto& input) { return input.get() == handle; });
    }
    destroyed.set_value();
  });
  future.wait();
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidiService::midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  if (auto result = Injected(Call::InGetErrorText)) return result;
  return CopyErrorText(ResultText(code), text, size);
}

// ---- output -------------------------------------------------------------------------------

std::uint32_t SimulatedMidiService::midiOutGetNumDevs() {
  std::lock_guard lock(mutex_);
  return static_cast<std::uint32_t>(
      std::count_if(devices_.begin(), devices_.end(), [](const auto& d) { return !d->input; }));
}

MMRESULT SimulatedMidiService::midiOutGetDevCapsA(std::intptr_t id, MIDIOUTCAPSA* caps,
                                                  std::uint32_t size) {
  if (auto result = Injected(Call::OutGetDevCaps)) return result;
  if (caps == nullptr || size < sizeof(MIDIOUTCAPSA)) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  const bool mapper = id == MIDI_MAPPER;
  auto device = FindLocked(false, mapper ? 0 : id);
  if (!device || id < MIDI_MAPPER) return MMSYSERR_BADDEVICEID;
  *caps = MIDIOUTCAPSA{};
  caps->wMid = 0xFFFF;
  caps->wPid = mapper ? 0 : static_cast<std::uint16_t>(device->key);
  caps->vDriverVersion = 0x0100;
  CopyName(mapper ? kMapperName : device->name, caps->szPname);
  caps->wTechnology = mapper ? MOD_MAPPER : MOD_MIDIPORT;
  caps->wChannelMask = 0xFFFF;
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidiService::midiOutOpen(HMIDIOUT* handle, std::intptr_t id,
                                           MidiCallback callback, std::uintptr_t instance,
                                           std::uint32_t flags) {
  if (auto result = Injected(Call::OutOpen)) return result;
  if (handle == nullptr || callback == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
  std::lock_guard lock(mutex_);
  // The mapper plays on output 0.
  auto device = id < MIDI_MAPPER ? nullptr : FindLocked(false, id == MIDI_MAPPER ? 0 : id);
  if (!device) return MMSYSERR_BADDEVICEID;
  outputs_.push_back(std::make_unique<SimOutput>(device, callback, instance));
  *handle = outputs_.back().get();
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidiService::midiOutShortMsg(HMIDIOUT handle, std::uint32_t packed) {
  if (auto result = Injected(Call::OutShortMsg)) return result;
  {
    std::lock_guard lock(mutex_);
    auto* output = OutputLocked(handle);
    if (!output) return MMSYSERR_INVALHANDLE;
    if (!output->device->present) return MIDIERR_NODEVICE;
    output->device->sent.push_back(Sent{false, packed, {}});
  }
  sentChanged_.notify_all();
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidiService::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                                    std::uint32_t size) {
  if (auto result = Injected(Call::OutPrepareHeader)) return result;
  std::lock_guard lock(mutex_);
  auto* output = OutputLocked(handle);
  return output ? output->Prepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT SimulatedMidiService::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                                      std::uint32_t size) {
  if (auto result = Injected(Call::OutUnprepareHeader)) return result;
  std::lock_guard lock(mutex_);
  auto* output = OutputLocked(handle);
  return output ? output->Unprepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT SimulatedMidiService::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header,
                                              std::uint32_t size) {
  if (auto result = Injected(Call::OutLongMsg)) return result;
  SimOutput* output = nullptr;
  {
    std::lock_guard lock(mutex_);
    output = OutputLocked(handle);
    if (!output) return MMSYSERR_INVALHANDLE;
    if (!output->device->present) return MIDIERR_NODEVICE;
    if (auto result = output->BeginLong(header, size)) return result;
    const auto* data = reinterpret_cast<const std::uint8_t*>(header->lpData);
    output->device->sent.push_back(Sent{true, 0, {data, data + header->dwBufferLength}});
    if (hold_) {
      output->held.push_back(header);
      header = nullptr;
    }
  }
  sentChanged_.notify_all();
  if (header != nullptr) Post([output, header] { output->CompleteLong(header); });
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidiService::midiOutReset(HMIDIOUT handle) {
  if (auto result = Injected(Call::OutReset)) return result;
  SimOutput* output = nullptr;
  std::deque<MIDIHDR*> held;
  {
    std::lock_guard lock(mutex_);
    output = OutputLocked(handle);
    if (!output) return MMSYSERR_INVALHANDLE;
    held.swap(output->held);
  }
  for (auto* header : held) output->CompleteLong(header);
  Flush();  // long messages already on their way complete before the reset returns
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidiService::midiOutClose(HMIDIOUT handle) {
  if (auto result = Injected(Call::OutClose)) return result;
  SimOutput* output = nullptr;
  {
    std::lock_guard lock(mutex_);
    output = OutputLocked(handle);
  }
  if (!output) return MMSYSERR_INVALHANDLE;
  if (auto result = output->Close()) return result;
  std::lock_guard lock(mutex_);
  std::erase_if(outputs_, [&](const auto& o) { return o.get() == handle; });
  return MMSYSERR_NOERROR;
}

MMRESULT SimulatedMidiService::midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  if (auto result = Injected(Call::OutGetErrorText)) return result;
  return CopyErrorText(ResultText(code), text, size);
}

}  // namespace velmora::platform::midi
