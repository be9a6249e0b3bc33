#include "ProgramRig.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "JackRig.h"
#include "Phases.h"
#include "RestartPhase.h"
#include "Rig.h"
#include "Stream.h"
#include "support/Pty.h"
#include "tools/JackPeer.h"

extern char** environ;

namespace velmora::bench {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct ProgramOptions {
  std::string program = VELMORA_BENCH_PROGRAM;
  std::size_t messages = 2000;  // per latency stream, 1 ms apart
  double rate = 1000;           // messages a second each way while measuring CPU
  double lineSeconds = 20;
  double idleSeconds = 10;
  int period = 64;
  bool realtime = true;
  int burstMultiple = 100;  // of the line rate, MIDI -> serial, ours and the floor at once
  double burstSeconds = 5;
  bool headless = false;  // the same program without its window (velmora --headless)
  bool capture = false;   // the capture's cost alone: the timed load without and with it
  std::string timing;     // the program's --timing when given, else its default
  int dumps = 0;          // --dump: that many 64 KiB dumps under a clock instead
  bool restart = false;   // --restart: the links after a JACK server restart, by their latency
  bool relinkReversed = false;  // with --restart: the peer relinks the other way round
};

constexpr const char* kUsage =
    "usage: velmora-bench --program [--executable PATH] [--messages N] [--rate R]\n"
    "                     [--line-seconds S] [--idle-seconds S] [--jack-period F]\n"
    "                     [--jack-no-realtime] [--headless] [--capture] [--timing exact|fast]\n"
    "                     [--restart [--relink-reversed]]\n"
    "  the velmora executable (its window offscreen; with --headless, without a window) through\n"
    "  JACK and a pseudo-terminal, beside\n"
    "  a minimal forwarder on the same JACK server: latency, CPU at R messages a second each\n"
    "  way (1000 unless given), CPU idle, memory, threads, per-thread CPU and context switches,\n"
    "  then 100 x line rate MIDI -> serial for 5 s, and the longest run of the program's JACK\n"
    "  process callback, which it writes when it ends\n"
    "  --capture  instead: the program started four times, without, with, with, without\n"
    "             --capture to a file in a private temporary folder, each time 1000 Note On each\n"
    "             way a second for S/2 s (S: 20 unless given), timed, beside the floor: CPU and\n"
    "             added latency both ways, each side's rounds together\n"
    "  --timing   the program's own --timing (exact unless given)\n"
    "  --dump N   instead: N times, a 64 KiB dump at 31250 baud MIDI -> serial with a 120 BPM\n"
    "             clock beside it, the program started afresh each time: the dump's time on the\n"
    "             line beside the line's own time for its bytes, the longest silence of the\n"
    "             line and the longest clock gap\n"
    "  --restart  instead: the program linked both ways to one JACK client (a loop through\n"
    "             it), N messages each way (400 unless given) timed before and after two\n"
    "             restarts of the JACK server, the peer back at once, then 2 s later (1024\n"
    "             frames a cycle unless given): PASS when serial -> MIDI keeps its median\n"
    "             within 1 ms (a quarter period with --timing fast)\n"
    "  --relink-reversed  with --restart: after each restart the peer relinks the other way\n"
    "             round (bench only), which must FAIL\n";

bool Parse(int argc, char** argv, ProgramOptions& options) {
  bool periodGiven = false, messagesGiven = false;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string{}; };
    try {
      if (arg == "--executable") {
        options.program = value();
      } else if (arg == "--messages") {
        options.messages = std::stoul(value());
        messagesGiven = true;
      } else if (arg == "--rate") {
        options.rate = std::stod(value());
      } else if (arg == "--line-seconds") {
        options.lineSeconds = std::stod(value());
      } else if (arg == "--idle-seconds") {
        options.idleSeconds = std::stod(value());
      } else if (arg == "--jack-period") {
        options.period = std::stoi(value());
        periodGiven = true;
      } else if (arg == "--jack-no-realtime") {
        options.realtime = false;
      } else if (arg == "--headless") {
        options.headless = true;
      } else if (arg == "--capture") {
        options.capture = true;
      } else if (arg == "--dump") {
        options.dumps = std::stoi(value());
      } else if (arg == "--restart") {
        options.restart = true;
      } else if (arg == "--relink-reversed") {
        options.relinkReversed = true;
      } else if (arg == "--timing") {
        options.timing = value();
        if (options.timing != "exact" && options.timing != "fast") return false;
      } else {
        return false;
      }
    } catch (const std::exception&) {
      return false;
    }
  }
  // A period long enough that a loop broken on the wrong side stands out.
  if (options.restart && !periodGiven) options.period = 1024;
  if (options.restart && !messagesGiven) options.messages = 400;
  return (options.restart || !options.relinkReversed) && options.messages > 0 &&
         options.messages <= kSeqMask + 1 && options.rate > 0 &&
         options.rate * options.lineSeconds <= kSeqMask && options.lineSeconds * 500 >= 1 &&
         options.lineSeconds * 500 <= kSeqMask + 1 && options.period >= 16 &&
         options.period <= 8192;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string LoadAverage() {
  std::istringstream text(ReadFile("/proc/loadavg"));
  std::string one, five, fifteen;
  text >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// The fields of a stat line after the command name, which may hold spaces; [0] is the state.
std::vector<std::string> StatFields(const std::string& line, std::string& name) {
  const auto open = line.find('(');
  const auto close = line.rfind(')');
  std::vector<std::string> fields;
  if (open == std::string::npos || close == std::string::npos) return fields;
  name = line.substr(open + 1, close - open - 1);
  std::istringstream rest(line.substr(close + 1));
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

long StatusKb(const std::string& status, const char* key) {
  const auto at = status.find(key);
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + std::strlen(key));
}

double ThreadCpuSeconds(std::thread& thread) {
  clockid_t id{};
  timespec ts{};
  if (pthread_getcpuclockid(thread.native_handle(), &id) != 0 || clock_gettime(id, &ts) != 0) {
    return 0;
  }
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

const double kTick = static_cast<double>(sysconf(_SC_CLK_TCK));

// A folder of our own under the temporary directory, removed with what it holds.
class PrivateFolder {
 public:
  PrivateFolder() {
    std::string name = (fs::temp_directory_path() / "velmora-bench.XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = name;
  }
  ~PrivateFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The program under `unshare`, in a mount name space whose /dev/ttyV0 is our pseudo-terminal's
// slave (and which holds no serial device of the machine's). unshare and the shell exec it: the
// pid is the program's. Its profile lock goes to `runtime`, so that another velmora running on
// the machine does not stop it.
class Program {
 public:
  Program(const std::string& executable, const std::string& slave,
          const std::vector<std::string>& args, const fs::path& log, const fs::path& runtime) {
    std::vector<std::string> words{"unshare"};
    if (geteuid() != 0) words.insert(words.end(), {"--user", "--map-root-user"});
    words.insert(words.end(), {"--mount", "--propagation", "private", "/bin/sh",
                               VELMORA_BENCH_PRIVATE_DEV, "ttyV0", slave, std::to_string(geteuid()),
                               std::to_string(getegid()), executable});
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> env{"QT_QPA_PLATFORM=offscreen",
                                 "XDG_RUNTIME_DIR=" + runtime.string()};
    for (char** at = environ; *at; ++at) {
      if (std::strncmp(*at, "QT_QPA_PLATFORM=", 16) != 0 &&
          std::strncmp(*at, "XDG_RUNTIME_DIR=", 16) != 0) {
        env.emplace_back(*at);
      }
    }
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (posix_spawnp(&pid_, "unshare", &actions, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Program() { Stop(); }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  pid_t pid() const { return pid_; }
  bool Running() {
    if (pid_ <= 0 || exited_) return false;
    exited_ = waitpid(pid_, &status_, WNOHANG) == pid_;
    return !exited_;
  }
  // SIGTERM, then SIGKILL when it has not ended within ten seconds; true when it ended cleanly.
  bool Stop() {
    if (!Running()) return exited_ && WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
    kill(pid_, SIGTERM);
    const auto deadline = SteadyClock::now() + 10s;
    while (Running() && SteadyClock::now() < deadline) std::this_thread::sleep_for(20ms);
    if (Running()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
      exited_ = true;
      return false;
    }
    return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
  }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

// Both paths of ours and of the floor, driven from one thread.
struct Paths {
  JackFarSide& far;
  int oursMaster, floorMaster;
  Stream& oursToSerial;
  Stream& floorToSerial;
  Stream& oursToMidi;
  Stream& floorToMidi;

  void Serial(bool floor, std::uint32_t seq, bool timed) {
    std::uint8_t bytes[3];
    BytesOf(seq, bytes);
    if (timed) (floor ? floorToMidi : oursToMidi).Left(seq, SteadyClock::now());
    WriteAll(floor ? floorMaster : oursMaster, bytes, 3);
  }
  void ResetAll(std::size_t timed) {
    for (Stream* s : {&oursToSerial, &floorToSerial, &oursToMidi, &floorToMidi}) s->Reset(timed);
  }
};

// One message each way until both come back: the program has opened everything.
bool WarmUp(Paths& paths) {
  const auto deadline = SteadyClock::now() + 20s;
  while (SteadyClock::now() < deadline) {
    paths.ResetAll(1);
    paths.far.Play(false, PackedOf(0));
    paths.Serial(false, 0, true);
    const auto wait = SteadyClock::now() + 500ms;
    while (SteadyClock::now() < wait) {
      if (paths.oursToSerial.Received() > 0 && paths.oursToMidi.Received() > 0) return true;
      std::this_thread::sleep_for(5ms);
    }
  }
  return false;
}

// Four streams 1 ms apart; what goes to JACK waits for the next cycle, so ours and the floor's
// are sent together at a time scattered across the cycle, in alternating order. `sent`, when
// given, takes the time the last message left.
void Latency(Paths& paths, std::size_t n, SteadyClock::time_point* sent = nullptr) {
  paths.ResetAll(n);
  std::minstd_rand random(42);
  std::uniform_int_distribution<int> dither(0, 499);
  const auto t0 = SteadyClock::now() + 10ms;
  for (std::size_t i = 0; i < n; ++i) {
    const auto base = t0 + std::chrono::milliseconds(i);
    const auto seq = static_cast<std::uint32_t>(i);
    std::this_thread::sleep_until(base);
    const bool oursFirst = i % 2 == 0;
    paths.far.Play(!oursFirst, PackedOf(seq));
    paths.far.Play(oursFirst, PackedOf(seq));
    std::this_thread::sleep_until(base + 500us + std::chrono::microseconds(dither(random)));
    paths.Serial(!oursFirst, seq, true);
    paths.Serial(oursFirst, seq, true);
  }
  if (sent) *sent = SteadyClock::now();
  Drain({{&paths.oursToSerial, n},
         {&paths.floorToSerial, n},
         {&paths.oursToMidi, n},
         {&paths.floorToMidi, n}});
}

// `rate` messages a second each way, to ours and the floor at once, paced each millisecond;
// returns how many went each way.
std::uint64_t Load(Paths& paths, double rate, double seconds, std::uint64_t& refused) {
  paths.ResetAll(0);
  const auto t0 = SteadyClock::now();
  const auto ticks = static_cast<std::uint64_t>(seconds * 1000.0);
  std::uint64_t sent = 0;
  std::vector<std::uint8_t> block;
  for (std::uint64_t k = 1; k <= ticks; ++k) {
    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(k));
    const auto due = static_cast<std::uint64_t>(rate * static_cast<double>(k) / 1000.0);
    block.clear();
    for (; sent < due; ++sent) {
      const auto seq = static_cast<std::uint32_t>(sent);
      for (bool floor : {false, true}) {
        if (!paths.far.Play(floor, PackedOf(seq))) ++refused;
      }
      std::uint8_t bytes[3];
      BytesOf(seq, bytes);
      block.insert(block.end(), bytes, bytes + 3);
    }
    if (!block.empty()) {
      WriteAll(paths.oursMaster, block.data(), block.size());
      WriteAll(paths.floorMaster, block.data(), block.size());
    }
  }
  Drain({{&paths.oursToSerial, sent},
         {&paths.floorToSerial, sent},
         {&paths.oursToMidi, sent},
         {&paths.floorToMidi, sent}});
  return sent;
}

std::uint64_t Lost(const Stream& stream, std::uint64_t sent) {
  return sent - std::min(sent, stream.Received());
}

const char* PolicyName(int policy) {
  switch (policy) {
    case 0:
      return "other";
    case 1:
      return "fifo";
    case 2:
      return "rr";
    default:
      return "?";
  }
}

// Per thread, between two looks: CPU in % of one core and context switches per message pair.
void PrintThreads(const char* phase, const ProcessFigures& before, const ProcessFigures& after,
                  double seconds, std::uint64_t pairs, pid_t main) {
  struct Row {
    pid_t tid;
    const TaskFigures* task;
    double cpu;
    std::uint64_t voluntary, involuntary;
  };
  std::vector<Row> rows;
  double cpuTotal = 0;
  std::uint64_t switchesTotal = 0;
  for (const auto& [tid, task] : after.tasks) {
    const auto was = before.tasks.find(tid);
    const TaskFigures zero;
    const TaskFigures& from = was == before.tasks.end() ? zero : was->second;
    const double used = task.runtimeNs > 0
                            ? static_cast<double>(task.runtimeNs - from.runtimeNs) / 1e9
                            : static_cast<double>(task.cpuTicks - from.cpuTicks) / kTick;
    rows.push_back({tid, &task, 100.0 * used / seconds, task.voluntary - from.voluntary,
                    task.involuntary - from.involuntary});
    cpuTotal += rows.back().cpu;
    switchesTotal += rows.back().voluntary + rows.back().involuntary;
  }
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return a.voluntary + a.involuntary > b.voluntary + b.involuntary;
  });
  // Without messages, switches are counted per second.
  const double n = pairs > 0 ? static_cast<double>(pairs) : std::max(seconds, 1e-3);
  const char* per = pairs > 0 ? "pair" : "s";
  std::printf("\nper thread, %s (%llu message pairs, %.1f s):\n", phase,
              static_cast<unsigned long long>(pairs), seconds);
  std::printf("  %8s %-16s %-6s %8s %7s/%-4s %7s/%-4s %7s/%-4s\n", "tid", "name", "policy", "cpu %",
              "cs", per, "vol", per, "invol", per);
  for (const Row& row : rows) {
    std::string name = row.task->name + (row.tid == main ? " (main)" : "");
    std::printf("  %8d %-16s %-6s %8.3f %12.3f %12.3f %12.3f\n", row.tid, name.c_str(),
                PolicyName(row.task->policy), row.cpu,
                static_cast<double>(row.voluntary + row.involuntary) / n,
                static_cast<double>(row.voluntary) / n, static_cast<double>(row.involuntary) / n);
  }
  std::printf("  %8s %-16s %-6s %8.3f %12.3f\n", "", "all", "", cpuTotal,
              static_cast<double>(switchesTotal) / n);
}

std::string Json(const RateOutcome& trial) {
  char text[160];
  std::snprintf(
      text, sizeof text, "{\"sent\":%llu,\"received\":%llu,\"lost\":%llu,\"in_order\":%s}",
      static_cast<unsigned long long>(trial.sent), static_cast<unsigned long long>(trial.received),
      static_cast<unsigned long long>(trial.Lost()), trial.inOrder ? "true" : "false");
  return text;
}

double PercentOfCore(std::uint64_t ticks, double seconds) {
  return seconds > 0 ? 100.0 * static_cast<double>(ticks) / kTick / seconds : 0;
}

// What the program wrote when it ended about its JACK process callback ("velmora: traitement
// JACK : 23,4 µs au plus, 0 cycles sur 750123 au-delà de 50 µs"), and its loss lines.
struct ExitReport {
  std::string processLine;  // empty: it wrote none (no JACK, or an older build)
  std::vector<std::string> lossLines;
  double longestUs = 0;
  unsigned long long overBudget = 0, cycles = 0;
};

// The whole run's figures: the program can only tell them when it ends.
std::string Json(const ExitReport& report) {
  if (report.processLine.empty()) return "null";
  char text[160];
  std::snprintf(text, sizeof text,
                "{\"whole_run\":true,\"longest_us\":%.1f,\"over_50us\":%llu,\"cycles\":%llu}",
                report.longestUs, report.overBudget, report.cycles);
  return text;
}

constexpr const char* kProcessLine = ": traitement JACK : ";

ExitReport ReadExitReport(const std::string& output) {
  ExitReport report;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (const auto at = line.find(kProcessLine); at != std::string::npos) {
      report.processLine = line;
      // "23,4 µs au plus, N cycles sur M ...": the decimal comma read as the C locale's point.
      std::string figures = line.substr(at + std::strlen(kProcessLine));
      if (const auto comma = figures.find(','); comma < figures.find(' ')) figures[comma] = '.';
      char* end = nullptr;
      report.longestUs = std::strtod(figures.c_str(), &end);
      const char* counts = std::strstr(end, "au plus, ");
      if (counts == nullptr || std::sscanf(counts, "au plus, %llu cycles sur %llu",
                                           &report.overBudget, &report.cycles) != 2) {
        report.overBudget = report.cycles = 0;
      }
    } else if (line.find(" MIDI perdu") != std::string::npos ||
               line.find(" MIDI non envoyé") != std::string::npos) {
      report.lossLines.push_back(line);
    }
  }
  return report;
}

// The program started with `args`, once a message has gone through it each way; null when it
// does not, after telling why with what the program wrote.
std::unique_ptr<Program> StartForwarding(const std::string& executable, const std::string& slave,
                                         const std::vector<std::string>& args, const fs::path& log,
                                         const fs::path& runtime, Paths& paths) {
  auto program = std::make_unique<Program>(executable, slave, args, log, runtime);
  auto fail = [&](const char* what) {
    program->Stop();
    std::fprintf(stderr, "velmora-bench: %s; the program said:\n%s\n", what, ReadFile(log).c_str());
    return std::unique_ptr<Program>{};
  };
  const auto connectedBy = SteadyClock::now() + 30s;
  while (program->Running() && SteadyClock::now() < connectedBy &&
         (paths.far.Connections(false, true).size() != 1 ||
          paths.far.Connections(false, false).size() != 1)) {
    std::this_thread::sleep_for(20ms);
  }
  if (!program->Running()) return fail("the program ended");
  if (!WarmUp(paths)) return fail("nothing went through the program");
  return program;
}

// The latencies of one path over several rounds.
struct Pooled {
  std::vector<double> us;
  std::size_t lost = 0;

  void Add(const Stream& stream) {
    std::size_t missing = 0;
    const std::vector<double> more = stream.LatenciesUs(missing);
    us.insert(us.end(), more.begin(), more.end());
    lost += missing;
  }
};

// One side of --capture: the timed load through the program, each round started afresh.
struct CaptureSide {
  Pooled toSerial, floorToSerial, toMidi, floorToMidi;
  std::uint64_t ticks = 0;
  double floorSeconds = 0, seconds = 0;  // the floor's CPU, and the time the load ran
  std::string loads;                     // the load average at each round's end
  ProcessFigures before, after;          // of its last round
  double lastSeconds = 0;                // how long its last round's load ran
  pid_t pid = -1;                        // of its last round
  bool clean = true;
  std::vector<std::string> lossLines;  // what the program told of losses as it ended

  double Cpu() const { return PercentOfCore(ticks, seconds); }
  double FloorCpu() const { return seconds > 0 ? 100.0 * floorSeconds / seconds : 0; }
  // Added latency (program - floor) at `q`, MIDI -> serial or serial -> MIDI.
  double Added(bool toSerial, double Percentiles::*q) const {
    const Pooled& ours = toSerial ? this->toSerial : toMidi;
    const Pooled& floor = toSerial ? floorToSerial : floorToMidi;
    return Summarise(ours.us, ours.lost).*q - Summarise(floor.us, floor.lost).*q;
  }
};

std::string Json(const CaptureSide& side) {
  char text[320];
  std::snprintf(text, sizeof text,
                "{\"cpu_percent\":%.3f,\"cpu_percent_floor\":%.3f,\"added_us\":{"
                "\"midi_to_serial_p50\":%.1f,\"midi_to_serial_p99\":%.1f,\"serial_to_midi_p50\":"
                "%.1f,\"serial_to_midi_p99\":%.1f},\"lost\":%zu,\"load_average\":\"%s\"}",
                side.Cpu(), side.FloorCpu(), side.Added(true, &Percentiles::p50),
                side.Added(true, &Percentiles::p99), side.Added(false, &Percentiles::p50),
                side.Added(false, &Percentiles::p99), side.toSerial.lost + side.toMidi.lost,
                side.loads.c_str());
  return text;
}

// The capture's cost: the same timed load at 1000 messages a second each way through the program
// without, then with --capture, then with, then without (so that a drift of the machine's load
// weighs on both sides alike), each round with the program started afresh and beside the floor.
int CaptureCost(const ProgramOptions& options, JackServer& server, Paths& paths,
                const std::string& slave, const std::vector<std::string>& args, const fs::path& log,
                const fs::path& folder, const std::function<double()>& floorCpu) {
  const std::string loadAtStart = LoadAverage();
  const fs::path file = folder / "capture.txt";
  const auto n = static_cast<std::size_t>(options.lineSeconds * 1000 / 2);
  CaptureSide sides[2];
  for (const int with : {0, 1, 1, 0}) {
    CaptureSide& side = sides[with];
    std::vector<std::string> words = args;
    if (with) words.insert(words.end(), {"--capture", file.string()});
    std::fprintf(stderr, "... %s capture: %zu Note On each way 1 ms apart\n",
                 with ? "with" : "without", n);
    const std::unique_ptr<Program> program =
        StartForwarding(options.program, slave, words, log, folder, paths);
    if (!program) return 1;
    side.pid = program->pid();
    side.before = LookAt(side.pid);
    const double floorStart = floorCpu();
    const auto start = SteadyClock::now();
    SteadyClock::time_point sent;
    Latency(paths, n, &sent);
    // What waits for stragglers after the last message is no load: it would dilute the CPU.
    side.lastSeconds = std::chrono::duration<double>(sent - start).count();
    side.seconds += side.lastSeconds;
    side.after = LookAt(side.pid);
    side.floorSeconds += floorCpu() - floorStart;
    side.ticks += side.after.cpuTicks - side.before.cpuTicks;
    side.loads += (side.loads.empty() ? "" : ", ") + LoadAverage();
    side.toSerial.Add(paths.oursToSerial);
    side.floorToSerial.Add(paths.floorToSerial);
    side.toMidi.Add(paths.oursToMidi);
    side.floorToMidi.Add(paths.floorToMidi);
    side.clean = program->Stop() && side.clean;
    const auto lines = ReadExitReport(ReadFile(log)).lossLines;
    side.lossLines.insert(side.lossLines.end(), lines.begin(), lines.end());
  }
  // The second round with the capture truncated the first's file: it holds one round.
  std::uint64_t lines = 0, dropped = 0, bytes = 0;
  std::ifstream captured(file);
  for (std::string line; std::getline(captured, line);) {
    ++lines;
    bytes += line.size() + 1;
    if (line.find(" dropped ") != std::string::npos) ++dropped;
  }

  const CaptureSide &without = sides[0], &with = sides[1];
  const double ratio = without.Cpu() > 0 ? with.Cpu() / without.Cpu() : 0.0;
  const double more99ToSerial =
      with.Added(true, &Percentiles::p99) - without.Added(true, &Percentiles::p99);
  const double more99ToMidi =
      with.Added(false, &Percentiles::p99) - without.Added(false, &Percentiles::p99);
  std::printf(
      "\nvelmora-bench --program --capture: %s, %s; JACK server %s, dummy driver,\n"
      "%u Hz, %u frames a cycle, %s; floor: a minimal forwarder on the same server\n",
      options.program.c_str(), options.headless ? "headless" : "window offscreen",
      server.name().c_str(), paths.far.SampleRate(), paths.far.Period(),
      paths.far.RealTime() ? "real-time" : "no real-time scheduling");
  std::printf("load average at start %s\n\n", loadAtStart.c_str());
  std::printf(
      "%zu Note On each way 1 ms apart a round, rounds without, with, with, without the capture,\n"
      "the program started afresh for each; CPU in %% of one core, added latency (program -\n"
      "floor) in us, lost to serial / to MIDI, of both rounds of a side:\n",
      n);
  std::printf("  %-16s %8s %8s | %9s %9s | %9s %9s | %s\n", "", "program", "floor", "->serial",
              "p99", "->MIDI", "p99", "lost");
  std::printf("  %-16s %8s %8s | %9s %9s | %9s %9s |\n", "", "cpu", "cpu", "p50", "", "p50", "");
  for (const CaptureSide* side : {&without, &with}) {
    std::printf("  %-16s %8.3f %8.3f | %9.1f %9.1f | %9.1f %9.1f | %zu / %zu\n",
                side == &with ? "with capture" : "without capture", side->Cpu(), side->FloorCpu(),
                side->Added(true, &Percentiles::p50), side->Added(true, &Percentiles::p99),
                side->Added(false, &Percentiles::p50), side->Added(false, &Percentiles::p99),
                side->toSerial.lost, side->toMidi.lost);
  }
  std::printf("  load average at the rounds' ends: without %s; with %s\n", without.loads.c_str(),
              with.loads.c_str());
  std::printf(
      "\nthe capture's cost: CPU %.2f x (with / without; the floor's %.3f and %.3f), added p99 "
      "%+.1f us MIDI -> serial, %+.1f us serial -> MIDI (with - without)\n",
      ratio, with.FloorCpu(), without.FloorCpu(), more99ToSerial, more99ToMidi);
  const bool ok = ratio <= 1.10 && more99ToSerial <= 20 && more99ToMidi <= 20;
  std::printf("%-44s %s\n", "CPU <= 1.10 x, added p99 <= 20 us each way", ok ? "ok" : "MISSED");
  std::printf(
      "the capture's file, last round: %llu lines, %llu bytes, %llu telling of dropped "
      "blocks\n",
      static_cast<unsigned long long>(lines), static_cast<unsigned long long>(bytes),
      static_cast<unsigned long long>(dropped));
  PrintThreads("with capture, its last round", with.before, with.after, with.lastSeconds, n,
               with.pid);
  PrintThreads("without capture, its last round", without.before, without.after,
               without.lastSeconds, n, without.pid);
  for (const CaptureSide* side : {&without, &with}) {
    for (const auto& line : side->lossLines) {
      std::printf("the program %s: %s\n", side == &with ? "with capture" : "without capture",
                  line.c_str());
    }
  }
  std::printf("\nthe program %s each time\n",
              without.clean && with.clean ? "ended cleanly on SIGTERM" : "did not end cleanly");
  std::printf(
      "{\"mode\":\"%s-capture\",\"messages_each_way_a_round\":%zu,\"without\":%s,\"with\":%s,"
      "\"cpu_ratio\":%.3f,\"added_p99_delta_us\":{\"midi_to_serial\":%.1f,"
      "\"serial_to_midi\":%.1f},\"capture_lines\":%llu,\"capture_dropped\":%llu}\n",
      options.headless ? "program-headless" : "program", n, Json(without).c_str(),
      Json(with).c_str(), ratio, more99ToSerial, more99ToMidi,
      static_cast<unsigned long long>(lines), static_cast<unsigned long long>(dropped));
  std::error_code ignored;
  fs::remove(log, ignored);
  return 0;
}

// One dump under a clock, through the program started afresh: the line's bytes timed as they
// came, read at once (the program paces them; the far end never holds it back).
struct DumpRound {
  bool whole = false;                  // every byte of the dump, in order
  double seconds = 0;                  // from its first byte on the line to its last
  double lineSeconds = 0;              // what the bytes between them take on the line at 31250 baud
  double longestSilenceMs = 0;         // between two bytes, while the dump went
  std::size_t afterSilence = 0;        // bytes the read after it brought
  bool readerRealTime = false;         // the far end read on real-time scheduling
  std::size_t carried = 0;             // bytes of the dump's kinds the line carried
  std::vector<std::string> lossLines;  // what the program said it lost
  std::uint64_t peerXruns = 0;         // cycles the server blamed on the dump's source
  double longestClockGapMs = 0;        // between two clock bytes, while the dump went
  std::string processLine, load;  // the program's exit line on its JACK callback; load at the end
};

DumpRound DumpOnce(const ProgramOptions& options, JackServer& server, int round) {
  constexpr std::size_t kPart = 16384, kParts = 4;                 // one JACK event each
  constexpr auto kClockPeriod = std::chrono::microseconds(20833);  // 120 BPM, 24 a beat
  constexpr double kByteSeconds = 10.0 / 31250;
  DumpRound result;
  Pty pty;
  tools::JackPeer source("dump-source-" + std::to_string(round), tools::JackPeer::Ports::OutOnly);
  const PrivateFolder folder;
  const fs::path log = folder.path() / "program.log";
  std::vector<std::string> args{"--no-settings", "--port",    "/dev/ttyV0",
                                "--baud",        "31250",     "--to-serial",
                                "all",           "--midi-in", source.outPortName()};
  if (options.headless) args.emplace_back("--headless");
  if (!options.timing.empty()) args.insert(args.end(), {"--timing", options.timing});
  Program program(options.program, pty.slavePath(), args, log, folder.path());

  std::vector<std::pair<SteadyClock::time_point, std::uint8_t>> got;
  got.reserve(kPart * kParts + 4096);
  // Takes what the line brought within `wait`; the number of bytes.
  auto take = [&](std::chrono::milliseconds wait) {
    pollfd ready{pty.master(), POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) return std::size_t{0};
    std::uint8_t bytes[4096];
    const ssize_t n = ::read(pty.master(), bytes, sizeof bytes);
    const auto at = SteadyClock::now();
    for (ssize_t i = 0; i < n; ++i) got.emplace_back(at, bytes[i]);
    return n > 0 ? static_cast<std::size_t>(n) : std::size_t{0};
  };
  // Clock bytes until one comes back: the program has opened both ends.
  const auto openBy = SteadyClock::now() + 30s;
  while (program.Running() && SteadyClock::now() < openBy && got.empty()) {
    if (source.outConnected()) source.send({0xF8});
    take(500ms);
  }
  if (got.empty()) {
    std::fprintf(stderr, "velmora-bench: nothing went through the program; it said:\n%s\n",
                 ReadFile(log).c_str());
    return result;
  }
  while (take(200ms) > 0) {
  }
  got.clear();

  std::vector<std::uint8_t> dump;
  for (std::size_t part = 0; part < kParts; ++part) {
    std::vector<std::uint8_t> message(kPart);
    for (std::size_t i = 0; i < kPart; ++i)
      message[i] = static_cast<std::uint8_t>((i + part) % 0x80);
    message.front() = 0xF0;
    message.back() = 0xF7;
    dump.insert(dump.end(), message.begin(), message.end());
  }
  std::atomic<bool> done{false};
  std::thread player([&] {
    for (std::size_t part = 0; part < kParts; ++part) {
      source.send({dump.begin() + static_cast<std::ptrdiff_t>(part * kPart),
                   dump.begin() + static_cast<std::ptrdiff_t>((part + 1) * kPart)});
    }
    const auto t0 = SteadyClock::now();
    for (int k = 1; !done.load(); ++k) {
      std::this_thread::sleep_until(t0 + kClockPeriod * k);
      source.send({0xF8});
    }
  });
  // The far end reads as a UART would take the bytes, unless the system refuses it the
  // real-time scheduling that keeps a loaded machine from holding it up.
  sched_param realTime{};
  realTime.sched_priority = 10;
  const bool faithful = pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime) == 0;
  std::size_t ends = 0;
  const auto bound = SteadyClock::now() + 180s;
  while (ends < kParts && SteadyClock::now() < bound && program.Running()) {
    const std::size_t before = got.size();
    take(100ms);
    for (std::size_t i = before; i < got.size(); ++i) ends += got[i].second == 0xF7 ? 1 : 0;
  }
  if (faithful) {
    realTime.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &realTime);
  }
  result.readerRealTime = faithful;
  done = true;
  player.join();
  result.load = LoadAverage();
  program.Stop();
  const ExitReport report = ReadExitReport(ReadFile(log));
  result.processLine = report.processLine;
  result.lossLines = report.lossLines;
  result.peerXruns =
      server.XrunsNaming(source.outPortName().substr(0, source.outPortName().find(':')));

  std::vector<std::uint8_t> carried;
  std::size_t first = got.size(), last = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i].second >= 0xF8) continue;
    carried.push_back(got[i].second);
    first = std::min(first, i);
    last = i;
  }
  result.whole = carried == dump;
  result.carried = carried.size();
  if (first >= got.size()) return result;
  result.seconds = std::chrono::duration<double>(got[last].first - got[first].first).count();
  result.lineSeconds = static_cast<double>(last - first + 1) * kByteSeconds;
  std::optional<SteadyClock::time_point> clock;
  for (std::size_t i = first + 1; i <= last; ++i) {
    const double silence =
        std::chrono::duration<double, std::milli>(got[i].first - got[i - 1].first).count();
    if (silence > result.longestSilenceMs) {
      result.longestSilenceMs = silence;
      // What the read after it brought: a late reader finds the line's bytes waiting for it.
      result.afterSilence = 0;
      for (std::size_t j = i; j < got.size() && got[j].first == got[i].first; ++j) {
        ++result.afterSilence;
      }
    }
    if (got[i].second != 0xF8) continue;
    if (clock) {
      result.longestClockGapMs =
          std::max(result.longestClockGapMs,
                   std::chrono::duration<double, std::milli>(got[i].first - *clock).count());
    }
    clock = got[i].first;
  }
  return result;
}

