#pragma once

// The MIDI service on libjack: one JACK client for the whole program, one JACK MIDI port per
// open device ("midi_in", "midi_in_2", ..., "midi_out", ...), connected to the port the user
// chose. Inputs are the server's MIDI output ports and outputs its input ports, ours left out,
// each named by its full port name.
//
// JACK's process thread only moves bytes between port buffers and lock-free rings: it never
// locks, allocates or blocks; it times each of its runs (two reads of the monotonic clock,
// relaxed atomics). Input reaches the callback from a delivery thread of ours, or from the
// caller's thread once it asks for that (CallerDeliversInput). The delivery thread also raises
// ports-changed and, while no server answers, asks for one once a second: when a server stops,
// open devices are lost; when one is back, a new client lists its ports.

#include <jack/jack.h>
#include <semaphore.h>
#include <sys/types.h>
#include <time.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi/ByteRing.h"
#include "platform/midi/CallbackTimer.h"
#include "platform/midi/Endpoints.h"
#include "platform/midi/MidiService.h"

namespace velmora::platform::midi {

class JackMidiService final : public MidiService {
 public:
  static constexpr std::size_t kMaxMessage = 65535;
  static constexpr std::size_t kMaxPorts = 16;  // per direction

  // Opens the client now if a server answers, else at the next listing.
  explicit JackMidiService(std::string clientName = "velmora");
  ~JackMidiService() override;
  JackMidiService(const JackMidiService&) = delete;
  JackMidiService& operator=(const JackMidiService&) = delete;

  // UI thread. True while a server answers.
  bool Connected();
  // UI thread. The name JACK gave our client; empty without a server.
  std::string ClientName();
  // Any thread. Messages refused because a ring was full, both ways; each one also made its
  // call fail or, for input, was counted here only.
  std::uint64_t Refused() const { return refused_.load(); }
  // Any thread. Cycles the server did not finish in time (JACK drops their port buffers).
  std::uint64_t Xruns() const { return xruns_.load(); }
  // Any thread. The process callback's run times, timed from its first line to its last.
  std::optional<ProcessTimes> ProcessCallbackTimes() const override;
  // Any thread. Starts the run times afresh; a cycle running meanwhile may count either side.
  void ResetProcessCallbackTimes();

  std::uint32_t midiInGetNumDevs() override;
  MMRESULT midiInGetDevCapsA(std::uintptr_t id, MIDIINCAPSA* caps, std::uint32_t size) override;
  MMRESULT midiInOpen(HMIDIIN* handle, std::uint32_t id, MidiCallback callback,
                      std::uintptr_t instance, std::uint32_t flags) override;
  MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiInStart(HMIDIIN handle) override;
  MMRESULT midiInStop(HMIDIIN handle) override;
  MMRESULT midiInReset(HMIDIIN handle) override;
  MMRESULT midiInClose(HMIDIIN handle) override;
  MMRESULT midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) override;

