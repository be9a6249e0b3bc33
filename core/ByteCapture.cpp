#include "core/ByteCapture.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <system_error>

namespace velmora::core {

namespace {

constexpr std::uint32_t kLimitReached = platform::WM_USER + 0x180;

// "T " with T the seconds since the start, 6 decimals.
void appendStamp(std::string& line, std::int64_t nanoseconds) {
  char text[32];
  const std::int64_t micros = nanoseconds / 1000;
  const int length = std::snprintf(text, sizeof text, "%" PRId64 ".%06" PRId64 " ",
                                   micros / 1'000'000, micros % 1'000'000);
  line.append(text, static_cast<std::size_t>(length));
}

std::string limitText(std::uint64_t limit) {
  return limit % 1'000'000 == 0 ? std::to_string(limit / 1'000'000) + " Mo"
                                : std::to_string(limit) + " octets";
}

}  // namespace

ByteCapture::ByteCapture(std::string path, std::uint64_t limit,
                         std::function<void(const std::string&)> log)
    : path_(std::move(path)),
      limit_(limit),
      log_(std::move(log)),
      told_([this](const platform::Message&) -> std::intptr_t {
        if (log_) {
          log_("[Capture] - " + path_ + " : taille limite atteinte (" + limitText(limit_) +
               "), capture arrêtée");
        }
        return 0;
      }),
      limitTold_(told_.ref()) {
  file_.reset(std::fopen(path_.c_str(), "w"));
  if (!file_) {
    problem_ = "[Capture] - " + path_ + " : impossible d'ouvrir le fichier (" +
               std::generic_category().message(errno) + ")";
    return;
  }
  writer_ = std::thread([this] { writeLoop(); });
}

ByteCapture::~ByteCapture() {
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (writer_.joinable()) writer_.join();
}

void ByteCapture::put(std::size_t at, const void* data, std::size_t size) {
  const std::size_t offset = at % kRingBytes;
  const std::size_t first = std::min(size, kRingBytes - offset);
  std::memcpy(ring_.data() + offset, data, first);
  std::memcpy(ring_.data(), static_cast<const std::uint8_t*>(data) + first, size - first);
}

void ByteCapture::get(std::size_t at, void* data, std::size_t size) const {
  const std::size_t offset = at % kRingBytes;
  const std::size_t first = std::min(size, kRingBytes - offset);
  std::memcpy(data, ring_.data() + offset, first);
  std::memcpy(static_cast<std::uint8_t*>(data) + first, ring_.data(), size - first);
}

void ByteCapture::Record(CaptureDirection direction, const std::uint8_t* bytes, std::size_t count) {
  if (!problem_.empty() || count == 0 || full_.load(std::memory_order_relaxed)) return;
  const std::size_t need = sizeof(Header) + count;
  const std::size_t head = head_.load(std::memory_order_relaxed);
  const std::size_t used = head - tail_.load(std::memory_order_acquire);
  if (need > kRingBytes - used) {
    droppedBlocks_.fetch_add(1, std::memory_order_relaxed);
    droppedBytes_.fetch_add(count, std::memory_order_relaxed);
    return;
  }
  const Header header{(std::chrono::steady_clock::now() - start_).count(),
                      static_cast<std::uint32_t>(count), direction};
  put(head, &header, sizeof header);
  put(head + sizeof header, bytes, count);
  // Sequentially consistent with the writer's idle_ then head_: one of us sees the other.
  head_.store(head + need);
  constexpr std::size_t kHalf = kRingBytes / 2;
  if (idle_.load() || (used < kHalf && used + need >= kHalf)) {
    const std::lock_guard lock(mutex_);
    wake_.notify_one();
  }
}

void ByteCapture::writeBatch() {
  // A failing disk loses lines, never forwarding: nothing here waits or raises.
  std::fwrite(batch_.data(), 1, batch_.size(), file_.get());
  batch_.clear();
}

bool ByteCapture::addLine(const std::string& line) {
  if (written_ + line.size() > limit_) return false;
  written_ += line.size();
  batch_ += line;
  if (batch_.size() >= kBatchBytes) writeBatch();
  return true;
}

bool ByteCapture::writeWaiting() {
  static_assert(sizeof(std::chrono::steady_clock::duration::rep) == sizeof(std::int64_t));
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::size_t tail = tail_.load(std::memory_order_relaxed);;) {
    if (droppedBlocks_.load(std::memory_order_relaxed) != 0) {
      line_.clear();
      appendStamp(line_, (std::chrono::steady_clock::now() - start_).count());
      char text[96];
      const std::uint64_t blocks = droppedBlocks_.exchange(0, std::memory_order_relaxed);
      const int length = std::snprintf(
          text, sizeof text, "dropped %" PRIu64 " blocks, %" PRIu64 " bytes: queue full\n", blocks,
          droppedBytes_.exchange(0, std::memory_order_relaxed));
      line_.append(text, static_cast<std::size_t>(length));
      if (!addLine(line_)) return false;
    }
    if (head_.load(std::memory_order_acquire) == tail) return true;
    Header header{};
    get(tail, &header, sizeof header);
    line_.clear();
    appendStamp(line_, header.nanoseconds);
    line_ += header.direction == CaptureDirection::SerialToMidi ? "serial->midi" : "midi->serial";
    for (std::size_t i = 0; i < header.count; ++i) {
      const std::uint8_t byte = ring_[(tail + sizeof header + i) % kRingBytes];
      line_ += ' ';
      line_ += kDigits[byte >> 4];
      line_ += kDigits[byte & 0xF];
    }
    line_ += '\n';
    tail += sizeof header + header.count;
    tail_.store(tail, std::memory_order_release);
    if (!addLine(line_)) return false;
  }
}

void ByteCapture::writeLoop() {
  line_.reserve(4096);  // grows for a longer block once, then stays
  batch_.reserve(kBatchBytes + 4096);
  for (;;) {
    std::unique_lock lock(mutex_);
    idle_ = true;
    wake_.wait(lock, [&] { return stop_ || head_.load() != tail_.load(); });
    idle_ = false;
    // Let the blocks of the next moments join the one that woke us.
    wake_.wait_for(lock, kGather, [&] {
      return stop_ || head_.load() - tail_.load(std::memory_order_relaxed) >= kRingBytes / 2;
    });
    const bool stopping = stop_;
    lock.unlock();
    const bool open = writeWaiting();
    writeBatch();
    std::fflush(file_.get());
    if (!open) {
      full_ = true;
      limitTold_.post(kLimitReached);
      return;
    }
    if (stopping) return;
  }
}

}  // namespace velmora::core
