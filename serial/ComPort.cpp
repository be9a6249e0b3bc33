#include "serial/ComPort.h"

#include <cmath>
#include <cstdio>
#include <exception>

#include "platform/serial/SerialNames.h"
#include "serial/Errors.h"
#ifdef _WIN32
#include "serial/dispatcher/Win32Dispatcher.h"
#else
#include "serial/dispatcher/PosixDispatcher.h"
#endif

namespace velmora::serial {

namespace {

constexpr std::uint32_t kOptionEventWord = 4;
// While a deferred close waits for the dispatcher's threads, the window looks again this often.
constexpr std::uintptr_t kCloseTimer = 0x7E0A;
constexpr std::chrono::milliseconds kCloseRecheck{5};

// Rounds to the nearest integer, halves to even.
std::uint16_t Round(double value) {
  return static_cast<std::uint16_t>(std::nearbyint(value));
}

std::string ComName(const char* format, std::uint16_t number) {
  char text[32];
  std::snprintf(text, sizeof text, format, static_cast<unsigned>(number));
  return text;
}

}  // namespace

TDispatcherFactory PlatformDispatcherFactory() {
  return PlatformDispatcherFactory(platform::SerialNameSpace{});
}

TDispatcherFactory PlatformDispatcherFactory(const platform::SerialNameSpace& names,
                                             std::shared_ptr<platform::SerialCloser> closer) {
#ifdef _WIN32
  (void)names;  // the device path is the port's own name there
  (void)closer;
  return [](TApdCustomComPort* owner) -> std::unique_ptr<TApdBaseDispatcher> {
    return std::make_unique<TApdWin32Dispatcher>(owner);
  };
#else
  return [names, closer](TApdCustomComPort* owner) -> std::unique_ptr<TApdBaseDispatcher> {
    return std::make_unique<TApdPosixDispatcher>(owner, names, platform::Clock::system(), closer);
  };
#endif
}

TApdCustomComPort::TApdCustomComPort() = default;

TApdCustomComPort::~TApdCustomComPort() {
  try {
    if (portState_ == TPortState::psOpen) ClosePort();
    if (portState_ == TPortState::psClosing) FinishClose();
  } catch (...) {  // a destructor never throws; the device is released by the dispatcher anyway
  }
  DropDispatcher();
  if (savedTriggers_) TApdBaseDispatcher::FreeTriggerSnapshot(*savedTriggers_);
}

std::int32_t TApdCustomComPort::Check(std::int32_t code) const {
  return CheckErrorCode(this, code);
}

// ---- Settings ------------------------------------------------------------------------------

void TApdCustomComPort::SetDeviceLayer(TDeviceLayer value) {
  if (value == deviceLayer_ && !forceSettings_) return;
  if (portState_ != TPortState::psClosed || value != TDeviceLayer::dlWin32) return;
  deviceLayer_ = value;
  DeviceLayerChanged();
}

void TApdCustomComPort::SetComNumber(std::uint16_t value) {
  if (value == comNumber_ && !forceSettings_) return;
  if (portState_ != TPortState::psOpen) {
    comNumber_ = value;
    return;
  }
  // The close keeps the triggers (restored at the open); tracing and logging are put back.
  const auto tracing = tracing_;
  const auto logging = logging_;
  SetOpen(false);
  comNumber_ = value;
  SetTracing(tracing);
  SetLogging(logging);
  SetOpen(true);
}

void TApdCustomComPort::ApplyLine() {
  if (portState_ != TPortState::psOpen) return;
  Check(dispatcher_->SetLine(static_cast<std::uint32_t>(baud_), static_cast<std::uint8_t>(parity_),
                             static_cast<std::uint8_t>(dataBits_),
                             static_cast<std::uint8_t>(stopBits_)));
  // Linux drivers run the nearest line they can instead of failing (a pseudo-terminal keeps 8
  // bits without parity): what the device runs is read back, so that a refusal is told.
  std::uint32_t baud = 0;
  std::uint16_t parity = 0;
  std::uint8_t dataBits = 0;
  std::uint8_t stopBits = 0;
  dispatcher_->GetLine(baud, parity, dataBits, stopBits);
  const bool taken = baud == static_cast<std::uint32_t>(baud_) &&
                     parity == static_cast<std::uint16_t>(parity_) && dataBits == dataBits_ &&
                     (dataBits_ == 5 || stopBits == stopBits_);  // five bits: 1.5 stop bits
  if (!taken) Check(ecBadArgument);
}

// A driver may open at the nearest line it can run (see ApplyLine): the properties say what the
// device runs, so that what the log and the status show is true.
void TApdCustomComPort::TakeLineInForce() {
  std::uint32_t baud = 0;
  std::uint16_t parity = 0;
  std::uint8_t dataBits = 0;
  std::uint8_t stopBits = 0;
  dispatcher_->GetLine(baud, parity, dataBits, stopBits);
  if (baud != 0) baud_ = static_cast<std::int32_t>(baud);
  if (parity <= static_cast<std::uint16_t>(TParity::pSpace)) parity_ = static_cast<TParity>(parity);
  if (dataBits >= 5 && dataBits <= 8) dataBits_ = dataBits;
  // Five bits run 1.5 stop bits, which reads back as 2: the choice stays.
  if (dataBits_ != 5) stopBits_ = stopBits;
}

void TApdCustomComPort::SetBaud(std::int32_t value) {
  if (value == baud_ && !forceSettings_) return;
  baud_ = value;
  ApplyLine();
}

void TApdCustomComPort::SetParity(TParity value) {
  if (value == parity_ && !forceSettings_) return;
  parity_ = value;
  ApplyLine();
}

void TApdCustomComPort::SetDataBits(std::uint16_t value) {
  if (value == dataBits_ && !forceSettings_) return;
  dataBits_ = value;
  ApplyLine();
}

void TApdCustomComPort::SetStopBits(std::uint16_t value) {
  if (value == stopBits_ && !forceSettings_) return;
  stopBits_ = value;
  ApplyLine();
}

void TApdCustomComPort::SetInSize(std::uint16_t value) {
  if (value == inSize_ && !forceSettings_) return;
  inSize_ = value;
  if (portState_ == TPortState::psOpen) dispatcher_->SetCommBuffers(inSize_, outSize_);
}

void TApdCustomComPort::SetOutSize(std::uint16_t value) {
  if (value == outSize_ && !forceSettings_) return;
  outSize_ = value;
  if (portState_ == TPortState::psOpen) dispatcher_->SetCommBuffers(inSize_, outSize_);
}

void TApdCustomComPort::SetOpen(bool value) {
  onUiThread_();
  // While a deferred close runs, Open still reads True: asking for it again means a reopen.
  if (value && portState_ == TPortState::psClosing) {
    reopenPending_ = true;
    return;
  }
  if (value == open_) return;
  if (!value) {
    reopenPending_ = false;
    ClosePort();
  } else if (portState_ == TPortState::psClosed) {
    OpenPort();
  }
}

void TApdCustomComPort::SetDTR(bool value) {
  if (value == dtr_ && !forceSettings_) return;
  if (portState_ != TPortState::psOpen) {
    dtr_ = value;
    return;
  }
  if (Check(dispatcher_->SetDTR(value)) == 0) dtr_ = value;
}

void TApdCustomComPort::SetRTS(bool value) {
  if (value == rts_ && !forceSettings_) return;
  if (portState_ != TPortState::psOpen) {
    rts_ = value;
    return;
  }
  if (Check(dispatcher_->SetRTS(value)) == 0) rts_ = value;
}

void TApdCustomComPort::SetHWFlowOptions(THWFlowOptionSet value) {
  if (value == hwFlowOptions_ && !forceSettings_) return;
  const std::uint32_t bits = value & (hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS);
  if (bits != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = Round(inSize_ * 0.9);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_) bufferResume_ = Round(inSize_ * 0.1);
  }
  if (portState_ == TPortState::psOpen)
    Check(dispatcher_->SetHWFlowOptions(bufferFull_, bufferResume_, bits));
  hwFlowOptions_ = value;
  if (value & (hwfUseRTS | hwfRequireCTS)) SetRS485Mode(false);
}

