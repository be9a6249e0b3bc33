#include "RestartPhase.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "JackRig.h"
#include "Phases.h"
#include "Rig.h"
#include "Stream.h"
#include "platform/midi/JackCycleOrder.h"
#include "support/Pty.h"
#include "tools/JackClient.h"

namespace velmora::bench {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kPeerName = "loop-peer";
constexpr int kSampleRate = 48000;

std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one;
  file >> one;
  return one;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool ThreadAlive(pid_t thread) {
  return syscall(SYS_tgkill, getpid(), thread, 0) == 0 || errno != ESRCH;
}

double Ms(SteadyClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The user's synthesizer: one JACK client, its output linked by the program to the program's
// MIDI input and its input to the program's MIDI output. What it plays leaves at the frame that
// stands for its time (stamped so); what arrives is stamped at its frame's time.
class LoopPeer {
 public:
  enum Port : int { kNone = 0, kIn = 1, kOut = 2 };

  // `watched`: a client whose joining after this one is told.
  LoopPeer(Stream& toSerial, Stream& toMidi, std::string watched = {})
      : toSerial_(toSerial),
        toMidi_(toMidi),
        watched_(std::move(watched)),
        timed_(tools::MakeJackRing(1 << 22)) {
    jack_status_t status{};
    client_ = jack_client_open(kPeerName, JackNoStartServer, &status);
    if (client_ == nullptr) throw std::runtime_error("the peer found no JACK server");
    jack_on_info_shutdown(client_, &LoopPeer::ServerGone, this);
    out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (out_ == nullptr || in_ == nullptr ||
        jack_set_process_callback(client_, &LoopPeer::Process, this) != 0 ||
        jack_set_port_connect_callback(client_, &LoopPeer::Linked, this) != 0 ||
        jack_set_client_registration_callback(client_, &LoopPeer::ClientJoined, this) != 0 ||
        jack_set_xrun_callback(client_, &LoopPeer::Xrun, this) != 0 ||
        jack_activate(client_) != 0) {
      jack_client_close(client_);
      throw std::runtime_error("the peer's JACK client could not be set up");
    }
  }

  // A live server's client leaves whole; a dead one's is only closed, once libjack's
  // notification thread has ended by itself (closing cancels it wherever it is, and a thread
  // cancelled while it holds libjack's mutex leaves the close waiting for ever).
  ~LoopPeer() {
    if (!gone_.load()) {
      jack_deactivate(client_);
      jack_port_unregister(client_, out_);
      jack_port_unregister(client_, in_);
    } else {
      const pid_t thread = notifier_.load();
      if (thread == 0) std::this_thread::sleep_for(1s);
      const auto deadline = SteadyClock::now() + 10s;
      while (thread != 0 && ThreadAlive(thread) && SteadyClock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
      }
    }
    jack_client_close(client_);
  }
  LoopPeer(const LoopPeer&) = delete;
  LoopPeer& operator=(const LoopPeer&) = delete;

  std::string OutName() const { return jack_port_name(out_); }
  std::string InName() const { return jack_port_name(in_); }
  std::vector<std::string> Links(Port port) const {
    std::vector<std::string> names;
    if (const char** list = jack_port_get_all_connections(client_, port == kIn ? in_ : out_)) {
      for (const char** name = list; *name; ++name) names.emplace_back(*name);
      jack_free(list);
    }
    return names;
  }
  // Which of its ports was linked first since it joined.
  Port FirstLinked() const { return static_cast<Port>(first_.load()); }
  bool Gone() const { return gone_.load(); }
  // Whether the watched client joined the server after this one did.
  bool WatchedJoined() const { return watchedJoined_.load(); }
  std::uint64_t Xruns() const { return xruns_.load(); }
  std::uint64_t Arrivals() const { return arrivals_.load(); }
  bool RealTime() const {
    int policy = 0;
    sched_param param{};
    return pthread_getschedparam(jack_client_thread_id(client_), &policy, &param) == 0 &&
           (policy == SCHED_FIFO || policy == SCHED_RR);
  }

  // Queues a message for the frame that stands for `at`; in order of time, one thread.
  bool PlayAt(std::uint32_t packed, SteadyClock::time_point at) {
    const Timed message{packed, JackUsOf(at)};
    if (timed_->WriteSpace() < sizeof message) return false;
    timed_->Write(&message, sizeof message);
    return true;
  }

  // Both links undone and made again, its own output's first: the loop is then closed by the
  // program's output, which JACK delays by a period.
  bool RelinkReversed() {
    const auto into = Links(kOut), from = Links(kIn);
    if (into.size() != 1 || from.size() != 1) return false;
    jack_port_disconnect(client_, out_);
    jack_port_disconnect(client_, in_);
    return jack_connect(client_, jack_port_name(out_), into[0].c_str()) == 0 &&
           jack_connect(client_, from[0].c_str(), jack_port_name(in_)) == 0;
  }

 private:
  struct Timed {
    std::uint32_t packed;
    std::int64_t atUs;  // JACK's microseconds
  };

  static int Process(jack_nframes_t frames, void* self) {
    auto& peer = *static_cast<LoopPeer*>(self);
    [[maybe_unused]] const platform::midi::JackCycleOrder order;
    jack_nframes_t first = 0;
    jack_time_t start = 0, next = 0;
    float periodUs = 0;
    const bool timed =
        jack_get_cycle_times(peer.client_, &first, &start, &next, &periodUs) == 0 && next > start;
    const auto frameTime = [&](jack_nframes_t frame) {
      return SteadyOfJack(start + (next - start) * frame / frames);
    };
    void* out = jack_port_get_buffer(peer.out_, frames);
    jack_midi_clear_buffer(out);
    jack_nframes_t frame = 0;
    Timed message{};
    while (timed && peer.timed_->ReadSpace() >= sizeof message) {
      peer.timed_->Peek(&message, sizeof message);
      const auto at = static_cast<jack_time_t>(std::max<std::int64_t>(message.atUs, 0));
      if (at >= next) break;  // a later cycle's
      if (at > start) {
        frame =
            std::max(frame, static_cast<jack_nframes_t>((at - start) * frames / (next - start)));
      }
      jack_midi_data_t* data = jack_midi_event_reserve(out, frame, 3);
      if (data == nullptr) break;
      peer.timed_->ReadAdvance(sizeof message);
      for (int i = 0; i < 3; ++i)
        data[i] = static_cast<jack_midi_data_t>(message.packed >> (8 * i));
      peer.toSerial_.Left(SeqOf(message.packed), frameTime(frame));
    }
    void* in = jack_port_get_buffer(peer.in_, frames);
    const std::uint32_t count = jack_midi_get_event_count(in);
    for (std::uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, in, i) != 0 || event.size != 3) continue;
      const std::uint32_t packed =
          event.buffer[0] | (event.buffer[1] << 8) | (event.buffer[2] << 16);
      peer.toMidi_.Arrived(packed, timed ? frameTime(event.time) : SteadyClock::now());
      peer.arrivals_.fetch_add(1);
    }
    return 0;
  }

