#pragma once

// Counts the opens of one device node (inotify IN_OPEN): a test's proof that listing the
// devices opened none of them.

#include <sys/inotify.h>
#include <unistd.h>

#include <cstddef>
#include <string>

namespace velmora::testing {

class OpenCounter {
 public:
  explicit OpenCounter(const std::string& path) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0) ::inotify_add_watch(fd_, path.c_str(), IN_OPEN);
  }
  ~OpenCounter() {
    if (fd_ >= 0) ::close(fd_);
  }
  OpenCounter(const OpenCounter&) = delete;
  OpenCounter& operator=(const OpenCounter&) = delete;

  bool valid() const { return fd_ >= 0; }
  // The opens seen since the last call (the events wait in the queue until read).
  std::size_t Take() {
    alignas(inotify_event) char buffer[4096];
    std::size_t opens = 0;
    for (ssize_t n; (n = ::read(fd_, buffer, sizeof buffer)) > 0;) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->mask & IN_OPEN) ++opens;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return opens;
  }

 private:
  int fd_;
};

}  // namespace velmora::testing
