// velmora-peer: the other side of Velmora's two links, for trying it without hardware.
//
//   velmora-peer demo SERIAL-DEVICE      plays MIDI into Velmora over JACK and bytes into the
//                                        serial line, and prints what comes back on both
//   velmora-peer jack-send HEX...        sends one message from our JACK output
//   velmora-peer jack-listen             prints what reaches our JACK input
//   velmora-peer serial-write DEVICE HEX...
//   velmora-peer serial-read DEVICE
//   velmora-peer soak DEVICE SECONDS [RATE]
//                                        plays numbered notes at RATE messages a second (1000,
//                                        the MIDI line's own rate) into both links for SECONDS and
//                                        reports sent, received, lost and out of order each way;
//                                        exits 0 when nothing was lost
//
// HEX is a message as hex bytes, e.g. 903C64. Stops on Ctrl-C.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tools/JackPeer.h"

using namespace std::chrono_literals;
using velmora::tools::JackPeer;

namespace {

std::atomic<bool> stopRequested = false;

void onSignal(int) {
  stopRequested = true;
}

std::vector<std::uint8_t> parseHex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
  }
  if (digits.size() % 2 != 0) throw std::invalid_argument("odd number of hex digits: " + text);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string hex(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  char digits[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(digits, sizeof digits, i ? " %02X" : "%02X", bytes[i]);
    text += digits;
  }
  return text;
}

// The far end of the serial line, raw. It may vanish under us (socat ended, the adapter was
// pulled): then reads come back empty and writes false, and gone() says so, for any thread.
class SerialEnd {
 public:
  explicit SerialEnd(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    termios settings{};
    if (tcgetattr(fd_, &settings) == 0) {
      cfmakeraw(&settings);
      cfsetspeed(&settings, B38400);
      tcsetattr(fd_, TCSANOW, &settings);
    }
  }
  ~SerialEnd() { ::close(fd_); }
  SerialEnd(const SerialEnd&) = delete;
  SerialEnd& operator=(const SerialEnd&) = delete;

  bool write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size() && !stopRequested && !gone()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        lose(errno);
      } else {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 100) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) lose(EIO);
      }
    }
    return done == bytes.size();
  }
  // What arrived within the time-out, possibly nothing.
  std::vector<std::uint8_t> read(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (gone() || ::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return {};
    std::uint8_t buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) return {buffer, buffer + n};
    // A hung-up pseudo-terminal reads as end of file or EIO, at once, for ever.
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) lose(n == 0 ? EIO : errno);
    return {};
  }
  bool gone() const { return error_.load() != 0; }
  std::string why() const { return std::strerror(error_.load()); }

 private:
  void lose(int error) {
    int none = 0;
    error_.compare_exchange_strong(none, error ? error : EIO);
  }

  int fd_;
  std::atomic<int> error_{0};  // the first error that ended the link; set by any thread
};

// Tells the user why a command that needs the serial line ended early.
int linkLost(const SerialEnd& serial, const std::string& device) {
  std::fprintf(stderr, "velmora-peer: the serial line %s is gone (%s)\n", device.c_str(),
               serial.why().c_str());
  return 1;
}

int demo(const std::string& device) {
  JackPeer peer("velmora-peer");
  SerialEnd serial(device);
  std::printf("JACK ports %s (choose it as Velmora's MIDI In) and %s (its MIDI Out); serial %s\n",
              peer.outPortName().c_str(), peer.inPortName().c_str(), device.c_str());
  const auto running = [&] { return !stopRequested && !serial.gone(); };
  // Both print what comes back. They end with the line, on Ctrl-C, or when their destructors
  // ask them to on any other way out of here, and are joined there.
  std::jthread listener([&](std::stop_token stop) {
    while (running() && !stop.stop_requested()) {
      if (auto message = peer.receive(100ms)) {
        std::printf("[JACK in]   %s\n", hex(message->data(), message->size()).c_str());
        std::fflush(stdout);
      }
    }
  });
  std::jthread reader([&](std::stop_token stop) {
    while (running() && !stop.stop_requested()) {
      const auto bytes = serial.read(100ms);
      if (!bytes.empty()) {
        std::printf("[serial in] %s\n", hex(bytes.data(), bytes.size()).c_str());
        std::fflush(stdout);
      }
    }
  });
  const std::uint8_t notes[] = {0x3C, 0x40, 0x43, 0x48};
  for (unsigned step = 0; running(); ++step) {
    const std::uint8_t note = notes[step % 4];
    peer.send({0x90, note, 0x64});
    std::printf("[JACK out]  90 %02X 64\n", note);
    if (serial.write({0x91, note, 0x50})) std::printf("[serial out] 91 %02X 50\n", note);
    std::fflush(stdout);
    for (int i = 0; i < 10 && running(); ++i) std::this_thread::sleep_for(100ms);
    peer.send({0x80, note, 0x00});
    serial.write({0x81, note, 0x00});
  }
  return serial.gone() ? linkLost(serial, device) : 0;
}

