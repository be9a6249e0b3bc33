#pragma once

// --program --restart: the order in which the program links its MIDI ports again after a JACK
// server restart, checked by the latency it gives. The peer is one JACK client with both ports,
// as a synthesizer or a sequencer is: its output feeds the program's MIDI input and the
// program's MIDI output feeds its input, so JACK's graph holds a loop through the program, which
// JACK breaks on the link that closed it, a whole period later. Serial -> MIDI is timed to a
// constant one period; the link made last must be the other one.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace velmora::bench {

struct RestartOptions {
  std::string program;  // the executable, for the report
  int period = 1024;    // frames a cycle at 48 kHz
  bool realtime = true;
  std::size_t messages = 400;     // each way and round, 7 to 10 ms apart
  std::vector<std::string> args;  // the program's own options beside its devices
  bool headless = false;
  bool exactTiming = true;  // the program's own --timing: exact, or fast
  // After each restart the peer undoes both links and makes them again the other way round (its
  // output first), so that JACK breaks the loop on the program's output: the check must fail.
  bool relinkReversed = false;
};

// Starts the program on `slave` (seen as /dev/ttyV0) with `args` after the executable, its
// output to `log` and its lock under `runtime`; tells whether it runs; stops it with SIGTERM
// (true when it ended cleanly).
struct ProgramControl {
  std::function<bool(const std::string& slave, const std::vector<std::string>& args,
                     const std::filesystem::path& log, const std::filesystem::path& runtime)>
      start;
  std::function<bool()> running;
  std::function<bool()> stop;
};

// Measures both ways before and after a restart of the harness's JACK server; prints the
// figures beside one period, PASS or FAIL, and one line of JSON. 0 on PASS, 3 on FAIL, 1 when
// the phase could not run.
int RunRestartPhase(const RestartOptions& options, const ProgramControl& program);

}  // namespace velmora::bench
