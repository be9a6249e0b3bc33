#include "midi/MidiInput.h"

#include <algorithm>
#include <cstring>

namespace velmora::midi {

namespace pm = platform::midi;

TMidiInput::TMidiInput(std::shared_ptr<pm::MidiService> service)
    : service_(std::move(service)), window_(NewWindow()) {
  deviceCount_ = static_cast<std::uint16_t>(service_->midiInGetNumDevs());
  SetDeviceID(0);
  state_ = TMidiPortState::mpsClosed;
}

TMidiInput::~TMidiInput() {
  if (!ReleaseDevice()) {
    // The driver may still call back into these: they must outlive us.
    for (auto& buffer : sysexBuffers_) static_cast<void>(buffer.release());
    static_cast<void>(ring_.release());
    static_cast<void>(context_.release());
  }
}

std::unique_ptr<platform::MessageWindow> TMidiInput::NewWindow() {
  return std::make_unique<platform::MessageWindow>(
      [this](const platform::Message& message) { return WindowProc(message); });
}

pm::MMRESULT TMidiInput::Store(pm::MMRESULT result) {
  error_ = static_cast<std::uint16_t>(result & 0xFFFF);
  return result;
}

void TMidiInput::Check(pm::MMRESULT result) {
  if (Store(result) != pm::MMSYSERR_NOERROR) throw EMidiInputError(ErrorText(result));
}

void TMidiInput::SetDeviceID(std::uint16_t value) {
  if (state_ == TMidiPortState::mpsOpen) {
    throw EMidiInputError("Change to DeviceID while device was open");
  }
  if (value >= service_->midiInGetNumDevs()) throw EMidiInputError("Invalid device ID");
  deviceID_ = value;
  pm::MIDIINCAPSA caps;
  Check(service_->midiInGetDevCapsA(value, &caps, sizeof caps));
  productName_ = std::string(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
  driverVersion_ = caps.vDriverVersion;
  manufacturerID_ = caps.wMid;
  productID_ = caps.wPid;
}

void TMidiInput::SetProductName(const std::string& name) {
  if (state_ == TMidiPortState::mpsOpen) {
    throw EMidiInputError("Change to ProductName while device was open");
  }
  const std::uint32_t count = service_->midiInGetNumDevs();
  std::uint32_t id = 0;
  do {  // runs once even without devices: that query fails and raises
    pm::MIDIINCAPSA caps;
    Check(service_->midiInGetDevCapsA(id, &caps, sizeof caps));
    if (name == std::string(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname))) {
      productName_ = name;
      break;
    }
    ++id;
  } while (id < count);
  if (productName_ != name) throw EMidiInputError("MIDI Input Device " + name + " not installed ");
  SetDeviceID(static_cast<std::uint16_t>(std::min<std::uint32_t>(id, 0xFFFF)));
}

void TMidiInput::SetSysexBufferSize(std::uint16_t value) {
  if (state_ == TMidiPortState::mpsOpen) {
    throw EMidiInputError("Change to SysexBufferSize while device was open");
  }
  sysexBufferSize_ = value;
}

void TMidiInput::SetSysexBufferCount(std::uint16_t value) {
  if (state_ == TMidiPortState::mpsOpen) {
    throw EMidiInputError("Change to SysexBuffercount while device was open");
  }
  sysexBufferCount_ = value;
}

void TMidiInput::SetSysexOnly(bool value) {
  sysexOnly_ = value;
  if (context_) context_->SysexOnly.store(value, std::memory_order_relaxed);
}

void TMidiInput::SetDroppedShort(std::uint32_t statuses) {
  droppedShort_ = statuses;
  if (context_) context_->DroppedShort.store(statuses, std::memory_order_relaxed);
}

void TMidiInput::Open() {
  onUiThread_();
  if (state_ == TMidiPortState::mpsOpen) return;
  // A device left open by a failed Close must be shut before another is opened.
  if (handle_ != nullptr) {
    if (!ReleaseDevice()) return;
    window_ = NewWindow();
  }
  try {
    // A fresh ring: one kept from a failed close may hold headers that are gone.
    RingFree(ring_);
    if (capacity_ == 0) Check(pm::MMSYSERR_INVALPARAM);  // a ring without a slot
    ring_ = RingCreate(capacity_);
    if (!ring_) Check(pm::MMSYSERR_NOMEM);
    if (!context_) context_ = std::make_unique<TCallbackContext>();
    context_->Ring.store(ring_.get(), std::memory_order_release);
    context_->Window = window_->ref();
    context_->SysexOnly.store(sysexOnly_, std::memory_order_relaxed);
    context_->DroppedShort.store(droppedShort_, std::memory_order_relaxed);
    // A count left by a closed session would keep the next episode from being reported.
    context_->Refused.store(0, std::memory_order_relaxed);
    context_->Malformed.store(0, std::memory_order_relaxed);
    Check(service_->midiInOpen(&handle_, deviceID_, &DriverCallback,
                               reinterpret_cast<std::uintptr_t>(context_.get()),
                               pm::CALLBACK_FUNCTION));
    CreateSysexBuffers();
    QueueSysexBuffers();
    state_ = TMidiPortState::mpsOpen;
  } catch (const std::exception&) {
    const std::uint16_t failure = error_ != 0 ? error_ : pm::MMSYSERR_NOMEM;
    // Ring and context may go only once the driver can no longer call back.
    if (ReleaseDevice()) {
      RingFree(ring_);
      context_.reset();
    }
    error_ = failure;
  }
}

void TMidiInput::CreateSysexBuffers() {
  if (sysexBufferCount_ == 0 || sysexBufferSize_ == 0 || handle_ == nullptr) return;
  sysexBuffers_.clear();
  for (std::uint16_t i = 0; i < sysexBufferCount_; ++i) {
    std::unique_ptr<TMyMidiHdr> buffer;
    try {
      buffer = std::make_unique<TMyMidiHdr>(sysexBufferSize_);
    } catch (const std::bad_alloc&) {
      Check(pm::MMSYSERR_NOMEM);
    }
    buffer->HeaderBlock()->dwUser = reinterpret_cast<std::uintptr_t>(buffer.get());
    Check(service_->midiInPrepareHeader(handle_, buffer->HeaderBlock(), sizeof(pm::MIDIHDR)));
    sysexBuffers_.push_back(std::move(buffer));
  }
}

void TMidiInput::QueueSysexBuffers() {
  for (const auto& buffer : sysexBuffers_) {
    Check(service_->midiInAddBuffer(handle_, buffer->HeaderBlock(), sizeof(pm::MIDIHDR)));
  }
}

void TMidiInput::FreeSysexBuffers() {
  while (!sysexBuffers_.empty()) {
    Check(service_->midiInUnprepareHeader(handle_, sysexBuffers_.front()->HeaderBlock(),
                                          sizeof(pm::MIDIHDR)));
    sysexBuffers_.erase(sysexBuffers_.begin());
  }
}

bool TMidiInput::ReleaseDevice() noexcept {
  if (handle_ == nullptr) return true;
  try {
    Store(service_->midiInReset(handle_));
    FreeSysexBuffers();
    Check(service_->midiInClose(handle_));
  } catch (...) {
    return false;
  }
  handle_ = nullptr;
  return true;
}

void TMidiInput::Close() {
  onUiThread_();
  if (state_ != TMidiPortState::mpsOpen) return;
  // First, so that notifications still waiting for the window raise nothing.
  state_ = TMidiPortState::mpsClosed;
  // The reset hands every queued buffer back; those items stay in the ring, never taken.
  Check(service_->midiInReset(handle_));
  FreeSysexBuffers();
  Check(service_->midiInClose(handle_));
  handle_ = nullptr;
  RingFree(ring_);
  window_ = NewWindow();
}

void TMidiInput::Start() {
  if (state_ == TMidiPortState::mpsOpen) Check(service_->midiInStart(handle_));
}

void TMidiInput::Stop() {
  if (state_ == TMidiPortState::mpsOpen) Check(service_->midiInStop(handle_));
}

std::uint16_t TMidiInput::EventCount() const {
  if (state_ != TMidiPortState::mpsOpen || !ring_) return 0;
  return ring_->Count.load(std::memory_order_acquire);
}

std::unique_ptr<TMyMidiEvent> TMidiInput::TakeEvent() {
  auto event = std::make_unique<TMyMidiEvent>();
  if (!TakeEvent(*event)) return nullptr;
  return event;
}

bool TMidiInput::TakeEvent(TMyMidiEvent& into) {
  TRingItem item;
  if (state_ != TMidiPortState::mpsOpen || !ring_ || !RingPeek(*ring_, item)) return false;
  if (item.LongHeader == nullptr) {
    into.StatusByte = static_cast<std::uint8_t>(item.ShortMessage & 0xFF);
    into.FirstDataByte = static_cast<std::uint8_t>((item.ShortMessage >> 8) & 0xFF);
    into.SecondDataByte = static_cast<std::uint8_t>((item.ShortMessage >> 16) & 0xFF);
    into.Timestamp = item.Timestamp;
    into.SysexSize = 0;
    into.SysexData.reset();
    RingDrop(*ring_);
    return true;
  }
  const pm::MIDIHDR* header = item.LongHeader;
  into = TMyMidiEvent{};
  into.Timestamp = item.Timestamp;
  into.StatusByte = 0xF0;
  const auto recorded = std::min<std::uint32_t>(header->dwBytesRecorded, header->dwBufferLength);
  into.SysexSize = static_cast<std::uint16_t>(recorded & 0xFFFF);
  if (recorded > 0) {
    into.SysexData = std::make_unique<std::uint8_t[]>(recorded);
    std::memcpy(into.SysexData.get(), header->lpData, recorded);
  }
  // The item leaves the ring even when the buffer cannot be handed back: a stuck head would
  // stop all input. That buffer then waits, prepared, for Close.
  RingDrop(*ring_);
  Check(service_->midiInPrepareHeader(handle_, item.LongHeader, sizeof(pm::MIDIHDR)));
  Check(service_->midiInAddBuffer(handle_, item.LongHeader, sizeof(pm::MIDIHDR)));
  return true;
}

std::string TMidiInput::ErrorText(pm::MMRESULT code) const {
  std::vector<char> text(pm::MAXERRORLENGTH, '\0');
  if (service_->midiInGetErrorTextA(code, text.data(), pm::MAXERRORLENGTH) !=
      pm::MMSYSERR_NOERROR) {
    return "Specified error number is out of range";
  }
  return std::string(text.data(), strnlen(text.data(), text.size()));
}

std::intptr_t TMidiInput::WindowProc(const platform::Message& message) {
  if (message.id == pm::MIM_DATA) {
    if (onMidiInput_ && state_ == TMidiPortState::mpsOpen && EventCount() > 0) {
      try {
        onMidiInput_(*this);
      } catch (...) {
        // The driver wakes us only for an empty ring: what a failed handler left must not
        // wait for that.
        if (state_ == TMidiPortState::mpsOpen && EventCount() > 0) window_->post(pm::MIM_DATA);
        throw;
      }
    }
  } else if (message.id == platform::WM_USER) {
    // Taking the count ends the episode: the next refusal posts again.
    const std::uint64_t refused = context_ ? context_->Refused.exchange(0) : 0;
    if (refused > 0 && onOverflow_ && state_ == TMidiPortState::mpsOpen) {
      onOverflow_(*this, refused);
    }
  } else if (message.id == kMalformedMessage) {
    const std::uint64_t refused = context_ ? context_->Malformed.exchange(0) : 0;
    if (refused > 0 && onMalformed_ && state_ == TMidiPortState::mpsOpen) {
      onMalformed_(*this, refused);
    }
  } else if (message.id == pm::MM_DEVICELOST) {
    linkCut_ = static_cast<std::uintptr_t>(message.lParam) == pm::kLinkCut;
    if (onDeviceLost_ && state_ == TMidiPortState::mpsOpen) onDeviceLost_(*this);
  }
  return 0;
}

}  // namespace velmora::midi