void TApdCustomComPort::SetSWFlowOptions(TSWFlowOptions value) {
  if (value == swFlowOptions_ && !forceSettings_) return;
  static constexpr std::uint32_t kBits[] = {0, sfReceiveFlow, sfTransmitFlow,
                                            sfReceiveFlow | sfTransmitFlow};
  const std::uint32_t bits = kBits[static_cast<int>(value)];
  if (bits != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) bufferFull_ = Round(inSize_ * 0.75);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_) bufferResume_ = Round(inSize_ * 0.25);
  }
  if (portState_ == TPortState::psOpen) {
    if (bits != 0) {
      Check(dispatcher_->SetSWFlowOptions(bufferFull_, bufferResume_, bits));
    } else {
      Check(dispatcher_->ClearSWFlowOptions());
    }
  }
  swFlowOptions_ = value;
}

void TApdCustomComPort::SetXOnChar(char value) {
  if (value == xOnChar_ && !forceSettings_) return;
  xOnChar_ = value;
  if (portState_ == TPortState::psOpen) Check(dispatcher_->SetFlowChars(xOnChar_, xOffChar_));
}

void TApdCustomComPort::SetXOffChar(char value) {
  if (value == xOffChar_ && !forceSettings_) return;
  xOffChar_ = value;
  if (portState_ == TPortState::psOpen) Check(dispatcher_->SetFlowChars(xOnChar_, xOffChar_));
}

