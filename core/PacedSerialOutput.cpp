#include "core/PacedSerialOutput.h"

#include <algorithm>

namespace velmora::core {

void PacedSerialOutput::SetByteTime(std::chrono::nanoseconds perByte) {
  byteTime_ = std::max(perByte * (100 + kMarginPercent) / 100, std::chrono::nanoseconds{1});
}

std::chrono::nanoseconds PacedSerialOutput::ByteTime(std::int32_t baud, int bitsPerByte) {
  if (baud <= 0) baud = 1;
  return std::chrono::nanoseconds{static_cast<std::int64_t>(bitsPerByte) * 1'000'000'000 / baud};
}

PacedSerialOutput::Clock::time_point PacedSerialOutput::lineFrom(Clock::time_point now) const {
  return std::max(lineFree_, now - std::min<Clock::duration>(byteTime_, kCarry));
}

void PacedSerialOutput::Wrote(std::size_t count, Clock::time_point now) {
  if (count == 0) return;
  lineFree_ =
      std::min(lineFrom(now) + byteTime_ * static_cast<std::int64_t>(count), now + kModelled);
}

bool PacedSerialOutput::LineFree(Clock::time_point now) const {
  return paceAllows(now) > 0;
}

std::size_t PacedSerialOutput::paceAllows(Clock::time_point now) const {
  const auto room = now + kLead - lineFrom(now);
  if (room >= byteTime_) return static_cast<std::size_t>(room / byteTime_);
  // A line slower than the lead takes one byte whenever it is free.
  return lineFree_ <= now ? 1 : 0;
}

bool PacedSerialOutput::Append(const std::uint8_t* bytes, std::size_t count, bool paced,
                               bool starts) {
  if (count == 0) return true;
  if (waiting_ + count > limit_) return false;
  // Short messages behind one another share an entry: a backlog costs no block each.
  if (!paced && !entries_.empty() && !entries_.back().paced) {
    Entry& last = entries_.back();
    last.bytes.insert(last.bytes.end(), bytes, bytes + count);
    last.messages += starts ? 1 : 0;
  } else {
    entries_.push_back(
        Entry{std::vector<std::uint8_t>(bytes, bytes + count), 0, starts ? 1u : 0u, paced});
  }
  waiting_ += count;
  return true;
}

bool PacedSerialOutput::PushFront(std::uint8_t byte) {
  if (waiting_ + 1 > limit_) return false;
  entries_.push_front(Entry{{byte}, 0, 1, false});
  ++waiting_;
  return true;
}

bool PacedSerialOutput::PutAhead(const std::uint8_t* bytes, std::size_t count) {
  Entry ahead{std::vector<std::uint8_t>(bytes, bytes + count), 0, 0, false};
  for (std::size_t i = 0; i < count; ++i) ahead.messages += bytes[i] >= 0x80 ? 1 : 0;
  bool cutLast = false;
  if (!entries_.empty() && entries_.front().sent > 0) {
    Entry& head = entries_.front();
    if (head.paced) {
      std::size_t dropped = head.bytes.size() - head.sent;
      entries_.pop_front();
      while (!entries_.empty() && entries_.front().messages == 0) {
        dropped += entries_.front().bytes.size();
        entries_.pop_front();
      }
      waiting_ -= dropped;
      cutLast = entries_.empty();
      ahead.bytes.insert(ahead.bytes.begin(), 0xF7);
    } else {
      // Short messages: the one on the line ends before the panic, the rest follow it.
      const auto rest = std::find_if(head.bytes.begin() + static_cast<std::ptrdiff_t>(head.sent),
                                     head.bytes.end(), [](std::uint8_t b) { return b >= 0x80; });
      Entry tail{std::vector<std::uint8_t>(rest, head.bytes.end()), 0, 0, false};
      for (std::uint8_t b : tail.bytes) tail.messages += b >= 0x80 ? 1 : 0;
      head.bytes.erase(rest, head.bytes.end());
      head.messages -= std::min(head.messages, tail.messages);
      Entry begun = std::move(head);
      entries_.pop_front();
      if (!tail.bytes.empty()) entries_.push_front(std::move(tail));
      waiting_ += ahead.bytes.size();
      entries_.push_front(std::move(ahead));
      if (begun.sent < begun.bytes.size()) entries_.push_front(std::move(begun));
      return false;
    }
  }
  waiting_ += ahead.bytes.size();
  entries_.push_front(std::move(ahead));
  return cutLast;
}

std::span<const std::uint8_t> PacedSerialOutput::Ready(std::size_t room,
                                                       Clock::time_point now) const {
  if (entries_.empty()) return {};
  const Entry& head = entries_.front();
  std::size_t count = std::min(head.bytes.size() - head.sent, room);
  if (head.paced) count = std::min(count, paceAllows(now));
  return {head.bytes.data() + head.sent, count};
}

void PacedSerialOutput::Sent(std::size_t count, Clock::time_point now) {
  if (entries_.empty() || count == 0) return;
  Entry& head = entries_.front();
  count = std::min(count, head.bytes.size() - head.sent);
  head.sent += count;
  waiting_ -= count;
  Wrote(count, now);
  if (head.sent == head.bytes.size()) entries_.pop_front();
}

std::optional<PacedSerialOutput::Clock::time_point> PacedSerialOutput::NextDue(
    Clock::time_point now) const {
  if (entries_.empty() || !entries_.front().paced) return std::nullopt;
  if (paceAllows(now) > 0) return now;
  // One more byte fits once the line's model is a byte less than kLead ahead; a line slower
  // than that takes its next byte once free.
  const auto carry = std::min<Clock::duration>(byteTime_, kCarry);
  if (byteTime_ > kLead + carry) return lineFree_;
  const auto batch = std::max<std::int64_t>(1, kBatch / byteTime_);
  return lineFree_ - kLead + std::min<Clock::duration>(byteTime_ * batch, kLead);
}

std::size_t PacedSerialOutput::Clear() {
  std::size_t messages = 0;
  for (const Entry& entry : entries_) messages += entry.messages;
  // The head may be the rest of a message begun on the line: cut here, it is lost too.
  if (!entries_.empty() && entries_.front().messages == 0) ++messages;
  entries_.clear();
  waiting_ = 0;
  return messages;
}

}  // namespace velmora::core
