#include "FloodPhase.h"

#include <jack/midiport.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Rig.h"
#include "Stream.h"
#include "tools/JackClient.h"

namespace velmora::bench {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using platform::midi::ByteRing;

constexpr std::size_t kRingBytes = 1 << 20;
constexpr std::int32_t kFloodBaud = 20'000'000;  // so that system exclusive's pace is no limit
constexpr double kLineBytesPerSecond = 3840;     // 38400 baud 8N1
constexpr std::size_t kBursts[] = {100, 1000};

// The kinds a flood cycles through: status and length in bytes.
struct Kind {
  std::uint8_t status;
  std::size_t size;
};
// Real-time messages follow the longest system exclusive: serial -> MIDI, they go inside it.
constexpr Kind kKinds[] = {
    {0x80, 3}, {0x90, 3}, {0xA0, 3}, {0xB0, 3}, {0xC0, 2}, {0xD0, 2}, {0xE0, 3},   {0xF1, 2},
    {0xF2, 3}, {0xF3, 2}, {0xF6, 1}, {0xF4, 1}, {0xF5, 1}, {0xF0, 4}, {0xF0, 200}, {0xF0, 3000},
    {0xF8, 1}, {0xFA, 1}, {0xFB, 1}, {0xFC, 1}, {0xFE, 1}, {0xFF, 1}, {0xF9, 1},   {0xFD, 1},
};
constexpr std::size_t kKindCount = sizeof kKinds / sizeof kKinds[0];

// Message `i` of a flood: its kind's occurrence number `j` rides in every bit the kind has
// (channel, data bytes, the first payload bytes), and a system exclusive's other bytes follow
// from it, so that an altered byte shows.
Bytes MessageOf(std::size_t i) {
  const Kind kind = kKinds[i % kKindCount];
  const auto j = static_cast<std::uint32_t>(i / kKindCount);
  auto bits = [j](int shift) { return static_cast<std::uint8_t>((j >> shift) & 0x7F); };
  if (kind.status < 0xF0) {
    if (kind.size == 2)
      return {static_cast<std::uint8_t>(kind.status | ((j >> 7) & 0x0F)), bits(0)};
    return {static_cast<std::uint8_t>(kind.status | ((j >> 14) & 0x0F)), bits(7), bits(0)};
  }
  if (kind.status == 0xF0) {
    Bytes sysex(kind.size);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    for (std::size_t t = 1; t + 1 < kind.size; ++t) {
      sysex[t] = t <= 3 ? bits(7 * static_cast<int>(t - 1))
                        : static_cast<std::uint8_t>((j * 31 + t) & 0x7F);
    }
    return sysex;
  }
  if (kind.size == 3) return {kind.status, bits(0), bits(7)};
  if (kind.size == 2) return {kind.status, bits(0)};
  return {kind.status};
}

bool RealTime(const Bytes& message) {
  return message.size() == 1 && message[0] >= 0xF8;
}

// Splits a byte stream into messages as a receiver would: real-time bytes alone wherever they
// come, system exclusive up to its F7, the others by their status's length. Whatever does not
// make a whole message (a stray data byte, a message cut by the next status) is handed over as
// it is, for the checker to find nowhere.
class Parser {
 public:
  template <typename Take>
  void Feed(const std::uint8_t* bytes, std::size_t count, Take&& take) {
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint8_t b = bytes[k];
      if (b >= 0xF8) {
        take(Bytes{b});
      } else if (b == 0xF7 && Sysex()) {
        message_.push_back(b);
        Flush(take);
      } else if (b & 0x80) {
        Flush(take);
        message_.push_back(b);
        if (LengthOf(b) == 1) Flush(take);
      } else if (message_.empty()) {
        take(Bytes{b});
      } else {
        message_.push_back(b);
        if (!Sysex() && message_.size() == LengthOf(message_[0])) Flush(take);
      }
    }
  }

