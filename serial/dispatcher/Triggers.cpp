// Timer and status triggers, their checks on the dispatch thread, and snapshots.

#include <algorithm>
#include <cstring>

#include "serial/Errors.h"
#include "serial/dispatcher/Dispatcher.h"

namespace velmora::serial {

namespace {

constexpr std::int32_t kHandleCounterLimit = 4096;
constexpr std::int32_t kReusedHandleLimit = 4096;

// Users name line errors by their own bits; the device reports CE_ bits.
std::uint16_t translateLineErrorBits(std::uint16_t value) {
  std::uint16_t bits = 0;
  if (value & lsOverrun) bits |= CE_OVERRUN;
  if (value & lsParity) bits |= CE_RXPARITY;
  if (value & lsFraming) bits |= CE_FRAME;
  if (value & lsBreak) bits |= CE_BREAK;
  return bits;
}

}  // namespace

// Caller holds the general lock. 0 when no handle is left.
std::int32_t TApdBaseDispatcher::AllocateHandle() {
  if (handleCounter_ < kHandleCounterLimit) return handleCounter_++ * 8;
  for (std::int32_t handle = 8; handle <= kReusedHandleLimit; handle += 8) {
    const bool used = std::any_of(timerTriggers_.begin(), timerTriggers_.end(),
                                  [&](const auto& t) { return t.Handle == handle; }) ||
                      std::any_of(statusTriggers_.begin(), statusTriggers_.end(),
                                  [&](const auto& t) { return (t.Handle & ~7) == handle; }) ||
                      std::any_of(dataTriggers_.begin(), dataTriggers_.end(),
                                  [&](const auto& t) { return t.Handle == handle; });
    if (!used) return handle;
  }
  return 0;
}

std::int32_t TApdBaseDispatcher::AddTimerTrigger() {
  std::lock_guard lock(generalLock_);
  const std::int32_t handle = AllocateHandle();
  if (handle == 0) return ecNoMoreTriggers;
  timerTriggers_.push_back({handle, {}, 0, false});
  AddLogEntryLocked(dtTriggerAlloc, dstTimerTrigger, 0, nullptr,
                    static_cast<std::uint32_t>(handle));
  return handle;
}

std::int32_t TApdBaseDispatcher::AddStatusTrigger(std::int32_t kind) {
  if (kind < 0 || kind > stOutSent) return ecBadArgument;
  std::lock_guard lock(generalLock_);
  const std::int32_t handle = AllocateHandle() | kind;
  if ((handle & ~7) == 0) return ecNoMoreTriggers;
  statusTriggers_.push_back({handle, kind, 0, false, false});
  RecountModemWatchLocked();
  const auto kindByte = static_cast<std::uint8_t>(kind);
  AddLogEntryLocked(dtTriggerAlloc, dstStatusTrigger, 1, &kindByte,
                    static_cast<std::uint32_t>(handle));
  return handle;
}

std::int32_t TApdBaseDispatcher::RemoveTrigger(std::int32_t handle) {
  if (handle == 1) {
    lengthTrigger_ = 0;
    return ecOK;
  }
  std::lock_guard lock(generalLock_);
  return FindTrigger(handle, true, nullptr);
}

// Caller holds the general lock.
void TApdBaseDispatcher::RecountModemWatchLocked() {
  const bool wanted = std::any_of(statusTriggers_.begin(), statusTriggers_.end(),
                                  [](const auto& t) { return t.Kind == stModem; });
  if (modemWatchWanted_.exchange(wanted) != wanted) ModemWatchChanged();
}

// Caller holds the general lock. 0 when found (and removed with `remove`), else
// ecBadTriggerHandle. `kind` receives 0 timer, 1 status, 2 data.
std::int32_t TApdBaseDispatcher::FindTrigger(std::int32_t handle, bool remove, int* kind) {
  if (handle == 0 || handle == 1) return ecBadTriggerHandle;
  const auto value = static_cast<std::uint32_t>(handle);
  if (auto t = std::find_if(timerTriggers_.begin(), timerTriggers_.end(),
                            [&](const auto& r) { return r.Handle == handle; });
      t != timerTriggers_.end()) {
    if (kind) *kind = 0;
    if (remove) {
      timerTriggers_.erase(t);
      AddLogEntryLocked(dtTriggerDispose, dstTimer, 0, nullptr, value);
    }
    return ecOK;
  }
  if (auto s = std::find_if(statusTriggers_.begin(), statusTriggers_.end(),
                            [&](const auto& r) { return r.Handle == handle; });
      s != statusTriggers_.end()) {
    if (kind) *kind = 1;
    if (remove) {
      statusTriggers_.erase(s);
      RecountModemWatchLocked();
      const auto kindByte = static_cast<std::uint8_t>(handle & 7);
      AddLogEntryLocked(dtTriggerDispose, dstStatusTrigger, 1, &kindByte, value);
    }
    return ecOK;
  }
  if (auto d = std::find_if(dataTriggers_.begin(), dataTriggers_.end(),
                            [&](const auto& r) { return (r.Handle & ~7) == handle; });
      d != dataTriggers_.end()) {
    if (kind) *kind = 2;
    if (remove) {
      dataTriggers_.erase(d);
      AddLogEntryLocked(dtTriggerDispose, dstData, 0, nullptr, value);
    }
    return ecOK;
  }
  return ecBadTriggerHandle;
}

std::int32_t TApdBaseDispatcher::SetTimerTrigger(std::int32_t handle, std::int32_t ticks,
                                                 bool activate) {
  std::lock_guard lock(generalLock_);
  const auto record = std::find_if(timerTriggers_.begin(), timerTriggers_.end(),
                                   [&](const auto& r) { return r.Handle == handle; });
  if (handle == 0 || handle == 1 || record == timerTriggers_.end()) return ecBadTriggerHandle;
  if (activate) {
    if (ticks != 0) record->Ticks = ticks;
    NewTimer(record->Timer, static_cast<std::uint32_t>(std::max(record->Ticks, 0)));
    AddLogEntryLocked(dtTriggerDataChange, dstTimerTrigger, sizeof ticks, &ticks,
                      static_cast<std::uint32_t>(handle));
  } else {
    static constexpr char kDeactivated[] = "Deactivated";
    AddLogEntryLocked(dtTriggerDataChange, dstTimerTrigger, 11, kDeactivated,
                      static_cast<std::uint32_t>(handle));
  }
  record->Active = activate;
  if (activate) WakeLongSleep();
  return ecOK;
}

std::int32_t TApdBaseDispatcher::SetStatusTrigger(std::int32_t handle, std::uint16_t value,
                                                  bool activate) {
  std::lock_guard lock(generalLock_);
  const auto record = std::find_if(statusTriggers_.begin(), statusTriggers_.end(),
                                   [&](const auto& r) { return r.Handle == handle; });
  if (handle == 0 || handle == 1 || record == statusTriggers_.end()) return ecBadTriggerHandle;
  if (activate) {
    switch (record->Kind) {
      case stModem: {
        const std::uint16_t mask = value & 0xFF;
        record->Value = static_cast<std::uint16_t>(mask * 256 + (mask & modemStatus_));
        break;
      }
      case stLine:
        record->Value = translateLineErrorBits(value);
        break;
      case stOutBuffFree:
      case stOutBuffUsed:
        record->Value = value;
        break;
      default:
        break;
    }
    std::uint8_t data[4];
    std::memcpy(data, &record->Value, 2);
    data[2] = record->Armed ? 1 : 0;
    data[3] = record->Fired ? 1 : 0;
    AddLogEntryLocked(dtTriggerDataChange, dstStatusTrigger, sizeof data, data,
                      static_cast<std::uint32_t>(handle));
  }
  record->Armed = activate;
  if (activate) WakeLongSleep();
  return ecOK;
}

// Dispatch thread. Each record is examined under the general lock and the handlers are told
// without it, so the main thread may add, set or remove triggers meanwhile.
bool TApdBaseDispatcher::CheckStatusTriggers() {
  for (std::size_t i = 0;; ++i) {
    std::int32_t handle = 0;
    std::uint32_t data = 0;
    {
      std::lock_guard lock(generalLock_);
      if (i >= statusTriggers_.size()) return false;
      TStatusTrigger& record = statusTriggers_[i];
      if (!record.Armed || record.Fired) continue;
      bool hit = false;
      switch (record.Kind) {
        case stModem:
          hit = (((record.Value & 0xFF) ^ modemStatus_) & (record.Value >> 8)) != 0;
          break;
        case stLine: {
          const std::uint32_t errors = lineErrors_.load();
          hit = (record.Value & errors) != 0;
          if (hit) record.Value = static_cast<std::uint16_t>(errors & 0xFFFF);
          break;
        }
        case stOutBuffFree:
          data = OutBuffFree();
          hit = data >= record.Value;
          break;
        case stOutBuffUsed:
          data = OutBuffUsed();
          hit = data <= record.Value;
          break;
        case stOutSent:
          hit = outputSent_.exchange(false);
          break;
        default:
          break;
      }
      if (!hit) continue;
      record.Armed = false;
      record.Fired = true;
      statusHit_ = true;
      handle = record.Handle;
      AddLogEntryLocked(dtTrigger, dstStatus, 0, nullptr, static_cast<std::uint32_t>(handle));
    }
    return NotifyHandlers(apw_TriggerStatus, static_cast<std::uint32_t>(handle),
                          static_cast<std::uint16_t>(data));
  }
}

bool TApdBaseDispatcher::CheckTimerTriggers() {
  for (std::size_t i = 0;; ++i) {
    std::int32_t handle = 0;
    {
      std::lock_guard lock(generalLock_);
      if (i >= timerTriggers_.size()) return false;
      TTimerTrigger& record = timerTriggers_[i];
      if (!record.Active || !TimerExpired(record.Timer)) continue;
      record.Active = false;
      handle = record.Handle;
      AddLogEntryLocked(dtTrigger, dstTimer, 0, nullptr, static_cast<std::uint32_t>(handle));
    }
    return NotifyHandlers(apw_TriggerTimer, static_cast<std::uint32_t>(handle), 0);
  }
}

void TApdBaseDispatcher::ClearPassMarks() {
  std::lock_guard lock(generalLock_);
  for (auto& record : statusTriggers_) record.Fired = false;
  statusHit_ = false;
}

void TApdBaseDispatcher::ClearAllTriggers() {
  std::lock_guard lock(generalLock_);
  lengthTrigger_ = 0;
  timerTriggers_.clear();
  dataTriggers_.clear();
  statusTriggers_.clear();
  handleCounter_ = 1;
}

void TApdBaseDispatcher::SaveTriggers(TTriggerSnapshot& snapshot) {
  FreeTriggerSnapshot(snapshot);
  std::lock_guard lock(generalLock_);
  snapshot.LengthTrigger = lengthTrigger_;
  snapshot.Timers = timerTriggers_;
  snapshot.Data = dataTriggers_;
  snapshot.Status = statusTriggers_;
}

void TApdBaseDispatcher::RestoreTriggers(const TTriggerSnapshot& snapshot) {
  std::lock_guard lock(generalLock_);
  lengthTrigger_ = snapshot.LengthTrigger;
  timerTriggers_.clear();
  dataTriggers_.clear();
  statusTriggers_.clear();
  if (snapshot.Timers) timerTriggers_ = *snapshot.Timers;
  if (snapshot.Data) dataTriggers_ = *snapshot.Data;
  if (snapshot.Status) statusTriggers_ = *snapshot.Status;
}

void TApdBaseDispatcher::FreeTriggerSnapshot(TTriggerSnapshot& snapshot) {
  snapshot.Timers.reset();
  snapshot.Data.reset();
  snapshot.Status.reset();
}

}  // namespace velmora::serial
