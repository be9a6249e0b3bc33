#pragma once

// A scripted serial device: a dispatcher whose device slots are driven by the test. The test
// feeds bytes, changes modem lines, raises line errors and breaks, and reads what the output
// thread wrote; every call the dispatcher makes to the device is recorded.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/MessagePump.h"
#include "serial/dispatcher/Dispatcher.h"

namespace velmora::serial::testing {

// Waits until `condition` holds, handling this thread's messages meanwhile; false after the
// bound.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds bound = std::chrono::seconds{20}) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  auto& pump = platform::MessagePump::current();
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (!pump.processOneMessage()) std::this_thread::sleep_for(std::chrono::milliseconds{1});
  }
  return true;
}

class ScriptedDevice;

// Closes a dispatcher when a test leaves, also on a failed assertion, before the objects that
// its handlers use are destroyed. Declare it after them.
class CloseOnExit {
 public:
  explicit CloseOnExit(TApdBaseDispatcher& dispatcher) : dispatcher_(dispatcher) {}
  ~CloseOnExit() { dispatcher_.DonePort(); }
  CloseOnExit(const CloseOnExit&) = delete;
  CloseOnExit& operator=(const CloseOnExit&) = delete;

 private:
  TApdBaseDispatcher& dispatcher_;
};

class ScriptedDevice : public TApdBaseDispatcher {
 public:
  explicit ScriptedDevice(const platform::Clock& clock = platform::Clock::system(),
                          TApdCustomComPort* owner = nullptr)
      : TApdBaseDispatcher(owner, clock) {}
  ~ScriptedDevice() override { Finalize(); }

  // ---- Script (test thread)
  void Feed(const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    mask_ |= EV_RXCHAR;
    changed_.notify_all();
  }
  // New line states (MS_CTS_ON..MS_RLSD_ON); raises the matching events.
  void SetModemLines(std::uint8_t lines) {
    std::lock_guard lock(mutex_);
    const std::uint8_t changed = lines ^ lines_;
    lines_ = lines;
    if (changed & MS_CTS_ON) mask_ |= EV_CTS;
    if (changed & MS_DSR_ON) mask_ |= EV_DSR;
    if (changed & MS_RLSD_ON) mask_ |= EV_RLSD;
    if ((changed & MS_RING_ON) && !(lines & MS_RING_ON)) mask_ |= EV_RING;
    changed_.notify_all();
  }
  // CE_ bits; a break also raises EV_BREAK.
  void RaiseLineError(std::uint32_t errors) {
    std::lock_guard lock(mutex_);
    errors_ |= errors;
    mask_ |= (errors & CE_BREAK) ? EV_BREAK : EV_ERR;
    if (errors & ~CE_BREAK) mask_ |= EV_ERR;
    changed_.notify_all();
  }
  void HoldWrites(bool hold) {
    std::lock_guard lock(mutex_);
    holdWrites_ = hold;
    changed_.notify_all();
  }
  std::vector<std::uint8_t> Written() {
    std::lock_guard lock(mutex_);
    return written_;
  }
  std::size_t InputLeft() {
    std::lock_guard lock(mutex_);
    return input_.size();
  }
  int SetComStateCalls() {
    std::lock_guard lock(mutex_);
    return setComStateCalls_;
  }
  std::vector<std::int32_t> EscapeCalls() {
    std::lock_guard lock(mutex_);
    return escapes_;
  }
  std::vector<std::chrono::milliseconds> Pauses() {
    std::lock_guard lock(mutex_);
    return pauses_;
  }
  TDCB DeviceSettings() {
    std::lock_guard lock(mutex_);
    return device_;
  }
  void SetDeviceSettings(const TDCB& settings) {
    std::lock_guard lock(mutex_);
    device_ = settings;
  }
  void FailOpen(std::int32_t result, std::int32_t lastError) {
    openResult_ = result;
    lastError_ = lastError;
  }
  void FailSetComState(std::int32_t result) {
    std::lock_guard lock(mutex_);
    setComStateResult_ = result;
  }
  void FailEscape(std::int32_t result) {
    std::lock_guard lock(mutex_);
    escapeResult_ = result;
  }
  bool DeviceOpen() {
    std::lock_guard lock(mutex_);
    return open_;
  }
  std::int32_t Open(std::uint32_t baud = 38400, std::uint32_t inSize = 4096,
                    std::uint32_t outSize = 4096,
                    std::uint8_t options = ipAssertDTR | ipAssertRTS) {
    return InitPort("COM1", baud, 0, 8, 1, inSize, outSize, options);
  }

