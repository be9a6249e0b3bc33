// The byte capture: through the real bridge on a pseudo-terminal and the simulated MIDI service,
// and, for what its queue cannot hold, on its own with a writer held up by a full pipe.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/ByteCapture.h"
#include "core/CommandLine.h"
#include "core/faults/BridgeRig.h"
#include "support/Wait.h"

namespace velmora::faults {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> FileLines(const fs::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int LogLinesWith(const core::WindowModel& window, const std::string& text) {
  int count = 0;
  for (int i = 0; i < window.LogCount(); ++i) {
    count += window.LogLine(i).find(text) != std::string::npos ? 1 : 0;
  }
  return count;
}

// A note-on in from the serial side, a note-off out to it; both forwarded before returning.
void PlayBothWays(BridgeRig& rig) {
  const std::size_t sent = rig.MidiSent(1).size();
  const std::size_t received = rig.Far(1).Count();
  ASSERT_TRUE(rig.WriteFar(1, {0x90, 0x3C, 0x64}));
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.MidiSent(1).size() == sent + 1; }));
  ASSERT_TRUE(rig.midi->PlayShort(rig.inputs[0], 0x403C80));
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.Far(1).Count() == received + 3; }));
}

TEST(Capture, TheOptionNamesTheFile) {
  EXPECT_EQ(core::ParseCommandLine({"--capture", "/tmp/a b.txt"}).options.capture, "/tmp/a b.txt");
  EXPECT_EQ(core::ParseCommandLine({"--capture"}).error, "l'option --capture attend une valeur");
}

TEST(Capture, WritesBothDirectionsWithTimeStampsInOrder) {
  BridgeRig rig(1, 1);
  const fs::path file = rig.Root() / "capture.txt";
  rig.bridge->CaptureFile = file.string();  // started with the devices, as --capture does
  rig.Start();
  EXPECT_EQ(LogLinesWith(rig.window, "[Capture] - " + file.string() + " : capture démarrée"), 1);
  PlayBothWays(rig);
  PlayBothWays(rig);
  rig.bridge->StopCapture();  // returns at once: the writer writes the rest by itself
  ASSERT_TRUE(testing::WaitUntil([&] { return FileLines(file).size() == 4; }))
      << "one line per message each way";

  const std::regex form(R"((\d+\.\d{6}) (serial->midi|midi->serial)((?: [0-9A-F]{2})+))");
  std::string serialToMidi;
  std::string midiToSerial;
  std::string order;  // the direction of each block, s or m
  double last = 0;
  for (const auto& line : FileLines(file)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, form)) << line;
    const double stamp = std::stod(match[1]);
    EXPECT_GE(stamp, last) << line;
    last = stamp;
    const bool fromSerial = match[2] == "serial->midi";
    (fromSerial ? serialToMidi : midiToSerial) += match[3];
    if (order.empty() || order.back() != (fromSerial ? 's' : 'm')) order += fromSerial ? 's' : 'm';
  }
  EXPECT_EQ(serialToMidi, " 90 3C 64 90 3C 64");
  EXPECT_EQ(midiToSerial, " 80 3C 40 80 3C 40");
  EXPECT_EQ(order, "smsm");
  EXPECT_EQ(LogLinesWith(rig.window, "[Capture] - " + file.string() + " : capture arrêtée"), 1);
}

TEST(Capture, AFileThatCannotBeOpenedIsOneLogLineAndForwardingGoesOn) {
  BridgeRig rig(1, 1);
  rig.Start();
  const fs::path file = rig.Root() / "no-such-folder" / "capture.txt";
  rig.bridge->StartCapture(file.string());
  ASSERT_TRUE(rig.PumpUntil([&] { return LogLinesWith(rig.window, "[Capture]") == 1; }));
  EXPECT_EQ(LogLinesWith(rig.window, "[Capture] - " + file.string() +
                                         " : impossible d'ouvrir le fichier (No such file or "
                                         "directory)"),
            1);
  EXPECT_EQ(rig.bridge->CapturePath(), "");
  PlayBothWays(rig);
  rig.bridge->StopCapture();
  EXPECT_EQ(LogLinesWith(rig.window, "[Capture]"), 1) << "it had stopped already";
  EXPECT_EQ(rig.MidiSent(1).back().packed, 0x643C90u);
  EXPECT_EQ(rig.Far(1).Received(), (Bytes{0x80, 0x3C, 0x40}));
}

