#include "core/PacedSerialOutput.h"

#include <algorithm>
#include <cstring>

namespace velmora::core {

// ---- ByteRing -------------------------------------------------------------------------------

bool PacedSerialOutput::ByteRing::Push(const std::uint8_t* bytes, std::size_t count,
                                       std::size_t most) {
  if (count == 0) return true;
  const std::size_t needed = size_ + count;
  if (needed > storage_.size()) {
    if (needed > most) return false;
    // Doubling keeps a growing backlog's copies few; the limit caps the block, not the bytes.
    std::vector<std::uint8_t> grown(std::min(
        std::max({needed, 2 * storage_.size(), std::size_t{256}}), std::max(most, needed)));
    for (std::size_t i = 0; i < size_; ++i) grown[i] = At(i);
    storage_.swap(grown);
    head_ = 0;
  }
  std::size_t tail = (head_ + size_) % storage_.size();
  for (std::size_t done = 0; done < count;) {
    const std::size_t part = std::min(count - done, storage_.size() - tail);
    std::memcpy(storage_.data() + tail, bytes + done, part);
    done += part;
    tail = (tail + part) % storage_.size();
  }
  size_ = needed;
  return true;
}

std::span<const std::uint8_t> PacedSerialOutput::ByteRing::Front() const {
  if (size_ == 0) return {};
  return {storage_.data() + head_, std::min(size_, storage_.size() - head_)};
}

void PacedSerialOutput::ByteRing::Pop(std::size_t count) {
  count = std::min(count, size_);
  size_ -= count;
  head_ = size_ == 0 ? 0 : (head_ + count) % storage_.size();
  if (size_ == 0 && storage_.size() > kKept) Clear();
}

void PacedSerialOutput::ByteRing::PopBack(std::size_t count) {
  size_ -= std::min(count, size_);
  if (size_ == 0) Pop(0);
}

void PacedSerialOutput::ByteRing::Replace(std::size_t at, std::size_t count,
                                          const std::uint8_t* bytes, std::size_t inserted) {
  std::vector<std::uint8_t> whole;
  whole.reserve(size_ - count + inserted);
  for (std::size_t i = 0; i < at; ++i) whole.push_back(At(i));
  whole.insert(whole.end(), bytes, bytes + inserted);
  for (std::size_t i = at + count; i < size_; ++i) whole.push_back(At(i));
  size_ = whole.size();
  head_ = 0;
  storage_ = std::move(whole);
  if (storage_.empty()) Clear();
}

void PacedSerialOutput::ByteRing::Clear() {
  size_ = 0;
  head_ = 0;
  if (storage_.size() > kKept) std::vector<std::uint8_t>().swap(storage_);
}

// ---- the line's pace ------------------------------------------------------------------------

void PacedSerialOutput::SetByteTime(std::chrono::nanoseconds perByte) {
  byteTime_ = std::max(perByte * (100 + kMarginPercent) / 100, std::chrono::nanoseconds{1});
}

std::chrono::nanoseconds PacedSerialOutput::ByteTime(std::int32_t baud, int bitsPerByte) {
  if (baud <= 0) baud = 1;
  return std::chrono::nanoseconds{static_cast<std::int64_t>(bitsPerByte) * 1'000'000'000 / baud};
}

PacedSerialOutput::Clock::time_point PacedSerialOutput::lineFrom(Clock::time_point now) const {
  // A dump that starts on an idle line goes no further ahead of it than kLead; one that waits
  // is owed the time a late look missed.
  const auto owed =
      scheduled_ ? Clock::duration{kCatchUp} : std::min<Clock::duration>(byteTime_, kCarry);
  return std::max(lineFree_, now - owed);
}

void PacedSerialOutput::Wrote(std::size_t count, Clock::time_point now) {
  if (count == 0) return;
  lineFree_ =
      std::min(lineFrom(now) + byteTime_ * static_cast<std::int64_t>(count), now + kModelled);
}

std::size_t PacedSerialOutput::paceAllows(Clock::time_point now) const {
  const auto room = now + kLead - lineFrom(now);
  if (room >= byteTime_) return static_cast<std::size_t>(room / byteTime_);
  // A line slower than the lead takes one byte whenever it is free.
  return lineFree_ <= now ? 1 : 0;
}

// ---- the lanes ------------------------------------------------------------------------------

std::size_t PacedSerialOutput::Memory() const {
  return realTime_.Capacity() + queue_.Capacity() + runs_.size() * sizeof(Run);
}

std::size_t PacedSerialOutput::roomFor(const ByteRing& ring, std::size_t runs) const {
  const std::size_t others = Memory() - ring.Capacity() + runs * sizeof(Run);
  return limit_ > others ? limit_ - others : 0;
}

bool PacedSerialOutput::Append(const std::uint8_t* bytes, std::size_t count, bool paced,
                               bool starts) {
  if (count == 0) return true;
  const bool joins = !runs_.empty() && runs_.back().paced == paced;
  if (!queue_.Push(bytes, count, roomFor(queue_, joins ? 0 : 1))) return false;
  if (joins) {
    runs_.back().bytes += count;
  } else {
    runs_.push_back(Run{count, paced});
  }
  lastMessage_ = starts ? count : lastMessage_ + count;
  return true;
}

void PacedSerialOutput::DropLastMessage() {
  // Its first bytes may have gone: only the tail that waits is still ours.
  std::size_t drop = std::min(lastMessage_, queue_.Size());
  lastMessage_ = 0;
  queue_.PopBack(drop);
  while (drop > 0 && !runs_.empty()) {
    const std::size_t part = std::min(drop, runs_.back().bytes);
    runs_.back().bytes -= part;
    drop -= part;
    if (runs_.back().bytes == 0) runs_.pop_back();
  }
}

bool PacedSerialOutput::PushRealTime(std::uint8_t byte) {
  return realTime_.Push(&byte, 1, roomFor(realTime_, 0));
}

bool PacedSerialOutput::PutAhead(const std::uint8_t* bytes, std::size_t count) {
  std::vector<std::uint8_t> ahead(bytes, bytes + count);
  // The bytes at the head that end a message begun on the line, if any.
  std::size_t begun = 0;
  while (begun < queue_.Size() && (queue_.At(begun) < 0x80 || queue_.At(begun) == 0xF7)) {
    ++begun;
    if (queue_.At(begun - 1) == 0xF7) break;
  }
  std::size_t keep = begun;  // of them, what still goes before the panic
  bool cutLast = false;
  if (begun > 0 && runs_.front().paced) {
    // A dump: cut where the line is, ended there, the rest of it dropped.
    keep = 0;
    ahead.insert(ahead.begin(), 0xF7);
    cutLast = queue_.At(begun - 1) != 0xF7 && begun == queue_.Size();
    if (cutLast) lastMessage_ = 0;
  }
  queue_.Replace(0, begun - keep, nullptr, 0);
  queue_.Replace(keep, 0, ahead.data(), ahead.size());
  // The runs again: what is kept of the head, the panic, then the rest as it was.
  std::size_t dropped = begun - keep;
  while (dropped > 0) {
    const std::size_t part = std::min(dropped, runs_.front().bytes);
    runs_.front().bytes -= part;
    dropped -= part;
    if (runs_.front().bytes == 0) runs_.pop_front();
  }
  if (keep > 0) {
    // Inside the head run, which is unpaced like the panic: it takes the panic's bytes.
    runs_.front().bytes += ahead.size();
  } else if (!runs_.empty() && !runs_.front().paced) {
    runs_.front().bytes += ahead.size();
  } else {
    runs_.push_front(Run{ahead.size(), false});
  }
  return cutLast;
}

std::span<const std::uint8_t> PacedSerialOutput::Ready(std::size_t room, Clock::time_point now,
                                                       std::size_t portHolds) const {
  if (realTime_.Size() > 0)
    return realTime_.Front().first(std::min(realTime_.Front().size(), room));
  if (runs_.empty()) return {};
  const Run& head = runs_.front();
  const auto front = queue_.Front();
  std::size_t count = std::min({front.size(), head.bytes, room});
  if (head.paced) {
    const auto most = static_cast<std::size_t>(std::max<std::int64_t>(1, kPortHold / byteTime_));
    count = std::min({count, paceAllows(now), portHolds < most ? most - portHolds : 0});
  }
  return front.first(count);
}

void PacedSerialOutput::Sent(std::size_t count, Clock::time_point now) {
  if (count == 0) return;
  if (realTime_.Size() > 0) {
    count = std::min(count, realTime_.Size());
    realTime_.Pop(count);
  } else {
    if (runs_.empty()) return;
    count = std::min(count, runs_.front().bytes);
    queue_.Pop(count);
    runs_.front().bytes -= count;
    if (runs_.front().bytes == 0) runs_.pop_front();
  }
  Wrote(count, now);
  scheduled_ = !runs_.empty() && runs_.front().paced;
}

std::optional<PacedSerialOutput::Clock::time_point> PacedSerialOutput::NextDue(
    Clock::time_point now) const {
  if (realTime_.Size() > 0 || runs_.empty() || !runs_.front().paced) return std::nullopt;
  if (paceAllows(now) > 0) return now;
  // One more byte fits once the line's model is a byte less than kLead ahead; a line slower
  // than that takes its next byte once free.
  const auto carry = std::min<Clock::duration>(byteTime_, kCarry);
  if (byteTime_ > kLead + carry) return lineFree_;
  const auto batch = std::max<std::int64_t>(1, kBatch / byteTime_);
  return lineFree_ - kLead + std::min<Clock::duration>(byteTime_ * batch, kLead);
}

std::size_t PacedSerialOutput::Clear() {
  // Each real-time byte is a message; in the queue each status byte starts one, and a data byte
  // or F7 at its head ends one begun on the line.
  std::size_t messages = realTime_.Size();
  for (std::size_t i = 0; i < queue_.Size(); ++i) {
    const std::uint8_t byte = queue_.At(i);
    const bool starts = byte >= 0x80 && byte != 0xF7;
    if (starts || i == 0) ++messages;
  }
  realTime_.Clear();
  queue_.Clear();
  runs_.clear();
  scheduled_ = false;
  lastMessage_ = 0;
  return messages;
}

}  // namespace velmora::core
