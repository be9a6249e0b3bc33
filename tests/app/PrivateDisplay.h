#pragma once

// An X server of the test's own (Xvfb picks a free display), where the window program's window
// can be moved as a user would move it: the offscreen platform has nothing outside to move.
// Xlib stays in its source file: its macros (None, Bool, Status) clash with everything else.

#include <sys/types.h>

#include <string>

namespace velmora::testing {

class PrivateDisplay {
 public:
  PrivateDisplay();  // not valid() when Xvfb is missing or does not start
  ~PrivateDisplay();
  PrivateDisplay(const PrivateDisplay&) = delete;
  PrivateDisplay& operator=(const PrivateDisplay&) = delete;

  bool valid() const { return display_ != nullptr; }
  const std::string& name() const { return name_; }  // ":N", for DISPLAY
  // Moves the window shown on the display (there is no window manager) to (x, y): true once
  // the server has it there, false while no window is shown.
  bool MoveShownWindow(int x, int y);

 private:
  pid_t pid_ = -1;
  std::string name_;
  void* display_ = nullptr;  // Xlib's Display
};

}  // namespace velmora::testing
