#pragma once

// One program per profile. The lock belongs to the kernel's view of the process (a record lock
// on a file that holds the pid; on Windows named objects), so that it goes with the process
// however it ends: no lock survives a crash, and nothing has to be cleaned up.

#include <filesystem>
#include <memory>
#include <string>

namespace velmora::core {

// Where the POSIX lock files go: "$XDG_RUNTIME_DIR/velmora", else the settings folder. Empty
// when neither is known.
std::filesystem::path ProfileLockFolder(const char* xdgRuntimeDir,
                                        const std::filesystem::path& settingsFolder);

// "velmora: le profil NAME tourne déjà (pid N)": what a second start prints (and the window
// nothing else: no box) before it ends with status 1.
std::string AlreadyRunsLine(const std::string& profile, long pid);

// Takes the profile's lock at construction and holds it for its lifetime. POSIX: the file
// NAME.lock in `folder`; Windows: `folder` is not used, the lock is a named mapping that a named
// mutex guards while it is looked at, so that its pid is always there to read. One per process:
// POSIX record locks are the process's, and closing any descriptor of the file drops them.
class ProfileLock {
 public:
  enum class State {
    Held,           // this process runs the profile
    HeldElsewhere,  // another process does: Holder() tells which
    Unavailable,    // no lock could be made: Problem() tells why
  };

  ProfileLock(const std::string& profile, const std::filesystem::path& folder);
  ~ProfileLock();
  ProfileLock(const ProfileLock&) = delete;
  ProfileLock& operator=(const ProfileLock&) = delete;

  State state() const { return state_; }
  long Holder() const { return holder_; }
  const std::string& Problem() const { return problem_; }

 private:
  struct System;  // the descriptor or handles that hold the lock
  std::unique_ptr<System> system_;
  State state_ = State::Unavailable;
  long holder_ = 0;
  std::string problem_;
};

}  // namespace velmora::core