// The stall seen once in four runs of the window program under load: the dump's time beside the
// line's own, round after round.
int DumpUnderClock(const ProgramOptions& options) {
  JackServer server(48000, options.period, options.realtime);
  std::printf("%s (%s), JACK %d frames, load at start %s\n", options.program.c_str(),
              options.headless ? "headless" : "window offscreen", options.period,
              LoadAverage().c_str());
  std::printf("%5s %9s %9s %7s %11s %6s %11s %6s  %s\n", "round", "dump s", "line s", "ratio",
              "silence ms", "then", "clockgap ms", "whole", "load at end; the program's JACK line");
  double worst = 0;
  bool whole = true;
  for (int round = 1; round <= options.dumps; ++round) {
    const DumpRound r = DumpOnce(options, server, round);
    const double ratio = r.lineSeconds > 0 ? r.seconds / r.lineSeconds : 0;
    worst = std::max(worst, ratio);
    whole = whole && r.whole;
    std::printf("%5d %9.2f %9.2f %7.3f %11.1f %6zu %11.1f %6s  %s; %s\n", round, r.seconds,
                r.lineSeconds, ratio, r.longestSilenceMs, r.afterSilence, r.longestClockGapMs,
                r.whole ? "yes" : "NO", r.load.c_str(), r.processLine.c_str());
    if (!r.readerRealTime) std::printf("      (the far end read without real-time scheduling)\n");
    if (!r.whole) {
      std::printf(
          "      the line carried %zu bytes of the dump's %d; the server blamed %llu cycles "
          "on the dump's source\n",
          r.carried, 65536, static_cast<unsigned long long>(r.peerXruns));
    }
    for (const auto& line : r.lossLines) std::printf("      the program: %s\n", line.c_str());
    std::fflush(stdout);
  }
  std::printf("{\"mode\":\"%s-dump\",\"rounds\":%d,\"worst_ratio_to_line\":%.3f,\"whole\":%s}\n",
              options.headless ? "program-headless" : "program", options.dumps, worst,
              whole ? "true" : "false");
  return whole ? 0 : 3;
}

