// Devices that do not open and paths that lose messages, on the real bridge: the log says why,
// the shapes end red or green, the error lamps light, nothing is raised to the window's report,
// and no note is left on at a MIDI output.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/faults/BridgeRig.h"
#include "platform/midi/MidiService.h"
#include "support/Wait.h"

namespace velmora::faults {
namespace {

namespace fs = std::filesystem;
namespace pm = platform::midi;
using namespace std::chrono_literals;
using core::DeviceList;
using core::kClosedColor;
using core::kOpenColor;
using core::Lamp;
using core::Shape;
using Call = SimulatedMidiService::Call;

std::vector<std::string> Log(const core::WindowModel& window) {
  std::vector<std::string> lines;
  for (int i = 0; i < window.LogCount(); ++i) lines.push_back(window.LogLine(i));
  return lines;
}

int LinesWith(const core::WindowModel& window, const std::string& text) {
  int count = 0;
  for (const auto& line : Log(window)) count += line.find(text) != std::string::npos ? 1 : 0;
  return count;
}

// The messages counted by the loss lines of `cause` now in the log.
std::uint64_t LossCount(const core::WindowModel& window, const std::string& cause) {
  std::uint64_t total = 0;
  for (const auto& line : Log(window)) {
    if (line.rfind(cause + " : ", 0) != 0) continue;
    total += std::stoull(line.substr(cause.size() + 3));
  }
  return total;
}

bool AllOpen(const core::WindowModel& window) {
  return window.ShapeColor(Shape::ComPort) == kOpenColor &&
         window.ShapeColor(Shape::MidiIn) == kOpenColor &&
         window.ShapeColor(Shape::MidiOut) == kOpenColor;
}

// Another program that holds the device: open, with the lock a serial program takes.
class OtherOpener {
 public:
  explicit OtherOpener(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~OtherOpener() {
    if (fd_ >= 0) ::close(fd_);
  }
  OtherOpener(const OtherOpener&) = delete;
  OtherOpener& operator=(const OtherOpener&) = delete;
  bool holds() const { return fd_ >= 0; }

 private:
  int fd_;
};

// For its life the process acts as a user without access to root's devices (root otherwise
// opens a node of mode 000 all the same). Does nothing when the tests do not run as root.
class WithoutPrivilege {
 public:
  static constexpr uid_t kNobody = 65534;
  WithoutPrivilege() : dropped_(::geteuid() == 0 && ::seteuid(kNobody) == 0) {}
  ~WithoutPrivilege() {
    if (dropped_ && ::seteuid(0) != 0) std::abort();  // the rest of the run would be wrong
  }
  WithoutPrivilege(const WithoutPrivilege&) = delete;
  WithoutPrivilege& operator=(const WithoutPrivilege&) = delete;
  bool effective() const { return dropped_ || ::geteuid() != 0; }

