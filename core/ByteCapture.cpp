#include "core/ByteCapture.h"

#include <algorithm>
#include <cerrno>
#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif
#include <cinttypes>
#include <cstring>
#include <system_error>
#include <thread>

#include "core/Utf8Path.h"

namespace velmora::core {

namespace {

constexpr std::uint32_t kTold = platform::WM_USER + 0x180;

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

std::string errorText(int error) {
  if (error == ENOSPC) return "disque plein";
  return std::generic_category().message(error);
}

}  // namespace

// What the bridge thread and the writer share. The writer holds it as long as it runs, which may
// be after the capture was destroyed (a FIFO nobody opens, a disk that hangs).
struct ByteCapture::Shared {
  struct Header {
    std::int64_t nanoseconds;  // since start
    std::uint32_t count;
    CaptureDirection direction;
  };
  static constexpr std::size_t kBatchBytes = 64 * 1024;  // written at once, at most

  Shared(std::string path, std::uint64_t limit, platform::WindowRef told)
      : path(std::move(path)), limit(limit), told(std::move(told)) {}

  void put(std::size_t at, const void* data, std::size_t size);
  void get(std::size_t at, void* data, std::size_t size) const;
  void record(CaptureDirection direction, const std::uint8_t* bytes, std::size_t count);
  // Writer thread.
  void writeLoop();
  bool writeWaiting();
  bool addLine(const std::string& line);
  bool writeBatch();
  void stopWith(std::string line);

  const std::string path;
  const std::uint64_t limit;
  const platform::WindowRef told;  // the capture's, on the bridge thread: "opened", "stopped"
  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  // A single-producer, single-consumer ring of headers and their bytes. The bridge thread
  // writes at head and publishes it; the writer reads up to head and publishes tail. Each index
  // is written by one thread only; both run free (taken modulo the size).
  std::array<std::uint8_t, kRingBytes> ring{};
  std::atomic<std::size_t> head{0};
  std::atomic<std::size_t> tail{0};
  // Blocks and bytes the full ring refused: added by the bridge thread, taken by the writer.
  std::atomic<std::uint64_t> droppedBlocks{0};
  std::atomic<std::uint64_t> droppedBytes{0};
  std::atomic<bool> ended{false};   // the capture stopped by itself: set by the writer
  std::atomic<bool> opened{false};  // the file is open: set by the writer

  // Guards the writer's sleep and the fields below: the writer sets idle and waits on wake under
  // it; the bridge thread takes it when it finds idle set or fills half the ring, to stop, and
  // to read why the capture stopped.
  std::mutex mutex;
  std::condition_variable wake;
  std::atomic<bool> idle{false};
  bool stop = false;        // asked to finish
  bool done = false;        // the file is closed; `finished` is told
  std::string stoppedLine;  // why it stopped by itself; empty while it has not
  std::condition_variable finished;

  // Writer's.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file{nullptr, &std::fclose};
  std::uint64_t accepted = 0;  // bytes in the file and in `batch`
  std::uint64_t written = 0;   // bytes the file took
  std::string batch;           // lines formatted, not yet written
  std::string line;            // the line being formatted
};

void ByteCapture::Shared::put(std::size_t at, const void* data, std::size_t size) {
  const std::size_t offset = at % kRingBytes;
  const std::size_t first = std::min(size, kRingBytes - offset);
  std::memcpy(ring.data() + offset, data, first);
  std::memcpy(ring.data(), static_cast<const std::uint8_t*>(data) + first, size - first);
}

void ByteCapture::Shared::get(std::size_t at, void* data, std::size_t size) const {
  const std::size_t offset = at % kRingBytes;
  const std::size_t first = std::min(size, kRingBytes - offset);
  std::memcpy(data, ring.data() + offset, first);
  std::memcpy(static_cast<std::uint8_t*>(data) + first, ring.data(), size - first);
}

void ByteCapture::Shared::record(CaptureDirection direction, const std::uint8_t* bytes,
                                 std::size_t count) {
  if (count == 0 || ended.load(std::memory_order_relaxed)) return;
  const std::size_t need = sizeof(Header) + count;
  const std::size_t at = head.load(std::memory_order_relaxed);
  const std::size_t used = at - tail.load(std::memory_order_acquire);
  if (need > kRingBytes - used) {
    droppedBlocks.fetch_add(1, std::memory_order_relaxed);
    droppedBytes.fetch_add(count, std::memory_order_relaxed);
    return;
  }
  const Header header{(std::chrono::steady_clock::now() - start).count(),
                      static_cast<std::uint32_t>(count), direction};
  put(at, &header, sizeof header);
  put(at + sizeof header, bytes, count);
  // Sequentially consistent with the writer's idle then head: one of us sees the other.
  head.store(at + need);
  constexpr std::size_t kHalf = kRingBytes / 2;
  if (idle.load() || (used < kHalf && used + need >= kHalf)) {
    const std::lock_guard lock(mutex);
    wake.notify_one();
  }
}

bool ByteCapture::Shared::writeBatch() {
  if (batch.empty()) return true;
  // Unbuffered: each batch is one write, and its error is this call's.
  errno = 0;
  const std::size_t put = std::fwrite(batch.data(), 1, batch.size(), file.get());
  written += put;
  if (put == batch.size()) {
    batch.clear();
    return true;
  }
  const int error = errno != 0 ? errno : EIO;
  stopWith("[Capture] - " + path + " : capture arrêtée : " + errorText(error) + " (" +
           std::to_string(written) + " octets écrits)");
  return false;
}

bool ByteCapture::Shared::addLine(const std::string& text) {
  if (accepted + text.size() > limit) {
    if (!writeBatch()) return false;
    stopWith("[Capture] - " + path + " : taille limite atteinte (" + limitText(limit) +
             "), capture arrêtée");
    return false;
  }
  accepted += text.size();
  batch += text;
  return batch.size() < kBatchBytes || writeBatch();
}

bool ByteCapture::Shared::writeWaiting() {
  static_assert(sizeof(std::chrono::steady_clock::duration::rep) == sizeof(std::int64_t));
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::size_t at = tail.load(std::memory_order_relaxed);;) {
    if (droppedBlocks.load(std::memory_order_relaxed) != 0) {
      line.clear();
      appendStamp(line, (std::chrono::steady_clock::now() - start).count());
      char text[96];
      const std::uint64_t blocks = droppedBlocks.exchange(0, std::memory_order_relaxed);
      const int length = std::snprintf(
          text, sizeof text, "dropped %" PRIu64 " blocks, %" PRIu64 " bytes: queue full\n", blocks,
          droppedBytes.exchange(0, std::memory_order_relaxed));
      line.append(text, static_cast<std::size_t>(length));
      if (!addLine(line)) return false;
    }
    if (head.load(std::memory_order_acquire) == at) return true;
    Header header{};
    get(at, &header, sizeof header);
    line.clear();
    appendStamp(line, header.nanoseconds);
    line += header.direction == CaptureDirection::SerialToMidi ? "serial->midi" : "midi->serial";
    for (std::size_t i = 0; i < header.count; ++i) {
      const std::uint8_t byte = ring[(at + sizeof header + i) % kRingBytes];
      line += ' ';
      line += kDigits[byte >> 4];
      line += kDigits[byte & 0xF];
    }
    line += '\n';
    at += sizeof header + header.count;
    tail.store(at, std::memory_order_release);
    if (!addLine(line)) return false;
  }
}

