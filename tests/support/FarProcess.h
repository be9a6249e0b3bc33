#pragma once

// A far side in a process of its own (velmora-peer, whose client is "velmora-peer"). libjack
// keeps one table of the clients' wake-up futexes per process, indexed by JACK's client number,
// and an entry can outlive its client (seen: the start script's jack_wait, gone, still mapped).
// The next client of the process with that number takes it as its own, waits on a futex nobody
// posts and stalls the graph. So where servers stop and start, no second client shares the
// test's process, as in the program.

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <initializer_list>
#include <string>
#include <vector>

extern char** environ;

namespace velmora::testing {

class FarProcess {
 public:
  // With `firstLine`, returns once the far side has said its first line, or has failed.
  FarProcess(const char* program, std::initializer_list<const char*> args, bool firstLine) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    // The peer flushes its first line itself (no stdbuf: its preloaded library would come
    // before the sanitizers' runtime).
    std::vector<const char*> argv{program};
    argv.insert(argv.end(), args);
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program, &actions, nullptr, const_cast<char**>(argv.data()), environ) !=
        0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    pollfd ready{out[0], POLLIN, 0};
    char c = 0;
    while (firstLine && pid_ > 0 && poll(&ready, 1, 20'000) == 1 && read(out[0], &c, 1) == 1 &&
           c != '\n')
      line_ += c;
    close(out[0]);
  }
  ~FarProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  FarProcess(const FarProcess&) = delete;
  FarProcess& operator=(const FarProcess&) = delete;
  const std::string& line() const { return line_; }
  // True once it has ended by itself with status 0.
  bool Succeeded() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return false;
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

 private:
  pid_t pid_ = -1;
  std::string line_;
};

}  // namespace velmora::testing
