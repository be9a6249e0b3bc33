#include <gtest/gtest.h>

#include <numeric>

#include "midi/MidiInput.h"
#include "platform/midi/SimulatedMidiService.h"
#include "support/Wait.h"

namespace pm = velmora::platform::midi;
using velmora::midi::EMidiInputError;
using velmora::midi::TMidiInput;
using velmora::midi::TMidiPortState;
using velmora::midi::TMyMidiEvent;
using velmora::testing::PumpPending;
using velmora::testing::PumpUntil;
using Call = pm::SimulatedMidiService::Call;

namespace {

std::vector<std::uint8_t> Sysex(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i % 127);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

template <typename F>
std::string RaisedText(F f) {
  try {
    f();
  } catch (const EMidiInputError& e) {
    return e.what();
  }
  return "(nothing raised)";
}

class MidiInTest : public ::testing::Test {
 protected:
  MidiInTest() : service(std::make_shared<pm::SimulatedMidiService>()) {
    keyboard = service->AddInput("Keyboard");
    pads = service->AddInput("Pads");
  }

  // Opens and starts; every OnMidiInput drains the ring into `events`.
  std::unique_ptr<TMidiInput> OpenInput() {
    auto input = std::make_unique<TMidiInput>(service);
    input->SetOnMidiInput([this](TMidiInput& sender) {
      ++raised;
      while (sender.EventCount() > 0) events.push_back(sender.TakeEvent());
    });
    input->Open();
    input->Start();
    return input;
  }

  void Play(std::vector<std::uint8_t> bytes) { ASSERT_TRUE(service->Play(keyboard, bytes)); }
  void Settle() {
    service->Flush();
    PumpPending();
  }

  std::shared_ptr<pm::SimulatedMidiService> service;
  pm::SimulatedMidiService::DeviceKey keyboard = 0;
  pm::SimulatedMidiService::DeviceKey pads = 0;
  std::vector<std::unique_ptr<TMyMidiEvent>> events;
  int raised = 0;
};

TEST_F(MidiInTest, ConstructionSelectsDeviceZeroOrFailsWithoutDevices) {
  TMidiInput input(service);
  EXPECT_EQ(input.DeviceID(), 0);
  EXPECT_EQ(input.ProductName(), "Keyboard");
  EXPECT_EQ(input.DeviceCount(), 2);
  EXPECT_EQ(input.State(), TMidiPortState::mpsClosed);
  EXPECT_EQ(input.Capacity(), 1024);
  EXPECT_EQ(input.SysexBufferSize(), 4096);
  EXPECT_EQ(input.SysexBufferCount(), 16);

  auto empty = std::make_shared<pm::SimulatedMidiService>();
  EXPECT_EQ(RaisedText([&] { TMidiInput none(empty); }), "Invalid device ID");
}

TEST_F(MidiInTest, SelectionByNumberAndByName) {
  TMidiInput input(service);
  input.SetDeviceID(1);
  EXPECT_EQ(input.ProductName(), "Pads");
  EXPECT_EQ(RaisedText([&] { input.SetDeviceID(2); }), "Invalid device ID");
  EXPECT_EQ(input.DeviceID(), 1);
  input.SetProductName("Keyboard");
  EXPECT_EQ(input.DeviceID(), 0);
  EXPECT_EQ(RaisedText([&] { input.SetProductName("keyboard"); }),
            "MIDI Input Device keyboard not installed ");
  // A shared name selects the lower number.
  service->AddInput("Pads");
  input.SetProductName("Pads");
  EXPECT_EQ(input.DeviceID(), 1);
}

TEST_F(MidiInTest, SelectionAndBufferSettingsAreRefusedWhileOpen) {
  auto input = OpenInput();
  ASSERT_EQ(input->State(), TMidiPortState::mpsOpen);
  EXPECT_EQ(RaisedText([&] { input->SetDeviceID(1); }), "Change to DeviceID while device was open");
  EXPECT_EQ(RaisedText([&] { input->SetProductName("Pads"); }),
            "Change to ProductName while device was open");
  EXPECT_EQ(RaisedText([&] { input->SetSysexBufferSize(10); }),
            "Change to SysexBufferSize while device was open");
  EXPECT_EQ(RaisedText([&] { input->SetSysexBufferCount(1); }),
            "Change to SysexBuffercount while device was open");
  EXPECT_EQ(input->SysexBufferSize(), 4096);
}

TEST_F(MidiInTest, ShortMessagesArriveInOrderAndOneNotificationDrainsBoth) {
  auto input = OpenInput();
  Play({0x90, 0x3C, 0x64});
  Play({0xC5, 0x07});
  Settle();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(raised, 1);  // the second notification found the ring drained
  EXPECT_EQ(events[0]->StatusByte, 0x90);
  EXPECT_EQ(events[0]->FirstDataByte, 0x3C);
  EXPECT_EQ(events[0]->SecondDataByte, 0x64);
  EXPECT_FALSE(events[0]->IsSysex());
  EXPECT_EQ(events[1]->StatusByte, 0xC5);
  EXPECT_EQ(events[1]->FirstDataByte, 0x07);
  EXPECT_EQ(events[1]->SecondDataByte, 0x00);
  EXPECT_LE(events[0]->Timestamp, events[1]->Timestamp);
}

TEST_F(MidiInTest, NothingArrivesBeforeStartOrAfterStop) {
  TMidiInput input(service);
  input.SetOnMidiInput([&](TMidiInput&) { ++raised; });
  input.Open();
  Play({0x90, 0x3C, 0x64});
  Settle();
  EXPECT_EQ(input.EventCount(), 0);
  input.Start();
  input.Stop();
  Play({0x90, 0x3C, 0x64});
  Settle();
  EXPECT_EQ(raised, 0);
}

TEST_F(MidiInTest, SysexArrivesWholeAndContinuesAcrossBuffers) {
  auto input = OpenInput();
  const auto small = Sysex(3000);
  Play(small);
  Settle();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->StatusByte, 0xF0);
  ASSERT_EQ(events[0]->SysexSize, 3000);
  EXPECT_TRUE(std::equal(small.begin(), small.end(), events[0]->SysexData.get()));

