#include "app/HeadlessRun.h"

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <string>
#include <string_view>

#include "core/WindowModel.h"
#include "platform/Clock.h"
#include "platform/MessagePump.h"
#include "ui/MainWindowHandlers.h"

namespace velmora::app {

namespace {

constexpr std::uint32_t kQuitMessage = platform::WM_USER + 1;
constexpr std::uint32_t kPanicMessage = platform::WM_USER + 2;  // SIGUSR1: "Tout arrêter"

// Each console line starts with the local time to the millisecond. A burst prints thousands of
// lines a second: the date and the second are formatted once a second, not once a line.
class TimeStamp {
 public:
  // The stamp of now, valid until the next call.
  std::string_view now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    if (seconds != second_) {
      const std::tm local = platform::LocalTime(seconds);
      length_ = std::strftime(text_, sizeof text_, "%Y-%m-%d %H:%M:%S.", &local);
      second_ = seconds;
    }
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    text_[length_] = static_cast<char>('0' + millis / 100);
    text_[length_ + 1] = static_cast<char>('0' + millis / 10 % 10);
    text_[length_ + 2] = static_cast<char>('0' + millis % 10);
    text_[length_ + 3] = ' ';
    return {text_, length_ + 4};
  }

 private:
  std::time_t second_ = -1;
  std::size_t length_ = 0;
  char text_[48] = {};
};

char parityLetter(serial::TParity parity) {
  static constexpr char kLetters[] = "NOEMS";
  return kLetters[static_cast<int>(parity)];
}

// Prints what the window would show; tracks each shape so that only changes are told.
class Console {
 public:
  Console(core::Bridge& bridge, core::WindowModel& window, std::FILE* out,
          const std::string& profile)
      : bridge_(bridge),
        window_(window),
        out_(out),
        state_(std::string("État (") + profile + ") : ") {
    window.SetOnLogLine([this](const std::string& line) { print(line); });
    window.SetOnShapeColor([this](core::Shape shape, serial::TColor color) {
      if (color == core::kOpenColor || color == core::kClosedColor) {
        showState(shape, color == core::kOpenColor);
      }
    });
  }
  ~Console() {
    window_.SetOnLogLine(nullptr);
    window_.SetOnShapeColor(nullptr);
    std::fflush(out_);
  }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // The bridge colours nothing while it closes: what was told open is told closed here.
  void closeAll() {
    for (const auto shape : {core::Shape::ComPort, core::Shape::MidiIn, core::Shape::MidiOut}) {
      showState(shape, false);
    }
  }

  // A line per message would cost a write each: while lines come, they go out together every
  // kFlushInterval (at once on a terminal, which the C library flushes by line). Each line is
  // handed to the C library whole, in one call: one lock of the stream, not three.
  void print(const std::string& line) {
    text_.assign(stamp_.now());
    text_.append(line);
    text_.push_back('\n');
    std::fwrite(text_.data(), 1, text_.size(), out_);
    if (!flushArmed_) {
      flusher_.setTimer(kFlushTimer, kFlushInterval);
      flushArmed_ = true;
    }
  }

 private:
  void showState(core::Shape shape, bool open) {
    auto& shown = shown_[static_cast<std::size_t>(shape)];
    if (shown == (open ? 1 : 0) || (!open && shown == -1 && bridge_.Closing)) return;
    shown = open ? 1 : 0;
    static constexpr const char* kNames[] = {"RS232", "MIDI In", "MIDI Out"};
    static constexpr core::DeviceList kLists[] = {
        core::DeviceList::ComPort, core::DeviceList::MidiIn, core::DeviceList::MidiOut};
    const auto index = static_cast<std::size_t>(shape);
    std::string line = state_ + kNames[index] + (open ? " ouvert" : " fermé");
    const std::string device = window_.ListSelectedText(kLists[index]);
    if (!device.empty()) line += " : " + device;
    if (shape == core::Shape::ComPort && open && bridge_.SerialPort) {
      const auto& port = *bridge_.SerialPort;
      // Appended, not prefixed: MinGW's GCC 12 warns of a false overlap in " " + string.
      line += ' ';
      line += std::to_string(port.Baud()) + "," + std::to_string(port.DataBits()) + "," +
              parityLetter(port.Parity()) + "," + std::to_string(port.StopBits());
    }
    print(line);
  }

  core::Bridge& bridge_;
  core::WindowModel& window_;
  std::FILE* out_;
  static constexpr std::uintptr_t kFlushTimer = 1;
  static constexpr std::chrono::milliseconds kFlushInterval{50};

  const std::string state_;               // the status lines' start, with the profile's name
  std::array<int, 3> shown_{-1, -1, -1};  // -1: not told yet
  bool flushArmed_ = false;               // lines wait for the flush timer
  TimeStamp stamp_;
  std::string text_;  // the line being printed, whose capacity stays
  platform::MessageWindow flusher_{[this](const platform::Message& message) -> std::intptr_t {
    if (message.id == platform::WM_TIMER) {
      flusher_.killTimer(kFlushTimer);
      flushArmed_ = false;
      std::fflush(out_);
    }
    return 0;
  }};
};

}  // namespace

int RunHeadless(core::Bridge& bridge, SignalWatch& signals, const core::SettingsStore& settings,
                std::FILE* out) {
  auto& pump = platform::MessagePump::current();
  platform::MessageWindow quitter(
      [&pump, &bridge](const platform::Message& message) -> std::intptr_t {
        if (message.id == kQuitMessage) pump.quit();
        if (message.id == kPanicMessage) bridge.Panic();
        return 0;
      });
  // The first stop signal stops through the close path, which lets what waits for the line go
  // out; a second one, from a user who will not wait, ends the program at once.
  signals.Start([target = quitter.ref(), stops = 0](int signal) mutable {
#ifdef SIGUSR1
    if (signal == SIGUSR1) {
      target.post(kPanicMessage, 0);
      return;
    }
#endif
    if (stops++ > 0) {
      std::fflush(nullptr);
      std::_Exit(128 + signal);
    }
    target.post(kQuitMessage, static_cast<std::uintptr_t>(signal));
  });

  core::WindowModel window;
  {
    Console console(bridge, window, out, settings.Profile());
    ui::TfmMain form(bridge, window);
    try {
      form.FormCreate();
    } catch (const std::exception& error) {
      // The window would show it in a message box and carry on.
      console.print(std::string("Erreur : ") + error.what());
    }
    form.ShowSettingsWarning(settings.Problem());
    pump.run();
    console.print("Arrêt demandé");
    form.FormClose();
    // The note offs of the input's closing and whatever else waits go out first.
    pump.resetQuit();
    bridge.DrainForExit();
    // The devices go while the window's lamps, which the light controller drives, still exist.
    bridge.Finalize();
    console.closeAll();
  }
  return 0;
}

}  // namespace velmora::app
