#pragma once

// Tells when COM ports may have come or gone on Windows: a look at the system's list of serial
// ports once a second (Wine, whose ports are links to terminals, sends no device notice). The
// look opens nothing. The callback runs on the watch's own thread after a change; it must not
// block (it posts to the UI thread, which reads the list again).

#include <functional>
#include <memory>

namespace velmora::platform {

class ComListWatch {
 public:
  explicit ComListWatch(std::function<void()> changed);
  // Stops and joins the thread: no call of `changed` after it returns.
  ~ComListWatch();
  ComListWatch(const ComListWatch&) = delete;
  ComListWatch& operator=(const ComListWatch&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace velmora::platform