  // Larger than a buffer: it continues in the next ones, as the platform does.
  events.clear();
  const auto large = Sysex(10000);
  Play(large);
  Settle();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0]->SysexSize, 4096);
  EXPECT_EQ(events[1]->SysexSize, 4096);
  EXPECT_EQ(events[2]->SysexSize, 10000 - 8192);
  std::vector<std::uint8_t> joined;
  for (const auto& e : events)
    joined.insert(joined.end(), e->SysexData.get(), e->SysexData.get() + e->SysexSize);
  EXPECT_EQ(joined, large);

  // Every buffer goes back to the driver: many more messages than buffers still arrive.
  events.clear();
  for (int i = 0; i < 40; ++i) {
    Play(Sysex(100));
    Settle();
  }
  EXPECT_EQ(events.size(), 40u);
}

TEST_F(MidiInTest, SysexInPartsKeepsRealTimeBytesApartAndEndsAtAnyStatus) {
  auto input = OpenInput();
  Play({0xF0, 0x7E, 0x01});
  Play({0xF8});  // a clock inside the message, in its own part
  Play({0xFA});
  Play({0x02, 0x03, 0xF7});
  // A message cut short by a new status: its bytes come as they are, then the new message.
  Play({0xF0, 0x43, 0x10});
  Play({0x90, 0x3C, 0x64});
  Settle();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0]->StatusByte, 0xFA);  // the lone clock is dropped, Start is not
  ASSERT_TRUE(events[1]->IsSysex());
  EXPECT_EQ(std::vector<std::uint8_t>(events[1]->SysexData.get(),
                                      events[1]->SysexData.get() + events[1]->SysexSize),
            (std::vector<std::uint8_t>{0xF0, 0x7E, 0x01, 0x02, 0x03, 0xF7}));
  ASSERT_TRUE(events[2]->IsSysex());
  EXPECT_EQ(events[2]->SysexSize, 3);
  EXPECT_EQ(events[3]->StatusByte, 0x90);
}

