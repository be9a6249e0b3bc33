#include "core/PacedSerialOutput.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace velmora::core {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = PacedSerialOutput::Clock;

// A port with `room` bytes free: everything Ready gives at `now` goes to `line`.
void Drain(PacedSerialOutput& out, Bytes& line, Clock::time_point now, std::size_t room = 4096) {
  for (auto ready = out.Ready(room, now); !ready.empty(); ready = out.Ready(room, now)) {
    line.insert(line.end(), ready.begin(), ready.end());
    room -= ready.size();
    out.Sent(ready.size(), now);
  }
}

Bytes Dump(std::size_t size) {
  Bytes dump(size, 0x11);
  dump.front() = 0xF0;
  dump.back() = 0xF7;
  return dump;
}

// At 31250 baud a byte takes 320 µs. Looked at when the next byte is due (a little late, as a
// timer is), or only every 2 or 5 ms (a loaded machine's late wake-ups), for a second: the paced
// bytes leave at the pace all the same, the late looks making up the time they missed, and the
// port never holds more than kLead of a line at its nominal rate, kCatchUp more only after late
// looks. A dump that starts on an idle line goes no further than kLead ahead of it.
TEST(PacedSerialOutput, PacedBytesKeepThePaceThroughLateLooksAndStayWithinTheirLeadOfTheLine) {
  const std::chrono::microseconds lateLooks[] = {0us, 2ms, 5ms};  // 0: when due
  for (const std::int32_t baud : {31250, 115200}) {
    for (const auto every : lateLooks) {
      SCOPED_TRACE(std::to_string(baud) + " baud, looks every " + std::to_string(every.count()) +
                   " us");
      PacedSerialOutput out;
      const auto perByte = PacedSerialOutput::ByteTime(baud, 10);
      out.SetByteTime(perByte);
      ASSERT_TRUE(out.Append(Dump(20000).data(), 20000, true, true));
      const Clock::time_point start = Clock::time_point{} + 1h;  // the line idle long before
      Bytes line;
      Clock::time_point lineEnds = start;  // the real line, at its nominal rate
      for (auto now = start; now <= start + 1s;) {
        const std::size_t before = line.size();
        Drain(out, line, now);
        lineEnds =
            std::max(lineEnds, now) + perByte * static_cast<std::int64_t>(line.size() - before);
        const auto held = lineEnds - now;
        // Looks in time leave nothing to make up: only a late one fills the port further.
        const bool late = every > 0us && now > start;
        EXPECT_LE(held,
                  (late ? PacedSerialOutput::kCatchUp : 0us) + PacedSerialOutput::kLead + perByte);
        const auto due = out.NextDue(now);
        ASSERT_TRUE(due.has_value());
        now = every > 0us ? now + every : std::max(*due, now + PacedSerialOutput::kSoonest) + 30us;
      }
      const double expected = baud / 10.0 * 100 / (100 + PacedSerialOutput::kMarginPercent);
      EXPECT_NEAR(static_cast<double>(line.size()), expected, expected * 0.02);
      EXPECT_EQ(out.Waiting(), 20000 - line.size());
    }
  }
}

