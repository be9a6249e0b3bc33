#pragma once

// The programs' command line: what was asked, and how names given on it pick devices. Nothing
// here opens a device; the device lists come from the caller.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/Bridge.h"
#include "core/MessageKinds.h"
#include "core/Profile.h"

namespace velmora::core {

inline constexpr const char* kProgramVersion = "0.1.0.7";

struct CommandLine {
  bool help = false;
  bool version = false;
  bool list = false;
  bool headless = false;
  bool noSettings = false;
  bool listProfiles = false;
  std::string profile = kDefaultProfile;
  std::optional<std::string> port;
  std::optional<std::string> midiIn;
  std::optional<std::string> midiOut;
  std::optional<LineSettings> line;
  std::optional<FlowControl> flow;  // --flow, over the line's
  // What crosses each way (--to-serial, --to-midi) and --serial-text; unset: as remembered.
  std::optional<MessageKinds> toSerial;
  std::optional<MessageKinds> toMidi;
  bool serialText = false;
  std::optional<std::string> capture;
  std::optional<bool> exactTiming;  // --timing exact|fast; unset: as remembered
};

// What the machine offers, as the lists show it: serial device paths in COM order (COM1
// first), MIDI port names in device order.
struct DeviceInventory {
  std::vector<std::string> serialDevices;
  std::vector<std::string> midiIns;
  std::vector<std::string> midiOuts;
  std::vector<std::string> serialIdentities{};  // beside serialDevices: by-id path, else the same
  std::vector<int> serialNumbers{};  // beside serialDevices: their COM numbers, where not 1, 2, ...

  // The COM number of serial device i.
  int ComNumberAt(std::size_t i) const {
    return i < serialNumbers.size() ? serialNumbers[i] : static_cast<int>(i) + 1;
  }
};

// The arguments after the program's name. On failure `error` holds one line naming the problem.
struct ParsedCommandLine {
  CommandLine options;
  std::string error;
};
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);

// "31250", or "31250,8,N,1": baud, data bits 5-8, parity N/O/E/M/S, stop bits 1 or 2.
std::optional<LineSettings> ParseLineSettings(const std::string& text);

// Turns the names on the command line into start-up choices; what they leave open keeps
// `base`'s. A device path or a MIDI name that matches nothing yet is chosen all the same: it
// opens when it comes. On failure (a COM number the machine does not have, a name that matches
// several ports) `error` holds one line naming the problem and the candidates.
struct ResolvedChoice {
  StartChoice choice;
  std::string error;
};
ResolvedChoice ResolveChoice(const CommandLine& options, const DeviceInventory& devices,
                             const StartChoice& base = {});

// The one port of `names` that `wanted` names: an exact name, else the only one containing it
// (case-insensitive). Empty with `error` set otherwise; `what` names the list's entries, in
// the plural ("entrées MIDI"), in the error.
std::optional<std::string> MatchPortName(const std::string& wanted,
                                         const std::vector<std::string>& names,
                                         const std::string& what, std::string& error);

std::string UsageText(const std::string& program);
std::string ListText(const DeviceInventory& devices);

}  // namespace velmora::core