TEST_F(MidiInTest, WithoutSysexBuffersOnlyShortInputArrives) {
  for (auto setup : {+[](TMidiInput& i) { i.SetSysexBufferCount(0); },
                     +[](TMidiInput& i) { i.SetSysexBufferSize(0); }}) {
    events.clear();
    TMidiInput input(service);
    setup(input);
    input.SetOnMidiInput([&](TMidiInput& sender) {
      while (sender.EventCount() > 0) events.push_back(sender.TakeEvent());
    });
    input.Open();
    input.Start();
    Play(Sysex(20));
    Play({0xB0, 0x07, 0x7F});
    Settle();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]->StatusByte, 0xB0);
    input.Close();
  }
}

TEST_F(MidiInTest, SysexOnlyTakesEffectAtOnceOnAnOpenDevice) {
  auto input = OpenInput();
  Play({0x90, 0x3C, 0x64});
  Settle();
  input->SetSysexOnly(true);
  Play({0x90, 0x3C, 0x00});
  Play(Sysex(8));
  Settle();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]->StatusByte, 0x90);
  EXPECT_EQ(events[1]->StatusByte, 0xF0);
}

// More system exclusive than buffers in one pass of the driver (the UI thread takes nothing
// meanwhile): what finds no buffer waits for one, with what comes after it (real time passes),
// and all of it arrives in order.
TEST_F(MidiInTest, ABurstLargerThanTheBuffersWaitsForThemAndArrivesWhole) {
  TMidiInput input(service);
  input.SetSysexBufferCount(4);
  input.SetSysexBufferSize(8);
  std::vector<std::uint8_t> got;
  input.SetOnMidiInput([&](TMidiInput& sender) {
    while (auto event = sender.TakeEvent()) {
      if (event->IsSysex()) {
        got.insert(got.end(), event->SysexData.get(), event->SysexData.get() + event->SysexSize);
      } else {
        const std::uint8_t bytes[] = {event->StatusByte, event->FirstDataByte};
        got.insert(got.end(), bytes, bytes + pm::ShortMessageLength(event->StatusByte));
      }
    }
  });
  input.Open();
  input.Start();
  std::vector<std::uint8_t> expected;
  for (std::uint8_t i = 0; i < 100; ++i) {
    const std::vector<std::uint8_t> sysex{0xF0, 0x7D, i, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7};
    Play(sysex);
    expected.insert(expected.end(), sysex.begin(), sysex.end());
  }
  Play({0xFC});  // real time passes what waits
  Play({0xC0, 0x05});
  expected.insert(expected.end(), {0xC0, 0x05});
  service->Flush();
  PumpUntil([&] { return got.size() >= expected.size() + 1; });
  // Real time passes what waits for a buffer, not what the buffers took already.
  const auto clock = std::find(got.begin(), got.end(), 0xFC);
  ASSERT_NE(clock, got.end());
  EXPECT_LE(clock - got.begin(), 4 * 8);
  got.erase(clock);
  EXPECT_EQ(got, expected);
}

// A short message without its data bytes, or with more, or a data byte with no message is
// refused, never made whole: counted once per episode, and the good ones around it arrive.
TEST_F(MidiInTest, IncompleteMessagesAreRefusedAndCountedNeverPadded) {
  auto input = OpenInput();
  std::vector<std::uint64_t> episodes;
  input->SetOnMalformed([&](TMidiInput&, std::uint64_t refused) { episodes.push_back(refused); });
  const std::vector<std::vector<std::uint8_t>> refused{
      {0xF1}, {0x90},       {0x90, 0x3C},
      {0xC0}, {0xF2, 0x01}, {0x3C},
      {0xF7}, {0xFA, 0x00}, {0x90, 0x3C, 0x40, 0x40}};
  for (const auto& bytes : refused) Play(bytes);
  Play({0xF1, 0x11});
  Play({0xF6});
  Settle();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]->StatusByte, 0xF1);
  EXPECT_EQ(events[0]->FirstDataByte, 0x11);
  EXPECT_EQ(events[1]->StatusByte, 0xF6);
  EXPECT_EQ(episodes, (std::vector<std::uint64_t>{refused.size()}));
}

