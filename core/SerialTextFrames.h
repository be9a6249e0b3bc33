#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::core {

// Debug text that some sketches send on the serial line, framed as FF 00 00 LEN and then LEN
// bytes of text, taken out of the byte stream before the stream is read as MIDI. A header is
// held until it is whole: FF followed by anything else is the System Reset it looks like and
// goes on, in order, with what follows it. A frame never disturbs the MIDI around it (running
// status, a message it interrupts). UI thread only.
class SerialTextFrames {
 public:
  class Sink {
   public:
    virtual ~Sink() = default;
    // MIDI bytes, in order, in runs as long as the stream allows.
    virtual void OnBytes(const std::uint8_t* bytes, std::size_t count) = 0;
    // The text of one whole frame.
    virtual void OnText(const std::uint8_t* text, std::size_t count) = 0;
  };

  void Feed(const std::uint8_t* bytes, std::size_t count, Sink& sink);
  // Forgets a frame begun (the port closed or changed): none of its bytes goes anywhere.
  void Reset();

 private:
  std::size_t header_ = 0;  // header bytes held: FF, FF 00, FF 00 00
  bool inText_ = false;
  std::size_t need_ = 0;  // the text's length, from the header
  std::vector<std::uint8_t> text_;
};

// A frame's text as the log shows it: without the line end it came with, other control bytes
// as blanks, and bytes that are not UTF-8 as "?".
std::string FrameText(const std::uint8_t* text, std::size_t count);

}  // namespace velmora::core
