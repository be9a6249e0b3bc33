#include "core/LogLines.h"

#include <stdexcept>
#include <utility>

namespace velmora::core {

namespace {
void CheckIndex(int index, int count) {
  if (index < 0 || index >= count) throw std::out_of_range("List index out of bounds");
}
}  // namespace

void LogLines::Append(std::string_view line) {
  if (static_cast<std::size_t>(count_) == ring_.size()) {
    // Full: a larger ring, in order from its start.
    std::vector<std::string> larger(ring_.empty() ? 16 : ring_.size() * 2);
    for (int i = 0; i < count_; ++i) larger[static_cast<std::size_t>(i)] = std::move(slot(i));
    ring_ = std::move(larger);
    head_ = 0;
  }
  slot(count_).assign(line);
  ++count_;
}

void LogLines::Delete(int index) {
  CheckIndex(index, Count());
  if (index == 0) {
    head_ = (head_ + 1) % ring_.size();
  } else {
    // The deleted string moves past the last line, where the next one reuses it.
    for (int i = index; i < count_ - 1; ++i) std::swap(slot(i), slot(i + 1));
  }
  --count_;
  if (selected_ >= Count()) selected_ = Count() - 1;
}

void LogLines::Clear() {
  head_ = 0;
  count_ = 0;
  selected_ = -1;
}

const std::string& LogLines::Line(int index) const {
  CheckIndex(index, Count());
  return ring_[(head_ + static_cast<std::size_t>(index)) % ring_.size()];
}

}  // namespace velmora::core