// The UI thread is held busy (it handles no message) while the driver floods the input: the
// pump's queue stays at one wake and one overflow report, and the report counts every refusal.
TEST_F(MidiInTest, AFloodWhileTheUiThreadIsBusyKeepsThePumpBoundedAndCountsEveryRefusal) {
  TMidiInput input(service);
  std::vector<std::uint64_t> episodes;
  input.SetOnOverflow([&](TMidiInput&, std::uint64_t refused) { episodes.push_back(refused); });
  input.SetOnMidiInput([](TMidiInput&) {});  // leaves the ring full: the next round overflows
  input.SetCapacity(4);
  input.Open();
  input.Start();
  input.SetCapacity(8);  // not before the next open
  auto& pump = velmora::platform::MessagePump::current();
  const std::size_t before = pump.waitingCount();
  for (const int flood : {3000, 50}) {
    for (int i = 0; i < flood; ++i) Play({0x90, static_cast<std::uint8_t>(i % 128), 0x40});
    service->Flush();
    EXPECT_LE(pump.waitingCount(), before + 2) << flood;
    PumpPending();
  }
  EXPECT_EQ(episodes, (std::vector<std::uint64_t>{3000 - 4, 50}));
  EXPECT_EQ(input.EventCount(), 4);
  EXPECT_EQ(input.TakeEvent()->FirstDataByte, 0);  // the oldest survive

  input.Close();
  input.Open();
  input.Start();
  for (int i = 0; i < 10; ++i) Play({0x90, static_cast<std::uint8_t>(i), 0x40});
  Settle();
  EXPECT_EQ(input.EventCount(), 8);
  EXPECT_EQ(episodes.back(), 2u);
}

TEST_F(MidiInTest, EventsLeftByAHandlerThatFailedAreHandledWithoutWaitingForMore) {
  auto& pump = velmora::platform::MessagePump::current();
  int failures = 0;
  pump.setErrorReport([&](std::exception_ptr) { ++failures; });
  TMidiInput input(service);
  input.SetOnMidiInput([&](TMidiInput& sender) {
    events.push_back(sender.TakeEvent());
    if (events.size() == 1) throw std::runtime_error("handler failed");
    while (sender.EventCount() > 0) events.push_back(sender.TakeEvent());
  });
  input.Open();
  input.Start();
  for (int i = 0; i < 3; ++i) Play({0x90, static_cast<std::uint8_t>(i), 0x40});
  Settle();
  pump.setErrorReport(nullptr);
  EXPECT_EQ(failures, 1);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2]->FirstDataByte, 2);
}

TEST_F(MidiInTest, ClosedComponentGivesNothingAndIgnoresLateNotifications) {
  auto input = OpenInput();
  EXPECT_EQ(service->OpenHandles(), 1);
  Play({0x90, 0x3C, 0x64});
  service->Flush();  // posted, not yet handled
  input->Close();
  PumpPending();
  EXPECT_EQ(raised, 0);
  EXPECT_EQ(input->EventCount(), 0);
  EXPECT_EQ(input->TakeEvent(), nullptr);
  EXPECT_EQ(service->OpenHandles(), 0);
  input->Close();  // closing again does nothing
}

TEST_F(MidiInTest, StartAndStopOnAClosedComponentDoNothing) {
  TMidiInput input(service);
  service->FailNext(Call::InOpen, pm::MMSYSERR_ALLOCATED);
  input.Open();
  ASSERT_EQ(input.Error(), pm::MMSYSERR_ALLOCATED);
  input.Start();
  input.Stop();
  EXPECT_EQ(input.Error(), pm::MMSYSERR_ALLOCATED);
}

