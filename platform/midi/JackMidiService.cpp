#include "platform/midi/JackMidiService.h"

#include <jack/midiport.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>
#include <utility>

#include "platform/midi/JackCycleOrder.h"
#include "platform/midi/JackLibrary.h"

namespace velmora::platform::midi {

namespace {

// Room for a few of the longest messages, so that a sysex never waits for the ring to drain.
constexpr std::size_t kRingBytes = 1 << 18;
// A record: its length, the time it stands for (JACK's microseconds; 0: none), its bytes.
struct RecordHeader {
  std::uint32_t size;
  std::uint64_t time;
};
constexpr std::size_t kSizeBytes = sizeof(std::uint32_t);
constexpr std::size_t kTimeBytes = sizeof(std::uint64_t);
constexpr std::size_t kHeaderBytes = kSizeBytes + kTimeBytes;
// Messages handed to the caller in one pass: well within the input's event ring (1024 slots).
constexpr std::size_t kDeliveryBatch = 256;
// A cycle of the slowest server (8192 frames at 22050 Hz) takes well under this.
constexpr auto kCycleBound = std::chrono::seconds(2);
// How often the delivery thread asks for a server while none answers.
constexpr auto kServerRetry = std::chrono::milliseconds(500);
// How long it leaves libjack's threads to finish with a dead server before closing its client.
constexpr auto kDropPause = std::chrono::milliseconds(500);
// jackd's libjack (1.9.21) closes a client by cancelling its notification thread at once,
// wherever it is; cancelled while it held libjack's synchro mutex, the close then waits on that
// mutex for ever. A dead server's client is closed once that thread has ended by itself (it
// does when the server's socket closes: a stopping jackd may take seconds), or after this long.
constexpr auto kNotifierBound = std::chrono::seconds(10);
// How often it looks whether the cycles still run while a server answers. PipeWire's libjack
// tells of its daemon's end through jack_on_shutdown at best; its cycles simply stop. Cycles
// that stopped for this many periods, and at least kStallFloor, are a server lost.
constexpr auto kStallCheck = std::chrono::milliseconds(250);
constexpr int kStallPeriods = 16;
constexpr auto kStallFloor = std::chrono::milliseconds(750);

// PipeWire's libjack turns each cycle's events of a port into a control sequence in a buffer
// of the port's size: 16 bytes for the sequence and, per event, 16 bytes and its data rounded
// up to 8. A cycle whose sequence does not fit is dropped whole, without a word, and one event
// of the size that jack_midi_max_event_size reports (32736 bytes) crashes its process thread
// in memcpy. So a cycle's events cost what they cost there, and all of them together stay
// below what the empty buffer reports by a margin; jackd, which spends less, is held to the
// same.
constexpr std::size_t kEventCost = 16;
constexpr std::size_t kCycleMargin = 64;
constexpr std::size_t EventCost(std::size_t size) {
  return kEventCost + ((size + 7) & ~std::size_t{7});
}
// Whole cycles after a new link shows in our client's view before it carries for sure.
constexpr std::uint64_t kLinkCycles = 2;
// How often, and how many times, it looks again for devices lost while JACK's lists catch up
// with its news. A peer that leaves drops its links before its ports: a link gone counts as
// cut only if its port is still there at the last look.
constexpr auto kCheckPause = std::chrono::milliseconds(100);
constexpr int kCheckRounds = 3;

void Silent(const char*) {}

// Waits for a post or until `pause` has passed.
void WaitAtMost(sem_t& semaphore, std::chrono::nanoseconds pause) {
  timespec until{};
  clock_gettime(CLOCK_REALTIME, &until);
  const auto total = until.tv_nsec + pause.count();
  until.tv_sec += static_cast<time_t>(total / 1'000'000'000);
  until.tv_nsec = static_cast<long>(total % 1'000'000'000);
  while (sem_timedwait(&semaphore, &until) != 0 && errno == EINTR) {
  }
}

// The header of the whole record at the ring's head; its size is 0 while the record is not all
// written.
RecordHeader RecordAtHead(const ByteRing& ring) {
  const std::size_t available = ring.ReadSpace();
  if (available < kHeaderBytes) return {};
  char raw[kHeaderBytes];
  ring.Peek(raw, kHeaderBytes);
  RecordHeader header{};
  std::memcpy(&header.size, raw, kSizeBytes);
  std::memcpy(&header.time, raw + kSizeBytes, kTimeBytes);
  if (available < kHeaderBytes + header.size) return {};
  return header;
}

// Length and time before bytes: the reader takes a record only once all of it is there.
void WriteRecord(ByteRing& ring, std::uint64_t time, const void* bytes, std::size_t count) {
  char raw[kHeaderBytes];
  const auto size = static_cast<std::uint32_t>(count);
  std::memcpy(raw, &size, kSizeBytes);
  std::memcpy(raw + kSizeBytes, &time, kTimeBytes);
  ring.Write(raw, kHeaderBytes);
  ring.Write(bytes, count);
}

}  // namespace

// The cycle the process thread runs, in JACK's time: frames [0, frames) stand for
// [start, next).
struct JackMidiService::Cycle {
  jack_nframes_t frames;
  jack_time_t start;
  jack_time_t next;

  // When frame `offset` of this cycle plays.
  jack_time_t TimeOf(jack_nframes_t offset) const {
    return start + (next - start) * offset / frames;
  }
  // The frame that stands for `time` one cycle on; `frames` when it falls beyond this cycle.
  jack_nframes_t FrameOf(jack_time_t time) const {
    const jack_time_t period = next - start;
    const jack_time_t due = time + period;
    if (due <= start) return 0;
    if (due >= next) return frames;
    return static_cast<jack_nframes_t>((due - start) * frames / period);
  }
};

class JackMidiService::JackInput final : public InputEndpoint {
 public:
  using InputEndpoint::InputEndpoint;
  JackPort jack;
  std::vector<std::uint8_t> scratch;  // the delivery thread's, sized at open
  // Messages that found JACK's ring full: added by the process thread, told by the one that
  // delivers, so that the loss reaches the user as the endpoint's own do.
  std::atomic<std::uint64_t> overflowed{0};
};

class JackMidiService::JackOutput final : public OutputEndpoint {
 public:
  using OutputEndpoint::OutputEndpoint;
  JackPort jack;
  // Process thread only: what is left of the record being written, and whether it must go
  // as one event (a short message is never split).
  std::size_t left = 0;
  bool whole = false;
  std::size_t budget = 0;  // what a cycle's events may cost: set by the first cycle
  // The service's figure of the longest event that goes whole, which that cycle sets.
  std::atomic<std::size_t>* largest = nullptr;
};

JackMidiService::JackMidiService(std::string clientName) : clientName_(std::move(clientName)) {
  static const bool silenced = [] {
    jack_set_error_function(&Silent);
    jack_set_info_function(&Silent);
    return true;
  }();
  static_cast<void>(silenced);
  sem_init(&wake_, 0, 0);
  delivery_ = std::thread([this] { DeliveryLoop(); });
  std::lock_guard lock(mutex_);
  ClientLocked();
}

JackMidiService::~JackMidiService() {
  // 1. The delivery thread ends: nothing calls back any more.
  stopping_.store(true);
  sem_post(&wake_);
  delivery_.join();
  // 2. No process cycle after jack_deactivate; the client (and its ports) go after.
  std::lock_guard lock(mutex_);
  if (gone_.load()) {
    const auto deadline = std::chrono::steady_clock::now() + kNotifierBound;
    while (!NotifierEndedLocked() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  CloseClientLocked();
  // 3. Only now the rings: the endpoints go with the lists.
  inputs_.clear();
  outputs_.clear();
  graveyardIn_.clear();
  graveyardOut_.clear();
  sem_destroy(&wake_);
  for (const int descriptor : {inputReady_, arrivedEvent_, arrivalTimer_, dueTimer_}) {
    if (descriptor >= 0) close(descriptor);
  }
}

bool JackMidiService::Connected() {
  std::lock_guard lock(mutex_);
  return ClientLocked();
}

std::string JackMidiService::ClientName() {
  std::lock_guard lock(mutex_);
  return ClientLocked() ? std::string(jack_get_client_name(client_)) : std::string();
}

std::string JackMidiService::Name() {
  if (!Connected()) return {};
  const std::string server = JackServerName();
  return server.empty() ? "JACK" : "JACK (" + server + ")";
}

bool JackMidiService::ClientLocked() {
  // The dead server's client is left to the delivery thread, which closes it once libjack's
  // own threads are done with it.
  if (client_ != nullptr) return !gone_.load();
  return OpenClientLocked();
}

bool JackMidiService::OpenClientLocked() {
  jack_status_t status{};
  client_ = jack_client_open(clientName_.c_str(), JackNoStartServer, &status);
  if (client_ == nullptr) return false;
  notifier_.store(0);
  ++generation_;
  // A dead server may have stopped its client in the middle of a cycle.
  cycle_.store(0);
  gone_.store(false);
  // jackd calls the first, PipeWire's libjack only the second.
  jack_on_info_shutdown(client_, &JackMidiService::ServerGone, this);
  jack_on_shutdown(client_, &JackMidiService::ServerEnded, this);
  // PipeWire's libjack: its cycle times do not place events yet (its tests hang with them), so
  // its events go at once.
  cycleTimes_.store(JackServerName().find("PipeWire") == std::string::npos);
  processClient_.store(client_, std::memory_order_release);
  period_ = std::chrono::nanoseconds(std::chrono::seconds(1)) * jack_get_buffer_size(client_) /
            std::max<jack_nframes_t>(1, jack_get_sample_rate(client_));
  cyclesSeen_ = 0;
  cyclesMoved_ = std::chrono::steady_clock::now();
  // Named, or they would take the name of the thread that opened the client (top -H, the bench).
  jack_set_thread_init_callback(
      client_, [](void*) { pthread_setname_np(pthread_self(), "jack"); }, nullptr);
  if (jack_set_process_callback(client_, &JackMidiService::Process, this) != 0 ||
      jack_set_xrun_callback(client_, &JackMidiService::Xrun, this) != 0 ||
      jack_set_port_connect_callback(client_, &JackMidiService::PortConnected, this) != 0 ||
      jack_set_port_registration_callback(client_, &JackMidiService::PortRegistered, this) != 0 ||
      jack_set_port_rename_callback(client_, &JackMidiService::PortRenamed, this) != 0 ||
      jack_set_client_registration_callback(client_, &JackMidiService::ClientRegistered, this) !=
          0 ||
      jack_set_latency_callback(client_, &JackMidiService::Latency, this) != 0 ||
      jack_activate(client_) != 0) {
    jack_client_close(client_);
    client_ = nullptr;
    processClient_.store(nullptr);
    return false;
  }
  // A server found again (by whichever thread asked first): the lists are its ports now.
  Changed(false);
  return true;
}

// libjack 1.9.21 frees every client of a dead server still open in the process as soon as
// any client is opened there (JackLibGlobals::Init): closing one of them afterwards reads freed
// memory. So the dead client is closed before a new one is asked for, and this client is the
// process's only one (RtMidi's JACK clients outlived their server: the crash on choosing a
// list entry after the server stopped).
void JackMidiService::DropClientLocked() {
  if (client_ == nullptr) return;
  for (const auto& input : inputs_) input->Lost();
  for (const auto& output : outputs_) output->Lost();
  // 1. Every device leaves the process thread's view: the next client's cycles never see
  // the dead client's ports.
  for (auto& slot : inSlots_) slot.store(nullptr);
  for (auto& slot : outSlots_) slot.store(nullptr);
  // 2. The dead client goes; its threads are joined and no cycle of it runs again.
  CloseClientLocked();
  // 3. Only now what an unfinished cycle of it might have held.
  graveyardIn_.clear();
  graveyardOut_.clear();
}

bool JackMidiService::NotifierEndedLocked() const {
  const pid_t thread = notifier_.load();
  // PipeWire's threads outlive its daemon, and its libjack closes without cancelling them.
  if (thread == 0 || !cycleTimes_.load()) return true;
  return syscall(SYS_tgkill, getpid(), thread, 0) != 0 && errno == ESRCH;
}

bool JackMidiService::LiveLocked(const JackPort& port) const {
  return client_ != nullptr && !gone_.load() && port.client == generation_;
}

void JackMidiService::SetPortsChangedCallback(std::function<void()> callback) {
  std::lock_guard lock(callbackMutex_);
  portsChanged_ = std::move(callback);
}

void JackMidiService::RaisePortsChanged() {
  std::lock_guard lock(callbackMutex_);
  if (portsChanged_) portsChanged_();
}

void JackMidiService::CloseClientLocked() {
  if (client_ == nullptr) return;
  // A dead server's client is only closed: libjack must not be asked to talk to it.
  if (!gone_.load()) jack_deactivate(client_);
  jack_client_close(client_);
  client_ = nullptr;
  processClient_.store(nullptr);
  for (auto& own : ownPorts_) own.port.store(nullptr);
  idle_.clear();  // its ports went with it
}

// ---- JACK's threads -----------------------------------------------------------------------

int JackMidiService::Process(jack_nframes_t frames, void* self) {
  auto& service = *static_cast<JackMidiService*>(self);
  [[maybe_unused]] const JackCycleOrder order;
  service.processTimer_.Time([&] { service.ProcessCycle(frames); });
  return 0;
}

void JackMidiService::ProcessCycle(jack_nframes_t frames) {
  cycle_.fetch_add(1);  // odd: a close waits for us
  Cycle cycle{frames, 0, 0};
  jack_nframes_t firstFrame = 0;
  float periodUsecs = 0;
  jack_client_t* client = processClient_.load(std::memory_order_acquire);
  const bool timed =
      exact_.load(std::memory_order_relaxed) && cycleTimes_.load(std::memory_order_relaxed) &&
      client != nullptr &&
      jack_get_cycle_times(client, &firstFrame, &cycle.start, &cycle.next, &periodUsecs) == 0 &&
      cycle.next > cycle.start && frames > 0;
  const Cycle* clock = timed ? &cycle : nullptr;
  Arrival arrival;
  for (auto& slot : inSlots_) {
    if (JackInput* input = slot.load()) ReadIn(*input, frames, clock, arrival);
  }
  for (auto& slot : outSlots_) {
    if (JackOutput* output = slot.load()) WriteOut(*output, frames, clock);
  }
  cycle_.fetch_add(1);
  if (!arrival.now && arrival.at == 0) return;
  if (!callerDelivers_.load(std::memory_order_acquire)) {
    sem_post(&wake_);
  } else {
    WakeCaller(arrival);
  }
}

void JackMidiService::RingInputReady() {
  if (inputRung_.exchange(kEventRung) == kEventRung) return;
  // Never blocks: the descriptor is non-blocking and counts at most one ring.
  const std::uint64_t one = 1;
  static_cast<void>(!write(arrivedEvent_, &one, sizeof one));
}

void JackMidiService::WakeCaller(const Arrival& arrival) {
  if (arrival.now) return RingInputReady();
  // A wake is on its way: the caller's pass, which clears the flag before it looks, finds this
  // input and sets its own timer for it.
  int notRung = kNotRung;
  if (!inputRung_.compare_exchange_strong(notRung, kTimerSet)) return;
  // Setting the timer again may take back one that came and is unread: the pass that cleared
  // the flag since has seen what it was set for, and set its own timer for that.
  const jack_time_t now = jack_get_time();
  const jack_time_t wait = arrival.at > now ? arrival.at - now : 1;
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(wait / 1'000'000);
  when.it_value.tv_nsec = static_cast<long>(wait % 1'000'000 * 1000);
  timerfd_settime(arrivalTimer_, 0, &when, nullptr);
}

std::optional<ProcessTimes> JackMidiService::ProcessCallbackTimes() const {
  return processTimer_.Times();
}

void JackMidiService::ResetProcessCallbackTimes() {
  processTimer_.Reset();
}

void JackMidiService::ReadIn(JackInput& input, jack_nframes_t frames, const Cycle* cycle,
                             Arrival& arrival) {
  void* buffer = jack_port_get_buffer(input.jack.port, frames);
  ByteRing& ring = *input.jack.ring;
  const std::uint32_t count = jack_midi_get_event_count(buffer);
  for (std::uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0 || event.size == 0) continue;
    if (ring.WriteSpace() < kHeaderBytes + event.size) {
      refused_.fetch_add(1);
      input.overflowed.fetch_add(1, std::memory_order_relaxed);
      arrival.now = true;  // the loss is told by the one that delivers
      continue;
    }
    // Timed, an event leaves one cycle after the time its frame stands for: the spacing that
    // its sender gave it within the cycle is kept.
    const jack_time_t due =
        cycle != nullptr ? cycle->TimeOf(event.time) + (cycle->next - cycle->start) : 0;
    WriteRecord(ring, due, event.buffer, event.size);
    if (due == 0) {
      arrival.now = true;
    } else if (arrival.at == 0 || due < arrival.at) {
      arrival.at = due;
    }
  }
}

void JackMidiService::WriteOut(JackOutput& output, jack_nframes_t frames, const Cycle* cycle) {
  void* buffer = jack_port_get_buffer(output.jack.port, frames);
  jack_midi_clear_buffer(buffer);
  if (output.budget == 0) {
    const std::size_t empty = jack_midi_max_event_size(buffer);
    output.budget = empty > 2 * kCycleMargin ? empty - kCycleMargin : 0;
    if (output.budget > kEventCost) {
      output.largest->store((output.budget - kEventCost) & ~std::size_t{7},
                            std::memory_order_relaxed);
    }
  }
  ByteRing& ring = *output.jack.ring;
  // Events go in frame order: one that is due earlier than the last placed goes beside it.
  jack_nframes_t frame = 0;
  std::size_t spent = 0;
  // What the buffer cannot take waits for the next cycle; a sysex goes on in parts.
  for (;;) {
    if (output.left == 0) {
      const RecordHeader head = RecordAtHead(ring);
      if (head.size == 0) return;
      if (cycle != nullptr && head.time != 0) {
        // Timed: at the frame that stands for its time one cycle on; a later one waits.
        const jack_nframes_t due = cycle->FrameOf(head.time);
        if (due >= frames) return;
        frame = std::max(frame, due);
      }
      ring.ReadAdvance(kHeaderBytes);
      output.left = head.size;
      output.whole = head.size <= 3;
    }
    if (spent + EventCost(1) > output.budget) return;
    // Sized from what the buffer holds now, short of its edge.
    const std::size_t now = jack_midi_max_event_size(buffer);
    const std::size_t room = std::min(now > kCycleMargin ? now - kCycleMargin : 0,
                                      (output.budget - spent - kEventCost) & ~std::size_t{7});
    const std::size_t part = std::min(output.left, room);
    if (part == 0 || (output.whole && part < output.left)) return;
    jack_midi_data_t* data = jack_midi_event_reserve(buffer, frame, part);
    if (data == nullptr) return;
    ring.Read(data, part);
    output.left -= part;
    spent += EventCost(part);
  }
}

void JackMidiService::ServerGone(jack_status_t, const char*, void* self) {
  ServerEnded(self);
}

void JackMidiService::ServerEnded(void* self) {
  auto& service = *static_cast<JackMidiService*>(self);
  service.gone_.store(true);
  sem_post(&service.wake_);
}

int JackMidiService::Xrun(void* self) {
  static_cast<JackMidiService*>(self)->xruns_.fetch_add(1);
  return 0;
}

// JACK tells of a port or a link going before its lists show it: look a few times. A link
// that comes may be another program's to one of our ports: looked at too.
void JackMidiService::PortConnected(jack_port_id_t, jack_port_id_t, int connect, void* self) {
  auto& service = *static_cast<JackMidiService*>(self);
  service.notifier_.store(gettid());
  if (connect == 0) service.checkRounds_.store(kCheckRounds);
  service.linkLooks_.store(kCheckRounds);
  sem_post(&service.wake_);
}

void JackMidiService::PortRegistered(jack_port_id_t, int registered, void* self) {
  auto& service = *static_cast<JackMidiService*>(self);
  service.notifier_.store(gettid());
  service.Changed(registered == 0);
}

// A chosen port renamed is gone by the name it was chosen by.
void JackMidiService::PortRenamed(jack_port_id_t, const char*, const char*, void* self) {
  static_cast<JackMidiService*>(self)->Changed(true);
}

void JackMidiService::ClientRegistered(const char*, int registered, void* self) {
  auto& service = *static_cast<JackMidiService*>(self);
  service.notifier_.store(gettid());
  service.Changed(registered == 0);
}

// What reaches our input leaves on the line a cycle later, and what we play was heard on the
// line a cycle before: hosts that compensate for latency can line the serial device up.
// Only atomics: this runs on JACK's notification thread.
void JackMidiService::Latency(jack_latency_callback_mode_t mode, void* self) {
  auto& service = *static_cast<JackMidiService*>(self);
  // PipeWire 0.3.65's libjack aborts now and then in its protocol (assert_single_pod) when a
  // port's latency is set from this callback while another thread waits in jack_connect: there
  // the ports get theirs when registered (their events go at once, so the range never changes).
  if (!service.cycleTimes_.load()) return;
  jack_client_t* client = service.processClient_.load(std::memory_order_acquire);
  if (client == nullptr) return;
  // Ours ends at the serial line: playback for what comes in, capture for what goes out.
  const bool forInputs = mode == JackPlaybackLatency;
  for (auto& own : service.ownPorts_) {
    jack_port_t* port = own.port.load();
    if (port != nullptr && own.input.load() == forInputs) {
      service.SetLatency(client, port, forInputs);
    }
  }
}

std::optional<bool> JackMidiService::ExactTimingInForce() {
  // No cycles without a server; PipeWire's cycle times do not stand for its events' frames, so
  // there events go at once.
  if (processClient_.load() == nullptr || gone_.load() || !cycleTimes_.load()) return std::nullopt;
  return exact_.load();
}

void JackMidiService::SetLatency(jack_client_t* client, jack_port_t* port, bool input) const {
  const jack_nframes_t cycle = jack_get_buffer_size(client);
  const bool exact = exact_.load() && cycleTimes_.load();
  jack_latency_range_t range{exact ? cycle : 0, cycle};
  jack_port_set_latency_range(port, input ? JackPlaybackLatency : JackCaptureLatency, &range);
}

void JackMidiService::SetExactTiming(bool exact) {
  if (exact_.exchange(exact) == exact) return;
  std::lock_guard lock(mutex_);
  if (client_ != nullptr && !gone_.load()) jack_recompute_total_latencies(client_);
}

void JackMidiService::Changed(bool portWent) {
  if (portWent) checkRounds_.store(kCheckRounds);
  changed_.store(true);
  sem_post(&wake_);
}

// ---- the delivery thread ------------------------------------------------------------------

bool JackMidiService::StalledLocked() {
  const std::uint64_t cycles = cycle_.load();
  const auto now = std::chrono::steady_clock::now();
  if (cycles != cyclesSeen_) {
    cyclesSeen_ = cycles;
    cyclesMoved_ = now;
    return false;
  }
  return now - cyclesMoved_ >=
         std::max<std::chrono::nanoseconds>(period_ * kStallPeriods, kStallFloor);
}

void JackMidiService::DeliveryLoop() {
  bool absent = true;         // no live client: ask for a server twice a second
  bool lostReported = false;  // the open devices know that the server went away
  std::chrono::steady_clock::time_point goneSeen{};
  jack_time_t due = 0;  // when input waiting for its moment is next due; 0: none
  while (!stopping_.load()) {
    if (due != 0) {
      const jack_time_t now = jack_get_time();
      WaitAtMost(wake_, std::chrono::microseconds(due > now ? due - now : 0));
    } else if (checkRounds_.load() > 0 || linkLooks_.load() > 0) {
      WaitAtMost(wake_, kCheckPause);
    } else if (absent) {
      WaitAtMost(wake_, kServerRetry);
    } else {
      WaitAtMost(wake_, kStallCheck);
    }
    due = 0;
    if (stopping_.load()) return;
    bool raise = false;
    {
      std::lock_guard lock(mutex_);
      if (client_ != nullptr && !gone_.load() && StalledLocked()) gone_.store(true);
      if (client_ != nullptr && gone_.load()) {
        if (!lostReported) {
          for (const auto& input : inputs_) input->Lost();
          for (const auto& output : outputs_) output->Lost();
          lostReported = true;
          goneSeen = std::chrono::steady_clock::now();
          raise = true;
        } else if (const auto since = std::chrono::steady_clock::now() - goneSeen;
                   since >= kDropPause && (NotifierEndedLocked() || since >= kNotifierBound)) {
          // By now libjack's own threads are done with the dead server.
          DropClientLocked();
        }
      }
      if (client_ == nullptr) OpenClientLocked();
      absent = client_ == nullptr || gone_.load();
      if (!absent) {
        lostReported = false;
        // JACK tells of a port going before its lists show it: the last look raises again.
        if (checkRounds_.load() > 0) {
          const bool last = checkRounds_.fetch_sub(1) == 1;
          raise = raise || last;
          CheckLostLocked(last);
        }
        // Likewise a link: it may show only at a later look.
        if (linkLooks_.load() > 0) {
          linkLooks_.fetch_sub(1);
          if (NoteOutsideLinksLocked()) raise = true;
        }
        if (!callerDelivers_.load()) {
          // This thread is no consumer's: it hands over all, as the ring's producer would.
          std::size_t budget = std::numeric_limits<std::size_t>::max();
          due = DeliverDueLocked(budget);
        }
      }
    }
    if (changed_.exchange(false)) raise = true;
    if (raise) RaisePortsChanged();
  }
}

int JackMidiService::CallerDeliversInput() {
  std::lock_guard lock(mutex_);
  if (inputReady_ < 0) {
    // One descriptor for the caller's wait: input rung by the process thread, or the time of
    // input that waits for its moment.
    arrivedEvent_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    arrivalTimer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    dueTimer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    const int watch = epoll_create1(EPOLL_CLOEXEC);
    const auto watched = [&](int descriptor) {
      epoll_event ready{EPOLLIN, {.fd = descriptor}};
      return descriptor >= 0 && epoll_ctl(watch, EPOLL_CTL_ADD, descriptor, &ready) == 0;
    };
    if (watch < 0 || !watched(arrivedEvent_) || !watched(arrivalTimer_) || !watched(dueTimer_)) {
      if (watch >= 0) close(watch);
      return -1;
    }
    inputReady_ = watch;
  }
  // Under the lock: the delivery thread, which takes it to deliver, stops doing so here.
  callerDelivers_.store(true, std::memory_order_release);
  // What arrived before is the caller's now too: rung for it.
  RingInputReady();
  return inputReady_;
}

void JackMidiService::DeliverInput() {
  if (!callerDelivers_.load()) return;
  // Only what is ready is read: one system call for the three, and none that finds nothing.
  std::array<epoll_event, 3> ready{};
  const int count = epoll_wait(inputReady_, ready.data(), static_cast<int>(ready.size()), 0);
  bool dueCame = false;
  for (int i = 0; i < count; ++i) {
    std::uint64_t rings = 0;
    const int descriptor = ready[static_cast<std::size_t>(i)].data.fd;
    const bool taken = read(descriptor, &rings, sizeof rings) == sizeof rings;
    dueCame |= taken && descriptor == dueTimer_;
  }
  // Cleared before the rings are read: input that arrives meanwhile rings again.
  inputRung_.store(kNotRung);
  std::lock_guard lock(mutex_);
  if (dueCame) armedFor_ = 0;
  // A pass hands over no more than the input's event ring holds: the caller's pump drains that
  // ring before it looks at our descriptor again, so what is left waits in JACK's ring, never
  // dropped for want of a slot.
  std::size_t budget = kDeliveryBatch;
  const jack_time_t next = DeliverDueLocked(budget);
  if (budget == 0) RingInputReady();
  // Only this thread sets `dueTimer_`, and only when the next moment changed.
  if (next == armedFor_) return;
  armedFor_ = next;
  itimerspec when{};
  if (next != 0) {
    const jack_time_t now = jack_get_time();
    const jack_time_t wait = next > now ? next - now : 1;
    when.it_value.tv_sec = static_cast<time_t>(wait / 1'000'000);
    when.it_value.tv_nsec = static_cast<long>(wait % 1'000'000 * 1000);
  }
  timerfd_settime(dueTimer_, 0, &when, nullptr);
}

jack_time_t JackMidiService::DeliverDueLocked(std::size_t& budget) {
  jack_time_t next = 0;
  for (const auto& input : inputs_) {
    const jack_time_t due = DeliverLocked(*input, budget);
    if (due != 0 && (next == 0 || due < next)) next = due;
  }
  return next;
}

jack_time_t JackMidiService::DeliverLocked(JackInput& input, std::size_t& budget) {
  if (const auto lost = input.overflowed.exchange(0, std::memory_order_relaxed)) {
    input.Overflowed(lost);
  }
  ByteRing& ring = *input.jack.ring;
  for (; budget > 0; --budget) {
    const RecordHeader head = RecordAtHead(ring);
    if (head.size == 0) return 0;
    // A record that stands for a later moment waits for it; `now` is read once it matters.
    if (head.time != 0 && head.time > jack_get_time()) return head.time;
    ring.ReadAdvance(kHeaderBytes);
    ring.Read(input.scratch.data(), head.size);
    input.Deliver(input.scratch.data(), head.size);
  }
  return 0;
}

void JackMidiService::CheckLostLocked(bool last) {
  const auto check = [&](auto& device) {
    JackPort& port = device.jack;
    if (!LiveLocked(port)) return;  // lost with its client already
    if (jack_port_by_name(client_, port.target.c_str()) == nullptr) return device.Lost();
    const bool connected = jack_port_connected_to(port.port, port.target.c_str()) != 0;
    port.linkSeen = port.linkSeen || connected;
    // The port is there and its link gone: someone cut it in a patchbay.
    if (!connected && port.linkSeen && last) device.Lost(true);
  };
  for (const auto& input : inputs_) check(*input);
  for (const auto& output : outputs_) check(*output);
}

bool JackMidiService::NoteOutsideLinksLocked() {
  bool news = false;
  const auto note = [&](JackPort& port, bool input) {
    if (!LiveLocked(port) || port.parked) return;
    std::vector<std::string> others;
    const char** links = jack_port_get_all_connections(client_, port.port);
    for (const char** link = links; link != nullptr && *link != nullptr; ++link) {
      if (*link != port.target) others.emplace_back(*link);
    }
    if (links != nullptr) jack_free(links);
    const std::string ours = jack_port_name(port.port);
    for (const auto& other : others) {
      if (std::find(port.outside.begin(), port.outside.end(), other) != port.outside.end()) {
        continue;
      }
      outsideLinks_.push_back(input ? OutsideLink{true, other, ours}
                                    : OutsideLink{false, ours, other});
      news = true;
    }
    port.outside = std::move(others);
  };
  for (const auto& input : inputs_) note(input->jack, true);
  for (const auto& output : outputs_) note(output->jack, false);
  return news;
}

std::vector<MidiService::OutsideLink> JackMidiService::TakeOutsideLinks() {
  std::lock_guard lock(mutex_);
  return std::exchange(outsideLinks_, {});
}

// ---- ports --------------------------------------------------------------------------------

std::vector<std::string> JackMidiService::PortsLocked(bool input) {
  std::vector<std::string> names;
  if (!ClientLocked()) return names;
  const std::string own = std::string(jack_get_client_name(client_)) + ":";
  const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE,
                                      input ? JackPortIsOutput : JackPortIsInput);
  for (const char** port = ports; port != nullptr && *port != nullptr; ++port) {
    if (std::strncmp(*port, own.c_str(), own.size()) != 0) names.emplace_back(*port);
  }
  if (ports != nullptr) jack_free(ports);
  return names;
}

std::string JackMidiService::FreeNameLocked(const char* base) const {
  for (int n = 1;; ++n) {
    std::string name = n == 1 ? std::string(base) : std::string(base) + "_" + std::to_string(n);
    // A lost device of an earlier client keeps no name on this one.
    const auto taken = [&](const auto& list) {
      return std::any_of(list.begin(), list.end(), [&](const auto& device) {
        return device->jack.client == generation_ && device->jack.name == name;
      });
    };
    const bool closing =
        std::find(transitNames_.begin(), transitNames_.end(), name) != transitNames_.end();
    if (!taken(inputs_) && !taken(outputs_) && !closing) return name;
  }
}

MMRESULT JackMidiService::OpenPortLocked(JackPort& port, const std::string& target, bool input) {
  port.target = target;
  port.name = FreeNameLocked(input ? "midi_in" : "midi_out");
  port.client = generation_;
  try {
    port.ring = std::make_unique<ByteRing>(kRingBytes);
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  port.ring->Lock();
  const auto idle = std::find_if(idle_.begin(), idle_.end(),
                                 [&](const IdlePort& p) { return p.name == port.name; });
  if (idle != idle_.end()) {
    port.port = idle->port;
    idle_.erase(idle);
    return MMSYSERR_NOERROR;
  }
  port.port = jack_port_register(client_, port.name.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                 input ? JackPortIsInput : JackPortIsOutput, 0);
  if (port.port != nullptr) {
    for (auto& own : ownPorts_) {
      if (own.port.load() != nullptr) continue;
      own.input.store(input);
      own.port.store(port.port);
      break;
    }
    if (!cycleTimes_.load()) SetLatency(client_, port.port, input);
    jack_recompute_total_latencies(client_);
    return MMSYSERR_NOERROR;
  }
  return LiveLocked(port) ? MMSYSERR_ERROR : MMSYSERR_NODRIVER;
}

// Without a server, the service is what is missing; with one, the port that was asked for.
MMRESULT JackMidiService::NoPortLocked() const {
  return client_ != nullptr && !gone_.load() ? MMSYSERR_BADDEVICEID : MMSYSERR_NODRIVER;
}

// The chosen port went after it was listed, or its client has not activated yet (JACK lists
// the ports of a client from its registration but links them only once it is active): either
// way the port is what is missing, unless the server went away meanwhile.
MMRESULT JackMidiService::LinkRefusedLocked(const JackPort& port) const {
  return LiveLocked(port) ? MIDIERR_NODEVICE : MMSYSERR_NODRIVER;
}

bool JackMidiService::LinkLocked(JackPort& port, bool input, std::unique_lock<std::mutex>& lock) {
  const char* ours = jack_port_name(port.port);
  const int linked = input ? jack_connect(client_, port.target.c_str(), ours)
                           : jack_connect(client_, ours, port.target.c_str());
  if (linked != 0 && linked != EEXIST) return false;
  // The wait lets the lock go between looks: the port keeps its name meanwhile.
  transitNames_.push_back(port.name);
  WaitLinkCarriesLocked(port, lock);
  transitNames_.erase(std::find(transitNames_.begin(), transitNames_.end(), port.name));
  // A server that went meanwhile took the port with it.
  return LiveLocked(port);
}

// PipeWire makes a link in its own time after jack_connect returns, and carries it from a
// later cycle on: what was sent or received before would be lost. jackd's link is in its graph
// at once and carries from the next cycle. Bounded, and only while the cycles run; the lock
// is let go between looks, so that input and the other devices go on.
void JackMidiService::WaitLinkCarriesLocked(JackPort& port, std::unique_lock<std::mutex>& lock) {
  const auto deadline = std::chrono::steady_clock::now() + kCycleBound;
  const auto waitFor = [&](const auto& done) {
    while (!done()) {
      if (!LiveLocked(port) || std::chrono::steady_clock::now() >= deadline) return false;
      lock.unlock();
      const timespec pause{0, 200'000};
      nanosleep(&pause, nullptr);
      lock.lock();
    }
    return true;
  };
  if (!waitFor([&] { return jack_port_connected_to(port.port, port.target.c_str()) != 0; })) {
    return;
  }
  port.linkSeen = true;
  const std::uint64_t seen = cycle_.load() | 1;
  waitFor([&] { return cycle_.load() >= seen + kLinkCycles * 2; });
}

// libjack 1.9.21 crashes now and then when a port is unregistered (or registered) while its
// notification thread handles a graph change: a port, once registered, is kept for the next
// device of its name, unlinked meanwhile.
void JackMidiService::ClosePortLocked(JackPort& port) {
  if (port.port == nullptr || port.parked) return;
  port.parked = true;
  if (LiveLocked(port)) {
    jack_port_disconnect(client_, port.port);
    idle_.push_back(IdlePort{port.port, port.name});
  }
}

bool JackMidiService::WaitCycleBoundary() {
  // A cycle that began before the device was withdrawn ends with the counter even again.
  const std::uint64_t seen = cycle_.load();
  if (seen % 2 == 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + kCycleBound;
  while (cycle_.load() == seen) {
    // A dead server's cycle never ends.
    if (gone_.load() || std::chrono::steady_clock::now() >= deadline) return false;
    const timespec pause{0, 100'000};
    nanosleep(&pause, nullptr);
  }
  return true;
}

bool JackMidiService::Withdraw(std::atomic<JackInput*>& slot) {
  slot.store(nullptr);
  return WaitCycleBoundary();
}

bool JackMidiService::Withdraw(std::atomic<JackOutput*>& slot) {
  slot.store(nullptr);
  return WaitCycleBoundary();
}

JackMidiService::JackInput* JackMidiService::InputLocked(HMIDIIN handle) const {
  return FindOpen(inputs_, handle);
}

JackMidiService::JackOutput* JackMidiService::OutputLocked(HMIDIOUT handle) const {
  return FindOpen(outputs_, handle);
}

// ---- input --------------------------------------------------------------------------------

std::uint32_t JackMidiService::midiInGetNumDevs() {
  std::lock_guard lock(mutex_);
  return static_cast<std::uint32_t>(PortsLocked(true).size());
}

MMRESULT JackMidiService::midiInGetDevCapsA(std::uintptr_t id, MIDIINCAPSA* caps,
                                            std::uint32_t size) {
  if (caps == nullptr || size < sizeof(MIDIINCAPSA)) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  const auto ports = PortsLocked(true);
  if (id >= ports.size()) return NoPortLocked();
  FillInputCaps(ports[id], 0, 0x0100, *caps);
  return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiInOpen(HMIDIIN* handle, std::uint32_t id, MidiCallback callback,
                                     std::uintptr_t instance, std::uint32_t flags) {
  if (handle == nullptr || callback == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
  std::unique_lock lock(mutex_);
  const auto ports = PortsLocked(true);
  if (id >= ports.size()) return NoPortLocked();
  auto slot = std::find_if(inSlots_.begin(), inSlots_.end(),
                           [](const auto& s) { return s.load() == nullptr; });
  if (slot == inSlots_.end()) return MMSYSERR_ALLOCATED;
  auto input = std::make_unique<JackInput>(callback, instance);
  input->scratch.resize(kRingBytes);
  if (auto result = OpenPortLocked(input->jack, ports[id], true)) return result;
  slot->store(input.get());
  if (!LinkLocked(input->jack, true, lock)) {
    // A client dropped meanwhile emptied the slot, which another device may hold by now.
    const bool passed = slot->load() != input.get() || Withdraw(*slot);
    ClosePortLocked(input->jack);
    const MMRESULT refused = LinkRefusedLocked(input->jack);
    if (!passed) graveyardIn_.push_back(std::move(input));
    return refused;
  }
  inputs_.push_back(std::move(input));
  *handle = inputs_.back().get();
  return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  return input ? input->Prepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidiService::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header,
                                                std::uint32_t size) {
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  return input ? input->Unprepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidiService::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  return input ? input->AddBuffer(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidiService::midiInStart(HMIDIIN handle) {
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  return input ? input->Start() : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidiService::midiInStop(HMIDIIN handle) {
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  return input ? input->Stop() : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidiService::midiInReset(HMIDIIN handle) {
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  return input ? input->Reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidiService::midiInClose(HMIDIIN handle) {
  std::lock_guard lock(mutex_);
  auto* input = InputLocked(handle);
  if (input == nullptr) return MMSYSERR_INVALHANDLE;
  if (auto result = input->Close()) return result;
  auto found =
      std::find_if(inputs_.begin(), inputs_.end(), [&](const auto& i) { return i.get() == input; });
  std::unique_ptr<JackInput> closing = std::move(*found);
  inputs_.erase(found);
  // 1. Out of the process thread's view; 2. its port goes; 3. its ring, unless a cycle that
  // never ended might still hold it: then it waits for the client to close.
  bool passed = true;
  for (auto& slot : inSlots_) {
    if (slot.load() == closing.get()) passed = Withdraw(slot);
  }
  ClosePortLocked(closing->jack);
  if (!passed) graveyardIn_.push_back(std::move(closing));
  return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  return CopyErrorText(ResultText(code), text, size);
}

// ---- output -------------------------------------------------------------------------------

std::uint32_t JackMidiService::midiOutGetNumDevs() {
  std::lock_guard lock(mutex_);
  return static_cast<std::uint32_t>(PortsLocked(false).size());
}

MMRESULT JackMidiService::midiOutGetDevCapsA(std::intptr_t id, MIDIOUTCAPSA* caps,
                                             std::uint32_t size) {
  if (caps == nullptr || size < sizeof(MIDIOUTCAPSA)) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  const auto ports = PortsLocked(false);
  const bool mapper = id == MIDI_MAPPER;
  const std::intptr_t index = mapper ? 0 : id;
  if (index < 0 || static_cast<std::size_t>(index) >= ports.size()) return NoPortLocked();
  FillOutputCaps(ports[index], mapper, 0, 0x0100, *caps);
  return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiOutOpen(HMIDIOUT* handle, std::intptr_t id, MidiCallback callback,
                                      std::uintptr_t instance, std::uint32_t flags) {
  if (handle == nullptr || callback == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
  std::unique_lock lock(mutex_);
  const auto ports = PortsLocked(false);
  const std::intptr_t index = id == MIDI_MAPPER ? 0 : id;  // the mapper plays on output 0
  if (index < 0 || static_cast<std::size_t>(index) >= ports.size()) return NoPortLocked();
  auto slot = std::find_if(outSlots_.begin(), outSlots_.end(),
                           [](const auto& s) { return s.load() == nullptr; });
  if (slot == outSlots_.end()) return MMSYSERR_ALLOCATED;
  auto output = std::make_unique<JackOutput>(callback, instance);
  output->largest = &largestEvent_;
  if (auto result = OpenPortLocked(output->jack, ports[index], false)) return result;
  // Ours before it is linked: a reused port's buffer holds its last cycle until we clear it.
  slot->store(output.get());
  if (!LinkLocked(output->jack, false, lock)) {
    const MMRESULT refused = LinkRefusedLocked(output->jack);
    ClosePortLocked(output->jack);
    // A cycle that never ended may still hold it: it stays until the client closes. A client
    // dropped meanwhile emptied the slot, which another device may hold by now.
    if (slot->load() == output.get() && !Withdraw(*slot)) {
      graveyardOut_.push_back(std::move(output));
    }
    return refused;
  }
  outputs_.push_back(std::move(output));
  *handle = outputs_.back().get();
  return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::WriteRecordLocked(JackOutput& output, const std::uint8_t* bytes,
                                            std::size_t count) {
  // Nothing reads the ring of a device whose server went away.
  if (!LiveLocked(output.jack)) return MIDIERR_NODEVICE;
  ByteRing& ring = *output.jack.ring;
  if (ring.WriteSpace() < kHeaderBytes + count) {
    refused_.fetch_add(1);
    return MIDIERR_NOTREADY;
  }
  // Timed, a message is placed one cycle after the moment it is handed over.
  WriteRecord(ring, exact_.load(std::memory_order_relaxed) ? jack_get_time() : 0, bytes, count);
  return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiOutShortMsg(HMIDIOUT handle, std::uint32_t packed) {
  std::lock_guard lock(mutex_);
  auto* output = OutputLocked(handle);
  if (output == nullptr) return MMSYSERR_INVALHANDLE;
  const auto status = static_cast<std::uint8_t>(packed & 0xFF);
  const std::size_t length = ShortMessageLength(status);
  if (length == 0) return MMSYSERR_INVALPARAM;
  const std::uint8_t bytes[3] = {status, static_cast<std::uint8_t>((packed >> 8) & 0x7F),
                                 static_cast<std::uint8_t>((packed >> 16) & 0x7F)};
  return WriteRecordLocked(*output, bytes, length);
}

MMRESULT JackMidiService::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                               std::uint32_t size) {
  std::lock_guard lock(mutex_);
  auto* output = OutputLocked(handle);
  return output ? output->Prepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidiService::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                                 std::uint32_t size) {
  std::lock_guard lock(mutex_);
  auto* output = OutputLocked(handle);
  return output ? output->Unprepare(header, size) : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidiService::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) {
  JackOutput* output = nullptr;
  MMRESULT result = MMSYSERR_NOERROR;
  {
    std::lock_guard lock(mutex_);
    output = OutputLocked(handle);
    if (output == nullptr) return MMSYSERR_INVALHANDLE;
    if (header != nullptr && header->dwBufferLength > kMaxMessage) return MIDIERR_TOOLONG;
    if (auto begun = output->BeginLong(header, size)) return begun;
    result = WriteRecordLocked(*output, reinterpret_cast<const std::uint8_t*>(header->lpData),
                               header->dwBufferLength);
  }
  // The ring holds a copy: the header is free again. Handles are closed only by the thread
  // that sends, so `output` stays valid without the lock.
  if (result == MMSYSERR_NOERROR) {
    output->CompleteLong(header);
  } else {
    output->AbortLong(header);
  }
  return result;
}

MMRESULT JackMidiService::midiOutReset(HMIDIOUT handle) {
  std::lock_guard lock(mutex_);
  return OutputLocked(handle) ? MMSYSERR_NOERROR : MMSYSERR_INVALHANDLE;
}

MMRESULT JackMidiService::midiOutClose(HMIDIOUT handle) {
  std::unique_lock lock(mutex_);
  auto* output = OutputLocked(handle);
  if (output == nullptr) return MMSYSERR_INVALHANDLE;
  if (auto result = output->Close()) return result;
  auto found = std::find_if(outputs_.begin(), outputs_.end(),
                            [&](const auto& o) { return o.get() == output; });
  std::unique_ptr<JackOutput> closing = std::move(*found);
  outputs_.erase(found);
  // The drain below runs without the lock, so that input and the other devices go on; the
  // port keeps its name meanwhile.
  transitNames_.push_back(closing->jack.name);
  const auto period = period_;
  lock.unlock();
  // Waits while `more` holds, within a bound, and only while the cycles run: a server whose
  // cycles stopped (one that died without a word yet) is not waited for.
  const auto deadline = std::chrono::steady_clock::now() + kCycleBound;
  std::uint64_t cycles = cycle_.load();
  auto moved = std::chrono::steady_clock::now();
  const auto waitWhile = [&](const auto& more) {
    while (!gone_.load() && more()) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline || now - moved > 4 * period + std::chrono::milliseconds(20)) return;
      if (cycle_.load() != cycles) {
        cycles = cycle_.load();
        moved = now;
      }
      const timespec pause{0, 200'000};
      nanosleep(&pause, nullptr);
    }
  };
  // What was sent before closing still goes out (a note-off, say): the process thread empties
  // the ring first. Then the same order as for an input.
  waitWhile([&] { return closing->jack.ring->ReadSpace() > 0; });
  // PipeWire hands a cycle's events on to the linked port in a later cycle: two more cycles
  // end before the link goes, or the last message would go with it.
  const std::uint64_t drained = cycle_.load() | 1;
  waitWhile([&] { return cycle_.load() < drained + 4; });
  lock.lock();
  transitNames_.erase(std::find(transitNames_.begin(), transitNames_.end(), closing->jack.name));
  // Unlinked before it leaves the process thread, which clears its buffer meanwhile: its last
  // cycle is never heard twice.
  ClosePortLocked(closing->jack);
  bool passed = true;
  for (auto& slot : outSlots_) {
    if (slot.load() == closing.get()) passed = Withdraw(slot);
  }
  if (!passed) graveyardOut_.push_back(std::move(closing));
  return MMSYSERR_NOERROR;
}

MMRESULT JackMidiService::midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  return CopyErrorText(ResultText(code), text, size);
}

}  // namespace velmora::platform::midi