 private:
  const bool dropped_;
};

void ExpectOneRs232Line(const BridgeRig& rig, const std::string& reason) {
  const std::string line = "[RS232] - " + (rig.Root() / "dev" / "ttyV0").string() + " : " + reason;
  EXPECT_EQ(LinesWith(rig.window, line), 1) << ::testing::PrintToString(Log(rig.window));
  EXPECT_EQ(rig.window.ShapeColor(Shape::ComPort), kClosedColor);
  EXPECT_FALSE(rig.bridge->ComPortOpened);
  EXPECT_EQ(rig.window.ShapeColor(Shape::MidiOut), kOpenColor) << "start-up went on";
  EXPECT_EQ(rig.Reported(), 0u);
}

TEST(OpenFailures, ABusySerialDeviceIsLoggedAsHeldByAnotherProgram) {
  BridgeRig rig(1, 1);
  OtherOpener other(rig.Pty(1).slavePath());
  ASSERT_TRUE(other.holds());
  rig.Start();  // opens the port three times; one line tells it
  ExpectOneRs232Line(rig, "occupé par un autre programme");
}

TEST(OpenFailures, ASerialDeviceWithoutAccessIsLoggedAsRefusedWithTheRemedy) {
  BridgeRig rig(1, 1);
  // The device node of mode 000, in folders that anyone may cross.
  for (const fs::path& folder : {rig.Root(), rig.Root() / "dev", rig.Root() / "sys"}) {
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  }
  fs::permissions(rig.Pty(1).slavePath(), fs::perms::none);
  {
    WithoutPrivilege user;
    if (!user.effective()) GTEST_SKIP() << "cannot act as a user without access here";
    rig.Start();
  }
  ExpectOneRs232Line(rig, "accès refusé (ajoutez-vous au groupe dialout)");
}

struct MidiFailure {
  const char* name;
  Call call;
  pm::MMRESULT result;
  const char* line;
};

class MidiOpenFailures : public ::testing::TestWithParam<MidiFailure> {};

TEST_P(MidiOpenFailures, AreLoggedWithTheirReasonAndEndRed) {
  const MidiFailure& failure = GetParam();
  BridgeRig rig(1, 1);
  rig.Start();
  ASSERT_TRUE(AllOpen(rig.window));
  rig.midi->FailNext(failure.call, failure.result);
  const bool input = failure.call == Call::InOpen;
  if (input) {
    rig.ChooseMidiIn(0);
  } else {
    rig.ChooseMidiOut(0);
  }
  EXPECT_EQ(LinesWith(rig.window, failure.line), 1) << ::testing::PrintToString(Log(rig.window));
  EXPECT_EQ(rig.window.ShapeColor(input ? Shape::MidiIn : Shape::MidiOut), kClosedColor);
  EXPECT_EQ(rig.Reported(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    , MidiOpenFailures,
    ::testing::Values(MidiFailure{"Busy", Call::InOpen, pm::MMSYSERR_ALLOCATED,
                                  "[MIDI-In] - In 1 : occupé par un autre programme"},
                      MidiFailure{"Gone", Call::OutOpen, pm::MMSYSERR_BADDEVICEID,
                                  "[Midi-Out] - Out 1 : port introuvable"},
                      MidiFailure{"NoService", Call::OutOpen, pm::MMSYSERR_NODRIVER,
                                  "[Midi-Out] - Out 1 : service MIDI indisponible"},
                      MidiFailure{"DriverText", Call::InOpen, pm::MMSYSERR_ERROR,
                                  "[MIDI-In] - In 1 : Unspecified MIDI error."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OpenFailures, AChosenMidiPortThatIsNotFoundIsLoggedAndReportedToTheUser) {
  BridgeRig rig(1, 1);
  rig.Start();
  rig.midi->Remove(rig.inputs[0]);
  EXPECT_THROW(rig.ChooseMidiIn(0), std::exception) << "the user's own choice is answered";
  EXPECT_EQ(LinesWith(rig.window, "[MIDI-In] - In 1 : port introuvable"), 1)
      << ::testing::PrintToString(Log(rig.window));
  EXPECT_EQ(rig.window.ShapeColor(Shape::MidiIn), kClosedColor);
}

TEST(OpenFailures, NoMidiDeviceAtStartIsALogLineAndARedShapeAndStartUpGoesOn) {
  BridgeRig rig(1, 0);
  EXPECT_NO_THROW(rig.Start());
  EXPECT_EQ(LinesWith(rig.window, "[MIDI-In] - aucun port MIDI"), 1);
  EXPECT_EQ(LinesWith(rig.window, "[Midi-Out] - aucun port MIDI"), 1);
  EXPECT_EQ(rig.window.ShapeColor(Shape::MidiIn), kClosedColor);
  EXPECT_EQ(rig.window.ShapeColor(Shape::MidiOut), kClosedColor);
  EXPECT_EQ(rig.window.ShapeColor(Shape::ComPort), kOpenColor);
  EXPECT_EQ(rig.Reported(), 0u);
}

// ---- Losses -------------------------------------------------------------------------------

TEST(Losses, SerialBytesWhileTheMidiOutputIsClosedAreCountedLitAndResetWithoutABox) {
  BridgeRig rig(1, 1);
  rig.Start();
  ASSERT_TRUE(AllOpen(rig.window));
  rig.bridge->CloseMidiOut();
  constexpr int kLost = 12;
  for (int i = 0; i < kLost; ++i) {
    ASSERT_TRUE(rig.WriteFar(1, {0x90, static_cast<std::uint8_t>(0x30 + i), 0x64}));
  }
  const std::string cause = "[Midi-Out] - sortie MIDI fermée";
  ASSERT_TRUE(rig.PumpUntil([&] { return LossCount(rig.window, cause) == kLost; }))
      << ::testing::PrintToString(Log(rig.window));
  EXPECT_TRUE(rig.window.LampOf(Lamp::MidiError).Lit());
  EXPECT_FALSE(rig.window.LampOf(Lamp::ComError).Lit());
  EXPECT_TRUE(rig.ProbeLatency(5s).has_value()) << "the window stopped handling messages";
  EXPECT_EQ(rig.Reported(), 0u);

  rig.form->Button1Click();
  EXPECT_FALSE(rig.window.LampOf(Lamp::MidiError).Lit());

  // Traffic flows again once the output is back.
  rig.ChooseMidiOut(0);
  ASSERT_TRUE(rig.WriteFar(1, {0x91, 0x3C, 0x50}));
  EXPECT_TRUE(rig.PumpUntil(
      [&] { return !rig.MidiSent(1).empty() && rig.MidiSent(1).back().packed == 0x503C91u; }));
  EXPECT_EQ(LossCount(rig.window, cause), static_cast<std::uint64_t>(kLost));
  EXPECT_FALSE(rig.window.LampOf(Lamp::MidiError).Lit());
}

struct Refusal {
  const char* name;
  Call call;
  pm::MMRESULT result;
  Bytes message;
  const char* cause;
};

class OutputRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(OutputRefusals, AreCountedUnderTheirCauseAndTheNextMessageGoesThrough) {
  const Refusal& refusal = GetParam();
  BridgeRig rig(1, 1);
  rig.Start();
  ASSERT_TRUE(AllOpen(rig.window));
  rig.midi->FailNext(refusal.call, refusal.result);
  ASSERT_TRUE(rig.WriteFar(1, refusal.message));
  ASSERT_TRUE(rig.PumpUntil([&] { return LossCount(rig.window, refusal.cause) == 1; }))
      << ::testing::PrintToString(Log(rig.window));
  EXPECT_TRUE(rig.window.LampOf(Lamp::MidiError).Lit());
  EXPECT_EQ(rig.Reported(), 0u);
  ASSERT_TRUE(rig.WriteFar(1, refusal.message));
  EXPECT_TRUE(rig.PumpUntil([&] { return rig.MidiSent(1).size() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(
    , OutputRefusals,
    ::testing::Values(
        Refusal{"TooLong",
                Call::OutLongMsg,
                pm::MIDIERR_TOOLONG,
                {0xF0, 0x01, 0x02, 0xF7},
                "[Midi-Out] - message trop long pour la sortie MIDI"},
        Refusal{"Full",
                Call::OutShortMsg,
                pm::MIDIERR_NOTREADY,
                {0x90, 0x3C, 0x64},
                "[Midi-Out] - sortie MIDI saturée"},
        Refusal{"Other",
                Call::OutShortMsg,
                pm::MMSYSERR_ERROR,
                {0xB0, 0x07, 0x64},
                "[Midi-Out] - message refusé par la sortie MIDI (Unspecified MIDI error.)"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Hanging notes ------------------------------------------------------------------------

enum class Change { SerialPulled, SerialSwitched, MidiOutSwitched };

class HangingNotes : public ::testing::TestWithParam<Change> {};

TEST_P(HangingNotes, TheNoteOffReachesTheOutputThatCarriedTheNoteOn) {
  constexpr std::uint32_t kOn = 0x643C90;   // 90 3C 64
  constexpr std::uint32_t kOff = 0x403C80;  // 80 3C 40
  BridgeRig rig(2, 2);
  rig.Start();
  ASSERT_TRUE(AllOpen(rig.window));
  ASSERT_TRUE(rig.WriteFar(1, {0x90, 0x3C, 0x64, 0x90, 0x3E, 0x64, 0x80, 0x3E, 0x00}));
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.MidiSent(1).size() == 3; }));
  ASSERT_EQ(rig.MidiSent(1).front().packed, kOn);

  switch (GetParam()) {
    case Change::SerialPulled:
      rig.Unplug(1);
      break;
    case Change::SerialSwitched:
      rig.ChooseComPort(1);
      break;
    case Change::MidiOutSwitched:
      rig.ChooseMidiOut(1);
      break;
  }
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.MidiSent(1).size() == 4; }));
  EXPECT_EQ(rig.MidiSent(1).back().packed, kOff) << "only the note still on is switched off";
  testing::PumpPending();  // whatever the change left waiting
  EXPECT_EQ(rig.MidiSent(1).size(), 4u);
  EXPECT_TRUE(rig.MidiSent(2).empty());
  EXPECT_TRUE(rig.bridge->Held().Empty());
}

INSTANTIATE_TEST_SUITE_P(, HangingNotes,
                         ::testing::Values(Change::SerialPulled, Change::SerialSwitched,
                                           Change::MidiOutSwitched),
                         [](const auto& info) {
                           switch (info.param) {
                             case Change::SerialPulled:
                               return std::string("SerialPulled");
                             case Change::SerialSwitched:
                               return std::string("SerialSwitched");
                             case Change::MidiOutSwitched:
                               return std::string("MidiOutSwitched");
                           }
                           return std::string();
                         });

}  // namespace
}  // namespace velmora::faults