int Restart(const ProgramOptions& options) {
  RestartOptions restart;
  restart.program = options.program;
  restart.period = options.period;
  restart.realtime = options.realtime;
  restart.messages = options.messages;
  restart.headless = options.headless;
  restart.exactTiming = options.timing != "fast";
  restart.relinkReversed = options.relinkReversed;
  if (options.headless) restart.args.emplace_back("--headless");
  if (!options.timing.empty())
    restart.args.insert(restart.args.end(), {"--timing", options.timing});
  std::unique_ptr<Program> program;
  ProgramControl control;
  control.start = [&](const std::string& slave, const std::vector<std::string>& args,
                      const fs::path& log, const fs::path& runtime) {
    program = std::make_unique<Program>(options.program, slave, args, log, runtime);
    return program->pid() > 0;
  };
  control.running = [&] { return program && program->Running(); };
  control.stop = [&] { return program && program->Stop(); };
  return RunRestartPhase(restart, control);
}

int Run(const ProgramOptions& options) {
  if (access(options.program.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "velmora-bench: no program at %s\n", options.program.c_str());
    return 1;
  }
  if (options.dumps > 0) return DumpUnderClock(options);
  if (options.restart) return Restart(options);
  const std::string loadAtStart = LoadAverage();
  JackServer server(48000, options.period, options.realtime);
  Stream oursToSerial, floorToSerial, oursToMidi, floorToMidi;
  JackFarSide far({&oursToSerial, &oursToMidi}, {&floorToSerial, &floorToMidi});
  Pty oursPty, floorPty;
  JackFloor floor(floorPty);
  if (!far.Connect(far.SourceName(true), floor.SinkName()) ||
      !far.Connect(floor.SourceName(), far.SinkName(true))) {
    std::fputs("velmora-bench: cannot connect the floor's JACK ports\n", stderr);
    return 1;
  }
  SerialTap oursTap(oursPty.master(), [&](std::uint32_t packed, SteadyClock::time_point at) {
    oursToSerial.Arrived(packed, at);
  });
  SerialTap floorTap(floorPty.master(), [&](std::uint32_t packed, SteadyClock::time_point at) {
    floorToSerial.Arrived(packed, at);
  });
  auto floorCpu = [&] { return ThreadCpuSeconds(floor.thread()) + floor.ProcessCpuSeconds(); };

  const fs::path log = fs::temp_directory_path() / (server.name() + "-program.log");
  // The program's lock, and the capture's file with --capture.
  const PrivateFolder folder;
  // The port names are unique in the graph: each names one device of the lists.
  std::vector<std::string> args{"--no-settings", "--port",     "/dev/ttyV0", "--midi-in",
                                "to-ours",       "--midi-out", "from-ours"};
  if (options.headless) args.emplace_back("--headless");
  if (!options.timing.empty()) args.insert(args.end(), {"--timing", options.timing});
  Paths paths{far,           oursPty.master(), floorPty.master(), oursToSerial,
              floorToSerial, oursToMidi,       floorToMidi};
  if (options.capture) {
    return CaptureCost(options, server, paths, oursPty.slavePath(), args, log, folder.path(),
                       floorCpu);
  }
  const std::unique_ptr<Program> started =
      StartForwarding(options.program, oursPty.slavePath(), args, log, folder.path(), paths);
  if (!started) return 1;
  Program& program = *started;
  const pid_t pid = program.pid();
  std::fprintf(stderr, "... %s (pid %d) forwards; JACK server %s\n", options.program.c_str(), pid,
               server.name().c_str());
  // The program's JACK client, as the server names it: what its port into "to-ours" belongs to.
  std::string client;
  if (const auto ports = far.Connections(false, true); !ports.empty()) {
    client = ports[0].substr(0, ports[0].find(':'));
  }

  // Latency.
  std::fprintf(stderr, "... latency: %zu messages each way, 1 ms apart\n", options.messages);
  const std::string loadBeforeLatency = LoadAverage();
  ProcessFigures latencyBefore = LookAt(pid);
  auto latencyStart = SteadyClock::now();
  Latency(paths, options.messages);
  const double latencySeconds =
      std::chrono::duration<double>(SteadyClock::now() - latencyStart).count();
  ProcessFigures latencyAfter = LookAt(pid);
  const std::string loadAfterLatency = LoadAverage();
  const Percentiles oursS = Summarise(oursToSerial), floorS = Summarise(floorToSerial);
  const Percentiles oursM = Summarise(oursToMidi), floorM = Summarise(floorToMidi);

  // Idle.
  std::fprintf(stderr, "... idle: %g s\n", options.idleSeconds);
  ProcessFigures idleBefore = LookAt(pid);
  double floorIdle = floorCpu();
  auto start = SteadyClock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(options.idleSeconds));
  double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  const double idleSeconds = seconds;
  ProcessFigures idleAfter = LookAt(pid);
  const double idleCpu = PercentOfCore(idleAfter.cpuTicks - idleBefore.cpuTicks, seconds);
  floorIdle = 100.0 * (floorCpu() - floorIdle) / seconds;
  const std::string loadIdle = LoadAverage();

  // Load.
  std::fprintf(stderr, "... %g messages a second each way for %g s\n", options.rate,
               options.lineSeconds);
  ProcessFigures lineBefore = LookAt(pid);
  double floorLine = floorCpu();
  std::uint64_t refused = 0;
  start = SteadyClock::now();
  const std::uint64_t sent = Load(paths, options.rate, options.lineSeconds, refused);
  seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  ProcessFigures lineAfter = LookAt(pid);
  floorLine = 100.0 * (floorCpu() - floorLine) / seconds;
  const double lineCpu = PercentOfCore(lineAfter.cpuTicks - lineBefore.cpuTicks, seconds);
  const std::string loadLine = LoadAverage();
  const std::uint64_t xruns = far.Xruns();

  // 100 x line rate MIDI -> serial, into the program and the floor in the same moments: the
  // pieces of --jack's rate phases. A pseudo-terminal's line has no baud-rate limit.
  const double burstRate = kLineMessagesPerSecond * options.burstMultiple;
  std::fprintf(stderr, "... %d x line rate (%.0f msg/s) MIDI -> serial for %g s\n",
               options.burstMultiple, burstRate, options.burstSeconds);
  Rigging rigging;
  rigging.play = [&](bool toFloor, std::uint32_t packed) { return far.Play(toFloor, packed); };
  rigging.oursMaster = oursPty.master();
  rigging.floorMaster = floorPty.master();
  rigging.oursToSerial = &oursToSerial;
  rigging.floorToSerial = &floorToSerial;
  rigging.oursToMidi = &oursToMidi;
  rigging.floorToMidi = &floorToMidi;
  const std::uint64_t burstXrunsBefore = far.Xruns();
  const std::uint64_t burstOurXrunsBefore = server.XrunsNaming(client);
  ProcessFigures burstBefore = LookAt(pid);
  double floorBurst = floorCpu();
  start = SteadyClock::now();
  const auto burst = TryRate(rigging, true, burstRate, options.burstSeconds, Sides::Both);
  const double burstSeconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  ProcessFigures burstAfter = LookAt(pid);
  floorBurst = 100.0 * (floorCpu() - floorBurst) / burstSeconds;
  const double burstCpu = PercentOfCore(burstAfter.cpuTicks - burstBefore.cpuTicks, burstSeconds);
  const std::string loadBurst = LoadAverage();
  const std::uint64_t burstXruns = far.Xruns() - burstXrunsBefore;
  const std::uint64_t burstOurXruns = server.XrunsNaming(client) - burstOurXrunsBefore;
  const std::uint64_t runXruns = far.Xruns();
  const std::uint64_t runOurXruns = server.XrunsNaming(client);

  const bool clean = program.Stop();
  const ExitReport exitReport = ReadExitReport(ReadFile(log));

  std::printf(
      "\nvelmora-bench --program: %s, %s; JACK server %s, dummy driver,\n"
      "%u Hz, %u frames a cycle, %s; floor: a minimal forwarder on the same server\n",
      options.program.c_str(), options.headless ? "headless" : "window offscreen",
      server.name().c_str(), far.SampleRate(), far.Period(),
      far.RealTime() ? "real-time" : "no real-time scheduling");
  std::printf("load average at start %s\n\n", loadAtStart.c_str());
  std::printf("latency, %zu Note On each way 1 ms apart (load %s -> %s):\n", options.messages,
              loadBeforeLatency.c_str(), loadAfterLatency.c_str());
  std::printf("  %-16s %10s %10s %10s %6s | %10s %10s %6s | %9s %9s\n", "", "ours p50", "p99",
              "max", "lost", "floor p50", "p99", "lost", "added p50", "p99");
  auto row = [](const char* label, const Percentiles& o, const Percentiles& f) {
    std::printf("  %-16s %10.1f %10.1f %10.1f %6zu | %10.1f %10.1f %6zu | %9.1f %9.1f\n", label,
                o.p50, o.p99, o.max, o.lost, f.p50, f.p99, f.lost, o.p50 - f.p50, o.p99 - f.p99);
  };
  row("MIDI -> serial", oursS, floorS);
  row("serial -> MIDI", oursM, floorM);
  std::printf("\nCPU idle, devices open (load %s): program %.3f %%, floor %.3f %% of one core\n",
              loadIdle.c_str(), idleCpu, floorIdle);
  std::printf(
      "CPU at %g msg/s each way for %.1f s (load %s): program %.3f %%, floor %.3f %% of one core"
      " (ratio %.1f)\n",
      options.rate, seconds, loadLine.c_str(), lineCpu, floorLine,
      floorLine > 0 ? lineCpu / floorLine : 0.0);
  std::printf(
      "  %llu sent each way; lost: program %llu to serial, %llu to MIDI; floor %llu, "
      "%llu; %llu refused by the far side's queue; JACK xruns in the run: %llu\n",
      static_cast<unsigned long long>(sent),
      static_cast<unsigned long long>(Lost(oursToSerial, sent)),
      static_cast<unsigned long long>(Lost(oursToMidi, sent)),
      static_cast<unsigned long long>(Lost(floorToSerial, sent)),
      static_cast<unsigned long long>(Lost(floorToMidi, sent)),
      static_cast<unsigned long long>(refused), static_cast<unsigned long long>(xruns));
  std::printf(
      "memory: resident %.1f MB, of which JACK's shared memory %.1f MB: %.1f MB besides "
      "(peak resident %.1f MB)\n",
      lineAfter.rssKb / 1024.0, lineAfter.jackShmKb / 1024.0,
      (lineAfter.rssKb - lineAfter.jackShmKb) / 1024.0, lineAfter.hwmKb / 1024.0);
  std::printf("threads: %d\n", lineAfter.threads);
  PrintThreads("idle", idleBefore, idleAfter, idleSeconds, 0, pid);
  PrintThreads("latency phase", latencyBefore, latencyAfter, latencySeconds, options.messages, pid);
  PrintThreads("load phase", lineBefore, lineAfter, seconds, sent, pid);

  std::printf(
      "\n%d x line rate (%.0f msg/s) MIDI -> serial for %g s, program and floor at once "
      "(load %s; the phase took %.1f s with what was still on its way):\n",
      options.burstMultiple, burstRate, options.burstSeconds, loadBurst.c_str(), burstSeconds);
  std::printf("  %-10s %10s %10s %10s  %s\n", "", "sent", "received", "lost", "");
  for (int side = 0; side < 2; ++side) {
    const RateOutcome& trial = burst[side];
    std::string notes;
    if (!trial.inOrder) notes += " out of order;";
    if (trial.refused > 0) notes += " " + std::to_string(trial.refused) + " waits for room;";
    if (!trial.onTime) notes += " the load could not keep its pace;";
    std::printf("  %-10s %10llu %10llu %10llu %s\n", side == 0 ? "program" : "floor",
                static_cast<unsigned long long>(trial.sent),
                static_cast<unsigned long long>(trial.received),
                static_cast<unsigned long long>(trial.Lost()), notes.c_str());
  }
  std::printf(
      "  CPU: program %.3f %%, floor %.3f %% of one core; JACK xruns %llu, of which the "
      "server blamed %llu on %s\n",
      burstCpu, floorBurst, static_cast<unsigned long long>(burstXruns),
      static_cast<unsigned long long>(burstOurXruns),
      client.empty() ? "the program's client" : client.c_str());
  std::printf("\nJACK xruns in the whole run: %llu, of which the server blamed %llu on %s\n",
              static_cast<unsigned long long>(runXruns),
              static_cast<unsigned long long>(runOurXruns),
              client.empty() ? "the program's client" : client.c_str());
  std::printf("the program's JACK process callback, whole run (target: longest <= 50 us): %s\n",
              exitReport.processLine.empty() ? "the program wrote nothing of it"
                                             : exitReport.processLine.c_str());
  const platform::midi::ProcessTimes floorTimes = floor.ProcessTimes();
  std::printf(
      "the floor's JACK process callback, whole run: longest %.1f us, %llu of %llu cycles "
      "over 50 us\n",
      static_cast<double>(floorTimes.longestNs) / 1000.0,
      static_cast<unsigned long long>(floorTimes.overBudget),
      static_cast<unsigned long long>(floorTimes.cycles));
  for (const auto& line : exitReport.lossLines) std::printf("the program: %s\n", line.c_str());
  std::printf("\nthe program %s\n", clean ? "ended cleanly on SIGTERM" : "did not end cleanly");
  std::printf(
      "{\"mode\":\"%s\",\"added_us\":{\"midi_to_serial_p50\":%.1f,\"midi_to_serial_p99\":"
      "%.1f,\"serial_to_midi_p50\":%.1f,\"serial_to_midi_p99\":%.1f},\"cpu_percent\":{\"load\":"
      "%.3f,\"load_floor\":%.3f,\"idle\":%.3f,\"idle_floor\":%.3f},\"rss_besides_jack_kb\":%ld,"
      "\"threads\":%d,\"load_average\":\"%s\",\"line_rate_%dx\":{\"seconds\":%g,"
      "\"msgs_per_s\":%.0f,\"midi_to_serial\":{\"ours\":%s,\"floor\":%s},\"cpu_percent\":%.3f,"
      "\"cpu_percent_floor\":%.3f,\"xruns\":%llu,\"xruns_ours\":%llu},\"xruns\":%llu,"
      "\"xruns_ours\":%llu,\"process_callback\":%s,\"floor_process_callback\":{"
      "\"longest_us\":%.1f,\"over_50us\":%llu,\"cycles\":%llu}}\n",
      options.headless ? "program-headless" : "program", oursS.p50 - floorS.p50,
      oursS.p99 - floorS.p99, oursM.p50 - floorM.p50, oursM.p99 - floorM.p99, lineCpu, floorLine,
      idleCpu, floorIdle, lineAfter.rssKb - lineAfter.jackShmKb, lineAfter.threads,
      loadLine.c_str(), options.burstMultiple, options.burstSeconds, burstRate,
      Json(burst[0]).c_str(), Json(burst[1]).c_str(), burstCpu, floorBurst,
      static_cast<unsigned long long>(burstXruns), static_cast<unsigned long long>(burstOurXruns),
      static_cast<unsigned long long>(runXruns), static_cast<unsigned long long>(runOurXruns),
      Json(exitReport).c_str(), static_cast<double>(floorTimes.longestNs) / 1000.0,
      static_cast<unsigned long long>(floorTimes.overBudget),
      static_cast<unsigned long long>(floorTimes.cycles));
  std::error_code ignored;
  fs::remove(log, ignored);
  return 0;
}

}  // namespace

