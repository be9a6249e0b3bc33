#include "core/ReportThrottle.h"

namespace velmora::core {

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

std::string MessageOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Erreur inconnue";
  }
}

}  // namespace velmora::core