TEST_F(MidiInTest, FailedOpenLeavesNothingOpenAndAllowsTheNextOpen) {
  for (Call failing : {Call::InOpen, Call::InPrepareHeader, Call::InAddBuffer}) {
    TMidiInput input(service);
    service->FailNext(failing, pm::MMSYSERR_NOMEM);
    input.Open();  // never raises
    EXPECT_EQ(input.State(), TMidiPortState::mpsClosed);
    EXPECT_EQ(input.Error(), pm::MMSYSERR_NOMEM);
    EXPECT_EQ(service->OpenHandles(), 0) << static_cast<int>(failing);
    EXPECT_EQ(input.EventCount(), 0);
    input.Open();
    EXPECT_EQ(input.State(), TMidiPortState::mpsOpen);
    EXPECT_EQ(input.Error(), 0);
  }
}

TEST_F(MidiInTest, OpenOnAnOpenComponentLeavesItUndisturbed) {
  auto input = OpenInput();
  Play({0x90, 0x3C, 0x64});
  service->Flush();
  input->Open();
  EXPECT_EQ(service->OpenHandles(), 1);
  PumpPending();
  EXPECT_EQ(events.size(), 1u);
}

TEST_F(MidiInTest, FailedCloseRaisesTheDriverTextAndKeepsWhatTheDriverMayUse) {
  auto input = OpenInput();
  service->FailNext(Call::InClose, pm::MIDIERR_NOTREADY);
  EXPECT_EQ(RaisedText([&] { input->Close(); }), pm::ResultText(pm::MIDIERR_NOTREADY));
  EXPECT_EQ(input->State(), TMidiPortState::mpsClosed);
  EXPECT_EQ(input->Error(), pm::MIDIERR_NOTREADY);
  EXPECT_EQ(service->OpenHandles(), 1);  // still open at the platform
  // The next Open shuts the old device first.
  input->Open();
  input->Start();
  EXPECT_EQ(input->State(), TMidiPortState::mpsOpen);
  EXPECT_EQ(service->OpenHandles(), 1);
  Play({0x90, 0x3C, 0x64});
  Settle();
  EXPECT_EQ(events.size(), 1u);
  // And the destructor closes it whatever state says.
  service->FailNext(Call::InReset, pm::MMSYSERR_ERROR);
  EXPECT_THROW(input->Close(), EMidiInputError);
  input.reset();
  EXPECT_EQ(service->OpenHandles(), 0);
}

TEST_F(MidiInTest, ErrorTexts) {
  TMidiInput input(service);
  EXPECT_EQ(input.ErrorText(pm::MMSYSERR_BADDEVICEID), pm::ResultText(pm::MMSYSERR_BADDEVICEID));
  EXPECT_EQ(input.ErrorText(12345), "Specified error number is out of range");
}

TEST_F(MidiInTest, DeviceThatGoesAwayWhileOpenStillCloses) {
  auto input = OpenInput();
  int lost = 0;
  input->SetOnDeviceLost([&](TMidiInput&) { ++lost; });
  Play({0x90, 0x3C, 0x64});
  Settle();
  service->Remove(keyboard);
  ASSERT_TRUE(PumpUntil([&] { return lost == 1; }));
  EXPECT_FALSE(service->Play(keyboard, {0x90, 0x3C, 0x00}));
  input->Stop();
  EXPECT_EQ(RaisedText([&] { input->Start(); }), pm::ResultText(pm::MIDIERR_NODEVICE));
  input->Close();
  EXPECT_EQ(input->State(), TMidiPortState::mpsClosed);
  EXPECT_EQ(service->OpenHandles(), 0);
  EXPECT_EQ(events.size(), 1u);
  PumpPending();
  EXPECT_EQ(lost, 1);
  // What remains is renumbered; the component follows the name.
  input->SetProductName("Pads");
  EXPECT_EQ(input->DeviceID(), 0);
}

}  // namespace
