#include "core/LogLines.h"

#include <stdexcept>

namespace velmora::core {

namespace {
void CheckIndex(int index, int count) {
  if (index < 0 || index >= count) throw std::out_of_range("List index out of bounds");
}
}  // namespace

void LogLines::Delete(int index) {
  CheckIndex(index, Count());
  lines_.erase(lines_.begin() + index);
  if (selected_ >= Count()) selected_ = Count() - 1;
}

void LogLines::Clear() {
  lines_.clear();
  selected_ = -1;
}

const std::string& LogLines::Line(int index) const {
  CheckIndex(index, Count());
  return lines_[static_cast<std::size_t>(index)];
}

}  // namespace velmora::core
