#include "platform/midi/WinMmMidiService.h"

// windows.h first: mmsystem.h needs its types.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <algorithm>
#include <cstddef>
#include <cstdio>

namespace velmora::platform::midi {

static_assert(sizeof(MIDIHDR) == sizeof(::MIDIHDR), "our MIDIHDR is the platform's");
static_assert(offsetof(MIDIHDR, dwUser) == offsetof(::MIDIHDR, dwUser));
static_assert(offsetof(MIDIHDR, dwFlags) == offsetof(::MIDIHDR, dwFlags));
static_assert(offsetof(MIDIHDR, dwOffset) == offsetof(::MIDIHDR, dwOffset));

namespace {
::LPMIDIHDR Native(MIDIHDR* header) {
  return reinterpret_cast<::LPMIDIHDR>(header);
}
UINT NativeSize(std::uint32_t size) {
  return size == sizeof(MIDIHDR) ? static_cast<UINT>(sizeof(::MIDIHDR)) : static_cast<UINT>(size);
}
}  // namespace

// An open device: the platform's handle, and the user's callback that WinMM's own callback
// forwards to, on WinMM's thread.
class WinMmMidiService::In final : public MidiInHandle {
 public:
  ::HMIDIIN native = nullptr;
  MidiCallback callback = nullptr;
  std::uintptr_t instance = 0;
  static void CALLBACK Forward(::HMIDIIN, UINT message, DWORD_PTR self, DWORD_PTR p1,
                               DWORD_PTR p2) {
    auto* in = reinterpret_cast<In*>(self);
    in->callback(in, message, in->instance, p1, p2);
  }
};

class WinMmMidiService::Out final : public MidiOutHandle {
 public:
  ::HMIDIOUT native = nullptr;
  MidiCallback callback = nullptr;
  std::uintptr_t instance = 0;
  static void CALLBACK Forward(::HMIDIOUT, UINT message, DWORD_PTR self, DWORD_PTR p1,
                               DWORD_PTR p2) {
    auto* out = reinterpret_cast<Out*>(self);
    out->callback(out, message, out->instance, p1, p2);
  }
};

WinMmMidiService::WinMmMidiService() = default;
WinMmMidiService::~WinMmMidiService() = default;

WinMmMidiService::In* WinMmMidiService::FindIn(HMIDIIN handle) const {
  std::lock_guard lock(mutex_);
  for (const auto& in : inputs_) {
    if (in.get() == handle) return in.get();
  }
  return nullptr;
}

WinMmMidiService::Out* WinMmMidiService::FindOut(HMIDIOUT handle) const {
  std::lock_guard lock(mutex_);
  for (const auto& out : outputs_) {
    if (out.get() == handle) return out.get();
  }
  return nullptr;
}

std::uint32_t WinMmMidiService::midiInGetNumDevs() {
  return ::midiInGetNumDevs();
}

MMRESULT WinMmMidiService::midiInGetDevCapsA(std::uintptr_t id, MIDIINCAPSA* caps,
                                             std::uint32_t size) {
  if (caps == nullptr || size < sizeof(MIDIINCAPSA)) return MMSYSERR_INVALPARAM;
  ::MIDIINCAPSA native{};
  const MMRESULT result = ::midiInGetDevCapsA(id, &native, sizeof native);
  if (result != MMSYSERR_NOERROR) return result;
  *caps = MIDIINCAPSA{};
  caps->wMid = native.wMid;
  caps->wPid = native.wPid;
  caps->vDriverVersion = native.vDriverVersion;
  std::snprintf(caps->szPname, sizeof caps->szPname, "%.*s",
                static_cast<int>(sizeof native.szPname), native.szPname);
  caps->dwSupport = native.dwSupport;
  return MMSYSERR_NOERROR;
}

MMRESULT WinMmMidiService::midiInOpen(HMIDIIN* handle, std::uint32_t id, MidiCallback callback,
                                      std::uintptr_t instance, std::uint32_t flags) {
  if (handle == nullptr || callback == nullptr) return MMSYSERR_INVALPARAM;
  auto in = std::make_unique<In>();
  in->callback = callback;
  in->instance = instance;
  const MMRESULT result = ::midiInOpen(&in->native, id, reinterpret_cast<DWORD_PTR>(&In::Forward),
                                       reinterpret_cast<DWORD_PTR>(in.get()), flags);
  if (result != MMSYSERR_NOERROR) return result;
  std::lock_guard lock(mutex_);
  inputs_.push_back(std::move(in));
  *handle = inputs_.back().get();
  return MMSYSERR_NOERROR;
}

MMRESULT WinMmMidiService::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header,
                                               std::uint32_t size) {
  auto* in = FindIn(handle);
  return in ? ::midiInPrepareHeader(in->native, Native(header), NativeSize(size))
            : MMSYSERR_INVALHANDLE;
}

MMRESULT WinMmMidiService::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header,
                                                 std::uint32_t size) {
  auto* in = FindIn(handle);
  return in ? ::midiInUnprepareHeader(in->native, Native(header), NativeSize(size))
            : MMSYSERR_INVALHANDLE;
}

MMRESULT WinMmMidiService::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  auto* in = FindIn(handle);
  return in ? ::midiInAddBuffer(in->native, Native(header), NativeSize(size))
            : MMSYSERR_INVALHANDLE;
}

