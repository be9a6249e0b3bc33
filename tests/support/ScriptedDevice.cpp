#include "support/ScriptedDevice.h"

#include <algorithm>
#include <utility>

#include "platform/serial/SerialNames.h"

namespace velmora::testing {

using namespace serial;

void ScriptedLine::Feed(const std::vector<std::uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  input_.insert(input_.end(), bytes.begin(), bytes.end());
  events_ |= EV_RXCHAR;
  changed_.notify_all();
}

void ScriptedLine::SetModemLines(std::uint8_t lines) {
  std::lock_guard lock(mutex_);
  const std::uint8_t changed = lines ^ lines_;
  lines_ = lines;
  if (changed & MS_CTS_ON) events_ |= EV_CTS;
  if (changed & MS_DSR_ON) events_ |= EV_DSR;
  if (changed & MS_RLSD_ON) events_ |= EV_RLSD;
  if ((changed & MS_RING_ON) && !(lines & MS_RING_ON)) events_ |= EV_RING;
  changed_.notify_all();
}

void ScriptedLine::RaiseLineError(std::uint32_t errors) {
  std::lock_guard lock(mutex_);
  errors_ |= errors;
  events_ |= (errors & CE_BREAK) ? EV_BREAK : EV_ERR;
  if (errors & ~CE_BREAK) events_ |= EV_ERR;
  changed_.notify_all();
}

void ScriptedLine::HoldWrites(bool hold) {
  std::lock_guard lock(mutex_);
  holdWrites_ = hold;
  changed_.notify_all();
}

void ScriptedLine::FailOpen(std::int32_t result, std::int32_t lastError) {
  std::lock_guard lock(mutex_);
  openResult_ = result;
  lastError_ = lastError;
}

void ScriptedLine::FailSetComState(std::int32_t result) {
  std::lock_guard lock(mutex_);
  setComStateResult_ = result;
}

void ScriptedLine::FailEscape(std::int32_t result) {
  std::lock_guard lock(mutex_);
  escapeResult_ = result;
}

void ScriptedLine::SetDeviceSettings(const TDCB& settings) {
  std::lock_guard lock(mutex_);
  device_ = settings;
}

std::vector<std::uint8_t> ScriptedLine::Written() {
  std::lock_guard lock(mutex_);
  return written_;
}

std::size_t ScriptedLine::InputLeft() {
  std::lock_guard lock(mutex_);
  return input_.size();
}

int ScriptedLine::SetComStateCalls() {
  std::lock_guard lock(mutex_);
  return setComStateCalls_;
}

std::vector<std::int32_t> ScriptedLine::EscapeCalls() {
  std::lock_guard lock(mutex_);
  return escapes_;
}

std::vector<std::chrono::milliseconds> ScriptedLine::Pauses() {
  std::lock_guard lock(mutex_);
  return pauses_;
}

TDCB ScriptedLine::DeviceSettings() {
  std::lock_guard lock(mutex_);
  return device_;
}

ScriptedDevice::ScriptedDevice(const platform::Clock& clock, TApdCustomComPort* owner,
                               std::shared_ptr<ScriptedLine> line)
    : TApdBaseDispatcher(owner, clock), line_(std::move(line)) {}

ScriptedDevice::~ScriptedDevice() {
  Finalize();
}

bool ScriptedDevice::DeviceOpen() {
  std::lock_guard lock(line_->mutex_);
  return open_;
}

std::int32_t ScriptedDevice::Open(std::uint32_t baud, std::uint32_t inSize, std::uint32_t outSize,
                                  std::uint8_t options) {
  return InitPort("COM1", baud, 0, 8, 1, inSize, outSize, options);
}

std::int32_t ScriptedDevice::EscapeComFunction(std::int32_t function) {
  std::lock_guard lock(line_->mutex_);
  line_->escapes_.push_back(function);
  return line_->escapeResult_;
}

std::int32_t ScriptedDevice::FlushCom(std::int32_t queue) {
  if (queue == FlushOutput) DiscardOutput();
  std::lock_guard lock(line_->mutex_);
  if (queue == FlushInput) line_->input_.clear();
  return 0;
}

std::int32_t ScriptedDevice::GetComError(TComStat& stat) {
  std::lock_guard lock(line_->mutex_);
  const std::uint32_t errors = std::exchange(line_->errors_, 0);
  stat.cbInQue = static_cast<std::uint32_t>(line_->input_.size());
  return static_cast<std::int32_t>(errors);
}

std::int32_t ScriptedDevice::GetComState(TDCB& settings) {
  std::lock_guard lock(line_->mutex_);
  settings = line_->device_;
  return 0;
}

std::int32_t ScriptedDevice::SetComState(const TDCB& settings) {
  std::lock_guard lock(line_->mutex_);
  ++line_->setComStateCalls_;
  if (line_->setComStateResult_ != 0) return line_->setComStateResult_;
  line_->device_ = settings;
  return 0;
}

std::int32_t ScriptedDevice::ReadCom(std::uint8_t* buffer, std::int32_t count) {
  std::lock_guard lock(line_->mutex_);
  auto& input = line_->input_;
  const auto n = std::min<std::size_t>(static_cast<std::size_t>(count), input.size());
  std::copy_n(input.begin(), n, buffer);
  input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(n));
  return static_cast<std::int32_t>(n);
}

