#include "platform/midi/Endpoints.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace velmora::platform::midi {

namespace {

MMRESULT CheckHeader(const MIDIHDR* header, std::uint32_t size) {
  if (header == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  if (header->lpData == nullptr || header->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
  return MMSYSERR_NOERROR;
}

std::uint32_t Pack(const std::uint8_t* bytes, std::size_t count) {
  std::uint32_t packed = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(count, 3); ++i) {
    packed |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
  }
  return packed;
}

}  // namespace

void CopyName(const std::string& name, char (&target)[MAXPNAMELEN]) {
  std::snprintf(target, MAXPNAMELEN, "%s", name.c_str());
}

void FillInputCaps(const std::string& name, std::uint16_t productId, std::uint32_t driverVersion,
                   MIDIINCAPSA& caps) {
  caps = MIDIINCAPSA{};
  caps.wMid = 0xFFFF;
  caps.wPid = productId;
  caps.vDriverVersion = driverVersion;
  CopyName(name, caps.szPname);
}

void FillOutputCaps(const std::string& name, bool mapper, std::uint16_t productId,
                    std::uint32_t driverVersion, MIDIOUTCAPSA& caps) {
  caps = MIDIOUTCAPSA{};
  caps.wMid = 0xFFFF;
  caps.wPid = mapper ? 0 : productId;
  caps.vDriverVersion = driverVersion;
  CopyName(mapper ? std::string(kMapperName) : name, caps.szPname);
  caps.wTechnology = mapper ? MOD_MAPPER : MOD_MIDIPORT;
  caps.wChannelMask = 0xFFFF;
}

// ---- InputEndpoint ------------------------------------------------------------------------

MMRESULT InputEndpoint::Prepare(MIDIHDR* header, std::uint32_t size) {
  if (auto result = CheckHeader(header, size)) return result;
  std::lock_guard lock(mutex_);
  header->dwFlags |= MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT InputEndpoint::Unprepare(MIDIHDR* header, std::uint32_t size) {
  if (auto result = CheckHeader(header, size)) return result;
  std::lock_guard lock(mutex_);
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags &= ~MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT InputEndpoint::AddBuffer(MIDIHDR* header, std::uint32_t size) {
  if (auto result = CheckHeader(header, size)) return result;
  std::lock_guard lock(mutex_);
  if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags = (header->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
  header->dwBytesRecorded = 0;
  queue_.push_back(header);
  if (lent_ > 0) --lent_;
  FlushLocked();
  return MMSYSERR_NOERROR;
}

MMRESULT InputEndpoint::Start() {
  std::lock_guard lock(mutex_);
  if (lost_) return MIDIERR_NODEVICE;
  if (!started_) startTime_ = std::chrono::steady_clock::now();
  started_ = true;
  FlushLocked();
  return MMSYSERR_NOERROR;
}

MMRESULT InputEndpoint::Stop() {
  std::lock_guard lock(mutex_);
  started_ = false;
  // A part-filled buffer goes back as it is; the empty ones stay queued.
  if (!queue_.empty() && queue_.front()->dwBytesRecorded > 0) ReturnBufferLocked(MIM_LONGDATA);
  inSysex_ = arriving_ = droppingSysex_ = false;
  // Input stopped by its user: what waited goes with it, as what was still in flight would.
  waiting_.clear();
  waitingTaken_ = waitingBytes_ = 0;
  return MMSYSERR_NOERROR;
}

MMRESULT InputEndpoint::Reset() {
  std::lock_guard lock(mutex_);
  started_ = false;
  inSysex_ = arriving_ = droppingSysex_ = false;
  waiting_.clear();
  waitingTaken_ = waitingBytes_ = 0;
  while (!queue_.empty()) ReturnBufferLocked(MIM_LONGDATA);
  return MMSYSERR_NOERROR;
}

MMRESULT InputEndpoint::Close() {
  std::lock_guard lock(mutex_);
  if (!queue_.empty()) return MIDIERR_STILLPLAYING;
  closed_ = true;
  started_ = false;
  return MMSYSERR_NOERROR;
}

void InputEndpoint::Lost(bool cut) {
  std::lock_guard lock(mutex_);
  if (closed_ || lost_) return;
  lost_ = true;
  started_ = false;
  callback_(this, MM_DEVICELOST, instance_, cut ? kLinkCut : 0, 0);
}

void InputEndpoint::Deliver(const std::uint8_t* bytes, std::size_t count) {
  if (count == 0) return;
  std::lock_guard lock(mutex_);
  if (closed_ || !started_) return;
  const std::uint8_t status = bytes[0];
  // Real-time bytes may come in the middle of a system-exclusive message: they stay apart, and
  // pass what waits.
  if (status >= 0xF8) {
    if (count != 1) return RefuseLocked(bytes, count);
    callback_(this, MIM_DATA, instance_, status, TimestampLocked());
    return;
  }
  const bool sysexPart = status == 0xF0 || (arriving_ && (status < 0x80 || status == 0xF7));
  if (!sysexPart) {
    arriving_ = droppingSysex_ = false;
    if (count != ShortMessageLength(status)) return RefuseLocked(bytes, count);
  } else {
    if (status == 0xF0) droppingSysex_ = false;
    arriving_ = bytes[count - 1] != 0xF7;
    if (droppingSysex_) return;  // counted with the part that was lost
  }
  std::size_t taken = 0;
  if (waiting_.empty()) {
    taken = PassLocked(bytes, count);
    if (taken == count) return;
  }
  const std::size_t rest = count - taken;
  if (waitingBytes_ + rest > kWaitLimit) {
    droppingSysex_ = sysexPart && arriving_;
    callback_(this, MIM_OVERFLOW, instance_, 1, TimestampLocked());
    return;
  }
  waiting_.emplace_back(bytes + taken, bytes + count);
  waitingBytes_ += rest;
}

void InputEndpoint::Overflowed(std::uint64_t count) {
  std::lock_guard lock(mutex_);
  if (closed_ || !started_ || count == 0) return;
  callback_(this, MIM_OVERFLOW, instance_, static_cast<std::uintptr_t>(count), TimestampLocked());
}

void InputEndpoint::RefuseLocked(const std::uint8_t* bytes, std::size_t count) {
  callback_(this, MIM_ERROR, instance_, Pack(bytes, count), TimestampLocked());
}

void InputEndpoint::FlushLocked() {
  while (started_ && !closed_ && !waiting_.empty()) {
    const std::vector<std::uint8_t>& message = waiting_.front();
    const std::size_t left = message.size() - waitingTaken_;
    const std::size_t taken = PassLocked(message.data() + waitingTaken_, left);
    waitingTaken_ += taken;
    if (taken < left) return;
    waitingBytes_ -= message.size();
    waitingTaken_ = 0;
    waiting_.pop_front();
  }
}

std::size_t InputEndpoint::PassLocked(const std::uint8_t* bytes, std::size_t count) {
  const std::uint8_t status = bytes[0];
  if (inSysex_ && status >= 0x80 && status != 0xF7) {
    // The message ended without its 0xF7: what it recorded goes back marked as an error.
    if (!queue_.empty() && queue_.front()->dwBytesRecorded > 0) ReturnBufferLocked(MIM_LONGERROR);
    inSysex_ = false;
  }
  if (status != 0xF0 && !inSysex_) {
    callback_(this, MIM_DATA, instance_, Pack(bytes, count), TimestampLocked());
    return count;
  }
  inSysex_ = bytes[count - 1] != 0xF7;
  std::size_t done = 0;
  while (done < count) {
    if (queue_.empty()) {
      // Without buffers to come back (the user gave none) the platform has nowhere to put it.
      if (lent_ == 0) return count;
      // The rest waits for a buffer; the message is not over before it has gone.
      inSysex_ = true;
      return done;
    }
    MIDIHDR* header = queue_.front();
    const std::size_t room = header->dwBufferLength - header->dwBytesRecorded;
    const std::size_t part = std::min(room, count - done);
    std::memcpy(header->lpData + header->dwBytesRecorded, bytes + done, part);
    header->dwBytesRecorded += static_cast<std::uint32_t>(part);
    done += part;
    if (header->dwBytesRecorded == header->dwBufferLength ||
        (done == count && bytes[count - 1] == 0xF7)) {
      ReturnBufferLocked(MIM_LONGDATA);
    }
  }
  return done;
}

std::uint32_t InputEndpoint::TimestampLocked() const {
  const auto elapsed = std::chrono::steady_clock::now() - startTime_;
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void InputEndpoint::ReturnBufferLocked(std::uint32_t message) {
  MIDIHDR* header = queue_.front();
  queue_.pop_front();
  ++lent_;
  header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
  if (!closed_) {
    callback_(this, message, instance_, reinterpret_cast<std::uintptr_t>(header),
              TimestampLocked());
  }
}

// ---- OutputEndpoint -----------------------------------------------------------------------

MMRESULT OutputEndpoint::Prepare(MIDIHDR* header, std::uint32_t size) {
  if (auto result = CheckHeader(header, size)) return result;
  std::lock_guard lock(mutex_);
  header->dwFlags |= MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT OutputEndpoint::Unprepare(MIDIHDR* header, std::uint32_t size) {
  if (auto result = CheckHeader(header, size)) return result;
  std::lock_guard lock(mutex_);
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags &= ~MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT OutputEndpoint::BeginLong(MIDIHDR* header, std::uint32_t size) {
  if (auto result = CheckHeader(header, size)) return result;
  std::lock_guard lock(mutex_);
  if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags = (header->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
  ++inPlay_;
  return MMSYSERR_NOERROR;
}

void OutputEndpoint::CompleteLong(MIDIHDR* header) {
  std::lock_guard lock(mutex_);
  header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
  --inPlay_;
  if (!closed_) callback_(this, MOM_DONE, instance_, reinterpret_cast<std::uintptr_t>(header), 0);
}

void OutputEndpoint::AbortLong(MIDIHDR* header) {
  std::lock_guard lock(mutex_);
  header->dwFlags &= ~MHDR_INQUEUE;
  --inPlay_;
}

void OutputEndpoint::Lost(bool cut) {
  std::lock_guard lock(mutex_);
  if (closed_ || lost_) return;
  lost_ = true;
  callback_(this, MM_DEVICELOST, instance_, cut ? kLinkCut : 0, 0);
}

MMRESULT OutputEndpoint::Close() {
  std::lock_guard lock(mutex_);
  if (inPlay_ > 0) return MIDIERR_STILLPLAYING;
  closed_ = true;
  return MMSYSERR_NOERROR;
}

}  // namespace velmora::platform::midi