void TApdCustomComPort::SetBufferFull(std::uint16_t value) {
  if (value == bufferFull_ && !forceSettings_) return;
  bufferFull_ = value > inSize_ ? Round(inSize_ * 0.9) : value;
  const bool force = forceSettings_;
  forceSettings_ = true;
  try {
    SetHWFlowOptions(hwFlowOptions_);
    SetSWFlowOptions(swFlowOptions_);
  } catch (...) {
    forceSettings_ = force;
    throw;
  }
  forceSettings_ = force;
}

void TApdCustomComPort::SetBufferResume(std::uint16_t value) {
  if (value == bufferResume_ && !forceSettings_) return;
  bufferResume_ = value > bufferFull_ ? Round(bufferFull_ * 0.1) : value;
  const bool force = forceSettings_;
  forceSettings_ = true;
  try {
    SetHWFlowOptions(hwFlowOptions_);
    SetSWFlowOptions(swFlowOptions_);
  } catch (...) {
    forceSettings_ = force;
    throw;
  }
  forceSettings_ = force;
}

void TApdCustomComPort::SetTracing(TTraceLogState value) {
  if (value == tracing_ && !forceSettings_) return;
  ApplyTraceLog(true, value);
}

void TApdCustomComPort::SetLogging(TTraceLogState value) {
  if (value == logging_ && !forceSettings_) return;
  ApplyTraceLog(false, value);
}

void TApdCustomComPort::ApplyTraceLog(bool trace, TTraceLogState value) {
  auto& state = trace ? tracing_ : logging_;
  if (portState_ != TPortState::psOpen) {
    state = (value == TTraceLogState::tlOn) ? TTraceLogState::tlOn : TTraceLogState::tlOff;
    return;
  }
  auto& d = *dispatcher_;
  const bool wasOn = state == TTraceLogState::tlOn;
  const bool paused = state == TTraceLogState::tlPause;
  const auto size = trace ? traceSize_ : logSize_;
  const auto& name = trace ? traceName_ : logName_;
  const bool hex = trace ? traceHex_ : logHex_;
  const bool allHex = trace ? traceAllHex_ : logAllHex_;
  const auto stop = [&] { trace ? d.AbortTrace() : d.AbortLog(); };
  const auto resume = [&] { trace ? d.StartTracing() : d.StartLogging(); };
  switch (value) {
    case TTraceLogState::tlOff:
      if (wasOn || paused) stop();
      state = TTraceLogState::tlOff;
      break;
    case TTraceLogState::tlOn:
      if (paused) {
        resume();
      } else if (trace) {
        Check(d.InitTrace(size));
      } else {
        d.InitLog(size);
      }
      state = TTraceLogState::tlOn;
      break;
    case TTraceLogState::tlDump:
    case TTraceLogState::tlAppend:
      state = TTraceLogState::tlOff;
      if (wasOn || paused) {
        resume();
        const bool append = value == TTraceLogState::tlAppend;
        Check(trace ? (append ? d.AppendTrace(name, hex, allHex) : d.DumpTrace(name, hex, allHex))
                    : (append ? d.AppendLog(name, hex, allHex) : d.DumpLog(name, hex, allHex)));
      }
      break;
    case TTraceLogState::tlClear:
      if (wasOn || paused) trace ? d.ClearTrace() : d.ClearLog();
      break;
    case TTraceLogState::tlPause:
      if (wasOn) trace ? d.StopTracing() : d.StopLogging();
      state = TTraceLogState::tlPause;
      break;
  }
}

void TApdCustomComPort::SetTraceSize(std::uint32_t value) {
  value = std::min(value, kMaxTraceSize);
  if (value == traceSize_ && !forceSettings_) return;
  traceSize_ = value;
  if (portState_ != TPortState::psOpen) return;
  if (tracing_ == TTraceLogState::tlOn) {
    dispatcher_->AbortTrace();
    Check(dispatcher_->InitTrace(traceSize_));
  } else if (tracing_ == TTraceLogState::tlPause) {
    dispatcher_->AbortTrace();
    tracing_ = TTraceLogState::tlOff;
  }
}

