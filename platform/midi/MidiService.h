#pragma once

// The platform's MIDI service: the calls of the multimedia MIDI interface, with the same
// effects, over whichever back end stands behind them (RtMidi, WinMM, or a simulation).
//
// Every call returns a result code, 0 on success. Notifications reach the callback given at
// open, on a thread of the service (the driver thread), never while a call that the user made
// on that handle is waiting for the same thread to finish.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/midi/OutsideLink.h"
#include "platform/midi/ProcessTimes.h"

namespace velmora::platform::midi {

using MMRESULT = std::uint32_t;

inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MIDIERR_UNPREPARED = 64;
inline constexpr MMRESULT MIDIERR_STILLPLAYING = 65;
inline constexpr MMRESULT MIDIERR_NOTREADY = 67;
inline constexpr MMRESULT MIDIERR_NODEVICE = 68;
// Our own: the back end would lose the message (too long for its transport).
inline constexpr MMRESULT MIDIERR_TOOLONG = 72;

// The text of a result code, as the service's *GetErrorText calls give it; empty for a code
// without text.
std::string ResultText(MMRESULT code);

inline constexpr std::uint32_t MIM_OPEN = 0x3C1;
inline constexpr std::uint32_t MIM_CLOSE = 0x3C2;
inline constexpr std::uint32_t MIM_DATA = 0x3C3;
inline constexpr std::uint32_t MIM_LONGDATA = 0x3C4;
inline constexpr std::uint32_t MIM_ERROR = 0x3C5;
inline constexpr std::uint32_t MIM_LONGERROR = 0x3C6;
inline constexpr std::uint32_t MOM_OPEN = 0x3C7;
inline constexpr std::uint32_t MOM_CLOSE = 0x3C8;
inline constexpr std::uint32_t MOM_DONE = 0x3C9;
inline constexpr std::uint32_t MIM_MOREDATA = 0x3CC;
// Our own: the device of an open handle has gone away (param1 0), or is still there but the
// link to it was cut from outside (param1 kLinkCut); param2 0. The handle stays valid until
// it is closed; nothing more arrives on it.
inline constexpr std::uint32_t MM_DEVICELOST = 0x3CF;
inline constexpr std::uintptr_t kLinkCut = 1;
// Our own: param1 input messages were lost for want of room where they wait for a buffer.
inline constexpr std::uint32_t MIM_OVERFLOW = 0x3D0;

inline constexpr std::uint32_t CALLBACK_FUNCTION = 0x30000;
// The longest long message the interface carries: its length is counted in 16 bits.
inline constexpr std::size_t kLargestEvent = 0xFFFF;
inline constexpr std::int32_t MIDI_MAPPER = -1;
inline constexpr std::uint32_t MAXERRORLENGTH = 128;
inline constexpr std::size_t MAXPNAMELEN = 128;  // room for JACK's "client:port" names

inline constexpr std::uint32_t MHDR_DONE = 0x1;
inline constexpr std::uint32_t MHDR_PREPARED = 0x2;
inline constexpr std::uint32_t MHDR_INQUEUE = 0x4;

inline constexpr std::uint16_t MOD_MIDIPORT = 1;
inline constexpr std::uint16_t MOD_MAPPER = 5;

// A long-message header. The service reads and writes it on the driver thread from the moment
// it is added or sent until it comes back through the callback.
// WinMM lays its records out byte-packed (112 bytes on Win64): the pass-through needs the same.
#ifdef _WIN32
#pragma pack(push, 1)
#endif
struct MIDIHDR {
  char* lpData = nullptr;
  std::uint32_t dwBufferLength = 0;
  std::uint32_t dwBytesRecorded = 0;
  std::uintptr_t dwUser = 0;
  std::uint32_t dwFlags = 0;
  MIDIHDR* lpNext = nullptr;
  std::uintptr_t reserved = 0;
  std::uint32_t dwOffset = 0;
  std::uintptr_t dwReserved[8] = {};  // the platform's own layout, for the WinMM pass-through
};
#ifdef _WIN32
#pragma pack(pop)
#endif

struct MIDIINCAPSA {
  std::uint16_t wMid = 0;
  std::uint16_t wPid = 0;
  std::uint32_t vDriverVersion = 0;
  char szPname[MAXPNAMELEN] = {};
  std::uint32_t dwSupport = 0;
};

struct MIDIOUTCAPSA {
  std::uint16_t wMid = 0;
  std::uint16_t wPid = 0;
  std::uint32_t vDriverVersion = 0;
  char szPname[MAXPNAMELEN] = {};
  std::uint16_t wTechnology = 0;
  std::uint16_t wVoices = 0;
  std::uint16_t wNotes = 0;
  std::uint16_t wChannelMask = 0;
  std::uint32_t dwSupport = 0;
};

// Open devices. Each back end derives its own; users only pass them back.
class MidiInHandle {
 public:
  virtual ~MidiInHandle() = default;
};
class MidiOutHandle {
 public:
  virtual ~MidiOutHandle() = default;
};
using HMIDIIN = MidiInHandle*;
using HMIDIOUT = MidiOutHandle*;

// Called on the driver thread: (handle, message, instance, param1, param2). Must not block.
using MidiCallback = void (*)(void* handle, std::uint32_t message, std::uintptr_t instance,
                              std::uintptr_t param1, std::uintptr_t param2);

class MidiService {
 public:
  virtual ~MidiService() = default;