  using TApdBaseDispatcher::DiscardOutput;
  using TApdBaseDispatcher::KillThreads;

  std::tm fixedTime{};

 protected:
  std::int32_t EscapeComFunction(std::int32_t function) override {
    std::lock_guard lock(mutex_);
    escapes_.push_back(function);
    return escapeResult_;
  }
  std::int32_t FlushCom(std::int32_t queue) override {
    if (queue == FlushOutput) DiscardOutput();
    std::lock_guard lock(mutex_);
    if (queue == FlushInput) input_.clear();
    return 0;
  }
  std::int32_t GetComError(TComStat& stat) override {
    std::lock_guard lock(mutex_);
    const std::uint32_t errors = errors_;
    errors_ = 0;
    stat.cbInQue = static_cast<std::uint32_t>(input_.size());
    return static_cast<std::int32_t>(errors);
  }
  std::int32_t GetComState(TDCB& settings) override {
    std::lock_guard lock(mutex_);
    settings = device_;
    return 0;
  }
  std::int32_t ReadCom(std::uint8_t* buffer, std::int32_t count) override {
    std::lock_guard lock(mutex_);
    std::int32_t n = 0;
    while (n < count && !input_.empty()) {
      buffer[n++] = input_.front();
      input_.pop_front();
    }
    return n;
  }
  std::int32_t SetComState(const TDCB& settings) override {
    std::lock_guard lock(mutex_);
    ++setComStateCalls_;
    if (setComStateResult_ != 0) return setComStateResult_;
    device_ = settings;
    return 0;
  }
  bool WaitComEvent(std::uint32_t& mask) override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return mask_ != 0 || cancelCom_ || !open_; });
    if (cancelCom_) {
      cancelCom_ = false;
      mask = 0;
      return true;
    }
    if (!open_) return false;
    mask = mask_;
    mask_ = 0;
    return true;
  }
  bool SetupCom(std::uint32_t, std::uint32_t) override { return true; }
  std::int32_t OpenCom(const std::string&, std::uint32_t, std::uint32_t) override {
    if (openResult_ < 0) return openResult_;
    std::lock_guard lock(mutex_);
    open_ = true;
    return openResult_;
  }
  std::int32_t CloseCom() override {
    std::lock_guard lock(mutex_);
    const bool wasOpen = open_;
    open_ = false;
    changed_.notify_all();
    return wasOpen ? 0 : -1;
  }
  std::uint8_t GetComModemStatus() override {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::int32_t LastErrorCode() const override { return lastError_; }
  std::int32_t WriteDevice(const std::uint8_t* data, std::uint32_t count) override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !holdWrites_ || cancelOut_; });
    if (cancelOut_) {
      cancelOut_ = false;
      return 0;
    }
    written_.insert(written_.end(), data, data + count);
    return static_cast<std::int32_t>(count);
  }
  void CancelComWait() override {
    std::lock_guard lock(mutex_);
    cancelCom_ = true;
    changed_.notify_all();
  }
  void CancelOutputWait() override {
    std::lock_guard lock(mutex_);
    cancelOut_ = true;
    changed_.notify_all();
  }
  void Pause(std::chrono::milliseconds time) override {
    std::lock_guard lock(mutex_);
    pauses_.push_back(time);
  }
  std::tm LocalTime() const override { return fixedTime; }

 private:
  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  std::deque<std::uint8_t> input_;
  std::vector<std::uint8_t> written_;
  std::uint32_t mask_ = 0;
  std::uint32_t errors_ = 0;
  std::uint8_t lines_ = MS_CTS_ON | MS_DSR_ON;
  bool open_ = false;
  bool cancelCom_ = false;
  bool cancelOut_ = false;
  bool holdWrites_ = false;
  TDCB device_{};
  int setComStateCalls_ = 0;
  std::int32_t setComStateResult_ = 0;
  std::int32_t escapeResult_ = 0;
  std::vector<std::int32_t> escapes_;
  std::vector<std::chrono::milliseconds> pauses_;
  std::int32_t openResult_ = 7;  // set before Open, read on the same thread
  std::int32_t lastError_ = 0;
};

}  // namespace velmora::serial::testing
