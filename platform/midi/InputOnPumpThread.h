#pragma once

// Hands a MIDI service's input to the message pump of the calling thread while it lives, where
// the service allows (MidiService::CallerDeliversInput): the pump's waits watch the service's
// descriptor, and the thread that handles the input takes it from the service itself. Create
// and destroy it on the pump's thread; the service outlives it. A window on Qt's loop watches
// the descriptor there instead (ui/qt/MidiInputWatch.h).

#include "platform/MessagePump.h"
#include "platform/midi/MidiService.h"

namespace velmora::platform::midi {

class InputOnPumpThread {
 public:
  explicit InputOnPumpThread(MidiService& service) {
    const int ready = service.CallerDeliversInput();
    if (ready < 0) return;
    MessagePump::current().setReadyDescriptor(ready, [&service] { service.DeliverInput(); });
    watching_ = true;
  }
  ~InputOnPumpThread() {
    if (watching_) MessagePump::current().setReadyDescriptor(-1, nullptr);
  }
  InputOnPumpThread(const InputOnPumpThread&) = delete;
  InputOnPumpThread& operator=(const InputOnPumpThread&) = delete;

 private:
  bool watching_ = false;
};

}  // namespace velmora::platform::midi
