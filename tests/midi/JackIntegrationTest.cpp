// The MIDI components on a real MIDI service: our JACK back end on the JACK server that the
// test fixture started, with a JACK peer of our own at the other end.

#include <gtest/gtest.h>

#include <algorithm>

#include "core/Bridge.h"
#include "core/MidiDeviceAdapters.h"
#include "midi/MidiInput.h"
#include "midi/MidiOutput.h"
#include "platform/midi/JackMidiService.h"
#include "support/Wait.h"
#include "support/XrunRetry.h"
#include "tools/JackPeer.h"

namespace pm = velmora::platform::midi;
using velmora::midi::EmidioutputError;
using velmora::midi::TMidiInput;
using velmora::midi::TMidiOutput;
using velmora::midi::TMidiPortState;
using velmora::midi::TMyMidiEvent;
using velmora::testing::PumpUntil;
using velmora::testing::RetryOnXrun;
using velmora::tools::JackPeer;
using namespace std::chrono_literals;

namespace {

constexpr auto kBound = 10s;
// Long enough for anything that is on its way; what has not come by then was lost.
constexpr auto kExchangeBound = 3s;

using Bytes = JackPeer::Bytes;

Bytes Sysex(std::size_t size, std::uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i + seed) % 127);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

TMyMidiEvent SysexEvent(const Bytes& bytes) {
  TMyMidiEvent event;
  event.StatusByte = 0xF0;
  event.SysexSize = static_cast<std::uint16_t>(bytes.size());
  event.SysexData = std::make_unique<std::uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), event.SysexData.get());
  return event;
}

class JackIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;  // JACK client names are short; each test has its own peer
    peer = std::make_unique<JackPeer>("vpeer-" + std::to_string(++serial), JackPeer::Ports::Both,
                                      JackPeer::Pace::EveryCycle);
    service = std::make_shared<pm::JackMidiService>();
  }

  // Everything the peer receives within the bound, or until it has `count`.
  bool receive(std::vector<Bytes>& into, std::size_t count) {
    while (into.size() < count) {
      auto message = peer->receive(kExchangeBound);
      if (!message) return false;
      into.push_back(std::move(*message));
    }
    return true;
  }

  std::unique_ptr<JackPeer> peer;
  std::shared_ptr<pm::JackMidiService> service;
};

TEST_F(JackIntegration, InputReceivesShortAndSysexMessagesCompleteAndInOrder) {
  TMidiInput input(service);
  std::vector<std::unique_ptr<TMyMidiEvent>> events;
  input.SetOnMidiInput([&](TMidiInput& sender) {
    while (sender.EventCount() > 0) events.push_back(sender.TakeEvent());
  });
  input.SetProductName(peer->outPortName());
  input.Open();
  ASSERT_EQ(input.State(), TMidiPortState::mpsOpen) << input.ErrorText(input.Error());
  input.Start();

  const auto sysex = Sysex(3000, 5);
  RetryOnXrun(
      [&] { return peer->xruns(); },
      [&] {
        events.clear();
        for (const Bytes& message : {Bytes{0x90, 0x3C, 0x64}, Bytes{0xC5, 0x07},
                                     Bytes{0xFE},  // a lone Active Sensing never reaches the user
                                     sysex, Bytes{0x80, 0x3C, 0x00}}) {
          if (!peer->send(message)) return false;
        }
        if (!peer->waitSent(kBound)) return false;
        // In order: once the last one is in, whatever else came is in too.
        return PumpUntil([&] { return !events.empty() && events.back()->StatusByte == 0x80; },
                         kExchangeBound);
      });
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0]->StatusByte, 0x90);
  EXPECT_EQ(events[0]->FirstDataByte, 0x3C);
  EXPECT_EQ(events[0]->SecondDataByte, 0x64);
  EXPECT_EQ(events[1]->StatusByte, 0xC5);
  EXPECT_EQ(events[1]->FirstDataByte, 0x07);
  ASSERT_TRUE(events[2]->IsSysex());
  ASSERT_EQ(events[2]->SysexSize, sysex.size());
  EXPECT_TRUE(std::equal(sysex.begin(), sysex.end(), events[2]->SysexData.get()));
  EXPECT_EQ(events[3]->StatusByte, 0x80);

  input.Stop();
  input.Close();
  EXPECT_EQ(input.State(), TMidiPortState::mpsClosed);
}