int jackSend(const std::vector<std::string>& args) {
  JackPeer peer("velmora-peer");
  // Whoever should hear it connects to our output first.
  for (int i = 0; i < 100 && !peer.outConnected() && !stopRequested; ++i) {
    std::this_thread::sleep_for(50ms);
  }
  for (const auto& arg : args) peer.send(parseHex(arg));
  return peer.waitSent(5s) ? 0 : 1;
}

int jackListen() {
  JackPeer peer("velmora-peer");
  std::printf("listening on %s\n", peer.inPortName().c_str());
  std::fflush(stdout);  // a reader may wait for this line before anything else comes
  while (!stopRequested) {
    if (auto message = peer.receive(100ms)) {
      std::printf("%s\n", hex(message->data(), message->size()).c_str());
      std::fflush(stdout);
    }
  }
  return 0;
}

int serialWrite(const std::string& device, const std::vector<std::string>& args) {
  SerialEnd serial(device);
  for (const auto& arg : args) serial.write(parseHex(arg));
  return serial.gone() ? linkLost(serial, device) : 0;
}

int serialRead(const std::string& device) {
  SerialEnd serial(device);
  while (!stopRequested && !serial.gone()) {
    const auto bytes = serial.read(100ms);
    if (!bytes.empty()) {
      std::printf("%s\n", hex(bytes.data(), bytes.size()).c_str());
      std::fflush(stdout);
    }
  }
  return serial.gone() ? linkLost(serial, device) : 0;
}

// Message n: note-on on channel (n >> 14) & 15, note (n >> 7) & 127, velocity n & 127. A
// receiver that knows the next number it expects tells a lost message from a reordered one.
constexpr std::uint32_t kNumbers = 1u << 18;

std::vector<std::uint8_t> Encode(std::uint32_t n) {
  n %= kNumbers;
  return {static_cast<std::uint8_t>(0x90 | ((n >> 14) & 0x0F)),
          static_cast<std::uint8_t>((n >> 7) & 0x7F), static_cast<std::uint8_t>(n & 0x7F)};
}

// The number of a message, or -1 when it is not one of ours.
long Decode(const std::uint8_t* m, std::size_t size) {
  if (size != 3 || (m[0] & 0xF0) != 0x90 || m[1] > 0x7F || m[2] > 0x7F) return -1;
  return static_cast<long>(((m[0] & 0x0Fu) << 14) | (m[1] << 7) | m[2]);
}

// Counts one direction. The sender's thread writes `sent`; the receiver's thread the rest.
struct Direction {
  explicit Direction(const JackPeer& jack) : jack(jack) {}

  const JackPeer& jack;  // its xruns tell JACK's losses from ours
  std::atomic<std::uint64_t> sent{0};
  std::atomic<std::uint64_t> received{0};      // distinct numbers
  std::atomic<std::uint64_t> disorder{0};      // numbers that came back behind a later one
  std::atomic<std::uint64_t> duplicated{0};    // numbers that came back twice
  std::atomic<std::uint64_t> foreign{0};       // messages or bytes that are not ours
  std::atomic<std::uint64_t> lostNearXrun{0};  // skipped within 250 ms after a JACK xrun
  // Receiver's own from here on.
  std::uint64_t expected = 0;  // the next number, counted from the start (not wrapped)
  // For each wrapped number, the unwrapped one last received with it.
  std::vector<std::uint64_t> last = std::vector<std::uint64_t>(kNumbers, ~std::uint64_t{0});
  // The first gaps (first missing number, length), read after the receiver ended.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> gaps;

