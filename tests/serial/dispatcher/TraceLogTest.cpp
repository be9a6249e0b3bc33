// The byte trace and the dispatch log, dumped byte for byte against expected files.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "serial/Errors.h"
#include "serial/dispatcher/Dispatcher.h"
#include "support/ScriptedDevice.h"
#include "support/Wait.h"

namespace velmora::serial {
namespace {

using testing::ScriptedDevice;
namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string expected(const std::string& name) {
  return readFile(fs::path(VELMORA_SERIAL_TEST_DATA) / name);
}

class TraceLog : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("velmora-trace-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string file(const std::string& name) const { return (dir / name).string(); }

  fs::path dir;
  platform::ManualClock clock;
  ScriptedDevice d{clock};
};

TEST_F(TraceLog, TraceDumpsGroupByKind) {
  for (const auto& [hex, allHex, name] :
       {std::tuple{true, false, "trace_hex.txt"}, std::tuple{false, false, "trace_decimal.txt"},
        std::tuple{true, true, "trace_allhex.txt"}}) {
    ASSERT_EQ(d.InitTrace(100), 0);
    EXPECT_TRUE(d.Tracing());
    d.AddTraceEntry('R', 0x41);
    d.AddTraceEntry('R', 0x0D);
    d.AddTraceEntry('T', 0x20);
    EXPECT_EQ(d.DumpTrace(file(name), hex, allHex), 0);
    EXPECT_FALSE(d.Tracing());
    EXPECT_EQ(readFile(file(name)), expected(name)) << name;
  }
}

TEST_F(TraceLog, AWrappedTraceStartsWithItsOldestEntry) {
  ASSERT_EQ(d.InitTrace(6), 0);
  d.AddTraceEntry('R', 'A');
  d.AddTraceEntry('R', 'B');
  d.AddTraceEntry('T', 5);
  d.AddTraceEntry('T', 13);
  d.AddTraceEntry('T', 200);
  d.AddTraceEntry('X', 'z');
  d.AddTraceEntry('R', 'C');
  d.AddTraceEntry('R', 'D');
  EXPECT_EQ(d.DumpTrace(file("t.trc"), false, false), 0);
  EXPECT_EQ(readFile(file("t.trc")), expected("trace_wrapped.txt"));
}

TEST_F(TraceLog, TraceLinesFoldAtSeventyEightColumns) {
  ASSERT_EQ(d.InitTrace(1000), 0);
  for (int i = 0; i < 80; ++i) d.AddTraceEntry('R', 'a');
  for (int i = 0; i < 20; ++i) d.AddTraceEntry('T', 0);
  EXPECT_EQ(d.DumpTrace(file("t.trc"), true, false), 0);
  EXPECT_EQ(readFile(file("t.trc")), expected("trace_fold.txt"));
}

TEST_F(TraceLog, AppendAddsToTheFileAndEmptyTracesWriteNothing) {
  ASSERT_EQ(d.InitTrace(10), 0);
  EXPECT_EQ(d.DumpTrace(file("t.trc"), true, false), 0);  // empty: no file, trace ended
  EXPECT_FALSE(fs::exists(file("t.trc")));
  EXPECT_EQ(d.DumpTrace(file("t.trc"), true, false), 0);  // no trace at all
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(d.InitTrace(10), 0);
    d.AddTraceEntry('R', 'A');
    EXPECT_EQ(d.AppendTrace(file("t.trc"), true, false), 0);
  }
  EXPECT_EQ(readFile(file("t.trc")), "Receive: \nAReceive: \nA");
  EXPECT_EQ(d.InitTrace(MaxTraceEntries + 1), ecBadArgument);
  EXPECT_FALSE(d.Tracing());
}

TEST_F(TraceLog, TracePauseClearAndAFailingFile) {
  ASSERT_EQ(d.InitTrace(10), 0);
  d.AddTraceEntry('R', 'A');
  d.StopTracing();
  EXPECT_FALSE(d.Tracing());
  d.StartTracing();
  EXPECT_TRUE(d.Tracing());
  d.ClearTrace();
  d.AddTraceEntry('T', 'B');
  EXPECT_LT(d.DumpTrace(file("missing/dir/t.trc"), true, false), 0);
  EXPECT_EQ(d.DumpTrace(file("t.trc"), true, false), 0);  // the failure freed the trace
  EXPECT_FALSE(fs::exists(file("t.trc")));
  d.AbortTrace();
  d.StartTracing();
  EXPECT_FALSE(d.Tracing());  // nothing to resume
}

TEST_F(TraceLog, LogDumpFormatsEveryKindOfEntry) {
  d.SetDeviceName("COM3");
  d.fixedTime.tm_mday = 7;
  d.fixedTime.tm_mon = 11;
  d.fixedTime.tm_year = 126;
  d.fixedTime.tm_hour = 20;
  d.fixedTime.tm_min = 25;
  d.fixedTime.tm_sec = 30;
  d.InitLog(10000);
  EXPECT_TRUE(d.Logging());
  clock.set(std::chrono::milliseconds{1234});
  d.AddLogEntry(dtDispatch, dstReadCom, 3, "ab\r", 3);
  clock.set(std::chrono::milliseconds{1240});
  const std::uint8_t kind = stLine;
  d.AddLogEntry(dtTriggerAlloc, dstStatusTrigger, 1, &kind, 0x1A);
  clock.set(std::chrono::milliseconds{1300});
  d.AddLogEntry(dtTrigger, dstAvail, 0, nullptr, 10);
  clock.set(std::chrono::milliseconds{2000});
  d.AddLogEntry(dtTriggerDataChange, dstTimerTrigger, 11, "Deactivated", 8);
  clock.set(std::chrono::milliseconds{12345});
  d.AddLogEntry(4, 0, 0, nullptr, 0xFFFF);
  std::uint8_t data[36];
  for (int i = 0; i < 36; ++i) data[i] = static_cast<std::uint8_t>(i + 1);
  d.AddLogEntry(dtDispatch, dstWriteCom, sizeof data, data, sizeof data);
  clock.set(std::chrono::milliseconds{100000});
  d.AddLogEntry(dtPacket, dstPacketCollecting, 11, "Packet:Pkt1", 0);

  ASSERT_EQ(d.DumpLog(file("v.log"), true, false), 0);
  EXPECT_FALSE(d.Logging());
  std::string want = expected("log_expected.txt");
  want.replace(want.find("@COMPILER@"), 10, BuildText());
  want.replace(want.find("@OS@"), 4, OperatingSystemText());
  EXPECT_EQ(readFile(file("v.log")), want);
  EXPECT_FALSE(BuildText().empty());
  EXPECT_LE(OperatingSystemText().size(), 80u);
}

TEST_F(TraceLog, FullLogsDropTheirOldestEntries) {
  d.InitLog(64);  // three entries of 20 bytes fit
  for (std::uint32_t value = 1; value <= 5; ++value) d.AddLogEntry(1, 2, 4, "abcd", value);
  d.AddLogEntry(1, 2, 48, std::string(48, 'x').c_str(), 99);  // 64 bytes: never recorded
  ASSERT_EQ(d.DumpLog(file("v.log"), true, false), 0);
  const std::string text = readFile(file("v.log"));
  EXPECT_EQ(text.find("00000002"), std::string::npos);
  EXPECT_NE(text.find("00000003"), std::string::npos);
  EXPECT_NE(text.find("00000005"), std::string::npos);
  EXPECT_EQ(text.find("00000063"), std::string::npos);
}

TEST_F(TraceLog, EmptyAndPausedLogs) {
  d.InitLog(1000);
  EXPECT_EQ(d.DumpLog(file("v.log"), true, false), 0);
  EXPECT_FALSE(fs::exists(file("v.log")));  // an empty log writes no file
  EXPECT_FALSE(d.Logging());

  d.InitLog(1000);
  d.AddLogEntry(1, 1, 0, nullptr, 1);
  d.StopLogging();
  d.AddLogEntry(1, 1, 0, nullptr, 2);  // paused: not recorded
  d.InitLog(1000);                     // empties, and stays paused
  EXPECT_FALSE(d.Logging());
  d.StartLogging();
  d.AddLogEntry(1, 1, 0, nullptr, 3);
  EXPECT_LT(d.DumpLog(file("missing/dir/v.log"), true, false), 0);  // kept, logging off
  EXPECT_FALSE(d.Logging());
  ASSERT_EQ(d.AppendLog(file("v.log"), true, false), 0);
  const std::string text = readFile(file("v.log"));
  EXPECT_EQ(text.find("00000001"), std::string::npos);
  EXPECT_NE(text.find("00000003"), std::string::npos);
}

TEST_F(TraceLog, LogTimesCountFromInitPort) {
  clock.set(std::chrono::milliseconds{50000});
  ASSERT_EQ(d.Open(), 0);
  d.InitLog(1000);
  clock.advance(std::chrono::milliseconds{1234});
  d.AddLogEntry(19, 0, 0, nullptr, 7);
  d.DonePort();
  ASSERT_EQ(d.DumpLog(file("v.log"), true, false), 0);
  EXPECT_NE(readFile(file("v.log")).find("\n0001.234  User"), std::string::npos);
}

TEST_F(TraceLog, DispatcherWritesItsOwnEntriesAndTrace) {
  ASSERT_EQ(d.Open(), 0);
  d.InitLog(10000);
  ASSERT_EQ(d.InitTrace(100), 0);
  const std::int32_t timer = d.AddTimerTrigger();
  d.SetTimerTrigger(timer, 18, true);
  d.RemoveTrigger(timer);
  d.SetTriggerLength(1);
  const std::uint8_t out[] = {'h', 'i'};
  EXPECT_EQ(d.PutBlock(out, 0), 0);  // nothing logged for an empty block
  EXPECT_EQ(d.PutBlock(out, 2), 0);
  d.Line().Feed({'o', 'k'});
  ASSERT_TRUE(testing::PumpUntil([&] { return d.InBuffUsed() == 2; }));
  std::uint8_t in[2];
  EXPECT_EQ(d.GetBlock(in, 2), 2);
  d.DonePort();
  ASSERT_EQ(d.DumpLog(file("v.log"), true, false), 0);
  ASSERT_EQ(d.DumpTrace(file("v.trc"), true, false), 0);
  const std::string log = readFile(file("v.log"));
  for (const char* line :
       {"TrigAllc  Timer         00000008  \n",
        "TrDatChg  Timer         00000008  [12][00][00][00]\n",
        "TrigDisp  Timer         00000008  \n", "TrDatChg  Avail         00000001  \n",
        "Dispatch  WriteCom      00000002  hi\n", "Dispatch  ReadCom       00000002  ok\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(log.find("WriteCom      00000000"), std::string::npos);
  EXPECT_EQ(readFile(file("v.trc")), "Transmit: \nhi\n\nReceive: \nok");
}

}  // namespace
}  // namespace velmora::serial