 private:
  static std::size_t LengthOf(std::uint8_t status) {
    if (status < 0xF0) return (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 2 : 3;
    if (status == 0xF1 || status == 0xF3) return 2;
    if (status == 0xF2) return 3;
    return status == 0xF0 ? 0 : 1;
  }
  bool Sysex() const { return !message_.empty() && message_[0] == 0xF0; }
  template <typename Take>
  void Flush(Take& take) {
    if (!message_.empty()) take(std::move(message_));
    message_.clear();
  }
  Bytes message_;
};

struct Count {
  std::uint64_t sent = 0, whole = 0, lost = 0, altered = 0, outOfOrder = 0, duplicated = 0;
  std::uint64_t bytes = 0;  // of the whole ones
  double seconds = 0;       // from the first burst to the last arrival
  std::uint64_t xruns = 0, ourXruns = 0;
  std::uint64_t harnessDropped = 0;  // what the far side or the floor itself could not take
  std::uint64_t bridgeLost = 0;      // of ours, the losses the bridge counted itself
  double longestCallbackUs = 0;      // the process callback's longest run: ours, the floor's
  bool Clean() const { return lost == 0 && altered == 0 && outOfOrder == 0 && duplicated == 0; }
};

// Matches arrivals against what was sent, in two lanes (real-time bytes may overtake the
// others, never each other). Messages with few data bits repeat, so an arrival takes the
// nearest of three copies of itself: the first ahead of its lane's next (those skipped are
// missing until they come), the latest missing behind (it came out of order), or the latest
// received behind (it came twice; so too when no copy is left). Altered: nothing sent has its
// bytes. All counts are naught only when each lane arrived exactly as sent; around a fault
// they are close, not exact.
class Checker {
 public:
  void Reset(const std::vector<Bytes>& sent) {
    const std::lock_guard lock(mutex_);
    for (Lane& lane : lanes_) lane = Lane{};
    for (const Bytes& message : sent) {
      Lane& lane = lanes_[RealTime(message)];
      lane.at[Key(message)].push_back(lane.state.size());
      lane.state.push_back(kPending);
    }
    count_ = Count{};
    count_.sent = sent.size();
    arrivals_.store(0, std::memory_order_release);
  }
  void Take(const Bytes& message) {
    const std::lock_guard lock(mutex_);
    last_ = SteadyClock::now();
    Lane& lane = lanes_[RealTime(message)];
    const auto found = lane.at.find(Key(message));
    if (found == lane.at.end()) {
      ++count_.altered;
    } else {
      const std::vector<std::size_t>& at = found->second;
      const auto ahead = std::lower_bound(at.begin(), at.end(), lane.next);
      const auto missing = Latest(lane, at, ahead, kMissing);
      const auto here = Latest(lane, at, ahead, kHere);
      // How far each copy is from where the lane stands; none: farther than any.
      auto distance = [&](auto copy, bool behind) {
        if (copy == at.end() || (behind && copy == ahead)) return ~std::size_t{0};
        return behind ? lane.next - *copy : *copy - lane.next;
      };
      const std::size_t forward = distance(ahead, false);
      const std::size_t late = distance(missing, true);
      const std::size_t again = distance(here, true);
      if (again <= forward && again <= late) {
        ++count_.duplicated;
      } else if (late < forward) {
        lane.state[*missing] = kHere;
        ++count_.whole;
        ++count_.outOfOrder;
        count_.bytes += message.size();
      } else {
        Accept(lane, *ahead, message.size());
      }
    }
    arrivals_.fetch_add(1, std::memory_order_release);
  }
  std::uint64_t Arrivals() const { return arrivals_.load(std::memory_order_acquire); }
  Count Result() const {
    const std::lock_guard lock(mutex_);
    Count result = count_;
    for (const Lane& lane : lanes_) {
      result.lost += static_cast<std::uint64_t>(
          std::count_if(lane.state.begin(), lane.state.end(), [](auto s) { return s != kHere; }));
    }
    return result;
  }
  SteadyClock::time_point LastArrival() const {
    const std::lock_guard lock(mutex_);
    return last_;
  }

