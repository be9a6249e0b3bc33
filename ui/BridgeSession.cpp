#include "ui/BridgeSession.h"

#include <condition_variable>
#include <cstdio>
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

// From the offer on, the view may read the link: however the session ends, an exception
// included, the devices close, the model says so, and the link lasts until the view has gone.
class OfferedLink {
 public:
  OfferedLink(core::Bridge& bridge, core::WindowModel& model, ModelLink& link)
      : bridge_(bridge), model_(model), link_(link) {}
  ~OfferedLink() {
    // The devices go while the model's lamps, which the light controller drives, still exist.
    bridge_.Finalize();
    model_.SetClosed();
    model_.SetOnPublished(nullptr);
    platform::MessagePump::current().setErrorReport(nullptr);
    link_.WaitViewGone();
  }
  OfferedLink(const OfferedLink&) = delete;
  OfferedLink& operator=(const OfferedLink&) = delete;

 private:
  core::Bridge& bridge_;
  core::WindowModel& model_;
  ModelLink& link_;
};

}  // namespace

int RunBridgeSession(core::Bridge& bridge, core::SettingsStore& settings,
                     const std::function<void(ViewLink& link)>& offer,
                     std::function<std::optional<bool>()> timing) {
  auto& pump = platform::MessagePump::current();
  pump.resetQuit();  // a thread's earlier session
  core::WindowModel model;
  model.SetLineSource([&bridge] { return bridge.PortLineSettings(); });
  model.SetMessagesSource([&bridge] { return bridge.Messages(); });
  model.SetCountsSource([&bridge] { return bridge.Counts(); });
  model.SetCaptureSource([&bridge] { return bridge.CapturePath(); });
  model.SetCaptureStopSource([&bridge] { return bridge.CaptureStopped(); });
  model.SetTimingSource(std::move(timing));
  TfmMain form(bridge, model);
  ChoiceMemory memory(form, model, settings);
  FormActions actions(form, model, [&memory](const core::WindowPosition& at) { memory.Moved(at); });
  actions.OnClose = [&pump] { pump.quit(); };
  form.CloseWindow = [&pump] { pump.quit(); };
  pump.setErrorReport([&model](std::exception_ptr error) { model.Report(core::MessageOf(error)); });
  ModelLink link(model, actions.poster(), memory.Position(), settings.Profile());
  model.SetOnPublished([&link] { link.Wake(); });
  const OfferedLink offered(bridge, model, link);
  offer(link);
  try {
    form.FormCreate();
  } catch (...) {
    model.Report(core::MessageOf(std::current_exception()));
  }
  memory.Started();
  pump.run();
  form.FormClose();
  // What waits for the line goes out before the devices close; what cannot is told. A close
  // the view posts again meanwhile must not cut the waits short.
  actions.OnClose = [] {};
  form.CloseWindow = nullptr;
  pump.resetQuit();
  const std::string left = bridge.DrainForExit();
  if (!left.empty()) std::fprintf(stderr, "%s\n", left.c_str());
  return 0;
}

}  // namespace velmora::ui
