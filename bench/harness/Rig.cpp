#include "Rig.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "core/MidiDeviceAdapters.h"
#include "platform/serial/SerialNames.h"

namespace velmora::bench {

namespace fs = std::filesystem;
namespace pm = platform::midi;

StopSignal::StopSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) throw std::runtime_error("eventfd failed");
}
StopSignal::~StopSignal() {
  close(fd_);
}
void StopSignal::raise() const {
  const std::uint64_t one = 1;
  (void)!write(fd_, &one, sizeof one);
}

// ---- SerialTap --------------------------------------------------------------------------

SerialTap::SerialTap(int fd, Handler handler)
    : fd_(fd), handler_(std::move(handler)), thread_([this] { Run(); }) {}

SerialTap::~SerialTap() {
  stop_.raise();
  thread_.join();
}

void ReadMessages(
    int fd, const StopSignal& stop,
    const std::function<void(std::uint32_t packed, SteadyClock::time_point at)>& take) {
  std::uint8_t buffer[4096];
  std::uint8_t message[3];
  std::size_t have = 0;
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop.fd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    const ssize_t got = read(fd, buffer, sizeof buffer);
    const auto at = SteadyClock::now();
    for (ssize_t i = 0; i < got; ++i) {
      // A status byte always starts a message: the stream resynchronises after a loss.
      if (buffer[i] & 0x80) have = 0;
      if (have < 3) message[have++] = buffer[i];
      if (have == 3) {
        take(message[0] | (message[1] << 8) | (message[2] << 16), at);
        have = 0;
      }
    }
  }
}

void SerialTap::Run() {
  ReadMessages(fd_, stop_, handler_);
}

// ---- BridgeRig --------------------------------------------------------------------------

BridgeRig::BridgeRig(std::shared_ptr<pm::MidiService> service, const Pty& pty) {
  dir_ = fs::temp_directory_path() / ("velmora-bench-" + std::to_string(getpid()));
  fs::create_directories(dir_ / "dev");
  fs::remove(dir_ / "dev/ttyV0");
  fs::create_symlink(pty.slavePath(), dir_ / "dev/ttyV0");
  factory_ = std::make_unique<core::RealDeviceFactory>(
      std::move(service), platform::SerialNameSpace({dir_ / "dev", dir_ / "sys"}));
  bridge_ = std::make_unique<core::Bridge>(*factory_);
  form_ = std::make_unique<ui::TfmMain>(*bridge_, window_);
  if (auto* input = dynamic_cast<core::RealMidiInput*>(bridge_->MidiInput.get())) {
    input->Component().SetOnOverflow([this](midi::TMidiInput&, std::uint64_t refused) {
      refusals_.fetch_add(refused, std::memory_order_relaxed);
    });
  }
  form_->FormCreate();
}

BridgeRig::~BridgeRig() {
  form_->FormClose();
  bridge_->Finalize();
  form_.reset();
  bridge_.reset();
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

bool BridgeRig::Ready() const {
  for (auto shape : {core::Shape::ComPort, core::Shape::MidiIn, core::Shape::MidiOut}) {
    if (window_.ShapeColor(shape) != core::kOpenColor) return false;
  }
  return bridge_->ComPortOpened;
}

bool BridgeRig::SelectMidi(const std::string& input, const std::string& output) {
  auto select = [&](core::DeviceList list, const std::string& name) {
    for (int i = 0; i < window_.ListCount(list); ++i) {
      if (window_.ListItem(list, i) == name) {
        window_.ListSetSelected(list, i);
        return true;
      }
    }
    return false;
  };
  // One list after the other, as a user does: a change of one may list the other anew.
  if (!select(core::DeviceList::MidiIn, input)) return false;
  form_->cbMIDIInChange();
  if (!select(core::DeviceList::MidiOut, output)) return false;
  form_->cbMIDIOutChange();
  return true;
}

std::string BridgeRig::Selected(core::DeviceList list) const {
  const int index = window_.ListSelected(list);
  return index < 0 ? std::string{} : window_.ListItem(list, index);
}

// ---- Floor ------------------------------------------------------------------------------

Floor::Floor(pm::MidiService& service, std::uint32_t inputId, std::uint32_t outputId,
             const Pty& pty, Stream& toSerial, Stream& toMidi)
    : service_(service), toSerial_(toSerial), toMidi_(toMidi), fd_(pty.openSlaveRaw()) {
  ready_ =
      service_.midiOutOpen(&out_, outputId, &Floor::Callback,
                           reinterpret_cast<std::uintptr_t>(this),
                           pm::CALLBACK_FUNCTION) == pm::MMSYSERR_NOERROR &&
      service_.midiInOpen(&in_, inputId, &Floor::Callback, reinterpret_cast<std::uintptr_t>(this),
                          pm::CALLBACK_FUNCTION) == pm::MMSYSERR_NOERROR &&
      service_.midiInStart(in_) == pm::MMSYSERR_NOERROR;
  reader_ = std::thread([this] { Read(); });
}

Floor::~Floor() {
  stop_.raise();
  reader_.join();
  if (in_) {
    service_.midiInStop(in_);
    service_.midiInReset(in_);
    service_.midiInClose(in_);
  }
  if (out_) service_.midiOutClose(out_);
  close(fd_);
}

void Floor::Callback(void*, std::uint32_t message, std::uintptr_t instance, std::uintptr_t param1,
                     std::uintptr_t) {
  const auto at = SteadyClock::now();
  if (message != pm::MIM_DATA) return;
  auto* self = reinterpret_cast<Floor*>(instance);
  const auto packed = static_cast<std::uint32_t>(param1);
  self->toSerial_.Left(SeqOf(packed), at);
  const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(packed),
                                 static_cast<std::uint8_t>(packed >> 8),
                                 static_cast<std::uint8_t>(packed >> 16)};
  // As many bytes as the message has: a clock byte alone.
  WriteAll(self->fd_, bytes, std::max<std::size_t>(1, pm::ShortMessageLength(bytes[0])));
}

void Floor::Read() {
  // Stamped when each message is handed on, as the bridge's output is.
  ReadMessages(fd_, stop_, [this](std::uint32_t packed, SteadyClock::time_point) {
    toMidi_.Arrived(packed, SteadyClock::now());
    if (out_) service_.midiOutShortMsg(out_, packed);
  });
}

}  // namespace velmora::bench