 private:
  enum State : std::uint8_t { kPending, kMissing, kHere };
  struct Lane {
    std::unordered_map<std::string, std::vector<std::size_t>> at;  // places of each message
    std::vector<State> state;
    std::size_t next = 0;
  };
  static std::string Key(const Bytes& message) { return {message.begin(), message.end()}; }
  void Accept(Lane& lane, std::size_t place, std::size_t size) {
    for (std::size_t p = lane.next; p < place; ++p) {
      if (lane.state[p] == kPending) lane.state[p] = kMissing;
    }
    lane.state[place] = kHere;
    lane.next = place + 1;
    ++count_.whole;
    count_.bytes += size;
  }
  // The latest copy behind `ahead` in `state` (among the last 64 copies), else `ahead`.
  static std::vector<std::size_t>::const_iterator Latest(
      const Lane& lane, const std::vector<std::size_t>& at,
      std::vector<std::size_t>::const_iterator ahead, State state) {
    for (auto behind = ahead; behind != at.begin() && ahead - behind < 64;) {
      --behind;
      if (lane.state[*behind] == state) return behind;
    }
    return ahead;
  }

  mutable std::mutex mutex_;  // Reset and Result on the control thread, Take on a reader's
  Lane lanes_[2];             // ordered, real-time
  Count count_;
  SteadyClock::time_point last_{};
  std::atomic<std::uint64_t> arrivals_{0};
};

// A record in a ring: two bytes of length, then the message.
bool PutRecord(ByteRing& ring, const std::uint8_t* bytes, std::size_t size) {
  const auto length = static_cast<std::uint16_t>(size);
  if (ring.WriteSpace() < sizeof length + size) return false;
  ring.Write(&length, sizeof length);
  ring.Write(bytes, size);
  return true;
}

// Moves whole records into a port buffer until either runs out; returns how many.
std::uint32_t DrainRecords(ByteRing& ring, void* buffer) {
  std::uint32_t moved = 0;
  std::uint16_t length = 0;
  while (ring.ReadSpace() >= sizeof length) {
    ring.Peek(&length, sizeof length);
    if (ring.ReadSpace() < sizeof length + length) break;
    jack_midi_data_t* data = jack_midi_event_reserve(buffer, 0, length);
    if (data == nullptr) break;
    ring.ReadAdvance(sizeof length);
    ring.Read(data, length);
    ++moved;
  }
  return moved;
}

// The flood's far side of MIDI: sources that play queued records, as many a cycle as the port
// buffer takes, and sinks that queue every event for a reader. Two clients, so that the floor's
// links make no loop in JACK's graph.
class FarSide {
 public:
  FarSide()
      : player_("velmora-flood", &FarSide::Play, this),
        listener_("velmora-flood-in", &FarSide::Listen, this) {
    for (int side = 0; side < 2; ++side) {
      toPlay_[side] = tools::MakeJackRing(kRingBytes);
      heard_[side] = tools::MakeJackRing(kRingBytes);
      source_[side] = player_.registerPort(side ? "to-floor" : "to-ours", true);
      sink_[side] = listener_.registerPort(side ? "from-floor" : "from-ours", false);
    }
    player_.activate();
    listener_.activate();
  }
  ~FarSide() {
    player_.leave();
    listener_.leave();
  }
  FarSide(const FarSide&) = delete;
  FarSide& operator=(const FarSide&) = delete;

