#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora::core {

// The log's lines and its selected line, as the window surface's log operations see them; a
// window paints them when it likes. The lines live in a ring whose strings are reused: a log
// that scrolls allocates nothing once its lines are as long as they get. One thread (the UI
// thread).
class LogLines {
 public:
  int Count() const { return count_; }
  // Throws std::out_of_range for an index that is not a line, as a list control does.
  void Delete(int index);
  void Append(std::string_view line);
  void Clear();
  const std::string& Line(int index) const;
  void SetSelected(int index) { selected_ = index >= 0 && index < Count() ? index : -1; }
  int Selected() const { return selected_; }

 private:
  std::string& slot(int index) {
    return ring_[(head_ + static_cast<std::size_t>(index)) % ring_.size()];
  }

  std::vector<std::string> ring_;  // the lines from head_ on, then free strings
  std::size_t head_ = 0;
  int count_ = 0;
  int selected_ = -1;
};

}  // namespace velmora::core
