#pragma once

// What a window shows of the bridge at one moment: a copy of the window model, taken on the
// bridge thread and drawn by a view on its own thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/Bridge.h"
#include "core/WindowSurface.h"

namespace velmora::core {

// An error report for the user: shown once, then counted while it is open and a little after.
struct Notice {
  std::uint64_t id = 0;  // increases with each notice
  std::string text;
};

struct WindowSnapshot {
  struct List {
    std::vector<std::string> items;
    int selected = -1;
    bool operator==(const List&) const = default;
  };
  struct LampState {
    bool lit = false;  // lit now, or lit at some moment since the last snapshot
    serial::TColor litColor = 0;
    serial::TColor notLitColor = 0;
    std::string hint;  // the tooltip: why an error lamp is lit
    bool operator==(const LampState&) const = default;
  };

  std::uint64_t version = 0;  // increases with each snapshot taken
  std::array<serial::TColor, 3> shapes{kSwitchingColor, kSwitchingColor, kSwitchingColor};
  std::array<LampState, kLampCount> lamps{};
  std::array<List, 3> lists{};
  std::vector<std::string> log;  // oldest first
  int logSelected = -1;
  std::array<std::string, 2> status{};
  bool busy = false;           // the wait cursor
  LineSettings line;           // the serial line in force, for the line dialog and the about box
  MessageChoice messages;      // what crosses each way, for the messages dialog
  TrafficCounts counts;        // messages and losses each way since "Reset"
  std::string capture;         // the file a capture writes; empty while none runs
  std::string captureStopped;  // why the last capture stopped by itself; empty: it did not
  // MIDI events kept in their place in time (true) or sent at once (false); empty for a MIDI
  // service without cycles, where they always go at once.
  std::optional<bool> exactTiming;
  std::vector<Notice> notices;  // waiting to be shown, oldest first
  bool closed = false;          // the bridge has closed its devices: the view may go
};

}  // namespace velmora::core
