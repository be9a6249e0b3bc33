#pragma once

// Tells when serial devices may have come or gone: inotify on the device folder, its serial/
// folder and serial/by-id (both may appear later), without polling. The callback runs on the
// watch's own thread, at most once per batch of changes; it must not block (it posts to the UI
// thread, which reads the name space again).

#include <filesystem>
#include <functional>
#include <memory>

namespace velmora::platform {

class DeviceFolderWatch {
 public:
  // Starts watching `dev`; raises std::system_error when inotify is not available.
  DeviceFolderWatch(std::filesystem::path dev, std::function<void()> changed);
  // Signals the thread and joins it: no call of `changed` after it returns.
  ~DeviceFolderWatch();
  DeviceFolderWatch(const DeviceFolderWatch&) = delete;
  DeviceFolderWatch& operator=(const DeviceFolderWatch&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace velmora::platform