  std::string SourceName(int side) const { return jack_port_name(source_[side]); }
  std::string SinkName(int side) const { return jack_port_name(sink_[side]); }
  bool Connect(const std::string& from, const std::string& to) const {
    return player_.connect(from, to);
  }
  // Queues a burst for the next cycle, waiting for room; the control thread only.
  void Queue(int side, const std::vector<Bytes>& messages, std::size_t from, std::size_t to) {
    ByteRing& ring = *toPlay_[side];
    std::size_t need = 0;
    for (std::size_t i = from; i < to; ++i) need += 2 + messages[i].size();
    while (ring.WriteSpace() < need) std::this_thread::sleep_for(1ms);
    for (std::size_t i = from; i < to; ++i) PutRecord(ring, messages[i].data(), messages[i].size());
  }
  // Hands over what the sink heard; one reader thread.
  template <typename Take>
  void Heard(int side, Take&& take) {
    ByteRing& ring = *heard_[side];
    std::uint16_t length = 0;
    while (ring.ReadSpace() >= sizeof length) {
      ring.Peek(&length, sizeof length);
      if (ring.ReadSpace() < sizeof length + length) break;
      Bytes message(length);
      ring.ReadAdvance(sizeof length);
      ring.Read(message.data(), length);
      take(side, message);
    }
  }
  std::uint64_t Xruns() const { return player_.xruns(); }
  std::uint32_t MostPerCycle() const { return most_.load(std::memory_order_relaxed); }
  std::uint64_t Dropped(int side) const { return dropped_[side].load(std::memory_order_relaxed); }

 private:
  static int Play(jack_nframes_t frames, void* self) {
    auto& far = *static_cast<FarSide*>(self);
    for (int side = 0; side < 2; ++side) {
      void* out = jack_port_get_buffer(far.source_[side], frames);
      jack_midi_clear_buffer(out);
      const std::uint32_t moved = DrainRecords(*far.toPlay_[side], out);
      if (moved > far.most_.load(std::memory_order_relaxed)) {
        far.most_.store(moved, std::memory_order_relaxed);
      }
    }
    return 0;
  }
  static int Listen(jack_nframes_t frames, void* self) {
    auto& far = *static_cast<FarSide*>(self);
    for (int side = 0; side < 2; ++side) {
      void* in = jack_port_get_buffer(far.sink_[side], frames);
      const std::uint32_t count = jack_midi_get_event_count(in);
      for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, in, i) != 0 ||
            !PutRecord(*far.heard_[side], event.buffer, event.size)) {
          far.dropped_[side].fetch_add(1, std::memory_order_relaxed);
        }
      }
    }
    return 0;
  }

  tools::JackClient player_;
  tools::JackClient listener_;
  jack_port_t* source_[2] = {};  // ours, the floor's
  jack_port_t* sink_[2] = {};
  tools::JackRing toPlay_[2];  // the control thread writes, the player's process thread reads
  tools::JackRing heard_[2];   // the listener's process thread writes, the reader reads
  std::atomic<std::uint32_t> most_{0};          // written by the player's process thread only
  std::atomic<std::uint64_t> dropped_[2] = {};  // written by the listener's process thread only
};

// The floor: each event its input brings is queued as it is for a writer thread that writes to
// a pseudo-terminal's slave as fast as it takes bytes (the process callback's own write would
// lose what a full slave refuses); a reader thread splits the slave's bytes into messages for
// the next cycle's output.
class FloodFloor {
 public:
  explicit FloodFloor(const Pty& pty)
      : fd_(pty.openSlaveRaw()), client_("velmora-flood-floor", &FloodFloor::Process, this) {
    in_ = client_.registerPort("in", false);
    out_ = client_.registerPort("out", true);
    queue_ = tools::MakeJackRing(kRingBytes);
    toWrite_ = tools::MakeJackRing(kRingBytes);
    client_.activate();
    reader_ = std::thread([this] { Read(); });
    writer_ = std::thread([this] { Write(); });
  }
  ~FloodFloor() {
    stop_.raise();
    reader_.join();
    writer_.join();
    client_.leave();
    close(fd_);
  }
  FloodFloor(const FloodFloor&) = delete;
  FloodFloor& operator=(const FloodFloor&) = delete;
  std::string SourceName() const { return jack_port_name(out_); }
  std::string SinkName() const { return jack_port_name(in_); }
  std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
  platform::midi::ProcessTimes ProcessTimes() const { return client_.processTimes(); }
  void ResetProcessTimes() { client_.resetProcessTimes(); }

