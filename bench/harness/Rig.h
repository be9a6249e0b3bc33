#pragma once

// What the harness measures: the real bridge headless on a pseudo-terminal and the simulated
// MIDI service, and the floor beside it, a minimal forwarder with no bridge at all.

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "Stream.h"
#include "TimedMidiService.h"
#include "core/Bridge.h"
#include "core/RealDeviceFactory.h"
#include "core/WindowModel.h"
#include "platform/midi/SimulatedMidiService.h"
#include "support/Pty.h"
#include "ui/MainWindowHandlers.h"

namespace velmora::bench {

// An eventfd that stops a thread waiting in poll.
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;
  int fd() const { return fd_; }
  void raise() const;

 private:
  int fd_ = -1;
};

// Reads three-byte messages from `fd` until `stop` is raised, handing each over packed
// (status in the low byte) with the time its read returned.
void ReadMessages(
    int fd, const StopSignal& stop,
    const std::function<void(std::uint32_t packed, SteadyClock::time_point at)>& take);

// Reads a pseudo-terminal's far end on a thread of its own and hands over each whole
// three-byte message with the time its read returned.
class SerialTap {
 public:
  using Handler = std::function<void(std::uint32_t packed, SteadyClock::time_point at)>;
  SerialTap(int fd, Handler handler);
  ~SerialTap();  // stops and joins
  SerialTap(const SerialTap&) = delete;
  SerialTap& operator=(const SerialTap&) = delete;
  std::thread& thread() { return thread_; }

 private:
  void Run();
  int fd_;
  Handler handler_;
  StopSignal stop_;
  std::thread thread_;  // last: starts once everything above is ready
};

// Bridge, main window handlers and headless window, with the real serial components on COM1
// (the pseudo-terminal's slave, through a name space of our own) and the real MIDI components
// on `service`. UI thread: create, use and destroy it there.
class BridgeRig {
 public:
  BridgeRig(std::shared_ptr<platform::midi::MidiService> service, const Pty& pty);
  ~BridgeRig();
  BridgeRig(const BridgeRig&) = delete;
  BridgeRig& operator=(const BridgeRig&) = delete;

  // Port, MIDI input and MIDI output all open (their shapes green).
  bool Ready() const;
  // Chooses the MIDI devices by the names the lists show, as a user would; false when one is
  // not listed.
  bool SelectMidi(const std::string& input, const std::string& output);
  // The name chosen in a list; empty when none is.
  std::string Selected(core::DeviceList list) const;
  core::Bridge& Bridge() { return *bridge_; }
  core::WindowModel& Window() { return window_; }
  // Messages the MIDI input's ring refused (its overflow notifications); any thread.
  std::uint64_t RingRefusals() const { return refusals_.load(std::memory_order_relaxed); }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<core::RealDeviceFactory> factory_;
  core::WindowModel window_;
  std::unique_ptr<core::Bridge> bridge_;
  std::unique_ptr<ui::TfmMain> form_;
  std::atomic<std::uint64_t> refusals_{0};  // counted on the UI thread
};

// The floor: the MIDI input's callback writes straight to the pseudo-terminal's slave; a reader
// thread takes the slave's bytes straight to the MIDI output. Times are taken where our bridge
// is timed: at the callback's start, and just before the output call.
class Floor {
 public:
  Floor(platform::midi::MidiService& service, std::uint32_t inputId, std::uint32_t outputId,
        const Pty& pty, Stream& toSerial, Stream& toMidi);
  ~Floor();
  Floor(const Floor&) = delete;
  Floor& operator=(const Floor&) = delete;
  bool Ready() const { return ready_; }
  std::thread& thread() { return reader_; }

 private:
  static void Callback(void* handle, std::uint32_t message, std::uintptr_t instance,
                       std::uintptr_t param1, std::uintptr_t param2);
  void Read();

  platform::midi::MidiService& service_;
  Stream& toSerial_;
  Stream& toMidi_;
  int fd_ = -1;
  platform::midi::HMIDIIN in_ = nullptr;
  platform::midi::HMIDIOUT out_ = nullptr;
  bool ready_ = false;
  StopSignal stop_;
  std::thread reader_;  // last: starts once everything above is ready
};

}  // namespace velmora::bench
