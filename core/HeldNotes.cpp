#include "core/HeldNotes.h"

namespace velmora::core {

namespace {
constexpr std::uint8_t kAllSoundOff = 120;
constexpr std::uint8_t kAllNotesOff = 123;
}  // namespace

void HeldNotes::Sent(const std::uint8_t* bytes, std::size_t count) {
  if (bytes == nullptr || count < 3) return;
  const std::uint8_t kind = bytes[0] & 0xF0;
  const std::size_t channel = bytes[0] & 0x0F;
  const std::size_t key = bytes[1] & 0x7F;
  switch (kind) {
    case 0x90:
      held_.set(channel * kKeys + key, bytes[2] != 0);
      break;
    case 0x80:
      held_.reset(channel * kKeys + key);
      break;
    case 0xB0:
      if (bytes[1] == kAllSoundOff || bytes[1] == kAllNotesOff) {
        for (std::size_t k = 0; k < kKeys; ++k) held_.reset(channel * kKeys + k);
      }
      break;
    default:
      break;
  }
}

std::vector<HeldNotes::Message> HeldNotes::TakeNoteOffs() {
  std::vector<Message> offs;
  for (std::size_t i = 0; i < held_.size(); ++i) {
    if (!held_.test(i)) continue;
    offs.push_back({static_cast<std::uint8_t>(0x80 | (i / kKeys)),
                    static_cast<std::uint8_t>(i % kKeys), kReleaseVelocity});
  }
  held_.reset();
  return offs;
}

}  // namespace velmora::core
