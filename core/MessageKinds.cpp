#include "core/MessageKinds.h"

#include <cctype>

#include "midi/DriverCallback.h"

namespace velmora::core {

namespace {

// In MessageKind's order.
constexpr const char* kKindNames[kMessageKindCount] = {"channel",   "sysex",   "common", "clock",
                                                       "transport", "sensing", "reset"};

std::string_view trimmed(std::string_view word) {
  while (!word.empty() && std::isspace(static_cast<unsigned char>(word.front()))) {
    word.remove_prefix(1);
  }
  while (!word.empty() && std::isspace(static_cast<unsigned char>(word.back()))) {
    word.remove_suffix(1);
  }
  return word;
}

bool sameWord(std::string_view given, std::string_view name) {
  if (given.size() != name.size()) return false;
  for (std::size_t i = 0; i < given.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(given[i])) != name[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<MessageKind> KindOf(std::uint8_t status) {
  if (status < 0x80) return std::nullopt;
  if (status < 0xF0) return MessageKind::Channel;
  switch (status) {
    case 0xF0:
    case 0xF7:
      return MessageKind::Sysex;
    case 0xF1:
    case 0xF2:
    case 0xF3:
    case 0xF6:
      return MessageKind::Common;
    case 0xF8:
      return MessageKind::Clock;
    case 0xFA:
    case 0xFB:
    case 0xFC:
      return MessageKind::Transport;
    case 0xFE:
      return MessageKind::Sensing;
    case 0xFF:
      return MessageKind::Reset;
    default:
      return std::nullopt;
  }
}

bool MessageKinds::Passes(std::uint8_t status) const {
  if (IsAll()) return true;
  const auto kind = KindOf(status);
  return kind && Has(*kind);
}

const char* KindName(MessageKind kind) {
  return kKindNames[static_cast<std::size_t>(kind)];
}

const char* KindLabel(MessageKind kind) {
  static constexpr const char* kLabels[kMessageKindCount] = {
      "Messages de canal (notes, contrôleurs...)",
      "Système exclusif (SysEx)",
      "Messages communs (MTC, position, morceau)",
      "Horloge (F8)",
      "Transport : départ, reprise, arrêt (FA, FB, FC)",
      "Active Sensing (FE)",
      "Réinitialisation (FF)"};
  return kLabels[static_cast<std::size_t>(kind)];
}

std::optional<MessageKinds> ParseMessageKinds(std::string_view text, std::string& bad) {
  MessageKinds kinds;
  for (;;) {
    const std::size_t comma = text.find(',');
    const std::string_view word = trimmed(text.substr(0, comma));
    bool known = false;
    if (sameWord(word, "all")) {
      kinds = MessageKinds::All();
      known = true;
    } else if (sameWord(word, "none")) {
      known = true;
    }
    for (std::size_t k = 0; k < kMessageKindCount && !known; ++k) {
      if (sameWord(word, kKindNames[k])) {
        kinds.Set(static_cast<MessageKind>(k), true);
        known = true;
      }
    }
    if (!known) {
      bad = std::string(word);
      return std::nullopt;
    }
    if (comma == std::string_view::npos) return kinds;
    text.remove_prefix(comma + 1);
  }
}

std::string MessageKindsText(MessageKinds kinds) {
  if (kinds.IsAll()) return "all";
  std::string text;
  for (std::size_t k = 0; k < kMessageKindCount; ++k) {
    if (!kinds.Has(static_cast<MessageKind>(k))) continue;
    if (!text.empty()) text += ',';
    text += kKindNames[k];
  }
  return text.empty() ? "none" : text;
}

std::string MessageKindWords() {
  std::string text;
  for (const char* name : kKindNames) text += std::string(name) + ", ";
  return text + "all, none";
}

std::uint32_t DroppedShortStatuses(MessageKinds kinds) {
  std::uint32_t dropped = 0;
  for (unsigned status = 0x80; status <= 0xFF; ++status) {
    const auto byte = static_cast<std::uint8_t>(status);
    if (byte == 0xF0 || byte == 0xF7) continue;  // long messages: their buffers must come back
    if (!kinds.Passes(byte)) dropped |= midi::ShortStatusBit(byte);
  }
  return dropped;
}

}  // namespace velmora::core