TEST_F(JackIntegration, OutputSendsShortAndSysexMessagesThatThePeerReceivesComplete) {
  TMidiOutput output(service);
  int completed = 0;
  output.SetOnmidioutput([&](TMidiOutput&) { ++completed; });
  output.SetProductName(peer->inPortName());
  ASSERT_TRUE(output.Open()) << output.ErrorText(output.Error());

  // Paced: each message once the previous one arrived.
  TMyMidiEvent noteOn;
  noteOn.StatusByte = 0x90;
  noteOn.FirstDataByte = 0x3C;
  noteOn.SecondDataByte = 0x64;
  TMyMidiEvent program;
  program.StatusByte = 0xC5;
  program.FirstDataByte = 0x07;
  const auto sysex = Sysex(3000, 9);
  int sysexSent = 0;
  std::vector<Bytes> received;
  RetryOnXrun([&] { return peer->xruns(); },
              [&] {
                received.clear();
                output.SendEvent(noteOn);
                if (!receive(received, 1)) return false;
                output.SendEvent(program);
                if (!receive(received, 2)) return false;
                output.SendEvent(SysexEvent(sysex));
                ++sysexSent;
                return receive(received, 3);
              });
  ASSERT_TRUE(PumpUntil([&] { return completed == sysexSent; }, kBound));
  EXPECT_EQ(output.PendingLongMessages(), 0u);
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[0], (Bytes{0x90, 0x3C, 0x64}));
  EXPECT_EQ(received[1], (Bytes{0xC5, 0x07}));  // only the bytes the status calls for
  EXPECT_EQ(received[2], sysex);
  EXPECT_EQ(output.PendingLongMessages(), 0u);
  EXPECT_TRUE(output.Close());
}

TEST_F(JackIntegration, PeerThatGoesAwayWhileOpenLeavesComponentsThatClose) {
  TMidiInput input(service);
  input.SetProductName(peer->outPortName());
  input.Open();
  input.Start();
  TMidiOutput output(service);
  output.SetProductName(peer->inPortName());
  ASSERT_TRUE(output.Open());
  ASSERT_EQ(input.State(), TMidiPortState::mpsOpen);
  bool inputLost = false;
  bool outputLost = false;
  input.SetOnDeviceLost([&](TMidiInput&) { inputLost = true; });
  output.SetOnDeviceLost([&](TMidiOutput&) { outputLost = true; });

  peer->leave();
  EXPECT_TRUE(PumpUntil([&] { return inputLost && outputLost; }, kBound));
  TMyMidiEvent event;
  event.StatusByte = 0xB0;
  event.FirstDataByte = 0x07;
  try {
    output.SendEvent(event);  // may go nowhere; it must not crash or hang
  } catch (const EmidioutputError&) {
  }
  velmora::testing::PumpPending();
  input.Stop();
  input.Close();
  EXPECT_EQ(input.State(), TMidiPortState::mpsClosed);
  EXPECT_TRUE(output.Close());
  // The peer's ports are gone from the lists.
  for (std::uint32_t id = 0; id < service->midiInGetNumDevs(); ++id) {
    pm::MIDIINCAPSA caps;
    ASSERT_EQ(service->midiInGetDevCapsA(id, &caps, sizeof caps), pm::MMSYSERR_NOERROR);
    EXPECT_NE(std::string(caps.szPname).rfind("vpeer-", 0), 0u) << caps.szPname;
  }
}

TEST_F(JackIntegration, OwnPortsAreNotOfferedAndTheBridgeListsThePeer) {
  // The bridge's device set over the real components; the serial devices are absent here.
  class Factory final : public velmora::core::DeviceFactory {
   public:
    explicit Factory(std::shared_ptr<pm::MidiService> service) : service_(std::move(service)) {}
    std::unique_ptr<velmora::core::ComPortDevice> CreateComPort() override { throw absent(); }
    std::unique_ptr<velmora::core::DataPacketDevice> CreateDataPacket() override { throw absent(); }
    std::unique_ptr<velmora::core::LightControllerDevice> CreateSLController() override {
      throw absent();
    }
    std::unique_ptr<velmora::core::MidiInputDevice> CreateMidiInput() override {
      return std::make_unique<velmora::core::RealMidiInput>(service_);
    }
    std::unique_ptr<velmora::core::MidiOutputDevice> CreateMidiOutput() override {
      return std::make_unique<velmora::core::RealMidiOutput>(service_);
    }
    std::unique_ptr<velmora::core::PortProbe> CreatePortProbe() override { throw absent(); }

   private:
    static std::runtime_error absent() { return std::runtime_error("absent"); }
    std::shared_ptr<pm::MidiService> service_;
  };

  // An open output of ours adds a JACK port that must not show up as an input.
  TMidiOutput busy(service);
  busy.SetProductName(peer->inPortName());
  ASSERT_TRUE(busy.Open());

  Factory factory(service);
  velmora::core::Bridge bridge(factory);
  ASSERT_NE(bridge.MidiInput, nullptr);
  ASSERT_NE(bridge.MidiOutput, nullptr);
  const auto inputs = bridge.ListMidiInDevices();
  const auto outputs = bridge.ListMidiOutDevices();
  EXPECT_NE(std::find(inputs.begin(), inputs.end(), peer->outPortName()), inputs.end());
  EXPECT_NE(std::find(outputs.begin(), outputs.end(), peer->inPortName()), outputs.end());
  const std::string own = service->ClientName() + ":";
  for (const auto& name : inputs) EXPECT_EQ(name.rfind(own, 0), std::string::npos) << name;
  for (const auto& name : outputs) EXPECT_EQ(name.rfind(own, 0), std::string::npos) << name;
  bridge.Finalize();
  EXPECT_TRUE(busy.Close());
}

}  // namespace
