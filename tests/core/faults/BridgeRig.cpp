#include "core/faults/BridgeRig.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <stdexcept>

#include "platform/MessagePump.h"
#include "platform/midi/MidiService.h"
#include "support/Wait.h"

namespace velmora::faults {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// ---- FarEnd ------------------------------------------------------------------------------

FarEnd::FarEnd(int master) : master_(master) {
  reader_ = std::thread([this] {
    std::uint8_t buffer[4096];
    while (!stop_.load()) {
      if (paused_.load()) {
        std::this_thread::sleep_for(5ms);  // pacing: a paused far end has nothing to wait on
        continue;
      }
      std::size_t room = sizeof buffer;
      if (const std::size_t rate = rate_.load(); rate > 0) {
        // What the line has carried since the rate was set, less what was read since.
        const auto since =
            std::chrono::steady_clock::now().time_since_epoch().count() - rateFrom_.load();
        const auto carried =
            static_cast<std::size_t>(static_cast<double>(since) * 1e-9 * static_cast<double>(rate));
        const std::size_t read = Count() - rateBase_.load();
        room = std::min(room, carried > read ? carried - read : 0);
        if (room == 0) {
          std::this_thread::sleep_for(200us);  // pacing: the line's next byte
          continue;
        }
      }
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, rate_.load() > 0 ? 1 : 20) <= 0) continue;
      const ssize_t n = ::read(master_, buffer, room);
      if (n > 0) {
        std::lock_guard lock(mutex_);
        received_.insert(received_.end(), buffer, buffer + n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        std::this_thread::sleep_for(5ms);  // no slave open now (between two opens)
      }
    }
  });
}

FarEnd::~FarEnd() {
  Stop();
}

void FarEnd::SetRate(std::size_t bytesPerSecond) {
  rateBase_ = Count();
  rateFrom_ = std::chrono::steady_clock::now().time_since_epoch().count();
  rate_ = bytesPerSecond;
}

void FarEnd::Stop() {
  stop_ = true;
  if (reader_.joinable()) reader_.join();
}

Bytes FarEnd::Received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::size_t FarEnd::Count() const {
  std::lock_guard lock(mutex_);
  return received_.size();
}

bool FarEnd::WaitCount(std::size_t count, std::chrono::milliseconds bound) const {
  return testing::WaitUntil([&] { return Count() >= count; }, bound);
}

// ---- BridgeRig ---------------------------------------------------------------------------

BridgeRig::BridgeRig(int ports, int midiDevices)
    : names_({dir_.path() / "dev", dir_.path() / "sys"}) {
  for (int n = 1; n <= midiDevices; ++n) {
    inputs.push_back(midi->AddInput("In " + std::to_string(n)));
    outputs.push_back(midi->AddOutput("Out " + std::to_string(n)));
  }
  create(ports, midi);
}

BridgeRig::BridgeRig(int ports, std::shared_ptr<platform::midi::MidiService> service)
    : names_({dir_.path() / "dev", dir_.path() / "sys"}) {
  create(ports, std::move(service));
}

void BridgeRig::create(int ports, std::shared_ptr<platform::midi::MidiService> service) {
  fs::create_directories(dir_.path() / "dev");
  fs::create_directories(dir_.path() / "sys/class/tty");
  for (int port = 1; port <= ports; ++port) {
    ptys_.push_back(std::make_unique<testing::PtyPair>());
    far_.push_back(nullptr);
    link(port);
  }
  platform::MessagePump::current().setErrorReport([this](std::exception_ptr) { ++reported_; });
  factory_ = std::make_unique<core::RealDeviceFactory>(std::move(service), names_);
  bridge = std::make_unique<core::Bridge>(*factory_, clock_);
  form = std::make_unique<ui::TfmMain>(*bridge, window);
}

BridgeRig::~BridgeRig() {
  form->FormClose();
  bridge->Finalize();
  form.reset();
  bridge.reset();
  for (auto& far : far_) {
    if (far) far->Stop();
  }
  // Whatever the closing left behind is handled before the next test's pump runs.
  PumpFor(50ms);
  platform::MessagePump::current().setErrorReport(nullptr);
}

