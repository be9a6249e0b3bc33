#pragma once

// A pseudo-terminal for the serial driver tests: the driver opens the slave by its path, the
// test plays the far end on the master.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora::testing {

class PtyPair {
 public:
  PtyPair();  // fails the test (ADD_FAILURE) when no pseudo-terminal can be made
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& slavePath() const { return slavePath_; }
  int master() const { return master_; }
  bool valid() const { return master_ >= 0 && !slavePath_.empty(); }

  void write(const std::vector<std::uint8_t>& bytes) const;
  // Reads until `count` bytes came or `bound` passed.
  std::vector<std::uint8_t> read(std::size_t count,
                                 std::chrono::milliseconds bound = std::chrono::seconds(10)) const;
  // The far end hangs up.
  void closeMaster();

  // The slave's termios as the kernel keeps it (TCGETS2 on the master reaches the slave).
  struct Termios {
    unsigned cflag = 0, iflag = 0, lflag = 0, oflag = 0;
    unsigned ispeed = 0, ospeed = 0;
    bool baudIsOther = false;  // BOTHER
    int dataBits = 0;
    bool twoStopBits = false, parity = false, oddParity = false, markSpace = false;
    bool rtsCts = false, xonXoff = false, vminZero = false, vtimeZero = false, raw = false;
  };
  Termios termios() const;

 private:
  int master_ = -1;
  std::string slavePath_;
};

// A directory of its own, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Open descriptors and threads of this process, from /proc/self.
std::size_t OpenDescriptorCount();
std::size_t ThreadCount();

}  // namespace velmora::testing
