#include "platform/midi/ByteRing.h"

#include <algorithm>
#include <bit>
#include <cstring>

#ifndef _WIN32
#include <sys/mman.h>
#endif

namespace velmora::platform::midi {

ByteRing::ByteRing(std::size_t capacity)
    : size_(std::bit_ceil(std::max<std::size_t>(capacity, 1))),
      bytes_(std::make_unique<std::uint8_t[]>(size_)) {}

ByteRing::~ByteRing() {
#ifndef _WIN32
  if (locked_) munlock(bytes_.get(), size_);
#endif
}

bool ByteRing::Lock() {
#ifndef _WIN32
  locked_ = locked_ || mlock(bytes_.get(), size_) == 0;
#endif
  return locked_;
}

std::size_t ByteRing::WriteSpace() const {
  return size_ - (written_.load(std::memory_order_relaxed) - read_.load(std::memory_order_acquire));
}

std::size_t ByteRing::Write(const void* bytes, std::size_t count) {
  count = std::min(count, WriteSpace());
  const std::size_t at = written_.load(std::memory_order_relaxed);
  const std::size_t start = at & (size_ - 1);
  const std::size_t first = std::min(count, size_ - start);
  const auto* from = static_cast<const std::uint8_t*>(bytes);
  std::memcpy(bytes_.get() + start, from, first);
  std::memcpy(bytes_.get(), from + first, count - first);
  written_.store(at + count, std::memory_order_release);
  return count;
}

std::size_t ByteRing::ReadSpace() const {
  return written_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed);
}

void ByteRing::CopyOut(std::size_t from, void* to, std::size_t count) const {
  const std::size_t start = from & (size_ - 1);
  const std::size_t first = std::min(count, size_ - start);
  auto* target = static_cast<std::uint8_t*>(to);
  std::memcpy(target, bytes_.get() + start, first);
  std::memcpy(target + first, bytes_.get(), count - first);
}

std::size_t ByteRing::Peek(void* to, std::size_t count) const {
  count = std::min(count, ReadSpace());
  CopyOut(read_.load(std::memory_order_relaxed), to, count);
  return count;
}

std::size_t ByteRing::Read(void* to, std::size_t count) {
  count = Peek(to, count);
  ReadAdvance(count);
  return count;
}

void ByteRing::ReadAdvance(std::size_t count) {
  count = std::min(count, ReadSpace());
  read_.store(read_.load(std::memory_order_relaxed) + count, std::memory_order_release);
}

}  // namespace velmora::platform::midi
