#include "TimedMidiService.h"

namespace velmora::bench {

namespace pm = platform::midi;

pm::MMRESULT TimedMidiService::midiInOpen(pm::HMIDIIN* handle, std::uint32_t id,
                                          pm::MidiCallback callback, std::uintptr_t instance,
                                          std::uint32_t flags) {
  Opened* opened = nullptr;
  {
    std::lock_guard lock(mutex_);
    opened = &opened_.emplace_back(Opened{this, callback, instance});
  }
  return inner_->midiInOpen(handle, id, &TimedMidiService::Relay,
                            reinterpret_cast<std::uintptr_t>(opened), flags);
}

void TimedMidiService::Relay(void* handle, std::uint32_t message, std::uintptr_t instance,
                             std::uintptr_t param1, std::uintptr_t param2) {
  const auto at = Clock::now();
  const auto* opened = reinterpret_cast<const Opened*>(instance);
  if (message == pm::MIM_DATA && opened->self->onInput) {
    opened->self->onInput(static_cast<std::uint32_t>(param1), at);
  }
  if (opened->callback) opened->callback(handle, message, opened->instance, param1, param2);
}

}  // namespace velmora::bench
