#pragma once

#include <QSocketNotifier>
#include <memory>

#include "platform/midi/MidiService.h"

namespace velmora::ui::qt {

// Takes the MIDI service's input on the UI thread, from Qt's loop, where the service allows:
// the bridge forwards it from there, so no thread of the service's stands between a port and
// the bridge. Create it on the UI thread and destroy it before the service; without it the
// service delivers on its own thread as before.
class MidiInputWatch {
 public:
  explicit MidiInputWatch(platform::midi::MidiService& service);

 private:
  std::unique_ptr<QSocketNotifier> notifier_;  // none when the service delivers itself
};

}  // namespace velmora::ui::qt
