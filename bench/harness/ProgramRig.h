#pragma once

// --program: the real velmora executable measured from outside, its window offscreen, MIDI
// through a JACK server of the harness's own and its serial port a pseudo-terminal seen as
// /dev/ttyV0 in a private mount name space; beside it, the floor (a minimal forwarder on the same
// JACK server, its own pseudo-terminal) driven in the same moments.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

namespace velmora::bench {

// What /proc says of one thread of a process.
struct TaskFigures {
  std::string name;
  std::uint64_t cpuTicks = 0;   // utime + stime from /proc/PID/task/TID/stat
  std::uint64_t runtimeNs = 0;  // from schedstat: the same, finer; 0 where the kernel has none
  std::uint64_t voluntary = 0, involuntary = 0;  // context switches
  int policy = 0;                                // SCHED_OTHER, SCHED_FIFO, ...
};

// A look at a process: its threads by id, and its own totals from /proc/PID/stat.
struct ProcessFigures {
  std::map<pid_t, TaskFigures> tasks;
  std::uint64_t cpuTicks = 0;
  long rssKb = 0, hwmKb = 0;
  long jackShmKb = 0;  // resident in mappings of /dev/shm/jack*: the server's, not the program's
  int threads = 0;
};
ProcessFigures LookAt(pid_t pid);

// Runs the --program mode with the arguments after "--program"; returns the exit status.
int RunProgramMode(int argc, char** argv);

}  // namespace velmora::bench