 private:
  static int Process(jack_nframes_t frames, void* self) {
    auto& floor = *static_cast<FloodFloor*>(self);
    void* in = jack_port_get_buffer(floor.in_, frames);
    const std::uint32_t count = jack_midi_get_event_count(in);
    for (std::uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, in, i) != 0 || floor.toWrite_->WriteSpace() < event.size) {
        floor.dropped_.fetch_add(1, std::memory_order_relaxed);
      } else {
        floor.toWrite_->Write(event.buffer, event.size);
      }
    }
    if (count > 0) floor.wake_.raise();
    void* out = jack_port_get_buffer(floor.out_, frames);
    jack_midi_clear_buffer(out);
    DrainRecords(*floor.queue_, out);
    return 0;
  }
  void Read() {
    Parser parser;
    std::uint8_t buffer[65536];
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
    while (poll(fds, 2, -1) >= 0 && !(fds[1].revents & POLLIN)) {
      const ssize_t got = read(fd_, buffer, sizeof buffer);
      if (got <= 0) continue;
      parser.Feed(buffer, static_cast<std::size_t>(got), [this](const Bytes& message) {
        if (!PutRecord(*queue_, message.data(), message.size())) {
          dropped_.fetch_add(1, std::memory_order_relaxed);
        }
      });
    }
  }

  // Writes what the process thread queued, as the slave takes it.
  void Write() {
    std::uint8_t buffer[65536];
    pollfd fds[2] = {{wake_.fd(), POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
    while (!(fds[1].revents & POLLIN)) {
      const std::size_t got = toWrite_->Read(buffer, sizeof buffer);
      for (std::size_t done = 0; done < got;) {
        pollfd out{fd_, POLLOUT, 0};
        poll(&out, 1, 10);
        const ssize_t wrote = write(fd_, buffer + done, got - done);
        if (wrote > 0) done += static_cast<std::size_t>(wrote);
      }
      if (got == 0) {
        poll(fds, 2, 10);
        std::uint64_t ignored = 0;
        if (fds[0].revents & POLLIN) (void)!read(wake_.fd(), &ignored, sizeof ignored);
      }
    }
  }

  int fd_ = -1;
  tools::JackClient client_;
  jack_port_t* in_ = nullptr;
  jack_port_t* out_ = nullptr;
  tools::JackRing queue_;    // records; the reader writes, the process thread reads
  tools::JackRing toWrite_;  // bytes; the process thread writes, the writer reads
  std::atomic<std::uint64_t> dropped_{0};
  StopSignal wake_;  // the process thread rings it when it queued bytes
  StopSignal stop_;
  std::thread reader_;  // last two: start once everything above is ready
  std::thread writer_;
};

// Reads a pseudo-terminal's master on a thread of its own, splitting its bytes into messages
// for whichever checker is attached (none: they are dropped).
class Tap {
 public:
  explicit Tap(int fd) : fd_(fd), thread_([this] { Run(); }) {}
  ~Tap() {
    stop_.raise();
    thread_.join();
  }
  Tap(const Tap&) = delete;
  Tap& operator=(const Tap&) = delete;
  void Attach(Checker* checker) { checker_.store(checker, std::memory_order_release); }

 private:
  void Run() {
    Parser parser;
    std::uint8_t buffer[65536];
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
    while (poll(fds, 2, -1) >= 0 && !(fds[1].revents & POLLIN)) {
      const ssize_t got = read(fd_, buffer, sizeof buffer);
      if (got <= 0) continue;
      parser.Feed(buffer, static_cast<std::size_t>(got), [this](const Bytes& message) {
        if (Checker* checker = checker_.load(std::memory_order_acquire)) checker->Take(message);
      });
    }
  }
  int fd_;
  std::atomic<Checker*> checker_{nullptr};
  StopSignal stop_;
  std::thread thread_;  // last: starts once everything above is ready
};

// Messages [from, to) as a device sends them: the real-time ones that follow a long system
// exclusive go inside it, a byte apart, as a device's clock does during a dump.
Bytes BlockOf(const std::vector<Bytes>& messages, std::size_t from, std::size_t to) {
  Bytes block;
  for (std::size_t i = from; i < to; ++i) {
    const Bytes& message = messages[i];
    std::size_t inside = 0;
    if (message[0] == 0xF0 && message.size() > 100) {
      while (i + 1 + inside < to && RealTime(messages[i + 1 + inside])) ++inside;
    }
    const std::size_t half = message.size() / 2;
    block.insert(block.end(), message.begin(), message.begin() + half);
    for (std::size_t k = 1; k <= inside; ++k) {
      block.push_back(messages[i + k][0]);
      block.push_back(message[half + k - 1]);
    }
    block.insert(block.end(), message.begin() + half + inside, message.end());
    i += inside;
  }
  return block;
}

// Writes all of `bytes` to a blocking descriptor.
void WriteAll(int fd, const Bytes& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote > 0) done += static_cast<std::size_t>(wrote);
  }
}

