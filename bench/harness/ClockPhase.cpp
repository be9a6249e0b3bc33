#include "ClockPhase.h"

#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "Rig.h"

namespace velmora::bench {

namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kClock = 0xF8;
constexpr auto kBytesAt31250 = 320us;   // 10 bits a byte
constexpr auto kClockPeriod = 20833us;  // 120 BPM, 24 a beat

double CpuSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ThreadCpuSeconds(std::thread& thread) {
  clockid_t id{};
  return pthread_getcpuclockid(thread.native_handle(), &id) == 0 ? CpuSeconds(id) : 0;
}

// The far end of a serial line as a UART of that speed sends it: each byte takes its time on
// the line after the one before it, never before it was written. Bytes read together are taken
// as written at the line's pace before they were read, but not before the reader began to wait
// for them: a reader held up after its wait ended (the machine's doing, not the writer's) then
// piles nothing up on the line, while a writer's burst into a waiting reader still does.
class VirtualLine {
 public:
  explicit VirtualLine(int fd) : fd_(fd), thread_([this] { Run(); }) {}
  ~VirtualLine() { Stop(); }
  VirtualLine(const VirtualLine&) = delete;
  VirtualLine& operator=(const VirtualLine&) = delete;

  void Stop() {
    stop_.raise();
    if (thread_.joinable()) thread_.join();
  }
  std::size_t Others() const { return others_.load(); }
  std::size_t Clocks() const { return clocks_.load(); }
  // After Stop.
  const std::vector<SteadyClock::time_point>& ClockTimes() const { return clockTimes_; }
  const std::vector<std::uint8_t>& OtherBytes() const { return otherBytes_; }
  SteadyClock::time_point FirstOther() const { return firstOther_; }
  SteadyClock::time_point LastOther() const { return lastOther_; }
  double CpuSeconds() { return ThreadCpuSeconds(thread_); }

 private:
  void Run() {
    std::uint8_t buffer[4096];
    SteadyClock::time_point line{};
    SteadyClock::time_point lastRead{};
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
      const auto looked = SteadyClock::now();
      if (poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      const ssize_t got = read(fd_, buffer, sizeof buffer);
      const auto at = SteadyClock::now();
      for (ssize_t i = 0; i < got; ++i) {
        const auto written = std::max({looked, lastRead, at - kBytesAt31250 * (got - 1 - i)});
        line = std::max(line + kBytesAt31250, written);
        if (buffer[i] == kClock) {
          clockTimes_.push_back(line);
          ++clocks_;
        } else {
          if (otherBytes_.empty()) firstOther_ = line;
          lastOther_ = line;
          otherBytes_.push_back(buffer[i]);
          ++others_;
        }
      }
      lastRead = at;
    }
  }

  const int fd_;
  StopSignal stop_;
  // The reading thread's until Stop, then the reader's.
  std::vector<SteadyClock::time_point> clockTimes_;
  std::vector<std::uint8_t> otherBytes_;
  SteadyClock::time_point firstOther_{}, lastOther_{};
  std::atomic<std::size_t> clocks_{0}, others_{0};
  std::thread thread_;  // last: starts once everything above is ready
};

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

}  // namespace

ClockFigures RunClockPhase(const ClockRigging& rig, std::size_t dumpBytes) {
  ClockFigures figures;
  figures.ran = true;
  figures.dumpBytes = dumpBytes;
  std::vector<std::uint8_t> dump(dumpBytes);
  dump.front() = 0xF0;
  for (std::size_t i = 1; i + 1 < dump.size(); ++i) dump[i] = static_cast<std::uint8_t>(i % 128);
  dump.back() = 0xF7;

  VirtualLine ours(rig.oursMaster);
  VirtualLine floor(rig.floorMaster);
  if (rig.progress) {
    rig.progress("clock phase: 120 BPM MIDI -> serial during a " + std::to_string(dumpBytes) +
                 "-byte dump at 31250 baud");
  }
  // The bridge's threads: the process less the harness's (the lines, the floor, this one).
  const auto bridgeCpu = [&] {
    return CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - ours.CpuSeconds() - floor.CpuSeconds() -
           CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - (rig.harnessCpu ? rig.harnessCpu() : 0);
  };
  const double cpuBefore = bridgeCpu();
  const auto start = SteadyClock::now();
  rig.playDump(dump);
  // The clock goes on while the dump is on its way, into both at once, first one then the other.
  auto next = SteadyClock::now() + 50ms;
  const auto bound = SteadyClock::now() + 1ms * static_cast<std::int64_t>(dumpBytes);
  while (ours.Others() < dump.size() && SteadyClock::now() < bound) {
    std::this_thread::sleep_until(next);  // pacing: the clock's own
    const bool floorFirst = figures.clocks % 2 == 1;
    rig.play(floorFirst, kClock);
    rig.play(!floorFirst, kClock);
    ++figures.clocks;
    next += kClockPeriod;
  }
  const auto settle = SteadyClock::now() + 2s;
  while ((ours.Clocks() < figures.clocks || floor.Clocks() < figures.clocks) &&
         SteadyClock::now() < settle) {
    std::this_thread::sleep_for(1ms);  // pacing: the last bytes on their way
  }
  const double wall = std::chrono::duration<double>(SteadyClock::now() - start).count();
  if (wall > 0) figures.cpuPercent = 100 * (bridgeCpu() - cpuBefore) / wall;
  ours.Stop();
  floor.Stop();

  figures.oursClocks = ours.ClockTimes().size();
  figures.floorClocks = floor.ClockTimes().size();
  figures.dumpWhole = ours.OtherBytes() == dump;
  figures.dumpSeconds = std::chrono::duration<double>(ours.LastOther() - ours.FirstOther()).count();
  std::vector<double> added;
  const std::size_t pairs = std::min(figures.oursClocks, figures.floorClocks);
  for (std::size_t k = 0; k < pairs; ++k) {
    added.push_back(
        std::chrono::duration<double, std::micro>(ours.ClockTimes()[k] - floor.ClockTimes()[k])
            .count());
  }
  figures.addedP50 = Percentile(added, 0.50);
  figures.addedP99 = Percentile(added, 0.99);
  figures.addedMax = added.empty() ? 0 : *std::max_element(added.begin(), added.end());
  return figures;
}

}  // namespace velmora::bench
