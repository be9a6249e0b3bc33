#include "platform/serial/SerialCloser.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

namespace velmora::platform {

namespace {

// A device node's device number; anything else (a test's socket) is told apart by its inode.
dev_t deviceOf(const struct stat& status) {
  return S_ISCHR(status.st_mode) ? status.st_rdev : static_cast<dev_t>(status.st_ino);
}

}  // namespace

SerialCloser::~SerialCloser() {
  // No Close can come any more: the thread, if any, ends once it has closed what it has.
  if (thread_.joinable()) thread_.join();
}

void SerialCloser::Close(int fd) {
  if (fd < 0) return;
  struct stat status {};
  const dev_t device = ::fstat(fd, &status) == 0 ? deviceOf(status) : 0;
  const std::lock_guard lock(mutex_);
  if (!running_) {
    // The last one has left its loop and given up the lock: it only returns now.
    if (thread_.joinable()) thread_.join();
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      ::close(fd);  // no thread to be had: closed here, as it always was
      return;
    }
    running_ = true;
  }
  queue_.push_back({fd, device});
  ++pending_[device];
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
  while (!queue_.empty()) {
    const Handed handed = queue_.front();
    queue_.pop_front();
    lock.unlock();
    ::close(handed.fd);  // may wait for the line; EINTR still closes it on Linux
    lock.lock();
    if (--pending_[handed.device] == 0) pending_.erase(handed.device);
    changed_.notify_all();
  }
  running_ = false;
}

}  // namespace velmora::platform