ProcessFigures LookAt(pid_t pid) {
  ProcessFigures result;
  const fs::path root = "/proc/" + std::to_string(pid);
  std::string name;
  auto fields = StatFields(ReadFile(root / "stat"), name);
  // utime and stime are fields 14 and 15 of the line; [0] here is field 3.
  if (fields.size() > 12) result.cpuTicks = std::stoull(fields[11]) + std::stoull(fields[12]);
  const std::string status = ReadFile(root / "status");
  result.rssKb = StatusKb(status, "VmRSS:");
  result.hwmKb = StatusKb(status, "VmHWM:");
  result.threads = static_cast<int>(StatusKb(status, "Threads:"));
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root / "task", error)) {
    TaskFigures task;
    const pid_t tid = std::atoi(entry.path().filename().c_str());
    fields = StatFields(ReadFile(entry.path() / "stat"), task.name);
    if (fields.size() <= 38) continue;
    task.cpuTicks = std::stoull(fields[11]) + std::stoull(fields[12]);
    task.policy = std::atoi(fields[38].c_str());  // field 41
    std::istringstream(ReadFile(entry.path() / "schedstat")) >> task.runtimeNs;
    const std::string taskStatus = ReadFile(entry.path() / "status");
    task.voluntary = static_cast<std::uint64_t>(StatusKb(taskStatus, "\nvoluntary_ctxt_switches:"));
    task.involuntary =
        static_cast<std::uint64_t>(StatusKb(taskStatus, "\nnonvoluntary_ctxt_switches:"));
    result.tasks[tid] = task;
  }
  std::ifstream smaps(root / "smaps");
  bool jack = false;
  for (std::string line; std::getline(smaps, line);) {
    if (line.empty()) continue;
    // A mapping's header starts with its address range, in hexadecimal.
    const bool header = std::isxdigit(static_cast<unsigned char>(line[0])) &&
                        line.find(':') > line.find('-') && line.find(" kB") == std::string::npos;
    if (header) {
      jack = line.find(" /dev/shm/jack") != std::string::npos;
    } else if (jack && line.rfind("Rss:", 0) == 0) {
      result.jackShmKb += std::atol(line.c_str() + 4);
    }
  }
  return result;
}

int RunProgramMode(int argc, char** argv) {
  ProgramOptions options;
  if (!Parse(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  try {
    return Run(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "velmora-bench: %s\n", error.what());
    return 1;
  }
}

}  // namespace velmora::bench
