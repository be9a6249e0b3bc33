#include "core/MidiDeviceAdapters.h"

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

}  // namespace velmora::core
