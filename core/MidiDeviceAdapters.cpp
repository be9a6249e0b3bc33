#include "core/MidiDeviceAdapters.h"

#include <cstring>

namespace velmora::core {

void RealMidiInput::SetOnMidiInput(std::function<void(MidiInputDevice& sender)> handler) {
  if (!handler) {
    input_.SetOnMidiInput(nullptr);
    return;
  }
  input_.SetOnMidiInput(
      [this, handler = std::move(handler)](midi::TMidiInput&) { handler(*this); });
}

void RealMidiOutput::SetOnMidiOutput(std::function<void()> handler) {
  if (!handler) {
    output_.SetOnmidioutput(nullptr);
    return;
  }
  output_.SetOnmidioutput([handler = std::move(handler)](midi::TMidiOutput&) { handler(); });
}

void RealMidiInput::SetOnDeviceLost(std::function<void()> handler) {
  if (!handler) {
    input_.SetOnDeviceLost(nullptr);
    return;
  }
  input_.SetOnDeviceLost([handler = std::move(handler)](midi::TMidiInput&) { handler(); });
}

void RealMidiInput::SetOnOverflow(std::function<void(std::uint64_t refused)> handler) {
  if (!handler) {
    input_.SetOnOverflow(nullptr);
    return;
  }
  input_.SetOnOverflow([handler = std::move(handler)](midi::TMidiInput&, std::uint64_t refused) {
    handler(refused);
  });
}

void RealMidiInput::SetOnMalformed(std::function<void(std::uint64_t refused)> handler) {
  if (!handler) {
    input_.SetOnMalformed(nullptr);
    return;
  }
  input_.SetOnMalformed([handler = std::move(handler)](midi::TMidiInput&, std::uint64_t refused) {
    handler(refused);
  });
}

void RealMidiOutput::SetOnDeviceLost(std::function<void()> handler) {
  if (!handler) {
    output_.SetOnDeviceLost(nullptr);
    return;
  }
  output_.SetOnDeviceLost([handler = std::move(handler)](midi::TMidiOutput&) { handler(); });
}

namespace {

// The names that the service's capability records give, for inputs or outputs.
template <typename Caps, typename Count, typename GetCaps>
std::vector<std::string> ServicePortNames(Count count, GetCaps getCaps) {
  std::vector<std::string> names;
  for (std::uint32_t id = 0; id < count(); ++id) {
    Caps caps;
    if (getCaps(id, caps) != platform::midi::MMSYSERR_NOERROR) continue;  // gone meanwhile
    names.emplace_back(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
  }
  return names;
}

}  // namespace

std::vector<std::string> RealMidiInput::PortNames() {
  return ServicePortNames<platform::midi::MIDIINCAPSA>([&] { return service_->midiInGetNumDevs(); },
                                                       [&](std::uint32_t id, auto& caps) {
                                                         return service_->midiInGetDevCapsA(
                                                             id, &caps, sizeof caps);
                                                       });
}

std::vector<std::string> RealMidiOutput::PortNames() {
  return ServicePortNames<platform::midi::MIDIOUTCAPSA>(
      [&] { return service_->midiOutGetNumDevs(); },
      [&](std::uint32_t id, auto& caps) {
        return service_->midiOutGetDevCapsA(id, &caps, sizeof caps);
      });
}

}  // namespace velmora::core
