#include "serial/StatusLightController.h"

#include "serial/ComPort.h"
#include "serial/Errors.h"

namespace velmora::serial {

namespace {

constexpr std::uint16_t kModemStatus = 1;
constexpr std::uint16_t kLineError = 2;
constexpr std::uint16_t kOutSent = 5;
constexpr std::uint16_t kErrorBits = 7;  // overrun, parity, framing
constexpr std::uint16_t kBreakBits = 8;

void SetLamp(TApdCustomStatusLight* lamp, bool lit) {
  if (lamp) lamp->SetLit(lit);
}

}  // namespace

TApdCustomSLController::TApdCustomSLController() = default;

TApdCustomSLController::~TApdCustomSLController() {
  if (comPort_ && portAlive_.expired()) return;  // the port went first, with its triggers
  try {
    SetMonitoring(false);
  } catch (...) {  // a destructor never throws; the triggers go with the port's dispatcher
  }
  if (comPort_)
    comPort_->RemovePortCallback(TPortCallback(this, &TApdCustomSLController::PortOpenClose));
}

void TApdCustomSLController::SetLights(std::unique_ptr<TLightSet> lights) {
  lights_ = lights ? std::move(lights) : std::make_unique<TLightSet>();
}

void TApdCustomSLController::SetComPort(TApdCustomComPort* port) {
  if (port == comPort_) return;
  const TPortCallback callback(this, &TApdCustomSLController::PortOpenClose);
  if (comPort_) comPort_->RemovePortCallback(callback);
  const bool wasMonitoring = monitoring_;
  SetMonitoring(false);
  comPort_ = port;
  portAlive_ = port ? port->Lifetime() : std::weak_ptr<const void>{};
  if (comPort_) comPort_->AddPortCallback(callback);
  SetMonitoring(wasMonitoring);
}

void TApdCustomSLController::SetMonitoring(bool value) {
  if (value == monitoring_ && !(monitorOnOpen_ && !value)) return;
  if (!comPort_) throw EPortNotAssigned(-1005);
  if (!comPort_->Open()) {
    monitorOnOpen_ = value;
    if (value) return;
  }
  if (value == monitoring_) return;
  if (value) {
    savedTriggerAvail_ = comPort_->OnTriggerAvail();
    savedTriggerStatus_ = comPort_->OnTriggerStatus();
    savedTriggerTimer_ = comPort_->OnTriggerTimer();
    comPort_->SetOnTriggerAvail(ownAvail_);
    comPort_->SetOnTriggerStatus(TTriggerStatusEvent(this, &TApdCustomSLController::TriggerStatus));
    comPort_->SetOnTriggerTimer(TTriggerTimerEvent(this, &TApdCustomSLController::TriggerTimer));
    monitoring_ = true;
    try {
      InitTriggers();
    } catch (...) {
      // Back to off as if nothing happened: the port's own handlers, no triggers.
      monitoring_ = false;
      comPort_->SetOnTriggerAvail(savedTriggerAvail_);
      comPort_->SetOnTriggerStatus(savedTriggerStatus_);
      comPort_->SetOnTriggerTimer(savedTriggerTimer_);
      savedTriggerAvail_ = nullptr;
      savedTriggerStatus_ = nullptr;
      savedTriggerTimer_ = nullptr;
      UpdateLamps();
      throw;
    }
  } else {
    monitoring_ = false;
    comPort_->SetOnTriggerAvail(savedTriggerAvail_);
    comPort_->SetOnTriggerStatus(savedTriggerStatus_);
    comPort_->SetOnTriggerTimer(savedTriggerTimer_);
    savedTriggerAvail_ = nullptr;
    savedTriggerStatus_ = nullptr;
    savedTriggerTimer_ = nullptr;
    try {
      RemoveTriggers();
    } catch (...) {
      UpdateLamps();
      throw;
    }
  }
  UpdateLamps();
}

void TApdCustomSLController::UpdateLamps() {
  auto& l = *lights_;
  for (auto* lamp : {l.CTSLight, l.DSRLight, l.DCDLight, l.RINGLight, l.TXDLight, l.RXDLight,
                     l.ERRORLight, l.BREAKLight})
    SetLamp(lamp, false);
  if (comPort_ && monitoring_) {
    if (l.CTSLight) l.CTSLight->SetLit(comPort_->CTS());
    if (l.DSRLight) l.DSRLight->SetLit(comPort_->DSR());
    if (l.DCDLight) l.DCDLight->SetLit(comPort_->DCD());
  }
}

void TApdCustomSLController::ClearHandles() {
  modemMask_ = 0;
  modemTrigger_ = errorTrigger_ = breakTrigger_ = 0;
  errorOffTimer_ = breakOffTimer_ = rxdOffTimer_ = 0;
  txdTrigger_ = txdOffTimer_ = ringOffTimer_ = 0;
}

void TApdCustomSLController::InitTriggers() {
  ClearHandles();
  if (!comPort_) return;
  auto& port = *comPort_;
  const auto& l = *lights_;
  const auto handle = [](std::int32_t h) { return static_cast<std::uint16_t>(h); };
  try {
    const bool modem = l.CTSLight || l.DSRLight || l.DCDLight || l.RINGLight;
    if (modem) {
      modemTrigger_ = handle(port.AddStatusTrigger(kModemStatus));
      if (l.RINGLight) ringOffTimer_ = handle(port.AddTimerTrigger());
    }
    if (l.ERRORLight) {
      errorTrigger_ = handle(port.AddStatusTrigger(kLineError));
      errorOffTimer_ = handle(port.AddTimerTrigger());
    }
    if (l.BREAKLight) {
      breakTrigger_ = handle(port.AddStatusTrigger(kLineError));
      breakOffTimer_ = handle(port.AddTimerTrigger());
    }
    if (l.RXDLight) rxdOffTimer_ = handle(port.AddTimerTrigger());
    if (l.TXDLight) {
      txdTrigger_ = handle(port.AddStatusTrigger(kOutSent));
      txdOffTimer_ = handle(port.AddTimerTrigger());
    }
    if (l.CTSLight) modemMask_ |= 0x10;
    if (l.DSRLight) modemMask_ |= 0x20;
    if (l.DCDLight) modemMask_ |= 0x80;
    if (l.RINGLight) modemMask_ |= 0x04;
    if (modem) port.SetStatusTrigger(modemTrigger_, modemMask_, true);
    if (l.ERRORLight) port.SetStatusTrigger(errorTrigger_, kErrorBits, true);
    if (l.BREAKLight) port.SetStatusTrigger(breakTrigger_, kBreakBits, true);
    if (l.TXDLight) port.SetStatusTrigger(txdTrigger_, 0, true);
  } catch (...) {
    modemMask_ = 0;
    try {
      RemoveTriggers();
    } catch (...) {  // the creation's failure is the one reported
    }
    throw;
  }
}

void TApdCustomSLController::RemoveTriggers() {
  if (!comPort_) return;
  auto& port = *comPort_;
  // Removes every handle that was made, even when one removal fails; the first failure is
  // raised afterwards.
  std::exception_ptr failure;
  const auto remove = [&](std::uint16_t h) {
    if (h == 0) return;
    try {
      port.RemoveTrigger(h);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  };
  for (auto h : {modemTrigger_, ringOffTimer_, errorTrigger_, errorOffTimer_, breakTrigger_,
                 breakOffTimer_, rxdOffTimer_, txdTrigger_, txdOffTimer_})
    remove(h);
  ClearHandles();
  if (failure) std::rethrow_exception(failure);
}

void TApdCustomSLController::TriggerAvail(TApdCustomComPort& cp, std::uint16_t count) {
  if (!comPort_) return;
  auto* rxd = lights_->RXDLight;
  if (rxd && !rxd->Lit()) {
    rxd->SetLit(true);
    comPort_->SetTimerTrigger(rxdOffTimer_, RXDOffTimeout, true);
    // Lit, the lamp needs no news of arrivals until it goes dark: unless the port has a handler
    // of its own, its window stops asking for them, and reading no longer waits for this thread
    // at every block.
    if (!savedTriggerAvail_) comPort_->SetOnTriggerAvail(nullptr);
  }
  if (savedTriggerAvail_) savedTriggerAvail_(cp, count);
}

void TApdCustomSLController::TriggerStatus(TApdCustomComPort& cp, std::uint16_t handle) {
  if (!comPort_) return;
  auto& port = *comPort_;
  auto& l = *lights_;
  if (handle == 0) {
  } else if (handle == modemTrigger_) {
    const auto follow = [](TApdCustomStatusLight* lamp, bool state) {
      if (lamp && lamp->Lit() != state) lamp->SetLit(state);
    };
    if (l.DCDLight) follow(l.DCDLight, port.DCD());
    if (l.CTSLight) follow(l.CTSLight, port.CTS());
    if (l.DSRLight) follow(l.DSRLight, port.DSR());
    if (l.RINGLight && port.RI() && !l.RINGLight->Lit()) {
      l.RINGLight->SetLit(true);
      port.SetTimerTrigger(ringOffTimer_, RingOffTimeout, true);
    }
    port.SetStatusTrigger(modemTrigger_, modemMask_, true);
  } else if (handle == errorTrigger_) {
    SetLamp(l.ERRORLight, true);
    port.SetTimerTrigger(errorOffTimer_, ErrorOffTimeout, true);
    port.LineError();
  } else if (handle == breakTrigger_) {
    SetLamp(l.BREAKLight, true);
    port.SetTimerTrigger(breakOffTimer_, BreakOffTimeout, true);
    port.LineBreak();
  } else if (handle == txdTrigger_) {
    SetLamp(l.TXDLight, true);
    port.SetTimerTrigger(txdOffTimer_, TXDOffTimeout, true);
  }
  if (savedTriggerStatus_) savedTriggerStatus_(cp, handle);
}

void TApdCustomSLController::TriggerTimer(TApdCustomComPort& cp, std::uint16_t handle) {
  if (!comPort_) return;
  auto& port = *comPort_;
  auto& l = *lights_;
  if (handle == 0) {
  } else if (handle == errorOffTimer_) {
    SetLamp(l.ERRORLight, false);
    port.SetStatusTrigger(errorTrigger_, kErrorBits, true);
  } else if (handle == breakOffTimer_) {
    SetLamp(l.BREAKLight, false);
    port.SetStatusTrigger(breakTrigger_, kBreakBits, true);
  } else if (handle == rxdOffTimer_) {
    if (port.InBuffUsed() != 0) {
      port.SetTimerTrigger(rxdOffTimer_, RXDOffTimeout, true);
    } else {
      SetLamp(l.RXDLight, false);
      if (monitoring_ && !savedTriggerAvail_) port.SetOnTriggerAvail(ownAvail_);
    }
  } else if (handle == txdOffTimer_) {
    if (port.OutBuffUsed() != 0) {
      port.SetTimerTrigger(txdOffTimer_, TXDOffTimeout, true);
    } else {
      SetLamp(l.TXDLight, false);
      port.SetStatusTrigger(txdTrigger_, 0, true);
    }
  } else if (handle == ringOffTimer_) {
    SetLamp(l.RINGLight, false);
  }
  if (savedTriggerTimer_) savedTriggerTimer_(cp, handle);
}

void TApdCustomSLController::PortOpenClose(TApdCustomComPort&, bool opening) {
  if (!opening) {
    // Monitoring that was on comes back by itself at the next open.
    const bool resume = monitoring_ || monitorOnOpen_;
    SetMonitoring(false);
    monitorOnOpen_ = resume;
    return;
  }
  if (monitorOnOpen_) {
    monitorOnOpen_ = false;
    SetMonitoring(true);
  }
}

}  // namespace velmora::serial
