#include "ui/FormActions.h"

#include <algorithm>
#include <exception>

namespace velmora::ui {

namespace {
constexpr std::uint32_t kActionsWaiting = platform::WM_USER + 0x170;
}

FormActions::FormActions(TfmMain& form, core::WindowModel& model,
                         std::function<void(const core::WindowPosition&)> moved)
    : form_(form),
      model_(model),
      moved_(std::move(moved)),
      window_([this](const platform::Message&) -> std::intptr_t {
        runWaiting();
        return 0;
      }) {
  poster_.queue_ = std::make_shared<Poster::Queue>();
  poster_.wake_ = window_.ref();
}

FormActions::~FormActions() = default;

void FormActions::Poster::operator()(Action action) const {
  if (!queue_) return;
  bool wake = false;
  {
    const std::lock_guard lock(queue_->mutex);
    auto& actions = queue_->actions;
    const auto sameList = [&](const Action& waiting) {
      return waiting.kind == Action::Kind::Choose && waiting.list == action.list;
    };
    const auto found = action.kind == Action::Kind::Choose
                           ? std::find_if(actions.begin(), actions.end(), sameList)
                           : actions.end();
    if (found != actions.end()) {
      *found = std::move(action);  // the last choice of a list wins
    } else {
      wake = actions.empty();
      actions.push_back(std::move(action));
    }
  }
  if (wake) wake_.post(kActionsWaiting);
}

void FormActions::runWaiting() {
  // A device's switching delay handles messages: what comes meanwhile waits for this loop.
  if (running_) return;
  running_ = true;
  const std::unique_ptr<bool, void (*)(bool*)> done(&running_, [](bool* flag) { *flag = false; });
  auto& queue = *poster_.queue_;
  for (;;) {
    Action action;
    {
      const std::lock_guard lock(queue.mutex);
      if (queue.actions.empty()) return;
      action = std::move(queue.actions.front());
      queue.actions.pop_front();
    }
    try {
      run(action);
    } catch (...) {
      model_.Report(core::MessageOf(std::current_exception()));
    }
    if (action.kind == Action::Kind::Close) return;
  }
}

void FormActions::run(const Action& action) {
  using Kind = Action::Kind;
  switch (action.kind) {
    case Kind::Choose: {
      int index = -1;
      for (int i = 0; i < model_.ListCount(action.list); ++i) {
        if (model_.ListItem(action.list, i) == action.entry) index = i;
      }
      if (index < 0) return;  // the list changed under the user's choice: nothing to choose
      model_.ListSetSelected(action.list, index);
      if (action.list == core::DeviceList::ComPort) form_.cbComPortChange();
      if (action.list == core::DeviceList::MidiIn) form_.cbMIDIInChange();
      if (action.list == core::DeviceList::MidiOut) form_.cbMIDIOutChange();
      return;
    }
    case Kind::Reset:
      form_.Button1Click();
      return;
    case Kind::ClearLog:
      form_.btnLogClearClick();
      return;
    case Kind::LineSettings:
      form_.ActPortSettingsApply(action.line);
      return;
    case Kind::NoticeClosed:
      model_.NoticeClosed(action.notice);
      return;
    case Kind::Moved:
      if (moved_) moved_(action.position);
      return;
    case Kind::Close:
      if (OnClose) OnClose();
      return;
    case Kind::Messages:
      form_.ActMessagesApply(action.messages);
      model_.PublishNow();  // a dialog opened next shows the choice in force
      return;
    case Kind::StartCapture:
      form_.Bridge().StartCapture(action.entry);
      return;
    case Kind::StopCapture:
      form_.Bridge().StopCapture();
      return;
    case Kind::Panic:
      form_.ActPanicExecute();
      return;
  }
}

}  // namespace velmora::ui
