#pragma once

#include "serial/OoMisc.h"

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
  void SetLitColor(TColor color) {
    if (color == litColor_) return;
    litColor_ = color;
    Changed();
  }
  TColor NotLitColor() const { return notLitColor_; }
  void SetNotLitColor(TColor color) {
    if (color == notLitColor_) return;
    notLitColor_ = color;
    Changed();
  }
  TColor CurrentColor() const { return lit_ ? litColor_ : notLitColor_; }
  std::string Version() const { return "v4.05"; }

 protected:
  virtual void Changed() {}

 private:
  bool lit_ = false;
  TColor litColor_ = clRed;
  TColor notLitColor_ = clGreen;
};

}  // namespace velmora::serial