  // Before its second link the program waits until the first carries: one is seen alone.
  static void Linked(jack_port_id_t, jack_port_id_t, int connect, void* self) {
    auto& peer = *static_cast<LoopPeer*>(self);
    peer.notifier_.store(gettid());
    if (connect == 0) return;
    const bool in = jack_port_connected(peer.in_) > 0, out = jack_port_connected(peer.out_) > 0;
    int none = kNone;
    if (in != out) peer.first_.compare_exchange_strong(none, in ? kIn : kOut);
  }

  static void ClientJoined(const char* name, int registered, void* self) {
    auto& peer = *static_cast<LoopPeer*>(self);
    if (registered != 0 && peer.watched_ == name) peer.watchedJoined_.store(true);
  }

  static void ServerGone(jack_status_t, const char*, void* self) {
    auto& peer = *static_cast<LoopPeer*>(self);
    peer.notifier_.store(gettid());
    peer.gone_.store(true);
  }

  static int Xrun(void* self) {
    static_cast<LoopPeer*>(self)->xruns_.fetch_add(1);
    return 0;
  }

  Stream& toSerial_;  // departures stamped by the process thread
  Stream& toMidi_;    // arrivals stamped by the process thread
  const std::string watched_;
  tools::JackRing timed_;  // Timed records: the measuring thread writes, the process thread reads
  jack_client_t* client_ = nullptr;
  jack_port_t* out_ = nullptr;
  jack_port_t* in_ = nullptr;
  // Written by libjack's threads, read by the measuring thread.
  std::atomic<int> first_{kNone};
  std::atomic<bool> gone_{false};
  std::atomic<bool> watchedJoined_{false};
  std::atomic<pid_t> notifier_{0};
  std::atomic<std::uint64_t> xruns_{0}, arrivals_{0};
};

