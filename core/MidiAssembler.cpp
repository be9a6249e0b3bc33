#include "core/MidiAssembler.h"

namespace velmora::core {

namespace {
std::size_t channelMessageLength(std::uint8_t status) {
  const std::uint8_t kind = status & 0xF0;
  return kind == 0xC0 || kind == 0xD0 ? 2 : 3;
}
}  // namespace

void MidiAssembler::Feed(const std::uint8_t* bytes, std::size_t count, Sink& sink) {
  for (std::size_t i = 0; i < count; ++i) Feed(bytes[i], sink);
}

void MidiAssembler::Reset() {
  runningStatus_ = 0;
  have_ = need_ = 0;
  inSysex_ = sysexOverflow_ = skippingUndefined_ = false;
  sysex_.clear();
}

void MidiAssembler::dropPartial(Sink& sink) {
  if (have_ > 0) {
    const std::size_t count = have_;
    have_ = need_ = 0;
    sink.OnDropped(message_, count);
  }
  if (inSysex_) {
    inSysex_ = false;
    if (!sysex_.empty()) {
      std::vector<std::uint8_t> dropped;
      dropped.swap(sysex_);
      sink.OnDropped(dropped.data(), dropped.size());
    }
  }
  sysexOverflow_ = false;
  skippingUndefined_ = false;
}

void MidiAssembler::startMessage(std::uint8_t status, std::size_t length, Sink& sink) {
  message_[0] = status;
  have_ = 1;
  need_ = length;
  if (have_ == need_) {
    have_ = need_ = 0;
    sink.OnMessage(message_, 1);
  }
}

void MidiAssembler::Feed(std::uint8_t byte, Sink& sink) {
  if (byte >= 0xF8) {  // real time: out at once, nothing else disturbed
    sink.OnMessage(&byte, 1);
    return;
  }

  if (byte < 0x80) {
    if (inSysex_) {
      if (!sysexOverflow_ && sysex_.size() + 1 < kMaxSysex) {
        sysex_.push_back(byte);
      } else {
        if (!sysexOverflow_) {
          sysexOverflow_ = true;
          std::vector<std::uint8_t> dropped;
          dropped.swap(sysex_);
          sink.OnDropped(dropped.data(), dropped.size());
        }
        sink.OnDropped(&byte, 1);
      }
      return;
    }
    if (skippingUndefined_) {
      sink.OnDropped(&byte, 1);
      return;
    }
    if (have_ == 0) {
      if (runningStatus_ == 0) {
        sink.OnDropped(&byte, 1);
        return;
      }
      message_[0] = runningStatus_;
      have_ = 1;
      need_ = channelMessageLength(runningStatus_);
    }
    message_[have_++] = byte;
    if (have_ == need_) {
      const std::size_t count = have_;
      have_ = need_ = 0;
      sink.OnMessage(message_, count);
    }
    return;
  }

  // A status byte (0x80-0xF7) ends whatever was incomplete.
  if (byte == 0xF7) {
    if (inSysex_ && !sysexOverflow_) {
      sysex_.push_back(byte);
      std::vector<std::uint8_t> complete;
      complete.swap(sysex_);
      inSysex_ = false;
      sink.OnMessage(complete.data(), complete.size());
    } else {
      const bool wasOverflow = inSysex_ && sysexOverflow_;
      inSysex_ = sysexOverflow_ = false;
      sysex_.clear();
      if (!wasOverflow) dropPartial(sink);
      runningStatus_ = 0;
      sink.OnDropped(&byte, 1);
    }
    return;
  }

  dropPartial(sink);
  if (byte < 0xF0) {
    runningStatus_ = byte;
    startMessage(byte, channelMessageLength(byte), sink);
    return;
  }
  runningStatus_ = 0;  // system messages cancel running status
  switch (byte) {
    case 0xF0:
      inSysex_ = true;
      sysex_.assign(1, byte);
      break;
    case 0xF1:
    case 0xF3:
      startMessage(byte, 2, sink);
      break;
    case 0xF2:
      startMessage(byte, 3, sink);
      break;
    case 0xF6:
      startMessage(byte, 1, sink);
      break;
    default:  // 0xF4, 0xF5: undefined, with whatever data follows them
      skippingUndefined_ = true;
      sink.OnDropped(&byte, 1);
      break;
  }
}

}  // namespace velmora::core
