#include "ui/BridgeSession.h"

#include <condition_variable>
#include <exception>
#include <mutex>

#include "core/WindowModel.h"
#include "platform/MessagePump.h"
#include "ui/ChoiceMemory.h"
#include "ui/FormActions.h"
#include "ui/MainWindowHandlers.h"

namespace velmora::ui {

namespace {

// The model's link to the view.
class ModelLink final : public ViewLink {
 public:
  ModelLink(const core::WindowModel& model, FormActions::Poster post,
            std::optional<core::WindowPosition> position, std::string profile)
      : model_(model), post_(std::move(post)), position_(position), profile_(std::move(profile)) {}

  core::WindowSnapshot Snapshot() const override { return model_.Snapshot(); }
  void Post(Action action) const override { post_(std::move(action)); }
  void SetWake(std::function<void()> wake) override {
    const std::lock_guard lock(wakeMutex_);
    wake_ = std::move(wake);
  }
  std::optional<core::WindowPosition> Position() const override { return position_; }
  std::string Profile() const override { return profile_; }
  void ViewGone() override {
    const std::lock_guard lock(wakeMutex_);
    wake_ = nullptr;
    viewGone_ = true;
    gone_.notify_all();
  }
  // Bridge thread.
  void Wake() const {
    const std::lock_guard lock(wakeMutex_);
    if (wake_) wake_();
  }
  void WaitViewGone() {
    std::unique_lock lock(wakeMutex_);
    gone_.wait(lock, [this] { return viewGone_; });
  }

 private:
  const core::WindowModel& model_;
  const FormActions::Poster post_;
  const std::optional<core::WindowPosition> position_;
  const std::string profile_;
  // Guards wake_ and viewGone_: set by the view's thread, read by the bridge's.
  mutable std::mutex wakeMutex_;
  std::condition_variable gone_;
  std::function<void()> wake_;
  bool viewGone_ = false;
};

}  // namespace

int RunBridgeSession(core::Bridge& bridge, core::SettingsStore& settings,
                     const std::function<void(ViewLink& link)>& offer) {
  auto& pump = platform::MessagePump::current();
  pump.resetQuit();  // a thread's earlier session
  core::WindowModel model;
  model.SetLineSource([&bridge] { return bridge.PortLineSettings(); });
  model.SetMessagesSource([&bridge] { return bridge.Messages(); });
  model.SetCountsSource([&bridge] { return bridge.Counts(); });
  model.SetCaptureSource([&bridge] { return bridge.CapturePath(); });
  TfmMain form(bridge, model);
  ChoiceMemory memory(form, model, settings);
  FormActions actions(form, model, [&memory](const core::WindowPosition& at) { memory.Moved(at); });
  actions.OnClose = [&pump] { pump.quit(); };
  form.CloseWindow = [&pump] { pump.quit(); };
  pump.setErrorReport([&model](std::exception_ptr error) { model.Report(core::MessageOf(error)); });
  ModelLink link(model, actions.poster(), memory.Position(), settings.Profile());
  model.SetOnPublished([&link] { link.Wake(); });
  offer(link);
  try {
    form.FormCreate();
  } catch (...) {
    model.Report(core::MessageOf(std::current_exception()));
  }
  memory.Started();
  pump.run();
  form.FormClose();
  // The devices go while the model's lamps, which the light controller drives, still exist.
  bridge.Finalize();
  model.SetClosed();
  model.SetOnPublished(nullptr);
  pump.setErrorReport(nullptr);
  // The view reads the model through the link until it has gone.
  link.WaitViewGone();
  return 0;
}

}  // namespace velmora::ui
