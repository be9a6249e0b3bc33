#pragma once

// Reads a fuzzer's bytes as a little program: each call takes what it needs and yields zeros once
// the input is spent, so every input is a valid program.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace velmora::fuzz {

// A broken property: says where, then aborts so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char* file, int line) {
  std::fprintf(stderr, "fuzz: property broken at %s:%d\n", file, line);
  std::abort();
}
#define VELMORA_FUZZ_FAIL() ::velmora::fuzz::Fail(__FILE__, __LINE__)

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Done() const { return pos_ >= size_; }
  std::size_t Left() const { return size_ - pos_; }

  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool Bool() { return (Byte() & 1) != 0; }
  template <class T>
  T Value() {
    T value{};
    std::uint8_t raw[sizeof(T)] = {};
    const std::size_t n = std::min(sizeof(T), Left());
    std::memcpy(raw, data_ + pos_, n);
    pos_ += n;
    std::memcpy(&value, raw, sizeof(T));
    return value;
  }
  // Up to `max` bytes, the count taken from the input.
  std::vector<std::uint8_t> Block(std::size_t max) {
    const std::size_t want = max == 0 ? 0 : Value<std::uint16_t>() % (max + 1);
    const std::size_t n = std::min(want, Left());
    std::vector<std::uint8_t> block(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return block;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace velmora::fuzz