  std::uint32_t midiOutGetNumDevs() override;
  MMRESULT midiOutGetDevCapsA(std::intptr_t id, MIDIOUTCAPSA* caps, std::uint32_t size) override;
  MMRESULT midiOutOpen(HMIDIOUT* handle, std::intptr_t id, MidiCallback callback,
                       std::uintptr_t instance, std::uint32_t flags) override;
  MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t packed) override;
  MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) override;
  MMRESULT midiOutReset(HMIDIOUT handle) override;
  MMRESULT midiOutClose(HMIDIOUT handle) override;
  MMRESULT midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) override;
  // Raised on the delivery thread when a port comes, goes or is renamed, when the server goes
  // away and when a server is found again. Never after this returns with an empty function.
  void SetPortsChangedCallback(std::function<void()> callback) override;
  // UI thread. The process thread then rings an event descriptor (one non-blocking write per
  // wake-up) instead of waking the delivery thread: a message reaches the UI thread with one
  // thread switch fewer. The delivery thread keeps the ports' news and the server's coming
  // and going.
  // "JACK (PipeWire 0.3.65)", "JACK (jackd 1.9.21)"; empty while no server answers.
  std::string Name() override;
  std::vector<OutsideLink> TakeOutsideLinks() override;
  int CallerDeliversInput() override;
  void DeliverInput() override;
  // Any thread. Exact (the default): an event from JACK is handed over one cycle after the time
  // its frame stands for, and one sent to JACK plays at the frame that stands for the time it
  // was sent, one cycle later; the ports report that cycle as their latency. Otherwise each
  // goes at once: input as its cycle is processed, output at the start of the next cycle.
  void SetExactTiming(bool exact) override;
  std::optional<bool> ExactTimingInForce() override;
  // The longest message that goes to JACK as one event: what an empty port buffer takes, short
  // of the margin that PipeWire's libjack needs; jackd's figure until a cycle has measured it.
  std::size_t LargestOutputEvent(HMIDIOUT) const override {
    return largestEvent_.load(std::memory_order_relaxed);
  }

 private:
  using Ring = std::unique_ptr<ByteRing>;

  // What an open device has on JACK. Fields are written by the UI thread before the device is
  // published to the process thread and not changed until it is taken back.
  struct JackPort {
    // Set at open, then read by the process thread while the device is in its view: never
    // written again, even at close (the port is parked, see `parked`).
    jack_port_t* port = nullptr;
    bool parked = false;  // UI thread: unlinked and kept for the next device of its name
    // The client that registered the port (`generation_` then). A device of an earlier client
    // lives on, lost, until it is closed, but nothing of that client is touched again.
    std::uint64_t client = 0;
    std::string name;    // ours, without the client's name
    std::string target;  // the chosen port's full name
    // Delivery thread, under the service's lock: the link to `target` has shown in JACK's
    // graph. A client sees a new link only from a later cycle on: until then its absence
    // is no unlinking.
    bool linkSeen = false;
    // Delivery thread, under the service's lock: the links of other programs to this port
    // that were told already.
    std::vector<std::string> outside;
    Ring ring;  // [length:4][bytes] records
  };
  class JackInput;
  class JackOutput;
  struct Cycle;

  // Process thread.
  static int Process(jack_nframes_t frames, void* self);
  void ProcessCycle(jack_nframes_t frames);
  // What a cycle's input asks of the one that delivers it: a ring at once (input to hand over
  // now, or a loss to tell), or a wake at the moment of the earliest input that waits for it.
  struct Arrival {
    bool now = false;
    jack_time_t at = 0;
  };
  // `cycle`: the cycle's times when events keep their place in time, else null.
  void ReadIn(JackInput& input, jack_nframes_t frames, const Cycle* cycle, Arrival& arrival);
  static void WriteOut(JackOutput& output, jack_nframes_t frames, const Cycle* cycle);
  // Process thread, or the UI thread as it takes input over: wakes the caller that delivers.
  void RingInputReady();
  // Process thread: wakes the caller at `arrival.at`, or at once.
  void WakeCaller(const Arrival& arrival);
  // JACK's notification thread: only atomics and sem_post.
  static void ServerGone(jack_status_t code, const char* reason, void* self);
  static void ServerEnded(void* self);
  static int Xrun(void* self);
  static void PortConnected(jack_port_id_t a, jack_port_id_t b, int connect, void* self);
  static void PortRegistered(jack_port_id_t port, int registered, void* self);
  static void PortRenamed(jack_port_id_t port, const char* before, const char* after, void* self);
  static void ClientRegistered(const char* name, int registered, void* self);
  static void Latency(jack_latency_callback_mode_t mode, void* self);
  // Any thread but the process thread: the range that `port` adds, as timing stands now.
  void SetLatency(jack_client_t* client, jack_port_t* port, bool input) const;
  void Changed(bool portWent);

  void DeliveryLoop();
  // Delivery thread: the cycles stopped while the client is active.
  bool StalledLocked();
  // Hands over the input whose moment has come, at most `budget` messages; the time the next
  // waits for, 0 when none. `budget` is left with what was not spent: 0 when input may remain.
  jack_time_t DeliverDueLocked(std::size_t& budget);
  jack_time_t DeliverLocked(JackInput& input, std::size_t& budget);
  // `last`: the last look after a link or port went, when a link gone is taken as cut.
  void CheckLostLocked(bool last);
  // Gathers the links of other programs to our open ports that are new: true when one is.
  bool NoteOutsideLinksLocked();
  void RaisePortsChanged();

  // A client while a server answers; false while the server that we knew is gone (the
  // delivery thread drops that client) or none answers.
  bool ClientLocked();
  bool OpenClientLocked();
  // The server went away: every open device is lost and leaves the process thread's view,
  // then the dead client is closed.
  void DropClientLocked();
  void CloseClientLocked();
  // Whether libjack's notification thread of the client has ended (after its server went).
  bool NotifierEndedLocked() const;
  bool LiveLocked(const JackPort& port) const;
  std::vector<std::string> PortsLocked(bool input);
  std::string FreeNameLocked(const char* base) const;
  MMRESULT OpenPortLocked(JackPort& port, const std::string& target, bool input);
  // Links the port to its target and returns once the link carries (or a bound passed).
  bool LinkLocked(JackPort& port, bool input, std::unique_lock<std::mutex>& lock);
  void WaitLinkCarriesLocked(JackPort& port, std::unique_lock<std::mutex>& lock);
  // The result of an open that found no port at `id`, or whose link JACK refused.
  MMRESULT NoPortLocked() const;
  MMRESULT LinkRefusedLocked(const JackPort& port) const;
  void ClosePortLocked(JackPort& port);
  // Takes a device out of the process thread's view: true once no cycle can still use it.
  bool Withdraw(std::atomic<JackInput*>& slot);
  bool Withdraw(std::atomic<JackOutput*>& slot);
  bool WaitCycleBoundary();
  JackInput* InputLocked(HMIDIIN handle) const;
  JackOutput* OutputLocked(HMIDIOUT handle) const;
  MMRESULT WriteRecordLocked(JackOutput& output, const std::uint8_t* bytes, std::size_t count);

  const std::string clientName_;

  // Guards the client, the lists of open devices and the graveyard; taken by the UI thread's
  // calls and by the delivery thread. Never taken by JACK's threads.
  mutable std::mutex mutex_;
  jack_client_t* client_ = nullptr;
  std::uint64_t generation_ = 0;        // counts the clients opened
  std::chrono::nanoseconds period_{0};  // the server's period, read at open
  // The delivery thread's watch of the cycles: the count it last saw and when it moved.
  std::uint64_t cyclesSeen_ = 0;
  std::chrono::steady_clock::time_point cyclesMoved_{};
  std::vector<std::unique_ptr<JackInput>> inputs_;
  std::vector<std::unique_ptr<JackOutput>> outputs_;
  // Ports of closed devices, unlinked, kept for the next device of the same name.
  struct IdlePort {
    jack_port_t* port;
    std::string name;
  };
  std::vector<IdlePort> idle_;
  // Names of ports between the lists while the lock is let go: an open waiting for its link
  // to carry, an output draining before its port goes.
  std::vector<std::string> transitNames_;
  std::vector<OutsideLink> outsideLinks_;  // not yet taken
  // Devices that a cycle might still have used when they were closed: freed after the client.
  std::vector<std::unique_ptr<JackInput>> graveyardIn_;
  std::vector<std::unique_ptr<JackOutput>> graveyardOut_;

  // The process thread's view of the open devices: written under mutex_ by the UI thread,
  // read lock-free by the process thread.
  std::array<std::atomic<JackInput*>, kMaxPorts> inSlots_{};
  std::array<std::atomic<JackOutput*>, kMaxPorts> outSlots_{};
  // Our client for JACK's threads: set before it is activated, cleared after it is closed.
  std::atomic<jack_client_t*> processClient_{nullptr};
  // Our ports for the latency callback: each set once, under mutex_, when it is registered;
  // cleared with the client. Ports are never unregistered before their client closes.
  struct OwnPort {
    std::atomic<jack_port_t*> port{nullptr};
    std::atomic<bool> input{false};
  };
  std::array<OwnPort, 2 * kMaxPorts> ownPorts_{};
  std::atomic<bool> exact_{true};  // any thread writes; the process thread reads
  // Whether the server's cycle times place events: set under mutex_ when a client opens.
  std::atomic<bool> cycleTimes_{true};
  // Written by the process thread once an output's first cycle has measured its buffer.
  std::atomic<std::size_t> largestEvent_{32640};
  // Written by the process thread only: odd while a cycle runs.
  std::atomic<std::uint64_t> cycle_{0};
  // The process callback's run times: the process thread times, any thread reads or resets.
  CallbackTimer processTimer_;

  // Written by JACK's threads, read by the delivery thread and the UI thread.
  std::atomic<bool> gone_{false};
  std::atomic<pid_t> notifier_{0};    // libjack's notification thread, as its callbacks found it
  std::atomic<int> checkRounds_{0};   // ports went away: look for lost devices this many times
  std::atomic<bool> changed_{false};  // a port came, went or was renamed since the last raise
  std::atomic<int> linkLooks_{
      0};  // a link came or went: look for links from outside this many times
  std::atomic<std::uint64_t> xruns_{0};
  // Written by the process thread and the UI thread.
  std::atomic<std::uint64_t> refused_{0};

  // Guards the ports-changed callback, and is held while it runs.
  std::mutex callbackMutex_;
  std::function<void()> portsChanged_;

  // Posted by the process and notification threads (sem_post never blocks).
  sem_t wake_{};
  // Input handed over on the caller's thread: four descriptors made once under mutex_ before
  // `callerDelivers_` is set and closed by the destructor. Between two of the caller's passes
  // the process thread wakes it once: by `arrivedEvent_` for input to hand over now, or, for
  // input that waits for its moment, by setting `arrivalTimer_` to that moment (then still by
  // `arrivedEvent_` if input to hand over now follows). `inputRung_` says which was done; the
  // caller clears it, reads what is ready and sets `dueTimer_` for input that still waits. So a
  // message that waits for its moment wakes the caller once, at that moment. The caller waits
  // on `inputReady_`, which watches all three.
  int inputReady_ = -1;
  int arrivedEvent_ = -1;
  int arrivalTimer_ = -1;
  int dueTimer_ = -1;
  // The moment `dueTimer_` is set for (0: not set): the caller's thread, under mutex_.
  jack_time_t armedFor_ = 0;
  std::atomic<bool> callerDelivers_{false};
  enum Rung : int { kNotRung, kTimerSet, kEventRung };
  std::atomic<int> inputRung_{kNotRung};
  std::atomic<bool> stopping_{false};  // written by the destructor
  std::thread delivery_;               // started in the constructor, joined in the destructor
};

}  // namespace velmora::platform::midi
