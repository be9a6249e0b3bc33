// Switching devices under traffic, hundreds of times, some switches arriving while another is
// under way: after each one the chosen ports are the ones linked, their shapes are green, and a
// message goes through both ways. On the simulated service, or (VELMORA_SWITCH_ON_JACK) on the
// JACK server of the test fixture.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/faults/BridgeRig.h"
#include "platform/MessagePump.h"
#include "support/Wait.h"
#include "support/XrunRetry.h"
#ifdef VELMORA_SWITCH_ON_JACK
#include "platform/midi/JackMidiService.h"
#include "tools/JackPeer.h"
#endif

namespace velmora::faults {
namespace {

using core::DeviceList;
using core::kOpenColor;
using core::Shape;
using namespace std::chrono_literals;

constexpr int kRounds = 120;  // four switches each, one of them nested in another

bool Contains(const Bytes& haystack, std::size_t from, const Bytes& needle) {
  if (from > haystack.size()) return false;
  return std::search(haystack.begin() + static_cast<std::ptrdiff_t>(from), haystack.end(),
                     needle.begin(), needle.end()) != haystack.end();
}

// The far side of the MIDI devices: two sources and two sinks, by their list names.
class MidiEnds {
 public:
  virtual ~MidiEnds() = default;
  virtual std::string Source(int i) const = 0;
  virtual std::string Sink(int i) const = 0;
  // Any thread.
  virtual void Play(int source, const Bytes& message) = 0;
  // Handles messages until sink `i` got `message`, the other sink never getting it and never
  // linked meanwhile.
  virtual bool Got(BridgeRig& rig, int sink, const Bytes& message) = 0;
  // What the far side lost in overrun cycles (JACK's xruns), and how long a message may take.
  virtual std::uint64_t Xruns() const { return 0; }
  virtual std::chrono::milliseconds Bound() const { return testing::kWaitBound; }
};

class SimulatedEnds final : public MidiEnds {
 public:
  // The rig's devices "In 1", "In 2", "Out 1" and "Out 2".
  explicit SimulatedEnds(BridgeRig& rig) : rig_(rig) {}
  std::string Source(int i) const override { return "In " + std::to_string(i + 1); }
  std::string Sink(int i) const override { return "Out " + std::to_string(i + 1); }
  void Play(int source, const Bytes& message) override {
    rig_.midi->Play(rig_.inputs.at(static_cast<std::size_t>(source)), message);
  }
  bool Got(BridgeRig& rig, int sink, const Bytes& message) override {
    const auto packed =
        static_cast<std::uint32_t>(message[0] | (message[1] << 8) | (message[2] << 16));
    const auto has = [&](int output) {
      const auto sent = rig.MidiSent(output + 1);
      return std::any_of(sent.begin(), sent.end(),
                         [&](const auto& s) { return s.packed == packed; });
    };
    return rig.PumpUntil([&] { return has(sink); }, Bound()) && !has(1 - sink);
  }

 private:
  BridgeRig& rig_;
};

#ifdef VELMORA_SWITCH_ON_JACK
class JackEnds final : public MidiEnds {
 public:
  explicit JackEnds(std::shared_ptr<platform::midi::JackMidiService> service)
      : service_(std::move(service)) {
    // One client each way keeps JACK's graph a line.
    for (int n = 0; n < 2; ++n) {
      const std::string suffix = std::to_string(n + 1);
      sources_[n] =
          std::make_unique<tools::JackPeer>("vsw-src" + suffix, tools::JackPeer::Ports::OutOnly);
      sinks_[n] =
          std::make_unique<tools::JackPeer>("vsw-sink" + suffix, tools::JackPeer::Ports::InOnly);
    }
  }
  std::string Source(int i) const override { return sources_[i]->outPortName(); }
  std::string Sink(int i) const override { return sinks_[i]->inPortName(); }
  void Play(int source, const Bytes& message) override {
    const std::lock_guard lock(sending_);
    sources_[source]->send(message);
  }
  bool Got(BridgeRig& rig, int sink, const Bytes& message) override {
    bool got = false, stray = false;
    const bool linked = rig.PumpUntil(
        [&] {
          for (int n = 0; n < 2; ++n) {
            while (auto received = sinks_[n]->receive(0ms)) {
              if (*received != message) continue;
              (n == sink ? got : stray) = true;
            }
          }
          return got && sinks_[sink]->inConnected();
        },
        Bound());
    return linked && !stray && !sinks_[1 - sink]->inConnected();
  }
  std::uint64_t Xruns() const override {
    std::uint64_t xruns = service_->Xruns();
    for (const auto& peer : sources_) xruns += peer->xruns();
    for (const auto& peer : sinks_) xruns += peer->xruns();
    return xruns;
  }
  std::chrono::milliseconds Bound() const override { return 3s; }

