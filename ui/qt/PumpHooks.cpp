#include "ui/qt/PumpHooks.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <algorithm>

#include "platform/MessagePump.h"

namespace velmora::ui::qt {

namespace {
const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// A pass nested in a handler (a device's switching delay) takes the wake-up meant for the loop
// below it: a quit asked for meanwhile (the window closed, SIGTERM) would leave that loop asleep
// until its next event, up to half a minute later. Waking it once more costs it one turn.
void WakeTheLoopBelow() {
  if (auto* dispatcher = QAbstractEventDispatcher::instance()) dispatcher->wakeUp();
}
}  // namespace

void PumpHooks::Target::schedule() {
  std::lock_guard lock(mutex);
  if (object == nullptr || scheduled.exchange(true)) return;
  QCoreApplication::postEvent(object, new QEvent(kWakeEvent));
}

PumpHooks::PumpHooks(QObject* parent) : QObject(parent), target_(std::make_shared<Target>()) {
  target_->object = this;
  platform::MessagePump::ToolkitHooks hooks;
  hooks.wake = [target = target_] { target->schedule(); };
  hooks.processEvents = [] {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    WakeTheLoopBelow();
  };
  hooks.waitEvents = [](std::chrono::milliseconds bound) {
    auto* dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher == nullptr) return;
    // Any event ends the wait (a wake event too); the timer only bounds it.
    QTimer limit;
    limit.setSingleShot(true);
    limit.start(static_cast<int>(std::min<std::chrono::milliseconds::rep>(bound.count(), 1 << 30)));
    dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
    WakeTheLoopBelow();
  };
  auto& pump = platform::MessagePump::current();
  pump.setToolkitHooks(std::move(hooks));
  // Messages posted before the hooks existed would otherwise wait for the next post.
  if (pump.waitingCount() > 0) target_->schedule();
}

PumpHooks::~PumpHooks() {
  platform::MessagePump::current().setToolkitHooks({});
  std::lock_guard lock(target_->mutex);
  target_->object = nullptr;
}

bool PumpHooks::event(QEvent* event) {
  if (event->type() != kWakeEvent) return QObject::event(event);
  target_->scheduled = false;
  if (passDepth_ >= kMaxNesting) {
    missed_ = true;
    return true;
  }
  auto& pump = platform::MessagePump::current();
  {
    struct Depth {
      int& depth;
      explicit Depth(int& d) : depth(++d) {}
      ~Depth() { --depth; }
    } depth(passDepth_);
    pump.dispatchWaiting();  // Qt's loop is handling its events already
  }
  if (missed_ || pump.waitingCount() > 0) {
    missed_ = false;
    target_->schedule();
  }
  return true;
}

}  // namespace velmora::ui::qt
