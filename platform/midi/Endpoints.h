#pragma once

// What every back end that is not a pass-through shares: the bookkeeping of an open input
// (its queue of system-exclusive buffers, start and stop, time stamps) and of an open output
// (prepared headers, long messages in play), and the calls into the user's callback.

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi/MidiService.h"

namespace velmora::platform::midi {

inline constexpr const char* kMapperName = "MIDI Mapper";

// What the back ends that list ports by name share for their capabilities and handles.
void CopyName(const std::string& name, char (&target)[MAXPNAMELEN]);
void FillInputCaps(const std::string& name, std::uint16_t productId, std::uint32_t driverVersion,
                   MIDIINCAPSA& caps);
// `mapper`: the pseudo-device that plays on the first output.
void FillOutputCaps(const std::string& name, bool mapper, std::uint16_t productId,
                    std::uint32_t driverVersion, MIDIOUTCAPSA& caps);
// The open endpoint behind `handle`, or null when it is not one of `open`.
template <typename Endpoint, typename Handle>
Endpoint* FindOpen(const std::vector<std::unique_ptr<Endpoint>>& open, Handle handle) {
  for (const auto& endpoint : open) {
    if (endpoint.get() == handle) return endpoint.get();
  }
  return nullptr;
}

class InputEndpoint : public MidiInHandle {
 public:
  InputEndpoint(MidiCallback callback, std::uintptr_t instance)
      : callback_(callback), instance_(instance) {}

  // UI thread.
  MMRESULT Prepare(MIDIHDR* header, std::uint32_t size);
  MMRESULT Unprepare(MIDIHDR* header, std::uint32_t size);
  MMRESULT AddBuffer(MIDIHDR* header, std::uint32_t size);
  MMRESULT Start();
  MMRESULT Stop();
  // Stops input and returns every queued buffer through the callback, on the calling thread.
  MMRESULT Reset();
  // Refused while buffers are queued; once it succeeds nothing more is delivered.
  MMRESULT Close();
  // The device went away, or its link was cut (`cut`): input stops and MM_DEVICELOST is called
  // back, once.
  void Lost(bool cut = false);

  // Driver thread: one message as the transport gave it. A message that starts with 0xF0, or
  // that follows a system-exclusive part without its 0xF7, fills the queued buffers; anything
  // else is a short message. Nothing is delivered unless started.
  //
  // What finds no buffer waits here, with what comes after it, until one is added back (real
  // time passes at once, as MIDI lets it anywhere): a burst never loses what the buffers could
  // not take at once. Beyond kWaitLimit bytes the message is lost and MIM_OVERFLOW tells it. A
  // short message without its data bytes (or with more), or a data byte outside a system
  // exclusive, is refused with MIM_ERROR: nothing is made up to fill it.
  void Deliver(const std::uint8_t* bytes, std::size_t count);
  // Driver thread: `count` messages were lost before they reached us (the transport's own
  // queue was full); told with MIM_OVERFLOW while started.
  void Overflowed(std::uint64_t count);

  static constexpr std::size_t kWaitLimit = 1u << 20;

 private:
  std::uint32_t TimestampLocked() const;
  void ReturnBufferLocked(std::uint32_t message);
  // Hands one message, or the rest of one, to the callback: the bytes taken, fewer than
  // `count` only when the buffers ran out in a system exclusive.
  std::size_t PassLocked(const std::uint8_t* bytes, std::size_t count);
  // Hands on what waits while buffers last.
  void FlushLocked();
  void RefuseLocked(const std::uint8_t* bytes, std::size_t count);

  const MidiCallback callback_;
  const std::uintptr_t instance_;
  // Guards every field below and is held while calling back, so that a reset or a close never
  // overlaps a delivery: after Close() returns, the callback is not running and never runs
  // again for this handle.
  std::mutex mutex_;
  bool started_ = false;
  bool closed_ = false;
  bool lost_ = false;
  bool inSysex_ = false;        // the sysex handed on continues in the next part passed
  bool arriving_ = false;       // the sysex that arrives continues in the next Deliver
  bool droppingSysex_ = false;  // a part of the arriving sysex was lost: the rest goes with it
  std::chrono::steady_clock::time_point startTime_{};
  std::deque<MIDIHDR*> queue_;  // added buffers; the front one is being filled
  std::size_t lent_ = 0;        // buffers handed back to the user and not added again yet
  // Messages waiting for a buffer, in order; `waitingTaken_` bytes of the front one are passed.
  std::deque<std::vector<std::uint8_t>> waiting_;
  std::size_t waitingTaken_ = 0;
  std::size_t waitingBytes_ = 0;
};

class OutputEndpoint : public MidiOutHandle {
 public:
  OutputEndpoint(MidiCallback callback, std::uintptr_t instance)
      : callback_(callback), instance_(instance) {}

  MMRESULT Prepare(MIDIHDR* header, std::uint32_t size);
  MMRESULT Unprepare(MIDIHDR* header, std::uint32_t size);
  // Checks a header for midiOutLongMsg and marks it in play.
  MMRESULT BeginLong(MIDIHDR* header, std::uint32_t size);
  // Marks a header done and calls back MOM_DONE (any thread, never under a lock of the caller).
  void CompleteLong(MIDIHDR* header);
  // Takes back a header that could not be sent: no MOM_DONE comes for it.
  void AbortLong(MIDIHDR* header);
  // Refused while a long message plays; once it succeeds the callback runs no more.
  MMRESULT Close();
  // The device went away, or its link was cut (`cut`): MM_DEVICELOST is called back, once.
  void Lost(bool cut = false);

 private:
  const MidiCallback callback_;
  const std::uintptr_t instance_;
  // Guards the two fields below and is held while calling back.
  std::mutex mutex_;
  int inPlay_ = 0;
  bool closed_ = false;
  bool lost_ = false;
};

}  // namespace velmora::platform::midi