 private:
  const std::shared_ptr<platform::midi::JackMidiService> service_;
  std::mutex sending_;  // JackPeer::send takes one thread at a time: the traffic's and the test's
  std::unique_ptr<tools::JackPeer> sources_[2];
  std::unique_ptr<tools::JackPeer> sinks_[2];
};
#endif

std::string Log(const core::WindowModel& window) {
  std::string text;
  for (int i = 0; i < window.LogCount(); ++i) text += window.LogLine(i) + "\n";
  return text;
}

int EntryOf(const core::WindowModel& window, DeviceList list, const std::string& text) {
  for (int i = 0; i < window.ListCount(list); ++i) {
    if (window.ListItem(list, i) == text) return i;
  }
  return -1;
}

TEST(DeviceSwitch, EverySwitchEndsWithTheChosenPortsLinkedAndNothingLostAfterIt) {
#ifdef VELMORA_SWITCH_ON_JACK
  auto jack = std::make_shared<platform::midi::JackMidiService>();
  auto ends = std::make_unique<JackEnds>(jack);
  BridgeRig rig(2, jack);
#else
  BridgeRig rig(2, 2);
  auto ends = std::make_unique<SimulatedEnds>(rig);
#endif
  rig.Start();
  // Traffic both ways all along: serial bytes into both lines, MIDI into both sources.
  std::jthread traffic([&](const std::stop_token& stop) {
    const Bytes aftertouch{0xA0, 0x10, 0x20};
    while (!stop.stop_requested()) {
      // The line not chosen is read by no one: what does not fit its buffer is dropped here.
      for (int port = 1; port <= 2; ++port) {
        static_cast<void>(!::write(rig.Pty(port).master(), aftertouch.data(), aftertouch.size()));
      }
      for (int source = 0; source < 2; ++source) ends->Play(source, {0xB0, 0x01, 0x02});
      std::this_thread::sleep_for(2ms);
    }
  });

  const auto choose = [&](DeviceList list, int index) {
    if (list == DeviceList::ComPort) rig.ChooseComPort(index);
    if (list == DeviceList::MidiIn) {
      rig.ChooseMidiIn(EntryOf(rig.window, list, ends->Source(index)));
    }
    if (list == DeviceList::MidiOut)
      rig.ChooseMidiOut(EntryOf(rig.window, list, ends->Sink(index)));
  };
  // A switch that comes while `during` is under way.
  const auto chooseNested = [&](DeviceList during, int first, DeviceList then, int second) {
    platform::MessageWindow later([&](const platform::Message&) -> std::intptr_t {
      choose(then, second);
      return 0;
    });
    later.ref().post(platform::WM_USER);
    choose(during, first);
    while (platform::MessagePump::current().processOneMessage()) {
    }
  };

  int port = 0, source = 0, sink = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int step = round % 4;
    if (step == 0) choose(DeviceList::MidiOut, sink = 1 - sink);
    if (step == 1) choose(DeviceList::MidiIn, source = 1 - source);
    if (step == 2) choose(DeviceList::ComPort, port = 1 - port);
    if (step == 3) {
      chooseNested(DeviceList::MidiOut, 1 - sink, DeviceList::MidiOut, sink);
      chooseNested(DeviceList::MidiIn, source = 1 - source, DeviceList::ComPort, port = 1 - port);
    }
    ASSERT_EQ(rig.window.ShapeColor(Shape::MidiOut), kOpenColor) << Log(rig.window);
    ASSERT_EQ(rig.window.ShapeColor(Shape::MidiIn), kOpenColor) << Log(rig.window);
    ASSERT_EQ(rig.window.ShapeColor(Shape::ComPort), kOpenColor) << Log(rig.window);

    const auto note = static_cast<std::uint8_t>(round % 128);
    const Bytes toMidi{0x90, note, 0x7F};
    const Bytes toSerial{0x80, note, 0x00};
    const auto xruns = [&] { return ends->Xruns(); };
    testing::RetryOnXrun(
        xruns, [&] { return rig.WriteFar(port + 1, toMidi) && ends->Got(rig, sink, toMidi); });
    ASSERT_FALSE(HasFailure()) << "serial to " << ends->Sink(sink) << "\n" << Log(rig.window);
    testing::RetryOnXrun(xruns, [&] {
      const std::size_t before = rig.Far(port + 1).Count();
      ends->Play(source, toSerial);
      return rig.PumpUntil([&] { return Contains(rig.Far(port + 1).Received(), before, toSerial); },
                           ends->Bound());
    });
    ASSERT_FALSE(HasFailure()) << ends->Source(source) << " to COM" << port + 1 << "\n"
                               << Log(rig.window);
  }
}

}  // namespace
}  // namespace velmora::faults
