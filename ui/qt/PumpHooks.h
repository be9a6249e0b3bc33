#pragma once

#include <QObject>
#include <atomic>
#include <memory>
#include <mutex>

namespace velmora::ui::qt {

// Ties the UI thread's message pump to Qt's event loop: a post from any thread schedules a
// pump pass on Qt's loop, the pump's ProcessMessages lets Qt handle its events, and the pump's
// waits wait in Qt's loop, so that the window stays alive during Delay. Create and destroy it
// on the UI thread; it installs the hooks for its lifetime.
class PumpHooks final : public QObject {
 public:
  // Pump passes started from Qt's loop nest at most this deep; a wake-up past it is left to
  // the passes below, which handle what waits.
  static constexpr int kMaxNesting = 2;

  explicit PumpHooks(QObject* parent = nullptr);
  ~PumpHooks() override;
  PumpHooks(const PumpHooks&) = delete;
  PumpHooks& operator=(const PumpHooks&) = delete;

 protected:
  bool event(QEvent* event) override;

 private:
  // Shared with the waker, which runs on any thread and may outlive this object.
  struct Target {
    std::mutex mutex;                    // guards `object` against the destructor
    QObject* object = nullptr;           // null once the hooks are gone
    std::atomic<bool> scheduled{false};  // a wake event is on its way
    void schedule();
  };

  std::shared_ptr<Target> target_;
  int passDepth_ = 0;    // UI thread only
  bool missed_ = false;  // a wake-up arrived while too deep; UI thread only
};

}  // namespace velmora::ui::qt
