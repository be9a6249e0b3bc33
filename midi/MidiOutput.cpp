#include "midi/MidiOutput.h"

#include <algorithm>
#include <cstring>

namespace velmora::midi {

namespace pm = platform::midi;

TMidiOutput::TMidiOutput(std::shared_ptr<pm::MidiService> service)
    : service_(std::move(service)), window_(NewWindow()) {
  deviceCount_ = static_cast<std::uint16_t>(service_->midiOutGetNumDevs());
}

TMidiOutput::~TMidiOutput() {
  if (handle_ == nullptr) return;
  // Close refuses while a long message plays: end them first, then close.
  if (service_->midiOutClose(handle_) == pm::MMSYSERR_NOERROR) return;
  service_->midiOutReset(handle_);
  if (service_->midiOutClose(handle_) == pm::MMSYSERR_NOERROR) return;
  // Still open at the platform: what the driver may touch must outlive us.
  for (auto& header : pending_) static_cast<void>(header.release());
  static_cast<void>(context_.release());
}

std::unique_ptr<platform::MessageWindow> TMidiOutput::NewWindow() {
  return std::make_unique<platform::MessageWindow>(
      [this](const platform::Message& message) { return WindowProc(message); });
}

pm::MMRESULT TMidiOutput::Store(pm::MMRESULT result) {
  error_ = static_cast<std::uint16_t>(result & 0xFFFF);
  return result;
}

void TMidiOutput::Check(pm::MMRESULT result) {
  if (Store(result) != pm::MMSYSERR_NOERROR) throw EmidioutputError(ErrorText(result));
}

void TMidiOutput::SetDeviceID(std::int32_t value) {
  if (state_ == TMidiPortState::mpsOpen) {
    throw EmidioutputError("Change to DeviceID while device was open");
  }
  // Signed on purpose: -1 is the mapper; other negative numbers fail at the platform.
  if (static_cast<std::int64_t>(value) >=
      static_cast<std::int64_t>(service_->midiOutGetNumDevs())) {
    throw EmidioutputError("Invalid device ID");
  }
  deviceID_ = value;
  pm::MIDIOUTCAPSA caps;
  Check(service_->midiOutGetDevCapsA(value, &caps, sizeof caps));
  productName_ = std::string(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
  driverVersion_ = caps.vDriverVersion;
  technology_ = static_cast<std::uint8_t>(caps.wTechnology & 0xFF);
  voices_ = caps.wVoices;
  notes_ = caps.wNotes;
  channelMask_ = caps.wChannelMask;
  support_ = caps.dwSupport;
}

void TMidiOutput::SetProductName(const std::string& name) {
  if (state_ == TMidiPortState::mpsOpen) {
    throw EmidioutputError("Change to ProductName while device was open");
  }
  const auto count = static_cast<std::int64_t>(service_->midiOutGetNumDevs());
  std::int64_t id = pm::MIDI_MAPPER;  // the mapper first
  for (; id < count; ++id) {
    pm::MIDIOUTCAPSA caps;
    Check(service_->midiOutGetDevCapsA(static_cast<std::intptr_t>(id), &caps, sizeof caps));
    if (name == std::string(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname))) {
      productName_ = name;
      break;
    }
  }
  if (productName_ != name) throw EmidioutputError("MIDI output Device " + name + " not installed");
  SetDeviceID(static_cast<std::int32_t>(id));
}

bool TMidiOutput::Open() {
  onUiThread_();
  if (state_ == TMidiPortState::mpsOpen) return true;
  try {
    if (!context_) context_ = std::make_unique<TCallbackContext>();
    context_->Ring.store(nullptr, std::memory_order_release);
    context_->Window = window_->ref();
    Check(service_->midiOutOpen(&handle_, deviceID_, &DriverCallback,
                                reinterpret_cast<std::uintptr_t>(context_.get()),
                                pm::CALLBACK_FUNCTION));
    state_ = TMidiPortState::mpsOpen;
    return true;
  } catch (const std::exception&) {
    if (error_ == 0) error_ = pm::MMSYSERR_NOMEM;
    context_.reset();
    return false;
  }
}

bool TMidiOutput::Close() {
  onUiThread_();
  bool result = false;
  if (state_ == TMidiPortState::mpsOpen) {
    Check(service_->midiOutClose(handle_));
    result = true;
    window_ = NewWindow();
  }
  handle_ = nullptr;
  state_ = TMidiPortState::mpsClosed;
  return result;
}

void TMidiOutput::SendEvent(const TMyMidiEvent& event) {
  if (state_ != TMidiPortState::mpsOpen) throw EmidioutputError("MIDI Output device not open");
  if (event.SysexData == nullptr) {
    SendShort(event.StatusByte, event.FirstDataByte, event.SecondDataByte);
  } else {
    SendLong(event.SysexData.get(), event.SysexSize);
  }
}

void TMidiOutput::SendShort(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
  const std::uint32_t packed = static_cast<std::uint32_t>(status) |
                               (static_cast<std::uint32_t>(data1) << 8) |
                               (static_cast<std::uint32_t>(data2) << 16);
  Check(service_->midiOutShortMsg(handle_, packed));
}

void TMidiOutput::SendLong(const std::uint8_t* data, std::uint16_t length) {
  // The platform needs a header, and an empty block has none.
  if (length == 0 || data == nullptr) Check(pm::MMSYSERR_INVALPARAM);
  std::unique_ptr<TMyMidiHdr> buffer;
  try {
    buffer = std::make_unique<TMyMidiHdr>(length);
  } catch (const std::bad_alloc&) {
    Check(pm::MMSYSERR_NOMEM);
  }
  std::memcpy(buffer->DataBlock(), data, length);
  pm::MIDIHDR* header = buffer->HeaderBlock();
  header->dwUser = reinterpret_cast<std::uintptr_t>(buffer.get());
  Check(service_->midiOutPrepareHeader(handle_, header, sizeof(pm::MIDIHDR)));
  // Kept before sending: MOM_DONE may be handled before midiOutLongMsg returns.
  pending_.push_back(std::move(buffer));
  const auto result = Store(service_->midiOutLongMsg(handle_, header, sizeof(pm::MIDIHDR)));
  if (result != pm::MMSYSERR_NOERROR) {
    // No MOM_DONE will come for it: release it here.
    service_->midiOutUnprepareHeader(handle_, header, sizeof(pm::MIDIHDR));
    pending_.pop_back();
    throw EmidioutputError(ErrorText(result));
  }
}

std::string TMidiOutput::ErrorText(pm::MMRESULT code) const {
  std::vector<char> text(pm::MAXERRORLENGTH, '\0');
  if (service_->midiOutGetErrorTextA(code, text.data(), pm::MAXERRORLENGTH) !=
      pm::MMSYSERR_NOERROR) {
    return "Specified error number is out of range";
  }
  return std::string(text.data(), strnlen(text.data(), text.size()));
}

std::intptr_t TMidiOutput::WindowProc(const platform::Message& message) {
  if (message.id == pm::MM_DEVICELOST) {
    linkCut_ = static_cast<std::uintptr_t>(message.lParam) == pm::kLinkCut;
    if (onDeviceLost_ && state_ == TMidiPortState::mpsOpen) onDeviceLost_(*this);
    return 0;
  }
  if (message.id != pm::MOM_DONE) return 0;
  auto* header = reinterpret_cast<pm::MIDIHDR*>(message.lParam);
  // Only headers of our own long messages: a stale or foreign one is left alone.
  auto found = std::find_if(pending_.begin(), pending_.end(),
                            [&](const auto& buffer) { return buffer->HeaderBlock() == header; });
  if (found == pending_.end()) return 0;
  service_->midiOutUnprepareHeader(handle_, header, sizeof(pm::MIDIHDR));
  pending_.erase(found);
  if (onMidiOutput_) onMidiOutput_(*this);
  return 0;
}

std::size_t TMidiOutput::LargestEvent() const {
  if (handle_ == nullptr) return platform::midi::kLargestEvent;
  return service_->LargestOutputEvent(handle_);
}

}  // namespace velmora::midi
