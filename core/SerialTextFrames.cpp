#include "core/SerialTextFrames.h"

namespace velmora::core {

namespace {
constexpr std::uint8_t kHeader[] = {0xFF, 0x00, 0x00};
constexpr std::size_t kMaxText = 255;
}  // namespace

void SerialTextFrames::Feed(const std::uint8_t* bytes, std::size_t count, Sink& sink) {
  std::size_t run = 0;  // where the MIDI bytes not yet handed on start
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = bytes[i];
    if (inText_) {
      text_.push_back(byte);
      if (text_.size() == need_) {
        inText_ = false;
        sink.OnText(text_.data(), text_.size());
      }
      run = i + 1;
      continue;
    }
    if (header_ == 0) {
      if (byte != 0xFF) continue;
      if (i > run) sink.OnBytes(bytes + run, i - run);
      header_ = 1;
      run = i + 1;
      continue;
    }
    if (header_ < 3 && byte == 0x00) {
      ++header_;
      run = i + 1;
      continue;
    }
    if (header_ == 3) {
      header_ = 0;
      need_ = byte;
      text_.clear();
      text_.reserve(kMaxText);
      if (need_ == 0) {
        sink.OnText(text_.data(), 0);
      } else {
        inText_ = true;
      }
      run = i + 1;
      continue;
    }
    // No frame: the held bytes were MIDI, and this one is looked at afresh.
    sink.OnBytes(kHeader, header_);
    header_ = byte == 0xFF ? 1 : 0;
    run = header_ == 1 ? i + 1 : i;
  }
  if (!inText_ && header_ == 0 && count > run) sink.OnBytes(bytes + run, count - run);
}

void SerialTextFrames::Reset() {
  header_ = 0;
  inText_ = false;
  need_ = 0;
  text_.clear();
}

std::string FrameText(const std::uint8_t* text, std::size_t count) {
  while (count > 0 && (text[count - 1] == '\n' || text[count - 1] == '\r')) --count;
  std::string shown;
  shown.reserve(count);
  for (std::size_t i = 0; i < count;) {
    const std::uint8_t byte = text[i];
    if (byte < 0x80) {
      shown.push_back(byte < 0x20 || byte == 0x7F ? ' ' : static_cast<char>(byte));
      ++i;
      continue;
    }
    // A whole UTF-8 sequence is kept as it is.
    const std::size_t length = byte >= 0xC2 && byte <= 0xDF   ? 2
                               : byte >= 0xE0 && byte <= 0xEF ? 3
                               : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                              : 0;
    std::size_t have = length > 0 && i + length <= count ? 1 : 0;
    while (have > 0 && have < length && (text[i + have] & 0xC0) == 0x80) ++have;
    if (length == 0 || have != length) {
      shown.push_back('?');
      ++i;
      continue;
    }
    shown.append(reinterpret_cast<const char*>(text + i), length);
    i += length;
  }
  return shown;
}

}  // namespace velmora::core
