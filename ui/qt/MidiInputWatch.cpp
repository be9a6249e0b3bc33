#include "ui/qt/MidiInputWatch.h"

namespace velmora::ui::qt {

MidiInputWatch::MidiInputWatch(platform::midi::MidiService& service) {
  const int ready = service.CallerDeliversInput();
  if (ready < 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(ready, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated,
                   [&service] { service.DeliverInput(); });
}

}  // namespace velmora::ui::qt
