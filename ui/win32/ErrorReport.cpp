#include "ui/win32/ErrorReport.h"

#include <cstdio>

#include "ui/win32/Text.h"

namespace velmora::ui::win32 {

ErrorReport::ErrorReport(const platform::Clock& clock) : clock_(clock) {
  show_ = [this](const std::string& message) {
    MessageBoxW(owner_, Wide(message).c_str(), L"Velmora", MB_OK | MB_ICONERROR);
  };
}

bool ErrorReport::admit(const std::string& message) {
  const auto now = clock_.now();
  std::erase_if(entries_, [&](const auto& item) {
    const Entry& entry = item.second;
    return !entry.open && entry.closedAt && now - *entry.closedAt >= kQuietTime;
  });
  auto& entry = entries_[message];
  if (entry.open || (entry.closedAt && now - *entry.closedAt < kQuietTime)) {
    ++entry.repeats;
    return false;
  }
  entry.open = true;
  entry.repeats = 0;
  return true;
}

void ErrorReport::closed(const std::string& message) {
  auto found = entries_.find(message);
  if (found == entries_.end()) return;
  found->second.open = false;
  found->second.closedAt = clock_.now();
  if (found->second.repeats > 0) {
    std::fprintf(stderr, "velmora: \"%s\" repeated %d times\n", message.c_str(),
                 found->second.repeats);
  }
}

void ErrorReport::Report(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    Report(std::string(e.what()));
  } catch (...) {
    Report(std::string("Erreur inconnue"));
  }
}

void ErrorReport::Report(const std::string& message) {
  if (!admit(message)) return;
  ++shown_;
  try {
    if (show_) show_(message);
  } catch (...) {
    std::fprintf(stderr, "velmora: %s\n", message.c_str());
  }
  closed(message);
}

}  // namespace velmora::ui::win32
