// velmora-peer: the other side of Velmora's two links, for trying it without hardware.
//
//   velmora-peer demo SERIAL-DEVICE      plays MIDI into Velmora over JACK and bytes into the
//                                        serial line, and prints what comes back on both
//   velmora-peer jack-send HEX...        sends one message from our JACK output
//   velmora-peer jack-listen             prints what reaches our JACK input
//   velmora-peer serial-write DEVICE HEX...
//   velmora-peer serial-read DEVICE
//
// HEX is a message as hex bytes, e.g. 903C64. Stops on Ctrl-C.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

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

// The far end of the serial line, raw.
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

  void write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size() && !stopRequested) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        throw std::runtime_error(std::string("serial write: ") + std::strerror(errno));
      } else {
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      }
    }
  }
  // What arrived within the time-out, possibly nothing.
  std::vector<std::uint8_t> read(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return {};
    std::uint8_t buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) return {};
    return {buffer, buffer + n};
  }

 private:
  int fd_;
};

int demo(const std::string& device) {
  JackPeer peer("velmora-peer");
  SerialEnd serial(device);
  std::printf("JACK ports %s (choose it as Velmora's MIDI In) and %s (its MIDI Out); serial %s\n",
              peer.outPortName().c_str(), peer.inPortName().c_str(), device.c_str());
  std::thread listener([&] {
    while (!stopRequested) {
      if (auto message = peer.receive(100ms)) {
        std::printf("[JACK in]   %s\n", hex(message->data(), message->size()).c_str());
        std::fflush(stdout);
      }
    }
  });
  std::thread reader([&] {
    while (!stopRequested) {
      const auto bytes = serial.read(100ms);
      if (!bytes.empty()) {
        std::printf("[serial in] %s\n", hex(bytes.data(), bytes.size()).c_str());
        std::fflush(stdout);
      }
    }
  });
  const std::uint8_t notes[] = {0x3C, 0x40, 0x43, 0x48};
  for (unsigned step = 0; !stopRequested; ++step) {
    const std::uint8_t note = notes[step % 4];
    peer.send({0x90, note, 0x64});
    std::printf("[JACK out]  90 %02X 64\n", note);
    serial.write({0x91, note, 0x50});
    std::printf("[serial out] 91 %02X 50\n", note);
    std::fflush(stdout);
    for (int i = 0; i < 10 && !stopRequested; ++i) std::this_thread::sleep_for(100ms);
    peer.send({0x80, note, 0x00});
    serial.write({0x81, note, 0x00});
  }
  listener.join();
  reader.join();
  return 0;
}

int jackSend(const std::vector<std::string>& args) {
  JackPeer peer("velmora-peer");
  // Whoever should hear it connects to our output first.
  for (int i = 0; i < 100 && !peer.outConnected() && !stopRequested; ++i) {
    std::this_thread::sleep_for(50ms);
  }
  for (const auto& arg : args) peer.send(parseHex(arg));
  std::this_thread::sleep_for(200ms);  // a few process cycles to get them out
  return 0;
}

int jackListen() {
  JackPeer peer("velmora-peer");
  std::printf("listening on %s\n", peer.inPortName().c_str());
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
  return 0;
}

int serialRead(const std::string& device) {
  SerialEnd serial(device);
  while (!stopRequested) {
    const auto bytes = serial.read(100ms);
    if (!bytes.empty()) {
      std::printf("%s\n", hex(bytes.data(), bytes.size()).c_str());
      std::fflush(stdout);
    }
  }
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: velmora-peer demo SERIAL-DEVICE | jack-send HEX... | jack-listen |\n"
               "       serial-write DEVICE HEX... | serial-read DEVICE\n");
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
    return usage();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velmora-peer: %s\n", e.what());
    return 1;
  }
}
