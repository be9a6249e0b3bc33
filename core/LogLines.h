#pragma once

#include <deque>
#include <string>

namespace velmora::core {

// The log's lines and its selected line, as the window surface's log operations see them; a
// window paints them when it likes. One thread (the UI thread).
class LogLines {
 public:
  int Count() const { return static_cast<int>(lines_.size()); }
  // Throws std::out_of_range for an index that is not a line, as a list control does.
  void Delete(int index);
  void Append(const std::string& line) { lines_.push_back(line); }
  void Clear();
  const std::string& Line(int index) const;
  void SetSelected(int index) { selected_ = index >= 0 && index < Count() ? index : -1; }
  int Selected() const { return selected_; }

 private:
  std::deque<std::string> lines_;
  int selected_ = -1;
};

}  // namespace velmora::core
