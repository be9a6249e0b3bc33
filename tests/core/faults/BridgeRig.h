#pragma once

// The real bridge on a machine of pseudo-terminals and a simulated MIDI service: the serial
// port, packet engine and light controller are the real components on the POSIX driver, the
// MIDI devices the real components on the service, the window the headless one. The test thread
// is the UI thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/Bridge.h"
#include "core/RealDeviceFactory.h"
#include "core/WindowModel.h"
#include "platform/midi/SimulatedMidiService.h"
#include "platform/serial/SerialNames.h"
#include "support/PtyPair.h"
#include "tests/core/SteppingClock.h"
#include "ui/MainWindowHandlers.h"

namespace velmora::faults {

using Bytes = std::vector<std::uint8_t>;
using platform::midi::SimulatedMidiService;

// The far end of one serial line: a thread that keeps every byte arriving on the master.
class FarEnd {
 public:
  explicit FarEnd(int master);
  ~FarEnd();
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;

  Bytes Received() const;
  std::size_t Count() const;
  // Waits (without handling messages) until at least `count` bytes came; false after `bound`.
  bool WaitCount(std::size_t count, std::chrono::milliseconds bound) const;
  void Stop();
  // A paused far end reads nothing: the line backs up as a slow device makes it.
  void SetPaused(bool paused) { paused_ = paused; }
  // From now on it reads no more than `bytesPerSecond` on average, as a line of that speed
  // carries them; 0: as fast as they come.
  void SetRate(std::size_t bytesPerSecond);

 private:
  const int master_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> paused_{false};
  std::atomic<std::size_t> rate_{0};
  std::atomic<std::int64_t> rateFrom_{0};  // steady clock ns when the rate was set
  std::atomic<std::size_t> rateBase_{0};   // bytes read before then
  mutable std::mutex mutex_;  // guards received_: the reader thread appends, the test reads
  Bytes received_;
  std::thread reader_;  // reads the master until Stop
};

class BridgeRig {
 public:
  // `ports` pseudo-terminals as COM1.., `midiDevices` inputs and outputs ("In 1", "Out 1", ...).
  explicit BridgeRig(int ports = 1, int midiDevices = 1);
  // The MIDI devices of another service (a JACK server's) instead of simulated ones.
  BridgeRig(int ports, std::shared_ptr<platform::midi::MidiService> service);
  ~BridgeRig();

  // The window's creation: devices started and the first entry of each list chosen.
  void Start();
  // Handles UI messages until `done` holds; false after `bound`.
  bool PumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds bound = std::chrono::seconds(20));
  void PumpFor(std::chrono::milliseconds time);

  // Chooses list entry `index` through the window's handler.
  void ChooseComPort(int index);
  void ChooseMidiIn(int index);
  void ChooseMidiOut(int index);

  // The serial device of COMn disappears (its far end closes) / a new one appears in its place.
  void Unplug(int port);
  void Replug(int port);
  // The device goes altogether: its far end closes and its link goes, as udev removes a node.
  void Vanish(int port);
  // A new pseudo-terminal linked as ttyV<n-1>; returns n.
  int AddPort();
  std::filesystem::path Dev() const { return dir_.path() / "dev"; }
  testing::PtyPair& Pty(int port) { return *ptys_.at(static_cast<std::size_t>(port - 1)); }
  // The folder that holds the rig's dev and sys folders.
  const std::filesystem::path& Root() const { return dir_.path(); }
  FarEnd& Far(int port) { return *far_.at(static_cast<std::size_t>(port - 1)); }
  // Writes to the master of COMn; waits for room, at most `bound`.
  bool WriteFar(int port, const Bytes& bytes,
                std::chrono::milliseconds bound = std::chrono::seconds(10));

  // Every message that reached MIDI output n (1-based), in order.
  std::vector<SimulatedMidiService::Sent> MidiSent(int output) const;
  // Whether every message sent to output n is one whole MIDI message.
  bool MidiSentWellFormed(int output, std::string* what = nullptr) const;

  // Exceptions that reached the pump's error report.
  std::size_t Reported() const { return reported_; }
  // Handles a posted message, measuring how long it waited; the wait, or empty after `bound`.
  std::optional<std::chrono::microseconds> ProbeLatency(std::chrono::milliseconds bound);

  std::shared_ptr<SimulatedMidiService> midi = std::make_shared<SimulatedMidiService>();
  std::vector<SimulatedMidiService::DeviceKey> inputs;
  std::vector<SimulatedMidiService::DeviceKey> outputs;
  core::WindowModel window;
  std::unique_ptr<core::Bridge> bridge;
  std::unique_ptr<ui::TfmMain> form;

 private:
  void create(int ports, std::shared_ptr<platform::midi::MidiService> service);
  void link(int port);

  testing::TempDir dir_;
  platform::SerialNameSpace names_;
  std::vector<std::unique_ptr<testing::PtyPair>> ptys_;
  std::vector<std::unique_ptr<FarEnd>> far_;
  test::SteppingClock clock_;
  std::unique_ptr<core::RealDeviceFactory> factory_;
  std::size_t reported_ = 0;
};

// Resident size of this process, from /proc/self/status.
std::size_t ResidentKiB();

}  // namespace velmora::faults
