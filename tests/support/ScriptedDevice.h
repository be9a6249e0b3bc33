#pragma once

// A dispatcher over a scripted device: the test feeds received bytes, sees what was written,
// and decides which ports exist and which are held by another program. The dispatcher's own
// threads run as they do on a real device.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/MessagePump.h"
#include "serial/ComPort.h"
#include "serial/dispatcher/Dispatcher.h"

namespace velmora::testing {

// What the scripted ports are; shared by every dispatcher that a test's ports create.
// Guarded by its mutex: the test thread and the dispatcher's threads both use it.
struct ScriptedLine {
  std::mutex mutex;
  std::condition_variable changed;
  std::set<int> missing;  // port numbers that do not exist
  std::set<int> busy;     // port numbers that another program holds
  std::deque<std::uint8_t> input;
  std::vector<std::uint8_t> written;
  std::vector<std::string> opened;  // names given to OpenCom
  std::uint32_t pendingEvents = 0;
  bool cancelWait = false;
  int openCount = 0;

  void Feed(const std::vector<std::uint8_t>& bytes);
  std::vector<std::uint8_t> Written();
};

class ScriptedDispatcher final : public serial::TApdBaseDispatcher {
 public:
  ScriptedDispatcher(serial::TApdCustomComPort* owner, std::shared_ptr<ScriptedLine> line,
                     const platform::Clock& clock);
  ~ScriptedDispatcher() override;

 protected:
  std::int32_t EscapeComFunction(std::int32_t) override { return 0; }
  std::int32_t FlushCom(std::int32_t queue) override;
  std::int32_t GetComError(serial::TComStat& stat) override;
  std::int32_t GetComState(serial::TDCB& settings) override;
  std::int32_t ReadCom(std::uint8_t* buffer, std::int32_t count) override;
  std::int32_t SetComState(const serial::TDCB& settings) override;
  bool WaitComEvent(std::uint32_t& mask) override;
  bool SetupCom(std::uint32_t, std::uint32_t) override { return true; }
  std::int32_t OpenCom(const std::string& name, std::uint32_t, std::uint32_t) override;
  std::int32_t CloseCom() override;
  std::uint8_t GetComModemStatus() override { return 0; }
  std::int32_t LastErrorCode() const override { return lastError_; }
  std::int32_t WriteDevice(const std::uint8_t* data, std::uint32_t count) override;
  void CancelComWait() override;
  void CancelOutputWait() override {}
  void Pause(std::chrono::milliseconds) override {}

 private:
  std::shared_ptr<ScriptedLine> line_;
  serial::TDCB settings_;  // general lock (the base calls these slots under it)
  std::int32_t lastError_ = 0;
  bool open_ = false;
};

// A factory for TApdCustomComPort::DispatcherFactory.
serial::TDispatcherFactory ScriptedFactory(
    std::shared_ptr<ScriptedLine> line, const platform::Clock& clock = platform::Clock::system());

// Handles the UI thread's messages until `done` holds or `bound` passed; the result of `done`.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds bound = std::chrono::seconds(10));
// Handles messages for a while (to see that nothing more happens).
void PumpFor(std::chrono::milliseconds time);

}  // namespace velmora::testing