// Waits until `checker` has had `target` arrivals, or none for `quiet`.
void WaitArrivals(const Checker& checker, std::uint64_t target,
                  std::chrono::milliseconds quiet = 200ms) {
  std::uint64_t seen = checker.Arrivals();
  auto since = SteadyClock::now();
  while (seen < target && SteadyClock::now() - since < quiet) {
    std::this_thread::sleep_for(1ms);
    if (const std::uint64_t now = checker.Arrivals(); now != seen) {
      seen = now;
      since = SteadyClock::now();
    }
  }
}

struct Row {
  bool toSerial = true;
  std::size_t burst = 0;
  Count side[2];  // ours, the floor's
};

void PrintRows(const std::vector<Row>& rows, std::size_t messages, std::uint32_t mostPerCycle) {
  std::printf(
      "flood: %zu messages a run, every kind (%zu), all crossing; rate in messages/s and"
      " x line rate (bytes, 38400 baud)\n",
      messages, kKindCount);
  std::printf("%-26s %7s %7s %6s %7s %6s %6s %9s %7s %10s %7s %7s %8s\n", "", "sent", "whole",
              "lost", "altered", "order", "twice", "msgs/s", "x line", "xruns", "harness",
              "counted", "longest");
  for (const Row& row : rows) {
    char way[64];
    std::snprintf(way, sizeof way, "%s, %zu %s", row.toSerial ? "MIDI -> serial" : "serial -> MIDI",
                  row.burst, row.toSerial ? "a cycle" : "a block");
    std::printf("%s\n", way);
    for (int s = 0; s < 2; ++s) {
      const Count& c = row.side[s];
      const double rate = c.seconds > 0 ? static_cast<double>(c.whole) / c.seconds : 0;
      const double line =
          c.seconds > 0 ? static_cast<double>(c.bytes) / c.seconds / kLineBytesPerSecond : 0;
      char xruns[32];
      std::snprintf(xruns, sizeof xruns, s ? "%llu" : "%llu/%llu",
                    static_cast<unsigned long long>(c.xruns),
                    static_cast<unsigned long long>(c.ourXruns));
      char counted[24] = "";
      if (s == 0)
        std::snprintf(counted, sizeof counted, "%llu",
                      static_cast<unsigned long long>(c.bridgeLost));
      std::printf("  %-24s %7llu %7llu %6llu %7llu %6llu %6llu %9.0f %7.0f %10s %7llu %7s %8.0f\n",
                  s ? "floor" : "ours", static_cast<unsigned long long>(c.sent),
                  static_cast<unsigned long long>(c.whole), static_cast<unsigned long long>(c.lost),
                  static_cast<unsigned long long>(c.altered),
                  static_cast<unsigned long long>(c.outOfOrder),
                  static_cast<unsigned long long>(c.duplicated), rate, line, xruns,
                  static_cast<unsigned long long>(c.harnessDropped), counted, c.longestCallbackUs);
    }
  }
  std::printf(
      "  (xruns: in JACK during the run, ours / of them blamed on our client; harness: "
      "events the far side or the floor could not take; counted: the losses the bridge "
      "counted itself; longest: the process callback's longest run, us; at most %u events "
      "played in one cycle)\n",
      mostPerCycle);
  std::string json = "{\"flood\":{\"messages\":" + std::to_string(messages) + ",\"runs\":[";
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const Row& row = rows[r];
    json += (r ? "," : "") + std::string("{\"way\":\"") +
            (row.toSerial ? "midi_to_serial" : "serial_to_midi") +
            "\",\"burst\":" + std::to_string(row.burst);
    for (int s = 0; s < 2; ++s) {
      const Count& c = row.side[s];
      char text[320];
      std::snprintf(
          text, sizeof text,
          ",\"%s\":{\"sent\":%llu,\"whole\":%llu,\"lost\":%llu,\"altered\":%llu,"
          "\"out_of_order\":%llu,\"duplicated\":%llu,\"msgs_per_s\":%.0f,"
          "\"x_line\":%.1f,\"xruns\":%llu,\"counted_lost\":%llu}",
          s ? "floor" : "ours", static_cast<unsigned long long>(c.sent),
          static_cast<unsigned long long>(c.whole), static_cast<unsigned long long>(c.lost),
          static_cast<unsigned long long>(c.altered), static_cast<unsigned long long>(c.outOfOrder),
          static_cast<unsigned long long>(c.duplicated),
          c.seconds > 0 ? static_cast<double>(c.whole) / c.seconds : 0,
          c.seconds > 0 ? static_cast<double>(c.bytes) / c.seconds / kLineBytesPerSecond : 0,
          static_cast<unsigned long long>(c.xruns), static_cast<unsigned long long>(c.bridgeLost));
      json += text;
    }
    json += "}";
  }
  std::printf("%s]}}\n", json.c_str());
}

}  // namespace

