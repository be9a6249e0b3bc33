// Devices that come and go, measured on the real bridge headless: the time from a serial
// device's return (its link made again in the watched device folder) to its green shape, median
// of 20 returns; and the CPU the whole process uses while the chosen device is absent (the
// device watch waits on inotify, nothing polls). Serial devices are pseudo-terminals linked
// into a device folder of the benchmark's own; MIDI is the simulated service.
//
//   velmora-replug-bench [--returns N] [--idle-seconds S]

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Bridge.h"
#include "core/WindowModel.h"
#include "core/RealDeviceFactory.h"
#include "platform/MessagePump.h"
#include "platform/midi/SimulatedMidiService.h"
#include "support/Pty.h"
#include "ui/MainWindowHandlers.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using velmora::core::kClosedColor;
using velmora::core::kOpenColor;
using velmora::core::Shape;

// Handles the UI thread's messages until `done` holds or `bound` passed, waiting for them in
// between, as the program's loop does.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
  auto& pump = velmora::platform::MessagePump::current();
  const auto deadline = Clock::now() + bound;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    pump.waitMessage(std::min(deadline, Clock::now() + std::chrono::milliseconds(5)));
    pump.processMessages();
  }
  return true;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  int returns = 20;
  int idleSeconds = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--returns") == 0) returns = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--idle-seconds") == 0)
      idleSeconds = std::max(1, std::atoi(argv[i + 1]));
  }

  const fs::path root = fs::temp_directory_path() / ("velmora-replug-" + std::to_string(getpid()));
  fs::create_directories(root / "dev");
  fs::create_directories(root / "sys/class/tty");
  const fs::path link = root / "dev/ttyV0";

  auto pty = std::make_unique<velmora::bench::Pty>();
  fs::create_symlink(pty->slavePath(), link);
  auto midi = std::make_shared<velmora::platform::midi::SimulatedMidiService>();
  midi->AddInput("In 1");
  midi->AddOutput("Out 1");

  std::vector<double> toGreenMs;
  double idleShare = 0;
  {
    velmora::core::RealDeviceFactory factory(
        midi, velmora::platform::SerialNameSpace({root / "dev", root / "sys"}));
    velmora::core::Bridge bridge(factory);
    velmora::core::WindowModel window;
    velmora::ui::TfmMain form(bridge, window);
    form.FormCreate();
    const auto colour = [&] { return window.ShapeColor(Shape::ComPort); };
    if (colour() != kOpenColor) {
      std::fprintf(stderr, "the port did not open at start\n");
      return 1;
    }

    const auto pull = [&] {
      fs::remove(link);
      pty.reset();
      return PumpUntil([&] { return colour() == kClosedColor; }, std::chrono::seconds(10));
    };
    for (int n = 0; n < returns; ++n) {
      if (!pull()) {
        std::fprintf(stderr, "the port did not turn red\n");
        return 1;
      }
      pty = std::make_unique<velmora::bench::Pty>();
      const auto back = Clock::now();
      fs::create_symlink(pty->slavePath(), link);
      if (!PumpUntil([&] { return colour() == kOpenColor; }, std::chrono::seconds(10))) {
        std::fprintf(stderr, "the port did not turn green again\n");
        return 1;
      }
      toGreenMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - back).count());
    }

    // Absent: the program waits for the device to come back.
    pull();
    PumpUntil([] { return false; }, std::chrono::milliseconds(500));  // settle
    const double cpu0 = CpuSeconds();
    const auto wall0 = Clock::now();
    auto& pump = velmora::platform::MessagePump::current();
    const auto deadline = wall0 + std::chrono::seconds(idleSeconds);
    while (Clock::now() < deadline) {
      pump.waitMessage(deadline);
      pump.processMessages();
    }
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    idleShare = 100.0 * (CpuSeconds() - cpu0) / wall;
    form.FormClose();
    bridge.Finalize();
  }
  std::error_code ignored;
  fs::remove_all(root, ignored);

  std::vector<double> sorted = toGreenMs;
  std::sort(sorted.begin(), sorted.end());
  const double median = sorted.size() % 2
                            ? sorted[sorted.size() / 2]
                            : (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2;
  std::printf("return to green: median %.1f ms over %zu returns (min %.1f, max %.1f)\n", median,
              sorted.size(), sorted.front(), sorted.back());
  std::printf("CPU while the chosen device is absent: %.4f %% of a core over %d s\n", idleShare,
              idleSeconds);
  std::printf("{\"return_to_green_median_ms\": %.1f, \"absent_cpu_percent\": %.3f}\n", median,
              idleShare);
  return 0;
}