MMRESULT WinMmMidiService::midiInStart(HMIDIIN handle) {
  auto* in = FindIn(handle);
  return in ? ::midiInStart(in->native) : MMSYSERR_INVALHANDLE;
}

MMRESULT WinMmMidiService::midiInStop(HMIDIIN handle) {
  auto* in = FindIn(handle);
  return in ? ::midiInStop(in->native) : MMSYSERR_INVALHANDLE;
}

MMRESULT WinMmMidiService::midiInReset(HMIDIIN handle) {
  auto* in = FindIn(handle);
  return in ? ::midiInReset(in->native) : MMSYSERR_INVALHANDLE;
}

MMRESULT WinMmMidiService::midiInClose(HMIDIIN handle) {
  auto* in = FindIn(handle);
  if (in == nullptr) return MMSYSERR_INVALHANDLE;
  const MMRESULT result = ::midiInClose(in->native);
  if (result != MMSYSERR_NOERROR) return result;
  std::lock_guard lock(mutex_);
  std::erase_if(inputs_, [&](const auto& i) { return i.get() == in; });
  return MMSYSERR_NOERROR;
}

MMRESULT WinMmMidiService::midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  return ::midiInGetErrorTextA(code, text, size);
}

std::uint32_t WinMmMidiService::midiOutGetNumDevs() {
  return ::midiOutGetNumDevs();
}

MMRESULT WinMmMidiService::midiOutGetDevCapsA(std::intptr_t id, MIDIOUTCAPSA* caps,
                                              std::uint32_t size) {
  if (caps == nullptr || size < sizeof(MIDIOUTCAPSA)) return MMSYSERR_INVALPARAM;
  ::MIDIOUTCAPSA native{};
  const MMRESULT result = ::midiOutGetDevCapsA(static_cast<UINT_PTR>(id), &native, sizeof native);
  if (result != MMSYSERR_NOERROR) return result;
  *caps = MIDIOUTCAPSA{};
  caps->wMid = native.wMid;
  caps->wPid = native.wPid;
  caps->vDriverVersion = native.vDriverVersion;
  std::snprintf(caps->szPname, sizeof caps->szPname, "%.*s",
                static_cast<int>(sizeof native.szPname), native.szPname);
  caps->wTechnology = native.wTechnology;
  caps->wVoices = native.wVoices;
  caps->wNotes = native.wNotes;
  caps->wChannelMask = native.wChannelMask;
  caps->dwSupport = native.dwSupport;
  return MMSYSERR_NOERROR;
}

MMRESULT WinMmMidiService::midiOutOpen(HMIDIOUT* handle, std::intptr_t id, MidiCallback callback,
                                       std::uintptr_t instance, std::uint32_t flags) {
  if (handle == nullptr || callback == nullptr) return MMSYSERR_INVALPARAM;
  auto out = std::make_unique<Out>();
  out->callback = callback;
  out->instance = instance;
  const MMRESULT result =
      ::midiOutOpen(&out->native, static_cast<UINT>(id), reinterpret_cast<DWORD_PTR>(&Out::Forward),
                    reinterpret_cast<DWORD_PTR>(out.get()), flags);
  if (result != MMSYSERR_NOERROR) return result;
  std::lock_guard lock(mutex_);
  outputs_.push_back(std::move(out));
  *handle = outputs_.back().get();
  return MMSYSERR_NOERROR;
}

MMRESULT WinMmMidiService::midiOutShortMsg(HMIDIOUT handle, std::uint32_t packed) {
  auto* out = FindOut(handle);
  return out ? ::midiOutShortMsg(out->native, packed) : MMSYSERR_INVALHANDLE;
}

MMRESULT WinMmMidiService::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                                std::uint32_t size) {
  auto* out = FindOut(handle);
  return out ? ::midiOutPrepareHeader(out->native, Native(header), NativeSize(size))
             : MMSYSERR_INVALHANDLE;
}

MMRESULT WinMmMidiService::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                                  std::uint32_t size) {
  auto* out = FindOut(handle);
  return out ? ::midiOutUnprepareHeader(out->native, Native(header), NativeSize(size))
             : MMSYSERR_INVALHANDLE;
}

MMRESULT WinMmMidiService::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) {
  auto* out = FindOut(handle);
  return out ? ::midiOutLongMsg(out->native, Native(header), NativeSize(size))
             : MMSYSERR_INVALHANDLE;
}

MMRESULT WinMmMidiService::midiOutReset(HMIDIOUT handle) {
  auto* out = FindOut(handle);
  return out ? ::midiOutReset(out->native) : MMSYSERR_INVALHANDLE;
}

MMRESULT WinMmMidiService::midiOutClose(HMIDIOUT handle) {
  auto* out = FindOut(handle);
  if (out == nullptr) return MMSYSERR_INVALHANDLE;
  const MMRESULT result = ::midiOutClose(out->native);
  if (result != MMSYSERR_NOERROR) return result;
  std::lock_guard lock(mutex_);
  std::erase_if(outputs_, [&](const auto& o) { return o.get() == out; });
  return MMSYSERR_NOERROR;
}

MMRESULT WinMmMidiService::midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  return ::midiOutGetErrorTextA(code, text, size);
}

}  // namespace velmora::platform::midi
