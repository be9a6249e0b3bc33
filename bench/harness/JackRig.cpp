#include "JackRig.h"

#include <fcntl.h>
#include <jack/midiport.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace velmora::bench {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kQueueBytes = 1 << 21;  // 512 Ki messages

void Silent(const char*) {}

bool Alive(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == 0;
}

// A process that is there and not a zombie (jackd's parent, our shell, reaps it only later).
bool Running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto end = line.rfind(')');
  return end != std::string::npos && end + 2 < line.size() && line[end + 2] != 'Z';
}

void Pack(std::uint32_t packed, jack_midi_data_t* data) {
  data[0] = static_cast<jack_midi_data_t>(packed);
  data[1] = static_cast<jack_midi_data_t>(packed >> 8);
  data[2] = static_cast<jack_midi_data_t>(packed >> 16);
}

std::uint32_t Unpack(const jack_midi_data_t* data) {
  return data[0] | (data[1] << 8) | (data[2] << 16);
}

// Moves queued messages into an output port buffer until either runs out; returns how many.
std::uint32_t Drain(platform::midi::ByteRing* queue, void* buffer, bool& full,
                    Stream* departures = nullptr, SteadyClock::time_point at = {}) {
  std::uint32_t written = 0;
  full = false;
  std::uint32_t packed = 0;
  while (queue->ReadSpace() >= sizeof packed) {
    jack_midi_data_t* data = jack_midi_event_reserve(buffer, 0, 3);
    if (data == nullptr) {
      full = true;
      break;
    }
    queue->Read(&packed, sizeof packed);
    Pack(packed, data);
    if (departures) departures->Left(SeqOf(packed), at);
    ++written;
  }
  return written;
}

}  // namespace

// ---- JackServer -------------------------------------------------------------------------

// jackd runs under a shell that holds the read end of a pipe from us. A "stop" line ends the
// server at once; end of file without one (we were killed, or crashed) ends it two seconds
// later: stopped while it still drops our dead clients, jackd leaves its name in JACK's
// registry of servers, whose eight places are shared by the whole machine.
constexpr const char* kGuard =
    "trap '' INT HUP\n"
    "jackd \"$1\" -d dummy -r \"$2\" -p \"$3\" </dev/null & j=$!\n"
    "echo $j >\"$4\"\n"
    "if read -r _; then kill $j; else sleep 2; kill $j; fi\n"
    "wait $j\n";

