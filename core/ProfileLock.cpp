#include "core/ProfileLock.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>
#endif

namespace velmora::core {

std::filesystem::path ProfileLockFolder(const char* xdgRuntimeDir,
                                        const std::filesystem::path& settingsFolder) {
  if (xdgRuntimeDir && *xdgRuntimeDir == '/') {
    return std::filesystem::path(xdgRuntimeDir) / "velmora";
  }
  return settingsFolder;
}

std::string AlreadyRunsLine(const std::string& profile, long pid) {
  return "velmora: le profil " + profile + " tourne déjà (pid " + std::to_string(pid) + ")";
}

#ifndef _WIN32

namespace {

// What the holder wrote; the lock's own pid is 0 when the holder is in another pid name space.
long pidInFile(int fd) {
  char text[32];
  const ssize_t got = ::pread(fd, text, sizeof text, 0);
  long pid = 0;
  if (got > 0) std::from_chars(text, text + got, pid);
  return pid;
}

}  // namespace

struct ProfileLock::System {
  int fd = -1;
  ~System() {
    if (fd >= 0) ::close(fd);
  }
};

ProfileLock::ProfileLock(const std::string& profile, const std::filesystem::path& folder) {
  const auto unavailable = [&](const std::string& why) {
    problem_ = "pas de verrou pour le profil " + profile + " (" + why +
               ") : un second lancement ne sera pas refusé";
  };
  if (folder.empty()) {
    unavailable("ni XDG_RUNTIME_DIR ni HOME n'est défini");
    return;
  }
  std::error_code ignored;  // open() below says what is wrong with the folder
  std::filesystem::create_directories(folder, ignored);
  const std::filesystem::path file = folder / (profile + ".lock");
  auto system = std::make_unique<System>();
  system->fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  const auto failed = [&] {
    unavailable(file.string() + " : erreur système " + std::to_string(errno) + " (" +
                std::strerror(errno) + ")");
  };
  if (system->fd < 0) {
    failed();
    return;
  }
  // A record lock, not flock(): the kernel tells who holds it. A holder that ends between
  // the two calls leaves it free: then it is taken on the next turn.
  for (int turn = 0; turn < 3; ++turn) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(system->fd, F_SETLK, &lock) == 0) {
      // For people who look; a second start reads the holder from the lock itself.
      const std::string pid = std::to_string(::getpid()) + "\n";
      if (::ftruncate(system->fd, 0) != 0 ||
          ::pwrite(system->fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock holds all the same.
      }
      state_ = State::Held;
      system_ = std::move(system);
      return;
    }
    if (errno != EACCES && errno != EAGAIN) {
      failed();
      return;
    }
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    if (::fcntl(system->fd, F_GETLK, &probe) != 0) {
      failed();
      return;
    }
    if (probe.l_type == F_UNLCK) continue;
    state_ = State::HeldElsewhere;
    holder_ = probe.l_pid > 0 ? static_cast<long>(probe.l_pid) : pidInFile(system->fd);
    return;
  }
  unavailable(file.string() + " : ses détenteurs changent sans cesse");
}

ProfileLock::~ProfileLock() = default;

#endif

}  // namespace velmora::core
