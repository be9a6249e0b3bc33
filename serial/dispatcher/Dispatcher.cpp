#include "serial/dispatcher/Dispatcher.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "serial/Errors.h"

namespace velmora::serial {

namespace {

constexpr std::uint32_t kSyncMessage = platform::WM_USER + 1;
constexpr auto kWindowSendTimeout = std::chrono::milliseconds{3000};

struct Registry {
  std::recursive_mutex lock;                 // the dispatcher-list lock
  std::vector<TApdBaseDispatcher*> entries;  // index = handle; null when destroyed
};

Registry& registry() {
  static Registry instance;
  return instance;
}

constexpr std::uint32_t kReportMessage = platform::WM_USER + 2;

}  // namespace

// ---- Registry ----------------------------------------------------------------------------

std::unique_lock<std::recursive_mutex> DispatcherList::Lock() {
  return std::unique_lock(registry().lock);
}

TApdBaseDispatcher* DispatcherList::At(std::int32_t handle) {
  auto& entries = registry().entries;
  if (handle < 0 || static_cast<std::size_t>(handle) >= entries.size()) return nullptr;
  return entries[static_cast<std::size_t>(handle)];
}

std::size_t DispatcherList::Count() {
  return registry().entries.size();
}

// ---- Construction and destruction --------------------------------------------------------

TApdBaseDispatcher::TApdBaseDispatcher(TApdCustomComPort* owner, const platform::Clock& clock)
    : owner_(owner), clock_(clock), mainThread_(std::this_thread::get_id()) {
  syncWindow_ = std::make_unique<platform::MessageWindow>([this](const platform::Message& message) {
    if (message.id == kSyncMessage) {
      (*reinterpret_cast<const std::function<void()>*>(message.wParam))();
    } else if (message.id == kReportMessage) {
      std::exception_ptr failure;
      {
        std::lock_guard lock(failuresLock_);
        if (failures_.empty()) return std::intptr_t{0};
        failure = failures_.front();
        failures_.erase(failures_.begin());
      }
      std::rethrow_exception(failure);  // the pump hands it to its error report
    }
    return std::intptr_t{0};
  });
  auto lock = DispatcherList::Lock();
  auto& entries = registry().entries;
  const auto free = std::find(entries.begin(), entries.end(), nullptr);
  if (free != entries.end()) {
    *free = this;
    handle_ = static_cast<std::int32_t>(free - entries.begin());
  } else {
    handle_ = static_cast<std::int32_t>(entries.size());
    entries.push_back(this);
  }
}

TApdBaseDispatcher::~TApdBaseDispatcher() {
  Finalize();
  auto lock = DispatcherList::Lock();
  auto& entries = registry().entries;
  entries[static_cast<std::size_t>(handle_)] = nullptr;
  while (!entries.empty() && entries.back() == nullptr) entries.pop_back();
}

void TApdBaseDispatcher::ReportFailure() noexcept {
  try {
    std::lock_guard lock(failuresLock_);
    failures_.push_back(std::current_exception());
  } catch (...) {
    std::fputs("velmora: dispatcher failure (not reported: no memory)\n", stderr);
    return;
  }
  if (!syncWindow_->post(kReportMessage)) {
    std::fputs("velmora: dispatcher failure after its window closed\n", stderr);
  }
}

bool TApdBaseDispatcher::Synchronize(const std::function<void()>& method) {
  if (std::this_thread::get_id() == mainThread_) {
    method();
    return true;
  }
  return syncWindow_->ref()
      .send(kSyncMessage, reinterpret_cast<std::uintptr_t>(&method))
      .has_value();
}

// ---- Opening and closing -----------------------------------------------------------------

std::int32_t TApdBaseDispatcher::InitPort(const std::string& name, std::uint32_t baud,
                                          std::uint8_t parity, std::uint8_t dataBits,
                                          std::uint8_t stopBits, std::uint32_t inSize,
                                          std::uint32_t outSize, std::uint8_t options) {
  ringSeen_ = false;
  inNotification_ = false;
  closePending_ = false;
  {
    std::lock_guard lock(generalLock_);
    handlerRemovalPending_ = false;
  }
  comEventReady_.reset();
  dispatchDone_.reset();
  threadAck_.reset();
  outputWake_.reset();
  flushAck_.reset();
  outputFlushRequest_ = false;

  const std::int32_t handle = OpenCom(name, inSize, outSize);
  if (handle < 0) {
    std::int32_t result = ecOutOfMemory;
    if (handle != ecOutOfMemory) {
      // A failure without a reason must still read as a failure.
      const std::int32_t error = LastErrorCode();
      result = error > 0 ? -error : ecCommNotOpen;
    }
    DonePort();
    return result;
  }
  comHandle_ = handle;

  if (const std::int32_t result = SetCommBuffers(inSize, outSize); result != 0) {
    DonePort();
    return result;
  }

  {
    std::lock_guard lock(bufferLock_);
    dispBuffer_.assign(DispatchBufferSize, 0);
    dispHead_ = dispTail_ = 0;
    dispatchFull_ = false;
    inAvailNotification_ = false;
    getCount_ = maxGetCount_ = 0;
    received_ = 0;
  }
  {
    std::lock_guard lock(outputLock_);
    outRing_.assign(outSize, 0);
    outHead_ = outTail_ = 0;
    outFull_ = false;
  }
  inSize_ = inSize;
  outSize_ = outSize;
  lineErrors_ = 0;
  outputSent_ = false;
  rs485Mode_ = false;

  {
    std::lock_guard lock(generalLock_);
    portBase_ = 0;
    GetComState(dcb_);
    dtrAuto_ = (options & ipAutoDTR) != 0;
    if (!dtrAuto_) SetDTR((options & ipAssertDTR) != 0);
    rtsAuto_ = (options & ipAutoRTS) != 0;
    if (!rtsAuto_) SetRTS((options & ipAssertRTS) != 0);

    scanPosition_ = lastNotifyPosition_ = 0;
    ClearAllTriggers();
    ClearPassMarks();
    modemStatus_ = 0;
    ReadModemStatus(0xF0);
    lastBaud_ = 115200;
  }
  if (const std::int32_t result = SetLine(baud, parity, dataBits, stopBits); result != 0) {
    DonePort();
    return result;
  }

  RefreshLineErrors();
  {
    std::lock_guard lock(generalLock_);
    tracing_ = false;
    traceRing_.clear();
    traceSize_ = traceIndex_ = 0;
    traceWrapped_ = false;
    logging_ = false;
    logRing_.clear();
    logHead_ = logTail_ = logFree_ = 0;
    logTimeBase_ = clock_.tickCount();
  }

  try {
    StartDispatcher();
  } catch (...) {
    ReportFailure();
    DonePort();
    return ecOutOfMemory;
  }
  return ecOK;
}

void TApdBaseDispatcher::DonePort() {
  if (comHandle_ != InvalidHandle) {
    FlushOutBuffer();
    FlushInBuffer();
    // The com and output threads end before the device goes, so that the driver never
    // closes a descriptor another thread is waiting on.
    StopDeviceThreads();
    CloseCom();
    comHandle_ = InvalidHandle;
  }
  if (inNotification_) {
    // Closing from inside a notification:
    // 1. kill threads is set (above) and close pending now, so the dispatch thread stops
    //    delivering as soon as the handler returns;
    // 2. the dispatch thread leaves its loop and runs ReleasePort itself (DispThreadMain);
    // 3. the last thread to end clears Started(), which the port waits for before it frees
    //    the dispatcher.
    closePending_ = true;
    return;
  }
  ReleasePort();
}

void TApdBaseDispatcher::ReleasePort() {
  releaseAfterThreads_ = false;
  if (started_) StopDispatcher();
  {
    std::lock_guard lock(outputLock_);
    std::vector<std::uint8_t>().swap(outRing_);
    outHead_ = outTail_ = 0;
    outFull_ = false;
  }
  std::lock_guard lock(bufferLock_);
  std::vector<std::uint8_t>().swap(dispBuffer_);
  dispHead_ = dispTail_ = 0;
  dispatchFull_ = false;
}

std::int32_t TApdBaseDispatcher::ReadFailed(std::int32_t) {
  return 0;
}

std::int32_t TApdBaseDispatcher::YieldCPU() {
  std::this_thread::yield();
  return 0;
}

void TApdBaseDispatcher::Pause(std::chrono::milliseconds time) {
  std::this_thread::sleep_for(time);
}

std::tm TApdBaseDispatcher::LocalTime() const {
  return platform::LocalTime(std::time(nullptr));
}

// ---- Output ring -------------------------------------------------------------------------

std::uint32_t TApdBaseDispatcher::OutRingUsedLocked() const {
  if (outFull_) return static_cast<std::uint32_t>(outRing_.size());
  if (outTail_ <= outHead_) return outHead_ - outTail_;
  return static_cast<std::uint32_t>(outRing_.size()) - outTail_ + outHead_;
}

std::uint32_t TApdBaseDispatcher::QueryComError(TComStat& stat) {
  const auto errors = static_cast<std::uint32_t>(GetComError(stat));
  std::lock_guard lock(outputLock_);
  stat.cbOutQue = OutRingUsedLocked();
  return errors;
}

void TApdBaseDispatcher::RefreshLineErrors() {
  TComStat stat;
  lineErrors_.fetch_or(QueryComError(stat) & 0x1F);
}

std::int32_t TApdBaseDispatcher::WriteCom(const std::uint8_t* buffer, std::int32_t count) {
  std::lock_guard lock(outputLock_);
  const auto size = static_cast<std::uint32_t>(outRing_.size());
  auto n = static_cast<std::uint32_t>(count);
  if (size == 0 || n > size - OutRingUsedLocked()) return 0;
  // Bytes go straight to the device only when none wait before them; RS-485 turns the line
  // round around every write, which the output thread does.
  const bool nothingWaits = OutRingUsedLocked() == 0 && !outWriting_;
  if (n > 0 && nothingWaits && !rs485Mode_ && outThreadRunning_) {
    const std::uint32_t taken = std::min(WriteAtOnce(buffer, n), n);
    buffer += taken;
    n -= taken;
    if (n == 0) return count;
  }
  const std::uint32_t room = size - outHead_;
  if (room >= n) {
    std::memcpy(&outRing_[outHead_], buffer, n);
    outHead_ = room == n ? 0 : outHead_ + n;
  } else {
    std::memcpy(&outRing_[outHead_], buffer, room);
    std::memcpy(outRing_.data(), buffer + room, n - room);
    outHead_ = n - room;
  }
  if (n > 0 && outHead_ == outTail_) outFull_ = true;
  outputWake_.set();
  return count;
}

void TApdBaseDispatcher::DiscardOutput() {
  {
    std::lock_guard lock(outputLock_);
    outHead_ = outTail_ = 0;
    outFull_ = false;
    ++outGeneration_;
  }
  if (!outThreadRunning_ || OnThread(ThreadKind::Output)) return;
  flushAck_.reset();
  outputFlushRequest_ = true;
  outputWake_.set();
  CancelOutputWait();
  // Wait until the output thread has left a write it was in, at most 5000 ms.
  for (int slice = 0; slice < 100 && outThreadRunning_; ++slice) {
    if (flushAck_.wait(std::chrono::milliseconds{50})) return;
  }
}

std::int32_t TApdBaseDispatcher::PutBlock(const void* block, std::uint32_t count) {
  if (count == 0) return ecOK;
  const auto* bytes = static_cast<const std::uint8_t*>(block);
  std::int32_t result = ecOK;
  std::int32_t written = 0;
  // The device is asked before the output lock is taken: a device call under that lock would
  // stall the output thread for every block the UI thread queues.
  TComStat stat;
  const auto errors = static_cast<std::uint32_t>(GetComErrorBits());
  {
    std::lock_guard lock(outputLock_);
    if (outRing_.empty()) return ecPutBlockFail;
    lineErrors_.fetch_or(errors & 0x1F);
    const std::uint32_t free = outSize_ - std::min(outSize_, OutRingUsedLocked());
    if (count > free) return ecOutputBufferTooSmall;
    written = WriteCom(bytes, static_cast<std::int32_t>(count));
    if (written <= 0) {
      written = written < 0 ? -written : 0;
      result = ecPutBlockFail;
      lineErrors_.fetch_or(QueryComError(stat) & 0x1F);
    }
    outputSent_ = true;
  }
  WakeLongSleep();  // an armed "sent" or line-error trigger is checked by the next pass
  if (logging_ || tracing_) {
    std::lock_guard lock(generalLock_);
    const auto n = static_cast<std::uint32_t>(written);
    if (logging_) AddLogEntryLocked(dtDispatch, dstWriteCom, n, n > 0 ? bytes : nullptr, n);
    if (tracing_) {
      for (std::uint32_t i = 0; i < n; ++i) AddTraceEntry('T', bytes[i]);
    }
  }
  return result;
}

std::uint32_t TApdBaseDispatcher::OutBuffUsed() {
  std::lock_guard lock(outputLock_);
  TComStat stat;
  lineErrors_.fetch_or(QueryComError(stat) & 0x1F);
  return stat.cbOutQue;
}

std::uint32_t TApdBaseDispatcher::OutBuffFree() {
  // Asked before each write: the error bits, without counting the device's input.
  lineErrors_.fetch_or(static_cast<std::uint32_t>(GetComErrorBits()) & 0x1F);
  std::lock_guard lock(outputLock_);
  return outSize_ - std::min(outSize_, OutRingUsedLocked());
}

std::int32_t TApdBaseDispatcher::FlushOutBuffer() {
  return FlushCom(FlushOutput);
}

std::uint32_t TApdBaseDispatcher::WriteAtOnce(const std::uint8_t*, std::uint32_t) {
  return 0;
}

thread_local const TApdBaseDispatcher* TApdBaseDispatcher::handlersOnThisThread_ = nullptr;

TApdBaseDispatcher::HandlerScope::HandlerScope(const TApdBaseDispatcher* dispatcher)
    : previous_(handlersOnThisThread_) {
  handlersOnThisThread_ = dispatcher;
}

TApdBaseDispatcher::HandlerScope::~HandlerScope() {
  handlersOnThisThread_ = previous_;
}

// ---- Dispatch buffer ---------------------------------------------------------------------

std::uint32_t TApdBaseDispatcher::DispatchUsedLocked() const {
  if (dispHead_ > dispTail_) return dispHead_ - dispTail_;
  if (dispHead_ < dispTail_) return dispHead_ + DispatchBufferSize - dispTail_;
  return dispatchFull_ ? DispatchBufferSize : 0;
}

void TApdBaseDispatcher::FillDispatchBuffer() {
  std::lock_guard lock(bufferLock_);
  if (dispatchFull_ || dispBuffer_.empty()) return;
  const bool readAtOnce = ReadsWithoutCount();
  TComStat stat;
  if (readAtOnce) {
    lineErrors_.fetch_or(static_cast<std::uint32_t>(GetComErrorBits()) & 0x1F);
    stat.cbInQue = DispatchBufferSize;  // whatever fits: the read returns what is there
  } else {
    lineErrors_.fetch_or(QueryComError(stat) & 0x1F);
    if (stat.cbInQue == 0) return;
  }

  const std::uint32_t free = dispHead_ == dispTail_  ? DispatchBufferSize
                             : dispTail_ > dispHead_ ? dispTail_ - dispHead_
                                                     : dispTail_ + DispatchBufferSize - dispHead_;
  const std::uint32_t first =
      dispTail_ > dispHead_ ? dispTail_ - dispHead_ : DispatchBufferSize - dispHead_;
  const std::uint32_t wanted = std::min(free, stat.cbInQue);
  std::uint32_t second = first < wanted ? wanted - first : 0;

  auto read = [this, readAtOnce](std::uint32_t count) {
    std::int32_t n = ReadCom(&dispBuffer_[dispHead_], static_cast<std::int32_t>(count));
    if (n < 0) {
      ReadFailed(-1);
      n = 0;
    }
    const auto got =
        static_cast<std::uint32_t>(std::min<std::int32_t>(n, static_cast<std::int32_t>(count)));
    if (logging_ && (got > 0 || !readAtOnce)) {
      std::lock_guard general(generalLock_);
      AddLogEntryLocked(dtDispatch, dstReadCom, got, got > 0 ? &dispBuffer_[dispHead_] : nullptr,
                        got);
    }
    return got;
  };

  std::uint32_t n = read(first);
  dispHead_ += n;
  received_ += n;
  if (n < first) second = 0;
  if (dispHead_ == DispatchBufferSize) dispHead_ = 0;
  if (n > 0) dispatchFull_ = dispHead_ == dispTail_;
  if (second > 0) {
    n = read(second);
    dispHead_ += n;
    received_ += n;
    if (n > 0) dispatchFull_ = dispHead_ == dispTail_;
  }
}

std::int32_t TApdBaseDispatcher::GetBlock(void* block, std::uint32_t count) {
  auto* out = static_cast<std::uint8_t*>(block);
  bool roomAfterFull = false;
  {
    std::lock_guard lock(bufferLock_);
    if (dispBuffer_.empty()) return ecBufferIsEmpty;
    const std::uint32_t used = DispatchUsedLocked();
    const bool peeking = PeekingLocked();
    const std::uint32_t skip = peeking ? getCount_ : 0;
    if (skip > used || used - skip < count) return ecBufferIsEmpty;
    const std::uint32_t start = (dispTail_ + skip) % DispatchBufferSize;
    const std::uint32_t firstPart = std::min(count, DispatchBufferSize - start);
    std::memcpy(out, &dispBuffer_[start], firstPart);
    std::memcpy(out + firstPart, dispBuffer_.data(), count - firstPart);
    if (peeking) {
      getCount_ += count;
    } else {
      dispTail_ = (dispTail_ + count) % DispatchBufferSize;
      roomAfterFull = dispatchFull_ && count > 0;
      if (count > 0) dispatchFull_ = false;
    }
  }
  // Behind a full buffer the device may hold bytes whose arrival was announced long ago, and
  // no new byte may come to announce them again (the sender waits for room): read them now.
  if (roomAfterFull) comEventReady_.set();
  if (tracing_) {
    std::lock_guard lock(generalLock_);
    for (std::uint32_t i = 0; i < count; ++i) AddTraceEntry('R', out[i]);
  }
  return static_cast<std::int32_t>(count);
}

std::uint32_t TApdBaseDispatcher::InBuffUsed() {
  std::lock_guard lock(bufferLock_);
  const std::uint32_t used = DispatchUsedLocked();
  if (!PeekingLocked()) return used;
  return used - std::min(used, getCount_);
}

std::int32_t TApdBaseDispatcher::FlushInBuffer() {
  std::lock_guard lock(bufferLock_);
  const std::int32_t result = FlushCom(FlushInput);
  if (PeekingLocked()) {
    maxGetCount_ = DispatchUsedLocked();
  } else {
    dispTail_ = dispHead_;
    getCount_ = 0;
  }
  dispatchFull_ = false;
  return result;
}

// ---- Handlers ----------------------------------------------------------------------------

void TApdBaseDispatcher::AddWindowHandler(std::uintptr_t handle, platform::WindowRef window) {
  std::lock_guard lock(generalLock_);
  windowHandlers_.push_back({handle, std::move(window), false});
  handlerServiceNeeded_ = true;
  AddLogEntryLocked(dtTriggerHandlerAlloc, dstWndHandler, 0, nullptr,
                    static_cast<std::uint32_t>(handle));
}

void TApdBaseDispatcher::RemoveWindowHandler(std::uintptr_t handle) {
  std::lock_guard lock(generalLock_);
  const auto found = std::find_if(windowHandlers_.begin(), windowHandlers_.end(),
                                  [&](const auto& entry) { return entry.Handle == handle; });
  if (found != windowHandlers_.end()) {
    AddLogEntryLocked(dtTriggerHandlerDispose, dstWndHandler, 0, nullptr,
                      static_cast<std::uint32_t>(handle));
    if (inNotification_) {
      found->Deleted = true;
      handlerRemovalPending_ = true;
    } else {
      windowHandlers_.erase(found);
    }
  }
  RecountHandlerFlags(0);
}

void TApdBaseDispatcher::AddEventHandler(TApdEventHandler handler) {
  std::lock_guard lock(generalLock_);
  eventHandlers_.push_back({handler, false});
  handlerServiceNeeded_ = true;
  AddLogEntryLocked(dtTriggerHandlerAlloc, dstMethodHandler, 0, nullptr, 0);
}

void TApdBaseDispatcher::RemoveEventHandler(TApdEventHandler::Procedure code) {
  std::lock_guard lock(generalLock_);
  const auto found = std::find_if(eventHandlers_.begin(), eventHandlers_.end(),
                                  [&](const auto& entry) { return entry.Handler.Code == code; });
  if (found != eventHandlers_.end()) {
    AddLogEntryLocked(dtTriggerHandlerDispose, dstMethodHandler, 0, nullptr, 0);
    if (inNotification_) {
      found->Deleted = true;
      handlerRemovalPending_ = true;
    } else {
      eventHandlers_.erase(found);
    }
  }
  RecountHandlerFlags(0);
}

void TApdBaseDispatcher::UpdateHandlerFlags(std::int32_t mode) {
  std::lock_guard lock(generalLock_);
  RecountHandlerFlags(mode);
}

void TApdBaseDispatcher::RecountHandlerFlags(std::int32_t mode) {
  const auto live = [](const auto& list) {
    return std::count_if(list.begin(), list.end(), [](const auto& e) { return !e.Deleted; });
  };
  const bool extra = live(windowHandlers_) > 1 || live(eventHandlers_) > 0;
  switch (mode) {
    case 0:
      handlerServiceNeeded_ = extra || portHandlerInstalled_;
      break;
    case 1:
      portHandlerInstalled_ = true;
      handlerServiceNeeded_ = true;
      break;
    case 2:
      portHandlerInstalled_ = false;
      handlerServiceNeeded_ = extra;
      break;
    default:
      break;
  }
}

void TApdBaseDispatcher::FreeDeletedHandlers() {
  std::erase_if(windowHandlers_, [](const auto& entry) { return entry.Deleted; });
  std::erase_if(eventHandlers_, [](const auto& entry) { return entry.Deleted; });
  handlerRemovalPending_ = false;
}

void TApdBaseDispatcher::SetTriggerLength(std::uint32_t length) {
  std::lock_guard lock(generalLock_);
  lengthTrigger_ = length;
  AddLogEntryLocked(dtTriggerDataChange, dstAvailTrigger, 0, nullptr, length);
  WakeLongSleep();  // bytes already waiting may reach the new length
}

void TApdBaseDispatcher::SetWindowAvailWanted(std::uintptr_t handle, bool wanted) {
  std::lock_guard lock(generalLock_);
  for (auto& entry : windowHandlers_) {
    if (entry.Handle == handle) entry.AvailWanted = wanted;
  }
}

void TApdBaseDispatcher::SetOptionFlags(std::uint32_t bits) {
  std::lock_guard lock(generalLock_);
  optionWord_ |= bits;
}

void TApdBaseDispatcher::ClearOptionFlags(std::uint32_t bits) {
  std::lock_guard lock(generalLock_);
  optionWord_ &= ~bits;
}

std::uint32_t TApdBaseDispatcher::OptionFlags() {
  std::lock_guard lock(generalLock_);
  return optionWord_;
}

TDCB TApdBaseDispatcher::LineSettings() {
  std::lock_guard lock(generalLock_);
  return dcb_;
}

// ---- Notification and the passes (dispatch thread) ---------------------------------------

bool TApdBaseDispatcher::NotifyHandlers(std::uint32_t msg, std::uint32_t wParam,
                                        std::uint16_t lParamLow) {
  if (!handlerServiceNeeded_) return true;
  {
    std::lock_guard lock(generalLock_);
    inNotification_ = true;
  }
  const bool avail = msg == apw_TriggerAvail || msg == apw_TriggerData;
  {
    std::lock_guard lock(bufferLock_);
    maxGetCount_ = 0;
    getCount_ = 0;
    inAvailNotification_ = avail;
  }
  const auto lParam = static_cast<std::int32_t>((static_cast<std::uint32_t>(handle_) << 16) |
                                                static_cast<std::uint32_t>(lParamLow));
  bool result = true;

  // Records are copied under the general lock and called without it: the main thread may add
  // or mark entries meanwhile, but never frees one while a notification runs.
  auto afterHandler = [this] {
    if (closePending_) return false;
    std::lock_guard lock(bufferLock_);
    maxGetCount_ = std::max(maxGetCount_, getCount_);
    getCount_ = 0;
    return true;
  };

  bool closing = false;
  std::size_t count = 0;
  {
    std::lock_guard lock(generalLock_);
    count = eventHandlers_.size();
  }
  for (std::size_t i = 0; i < count && !closing; ++i) {
    EventHandlerEntry entry;
    {
      std::lock_guard lock(generalLock_);
      if (i >= eventHandlers_.size()) break;
      entry = eventHandlers_[i];
    }
    if (!entry.Deleted && entry.Handler.Code != nullptr) {
      try {
        HandlerScope scope(this);
        entry.Handler.Code(entry.Handler.Object, msg, wParam, lParam);
      } catch (...) {
        ReportFailure();
      }
    }
    closing = !afterHandler();
  }

  bool windows = false;
  {
    std::lock_guard lock(generalLock_);
    count = windowHandlers_.size();
    windows = count > 1 || portHandlerInstalled_;
  }
  for (std::size_t i = 0; windows && i < count && !closing; ++i) {
    WindowHandlerEntry entry;
    {
      std::lock_guard lock(generalLock_);
      if (i >= windowHandlers_.size()) break;
      entry = windowHandlers_[i];
    }
    // A window with no use for avail notifications is not sent them: the send would hold
    // reading up until the UI thread came round.
    if (!entry.Deleted && !(avail && !entry.AvailWanted)) {
      entry.Window.sendTimeout(msg, wParam, lParam, kWindowSendTimeout);
    }
    closing = !afterHandler();
  }

  {
    std::lock_guard lock(bufferLock_);
    if (closing) {
      result = false;
    } else if (avail) {
      dispTail_ = (dispTail_ + maxGetCount_) % DispatchBufferSize;
      if (maxGetCount_ > 0) dispatchFull_ = false;
      if (msg == apw_TriggerAvail && maxGetCount_ != wParam) result = false;
    }
    inAvailNotification_ = false;
    getCount_ = 0;
  }
  std::lock_guard lock(generalLock_);
  inNotification_ = false;
  if (handlerRemovalPending_) {
    FreeDeletedHandlers();
    RecountHandlerFlags(0);
  }
  return result;
}

bool TApdBaseDispatcher::AvailCheck() {
  {
    std::lock_guard lock(bufferLock_);
    scanPosition_ = received_;
  }
  const std::uint32_t waiting = InBuffUsed();
  const std::uint32_t length = lengthTrigger_;
  if (length != 0 && lastNotifyPosition_ != scanPosition_ && waiting >= length) {
    if (logging_) AddLogEntry(dtTrigger, dstAvail, 0, nullptr, waiting);
    const bool result = NotifyHandlers(apw_TriggerAvail, waiting, 0);
    lastNotifyPosition_ = scanPosition_;
    return result;
  }
  return false;
}

bool TApdBaseDispatcher::RunStatusChecks() {
  if (inNotification_) return true;
  while (CheckStatusTriggers()) {
    if (closePending_) return false;
  }
  return !closePending_;
}

void TApdBaseDispatcher::ProcessingPass() {
  // Events the com thread delivered since the last pass; without any, the last ones again.
  if (const std::uint32_t fresh = eventMask_.exchange(0); fresh != 0) lastEventMask_ = fresh;
  const std::uint32_t mask = lastEventMask_;
  if (mask & (EV_RINGTE | EV_RING | EV_RLSD | EV_DSR | EV_CTS)) {
    UpdateModemChanges();
    if (!RunStatusChecks()) return;
    if (statusHit_) ClearPassMarks();
  }
  if (mask & (EV_BREAK | EV_ERR)) {
    RefreshLineErrors();
    if (!RunStatusChecks()) return;
    if (statusHit_) ClearPassMarks();
  }
  FillDispatchBuffer();
  if (!inNotification_) {
    if (!RunStatusChecks()) return;
    while (AvailCheck()) {
      if (closePending_) return;
    }
    if (closePending_) return;
  }
  if (statusHit_) ClearPassMarks();
  dispatchDone_.set();
}

void TApdBaseDispatcher::TimerPass() {
  if (closePending_ || inNotification_) return;
  statusHit_ = false;
  while ((CheckStatusTriggers() || CheckTimerTriggers()) && !closePending_) {
  }
  if (statusHit_) ClearPassMarks();
}

// ---- Ticks -------------------------------------------------------------------------------

std::uint32_t TApdBaseDispatcher::TickCount() const {
  return clock_.tickCount() / MillisecondsPerTick;
}

void TApdBaseDispatcher::NewTimer(TEventTimer& timer, std::uint32_t ticks) const {
  timer.StartTicks = TickCount();
  timer.ExpireTicks = timer.StartTicks + std::min(ticks, MaxTicks);
}

// Elapsed ticks are counted modulo the tick count's own wrap (the 32-bit millisecond count
// divided by 55), so that a timer running across the wrap fires on time.
bool TApdBaseDispatcher::TimerExpired(const TEventTimer& timer) const {
  constexpr std::uint32_t kTickPeriod = 0xFFFFFFFFu / MillisecondsPerTick + 1;
  const std::uint32_t now = TickCount();
  const std::uint32_t elapsed =
      now >= timer.StartTicks ? now - timer.StartTicks : now + kTickPeriod - timer.StartTicks;
  return elapsed > timer.ExpireTicks - timer.StartTicks;
}

}  // namespace velmora::serial