void TApdCustomComPort::SetLogSize(std::uint32_t value) {
  value = std::min(value, kMaxLogSize);
  if (value == logSize_ && !forceSettings_) return;
  logSize_ = value;
  if (portState_ != TPortState::psOpen) return;
  if (logging_ == TTraceLogState::tlOn) {
    dispatcher_->AbortLog();
    dispatcher_->InitLog(logSize_);
  } else if (logging_ == TTraceLogState::tlPause) {
    dispatcher_->AbortLog();
    logging_ = TTraceLogState::tlOff;
  }
}

void TApdCustomComPort::SetUseEventWord(bool value) {
  if (value == useEventWord_ && !forceSettings_) return;
  useEventWord_ = value;
  if (portState_ != TPortState::psOpen) return;
  if (value) {
    dispatcher_->SetOptionFlags(kOptionEventWord);
  } else {
    dispatcher_->ClearOptionFlags(kOptionEventWord);
  }
}

void TApdCustomComPort::SetRS485Mode(bool value) {
  if (value == rs485Mode_ && !forceSettings_) return;
  rs485Mode_ = value;
  if (portState_ == TPortState::psOpen) dispatcher_->SetRS485Mode(value);
  if (value) {
    SetHWFlowOptions(hwFlowOptions_ & ~(hwfUseRTS | hwfRequireCTS));
    SetRTS(false);
  }
}

void TApdCustomComPort::SetTriggerLength(std::uint16_t value) {
  if (value == triggerLength_ && !forceSettings_) return;
  triggerLength_ = value;
  if (portState_ == TPortState::psOpen) dispatcher_->SetTriggerLength(value);
}

void TApdCustomComPort::SetPriorityBoost(std::uint8_t value) {
  if (value == priorityBoost_ && !forceSettings_) return;
  priorityBoost_ = value;
  if (portState_ == TPortState::psOpen) dispatcher_->SetThreadBoost(value);
}

// ---- Trigger events ------------------------------------------------------------------------

void TApdCustomComPort::SetOnTrigger(TTriggerEvent handler) {
  onTrigger_ = std::move(handler);
  UpdateTriggerHandler();
}
void TApdCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent handler) {
  onTriggerAvail_ = std::move(handler);
  UpdateTriggerHandler();
}
void TApdCustomComPort::SetOnTriggerData(TTriggerDataEvent handler) {
  onTriggerData_ = std::move(handler);
  UpdateTriggerHandler();
}
void TApdCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent handler) {
  onTriggerStatus_ = std::move(handler);
  UpdateTriggerHandler();
}
void TApdCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent handler) {
  onTriggerTimer_ = std::move(handler);
  UpdateTriggerHandler();
}
void TApdCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent handler) {
  onTriggerLineError_ = std::move(handler);
  UpdateTriggerHandler();
}
void TApdCustomComPort::SetOnTriggerModemStatus(TPortNotifyEvent handler) {
  onTriggerModemStatus_ = std::move(handler);
  UpdateTriggerHandler();
}
void TApdCustomComPort::SetOnTriggerOutbuffFree(TPortNotifyEvent handler) {
  onTriggerOutbuffFree_ = std::move(handler);
  UpdateTriggerHandler();
}
void TApdCustomComPort::SetOnTriggerOutbuffUsed(TPortNotifyEvent handler) {
  onTriggerOutbuffUsed_ = std::move(handler);
  UpdateTriggerHandler();
}
void TApdCustomComPort::SetOnTriggerOutSent(TPortNotifyEvent handler) {
  onTriggerOutSent_ = std::move(handler);
  UpdateTriggerHandler();
}

void TApdCustomComPort::UpdateTriggerHandler() {
  if (portState_ != TPortState::psOpen) return;
  const bool any = onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ ||
                   onTriggerTimer_ || onTriggerLineError_ || onTriggerModemStatus_ ||
                   onTriggerOutbuffFree_ || onTriggerOutbuffUsed_ || onTriggerOutSent_;
  dispatcher_->UpdateHandlerFlags(any ? 1 : 2);
  TellAvailWanted();
}

void TApdCustomComPort::TellAvailWanted() {
  if (!notifyWindow_ || !dispatcher_) return;
  dispatcher_->SetWindowAvailWanted(reinterpret_cast<std::uintptr_t>(notifyWindow_.get()),
                                    onTrigger_ || onTriggerAvail_);
}

