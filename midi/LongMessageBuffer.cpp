#include "midi/LongMessageBuffer.h"

namespace velmora::midi {

TMyMidiHdr::TMyMidiHdr(std::uint16_t size) {
  if (size == 0) return;
  headerBlock_ = std::make_unique<platform::midi::MIDIHDR>();
  dataBlock_ = std::make_unique<std::uint8_t[]>(size);  // zero-filled
  headerBlock_->lpData = reinterpret_cast<char*>(dataBlock_.get());
  headerBlock_->dwBufferLength = size;
  headerBlock_->dwUser = reinterpret_cast<std::uintptr_t>(this);
}

}  // namespace velmora::midi