  void Take(long number) {
    if (number < 0) {
      ++foreign;
      return;
    }
    const auto n = static_cast<std::uint32_t>(number);
    const std::uint32_t gap =
        (n + kNumbers - static_cast<std::uint32_t>(expected % kNumbers)) % kNumbers;
    if (gap >= kNumbers / 2) {  // behind: a late one, or one we already had
      const std::uint64_t behind = kNumbers - gap;
      if (behind > expected) {
        ++foreign;
        return;
      }
      const std::uint64_t whole = expected - behind;
      if (last[n] == whole) {
        ++duplicated;
        return;
      }
      last[n] = whole;
      ++received;
      ++disorder;
      return;
    }
    const std::uint64_t whole = expected + gap;
    last[n] = whole;
    ++received;
    if (gap > 0) {
      if (gaps.size() < 8) gaps.push_back({expected, gap});
      if (std::chrono::steady_clock::now() - jack.lastXrun() < 250ms) lostNearXrun += gap;
    }
    expected = whole + 1;
  }
};

// Plays `count` messages per second through `send` until stopped.
template <class Send>
void Pace(double rate, std::atomic<bool>& stop, Direction& direction, Send send) {
  const auto start = std::chrono::steady_clock::now();
  while (!stop.load()) {
    const auto due = static_cast<std::uint64_t>(
        rate * std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    while (direction.sent.load() < due && !stop.load()) {
      if (!send(Encode(static_cast<std::uint32_t>(direction.sent.load())))) return;
      ++direction.sent;
    }
    std::this_thread::sleep_for(2ms);
  }
}

void Report(const char* name, const Direction& d) {
  std::printf(
      "%s: sent %llu, received %llu, lost %llu (%llu of them just after a JACK xrun), out of "
      "order %llu, twice %llu, foreign %llu\n",
      name, static_cast<unsigned long long>(d.sent.load()),
      static_cast<unsigned long long>(d.received.load()),
      static_cast<unsigned long long>(d.sent.load() - std::min(d.sent.load(), d.received.load())),
      static_cast<unsigned long long>(d.lostNearXrun.load()),
      static_cast<unsigned long long>(d.disorder.load()),
      static_cast<unsigned long long>(d.duplicated.load()),
      static_cast<unsigned long long>(d.foreign.load()));
}

int soak(const std::string& device, int seconds, double rate) {
  // One client each way (see JackPeer::Ports).
  JackPeer toVelmora("velmora-soak-to", JackPeer::Ports::OutOnly);
  JackPeer fromVelmora("velmora-soak-from", JackPeer::Ports::InOnly);
  SerialEnd serial(device);
  std::printf("soak: JACK ports %s and %s; serial %s; waiting for Velmora\n",
              toVelmora.outPortName().c_str(), fromVelmora.inPortName().c_str(), device.c_str());
  std::fflush(stdout);
  for (int i = 0; i < 1200 && !(toVelmora.outConnected() && fromVelmora.inConnected()); ++i) {
    if (stopRequested) return 2;
    std::this_thread::sleep_for(50ms);
  }
  if (!(toVelmora.outConnected() && fromVelmora.inConnected())) {
    std::fprintf(stderr, "soak: Velmora did not connect to our JACK ports\n");
    return 2;
  }
  std::this_thread::sleep_for(1s);  // its start-up finishes (the port's switching delay)
  std::printf("soak: connected; %d s at %.0f messages a second each way\n", seconds, rate);
  std::fflush(stdout);

  Direction midiToSerial(toVelmora);
  Direction serialToMidi(toVelmora);
  std::atomic<bool> stopSending{false};
  std::atomic<bool> stopReceiving{false};
  // Four threads of this function: the senders end on stopSending, the receivers on
  // stopReceiving (or the line's end); both pairs are joined below.
  std::thread jackSender([&] {
    Pace(rate, stopSending, midiToSerial, [&](const std::vector<std::uint8_t>& m) {
      // The peer's ring is bounded: wait for room rather than lose a message of our own.
      while (!toVelmora.send(m)) {
        if (stopSending.load()) return false;
        std::this_thread::sleep_for(1ms);
      }
      return true;
    });
  });
  std::thread serialSender([&] {
    Pace(rate, stopSending, serialToMidi,
         [&](const std::vector<std::uint8_t>& m) { return serial.write(m); });
  });
  std::thread jackReceiver([&] {
    while (!stopReceiving.load()) {
      if (auto m = fromVelmora.receive(50ms)) serialToMidi.Take(Decode(m->data(), m->size()));
    }
  });
  std::thread serialReceiver([&] {
    std::vector<std::uint8_t> message;
    while (!stopReceiving.load() && !serial.gone()) {
      const std::vector<std::uint8_t> bytes = serial.read(50ms);
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] & 0x80) message.clear();
        message.push_back(bytes[i]);
        if (message.size() == 3) {
          midiToSerial.Take(Decode(message.data(), 3));
          message.clear();
        }
      }
    }
  });

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  auto nextReport = std::chrono::steady_clock::now() + 60s;
  while (!stopRequested && !serial.gone() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(100ms);
    if (std::chrono::steady_clock::now() >= nextReport) {
      Report("progress midi->serial", midiToSerial);
      Report("progress serial->midi", serialToMidi);
      std::fflush(stdout);
      nextReport += 60s;
    }
  }
  stopSending = true;
  jackSender.join();
  serialSender.join();
  // What is under way arrives.
  for (int i = 0; i < 100; ++i) {
    if (midiToSerial.received.load() >= midiToSerial.sent.load() &&
        serialToMidi.received.load() >= serialToMidi.sent.load())
      break;
    std::this_thread::sleep_for(50ms);
  }
  std::this_thread::sleep_for(500ms);
  stopReceiving = true;
  jackReceiver.join();
  serialReceiver.join();
  Report("midi->serial", midiToSerial);
  Report("serial->midi", serialToMidi);
  std::printf("soak: JACK xruns seen by the peer: %llu\n",
              static_cast<unsigned long long>(toVelmora.xruns()));
  for (const auto* d : {&midiToSerial, &serialToMidi}) {
    for (const auto& [first, length] : d->gaps) {
      std::printf("%s: gap of %u from message %llu\n",
                  d == &midiToSerial ? "midi->serial" : "serial->midi", length,
                  static_cast<unsigned long long>(first));
    }
  }
  if (serial.gone()) return linkLost(serial, device);
  const bool clean = midiToSerial.received.load() == midiToSerial.sent.load() &&
                     serialToMidi.received.load() == serialToMidi.sent.load() &&
                     midiToSerial.disorder.load() == 0 && serialToMidi.disorder.load() == 0 &&
                     midiToSerial.duplicated.load() == 0 && serialToMidi.duplicated.load() == 0;
  return clean ? 0 : 1;
}

int usage() {
  std::fprintf(stderr,
               "usage: velmora-peer demo SERIAL-DEVICE | jack-send HEX... | jack-listen |\n"
               "       serial-write DEVICE HEX... | serial-read DEVICE |\n"
               "       soak DEVICE SECONDS [MESSAGES-PER-SECOND]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage();
  try {
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "demo" && rest.size() == 1) return demo(rest[0]);
    if (command == "jack-send" && !rest.empty()) return jackSend(rest);
    if (command == "jack-listen" && rest.empty()) return jackListen();
    if (command == "serial-write" && rest.size() >= 2)
      return serialWrite(rest[0], {rest.begin() + 1, rest.end()});
    if (command == "serial-read" && rest.size() == 1) return serialRead(rest[0]);
    if (command == "soak" && (rest.size() == 2 || rest.size() == 3)) {
      return soak(rest[0], std::stoi(rest[1]), rest.size() == 3 ? std::stod(rest[2]) : 1000.0);
    }
    return usage();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velmora-peer: %s\n", e.what());
    return 1;
  }
}
