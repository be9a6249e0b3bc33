#pragma once

// A scripted serial device: a dispatcher whose device slots the test drives. The test feeds
// received bytes, changes modem lines, raises line errors, holds writes back, decides which
// ports exist and which another program holds, and sees every call the dispatcher made. The
// dispatcher's own threads run as they do on a real device.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "serial/ComPort.h"
#include "serial/dispatcher/Dispatcher.h"

namespace velmora::testing {

// The far side of the scripted device, shared by every dispatcher that a port creates over it.
// The test thread and the dispatchers' threads both use it; its mutex guards everything.
class ScriptedLine {
 public:
  // Received bytes.
  void Feed(const std::vector<std::uint8_t>& bytes);
  // New line states (MS_CTS_ON..MS_RLSD_ON); raises the matching events.
  void SetModemLines(std::uint8_t lines);
  // CE_ bits; a break also raises EV_BREAK.
  void RaiseLineError(std::uint32_t errors);
  // While held, the output thread's writes wait.
  void HoldWrites(bool hold);
  // The next opens fail: OpenCom returns `result` and the last error is `lastError`.
  void FailOpen(std::int32_t result, std::int32_t lastError);
  void FailSetComState(std::int32_t result);
  void FailEscape(std::int32_t result);
  void SetDeviceSettings(const serial::TDCB& settings);

  std::vector<std::uint8_t> Written();
  std::size_t InputLeft();
  int SetComStateCalls();
  std::vector<std::int32_t> EscapeCalls();
  std::vector<std::chrono::milliseconds> Pauses();
  serial::TDCB DeviceSettings();

  // Ports by number: set before opening, read after closing (opens run on the test's thread).
  std::set<int> missing;            // do not exist
  std::set<int> busy;               // another program holds them
  std::vector<std::string> opened;  // names given to OpenCom
  int openCount = 0;                // open now

 private:
  friend class ScriptedDevice;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::uint8_t> input_;
  std::vector<std::uint8_t> written_;
  std::uint32_t events_ = 0;
  std::uint32_t errors_ = 0;
  std::uint8_t lines_ = serial::MS_CTS_ON | serial::MS_DSR_ON;
  bool holdWrites_ = false;
  serial::TDCB device_{};
  int setComStateCalls_ = 0;
  std::int32_t setComStateResult_ = 0;
  std::int32_t escapeResult_ = 0;
  std::vector<std::int32_t> escapes_;
  std::vector<std::chrono::milliseconds> pauses_;
  std::int32_t openResult_ = 7;
  std::int32_t lastError_ = 0;
};

class ScriptedDevice : public serial::TApdBaseDispatcher {
 public:
  explicit ScriptedDevice(const platform::Clock& clock = platform::Clock::system(),
                          serial::TApdCustomComPort* owner = nullptr,
                          std::shared_ptr<ScriptedLine> line = std::make_shared<ScriptedLine>());
  ~ScriptedDevice() override;

  ScriptedLine& Line() { return *line_; }
  bool DeviceOpen();
  // Opens COM1 as a port would.
  std::int32_t Open(std::uint32_t baud = 38400, std::uint32_t inSize = 4096,
                    std::uint32_t outSize = 4096,
                    std::uint8_t options = serial::ipAssertDTR | serial::ipAssertRTS);

  using TApdBaseDispatcher::DiscardOutput;
  using TApdBaseDispatcher::KillThreads;

  std::tm fixedTime{};  // what the trace and log take for now: their files stay comparable

 protected:
  std::int32_t EscapeComFunction(std::int32_t function) override;
  std::int32_t FlushCom(std::int32_t queue) override;
  std::int32_t GetComError(serial::TComStat& stat) override;
  std::int32_t GetComState(serial::TDCB& settings) override;
  std::int32_t ReadCom(std::uint8_t* buffer, std::int32_t count) override;
  std::int32_t SetComState(const serial::TDCB& settings) override;
  bool WaitComEvent(std::uint32_t& mask) override;
  bool SetupCom(std::uint32_t, std::uint32_t) override { return true; }
  std::int32_t OpenCom(const std::string& name, std::uint32_t, std::uint32_t) override;
  std::int32_t CloseCom() override;
  std::uint8_t GetComModemStatus() override;
  std::int32_t LastErrorCode() const override;
  std::int32_t WriteDevice(const std::uint8_t* data, std::uint32_t count) override;
  void CancelComWait() override;
  void CancelOutputWait() override;
  void Pause(std::chrono::milliseconds time) override;
  std::tm LocalTime() const override { return fixedTime; }

 private:
  std::shared_ptr<ScriptedLine> line_;
  // This dispatcher's own state, guarded by the line's mutex.
  bool open_ = false;
  bool cancelCom_ = false;
  bool cancelOut_ = false;
};

// A factory for TApdCustomComPort::DispatcherFactory: every dispatcher over the same line.
serial::TDispatcherFactory ScriptedFactory(
    std::shared_ptr<ScriptedLine> line, const platform::Clock& clock = platform::Clock::system());

// Closes a dispatcher when a test leaves, also on a failed assertion, before the objects that
// its handlers use are destroyed. Declare it after them.
class CloseOnExit {
 public:
  explicit CloseOnExit(serial::TApdBaseDispatcher& dispatcher) : dispatcher_(dispatcher) {}
  ~CloseOnExit() { dispatcher_.DonePort(); }
  CloseOnExit(const CloseOnExit&) = delete;
  CloseOnExit& operator=(const CloseOnExit&) = delete;

 private:
  serial::TApdBaseDispatcher& dispatcher_;
};

}  // namespace velmora::testing