// Real-time bytes go before the next byte of what waits, in the order they came (Start, Clock,
// Clock, Stop behind a held line stay so); the rest keeps its order, cut anywhere.
TEST(PacedSerialOutput, KeepsTheOrderAndPutsRealTimeFirstInItsOwnOrder) {
  PacedSerialOutput out;
  out.SetByteTime(1ns);  // the pace plays no part here
  const Bytes dump = Dump(10);
  const Bytes note{0x90, 0x3C, 0x64};
  ASSERT_TRUE(out.Append(dump.data(), 4, true, true));
  ASSERT_TRUE(out.Append(note.data(), 3, false, true));
  ASSERT_TRUE(out.Append(dump.data() + 4, 6, true, false));
  Bytes line;
  Drain(out, line, Clock::time_point{}, 1);
  for (const std::uint8_t byte : {0xFA, 0xF8, 0xF8, 0xFC}) ASSERT_TRUE(out.PushRealTime(byte));
  // Two bytes of room at a time: parts may be cut anywhere but never reordered.
  for (int pass = 1; pass < 20; ++pass) Drain(out, line, Clock::time_point{} + pass * 1ms, 2);
  // Byte by byte: MinGW's GCC 12 takes inserts into a one-byte vector for an overflow.
  Bytes expected{dump[0], 0xFA, 0xF8, 0xF8, 0xFC};
  for (std::size_t i = 1; i < 4; ++i) expected.push_back(dump[i]);
  for (const auto byte : note) expected.push_back(byte);
  for (std::size_t i = 4; i < dump.size(); ++i) expected.push_back(dump[i]);
  EXPECT_EQ(line, expected);
  EXPECT_TRUE(out.Empty());
}

TEST(PacedSerialOutput, WaitsForTheLineOnlyForPacedBytesAndTellsWhenTheyMayGo) {
  PacedSerialOutput out;
  out.SetByteTime(320us);
  const Clock::time_point now{};
  out.Wrote(100, now);  // 32 ms of short messages written outside the queue
  EXPECT_EQ(out.NextDue(now), std::nullopt) << "nothing waits";
  const Bytes note{0x80, 0x3C, 0x00};
  ASSERT_TRUE(out.Append(note.data(), 3, false, true));
  EXPECT_EQ(out.Ready(100, now).size(), 3u) << "a short message waits only for room";
  EXPECT_EQ(out.NextDue(now), std::nullopt);
  out.Sent(3, now);
  const Bytes dump = Dump(8);
  ASSERT_TRUE(out.Append(dump.data(), 8, true, true));
  EXPECT_TRUE(out.Ready(100, now).empty());
  const auto due = out.NextDue(now);
  ASSERT_TRUE(due.has_value());
  EXPECT_TRUE(out.Ready(100, *due - 1us).empty());
  EXPECT_EQ(out.Ready(100, *due).size(), 1u);
}

// The limit bounds memory: a megabyte of clock bytes or of notes fits in about a megabyte, and
// what would go beyond is refused whole.
TEST(PacedSerialOutput, BoundsTheMemoryOfWhatWaitsAndRefusesBeyondItWhole) {
  PacedSerialOutput out;
  std::size_t clocks = 0;
  while (out.PushRealTime(0xF8)) ++clocks;
  EXPECT_GT(clocks, PacedSerialOutput::kDefaultLimit * 9 / 10);
  EXPECT_LE(out.Memory(), PacedSerialOutput::kDefaultLimit);
  EXPECT_EQ(out.Clear(), clocks);

  const Bytes note{0x90, 0x3C, 0x64};
  std::size_t notes = 0;
  while (out.Append(note.data(), 3, false, true)) ++notes;
  EXPECT_GT(notes * 3, PacedSerialOutput::kDefaultLimit * 9 / 10);
  EXPECT_LE(out.Memory(), PacedSerialOutput::kDefaultLimit);
  EXPECT_EQ(out.Waiting(), notes * 3) << "nothing of the refused one kept";
  EXPECT_EQ(out.Clear(), notes);
}