int RunFlood(const FloodRigging& rig, std::size_t messages) {
  std::vector<Bytes> flood;
  flood.reserve(messages);
  for (std::size_t i = 0; i < messages; ++i) flood.push_back(MessageOf(i));

  Pty floorPty;
  FarSide far;
  FloodFloor floor(floorPty);
  if (!far.Connect(far.SourceName(1), floor.SinkName()) ||
      !far.Connect(floor.SourceName(), far.SinkName(1))) {
    std::fputs("velmora-bench: cannot connect the flood floor's JACK ports\n", stderr);
    return 1;
  }
  core::Bridge& bridge = *rig.bridge;
  bridge.SetMessageChoice({core::MessageKinds::All(), core::MessageKinds::All()});
  if (!bridge.SetLineSettings(core::LineSettings{kFloodBaud})) {
    std::fputs("velmora-bench: the bridge did not take the flood's line\n", stderr);
    return 1;
  }
  bridge.RefreshMidiLists();
  if (!rig.selectMidi(far.SourceName(0), far.SinkName(0))) {
    std::fputs("velmora-bench: the bridge does not list the flood's ports\n", stderr);
    return 1;
  }
  Checker toSerial[2], toMidi[2];
  const int master[2] = {rig.oursPty->master(), floorPty.master()};
  std::vector<Row> rows;
  {
    Tap taps[2] = {Tap(master[0]), Tap(master[1])};
    std::atomic<bool> listening{true};
    // Events are split into messages as a receiver does: a long system exclusive may come in
    // parts, one event each.
    std::thread listener([&] {
      Parser parsers[2];
      while (listening.load(std::memory_order_acquire)) {
        for (int side = 0; side < 2; ++side) {
          far.Heard(side, [&](int s, const Bytes& event) {
            parsers[s].Feed(event.data(), event.size(),
                            [&](const Bytes& message) { toMidi[s].Take(message); });
          });
        }
        std::this_thread::sleep_for(1ms);
      }
    });
    taps[0].Attach(&toSerial[0]);
    taps[1].Attach(&toSerial[1]);
    for (const bool toSerialWay : {true, false}) {
      for (const std::size_t burst : kBursts) {
        Row row{toSerialWay, burst, {}};
        rig.progress(std::string("flood ") + (toSerialWay ? "MIDI -> serial" : "serial -> MIDI") +
                     ", " + std::to_string(burst) + (toSerialWay ? " a cycle" : " a block") +
                     ", ours and the floor at once");
        // The bridge's own counts are read on its thread, between the runs.
        const core::TrafficCounts before = bridge.Counts();
        if (rig.resetProcessTimes) rig.resetProcessTimes();
        floor.ResetProcessTimes();
        // Both sides at once, so that what the machine does in those seconds hits both.
        auto run = [&](int side) {
          Checker& checker = toSerialWay ? toSerial[side] : toMidi[side];
          checker.Reset(flood);
          const std::uint64_t xruns = far.Xruns();
          const std::uint64_t ourXruns = side == 0 && rig.ourXruns ? rig.ourXruns() : 0;
          auto dropped = [&] { return far.Dropped(side) + (side == 1 ? floor.Dropped() : 0); };
          const std::uint64_t droppedBefore = dropped();
          const auto start = SteadyClock::now();
          for (std::size_t from = 0; from < messages; from += burst) {
            const std::size_t to = std::min(messages, from + burst);
            if (toSerialWay) {
              far.Queue(side, flood, from, to);
            } else {
              WriteAll(master[side], BlockOf(flood, from, to));
            }
            WaitArrivals(checker, to);
          }
          WaitArrivals(checker, ~std::uint64_t{0}, 300ms);  // late ones and doubles
          Count count = checker.Result();
          count.seconds = std::chrono::duration<double>(checker.LastArrival() - start).count();
          count.xruns = far.Xruns() - xruns;
          count.ourXruns = side == 0 && rig.ourXruns ? rig.ourXruns() - ourXruns : 0;
          count.harnessDropped = dropped() - droppedBefore;
          row.side[side] = count;
        };
        rig.whilePumping([&] {
          std::thread floorRun(run, 1);
          run(0);
          floorRun.join();
        });
        const core::TrafficCounts after = bridge.Counts();
        row.side[0].bridgeLost = toSerialWay ? after.toSerialLost - before.toSerialLost
                                             : after.toMidiLost - before.toMidiLost;
        if (rig.processTimes) {
          row.side[0].longestCallbackUs = static_cast<double>(rig.processTimes().longestNs) / 1e3;
        }
        row.side[1].longestCallbackUs = static_cast<double>(floor.ProcessTimes().longestNs) / 1e3;
        rows.push_back(row);
      }
    }
    taps[0].Attach(nullptr);
    taps[1].Attach(nullptr);
    // Back to the bridge's own devices; the notes the flood left on are switched off on the
    // flood's ports and its tap, where nobody counts them any more.
    bridge.SetMessageChoice({});
    bridge.SetLineSettings(core::LineSettings{});
    const bool back = rig.selectMidi(rig.midiIn, rig.midiOut);
    rig.whilePumping([] { std::this_thread::sleep_for(300ms); });
    listening.store(false, std::memory_order_release);
    listener.join();
    if (!back) {
      std::fputs("velmora-bench: the bridge did not go back to its MIDI devices\n", stderr);
      return 1;
    }
  }
  PrintRows(rows, messages, far.MostPerCycle());
  return 0;
}

}  // namespace velmora::bench
