#pragma once

// The kinds of MIDI message a user chooses to let cross, per direction: their names on the
// command line and in the settings file, and the kind of a message by its status byte.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::core {

enum class MessageKind : std::uint8_t {
  Channel,    // 8n-En
  Sysex,      // F0 ... F7
  Common,     // F1 quarter frame, F2 song position, F3 song select, F6 tune request
  Clock,      // F8
  Transport,  // FA start, FB continue, FC stop
  Sensing,    // FE
  Reset,      // FF
};
inline constexpr std::size_t kMessageKindCount = 7;

// The kind of a message that starts with `status`; none for a data byte and for the undefined
// status bytes F4, F5, F9 and FD.
std::optional<MessageKind> KindOf(std::uint8_t status);

// A set of kinds.
class MessageKinds {
 public:
  constexpr MessageKinds() = default;
  constexpr MessageKinds(std::initializer_list<MessageKind> kinds) {
    for (const MessageKind kind : kinds) bits_ |= bit(kind);
  }
  static constexpr MessageKinds All() { return FromBits(kAllBits); }
  static constexpr MessageKinds None() { return {}; }
  static constexpr MessageKinds FromBits(std::uint8_t bits) {
    MessageKinds kinds;
    kinds.bits_ = static_cast<std::uint8_t>(bits & kAllBits);
    return kinds;
  }

  constexpr bool Has(MessageKind kind) const { return (bits_ & bit(kind)) != 0; }
  constexpr void Set(MessageKind kind, bool on) {
    bits_ = static_cast<std::uint8_t>(on ? bits_ | bit(kind) : bits_ & ~bit(kind));
  }
  constexpr bool IsAll() const { return bits_ == kAllBits; }
  constexpr std::uint8_t Bits() const { return bits_; }
  // Whether a message that starts with `status` crosses. With every kind chosen everything
  // does, the undefined status bytes too: "all" leaves nothing out.
  bool Passes(std::uint8_t status) const;
  constexpr bool operator==(const MessageKinds&) const = default;

 private:
  static constexpr std::uint8_t kAllBits = (1u << kMessageKindCount) - 1;
  static constexpr std::uint8_t bit(MessageKind kind) {
    return static_cast<std::uint8_t>(1u << static_cast<unsigned>(kind));
  }
  std::uint8_t bits_ = 0;
};

// The name of one kind: "channel", "sysex", "common", "clock", "transport", "sensing", "reset".
const char* KindName(MessageKind kind);
// The kind as the "Messages transmis" box labels it, in UTF-8: "Horloge (F8)".
const char* KindLabel(MessageKind kind);
// The box's column headings and its text frames' check box.
inline constexpr const char* kToSerialHeading = "MIDI → RS232";
inline constexpr const char* kToMidiHeading = "RS232 → MIDI";
inline constexpr const char* kSerialTextLabel =
    "Trames de texte du port série (FF 00 00 LEN) vers le journal";
// "channel,sysex,...": comma-separated names, any case, blanks around them ignored; "all" and
// "none" too. Empty with `bad` set to the first word that names no kind.
std::optional<MessageKinds> ParseMessageKinds(std::string_view text, std::string& bad);
// "all", "none", or the names in their order: "channel,clock".
std::string MessageKindsText(MessageKinds kinds);
// The words ParseMessageKinds takes, for error lines: "channel, sysex, ..., all, none".
std::string MessageKindWords();

// The short messages that `kinds` leaves out, as the MIDI input's driver callback drops them
// (one bit per status class: midi::ShortStatusBit).
std::uint32_t DroppedShortStatuses(MessageKinds kinds);

// What the user lets cross each way, and whether debug text frames on the serial side (FF 00
// 00 LEN, then LEN bytes) are read as text. The defaults: channel messages MIDI to serial,
// everything serial to MIDI, no text frames.
struct MessageChoice {
  MessageKinds toSerial{MessageKind::Channel};
  MessageKinds toMidi = MessageKinds::All();
  bool serialText = false;
  bool operator==(const MessageChoice&) const = default;
};

}  // namespace velmora::core