  virtual std::uint32_t midiInGetNumDevs() = 0;
  virtual MMRESULT midiInGetDevCapsA(std::uintptr_t id, MIDIINCAPSA* caps, std::uint32_t size) = 0;
  virtual MMRESULT midiInOpen(HMIDIIN* handle, std::uint32_t id, MidiCallback callback,
                              std::uintptr_t instance, std::uint32_t flags) = 0;
  virtual MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) = 0;
  virtual MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) = 0;
  virtual MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) = 0;
  virtual MMRESULT midiInStart(HMIDIIN handle) = 0;
  virtual MMRESULT midiInStop(HMIDIIN handle) = 0;
  // Returns every queued buffer through the callback before it returns.
  virtual MMRESULT midiInReset(HMIDIIN handle) = 0;
  // No notification after it returns; refused while buffers are queued.
  virtual MMRESULT midiInClose(HMIDIIN handle) = 0;
  virtual MMRESULT midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) = 0;

  virtual std::uint32_t midiOutGetNumDevs() = 0;
  // id -1 (MIDI_MAPPER) is the mapper, present whenever an output is.
  virtual MMRESULT midiOutGetDevCapsA(std::intptr_t id, MIDIOUTCAPSA* caps, std::uint32_t size) = 0;
  virtual MMRESULT midiOutOpen(HMIDIOUT* handle, std::intptr_t id, MidiCallback callback,
                               std::uintptr_t instance, std::uint32_t flags) = 0;
  virtual MMRESULT midiOutShortMsg(HMIDIOUT handle, std::uint32_t packed) = 0;
  virtual MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) = 0;
  virtual MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) = 0;
  // Accepts the block; MOM_DONE follows through the callback once it is sent.
  virtual MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) = 0;
  // Ends every long message in play (each comes back with MOM_DONE).
  virtual MMRESULT midiOutReset(HMIDIOUT handle) = 0;
  // Refused while a long message plays.
  virtual MMRESULT midiOutClose(HMIDIOUT handle) = 0;
  virtual MMRESULT midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) = 0;

  // Our own: `callback` runs on a thread of the service whenever the set of ports may have
  // changed (a port came, went or was renamed; the server went away or came back). It must not
  // block: it posts to whoever re-reads the lists. An empty function removes it. A back end
  // that cannot tell keeps the default, and its lists are read only when asked.
  virtual void SetPortsChangedCallback(std::function<void()> callback) { (void)callback; }
  // Our own, any thread: the run times of the back end's real-time callback; none for a back
  // end without a callback of its own on a real-time thread (RtMidi, WinMM, the simulation).
  virtual std::optional<ProcessTimes> ProcessCallbackTimes() const { return std::nullopt; }
  // Our own, UI thread: from now on, input is handed to the callbacks on the caller's thread
  // rather than on one of the service's: the returned descriptor becomes readable whenever input
  // waits, and the caller then calls DeliverInput. A back end without a thread to spare keeps
  // the default, -1, and delivers as before.
  virtual int CallerDeliversInput() { return -1; }
  // Our own, UI thread: the service in use as --list and the log name it ("JACK (PipeWire
  // 0.3.65)"); empty for one that has no name worth telling.
  virtual std::string Name() { return {}; }
  // Our own, UI thread: links that another program made to the ports of open devices since the
  // last call, each once ("from" and "to" by full port name). Ports-changed is raised for them.
  using OutsideLink = midi::OutsideLink;
  virtual std::vector<OutsideLink> TakeOutsideLinks() { return {}; }
  virtual void DeliverInput() {}
  // Our own, any thread: on a service that moves events in cycles (JACK), whether each event
  // keeps its place in time, a cycle later, rather than going at once. Services without cycles
  // forward at once either way.
  virtual void SetExactTiming(bool exact) { (void)exact; }
  // Whether events keep their place in time now (see SetExactTiming): empty for a service
  // without cycles, or one whose cycles do not tell their times.
  virtual std::optional<bool> ExactTimingInForce() { return std::nullopt; }
  // Our own: the longest message, in bytes, that the open output `handle` takes as one event
  // (a system exclusive longer than this would reach it cut in parts).
  virtual std::size_t LargestOutputEvent(HMIDIOUT handle) const {
    (void)handle;
    return kLargestEvent;
  }
};

// The platform's own service: WinMM on Windows, RtMidi where it was found, else a simulated
// service without devices. `jackClientName` names its JACK client where it uses JACK.
std::shared_ptr<MidiService> MakeDefaultMidiService(const std::string& jackClientName = "velmora");

// Copies `text` into a caller's buffer of `size` bytes: the *GetErrorTextA contract.
MMRESULT CopyErrorText(const std::string& text, char* buffer, std::uint32_t size);

// The number of bytes that a short message with this status byte carries (1 to 3); 0 for a
// byte that does not start a short message (a data byte, 0xF0, 0xF7).
std::size_t ShortMessageLength(std::uint8_t status);

}  // namespace velmora::platform::midi
