#include "core/MidiAssembler.h"

#include <utility>

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
  overflowBytes_ = 0;
  sysex_.clear();
}

void MidiAssembler::dropPartial(Sink& sink) {
  if (sysexOverflow_) {
    inSysex_ = sysexOverflow_ = false;
    sink.OnTooLong(std::exchange(overflowBytes_, 0));
  }
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
      if (sysexOverflow_) {
        ++overflowBytes_;
      } else if (sysex_.size() + 1 < maxSysex_) {
        sysex_.push_back(byte);
      } else {
        // Counted, not kept: the loss is told once, when the block ends.
        sysexOverflow_ = true;
        overflowBytes_ = sysex_.size() + 1;
        sysex_.clear();
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
    if (sysexOverflow_) {
      ++overflowBytes_;
      dropPartial(sink);
      runningStatus_ = 0;
      return;
    }
    if (inSysex_) {
      sysex_.push_back(byte);
      std::vector<std::uint8_t> complete;
      complete.swap(sysex_);
      inSysex_ = false;
      sink.OnMessage(complete.data(), complete.size());
    } else {
      dropPartial(sink);
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
    default:  // 0xF4, 0xF5: undefined; whatever data follows them is theirs
      skippingUndefined_ = true;
      sink.OnMessage(&byte, 1);
      break;
  }
}

}  // namespace velmora::core
