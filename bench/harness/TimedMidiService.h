#pragma once

// A MIDI service that passes every call to another one and tells the harness, with the time,
// when an input callback starts (before the component's callback sees the message) and when a
// short message is sent to an output: the two ends that the latency figures are measured at.
// Short messages sent to an output end here: the simulation records every message it is given,
// which over millions of messages would be most of the harness's memory.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/midi/MidiService.h"

namespace velmora::bench {

class TimedMidiService final : public platform::midi::MidiService {
 public:
  using Clock = std::chrono::steady_clock;
  // Set before any device opens, read-only afterwards. onInput runs on the driver thread,
  // onOutput on the thread that sends (the UI thread).
  std::function<void(std::uint32_t packed, Clock::time_point at)> onInput;
  std::function<void(std::uint32_t packed, Clock::time_point at)> onOutput;

  explicit TimedMidiService(std::shared_ptr<platform::midi::MidiService> inner)
      : inner_(std::move(inner)) {}

  std::uint32_t midiInGetNumDevs() override { return inner_->midiInGetNumDevs(); }
  platform::midi::MMRESULT midiInGetDevCapsA(std::uintptr_t id, platform::midi::MIDIINCAPSA* caps,
                                             std::uint32_t size) override {
    return inner_->midiInGetDevCapsA(id, caps, size);
  }
  platform::midi::MMRESULT midiInOpen(platform::midi::HMIDIIN* handle, std::uint32_t id,
                                      platform::midi::MidiCallback callback,
                                      std::uintptr_t instance, std::uint32_t flags) override;
  platform::midi::MMRESULT midiInPrepareHeader(platform::midi::HMIDIIN h,
                                               platform::midi::MIDIHDR* header,
                                               std::uint32_t size) override {
    return inner_->midiInPrepareHeader(h, header, size);
  }
  platform::midi::MMRESULT midiInUnprepareHeader(platform::midi::HMIDIIN h,
                                                 platform::midi::MIDIHDR* header,
                                                 std::uint32_t size) override {
    return inner_->midiInUnprepareHeader(h, header, size);
  }
  platform::midi::MMRESULT midiInAddBuffer(platform::midi::HMIDIIN h,
                                           platform::midi::MIDIHDR* header,
                                           std::uint32_t size) override {
    return inner_->midiInAddBuffer(h, header, size);
  }
  platform::midi::MMRESULT midiInStart(platform::midi::HMIDIIN h) override {
    return inner_->midiInStart(h);
  }
  platform::midi::MMRESULT midiInStop(platform::midi::HMIDIIN h) override {
    return inner_->midiInStop(h);
  }
  platform::midi::MMRESULT midiInReset(platform::midi::HMIDIIN h) override {
    return inner_->midiInReset(h);
  }
  platform::midi::MMRESULT midiInClose(platform::midi::HMIDIIN h) override {
    return inner_->midiInClose(h);
  }
  platform::midi::MMRESULT midiInGetErrorTextA(platform::midi::MMRESULT code, char* text,
                                               std::uint32_t size) override {
    return inner_->midiInGetErrorTextA(code, text, size);
  }

  std::uint32_t midiOutGetNumDevs() override { return inner_->midiOutGetNumDevs(); }
  platform::midi::MMRESULT midiOutGetDevCapsA(std::intptr_t id, platform::midi::MIDIOUTCAPSA* caps,
                                              std::uint32_t size) override {
    return inner_->midiOutGetDevCapsA(id, caps, size);
  }
  platform::midi::MMRESULT midiOutOpen(platform::midi::HMIDIOUT* handle, std::intptr_t id,
                                       platform::midi::MidiCallback callback,
                                       std::uintptr_t instance, std::uint32_t flags) override {
    return inner_->midiOutOpen(handle, id, callback, instance, flags);
  }
  platform::midi::MMRESULT midiOutShortMsg(platform::midi::HMIDIOUT h,
                                           std::uint32_t packed) override {
    if (onOutput) onOutput(packed, Clock::now());
    return h ? platform::midi::MMSYSERR_NOERROR : platform::midi::MMSYSERR_INVALHANDLE;
  }
  platform::midi::MMRESULT midiOutPrepareHeader(platform::midi::HMIDIOUT h,
                                                platform::midi::MIDIHDR* header,
                                                std::uint32_t size) override {
    return inner_->midiOutPrepareHeader(h, header, size);
  }
  platform::midi::MMRESULT midiOutUnprepareHeader(platform::midi::HMIDIOUT h,
                                                  platform::midi::MIDIHDR* header,
                                                  std::uint32_t size) override {
    return inner_->midiOutUnprepareHeader(h, header, size);
  }
  platform::midi::MMRESULT midiOutLongMsg(platform::midi::HMIDIOUT h,
                                          platform::midi::MIDIHDR* header,
                                          std::uint32_t size) override {
    return inner_->midiOutLongMsg(h, header, size);
  }
  platform::midi::MMRESULT midiOutReset(platform::midi::HMIDIOUT h) override {
    return inner_->midiOutReset(h);
  }
  platform::midi::MMRESULT midiOutClose(platform::midi::HMIDIOUT h) override {
    return inner_->midiOutClose(h);
  }
  platform::midi::MMRESULT midiOutGetErrorTextA(platform::midi::MMRESULT code, char* text,
                                                std::uint32_t size) override {
    return inner_->midiOutGetErrorTextA(code, text, size);
  }

 private:
  // What an input open asked for; the driver calls Relay with it as instance.
  struct Opened {
    TimedMidiService* self;
    platform::midi::MidiCallback callback;
    std::uintptr_t instance;
  };
  static void Relay(void* handle, std::uint32_t message, std::uintptr_t instance,
                    std::uintptr_t param1, std::uintptr_t param2);

  std::shared_ptr<platform::midi::MidiService> inner_;
  std::mutex mutex_;           // guards opened_ (the UI thread adds, nobody removes)
  std::deque<Opened> opened_;  // stable addresses for the whole run
};

}  // namespace velmora::bench
