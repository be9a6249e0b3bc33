#include "core/ForwardingLosses.h"

namespace velmora::core {

namespace {
constexpr std::uintptr_t kTimerId = 1;

const char* causeText(Loss cause) {
  switch (cause) {
    case Loss::MidiOutClosed:
      return "[Midi-Out] - sortie MIDI fermée";
    case Loss::MidiOutTooLong:
      return "[Midi-Out] - message trop long pour la sortie MIDI";
    case Loss::MidiOutFull:
      return "[Midi-Out] - sortie MIDI saturée";
    case Loss::MidiOutRefused:
      return "[Midi-Out] - message refusé par la sortie MIDI";
    case Loss::ComClosed:
      return "[Com-Tx] - port série fermé";
    case Loss::ComFull:
      return "[Com-Tx] - tampon d'émission du port série plein";
    case Loss::ComRefused:
      return "[Com-Tx] - écriture refusée par le port série";
    case Loss::ComStopped:
      return "[Com-Tx] - arrêt du programme";
    case Loss::MidiInFull:
      return "[MIDI-In] - entrée MIDI saturée";
    case Loss::MidiInIncomplete:
      return "[MIDI-In] - message incomplet refusé";
  }
  return "";
}
}  // namespace

LossPath PathOf(Loss cause) {
  switch (cause) {
    case Loss::ComClosed:
    case Loss::ComFull:
    case Loss::ComRefused:
    case Loss::ComStopped:
      return LossPath::Com;
    case Loss::MidiInFull:
    case Loss::MidiInIncomplete:
      return LossPath::MidiIn;
    default:
      return LossPath::MidiOut;
  }
}

ForwardingLosses::ForwardingLosses(Writer write)
    : write_(std::move(write)), timer_([this](const platform::Message& message) -> std::intptr_t {
        if (message.id == platform::WM_TIMER && message.wParam == kTimerId) WriteOwed();
        return 0;
      }) {}

std::string ForwardingLosses::LineText(Loss cause, std::uint64_t count, const std::string& detail) {
  std::string line = causeText(cause);
  if (!detail.empty()) line += " (" + detail + ")";
  line += " : " + std::to_string(count) +
          (count == 1 ? " message non transmis" : " messages non transmis");
  return line;
}

void ForwardingLosses::Lost(Loss cause, const std::string& detail, std::uint64_t count) {
  Cause& entry = causes_[index(cause)];
  entry.total += count;
  entry.owed += count;
  if (!detail.empty()) entry.detail = detail;
  if (!timerArmed_) {
    timer_.setTimer(kTimerId, kLineInterval);
    timerArmed_ = true;
  }
}

std::string ForwardingLosses::TooLongText(std::uint64_t bytes) {
  return "[Midi-Out] - système exclusif trop long : " + std::to_string(bytes) +
         " octets non transmis";
}

void ForwardingLosses::LostTooLong(std::uint64_t bytes) {
  ++causes_[index(Loss::MidiOutTooLong)].total;
  if (write_) write_(TooLongText(bytes));
}

void ForwardingLosses::EndEpisodes(LossPath path) {
  for (std::size_t i = 0; i < kLossKinds; ++i) {
    const auto cause = static_cast<Loss>(i);
    if (PathOf(cause) == path) writeLine(cause);
  }
  if (timerArmed_ && !anyOwed()) {
    timer_.killTimer(kTimerId);
    timerArmed_ = false;
  }
}

void ForwardingLosses::WriteOwed() {
  for (std::size_t i = 0; i < kLossKinds; ++i) writeLine(static_cast<Loss>(i));
  if (timerArmed_) {
    timer_.killTimer(kTimerId);
    timerArmed_ = false;
  }
}

void ForwardingLosses::writeLine(Loss cause) {
  Cause& entry = causes_[index(cause)];
  if (entry.owed == 0) return;
  const std::string line = LineText(cause, entry.owed, entry.detail);
  entry.owed = 0;
  entry.detail.clear();
  if (write_) write_(line);
}

bool ForwardingLosses::anyOwed() const {
  for (const Cause& entry : causes_) {
    if (entry.owed > 0) return true;
  }
  return false;
}

}  // namespace velmora::core
