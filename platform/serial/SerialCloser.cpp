#include "platform/serial/SerialCloser.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora::platform {

namespace {

// A device node's device number; anything else (a test's socket) is told apart by its inode.
dev_t deviceOf(const struct stat& status) {
  return S_ISCHR(status.st_mode) ? status.st_rdev : static_cast<dev_t>(status.st_ino);
}

}  // namespace

SerialCloser::~SerialCloser() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void SerialCloser::Close(int fd) {
  if (fd < 0) return;
  struct stat status {};
  const dev_t device = ::fstat(fd, &status) == 0 ? deviceOf(status) : 0;
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back({fd, device});
    ++pending_[device];
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  }
  changed_.notify_all();
}

void SerialCloser::WaitFor(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return;
  const dev_t device = deviceOf(status);
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !pending_.contains(device); });
}

void SerialCloser::run() {
  ::pthread_setname_np(::pthread_self(), "serial-close");
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and nothing left to close
    const Handed handed = queue_.front();
    queue_.pop_front();
    lock.unlock();
    ::close(handed.fd);  // may wait for the line; EINTR still closes it on Linux
    lock.lock();
    if (--pending_[handed.device] == 0) pending_.erase(handed.device);
    changed_.notify_all();
  }
}

}  // namespace velmora::platform
