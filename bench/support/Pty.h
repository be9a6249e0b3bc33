#pragma once

// A pseudo-terminal for the benchmarks: the code measured opens the slave by its path, the
// benchmark plays the far end on the master.

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora::bench {

class Pty {
 public:
  Pty();  // throws std::system_error when no pseudo-terminal can be made
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master() const { return master_; }
  const std::string& slavePath() const { return slavePath_; }

  // Opens the slave raw and non-blocking, as a minimal forwarder would; the caller closes it.
  int openSlaveRaw() const;

 private:
  int master_ = -1;
  int slave_ = -1;  // held open so that the master never sees a hang-up between users
  std::string slavePath_;
};

// Writes every byte, waiting for room; false on an error.
bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t count);

}  // namespace velmora::bench