// The spread of one way's delays, in milliseconds.
struct Way {
  double p10 = 0, p50 = 0, p90 = 0;
  std::size_t count = 0, lost = 0;
};

Way WayOf(const Stream& stream) {
  Way way;
  std::vector<double> us = stream.LatenciesUs(way.lost, true);
  way.count = us.size();
  if (us.empty()) return way;
  std::sort(us.begin(), us.end());
  const auto at = [&](double share) {
    return us[std::min(us.size() - 1, static_cast<std::size_t>(share * us.size()))] / 1000.0;
  };
  way.p10 = at(0.10);
  way.p50 = at(0.50);
  way.p90 = at(0.90);
  return way;
}

struct Round {
  Way toSerial, toMidi;
  std::uint64_t xruns = 0;
  std::string load;
};

// The paths the phase drives: the peer's JACK ports and the far end of the program's line.
struct Loop {
  Stream toSerial, toMidi;
  std::atomic<std::uint64_t> lineArrivals{0};  // written by the tap's thread
  int master = -1;
  std::unique_ptr<LoopPeer> peer;  // last: its process thread stamps the streams

  void WriteLine(std::uint32_t seq, bool timed) {
    std::uint8_t bytes[3];
    BytesOf(seq, bytes);
    if (timed) toMidi.Left(seq, SteadyClock::now());
    WriteAll(master, bytes, 3);
  }

  // Both links of the program to the peer, each to one of the program's ports.
  bool Linked() const {
    return peer->Links(LoopPeer::kIn).size() == 1 && peer->Links(LoopPeer::kOut).size() == 1;
  }

  // A message each way until both come back: the program's links carry.
  bool Carries(const std::function<bool()>& running) {
    const auto deadline = SteadyClock::now() + 30s;
    while (SteadyClock::now() < deadline && running()) {
      const std::uint64_t line = lineArrivals.load(), midi = peer->Arrivals();
      peer->PlayAt(PackedOf(0), SteadyClock::now());
      WriteLine(0, false);
      const auto wait = SteadyClock::now() + 500ms;
      while (SteadyClock::now() < wait) {
        if (lineArrivals.load() > line && peer->Arrivals() > midi) {
          std::this_thread::sleep_for(200ms);  // what else was on its way
          return true;
        }
        std::this_thread::sleep_for(5ms);
      }
    }
    return false;
  }

  // `n` messages each way, 7 to 10 ms apart so that they fall anywhere in a cycle; MIDI ->
  // serial placed at their frames, serial -> MIDI written to the line at their times.
  Round Measure(std::size_t n) {
    Round round;
    const std::uint64_t xruns = peer->Xruns();
    toSerial.Reset(n);
    toMidi.Reset(n);
    std::minstd_rand random(7);
    std::uniform_int_distribution<int> extra(0, 2999);
    std::vector<SteadyClock::time_point> times(n);
    const auto schedule = [&](SteadyClock::time_point from) {
      for (auto& time : times) {
        from += 7ms + std::chrono::microseconds(extra(random));
        time = from;
      }
    };
    schedule(SteadyClock::now() + 200ms);
    for (std::size_t i = 0; i < n; ++i)
      peer->PlayAt(PackedOf(static_cast<std::uint32_t>(i)), times[i]);
    std::this_thread::sleep_until(times.back() + 100ms);
    Drain({{&toSerial, n}});
    schedule(SteadyClock::now() + 50ms);
    for (std::size_t i = 0; i < n; ++i) {
      std::this_thread::sleep_until(times[i]);
      WriteLine(static_cast<std::uint32_t>(i), true);
    }
    Drain({{&toMidi, n}});
    round.toSerial = WayOf(toSerial);
    round.toMidi = WayOf(toMidi);
    round.xruns = peer->Xruns() - xruns;
    round.load = LoadAverage();
    return round;
  }
};

