#include "platform/midi/JackFollowingMidiService.h"

#include <utility>

namespace velmora::platform::midi {

JackFollowingMidiService::JackFollowingMidiService(std::shared_ptr<JackMidiService> jack,
                                                   std::shared_ptr<MidiService> other)
    : jack_(std::move(jack)), other_(std::move(other)) {
  MidiService* first = jack_->Connected() ? static_cast<MidiService*>(jack_.get()) : other_.get();
  inputs_ = outputs_ = first;
}

JackFollowingMidiService::~JackFollowingMidiService() {
  // Their threads may outlive us (the services are shared): none calls back from now on.
  jack_->SetPortsChangedCallback(nullptr);
  other_->SetPortsChangedCallback(nullptr);
}

MidiService& JackFollowingMidiService::Listing(bool input) {
  MidiService& now = jack_->Connected() ? static_cast<MidiService&>(*jack_) : *other_;
  std::lock_guard lock(mutex_);
  (input ? inputs_ : outputs_) = &now;
  return now;
}

MidiService& JackFollowingMidiService::Listed(bool input) {
  std::lock_guard lock(mutex_);
  return *(input ? inputs_ : outputs_);
}

MidiService* JackFollowingMidiService::Owner(const void* handle) const {
  std::lock_guard lock(mutex_);
  const auto found = owners_.find(handle);
  return found == owners_.end() ? nullptr : found->second;
}

void JackFollowingMidiService::Own(const void* handle, MidiService& service) {
  std::lock_guard lock(mutex_);
  owners_[handle] = &service;
}

MidiService* JackFollowingMidiService::Disown(const void* handle) {
  std::lock_guard lock(mutex_);
  const auto found = owners_.find(handle);
  if (found == owners_.end()) return nullptr;
  MidiService* service = found->second;
  owners_.erase(found);
  return service;
}

void JackFollowingMidiService::SetPortsChangedCallback(std::function<void()> callback) {
  if (!callback) {
    // Each service promises no call once its own callback is taken away.
    jack_->SetPortsChangedCallback(nullptr);
    other_->SetPortsChangedCallback(nullptr);
  }
  {
    std::lock_guard lock(callbackMutex_);
    portsChanged_ = callback;
  }
  if (callback) {
    jack_->SetPortsChangedCallback([this] { RaisePortsChanged(); });
    other_->SetPortsChangedCallback([this] { RaisePortsChanged(); });
  }
}

void JackFollowingMidiService::RaisePortsChanged() {
  std::lock_guard lock(callbackMutex_);
  if (portsChanged_) portsChanged_();
}

std::optional<ProcessTimes> JackFollowingMidiService::ProcessCallbackTimes() const {
  return jack_->ProcessCallbackTimes();
}

std::string JackFollowingMidiService::Name() {
  return jack_->Connected() ? jack_->Name() : other_->Name();
}

int JackFollowingMidiService::CallerDeliversInput() {
  return jack_->CallerDeliversInput();
}

std::size_t JackFollowingMidiService::LargestOutputEvent(HMIDIOUT handle) const {
  const MidiService* owner = Owner(handle);
  return owner != nullptr ? owner->LargestOutputEvent(handle) : kLargestEvent;
}

std::optional<bool> JackFollowingMidiService::ExactTimingInForce() {
  return jack_->ExactTimingInForce();
}

void JackFollowingMidiService::SetExactTiming(bool exact) {
  jack_->SetExactTiming(exact);
}

void JackFollowingMidiService::DeliverInput() {
  jack_->DeliverInput();
}

// ---- input --------------------------------------------------------------------------------

std::uint32_t JackFollowingMidiService::midiInGetNumDevs() {
  return Listing(true).midiInGetNumDevs();
}

MMRESULT JackFollowingMidiService::midiInGetDevCapsA(std::uintptr_t id, MIDIINCAPSA* caps,
                                                     std::uint32_t size) {
  return Listed(true).midiInGetDevCapsA(id, caps, size);
}

MMRESULT JackFollowingMidiService::midiInOpen(HMIDIIN* handle, std::uint32_t id,
                                              MidiCallback callback, std::uintptr_t instance,
                                              std::uint32_t flags) {
  MidiService& service = Listed(true);
  const MMRESULT result = service.midiInOpen(handle, id, callback, instance, flags);
  if (result == MMSYSERR_NOERROR) Own(*handle, service);
  return result;
}

MMRESULT JackFollowingMidiService::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header,
                                                       std::uint32_t size) {
  MidiService* service = Owner(handle);
  return service ? service->midiInPrepareHeader(handle, header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackFollowingMidiService::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header,
                                                         std::uint32_t size) {
  MidiService* service = Owner(handle);
  return service ? service->midiInUnprepareHeader(handle, header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackFollowingMidiService::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header,
                                                   std::uint32_t size) {
  MidiService* service = Owner(handle);
  return service ? service->midiInAddBuffer(handle, header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackFollowingMidiService::midiInStart(HMIDIIN handle) {
  MidiService* service = Owner(handle);
  return service ? service->midiInStart(handle) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackFollowingMidiService::midiInStop(HMIDIIN handle) {
  MidiService* service = Owner(handle);
  return service ? service->midiInStop(handle) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackFollowingMidiService::midiInReset(HMIDIIN handle) {
  MidiService* service = Owner(handle);
  return service ? service->midiInReset(handle) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackFollowingMidiService::midiInClose(HMIDIIN handle) {
  // Let go before the service frees it: a handle opened meanwhile may take its address.
  MidiService* service = Disown(handle);
  if (service == nullptr) return MMSYSERR_INVALHANDLE;
  const MMRESULT result = service->midiInClose(handle);
  if (result != MMSYSERR_NOERROR) Own(handle, *service);
  return result;
}

MMRESULT JackFollowingMidiService::midiInGetErrorTextA(MMRESULT code, char* text,
                                                       std::uint32_t size) {
  return CopyErrorText(ResultText(code), text, size);
}

// ---- output -------------------------------------------------------------------------------

std::uint32_t JackFollowingMidiService::midiOutGetNumDevs() {
  return Listing(false).midiOutGetNumDevs();
}

MMRESULT JackFollowingMidiService::midiOutGetDevCapsA(std::intptr_t id, MIDIOUTCAPSA* caps,
                                                      std::uint32_t size) {
  return Listed(false).midiOutGetDevCapsA(id, caps, size);
}

MMRESULT JackFollowingMidiService::midiOutOpen(HMIDIOUT* handle, std::intptr_t id,
                                               MidiCallback callback, std::uintptr_t instance,
                                               std::uint32_t flags) {
  MidiService& service = Listed(false);
  const MMRESULT result = service.midiOutOpen(handle, id, callback, instance, flags);
  if (result == MMSYSERR_NOERROR) Own(*handle, service);
  return result;
}

MMRESULT JackFollowingMidiService::midiOutShortMsg(HMIDIOUT handle, std::uint32_t packed) {
  MidiService* service = Owner(handle);
  return service ? service->midiOutShortMsg(handle, packed) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackFollowingMidiService::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                                        std::uint32_t size) {
  MidiService* service = Owner(handle);
  return service ? service->midiOutPrepareHeader(handle, header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackFollowingMidiService::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                                          std::uint32_t size) {
  MidiService* service = Owner(handle);
  return service ? service->midiOutUnprepareHeader(handle, header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackFollowingMidiService::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header,
                                                  std::uint32_t size) {
  MidiService* service = Owner(handle);
  return service ? service->midiOutLongMsg(handle, header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackFollowingMidiService::midiOutReset(HMIDIOUT handle) {
  MidiService* service = Owner(handle);
  return service ? service->midiOutReset(handle) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackFollowingMidiService::midiOutClose(HMIDIOUT handle) {
  // Let go before the service frees it: a handle opened meanwhile may take its address.
  MidiService* service = Disown(handle);
  if (service == nullptr) return MMSYSERR_INVALHANDLE;
  const MMRESULT result = service->midiOutClose(handle);
  if (result != MMSYSERR_NOERROR) Own(handle, *service);
  return result;
}

MMRESULT JackFollowingMidiService::midiOutGetErrorTextA(MMRESULT code, char* text,
                                                        std::uint32_t size) {
  return CopyErrorText(ResultText(code), text, size);
}

}  // namespace velmora::platform::midi
