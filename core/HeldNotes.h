#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::core {

// The notes that one side switched on at the other and did not switch off yet (the serial side
// at the MIDI output, the MIDI input at the serial side), so that the bridge can switch them
// off when their source or their destination goes away: a synthesizer would otherwise hold
// them for good. UI thread only.
class HeldNotes {
 public:
  using Message = std::array<std::uint8_t, 3>;

  // A whole message that went to the destination: a Note On holds its key, a Note Off or a Note On
  // of velocity 0 releases it, "All Notes Off" and "All Sound Off" release the channel.
  void Sent(const std::uint8_t* bytes, std::size_t count);
  // The Note Off of every held note, channel and key in order; the notes are forgotten.
  std::vector<Message> TakeNoteOffs();
  bool Empty() const { return held_.none(); }
  void Clear() { held_.reset(); }

  static constexpr std::uint8_t kReleaseVelocity = 0x40;

 private:
  static constexpr std::size_t kKeys = 128;
  std::bitset<16 * kKeys> held_;  // channel * 128 + key
};

}  // namespace velmora::core