TEST(Capture, StopsAtItsSizeLimitWithOneLogLine) {
  BridgeRig rig(1, 1);
  rig.Start();
  const fs::path file = rig.Root() / "capture.txt";
  rig.bridge->CaptureLimit = 200;
  rig.bridge->StartCapture(file.string());
  const std::string limitLine =
      "[Capture] - " + file.string() + " : taille limite atteinte (200 octets), capture arrêtée";
  // Well over 200 bytes; no further, so that the log (of 40 lines) still shows the limit's.
  for (int i = 0; i < 10 && LogLinesWith(rig.window, limitLine) == 0; ++i) {
    ASSERT_NO_FATAL_FAILURE(PlayBothWays(rig));
  }
  ASSERT_TRUE(rig.PumpUntil([&] { return LogLinesWith(rig.window, limitLine) == 1; }));
  const auto size = fs::file_size(file);
  EXPECT_LE(size, 200u);
  EXPECT_GT(size, 100u) << "it stopped at the first line that did not fit";
  PlayBothWays(rig);
  PlayBothWays(rig);
  EXPECT_EQ(rig.bridge->CapturePath(), "");
  EXPECT_EQ(rig.bridge->CaptureStopped(), limitLine);
  rig.bridge->StopCapture();
  EXPECT_EQ(fs::file_size(file), size);
  EXPECT_EQ(LogLinesWith(rig.window, limitLine), 1);
}

// Every kind, each way, as the wire carried it: MIDI -> serial as the port took the bytes (real
// time ahead of what waits), serial -> MIDI one line per message as it was read.
TEST(Capture, HoldsSysexAndRealTimeInTheWiresOrder) {
  BridgeRig rig(1, 1);
  rig.bridge->SetMessageChoice({core::MessageKinds::All()});
  const fs::path file = rig.Root() / "capture.txt";
  rig.bridge->CaptureFile = file.string();
  rig.Start();
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.bridge->ComPortOpened && rig.bridge->MidiInOpen(); }));
  rig.Far(1).SetRate(3125);  // a 31250-baud line: what waits, waits in the bridge
  Bytes dump(2000, 0x11);
  dump.front() = 0xF0;
  dump.back() = 0xF7;
  ASSERT_TRUE(rig.midi->Play(rig.inputs[0], dump));
  for (const std::uint32_t packed : {0xF8u, 0xFAu, 0x12F1u, 0x643C90u, 0xFCu, 0xFEu, 0xFFu})
    ASSERT_TRUE(rig.midi->PlayShort(rig.inputs[0], packed));
  ASSERT_TRUE(rig.midi->Play(rig.inputs[0], {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));
  ASSERT_TRUE(rig.WriteFar(1, {0xF0, 0x01, 0x02, 0xF7, 0xF8, 0x93, 0x3C, 0x64, 0x3C, 0x00}));
  const std::size_t total = dump.size() + 7 + 3 + 6;
  ASSERT_TRUE(rig.PumpUntil([&] { return rig.Far(1).Count() == total; }));
  const Bytes wire = rig.Far(1).Received();
  ASSERT_LT(std::find(wire.begin(), wire.end(), 0xF8) - wire.begin(),
            static_cast<std::ptrdiff_t>(dump.size()))
      << "the clock went between the dump's bytes";

  Bytes captured;
  std::vector<std::string> fromSerial;
  ASSERT_TRUE(rig.PumpUntil([&] {
    captured.clear();
    fromSerial.clear();
    for (const auto& line : FileLines(file)) {
      const auto direction = line.find(' ') + 1;
      std::istringstream bytes(line.substr(line.find(' ', direction) + 1));
      if (line.compare(direction, 12, "serial->midi") == 0) {
        fromSerial.push_back(line.substr(direction + 13));
        continue;
      }
      for (unsigned byte = 0; bytes >> std::hex >> byte;)
        captured.push_back(static_cast<std::uint8_t>(byte));
    }
    return captured.size() >= wire.size() && fromSerial.size() >= 4;
  }));
  EXPECT_EQ(captured, wire);
  EXPECT_EQ(fromSerial, (std::vector<std::string>{"F0 01 02 F7", "F8", "93 3C 64", "3C 00"}));
}

