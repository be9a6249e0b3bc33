#pragma once

// The controls of the main window that the bridge and the window's handlers use. The Qt window
// implements it; tests and the benchmark harness use WindowModel.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "serial/ComponentBase.h"
#include "serial/StatusLightController.h"

namespace velmora::core {

enum class Shape { ComPort, MidiIn, MidiOut };
// The four activity lamps, then "Erreur MIDI" and "Erreur RS232": lit by a loss on their path,
// darkened by "Reset".
enum class Lamp { CPTx, CPRx, MidiIn, MidiOut, MidiError, ComError };
inline constexpr std::size_t kLampCount = 6;
enum class Timer { MidiIn, MidiOut };
enum class DeviceList { ComPort, MidiIn, MidiOut };
enum class Cursor { Default, HourGlass };

inline constexpr serial::TColor kSwitchingColor = 0x808080;
inline constexpr serial::TColor kOpenColor = 0x00FF00;
inline constexpr serial::TColor kClosedColor = 0x0000FF;

class WindowSurface {
 public:
  virtual ~WindowSurface() = default;

  virtual void SetShapeColor(Shape shape, serial::TColor color) = 0;
  virtual serial::TColor ShapeColor(Shape shape) const = 0;
  virtual serial::TApdCustomStatusLight& LampOf(Lamp lamp) = 0;
  // Enabling a running timer does not restart it; each timer ticks once per 100 ms.
  virtual void SetTimerEnabled(Timer timer, bool enabled) = 0;
  virtual bool TimerEnabled(Timer timer) const = 0;
  virtual void SetOnTimer(Timer timer, std::function<void()> handler) = 0;

  virtual void ListClear(DeviceList list) = 0;
  virtual void ListAppend(DeviceList list, const std::string& text) = 0;
  virtual void ListDelete(DeviceList list, int index) = 0;
  virtual int ListCount(DeviceList list) const = 0;
  virtual std::string ListItem(DeviceList list, int index) const = 0;
  virtual void ListSetSelected(DeviceList list, int index) = 0;  // -1: none
  virtual int ListSelected(DeviceList list) const = 0;

  virtual int LogCount() const = 0;
  virtual void LogDelete(int index) = 0;
  virtual void LogAppend(const std::string& line) = 0;
  virtual void LogClear() = 0;
  virtual std::string LogLine(int index) const = 0;
  virtual void LogSetSelected(int index) = 0;
  virtual int LogSelected() const = 0;

  virtual void SetStatusText(int panel, const std::string& text) = 0;
  virtual std::string StatusText(int panel) const = 0;

  virtual Cursor ScreenCursor() const = 0;
  virtual void SetScreenCursor(Cursor cursor) = 0;

  // One pass of the message loop: every waiting message handled, then return.
  virtual void ProcessMessages() = 0;

  // Selected entry's text, empty when none.
  std::string ListSelectedText(DeviceList list) const {
    const int index = ListSelected(list);
    return index >= 0 && index < ListCount(list) ? ListItem(list, index) : std::string{};
  }
  void SetLampLit(Lamp lamp, bool lit) { LampOf(lamp).SetLit(lit); }
  // What the lamp's tooltip says (why an error lamp is lit); empty: nothing.
  virtual void SetLampHint(Lamp lamp, const std::string& text) {
    (void)lamp;
    (void)text;
  }
};

}  // namespace velmora::core
