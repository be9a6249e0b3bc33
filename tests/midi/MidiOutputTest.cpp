#include <gtest/gtest.h>

#include "midi/MidiOutput.h"
#include "platform/midi/SimulatedMidiService.h"
#include "support/Wait.h"

namespace pm = velmora::platform::midi;
using velmora::midi::EmidioutputError;
using velmora::midi::TMidiOutput;
using velmora::midi::TMidiPortState;
using velmora::midi::TMyMidiEvent;
using velmora::testing::PumpPending;
using velmora::testing::PumpUntil;
using Call = pm::SimulatedMidiService::Call;

namespace {

template <typename F>
std::string RaisedText(F f) {
  try {
    f();
  } catch (const EmidioutputError& e) {
    return e.what();
  }
  return "(nothing raised)";
}

TMyMidiEvent SysexEvent(std::uint16_t size) {
  TMyMidiEvent event;
  event.StatusByte = 0xF0;
  event.SysexSize = size;
  event.SysexData = std::make_unique<std::uint8_t[]>(size);
  for (std::uint16_t i = 0; i < size; ++i) event.SysexData[i] = static_cast<std::uint8_t>(i & 0x7F);
  event.SysexData[0] = 0xF0;
  event.SysexData[size - 1] = 0xF7;
  return event;
}

class MidiOutTest : public ::testing::Test {
 protected:
  MidiOutTest() : service(std::make_shared<pm::SimulatedMidiService>()) {
    synth = service->AddOutput("Synth");
    module = service->AddOutput("Module");
  }

  std::unique_ptr<TMidiOutput> OpenOutput(const std::string& name = "Synth") {
    auto output = std::make_unique<TMidiOutput>(service);
    output->SetOnmidioutput([this](TMidiOutput&) { ++done; });
    output->SetProductName(name);
    EXPECT_TRUE(output->Open());
    return output;
  }

  std::shared_ptr<pm::SimulatedMidiService> service;
  pm::SimulatedMidiService::DeviceKey synth = 0;
  pm::SimulatedMidiService::DeviceKey module = 0;
  int done = 0;
};

TEST_F(MidiOutTest, ConstructionSelectsNothing) {
  TMidiOutput output(service);
  EXPECT_EQ(output.DeviceID(), 0);
  EXPECT_EQ(output.ProductName(), "");
  EXPECT_EQ(output.DeviceCount(), 2);
  EXPECT_EQ(output.State(), TMidiPortState::mpsClosed);
}

TEST_F(MidiOutTest, SelectionByNumberIncludingTheMapper) {
  TMidiOutput output(service);
  output.SetDeviceID(1);
  EXPECT_EQ(output.ProductName(), "Module");
  output.SetDeviceID(-1);
  EXPECT_EQ(output.ProductName(), "MIDI Mapper");
  EXPECT_EQ(output.Technology(), pm::MOD_MAPPER);
  EXPECT_EQ(RaisedText([&] { output.SetDeviceID(2); }), "Invalid device ID");
  EXPECT_EQ(RaisedText([&] { output.SetDeviceID(-2); }), pm::ResultText(pm::MMSYSERR_BADDEVICEID));
  EXPECT_EQ(output.DeviceID(), -2);  // stays changed, as the platform refused only the query
}

TEST_F(MidiOutTest, SelectionByNameSearchesTheMapperFirst) {
  TMidiOutput output(service);
  output.SetProductName("Module");
  EXPECT_EQ(output.DeviceID(), 1);
  output.SetProductName("MIDI Mapper");
  EXPECT_EQ(output.DeviceID(), -1);
  EXPECT_EQ(RaisedText([&] { output.SetProductName("Piano"); }),
            "MIDI output Device Piano not installed");
  auto empty = std::make_shared<pm::SimulatedMidiService>();
  TMidiOutput none(empty);
  EXPECT_EQ(RaisedText([&] { none.SetProductName("Synth"); }),
            pm::ResultText(pm::MMSYSERR_BADDEVICEID));
}

TEST_F(MidiOutTest, SelectionIsRefusedWhileOpen) {
  auto output = OpenOutput();
  EXPECT_EQ(RaisedText([&] { output->SetDeviceID(1); }),
            "Change to DeviceID while device was open");
  EXPECT_EQ(RaisedText([&] { output->SetProductName("Module"); }),
            "Change to ProductName while device was open");
}

TEST_F(MidiOutTest, ShortEventSendsExactlyOnePackedMessage) {
  auto output = OpenOutput("Module");
  TMyMidiEvent event;
  event.StatusByte = 0x90;
  event.FirstDataByte = 0x3C;
  event.SecondDataByte = 0x64;
  output->SendEvent(event);
  event.StatusByte = 0xF0;  // still short: it carries no data
  output->SendEvent(event);
  auto sent = service->SentTo(module);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_FALSE(sent[0].isLong);
  EXPECT_EQ(sent[0].packed, 0x00643C90u);
  EXPECT_EQ(sent[1].packed, 0x00643CF0u);
  EXPECT_TRUE(service->SentTo(synth).empty());
  PumpPending();
  EXPECT_EQ(done, 0);  // never for short messages
}

TEST_F(MidiOutTest, SysexEventSendsOneLongMessageAndCompletesOnce) {
  auto output = OpenOutput();
  const auto event = SysexEvent(3000);
  output->SendEvent(event);
  ASSERT_TRUE(PumpUntil([&] { return done == 1; }));
  auto sent = service->SentTo(synth);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0].isLong);
  ASSERT_EQ(sent[0].bytes.size(), 3000u);
  EXPECT_TRUE(std::equal(sent[0].bytes.begin(), sent[0].bytes.end(), event.SysexData.get()));
  EXPECT_EQ(output->PendingLongMessages(), 0u);
  PumpPending();
  EXPECT_EQ(done, 1);
}