// A FIFO that nobody reads holds the capture's writer, never forwarding, starting or stopping.
TEST(Capture, AFifoWithoutAReaderHoldsNothing) {
  BridgeRig rig(1, 1);
  rig.Start();
  const fs::path fifo = rig.Root() / "capture.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (int round = 0; round < 3; ++round) {
    rig.bridge->StartCapture(fifo.string());
    EXPECT_EQ(rig.bridge->CapturePath(), fifo.string());
    PlayBothWays(rig);
    rig.bridge->StopCapture();
    PlayBothWays(rig);
  }
  EXPECT_EQ(LogLinesWith(rig.window, "capture démarrée"), 0) << "no file was open";
  EXPECT_EQ(LogLinesWith(rig.window, "[Capture] - " + fifo.string() + " : capture arrêtée"), 3);
  // A reader lets the writers open, write what they held and close; a writer of ours keeps the
  // pipe from ending between theirs.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const int keeper = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(keeper, 0);
  std::string text;
  const auto held = [&] {
    char buffer[4096];
    for (ssize_t got; (got = ::read(reader, buffer, sizeof buffer)) > 0;) text.append(buffer, got);
    std::size_t count = 0;
    for (auto at = text.find("midi->serial 80 3C 40"); at != std::string::npos;
         at = text.find("midi->serial 80 3C 40", at + 1))
      ++count;
    return count == 3;
  };
  EXPECT_TRUE(testing::WaitUntil(held)) << text;
  ::close(keeper);
  ::close(reader);
}

// The writer writes to a pipe that no one reads, so the queue fills: what it refused is told in
// the file, and with what it held makes every block recorded.
TEST(Capture, WhatTheQueueCannotHoldIsCountedInTheFile) {
  testing::TempDir dir;
  const fs::path fifo = dir.path() / "capture.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  constexpr std::size_t kBlocks = 3000;
  constexpr std::size_t kBlockBytes = 1000;  // ~3000 characters a line: the ring holds ~1000
  std::string text;
  std::thread drain;
  {
    bool open = false;
    core::ByteCapture capture(fifo.string(), core::ByteCapture::kDefaultLimit,
                              [&](const std::string&) { open = true; });
    ASSERT_TRUE(testing::PumpUntil([&] { return open; })) << "the writer holds the pipe";
    const std::vector<std::uint8_t> block(kBlockBytes, 0x5A);
    for (std::size_t i = 0; i < kBlocks; ++i) {
      capture.Record(core::CaptureDirection::MidiToSerial, block.data(), block.size());
    }
    ::fcntl(reader, F_SETFL, 0);
    drain = std::thread([&] {
      char buffer[65536];
      for (ssize_t got; (got = ::read(reader, buffer, sizeof buffer)) > 0;)
        text.append(buffer, got);
    });
  }  // the writer writes what waits, then closes the pipe
  drain.join();
  ::close(reader);

  std::size_t written = 0;
  std::size_t dropped = 0;
  std::size_t droppedBytes = 0;
  std::istringstream lines(text);
  const std::regex droppedForm(R"(\d+\.\d{6} dropped (\d+) blocks, (\d+) bytes: queue full)");
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_match(line, match, droppedForm)) {
      dropped += std::stoul(match[1]);
      droppedBytes += std::stoul(match[2]);
    } else {
      const auto direction = line.find(" midi->serial ");
      ASSERT_NE(direction, std::string::npos) << line.substr(0, 40);
      EXPECT_EQ(line.size() - direction, 13 + 3 * kBlockBytes) << line.substr(0, 40);
      ++written;
    }
  }
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(written + dropped, kBlocks);
  EXPECT_EQ(droppedBytes, dropped * kBlockBytes);
}

}  // namespace
}  // namespace velmora::faults
