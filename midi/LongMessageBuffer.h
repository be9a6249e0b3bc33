#pragma once

#include <cstdint>
#include <memory>

#include "platform/midi/MidiService.h"

namespace velmora::midi {

// One long-message header with its data block. Both stay in place for the wrapper's whole
// life, because the driver reads and writes them outside the UI thread. The user stores the
// wrapper's address in the header's dwUser before handing the header over.
class TMyMidiHdr {
 public:
  // Size 0 allocates nothing (both blocks null). Raises std::bad_alloc when a block cannot be
  // allocated, so that no caller hands an unusable header to the driver.
  explicit TMyMidiHdr(std::uint16_t size);
  TMyMidiHdr(const TMyMidiHdr&) = delete;
  TMyMidiHdr& operator=(const TMyMidiHdr&) = delete;

  platform::midi::MIDIHDR* HeaderBlock() const { return headerBlock_.get(); }
  std::uint8_t* DataBlock() const { return dataBlock_.get(); }

  // The wrapper whose address a returned header carries.
  static TMyMidiHdr* FromHeader(const platform::midi::MIDIHDR* header) {
    return reinterpret_cast<TMyMidiHdr*>(header->dwUser);
  }

 private:
  std::unique_ptr<platform::midi::MIDIHDR> headerBlock_;
  std::unique_ptr<std::uint8_t[]> dataBlock_;
};

}  // namespace velmora::midi