void TApdCustomComPort::DoTrigger(std::uint16_t msg, std::uint16_t handle, std::uint16_t data) {
  if (onTrigger_) onTrigger_(*this, msg, handle, data);
}
void TApdCustomComPort::DoTriggerAvail(std::uint16_t count) {
  // A copy: the handler may replace itself (the lamps' controller does).
  if (const auto handler = onTriggerAvail_) handler(*this, count);
}
void TApdCustomComPort::DoTriggerData(std::uint16_t handle) {
  if (onTriggerData_) onTriggerData_(*this, handle);
}
void TApdCustomComPort::DoTriggerStatus(std::uint16_t handle) {
  if (onTriggerStatus_) onTriggerStatus_(*this, handle);
}
void TApdCustomComPort::DoTriggerTimer(std::uint16_t handle) {
  if (onTriggerTimer_) onTriggerTimer_(*this, handle);
}
void TApdCustomComPort::DoTriggerLineError(std::uint16_t error, bool lineBreak) {
  if (onTriggerLineError_) onTriggerLineError_(*this, error, lineBreak);
}
void TApdCustomComPort::DoTriggerModemStatus() {
  if (onTriggerModemStatus_) onTriggerModemStatus_(*this);
}
void TApdCustomComPort::DoTriggerOutbuffFree() {
  if (onTriggerOutbuffFree_) onTriggerOutbuffFree_(*this);
}
void TApdCustomComPort::DoTriggerOutbuffUsed() {
  if (onTriggerOutbuffUsed_) onTriggerOutbuffUsed_(*this);
}
void TApdCustomComPort::DoTriggerOutSent() {
  if (onTriggerOutSent_) onTriggerOutSent_(*this);
}

// ---- Opening and closing -------------------------------------------------------------------

std::unique_ptr<TApdBaseDispatcher> TApdCustomComPort::CreateDispatcher() {
  if (deviceLayer_ != TDeviceLayer::dlWin32) Check(-3001);
  const auto& factory = DispatcherFactory ? DispatcherFactory : PlatformDispatcherFactory();
  auto dispatcher = factory(this);
  if (!dispatcher) Check(-3001);
  return dispatcher;
}

void TApdCustomComPort::ValidateComNumber() {
  if (comNumber_ != 0) return;
  if (!promptForPort_) Check(-2011);
  const std::uint16_t chosen = PortSelector ? PortSelector() : 0;
  if (chosen == 0) Check(-2011);
  SetComNumber(chosen);
}

void TApdCustomComPort::OpenDispatcherPort() {
  std::uint8_t options = 0;
  if (dtr_) options |= ipAssertDTR;
  if (rts_) options |= ipAssertRTS;
  if (hwFlowOptions_ & hwfUseDTR) options |= ipAutoDTR;
  if (hwFlowOptions_ & hwfUseRTS) options |= ipAutoRTS;
  const std::string path = tapiMode_ == TTapiMode::tmOn ? "" : ComName("\\\\.\\COM%u", comNumber_);
  std::int32_t result = dispatcher_->InitPort(
      path, static_cast<std::uint32_t>(baud_), static_cast<std::uint8_t>(parity_),
      static_cast<std::uint8_t>(dataBits_), static_cast<std::uint8_t>(stopBits_), inSize_, outSize_,
      options);
  if (result == -5) result = -2008;
  if (result == -2 || result == -3) result = -2001;
  if (result != 0) Check(result);
}

void TApdCustomComPort::OpenPort() {
  if (tapiMode_ != TTapiMode::tmOn) ValidateComNumber();
  dispatcher_ = CreateDispatcher();
  dispatcher_->SetDeviceName(ComName("COM%u", comNumber_));
  bool notified = false;
  try {
    if (tapiMode_ == TTapiMode::tmOn && dispatcher_->ComHandle() < 0) Check(-2012);
    OpenDispatcherPort();
    TakeLineInForce();
    portState_ = TPortState::psOpen;
    UpdateTriggerHandler();
    forceSettings_ = true;
    SetTracing(tracing_);
    SetLogging(logging_);
    SetHWFlowOptions(hwFlowOptions_);
    SetSWFlowOptions(swFlowOptions_);
    SetXOnChar(xOnChar_);
    SetXOffChar(xOffChar_);
    SetTriggerLength(triggerLength_);
    SetDTR(dtr_);
    SetRTS(rts_);
    SetUseEventWord(useEventWord_);
    SetRS485Mode(rs485Mode_);
    SetPriorityBoost(priorityBoost_);
    forceSettings_ = false;
    open_ = true;
    SetupNotifyWindow(true);
    if (triggersSaved_) {
      triggersSaved_ = false;
      dispatcher_->RestoreTriggers(*savedTriggers_);
    }
    notified = true;
    NotifyPortOpen();
  } catch (...) {
    forceSettings_ = false;
    open_ = false;
    portState_ = TPortState::psClosed;
    SetupNotifyWindow(false);
    DropDispatcher();
    // Companions that heard of the open let go of the dispatcher that is gone.
    if (notified) {
      try {
        NotifyPortClosed();
      } catch (...) {  // the open's own failure is the one reported
      }
    }
    throw;
  }
}

