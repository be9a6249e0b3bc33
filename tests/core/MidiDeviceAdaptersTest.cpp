#include <gtest/gtest.h>

#include "core/MidiDeviceAdapters.h"
#include "platform/midi/SimulatedMidiService.h"
#include "support/Wait.h"

namespace pm = velmora::platform::midi;
using velmora::core::MidiInputDevice;
using velmora::core::RealMidiInput;
using velmora::core::RealMidiOutput;
using velmora::midi::TMidiPortState;

TEST(RealMidiDevices, BridgeOperationsReachTheComponents) {
  auto service = std::make_shared<pm::SimulatedMidiService>();
  const auto in = service->AddInput("In A");
  const auto out = service->AddOutput("Out A");
  RealMidiInput input(service);
  RealMidiOutput output(service);
  EXPECT_EQ(input.DeviceCount(), 1);
  EXPECT_EQ(output.DeviceCount(), 1);
  output.SetProductName("Out A");
  ASSERT_TRUE(output.Open());

  // What arrives on the input goes straight out, as the bridge's handler would do it.
  MidiInputDevice* sender = nullptr;
  input.SetOnMidiInput([&](MidiInputDevice& device) {
    sender = &device;
    while (device.EventCount() > 0) output.SendEvent(*device.TakeEvent());
  });
  input.SetProductName("In A");
  input.Open();
  input.Start();
  EXPECT_EQ(input.State(), TMidiPortState::mpsOpen);
  ASSERT_TRUE(service->PlayShort(in, 0x00403C90));
  ASSERT_TRUE(velmora::testing::PumpUntil([&] { return !service->SentTo(out).empty(); }));
  EXPECT_EQ(sender, &input);
  EXPECT_EQ(service->SentTo(out)[0].packed, 0x00403C90u);

  int completed = 0;
  output.SetOnMidiOutput([&] { ++completed; });
  ASSERT_TRUE(service->Play(in, {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}));
  ASSERT_TRUE(velmora::testing::PumpUntil([&] { return completed == 1; }));
  EXPECT_EQ(service->SentTo(out).back().bytes.size(), 6u);

  // A device that goes away reaches the bridge's handler.
  int lost = 0;
  input.SetOnDeviceLost([&] { ++lost; });
  output.SetOnDeviceLost([&] { lost += 10; });
  service->Remove(in);
  service->Remove(out);
  ASSERT_TRUE(velmora::testing::PumpUntil([&] { return lost == 11; }));

  input.Stop();
  input.Close();
  output.Close();
  EXPECT_EQ(service->OpenHandles(), 0);
}