void ByteCapture::Shared::stopWith(std::string text) {
  ended = true;
  {
    const std::lock_guard lock(mutex);
    stoppedLine = std::move(text);
  }
  told.post(kTold);
}

void ByteCapture::Shared::writeLoop() {
#ifndef _WIN32
  // A FIFO whose reader went is a write error here, not the end of the program.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
#endif
  // May block for as long as a FIFO waits for its reader: nothing else waits on it.
  file.reset(OpenFile(Utf8Path(path), "w"));
  if (!file) {
    stopWith("[Capture] - " + path + " : impossible d'ouvrir le fichier (" +
             std::generic_category().message(errno) + ")");
  } else {
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    opened = true;
    told.post(kTold);
    line.reserve(4096);  // grows for a longer block once, then stays
    batch.reserve(kBatchBytes + 4096);
    for (;;) {
      std::unique_lock lock(mutex);
      idle = true;
      wake.wait(lock, [&] { return stop || head.load() != tail.load(); });
      idle = false;
      // Let the blocks of the next moments join the one that woke us.
      wake.wait_for(lock, kGather, [&] {
        return stop || head.load() - tail.load(std::memory_order_relaxed) >= kRingBytes / 2;
      });
      const bool stopping = stop;
      lock.unlock();
      if (!writeWaiting() || !writeBatch() || stopping) break;
    }
    file.reset();
  }
  const std::lock_guard lock(mutex);
  done = true;
  finished.notify_all();
}

ByteCapture::ByteCapture(std::string path, std::uint64_t limit,
                         std::function<void(const std::string&)> tell)
    : path_(std::move(path)),
      tell_(std::move(tell)),
      told_([this](const platform::Message&) -> std::intptr_t {
        Finish(std::chrono::milliseconds{0});
        return 0;
      }),
      shared_(std::make_shared<Shared>(path_, limit, told_.ref())) {
  std::thread([shared = shared_] { shared->writeLoop(); }).detach();
}

ByteCapture::~ByteCapture() {
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->stop = true;
  }
  shared_->wake.notify_one();
}

bool ByteCapture::Running() const {
  return !shared_->ended.load(std::memory_order_relaxed);
}

void ByteCapture::Record(CaptureDirection direction, const std::uint8_t* bytes, std::size_t count) {
  Flush();
  shared_->record(direction, bytes, count);
}

void ByteCapture::Gather(CaptureDirection direction, const std::uint8_t* bytes, std::size_t count) {
  if (gatheredCount_ != 0 && direction != gatheredDirection_) Flush();
  gatheredDirection_ = direction;
  while (count > 0) {
    const std::size_t part = std::min(count, gathered_.size() - gatheredCount_);
    std::memcpy(gathered_.data() + gatheredCount_, bytes, part);
    gatheredCount_ += part;
    bytes += part;
    count -= part;
    if (gatheredCount_ == gathered_.size()) Flush();
  }
}

void ByteCapture::Flush() {
  if (gatheredCount_ == 0) return;
  shared_->record(gatheredDirection_, gathered_.data(), gatheredCount_);
  gatheredCount_ = 0;
}

bool ByteCapture::Finish(std::chrono::milliseconds timeout) {
  Flush();
  std::string line;
  bool done = false;
  {
    std::unique_lock lock(shared_->mutex);
    if (timeout.count() > 0) {
      shared_->stop = true;
      shared_->wake.notify_one();
      shared_->finished.wait_for(lock, timeout, [&] { return shared_->done; });
    }
    done = shared_->done;
    line = shared_->stoppedLine;
  }
  if (shared_->opened && !startTold_) {
    startTold_ = true;
    if (tell_) tell_("[Capture] - " + path_ + " : capture démarrée");
  }
  if (!line.empty() && !stopTold_) {
    stopTold_ = true;
    if (tell_) tell_(line);
  }
  return done;
}

}  // namespace velmora::core