JackServer::JackServer(int sampleRate, int period, bool realtime)
    : name_("velmora-bench-" + std::to_string(getpid())),
      log_(fs::temp_directory_path() / (name_ + "-jackd.log")),
      pidFile_(fs::temp_directory_path() / (name_ + "-jackd.pid")) {
  setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
  setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
  fs::remove(pidFile_);
  const std::string rate = std::to_string(sampleRate);
  const std::string frames = std::to_string(period);
  const std::string log = log_.string();
  const std::string pidFile = pidFile_.string();
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("cannot start jackd: no pipe");
  guard_ = fork();
  if (guard_ < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    throw std::runtime_error("cannot start jackd: fork failed");
  }
  if (guard_ == 0) {
    // Only async-signal-safe calls between fork and exec.
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(pipeFds[0], 0);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    execl("/bin/sh", "sh", "-c", kGuard, "sh", realtime ? "--realtime" : "--no-realtime",
          rate.c_str(), frames.c_str(), pidFile.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[0]);
  stop_ = pipeFds[1];
  jack_set_error_function(&Silent);
  jack_set_info_function(&Silent);
  const auto deadline = SteadyClock::now() + 20s;
  while (SteadyClock::now() < deadline && Alive(guard_)) {
    if (jackd_ <= 0) {
      std::ifstream file(pidFile_);
      file >> jackd_;
    }
    if (jackd_ > 0 && !Running(jackd_)) break;  // it gave up
    jack_status_t status{};
    if (jack_client_t* probe =
            jack_client_open("velmora-bench-probe", JackNoStartServer, &status)) {
      jack_client_close(probe);
      return;
    }
    std::this_thread::sleep_for(100ms);
  }
  std::ifstream text(log_);
  std::stringstream said;
  said << text.rdbuf();
  Stop();
  throw std::runtime_error("jackd did not come up:\n" + said.str());
}

JackServer::~JackServer() {
  Stop();
}

void JackServer::Stop() {
  if (guard_ <= 0) return;
  static const char kStop[] = "stop\n";
  if (Alive(guard_)) (void)!write(stop_, kStop, sizeof kStop - 1);  // no reader: SIGPIPE
  close(stop_);
  const auto deadline = SteadyClock::now() + 5s;
  while (SteadyClock::now() < deadline && Alive(guard_)) std::this_thread::sleep_for(20ms);
  if (Alive(guard_)) {
    if (jackd_ > 0) kill(jackd_, SIGKILL);
    kill(guard_, SIGKILL);
    waitpid(guard_, nullptr, 0);
  }
  guard_ = -1;
  std::error_code ignored;
  fs::remove(log_, ignored);
  fs::remove(pidFile_, ignored);
}

std::uint64_t JackServer::XrunsNaming(const std::string& client) const {
  std::ifstream log(log_);
  std::uint64_t count = 0;
  for (std::string line; std::getline(log, line);) {
    if (line.find("JackEngine::XRun: client") == std::string::npos) continue;
    // The name ends where the line's own words go on: "velmora" is not "velmora-bench".
    if (line.find("client = " + client + " was not finished") != std::string::npos ||
        line.find("client " + client + " finished after") != std::string::npos) {
      ++count;
    }
  }
  return count;
}

// ---- JackFarSide ------------------------------------------------------------------------

JackFarSide::JackFarSide(Lane ours, Lane floor)
    : player_("velmora-bench", &JackFarSide::ProcessPlayer, this),
      listener_("velmora-bench-in", &JackFarSide::ProcessListener, this) {
  ports_[0].lane = ours;
  ports_[1].lane = floor;
  for (Port& port : ports_) {
    port.queue = tools::MakeJackRing(kQueueBytes);
    port.timed = tools::MakeJackRing(kQueueBytes);
  }
  ports_[0].source = player_.registerPort("to-ours", true);
  ports_[1].source = player_.registerPort("to-floor", true);
  probe_ = player_.registerPort("probe", true);
  ports_[0].sink = listener_.registerPort("from-ours", false);
  ports_[1].sink = listener_.registerPort("from-floor", false);
  player_.activate();
  listener_.activate();
}

JackFarSide::~JackFarSide() {
  player_.leave();
  listener_.leave();
}

std::string JackFarSide::SourceName(bool floor) const {
  return jack_port_name(ports_[floor].source);
}
std::string JackFarSide::SinkName(bool floor) const {
  return jack_port_name(ports_[floor].sink);
}

bool JackFarSide::Play(bool floor, std::uint32_t packed) {
  platform::midi::ByteRing* queue = ports_[floor].queue.get();
  if (queue->WriteSpace() < sizeof packed) return false;
  queue->Write(&packed, sizeof packed);
  return true;
}

bool JackFarSide::PlayAt(bool floor, std::uint32_t packed, SteadyClock::time_point at) {
  platform::midi::ByteRing* queue = ports_[floor].timed.get();
  const TimedMessage message{packed, JackUsOf(at)};
  if (queue->WriteSpace() < sizeof message) return false;
  queue->Write(&message, sizeof message);
  return true;
}

void JackFarSide::PlayTimed(Port& port, void* buffer, jack_nframes_t frames) {
  jack_nframes_t first = 0;
  jack_time_t start = 0, next = 0;
  float periodUs = 0;
  if (jack_get_cycle_times(player_.get(), &first, &start, &next, &periodUs) != 0 || next <= start) {
    return;
  }
  platform::midi::ByteRing* queue = port.timed.get();
  jack_nframes_t frame = 0;
  TimedMessage message{};
  while (queue->ReadSpace() >= sizeof message) {
    queue->Peek(&message, sizeof message);
    const auto at = static_cast<jack_time_t>(std::max<std::int64_t>(message.atUs, 0));
    if (at >= next) return;  // a later cycle's
    if (at > start) {
      frame = std::max(frame, static_cast<jack_nframes_t>((at - start) * frames / (next - start)));
    }
    jack_midi_data_t* data = jack_midi_event_reserve(buffer, frame, 3);
    if (data == nullptr) return;
    queue->ReadAdvance(sizeof message);
    Pack(message.packed, data);
    port.lane.toSerial->Left(SeqOf(message.packed),
                             SteadyOfJack(start + (next - start) * frame / frames));
  }
}

std::vector<std::string> JackFarSide::Connections(bool floor, bool source) const {
  return source ? player_.connections(ports_[floor].source)
                : listener_.connections(ports_[floor].sink);
}

bool JackFarSide::Connect(const std::string& from, const std::string& to) const {
  return player_.connect(from, to);
}

jack_nframes_t JackFarSide::SampleRate() const {
  return jack_get_sample_rate(player_.get());
}
jack_nframes_t JackFarSide::Period() const {
  return jack_get_buffer_size(player_.get());
}

int JackFarSide::ProcessPlayer(jack_nframes_t frames, void* self) {
  auto& side = *static_cast<JackFarSide*>(self);
  if (side.capacity_.load(std::memory_order_relaxed) == 0) {
    void* probe = jack_port_get_buffer(side.probe_, frames);
    jack_midi_clear_buffer(probe);
    std::uint32_t fits = 0;
    while (jack_midi_event_reserve(probe, 0, 3) != nullptr) ++fits;
    jack_midi_clear_buffer(probe);
    side.capacity_.store(fits, std::memory_order_release);
  }
  for (Port& port : side.ports_) {
    void* out = jack_port_get_buffer(port.source, frames);
    jack_midi_clear_buffer(out);
    bool full = false;
    const std::uint32_t written =
        Drain(port.queue.get(), out, full, port.lane.toSerial, SteadyClock::now());
    if (full) side.fullCycles_.fetch_add(1, std::memory_order_relaxed);
    side.PlayTimed(port, out, frames);
    if (written > side.mostPerCycle_.load(std::memory_order_relaxed)) {
      side.mostPerCycle_.store(written, std::memory_order_relaxed);
    }
  }
  return 0;
}

int JackFarSide::ProcessListener(jack_nframes_t frames, void* self) {
  auto& side = *static_cast<JackFarSide*>(self);
  const auto cycle = SteadyClock::now();
  jack_nframes_t first = 0;
  jack_time_t start = 0, next = 0;
  float periodUs = 0;
  const bool framed =
      side.framed_.load(std::memory_order_acquire) &&
      jack_get_cycle_times(side.listener_.get(), &first, &start, &next, &periodUs) == 0 &&
      next > start;
  for (Port& port : side.ports_) {
    void* in = jack_port_get_buffer(port.sink, frames);
    const std::uint32_t count = jack_midi_get_event_count(in);
    for (std::uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, in, i) == 0 && event.size == 3) {
        port.lane.toMidi->Arrived(
            Unpack(event.buffer),
            framed ? SteadyOfJack(start + (next - start) * event.time / frames) : cycle);
      }
    }
  }
  return 0;
}