const char* PortText(LoopPeer::Port port) {
  switch (port) {
    case LoopPeer::kIn:
      return "the program's MIDI Out first (into the peer's input), then its MIDI In";
    case LoopPeer::kOut:
      return "the program's MIDI In first (from the peer's output), then its MIDI Out";
    default:
      return "no link seen";
  }
}

// The program's log lines that tell of a device opened again (the headless program writes its
// log to its output; the window program shows it only in its window).
std::vector<std::string> ReopenLines(const fs::path& log) {
  std::vector<std::string> lines;
  std::istringstream text(ReadFile(log));
  for (std::string line; std::getline(text, line);) {
    if (line.find("rebranché, rouvert") != std::string::npos) lines.push_back(line);
  }
  return lines;
}

// One restart: jackd stopped (SIGTERM) and started again under the same name, the peer back on
// the new server at once or once the program is back, and what the links carry then.
struct Restarted {
  bool peerLate = false;  // the peer joined once the program had
  Round round;
  LoopPeer::Port order = LoopPeer::kNone;  // which link the program made first
  bool programFirst = false;               // the program joined the new server before the peer
  bool peerTold = false;                   // the peer was told of the old server's end
  bool relinked = false;                   // the peer's reversed links, when asked for
  double serverSeconds = 0;                // from the stop until the new server answered
  double linkSeconds = 0;                  // from then until both links were back
  std::vector<std::string> reopened;       // the program's lines of it, when it writes its log
};

}  // namespace

