// Bursts through a real JACK server: many messages in one cycle of the server reach the serial
// line whole and in order, and real-time bytes behind a held line keep theirs. The bridge runs
// on our JACK back end; the source is a JACK client of the test that writes a whole burst at
// the first frame of one cycle.

#include <gtest/gtest.h>

#include <jack/midiport.h>

#include <atomic>

#include "core/faults/BridgeRig.h"
#include "platform/midi/JackMidiService.h"
#include "support/XrunRetry.h"
#include "tools/JackClient.h"

namespace velmora::faults {
namespace {

using namespace std::chrono_literals;
using core::MessageKind;
using core::MessageKinds;

// A JACK source that writes each burst it is given in one process cycle, at its first frame.
class BurstSource {
 public:
  explicit BurstSource(const std::string& name)
      : client_(name, &BurstSource::process, this), port_(client_.registerPort("out", true)) {
    client_.activate();
    name_ = jack_port_name(port_);
  }
  ~BurstSource() { client_.leave(); }

  const std::string& PortName() const { return name_; }
  std::uint64_t Xruns() const { return client_.xruns(); }
  // Waits until the burst went out in one cycle; false when it did not fit one.
  bool Send(const std::vector<Bytes>& burst, std::chrono::milliseconds bound = 5s) {
    written_.store(-1);
    burst_.store(&burst);
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (written_.load() < 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);  // pacing: JACK's next cycle
    }
    burst_.store(nullptr);
    return written_.load() == static_cast<long>(burst.size());
  }

 private:
  // JACK's process thread: reads the burst only, allocates nothing.
  static int process(jack_nframes_t frames, void* self) {
    auto& source = *static_cast<BurstSource*>(self);
    void* buffer = jack_port_get_buffer(source.port_, frames);
    jack_midi_clear_buffer(buffer);
    const std::vector<Bytes>* burst = source.burst_.exchange(nullptr);
    if (burst == nullptr) return 0;
    long written = 0;
    for (const Bytes& message : *burst) {
      if (jack_midi_event_write(buffer, 0, message.data(), message.size()) != 0) break;
      ++written;
    }
    source.written_.store(written);
    return 0;
  }

  tools::JackClient client_;
  jack_port_t* port_;
  std::string name_;
  std::atomic<const std::vector<Bytes>*> burst_{nullptr};  // the test's, taken by the cycle
  std::atomic<long> written_{0};                           // the cycle's: events it wrote
};

Bytes ShortSysex(std::size_t index) {
  return {0xF0, 0x7D, static_cast<std::uint8_t>(index >> 7 & 0x7F),
          static_cast<std::uint8_t>(index & 0x7F), 0xF7};
}

// The rig on the fixture's JACK server, its MIDI input the burst source, its line 31250 baud.
struct JackRig {
  explicit JackRig(const MessageKinds& toSerial) {
    static int serial = 0;
    source = std::make_unique<BurstSource>("vburst-" + std::to_string(++serial));
    rig = std::make_unique<BridgeRig>(1, jack);
    rig->bridge->Choice.midiIn = source->PortName();
    rig->bridge->SetMessageChoice({toSerial});
    rig->Start();
  }
  std::shared_ptr<platform::midi::JackMidiService> jack =
      std::make_shared<platform::midi::JackMidiService>();
  std::unique_ptr<BurstSource> source;
  std::unique_ptr<BridgeRig> rig;
};

// 100 and 1000 short sysex in one cycle, more than the input's buffers: all of them reach the
// line, in order, and nothing is counted lost.
TEST(MessagesThroughJack, ABurstOfSysexInOneCycleArrivesWholeAndInOrder) {
  JackRig jackRig({MessageKind::Sysex});
  BridgeRig& rig = *jackRig.rig;
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.bridge->ComPortOpened && rig.bridge->MidiInOpen(); }))
      << rig.window.LogCount();
  for (const std::size_t count : {100u, 1000u}) {
    SCOPED_TRACE(count);
    std::vector<Bytes> burst;
    Bytes expected;
    for (std::size_t i = 0; i < count; ++i) {
      burst.push_back(ShortSysex(i));
      expected.insert(expected.end(), burst.back().begin(), burst.back().end());
    }
    // JACK itself drops what a cycle that overran carried: such a burst is sent again.
    testing::RetryOnXrun(
        [&] { return jackRig.source->Xruns(); },
        [&] {
          const std::size_t before = rig.Far(1).Count();
          EXPECT_TRUE(jackRig.source->Send(burst));
          if (!rig.PumpUntil([&] { return rig.Far(1).Count() >= before + expected.size(); }, 10s)) {
            return false;
          }
          const Bytes received = rig.Far(1).Received();
          EXPECT_EQ(Bytes(received.begin() + static_cast<std::ptrdiff_t>(before), received.end()),
                    expected);
          return true;
        });
  }
  EXPECT_EQ(rig.bridge->MidiInRefused, 0u);
  EXPECT_EQ(rig.bridge->Losses().Total(core::Loss::MidiInFull), 0u);
}

// A far end that stops reading holds the line, as a slow or flow-controlled device does: notes
// pile up behind it, then Start, Clock, Clock, Stop come. Once the line moves again they arrive
// in that order, ahead of the notes that waited, and nothing is lost.
TEST(MessagesThroughJack, RealTimeBehindAHeldLineKeepsItsOrder) {
  JackRig jackRig({MessageKind::Channel, MessageKind::Clock, MessageKind::Transport});
  BridgeRig& rig = *jackRig.rig;
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.bridge->ComPortOpened && rig.bridge->MidiInOpen(); }));
  rig.Far(1).SetPaused(true);
  // Bursts of notes until they wait in the bridge: the device and the port are full.
  std::size_t notes = 0;
  while (rig.bridge->ComWaiting() == 0) {
    std::vector<Bytes> burst(500, Bytes{0x90, 0x3C, 0x40});
    ASSERT_TRUE(jackRig.source->Send(burst));
    notes += burst.size();
    rig.PumpFor(5ms);
    ASSERT_LT(notes, 200'000u) << "the line never filled";
  }
  // Every note is on the line or waits.
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.bridge->Counts().toSerial == notes; }));
  const std::size_t waiting = rig.bridge->ComWaiting();
  const Bytes realTime{0xFA, 0xF8, 0xF8, 0xFC};
  for (const std::uint8_t byte : realTime) {
    ASSERT_TRUE(jackRig.source->Send({Bytes{byte}}));
  }
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.bridge->ComWaiting() == waiting + 4; }));
  rig.Far(1).SetPaused(false);
  ASSERT_TRUE(
      rig.PumpUntil([&] { return rig.Far(1).Count() >= notes * 3 + realTime.size(); }, 60s));
  Bytes received = rig.Far(1).Received();
  Bytes seen;
  std::size_t after = 0;  // bytes after the last real-time one
  for (const std::uint8_t byte : received) {
    if (byte >= 0xF8) {
      seen.push_back(byte);
      after = 0;
    } else {
      ++after;
    }
  }
  EXPECT_EQ(seen, realTime);
  EXPECT_GE(after, waiting) << "ahead of the notes that waited";
  EXPECT_EQ(rig.bridge->Losses().Total(core::Loss::ComFull), 0u);
}

}  // namespace
}  // namespace velmora::faults