bool ScriptedDevice::WaitComEvent(std::uint32_t& mask) {
  std::unique_lock lock(line_->mutex_);
  line_->changed_.wait(lock, [this] { return line_->events_ != 0 || cancelCom_ || !open_; });
  mask = 0;
  if (std::exchange(cancelCom_, false)) return true;
  if (!open_) return false;
  mask = std::exchange(line_->events_, 0);
  return true;
}

void ScriptedDevice::CancelComWait() {
  std::lock_guard lock(line_->mutex_);
  cancelCom_ = true;
  line_->changed_.notify_all();
}

std::int32_t ScriptedDevice::OpenCom(const std::string& name, std::uint32_t, std::uint32_t) {
  std::lock_guard lock(line_->mutex_);
  line_->opened.push_back(name);
  if (line_->openResult_ < 0) return line_->openResult_;
  const int number = platform::ComNumberOf(name);
  if (number == 0 || line_->missing.count(number)) {
    line_->lastError_ = 2;  // no such file
    return -1;
  }
  if (line_->busy.count(number)) {
    line_->lastError_ = 5;  // access denied
    return -1;
  }
  open_ = true;
  ++line_->openCount;
  return line_->openResult_;
}

std::int32_t ScriptedDevice::CloseCom() {
  std::lock_guard lock(line_->mutex_);
  if (!std::exchange(open_, false)) return -1;
  --line_->openCount;
  line_->changed_.notify_all();
  return 0;
}

std::uint8_t ScriptedDevice::GetComModemStatus() {
  std::lock_guard lock(line_->mutex_);
  return line_->lines_;
}

std::int32_t ScriptedDevice::LastErrorCode() const {
  std::lock_guard lock(line_->mutex_);
  return line_->lastError_;
}

std::int32_t ScriptedDevice::WriteDevice(const std::uint8_t* data, std::uint32_t count) {
  std::unique_lock lock(line_->mutex_);
  line_->changed_.wait(lock, [this] { return !line_->holdWrites_ || cancelOut_; });
  if (std::exchange(cancelOut_, false)) return 0;
  line_->written_.insert(line_->written_.end(), data, data + count);
  return static_cast<std::int32_t>(count);
}

void ScriptedDevice::CancelOutputWait() {
  std::lock_guard lock(line_->mutex_);
  cancelOut_ = true;
  line_->changed_.notify_all();
}

void ScriptedDevice::Pause(std::chrono::milliseconds time) {
  std::lock_guard lock(line_->mutex_);
  line_->pauses_.push_back(time);
}

TDispatcherFactory ScriptedFactory(std::shared_ptr<ScriptedLine> line,
                                   const platform::Clock& clock) {
  return [line, &clock](TApdCustomComPort* owner) {
    return std::make_unique<ScriptedDevice>(clock, owner, line);
  };
}

}  // namespace velmora::testing