// ---- clocks -----------------------------------------------------------------------------

namespace {
std::int64_t SteadyUs(SteadyClock::time_point at) {
  return std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
}
// JACK's clock minus ours, read once.
std::int64_t JackMinusSteadyUs() {
  static const std::int64_t offset = [] {
    const std::int64_t before = SteadyUs(SteadyClock::now());
    const auto jack = static_cast<std::int64_t>(jack_get_time());
    const std::int64_t after = SteadyUs(SteadyClock::now());
    return jack - (before + after) / 2;
  }();
  return offset;
}
}  // namespace

std::int64_t JackUsOf(SteadyClock::time_point at) {
  return SteadyUs(at) + JackMinusSteadyUs();
}

SteadyClock::time_point SteadyOfJack(jack_time_t us) {
  return SteadyClock::time_point(
      std::chrono::microseconds(static_cast<std::int64_t>(us) - JackMinusSteadyUs()));
}

// ---- JackFloor --------------------------------------------------------------------------

JackFloor::JackFloor(const Pty& pty)
    : fd_(pty.openSlaveRaw()), client_("velmora-bench-floor", &JackFloor::Process, this) {
  in_ = client_.registerPort("in", false);
  out_ = client_.registerPort("out", true);
  queue_ = tools::MakeJackRing(kQueueBytes);
  client_.activate();
  reader_ = std::thread([this] { Read(); });
}

JackFloor::~JackFloor() {
  stop_.raise();
  reader_.join();
  client_.leave();
  close(fd_);
}

std::string JackFloor::SourceName() const {
  return jack_port_name(out_);
}
std::string JackFloor::SinkName() const {
  return jack_port_name(in_);
}

int JackFloor::Process(jack_nframes_t frames, void* self) {
  auto& floor = *static_cast<JackFloor*>(self);
  void* in = jack_port_get_buffer(floor.in_, frames);
  const std::uint32_t count = jack_midi_get_event_count(in);
  for (std::uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, in, i) != 0) continue;
    if (write(floor.fd_, event.buffer, event.size) != static_cast<ssize_t>(event.size)) {
      floor.dropped_.fetch_add(1, std::memory_order_relaxed);
    }
  }
  void* out = jack_port_get_buffer(floor.out_, frames);
  jack_midi_clear_buffer(out);
  bool full = false;
  Drain(floor.queue_.get(), out, full);
  return 0;
}

void JackFloor::Read() {
  ReadMessages(fd_, stop_, [this](std::uint32_t packed, SteadyClock::time_point) {
    if (queue_->WriteSpace() >= sizeof packed) {
      queue_->Write(&packed, sizeof packed);
    } else {
      dropped_.fetch_add(1, std::memory_order_relaxed);
    }
  });
}

// ---- memory -----------------------------------------------------------------------------

long SharedMemoryRssKb() {
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool shm = false;
  long total = 0;
  while (std::getline(smaps, line)) {
    if (line.empty()) continue;
    // A mapping's header starts with its address range, in hexadecimal.
    const bool header = std::isxdigit(static_cast<unsigned char>(line[0])) &&
                        line.find(':') > line.find('-') && line.find(" kB") == std::string::npos;
    if (header) {
      shm = line.find(" /dev/shm/") != std::string::npos;
    } else if (shm && line.rfind("Rss:", 0) == 0) {
      total += std::atol(line.c_str() + 4);
    }
  }
  return total;
}

long PeakRssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

}  // namespace velmora::bench
