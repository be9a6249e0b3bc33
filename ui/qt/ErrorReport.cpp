#include "ui/qt/ErrorReport.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

#include "ui/qt/ProgramInfo.h"

namespace velmora::ui::qt {

bool ReportThrottle::Admit(const std::string& message) {
  const auto now = clock_.now();
  forgetQuiet(now);
  auto& entry = entries_[message];
  if (entry.open || (entry.closedAt && now - *entry.closedAt < kQuietTime)) {
    ++entry.repeats;
    return false;
  }
  entry.open = true;
  entry.repeats = 0;
  return true;
}

void ReportThrottle::Closed(const std::string& message) {
  auto found = entries_.find(message);
  if (found == entries_.end()) return;
  found->second.open = false;
  found->second.closedAt = clock_.now();
}

int ReportThrottle::Repeats(const std::string& message) const {
  auto found = entries_.find(message);
  return found == entries_.end() ? 0 : found->second.repeats;
}

void ReportThrottle::forgetQuiet(platform::Clock::time_point now) {
  std::erase_if(entries_, [&](const auto& item) {
    const Entry& entry = item.second;
    return !entry.open && entry.closedAt && now - *entry.closedAt >= kQuietTime;
  });
}

ErrorReport::ErrorReport(const platform::Clock& clock)
    : throttle_(clock), show_(&ErrorReport::ShowMessageBox) {}

std::string ErrorReport::MessageOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Erreur inconnue";
  }
}

void ErrorReport::Report(std::exception_ptr error) {
  Report(MessageOf(error));
}

void ErrorReport::Report(const std::string& message) {
  if (!throttle_.Admit(message)) return;
  ++shown_;
  try {
    if (show_) show_(message);
  } catch (...) {
    std::fprintf(stderr, "velmora: %s\n", message.c_str());
  }
  throttle_.Closed(message);
  if (const int repeats = throttle_.Repeats(message); repeats > 0) {
    std::fprintf(stderr, "velmora: \"%s\" repeated %d times\n", message.c_str(), repeats);
  }
}

void ErrorReport::ShowMessageBox(const std::string& message) {
  QMessageBox box(QMessageBox::Critical, QString::fromUtf8(ProgramInfo::kName),
                  QString::fromStdString(message), QMessageBox::Ok, QApplication::activeWindow());
  box.exec();
}

}  // namespace velmora::ui::qt