void TApdCustomComPort::ClosePort() {
  if (portState_ != TPortState::psOpen) return;
  SetTracing(TTraceLogState::tlDump);
  SetLogging(TTraceLogState::tlDump);
  portState_ = TPortState::psClosing;
  NotifyPortClosing();
  if (!savedTriggers_) savedTriggers_ = std::make_unique<TTriggerSnapshot>();
  TApdBaseDispatcher::FreeTriggerSnapshot(*savedTriggers_);
  dispatcher_->SaveTriggers(*savedTriggers_);
  triggersSaved_ = true;
  dispatcher_->DonePort();
  if (dispatcher_->ClosePending() && notifyWindow_) {
    // Asked from inside a notification: finished through the window once delivery has returned.
    notifyWindow_->post(apw_ClosePending, 0,
                        static_cast<std::intptr_t>(dispatcher_->Handle()) << 16);
  } else {
    FinishClose();
  }
  NotifyPortClosed();
}

void TApdCustomComPort::FinishClose() {
  SetupNotifyWindow(false);
  DropDispatcher();
  portState_ = TPortState::psClosed;
  open_ = false;
}

void TApdCustomComPort::DropDispatcher() {
  dispatcher_.reset();
  dispatcherCompanions_.clear();
}

void TApdCustomComPort::KeepWithDispatcher(std::shared_ptr<void> companion) {
  dispatcherCompanions_.push_back(std::move(companion));
}

void TApdCustomComPort::SetupNotifyWindow(bool create) {
  if (create) {
    notifyWindow_ = std::make_unique<platform::MessageWindow>(
        [this](const platform::Message& message) { return HandleNotification(message); });
    dispatcher_->AddWindowHandler(reinterpret_cast<std::uintptr_t>(notifyWindow_.get()),
                                  notifyWindow_->ref());
    TellAvailWanted();
    return;
  }
  if (!notifyWindow_) return;
  if (dispatcher_)
    dispatcher_->RemoveWindowHandler(reinterpret_cast<std::uintptr_t>(notifyWindow_.get()));
  notifyWindow_.reset();
}

std::intptr_t TApdCustomComPort::HandleNotification(const platform::Message& message) {
  const bool closeCheck = message.id == platform::WM_TIMER && message.wParam == kCloseTimer;
  if (!closeCheck && (message.id < apw_TriggerAvail || message.id > apw_TriggerStatus) &&
      message.id != apw_ClosePending)
    return 0;
  try {
    auto lock = DispatcherList::Lock();
    const auto handle = closeCheck && dispatcher_
                            ? dispatcher_->Handle()
                            : static_cast<std::int32_t>((message.lParam >> 16) & 0xFFFF);
    if (handle < 0 || static_cast<std::size_t>(handle) >= DispatcherList::Count()) return 0;
    auto* d = DispatcherList::At(handle);
    if (!d || d->Owner() != this) return 0;
    TApdBaseDispatcher::HandlerScope scope(d);
    const auto wParam = static_cast<std::uint16_t>(message.wParam);
    const auto low = static_cast<std::uint16_t>(message.lParam & 0xFFFF);
    switch (closeCheck ? apw_ClosePending : message.id) {
      case apw_TriggerAvail:
        DoTrigger(apw_TriggerAvail, wParam, wParam);
        DoTriggerAvail(wParam);
        break;
      case apw_TriggerData:
        DoTrigger(apw_TriggerData, wParam, low);
        DoTriggerData(wParam);
        break;
      case apw_TriggerTimer:
        DoTrigger(apw_TriggerTimer, wParam, low);
        DoTriggerTimer(wParam);
        break;
      case apw_TriggerStatus:
        DoTrigger(apw_TriggerStatus, wParam, low);
        DoTriggerStatus(wParam);
        switch (StatusTriggerKind(wParam)) {
          case stModem:
            DoTriggerModemStatus();
            break;
          case stLine: {
            const bool lineBreak = LineBreak();
            DoTriggerLineError(LineError(), lineBreak);
            break;
          }
          case stOutBuffFree:
            DoTriggerOutbuffFree();
            break;
          case stOutBuffUsed:
            DoTriggerOutbuffUsed();
            break;
          case stOutSent:
            DoTriggerOutSent();
            break;
          default:
            break;
        }
        break;
      case apw_ClosePending:
        if (d != dispatcher_.get() || portState_ != TPortState::psClosing) break;
        if (d->Started()) {
          // Look again shortly rather than re-posting in a tight loop.
          notifyWindow_->setTimer(kCloseTimer, kCloseRecheck);
          break;
        }
        FinishClose();
        if (reopenPending_) {
          reopenPending_ = false;
          OpenPort();
        }
        break;
      default:
        break;
    }
  } catch (...) {
    ReportHandlerError(std::current_exception());
  }
  return 0;
}

