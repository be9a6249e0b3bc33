#pragma once

// Serial descriptors closed on a thread of their own. A tty's close() waits for its output to
// leave, up to the driver's closing time (30 s) while flow control holds the line; the thread
// that forwards must never wait for that. Until its close ends, a device's old descriptor still
// holds the device's lock: an open of that device waits for it, an open of any other does not.

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

namespace velmora::platform {

class SerialCloser {
 public:
  SerialCloser() = default;
  // Ends every close handed to it (the program's end waits for them, as the kernel would).
  ~SerialCloser();
  SerialCloser(const SerialCloser&) = delete;
  SerialCloser& operator=(const SerialCloser&) = delete;

  // Any thread. Takes `fd` and returns at once; the descriptor is closed soon after.
  void Close(int fd);
  // Any thread: returns once no descriptor of the device at `path` waits to be closed or is
  // being closed. A path that names nothing returns at once.
  void WaitFor(const std::string& path);

 private:
  struct Handed {
    int fd;
    dev_t device;
  };
  void run();

  std::mutex mutex_;  // guards the four fields below
  std::condition_variable changed_;
  std::deque<Handed> queue_;
  std::unordered_map<dev_t, int> pending_;  // per device: descriptors handed and not closed yet
  bool running_ = false;  // thread_ takes what is queued; once it is empty, it ends
  // Started by a Close when none runs, ended by itself when nothing is left to close (no thread
  // waits while nothing closes), joined by the next start or the destructor. The only thread
  // that closes.
  std::thread thread_;
};

}  // namespace velmora::platform