TEST_F(MidiOutTest, MapperPlaysOnOutputZero) {
  auto output = OpenOutput("MIDI Mapper");
  output->SendShort(0xC0, 0x05, 0);
  EXPECT_EQ(service->SentTo(synth).size(), 1u);
}

TEST_F(MidiOutTest, SendingOnAClosedComponent) {
  TMidiOutput output(service);
  TMyMidiEvent event;
  event.StatusByte = 0x90;
  EXPECT_EQ(RaisedText([&] { output.SendEvent(event); }), "MIDI Output device not open");
  EXPECT_EQ(RaisedText([&] { output.SendShort(0x90, 1, 2); }),
            pm::ResultText(pm::MMSYSERR_INVALHANDLE));
  EXPECT_FALSE(output.Close());
  EXPECT_EQ(output.State(), TMidiPortState::mpsClosed);
}

TEST_F(MidiOutTest, EmptyOrRefusedLongMessagesLeaveNothingBehind) {
  auto output = OpenOutput();
  const std::uint8_t byte = 0xF0;
  EXPECT_EQ(RaisedText([&] { output->SendLong(&byte, 0); }),
            pm::ResultText(pm::MMSYSERR_INVALPARAM));
  service->FailNext(Call::OutPrepareHeader, pm::MMSYSERR_NOMEM);
  EXPECT_EQ(RaisedText([&] { output->SendEvent(SysexEvent(10)); }),
            pm::ResultText(pm::MMSYSERR_NOMEM));
  service->FailNext(Call::OutLongMsg, pm::MIDIERR_NOTREADY);
  EXPECT_EQ(RaisedText([&] { output->SendEvent(SysexEvent(10)); }),
            pm::ResultText(pm::MIDIERR_NOTREADY));
  EXPECT_EQ(output->Error(), pm::MIDIERR_NOTREADY);
  EXPECT_EQ(output->PendingLongMessages(), 0u);
  EXPECT_TRUE(service->SentTo(synth).empty());
  EXPECT_TRUE(output->Close());
}

TEST_F(MidiOutTest, CloseIsRefusedWhileALongMessagePlays) {
  auto output = OpenOutput();
  service->HoldLongMessages(true);
  output->SendEvent(SysexEvent(100));
  EXPECT_EQ(RaisedText([&] { output->Close(); }), pm::ResultText(pm::MIDIERR_STILLPLAYING));
  EXPECT_EQ(output->State(), TMidiPortState::mpsOpen);
  service->HoldLongMessages(false);
  ASSERT_TRUE(PumpUntil([&] { return done == 1; }));
  EXPECT_TRUE(output->Close());
  EXPECT_EQ(service->OpenHandles(), 0);
}

TEST_F(MidiOutTest, DestroyingWhileALongMessagePlaysReleasesEverything) {
  auto output = OpenOutput();
  service->HoldLongMessages(true);
  output->SendEvent(SysexEvent(100));
  output.reset();
  EXPECT_EQ(service->OpenHandles(), 0);
}

TEST_F(MidiOutTest, OpenFailsQuietlyAndOpenTwiceKeepsTheDevice) {
  TMidiOutput output(service);
  output.SetProductName("Synth");
  service->FailNext(Call::OutOpen, pm::MMSYSERR_ALLOCATED);
  EXPECT_FALSE(output.Open());
  EXPECT_EQ(output.State(), TMidiPortState::mpsClosed);
  EXPECT_EQ(output.Error(), pm::MMSYSERR_ALLOCATED);
  EXPECT_TRUE(output.Open());
  EXPECT_TRUE(output.Open());
  EXPECT_EQ(service->OpenHandles(), 1);
  EXPECT_TRUE(output.Close());
  EXPECT_FALSE(output.Close());
}

TEST_F(MidiOutTest, DeviceThatGoesAwayWhileOpenStillCloses) {
  auto output = OpenOutput();
  int lost = 0;
  output->SetOnDeviceLost([&](TMidiOutput&) { ++lost; });
  service->Remove(synth);
  ASSERT_TRUE(PumpUntil([&] { return lost == 1; }));
  TMyMidiEvent event;
  event.StatusByte = 0x80;
  EXPECT_EQ(RaisedText([&] { output->SendEvent(event); }), pm::ResultText(pm::MIDIERR_NODEVICE));
  EXPECT_EQ(RaisedText([&] { output->SendEvent(SysexEvent(5)); }),
            pm::ResultText(pm::MIDIERR_NODEVICE));
  EXPECT_TRUE(output->Close());
  EXPECT_EQ(service->OpenHandles(), 0);
}

}  // namespace