// Whatever waits when the port goes is counted message by message: a message begun on the
// line, even behind a clock byte, a dump's parts as one, each real-time byte.
TEST(PacedSerialOutput, CountsWhatItDropsWhereverItWaits) {
  const Bytes dump = Dump(8);
  const Bytes note{0x90, 0x3C, 0x64};
  const struct {
    const char* what;
    std::size_t sentOfDump;  // before the rest waits
    bool clockAhead;
    std::size_t lost;
  } cases[] = {
      {"all waits", 0, false, 2},
      {"the dump begun", 3, false, 2},
      {"the dump begun, a clock ahead", 3, true, 3},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    PacedSerialOutput out;
    out.SetByteTime(1ns);
    ASSERT_TRUE(out.Append(dump.data(), 4, true, true));
    ASSERT_TRUE(out.Append(dump.data() + 4, 4, true, false));
    ASSERT_TRUE(out.Append(note.data(), 3, false, true));
    const auto ready = out.Ready(test.sentOfDump, Clock::time_point{});
    out.Sent(ready.size(), Clock::time_point{});
    if (test.clockAhead) {
      ASSERT_TRUE(out.PushRealTime(0xF8));
    }
    EXPECT_EQ(out.Clear(), test.lost);
    EXPECT_TRUE(out.Empty());
  }

  // The rest of a dump refused: what waits of it goes, what came before stays.
  PacedSerialOutput out;
  out.SetLimit(out.Memory() + 300);
  ASSERT_TRUE(out.Append(note.data(), 3, false, true));
  ASSERT_TRUE(out.Append(dump.data(), 4, true, true));
  ASSERT_FALSE(out.Append(Dump(400).data(), 400, true, false));
  out.DropLastMessage();
  EXPECT_EQ(out.Waiting(), 3u);
  EXPECT_EQ(out.Clear(), 1u);
}

// "Tout arrêter" goes before what waits without splitting the message on the line: a short one
// ends first; a dump begun is cut and ended with F7, its parts still queued dropped.
TEST(PacedSerialOutput, PutsPanicAheadOfWhatWaitsAndNeverInsideAMessage) {
  const Bytes panic{0xB0, 0x78, 0x00};
  const Bytes dump = Dump(8);
  const Bytes notes{0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00};
  struct Case {
    const char* name;
    std::function<void(PacedSerialOutput&)> queue;
    std::size_t sentBefore;  // bytes the line took before the panic
    Bytes line;              // all the line gets
    bool cutLast;
  };
  const auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
      for (const auto byte : part) all.push_back(byte);
    return all;
  };
  const Case cases[] = {
      {"nothing waits", [](PacedSerialOutput&) {}, 0, panic, false},
      {"a dump not begun", [&](PacedSerialOutput& out) { out.Append(dump.data(), 8, true, true); },
       0, cat({panic, dump}), false},
      {"a dump begun, its last part still to come",
       [&](PacedSerialOutput& out) {
         out.Append(dump.data(), 4, true, true);
         out.Append(dump.data() + 4, 2, true, false);
       },
       2, cat({{0xF0, 0x11, 0xF7}, panic}), true},
      {"a dump begun, then notes",
       [&](PacedSerialOutput& out) {
         out.Append(dump.data(), 8, true, true);
         out.Append(notes.data(), 6, false, true);
       },
       3, cat({{0xF0, 0x11, 0x11, 0xF7}, panic, notes}), false},
      {"a note begun", [&](PacedSerialOutput& out) { out.Append(notes.data(), 6, false, true); }, 2,
       cat({{0x90, 0x3C, 0x64}, panic, {0x80, 0x3C, 0x00}}), false},
  };
  for (const Case& c : cases) {
    PacedSerialOutput out;
    out.SetByteTime(1ns);
    c.queue(out);
    Bytes line;
    Drain(out, line, Clock::time_point{}, c.sentBefore);
    ASSERT_EQ(line.size(), c.sentBefore) << c.name;
    out.SetLimit(0);  // the panic goes whatever the bound
    EXPECT_EQ(out.PutAhead(panic.data(), panic.size()), c.cutLast) << c.name;
    for (int pass = 0; pass < 10; ++pass) Drain(out, line, Clock::time_point{} + pass * 1ms, 2);
    EXPECT_EQ(line.size(), c.line.size()) << c.name;
    EXPECT_TRUE(std::equal(line.begin(), line.end(), c.line.begin(), c.line.end())) << c.name;
    EXPECT_TRUE(out.Empty()) << c.name;
    EXPECT_EQ(out.Waiting(), 0u) << c.name;
  }
}

}  // namespace
}  // namespace velmora::core
