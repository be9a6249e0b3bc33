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

void RealMidiOutput::SetOnDeviceLost(std::function<void()> handler) {
  if (!handler) {
    output_.SetOnDeviceLost(nullptr);
    return;
  }
  output_.SetOnDeviceLost([handler = std::move(handler)](midi::TMidiOutput&) { handler(); });
}

std::vector<std::string> RealMidiInput::PortNames() {
  std::vector<std::string> names;
  const std::uint32_t count = service_->midiInGetNumDevs();
  for (std::uint32_t id = 0; id < count; ++id) {
    platform::midi::MIDIINCAPSA caps;
    if (service_->midiInGetDevCapsA(id, &caps, sizeof caps) != platform::midi::MMSYSERR_NOERROR)
      continue;  // gone between the two calls
    names.emplace_back(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
  }
  return names;
}

std::vector<std::string> RealMidiOutput::PortNames() {
  std::vector<std::string> names;
  const std::uint32_t count = service_->midiOutGetNumDevs();
  for (std::uint32_t id = 0; id < count; ++id) {
    platform::midi::MIDIOUTCAPSA caps;
    if (service_->midiOutGetDevCapsA(id, &caps, sizeof caps) != platform::midi::MMSYSERR_NOERROR)
      continue;
    names.emplace_back(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
  }
  return names;
}

}  // namespace velmora::core
