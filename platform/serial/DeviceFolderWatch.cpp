#include "platform/serial/DeviceFolderWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <thread>

namespace velmora::platform {

namespace {

constexpr std::uint32_t kChanges =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF;

// Closes a descriptor with its owner.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "inotify");
  }
  ~Fd() { ::close(fd_); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

struct DeviceFolderWatch::State {
  State(std::filesystem::path folder, std::function<void()> callback)
      : dev(std::move(folder)), changed(std::move(callback)) {}

  // A folder that does not exist yet is watched once its parent tells it appeared.
  void watchFolders() {
    ::inotify_add_watch(inotify.get(), dev.c_str(), kChanges);
    ::inotify_add_watch(inotify.get(), (dev / "serial").c_str(), kChanges);
    ::inotify_add_watch(inotify.get(), (dev / "serial/by-id").c_str(), kChanges);
  }

  // Watch thread: waits for inotify or the stop eventfd; never throws.
  void run() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      pollfd fds[2] = {{inotify.get(), POLLIN, 0}, {stop.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      if (!(fds[0].revents & POLLIN)) continue;
      // Drain the batch, then tell once.
      while (::read(inotify.get(), buffer, sizeof buffer) > 0) {
      }
      watchFolders();  // adding an existing watch again is harmless
      changed();
    }
  }

  const std::filesystem::path dev;
  const std::function<void()> changed;
  Fd inotify{::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
  Fd stop{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
  std::thread thread;  // owned here: started by the constructor, joined by the destructor
};

DeviceFolderWatch::DeviceFolderWatch(std::filesystem::path dev, std::function<void()> changed)
    : state_(std::make_unique<State>(std::move(dev), std::move(changed))) {
  state_->watchFolders();
  state_->thread = std::thread([state = state_.get()] { state->run(); });
}

DeviceFolderWatch::~DeviceFolderWatch() {
  // 1. signal the thread through the eventfd; 2. join it. Its callback cannot run afterwards.
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(state_->stop.get(), &one, sizeof one);
  if (state_->thread.joinable()) state_->thread.join();
}

}  // namespace velmora::platform