void TApdCustomComPort::ReportHandlerError(std::exception_ptr error) const {
  platform::MessagePump::current().reportError(error);
}

// ---- Callbacks -----------------------------------------------------------------------------

std::size_t TApdCustomComPort::AddPortCallback(TPortCallback callback) {
  callbacks_.push_back(CallbackRecord{std::move(callback), {}, false});
  return callbacks_.size() - 1;
}

std::size_t TApdCustomComPort::AddPortCallbackEx(TPortCallbackEx callback) {
  callbacks_.push_back(CallbackRecord{{}, std::move(callback), true});
  return callbacks_.size() - 1;
}

// Removal works during the port's own destruction too: a companion freed while the port closes
// (its free message handled while the dispatcher's threads are waited for) must not stay listed.
void TApdCustomComPort::RemovePortCallback(const TPortCallback& callback) {
  for (auto i = callbacks_.size(); i-- > 0;) {
    if (!callbacks_[i].extended && callbacks_[i].callback.SameCode(callback))
      callbacks_.erase(callbacks_.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void TApdCustomComPort::RemovePortCallbackEx(const TPortCallbackEx& callback) {
  for (auto i = callbacks_.size(); i-- > 0;) {
    if (callbacks_[i].extended && callbacks_[i].callbackEx.SameCode(callback))
      callbacks_.erase(callbacks_.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

void TApdCustomComPort::NotifyPortOpen() {
  for (auto i = callbacks_.size(); i-- > 0;) {
    if (i >= callbacks_.size()) continue;  // a callback removed others
    const auto record = callbacks_[i];
    if (record.extended) {
      if (record.callbackEx) record.callbackEx(*this, TPortCallbackKind::pckOpen);
    } else if (record.callback) {
      record.callback(*this, true);
    }
  }
  if (OnPortOpen) OnPortOpen(*this);
}

void TApdCustomComPort::NotifyPortClosing() {
  for (auto i = callbacks_.size(); i-- > 0;) {
    if (i >= callbacks_.size()) continue;
    const auto record = callbacks_[i];
    if (record.extended && record.callbackEx)
      record.callbackEx(*this, TPortCallbackKind::pckClosing);
  }
}

void TApdCustomComPort::NotifyPortClosed() {
  for (auto i = callbacks_.size(); i-- > 0;) {
    if (i >= callbacks_.size()) continue;
    const auto record = callbacks_[i];
    if (record.extended) {
      if (record.callbackEx) record.callbackEx(*this, TPortCallbackKind::pckClosed);
    } else if (record.callback) {
      record.callback(*this, false);
    }
  }
  if (OnPortClose) OnPortClose(*this);
}

// ---- Device access -------------------------------------------------------------------------

TApdBaseDispatcher* TApdCustomComPort::Dispatcher() {
  if (portState_ == TPortState::psClosed && autoOpen_) SetOpen(true);
  return dispatcher_.get();
}

TApdBaseDispatcher& TApdCustomComPort::RequireDispatcher() {
  auto* d = Dispatcher();
  if (!d) Check(-2007);
  return *d;
}

bool TApdCustomComPort::DeviceLost() const {
  return portState_ == TPortState::psOpen && dispatcher_ && dispatcher_->DeviceLost();
}

std::int32_t TApdCustomComPort::PutBlock(const void* block, std::uint16_t len) {
  if (portState_ == TPortState::psClosing) return 0;
  Check(RequireDispatcher().PutBlock(block, len));
  return 0;
}

std::uint16_t TApdCustomComPort::OutBuffFree() {
  if (portState_ != TPortState::psOpen) return outSize_;
  return static_cast<std::uint16_t>(dispatcher_->OutBuffFree());
}

std::uint16_t TApdCustomComPort::OutBuffUsed() {
  if (portState_ != TPortState::psOpen) return 0;
  return static_cast<std::uint16_t>(dispatcher_->OutBuffUsed());
}

std::uint16_t TApdCustomComPort::InBuffUsed() {
  if (portState_ != TPortState::psOpen) return 0;
  return static_cast<std::uint16_t>(dispatcher_->InBuffUsed());
}

bool TApdCustomComPort::CTS() {
  return portState_ == TPortState::psOpen && dispatcher_->CheckCTS();
}
bool TApdCustomComPort::DSR() {
  return portState_ == TPortState::psOpen && dispatcher_->CheckDSR();
}
bool TApdCustomComPort::DCD() {
  return portState_ == TPortState::psOpen && dispatcher_->CheckDCD();
}
bool TApdCustomComPort::RI() {
  return portState_ == TPortState::psOpen && dispatcher_->CheckRI();
}

std::uint16_t TApdCustomComPort::LineError() {
  if (portState_ != TPortState::psOpen) return 0;
  return static_cast<std::uint16_t>(Check(dispatcher_->GetLineError()));
}

bool TApdCustomComPort::LineBreak() {
  return portState_ == TPortState::psOpen && dispatcher_->CheckLineBreak();
}

std::int32_t TApdCustomComPort::AddTimerTrigger() {
  if (portState_ == TPortState::psClosing) return 0;
  return Check(RequireDispatcher().AddTimerTrigger());
}

std::int32_t TApdCustomComPort::AddStatusTrigger(std::uint16_t kind) {
  if (portState_ == TPortState::psClosing) return 0;
  return Check(RequireDispatcher().AddStatusTrigger(kind));
}

void TApdCustomComPort::SetTimerTrigger(std::uint16_t handle, std::int32_t ticks, bool activate) {
  if (portState_ == TPortState::psClosing) return;
  Check(RequireDispatcher().SetTimerTrigger(handle, ticks, activate));
}

void TApdCustomComPort::SetStatusTrigger(std::uint16_t handle, std::uint16_t value, bool activate) {
  if (portState_ == TPortState::psClosing) return;
  Check(RequireDispatcher().SetStatusTrigger(handle, value, activate));
}

void TApdCustomComPort::RemoveTrigger(std::uint16_t handle) {
  if (portState_ != TPortState::psOpen) return;
  Check(dispatcher_->RemoveTrigger(handle));
}

// ---- Assign --------------------------------------------------------------------------------

void TApdCustomComPort::Assign(const TApdCustomComPort& source) {
  if (&source == this) return;
  callbacks_ = source.callbacks_;
  if (source.portState_ == TPortState::psOpen && source.dispatcher_) {
    if (!savedTriggers_) savedTriggers_ = std::make_unique<TTriggerSnapshot>();
    TApdBaseDispatcher::FreeTriggerSnapshot(*savedTriggers_);
    source.dispatcher_->SaveTriggers(*savedTriggers_);
    triggersSaved_ = true;
  }
  forceSettings_ = source.forceSettings_;
  deviceLayer_ = source.deviceLayer_;
  comNumber_ = source.comNumber_;
  baud_ = source.baud_;
  parity_ = source.parity_;
  dataBits_ = source.dataBits_;
  stopBits_ = source.stopBits_;
  inSize_ = source.inSize_;
  outSize_ = source.outSize_;
  autoOpen_ = source.autoOpen_;
  promptForPort_ = source.promptForPort_;
  rs485Mode_ = source.rs485Mode_;
  priorityBoost_ = source.priorityBoost_;
  dtr_ = source.dtr_;
  rts_ = source.rts_;
  bufferFull_ = source.bufferFull_;
  bufferResume_ = source.bufferResume_;
  hwFlowOptions_ = source.hwFlowOptions_;
  swFlowOptions_ = source.swFlowOptions_;
  xOnChar_ = source.xOnChar_;
  xOffChar_ = source.xOffChar_;
  tracing_ = source.tracing_;
  traceSize_ = source.traceSize_;
  traceName_ = source.traceName_;
  traceHex_ = source.traceHex_;
  traceAllHex_ = source.traceAllHex_;
  logging_ = source.logging_;
  logSize_ = source.logSize_;
  logName_ = source.logName_;
  logHex_ = source.logHex_;
  logAllHex_ = source.logAllHex_;
  triggerLength_ = source.triggerLength_;
  SetOpen(false);
  SetOnTrigger(source.onTrigger_);
  SetOnTriggerAvail(source.onTriggerAvail_);
  SetOnTriggerData(source.onTriggerData_);
  SetOnTriggerStatus(source.onTriggerStatus_);
  SetOnTriggerTimer(source.onTriggerTimer_);
  OnPortOpen = source.OnPortOpen;
  OnPortClose = source.OnPortClose;
  tapiMode_ = source.tapiMode_;
}

}  // namespace velmora::serial
