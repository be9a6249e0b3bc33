#include "support/ScriptedDevice.h"

#include <algorithm>

#include "platform/serial/SerialNames.h"

namespace velmora::testing {

void ScriptedLine::Feed(const std::vector<std::uint8_t>& bytes) {
  {
    std::lock_guard lock(mutex);
    input.insert(input.end(), bytes.begin(), bytes.end());
    pendingEvents |= serial::EV_RXCHAR;
  }
  changed.notify_all();
}

std::vector<std::uint8_t> ScriptedLine::Written() {
  std::lock_guard lock(mutex);
  return written;
}

ScriptedDispatcher::ScriptedDispatcher(serial::TApdCustomComPort* owner,
                                       std::shared_ptr<ScriptedLine> line,
                                       const platform::Clock& clock)
    : TApdBaseDispatcher(owner, clock), line_(std::move(line)) {}

ScriptedDispatcher::~ScriptedDispatcher() {
  Finalize();
}

std::int32_t ScriptedDispatcher::FlushCom(std::int32_t queue) {
  if (queue == serial::FlushOutput) DiscardOutput();
  return 0;
}

std::int32_t ScriptedDispatcher::GetComError(serial::TComStat& stat) {
  std::lock_guard lock(line_->mutex);
  stat.cbInQue = static_cast<std::uint32_t>(line_->input.size());
  return 0;
}

std::int32_t ScriptedDispatcher::GetComState(serial::TDCB& settings) {
  settings = settings_;
  return 0;
}

std::int32_t ScriptedDispatcher::SetComState(const serial::TDCB& settings) {
  settings_ = settings;
  return 0;
}

std::int32_t ScriptedDispatcher::ReadCom(std::uint8_t* buffer, std::int32_t count) {
  std::lock_guard lock(line_->mutex);
  const auto n = std::min<std::size_t>(static_cast<std::size_t>(count), line_->input.size());
  std::copy_n(line_->input.begin(), n, buffer);
  line_->input.erase(line_->input.begin(), line_->input.begin() + static_cast<std::ptrdiff_t>(n));
  return static_cast<std::int32_t>(n);
}

bool ScriptedDispatcher::WaitComEvent(std::uint32_t& mask) {
  std::unique_lock lock(line_->mutex);
  line_->changed.wait(lock, [&] { return line_->pendingEvents != 0 || line_->cancelWait; });
  mask = line_->pendingEvents;
  line_->pendingEvents = 0;
  line_->cancelWait = false;
  return true;
}

void ScriptedDispatcher::CancelComWait() {
  {
    std::lock_guard lock(line_->mutex);
    line_->cancelWait = true;
  }
  line_->changed.notify_all();
}

std::int32_t ScriptedDispatcher::OpenCom(const std::string& name, std::uint32_t, std::uint32_t) {
  std::lock_guard lock(line_->mutex);
  line_->opened.push_back(name);
  const int number = platform::ComNumberOf(name);
  if (number == 0 || line_->missing.count(number)) {
    lastError_ = 2;
    return -1;
  }
  if (line_->busy.count(number)) {
    lastError_ = 5;
    return -1;
  }
  open_ = true;
  ++line_->openCount;
  return 1;
}

std::int32_t ScriptedDispatcher::CloseCom() {
  if (!open_) return -1;
  open_ = false;
  std::lock_guard lock(line_->mutex);
  --line_->openCount;
  return 0;
}

std::int32_t ScriptedDispatcher::WriteDevice(const std::uint8_t* data, std::uint32_t count) {
  std::lock_guard lock(line_->mutex);
  line_->written.insert(line_->written.end(), data, data + count);
  return static_cast<std::int32_t>(count);
}

serial::TDispatcherFactory ScriptedFactory(std::shared_ptr<ScriptedLine> line,
                                           const platform::Clock& clock) {
  return [line, &clock](serial::TApdCustomComPort* owner) {
    return std::make_unique<ScriptedDispatcher>(owner, line, clock);
  };
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
  auto& pump = platform::MessagePump::current();
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pump.waitMessage(
        std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
    pump.processMessages();
  }
  return true;
}

void PumpFor(std::chrono::milliseconds time) {
  auto& pump = platform::MessagePump::current();
  const auto deadline = std::chrono::steady_clock::now() + time;
  while (std::chrono::steady_clock::now() < deadline) {
    pump.waitMessage(deadline);
    pump.processMessages();
  }
}

}  // namespace velmora::testing
