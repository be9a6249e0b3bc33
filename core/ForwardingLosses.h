#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/MessagePump.h"

namespace velmora::core {

// Why a message on a forwarding path was not delivered.
enum class Loss {
  MidiOutClosed,     // no MIDI output open
  MidiOutTooLong,    // the output refused the message's length
  MidiOutFull,       // the output's buffer had no room
  MidiOutRefused,    // any other refusal of the output
  ComClosed,         // the serial port is not open
  ComFull,           // the port's output buffer had no room
  ComRefused,        // the port refused the write
  ComStopped,        // still waiting for the line when the program stopped
  MidiInFull,        // no room left where the MIDI input's messages wait
  MidiInIncomplete,  // a message from the MIDI input without its data bytes, refused
};
inline constexpr std::size_t kLossKinds = 10;

// Where a loss happens: serial to MIDI out and the MIDI input light "Erreur MIDI", MIDI in to
// the serial port "Erreur RS232".
enum class LossPath { MidiOut, Com, MidiIn };
inline constexpr std::size_t kLossPaths = 3;
LossPath PathOf(Loss cause);

// Counts what the forwarding paths lose, so that a loss is never silent and never a dialog:
// each cause is an episode, written to the log as one line with its count ("[Midi-Out] -
// sortie MIDI fermée : 12 messages non transmis"). The line is written when the episode ends (a
// message of that path goes through again, or its device is reopened); an episode that goes on
// gets its line one second after its first unwritten loss, so that a cause writes at most one
// line a second. UI thread only: the timer runs on the message pump of the creating thread.
class ForwardingLosses {
 public:
  using Writer = std::function<void(const std::string& line)>;
  static constexpr std::chrono::milliseconds kLineInterval{1000};

  explicit ForwardingLosses(Writer write);
  ForwardingLosses(const ForwardingLosses&) = delete;
  ForwardingLosses& operator=(const ForwardingLosses&) = delete;

  // `count` messages lost; `detail` is the driver's text for a refusal (the last one is shown).
  void Lost(Loss cause, const std::string& detail = {}, std::uint64_t count = 1);
  // A system exclusive from the serial side that no MIDI event holds: its own line at once,
  // with its length in bytes; it counts as one message of MidiOutTooLong.
  void LostTooLong(std::uint64_t bytes);
  static std::string TooLongText(std::uint64_t bytes);
  // The path delivered again or its device reopened: its episodes end with their lines.
  void EndEpisodes(LossPath path);
  // Writes every line still owed (the timer's work, and the end of the run).
  void WriteOwed();

  // Messages lost since the start, for each cause.
  std::uint64_t Total(Loss cause) const { return causes_[index(cause)].total; }
  // Lost and not written yet.
  std::uint64_t Owed(Loss cause) const { return causes_[index(cause)].owed; }

  // The line of `count` messages lost for `cause`.
  static std::string LineText(Loss cause, std::uint64_t count, const std::string& detail);

 private:
  struct Cause {
    std::uint64_t total = 0;
    std::uint64_t owed = 0;
    std::string detail;
  };
  static std::size_t index(Loss cause) { return static_cast<std::size_t>(cause); }
  void writeLine(Loss cause);
  bool anyOwed() const;

  Writer write_;
  std::array<Cause, kLossKinds> causes_{};
  bool timerArmed_ = false;
  platform::MessageWindow timer_;  // last: destroyed first, with its waiting ticks
};

}  // namespace velmora::core
