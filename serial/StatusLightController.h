#pragma once

#include <cstdint>
#include <memory>

#include "serial/ComponentBase.h"

namespace velmora::serial {

// A lamp that shows a Boolean. The drawing belongs to the window toolkit: a widget derives from
// this class and repaints in Changed().
class TApdCustomStatusLight {
 public:
  virtual ~TApdCustomStatusLight() = default;

  bool Lit() const { return lit_; }
  void SetLit(bool lit) {
    if (lit == lit_) return;
    lit_ = lit;
    Changed();
  }
  TColor LitColor() const { return litColor_; }
  // A colour that is not on show needs no repaint; it shows at the next change of Lit.
  void SetLitColor(TColor color) {
    if (color == litColor_) return;
    litColor_ = color;
    if (!GlyphShown() && lit_) Changed();
  }
  TColor NotLitColor() const { return notLitColor_; }
  void SetNotLitColor(TColor color) {
    if (color == notLitColor_) return;
    notLitColor_ = color;
    if (!GlyphShown() && !lit_) Changed();
  }
  TColor CurrentColor() const { return lit_ ? litColor_ : notLitColor_; }
  std::string Version() const { return "v4.05"; }

 protected:
  virtual void Changed() {}
  // Whether the lamp paints a glyph instead of the colours (the widget that holds the glyph
  // tells).
  virtual bool GlyphShown() const { return false; }

 private:
  bool lit_ = false;
  TColor litColor_ = clRed;
  TColor notLitColor_ = clGreen;
};

class TApdCustomComPort;

// The lamps a controller drives. The set does not own them; null means not assigned.
struct TLightSet {
  TApdCustomStatusLight* CTSLight = nullptr;
  TApdCustomStatusLight* DSRLight = nullptr;
  TApdCustomStatusLight* DCDLight = nullptr;
  TApdCustomStatusLight* RINGLight = nullptr;
  TApdCustomStatusLight* TXDLight = nullptr;
  TApdCustomStatusLight* RXDLight = nullptr;
  TApdCustomStatusLight* ERRORLight = nullptr;
  TApdCustomStatusLight* BREAKLight = nullptr;
};

// Watches one port through its triggers and drives the lamps of its light set. Runs on the UI
// thread only: the port raises the trigger events there.
class TApdCustomSLController : public TApdBaseComponent {
 public:
  TApdCustomSLController();
  ~TApdCustomSLController() override;
  TApdCustomSLController(const TApdCustomSLController&) = delete;
  TApdCustomSLController& operator=(const TApdCustomSLController&) = delete;

  TApdCustomComPort* ComPort() const { return comPort_; }
  void SetComPort(TApdCustomComPort* port);
  bool Monitoring() const { return monitoring_; }
  void SetMonitoring(bool value);
  bool MonitorOnOpen() const { return monitorOnOpen_; }

  // The lamps. The controller owns its set; replacing it with SetLights hands the new one over
  // (and frees the old).
  TLightSet& Lights() { return *lights_; }
  void SetLights(std::unique_ptr<TLightSet> lights);

  std::int32_t ErrorOffTimeout = 36;
  std::int32_t BreakOffTimeout = 36;
  std::int32_t RXDOffTimeout = 1;
  std::int32_t TXDOffTimeout = 1;
  std::int32_t RingOffTimeout = 8;

  // Trigger handles while monitoring (0: none).
  std::uint16_t ModemMask() const { return modemMask_; }
  std::uint16_t ModemTrigger() const { return modemTrigger_; }
  std::uint16_t ErrorTrigger() const { return errorTrigger_; }
  std::uint16_t BreakTrigger() const { return breakTrigger_; }
  std::uint16_t ErrorOffTimer() const { return errorOffTimer_; }
  std::uint16_t BreakOffTimer() const { return breakOffTimer_; }
  std::uint16_t RXDOffTimer() const { return rxdOffTimer_; }
  std::uint16_t TXDTrigger() const { return txdTrigger_; }
  std::uint16_t TXDOffTimer() const { return txdOffTimer_; }
  std::uint16_t RingOffTimer() const { return ringOffTimer_; }

 private:
  void InitTriggers();
  void RemoveTriggers();
  void ClearHandles();
  void UpdateLamps();
  void TriggerAvail(TApdCustomComPort& cp, std::uint16_t count);
  void TriggerStatus(TApdCustomComPort& cp, std::uint16_t handle);
  void TriggerTimer(TApdCustomComPort& cp, std::uint16_t handle);
  void PortOpenClose(TApdCustomComPort& cp, bool opening);

  TApdCustomComPort* comPort_ = nullptr;
  std::weak_ptr<const void> portAlive_;  // expired once comPort_ is destroyed
  bool monitoring_ = false;
  bool monitorOnOpen_ = false;
  std::unique_ptr<TLightSet> lights_ = std::make_unique<TLightSet>();
  // The controller's avail handler, the same object each time it is given to the port.
  const TMethod<void(TApdCustomComPort&, std::uint16_t)> ownAvail_{
      this, &TApdCustomSLController::TriggerAvail};
  // The port's own handlers while monitoring; called after the controller's.
  TMethod<void(TApdCustomComPort&, std::uint16_t)> savedTriggerAvail_;
  TMethod<void(TApdCustomComPort&, std::uint16_t)> savedTriggerStatus_;
  TMethod<void(TApdCustomComPort&, std::uint16_t)> savedTriggerTimer_;
  std::uint16_t modemMask_ = 0;
  std::uint16_t modemTrigger_ = 0;
  std::uint16_t errorTrigger_ = 0;
  std::uint16_t breakTrigger_ = 0;
  std::uint16_t errorOffTimer_ = 0;
  std::uint16_t breakOffTimer_ = 0;
  std::uint16_t rxdOffTimer_ = 0;
  std::uint16_t txdTrigger_ = 0;
  std::uint16_t txdOffTimer_ = 0;
  std::uint16_t ringOffTimer_ = 0;
};

// Publishes everything of TApdCustomSLController.
class TApdSLController : public TApdCustomSLController {};

}  // namespace velmora::serial