int RunRestartPhase(const RestartOptions& options, const ProgramControl& program) {
  // The program asks for a server twice a second: this long leaves it time to join first.
  constexpr auto kPeerLate = 2s;
  const double periodMs = 1000.0 * options.period / kSampleRate;
  const std::string loadAtStart = LoadAverage();
  std::optional<JackServer> server(std::in_place, kSampleRate, options.period, options.realtime);
  const std::string serverName = server->name();
  Loop loop;
  Pty pty;
  loop.master = pty.master();
  SerialTap tap(pty.master(), [&](std::uint32_t packed, SteadyClock::time_point at) {
    loop.toSerial.Arrived(packed, at);
    loop.lineArrivals.fetch_add(1);
  });
  loop.peer = std::make_unique<LoopPeer>(loop.toSerial, loop.toMidi);
  const bool realTime = loop.peer->RealTime();

  char folder[] = "/tmp/velmora-bench-restart-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  struct Remove {
    fs::path path;
    ~Remove() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } remove{folder};
  const fs::path log = remove.path / "program.log";
  std::vector<std::string> args{"--no-settings",      "--port",     "/dev/ttyV0",       "--midi-in",
                                loop.peer->OutName(), "--midi-out", loop.peer->InName()};
  args.insert(args.end(), options.args.begin(), options.args.end());
  const auto fail = [&](const char* what) {
    program.stop();
    std::fprintf(stderr, "velmora-bench: %s; the program said:\n%s\n", what, ReadFile(log).c_str());
    return 1;
  };
  if (!program.start(pty.slavePath(), args, log, remove.path)) return fail("it did not start");
  auto waitLinked = [&] {
    const auto deadline = SteadyClock::now() + 30s;
    while (program.running() && SteadyClock::now() < deadline && !loop.Linked()) {
      std::this_thread::sleep_for(5ms);
    }
    return loop.Linked();
  };
  if (!waitLinked() || !loop.Carries(program.running)) {
    return fail("the program did not link to the peer or nothing went through it");
  }
  const LoopPeer::Port startOrder = loop.peer->FirstLinked();
  const std::string programClient = [&] {
    const std::string port = loop.peer->Links(LoopPeer::kIn).front();
    return port.substr(0, port.find(':'));
  }();
  std::fprintf(stderr, "... before the restarts: %zu messages each way\n", options.messages);
  const Round before = loop.Measure(options.messages);

  // The peer, told of the server's end, closes its dead client before any other is opened in
  // this process (libjack frees a dead server's clients when the next one opens).
  Restarted restarts[2];
  for (Restarted& r : restarts) {
    r.peerLate = &r != &restarts[0];
    std::fprintf(stderr, "... restarting JACK server %s, the peer back %s\n", serverName.c_str(),
                 r.peerLate ? "2 s after it" : "at once");
    const std::size_t reopenedBefore = ReopenLines(log).size();
    const auto stopping = SteadyClock::now();
    server.reset();
    const auto peerToldBy = SteadyClock::now() + 5s;
    while (!loop.peer->Gone() && SteadyClock::now() < peerToldBy) {
      std::this_thread::sleep_for(10ms);
    }
    r.peerTold = loop.peer->Gone();
    loop.peer.reset();
    server.emplace(kSampleRate, options.period, options.realtime);
    const auto serverBack = SteadyClock::now();
    r.serverSeconds = Ms(serverBack - stopping) / 1000.0;
    if (r.peerLate) std::this_thread::sleep_for(kPeerLate);
    loop.peer = std::make_unique<LoopPeer>(loop.toSerial, loop.toMidi, programClient);
    if (!waitLinked()) return fail("the program did not link to the peer again");
    r.linkSeconds = Ms(SteadyClock::now() - serverBack) / 1000.0;
    r.programFirst = !loop.peer->WatchedJoined();
    r.order = loop.peer->FirstLinked();
    if (options.relinkReversed) {
      r.relinked = loop.peer->RelinkReversed();
      // The program looks at a cut link three times, 100 ms apart: it sees it whole again.
      std::this_thread::sleep_for(500ms);
    }
    if (!loop.Carries(program.running)) return fail("nothing went through the program again");
    std::fprintf(stderr, "... after the restart: %zu messages each way\n", options.messages);
    r.round = loop.Measure(options.messages);
    r.reopened = ReopenLines(log);
    r.reopened.erase(r.reopened.begin(),
                     r.reopened.begin() +
                         static_cast<std::ptrdiff_t>(std::min(reopenedBefore, r.reopened.size())));
  }
  const bool running = program.running();
  const bool clean = program.stop();

  // Timed exactly, serial -> MIDI keeps one period within a fraction of a millisecond; sent at
  // once, it is spread over a whole period and its median moves by a millisecond or two from
  // one round to the next. Either way a loop broken on its side moves it by a whole period.
  const double tolerance = options.exactTiming ? 1.0 : periodMs / 4;
  bool pass = running && before.toMidi.lost + before.toSerial.lost == 0 &&
              before.toMidi.p50 < 1.5 * periodMs;
  for (const Restarted& r : restarts) {
    pass = pass && std::abs(r.round.toMidi.p50 - before.toMidi.p50) <= tolerance &&
           r.round.toMidi.p50 < 1.5 * periodMs && r.round.toMidi.lost + r.round.toSerial.lost == 0;
  }

  std::printf(
      "\nvelmora-bench --program --restart: %s, %s; JACK server %s, dummy driver,\n"
      "%d Hz, %d frames a cycle (one period: %.2f ms), %s\n",
      options.program.c_str(), options.headless ? "headless" : "window offscreen",
      serverName.c_str(), kSampleRate, options.period, periodMs,
      realTime ? "real-time" : "no real-time scheduling");
  std::printf(
      "the peer: one JACK client (%s) with both ports, its output into the program's MIDI "
      "input and the program's MIDI output into its input\n",
      kPeerName);
  std::printf("load average (one minute) at start %s\n\n", loadAtStart.c_str());
  std::printf(
      "delays in ms, %zu messages each way a round, 7 to 10 ms apart; MIDI timed at its "
      "frame's time in the peer's process callback, the line at the far end's read; the "
      "program's timing %s\n",
      options.messages, options.exactTiming ? "exact" : "fast");
  std::printf("  %-24s | %-25s | %-25s | %9s %6s %5s\n", "", "MIDI -> serial", "serial -> MIDI",
              "lost", "xruns", "load");
  std::printf("  %-24s | %7s %8s %8s | %7s %8s %8s |\n", "", "p10", "p50", "p90", "p10", "p50",
              "p90");
  const auto row = [](const char* label, const Round& r) {
    std::printf("  %-24s | %7.2f %8.2f %8.2f | %7.2f %8.2f %8.2f | %4zu /%3zu %6llu %5s\n", label,
                r.toSerial.p10, r.toSerial.p50, r.toSerial.p90, r.toMidi.p10, r.toMidi.p50,
                r.toMidi.p90, r.toSerial.lost, r.toMidi.lost,
                static_cast<unsigned long long>(r.xruns), r.load.c_str());
  };
  row("before the restarts", before);
  row("restart, peer at once", restarts[0].round);
  row("restart, peer 2 s later", restarts[1].round);
  std::printf("  %-24s | %16.2f %8s | %16.2f %8s |\n", "floor: one period", periodMs, "", periodMs,
              "");
  std::printf(
      "the program's exact timing: serial -> MIDI one period (%.2f ms); two (%.2f ms) when JACK\n"
      "breaks the loop on the program's output. MIDI -> serial one period more when it breaks\n"
      "the loop on the program's input.\n\n",
      periodMs, 2 * periodMs);
  std::printf("links at start-up: %s\n", PortText(startOrder));
  for (const Restarted& r : restarts) {
    std::printf(
        "restart, the peer back %s: links %s;\n  the server stopped and back in %.2f s (the peer "
        "%s of its end); the program %s the new server before the peer; both links back %.2f s "
        "after the server\n",
        r.peerLate ? "2 s later" : "at once", PortText(r.order), r.serverSeconds,
        r.peerTold ? "was told" : "was NOT told", r.programFirst ? "joined" : "had not joined",
        r.linkSeconds);
    if (options.relinkReversed) {
      std::printf(
          "  then the peer undid both links and made them again, its output first (bench "
          "only): %s\n",
          r.relinked ? "done" : "FAILED");
    }
    for (const auto& line : r.reopened) std::printf("  the program: %s\n", line.c_str());
  }
  std::printf("\n");
  for (const Restarted& r : restarts) {
    const double moved = r.round.toMidi.p50 - before.toMidi.p50;
    char label[96];
    std::snprintf(label, sizeof label,
                  "serial -> MIDI p50, after (peer %s) - before (within %.2g ms)",
                  r.peerLate ? "later" : "at once", tolerance);
    std::printf("  %-66s %+.2f ms %s\n", label, moved,
                std::abs(moved) <= tolerance ? "ok" : "MISSED");
    std::printf("  %-66s %+.2f ms\n", "MIDI -> serial p50, the same",
                r.round.toSerial.p50 - before.toSerial.p50);
  }
  bool onePeriod = before.toMidi.p50 < 1.5 * periodMs;
  for (const Restarted& r : restarts) onePeriod = onePeriod && r.round.toMidi.p50 < 1.5 * periodMs;
  std::printf("  %-66s %s\n", "serial -> MIDI p50 under 1.5 periods in every round",
              onePeriod ? "ok" : "MISSED");
  if (!running) std::printf("  the program had ended\n");
  std::printf("restart check: %s\n", pass ? "PASS" : "FAIL");
  std::printf("the program %s\n", clean ? "ended cleanly on SIGTERM" : "did not end cleanly");
  const auto json = [](const Round& r) {
    char text[320];
    std::snprintf(text, sizeof text,
                  "{\"midi_to_serial\":{\"p10_ms\":%.3f,\"p50_ms\":%.3f,\"p90_ms\":%.3f,"
                  "\"lost\":%zu},\"serial_to_midi\":{\"p10_ms\":%.3f,\"p50_ms\":%.3f,"
                  "\"p90_ms\":%.3f,\"lost\":%zu}}",
                  r.toSerial.p10, r.toSerial.p50, r.toSerial.p90, r.toSerial.lost, r.toMidi.p10,
                  r.toMidi.p50, r.toMidi.p90, r.toMidi.lost);
    return std::string(text);
  };
  std::printf(
      "{\"mode\":\"%s-restart\",\"timing\":\"%s\",\"period_frames\":%d,\"period_ms\":%.3f,\"relink_"
      "reversed\":%s,"
      "\"load_average\":\"%s\",\"before\":%s,\"peer_at_once\":%s,\"peer_later\":%s,\"pass\":%s}\n",
      options.headless ? "program-headless" : "program", options.exactTiming ? "exact" : "fast",
      options.period, periodMs, options.relinkReversed ? "true" : "false", loadAtStart.c_str(),
      json(before).c_str(), json(restarts[0].round).c_str(), json(restarts[1].round).c_str(),
      pass ? "true" : "false");
  return pass ? 0 : 3;
}

}  // namespace velmora::bench