void BridgeRig::link(int port) {
  const fs::path name = dir_.path() / "dev" / ("ttyV" + std::to_string(port - 1));
  std::error_code ignored;
  fs::remove(name, ignored);
  auto& pty = *ptys_.at(static_cast<std::size_t>(port - 1));
  fs::create_symlink(pty.slavePath(), name);
  far_.at(static_cast<std::size_t>(port - 1)) = std::make_unique<FarEnd>(pty.master());
}

void BridgeRig::Start() {
  form->FormCreate();
}

bool BridgeRig::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
  return testing::PumpUntil(done, bound);
}

void BridgeRig::PumpFor(std::chrono::milliseconds time) {
  testing::PumpFor(time);
}

void BridgeRig::ChooseComPort(int index) {
  window.ListSetSelected(core::DeviceList::ComPort, index);
  form->cbComPortChange();
}

void BridgeRig::ChooseMidiIn(int index) {
  window.ListSetSelected(core::DeviceList::MidiIn, index);
  form->cbMIDIInChange();
}

void BridgeRig::ChooseMidiOut(int index) {
  window.ListSetSelected(core::DeviceList::MidiOut, index);
  form->cbMIDIOutChange();
}

void BridgeRig::Unplug(int port) {
  Far(port).Stop();
  Pty(port).closeMaster();
}

void BridgeRig::Replug(int port) {
  far_.at(static_cast<std::size_t>(port - 1)).reset();
  ptys_.at(static_cast<std::size_t>(port - 1)) = std::make_unique<testing::PtyPair>();
  link(port);
}

void BridgeRig::Vanish(int port) {
  Unplug(port);
  std::error_code ignored;
  fs::remove(Dev() / ("ttyV" + std::to_string(port - 1)), ignored);
}

int BridgeRig::AddPort() {
  ptys_.push_back(std::make_unique<testing::PtyPair>());
  far_.push_back(nullptr);
  const int port = static_cast<int>(ptys_.size());
  link(port);
  return port;
}

bool BridgeRig::WriteFar(int port, const Bytes& bytes, std::chrono::milliseconds bound) {
  const int master = Pty(port).master();
  std::size_t done = 0;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (done < bytes.size()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else {
      pollfd p{master, POLLOUT, 0};
      ::poll(&p, 1, 20);
    }
  }
  return true;
}

std::vector<SimulatedMidiService::Sent> BridgeRig::MidiSent(int output) const {
  return midi->SentTo(outputs.at(static_cast<std::size_t>(output - 1)));
}

bool BridgeRig::MidiSentWellFormed(int output, std::string* what) const {
  auto fail = [&](const std::string& text) {
    if (what) *what = text;
    return false;
  };
  for (const auto& sent : MidiSent(output)) {
    if (sent.isLong) {
      const Bytes& b = sent.bytes;
      if (b.size() < 2 || b.front() != 0xF0 || b.back() != 0xF7) return fail("bad sysex frame");
      for (std::size_t k = 1; k + 1 < b.size(); ++k) {
        if (b[k] >= 0x80) return fail("status byte inside sysex");
      }
      continue;
    }
    const auto status = static_cast<std::uint8_t>(sent.packed & 0xFF);
    const std::size_t length = platform::midi::ShortMessageLength(status);
    if (status < 0x80 || length == 0) return fail("short message without a status byte");
    for (std::size_t k = 1; k < length; ++k) {
      if (((sent.packed >> (8 * k)) & 0xFF) >= 0x80) return fail("status byte as data");
    }
  }
  return true;
}

std::optional<std::chrono::microseconds> BridgeRig::ProbeLatency(std::chrono::milliseconds bound) {
  std::optional<std::chrono::steady_clock::time_point> handled;
  platform::MessageWindow probe([&](const platform::Message&) -> std::intptr_t {
    handled = std::chrono::steady_clock::now();
    return 0;
  });
  const auto posted = std::chrono::steady_clock::now();
  probe.post(platform::WM_USER + 0x77);
  if (!PumpUntil([&] { return handled.has_value(); }, bound)) return std::nullopt;
  return std::chrono::duration_cast<std::chrono::microseconds>(*handled - posted);
}

std::size_t ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
  }
  return 0;
}

}  // namespace velmora::faults
