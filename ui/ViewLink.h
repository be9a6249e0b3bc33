#pragma once

// What a window's view holds of the bridge thread: the model's snapshots, a way to hand it the
// user's actions, and a wake-up for each new snapshot. Every member may be called from any
// thread.

#include <functional>
#include <optional>
#include <string>

#include "core/Settings.h"
#include "core/WindowSnapshot.h"
#include "ui/FormActions.h"

namespace velmora::ui {

class ViewLink {
 public:
  virtual ~ViewLink() = default;
  virtual core::WindowSnapshot Snapshot() const = 0;
  virtual void Post(Action action) const = 0;
  // Called on the bridge thread after each snapshot is published; set it from the view's
  // thread, and clear it before the view goes.
  virtual void SetWake(std::function<void()> wake) = 0;
  // Where the window was left last time, if anywhere.
  virtual std::optional<core::WindowPosition> Position() const = 0;
  // The profile the gateway runs ("default" unless one was named): the window's title says it.
  virtual std::string Profile() const = 0;
  // The view is gone and holds the link no more: the bridge thread, its devices closed, may end
  // (and the link with it).
  virtual void ViewGone() = 0;
};

}  // namespace velmora::ui
