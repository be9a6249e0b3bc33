#pragma once

// What the user does in a window, handed from the view's thread to the bridge thread, where the
// window's handlers run them one at a time: an action that comes while another runs (a device
// switching lets messages through) waits its turn, and two choices in the same list coalesce
// to the last.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/Settings.h"
#include "core/WindowModel.h"
#include "platform/MessagePump.h"
#include "ui/MainWindowHandlers.h"

namespace velmora::ui {

struct Action {
  enum class Kind {
    Choose,
    Reset,
    ClearLog,
    LineSettings,
    NoticeClosed,
    Moved,
    Close,
    StartCapture,
    StopCapture,
    Messages,
    Panic
  };
  Action() = default;
  explicit Action(Kind what) : kind(what) {}

  Kind kind = Kind::Reset;
  core::DeviceList list = core::DeviceList::ComPort;  // Choose
  std::string entry;              // Choose: the entry's text, which names its device;
                                  // StartCapture: the file
  core::LineSettings line;        // LineSettings
  std::uint64_t notice = 0;       // NoticeClosed
  core::WindowPosition position;  // Moved: where the window is now
  core::MessageChoice messages;   // Messages: what crosses each way now

  static Action Choose(core::DeviceList list, std::string entry) {
    Action action(Kind::Choose);
    action.list = list;
    action.entry = std::move(entry);
    return action;
  }
};

class FormActions {
 public:
  // Bridge thread. `moved` is told of each Moved action.
  FormActions(TfmMain& form, core::WindowModel& model,
              std::function<void(const core::WindowPosition&)> moved = {});
  ~FormActions();
  FormActions(const FormActions&) = delete;
  FormActions& operator=(const FormActions&) = delete;

  // Hands actions to the bridge thread from any thread; copies may outlive the FormActions
  // (what they post then is dropped).
  class Poster {
   public:
    void operator()(Action action) const;

   private:
    friend class FormActions;
    struct Queue {
      std::mutex mutex;  // guards actions: the posting threads append, the bridge thread takes
      std::deque<Action> actions;
    };
    std::shared_ptr<Queue> queue_;
    platform::WindowRef wake_;
  };
  Poster poster() const { return poster_; }

  // Bridge thread: after a Close action ran (the bridge's loop ends there).
  std::function<void()> OnClose;

 private:
  void runWaiting();
  void run(const Action& action);

  TfmMain& form_;
  core::WindowModel& model_;
  std::function<void(const core::WindowPosition&)> moved_;
  bool running_ = false;  // bridge thread: an action runs (its nested passes start none)
  platform::MessageWindow window_;
  Poster poster_;
};

}  // namespace velmora::ui
