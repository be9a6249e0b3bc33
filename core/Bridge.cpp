#include "core/Bridge.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <utility>

#include "core/CommandLine.h"
#include "core/Delay.h"
#include "core/OpenFailureText.h"
#include "platform/midi/MidiService.h"
#include "platform/serial/SerialError.h"
#include "platform/serial/SerialNames.h"

namespace velmora::core {

namespace {

// Runs a step whose errors the bridge swallows.
template <typename Step>
void swallow(Step&& step) {
  try {
    step();
  } catch (...) {
  }
}

void appendHex(std::string& text, const std::uint8_t* bytes, std::size_t count, bool spaced) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < count; ++i) {
    if (spaced && i > 0) text.push_back(' ');
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
}

std::string hexJoin(const std::uint8_t* bytes, std::size_t count, bool spaced) {
  std::string text;
  text.reserve(count * 3);
  appendHex(text, bytes, count, spaced);
  return text;
}

}  // namespace

std::string ParityName(serial::TParity parity) {
  switch (parity) {
    case serial::TParity::pNone:
      return "pNone";
    case serial::TParity::pOdd:
      return "pOdd";
    case serial::TParity::pEven:
      return "pEven";
    case serial::TParity::pMark:
      return "pMark";
    case serial::TParity::pSpace:
      return "pSpace";
  }
  return {};
}

std::string AboutLineText(const LineSettings& line) {
  std::string text = "MIDI ↔ RS232, " + std::to_string(line.baud) + " bauds";
  if (line.dataBits != 8 || line.parity != serial::TParity::pNone || line.stopBits != 1) {
    text += ", " + std::to_string(line.dataBits) + "NOEMS"[static_cast<int>(line.parity)] +
            std::to_string(line.stopBits);
  }
  return text;
}

std::string SWFlowName(serial::TSWFlowOptions options) {
  switch (options) {
    case serial::TSWFlowOptions::swfNone:
      return "swfNone";
    case serial::TSWFlowOptions::swfReceive:
      return "swfReceive";
    case serial::TSWFlowOptions::swfTransmit:
      return "swfTransmit";
    case serial::TSWFlowOptions::swfBoth:
      return "swfBoth";
  }
  return {};
}

std::string HWFlowText(serial::THWFlowOptionSet options) {
  std::string text;
  if (options & serial::hwfUseDTR) text += ",hwfUseDTR";
  if (options & serial::hwfUseRTS) text += ",hwfUseRTS";
  if (options & serial::hwfRequireDSR) text += ",hwfRequireDSR";
  if (options & serial::hwfRequireCTS) text += ",hwfRequireCTS";
  if (!text.empty() && text.front() == ',') text.erase(0, 1);
  return "[" + text + "]";
}

std::string SpacedHex(const std::uint8_t* bytes, std::size_t count) {
  return hexJoin(bytes, count, true);
}

void AppendSpacedHex(std::string& text, const std::uint8_t* bytes, std::size_t count) {
  appendHex(text, bytes, count, true);
}

std::string UnspacedHex(const std::uint8_t* bytes, std::size_t count) {
  return hexJoin(bytes, count, false);
}

std::string LogHex(const std::uint8_t* bytes, std::size_t count, bool spaced) {
  LoggedBytes whole;
  whole.Add(bytes, count);
  return whole.Text(spaced);
}

void LoggedBytes::Add(const std::uint8_t* bytes, std::size_t count) {
  if (count_ < head_.size()) {
    const std::size_t taken = std::min(count, head_.size() - count_);
    std::copy(bytes, bytes + taken, head_.begin() + static_cast<std::ptrdiff_t>(count_));
  }
  // The tail keeps the last kTail bytes of everything added so far.
  const std::size_t fresh = std::min(count, kTail);
  std::copy(tail_.begin() + static_cast<std::ptrdiff_t>(fresh), tail_.end(), tail_.begin());
  std::copy(bytes + count - fresh, bytes + count,
            tail_.begin() + static_cast<std::ptrdiff_t>(kTail - fresh));
  count_ += count;
}

std::string LoggedBytes::Text(bool spaced) const {
  if (count_ <= head_.size()) return hexJoin(head_.data(), count_, spaced);
  return hexJoin(head_.data(), kHead, spaced) + (spaced ? " … " : "…") +
         hexJoin(tail_.data(), kTail, spaced) + " (" + std::to_string(count_) + ")";
}

// ---- Lifecycle --------------------------------------------------------------------------

namespace {
constexpr unsigned kSerialChanged = 1;
constexpr unsigned kMidiChanged = 2;
constexpr std::uint32_t kDevicesChangedMessage = platform::WM_USER + 0x160;
constexpr std::uintptr_t kRetryTimer = 1;
constexpr auto kRetryInterval = std::chrono::seconds(1);
// A chosen device that is not there: it stays chosen and nothing else is opened.
constexpr const char* kWaitsForIt = "absent, ouvert dès son arrivée";
}  // namespace

Bridge::Bridge(DeviceFactory& factory, const platform::Clock& clock)
    : factory_(factory),
      clock_(clock),
      comPace_([this](const platform::Message& message) -> std::intptr_t {
        if (message.id == platform::WM_TIMER) drainComOut();
        return 0;
      }),
      comRetry_([this](const platform::Message& message) -> std::intptr_t {
        if (message.id == platform::WM_TIMER) retryComChoice();
        return 0;
      }),
      changes_([this](const platform::Message& message) -> std::intptr_t {
        devicesChanged(static_cast<unsigned>(message.wParam));
        return 0;
      }) {
  try {
    SerialPort = factory.CreateComPort();
    SerialPort->SetComNumber(1);
    SerialPort->SetBaud(kBridgeBaud);
  } catch (...) {
    SerialPort.reset();
  }
  try {
    DataPacket = factory.CreateDataPacket();
    if (DataPacket && SerialPort) {
      swallow([&] {
        DataPacket->SetComPort(SerialPort.get());
        DisablePacket();
      });
    }
  } catch (...) {
    DataPacket.reset();
  }
  try {
    SLController = factory.CreateSLController();
    if (SLController) SLController->SetMonitoring(false);
  } catch (...) {
  }
  createMidiDevices();
  swallow([&] { Probe = factory.CreatePortProbe(); });

  if (SerialPort) swallow([&] { SerialPort->SetOnDeviceLost([this] { ComPortLost(); }); });

  // Posts once per batch: the flag of a list is set until the UI thread takes it.
  const auto notify = [changed = changed_, window = changes_.ref()](unsigned which) {
    if ((changed->fetch_or(which) & which) == 0) window.post(kDevicesChangedMessage, which);
  };
  swallow([&] {
    watch_ = factory.WatchDevices([notify] { notify(kSerialChanged); },
                                  [notify] { notify(kMidiChanged); });
  });
}

Bridge::~Bridge() {
  Finalize();
}

// A MIDI device whose creation raised (no port of its kind at all, or no MIDI service yet) is
// created again when the ports change, so that a service that comes later is used.
void Bridge::createMidiDevices() {
  if (!MidiInput) {
    try {
      MidiInput = factory_.CreateMidiInput();
    } catch (...) {
      MidiInput.reset();
    }
    if (MidiInput) {
      swallow([&] {
        MidiInput->SetDroppedShort(DroppedShortStatuses(messages_.toSerial));
        MidiInput->SetOnDeviceLost([this] { MidiInLost(); });
        MidiInput->SetOnOverflow([this](std::uint64_t refused) {
          MidiInRefused += refused;
          lose(Loss::MidiInFull, {}, refused);
        });
        MidiInput->SetOnMalformed(
            [this](std::uint64_t refused) { lose(Loss::MidiInIncomplete, {}, refused); });
      });
      if (listsStarted_) hookMidiInput();
    }
  }
  if (!MidiOutput) {
    try {
      MidiOutput = factory_.CreateMidiOutput();
    } catch (...) {
      MidiOutput.reset();
    }
    if (MidiOutput) {
      swallow([&] { MidiOutput->SetOnDeviceLost([this] { MidiOutLost(); }); });
      if (listsStarted_) hookMidiOutput();
    }
  }
}

// The lists' filling hooks the devices' events, as start-up does; a device made later is
// hooked at once.
void Bridge::hookMidiInput() {
  if (!MidiInput) return;
  MidiInput->SetOnMidiInput([this](MidiInputDevice& sender) {
    if (fmMain) fmMain->DoMidiInput(sender);
  });
}

void Bridge::hookMidiOutput() {
  if (!MidiOutput) return;
  MidiOutput->SetOnMidiOutput([this] {
    if (fmMain) fmMain->DoMidiOutput();
  });
}

void Bridge::Finalize() {
  if (finalized_) return;
  finalized_ = true;
  Closing = true;
  watch_.reset();
  if (SLController) {
    swallow([&] {
      SLController->SetMonitoring(false);
      SLController->SetComPort(nullptr);
    });
    swallow([&] { SLController.reset(); });
  }
  if (DataPacket) {
    swallow([&] {
      DisablePacket();
      DataPacket->SetComPort(nullptr);
    });
    swallow([&] { DataPacket.reset(); });
  }
  if (SerialPort) {
    CloseComPort();
    swallow([&] { SerialPort.reset(); });
  }
  if (MidiInput) {
    CloseMidiIn();
    swallow([&] { MidiInput.reset(); });
  }
  if (MidiOutput) {
    CloseMidiOut();
    swallow([&] { MidiOutput.reset(); });
  }
  if (capture_) {
    // What the writer holds reaches the file, unless its disk or reader hangs.
    capture_->Finish(kCaptureFinish);
    capture_.reset();
  }
}

std::string Bridge::DrainForExit(std::chrono::milliseconds bound) {
  auto& pump = platform::MessagePump::current();
  const auto deadline = std::chrono::steady_clock::now() + bound;
  const auto waiting = [this] {
    bool held = false;
    swallow([&] { held = SerialPort && SerialPort->OutBuffUsed() > 0; });
    return ComPortOpened && (!comOut_.Empty() || held);
  };
  // The pace timer and the port's output thread do the work; this only waits for them.
  while (waiting() && std::chrono::steady_clock::now() < deadline) {
    drainComOut();
    pump.processMessages();
    pump.waitMessage(
        std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(5)));
  }
  const std::size_t left = comOut_.Clear();
  std::string line;
  if (left > 0) {
    line = ForwardingLosses::LineText(Loss::ComStopped, left, {});
    lose(Loss::ComStopped, {}, left);
  }
  armComPace();
  losses_.WriteOwed();
  return line;
}

void Bridge::colourShape(Shape shape, serial::TColor color) {
  if (Closing) return;
  swallow([&] {
    if (auto* window = surface()) window->SetShapeColor(shape, color);
  });
}

void Bridge::WireStatusLights() {
  if (!SLController) return;
  swallow([&] { SLController->SetComPort(SerialPort.get()); });
  if (auto* window = surface()) {
    SLController->SetTXDLight(&window->LampOf(Lamp::CPTx));
    SLController->SetRXDLight(&window->LampOf(Lamp::CPRx));
  }
}

void Bridge::EnablePacket() {
  if (!DataPacket) return;
  DataPacket->SetAutoEnable(true);
  DataPacket->SetEnabled(true);
}

void Bridge::DisablePacket() {
  if (!DataPacket) return;
  DataPacket->SetAutoEnable(false);
  DataPacket->SetEnabled(false);
}

void Bridge::SetComPortOpen(bool open) {
  if (!open) releaseHeldNotes();
  swallow([&] {
    if (SLController && SLController->Monitoring()) SLController->SetMonitoring(false);
  });
  colourShape(Shape::ComPort, kSwitchingColor);

  // Nothing may be written to a port that is being closed, nor mixed into the next one's
  // stream: both flags and the assembler are cleared before the port is touched.
  if (!open) ComPortOpened = false;
  assembler_.Reset();
  textFrames_.Reset();
  dropComOut(Loss::ComClosed);

  WindowSurface* window = surface();
  const Cursor saved = window ? window->ScreenCursor() : Cursor::Default;
  if (window) window->SetScreenCursor(Cursor::HourGlass);
  std::string failure;
  int osError = 0;
  std::string systemText;
  try {
    try {
      if (SerialPort) SerialPort->SetOpen(open);
    } catch (const std::exception& error) {
      failure = error.what();
      if (SerialPort) osError = SerialPort->LastOpenError();
      systemText = platform::LastSerialSystemText();
    } catch (...) {
      if (SerialPort) osError = SerialPort->LastOpenError();
      systemText = platform::LastSerialSystemText();
    }
    Delay(kSwitchDelayMs, true, clock_);
  } catch (...) {
  }
  if (window) swallow([&] { window->SetScreenCursor(saved); });

  swallow([&] {
    const bool opened = SerialPort && SerialPort->Open();
    ComPortOpened = opened && open;
  });
  if (ComPortOpened && SLController) swallow([&] { SLController->SetMonitoring(true); });
  if (ComPortOpened) paceComLine();
  // Notes on at a device that went cannot be switched off at the next.
  heldSerial_.Clear();
  if (open && ComPortOpened) {
    lastOpenFailure_[static_cast<std::size_t>(Shape::ComPort)].clear();
    losses_.EndEpisodes(LossPath::Com);
    logRefusedLine();
  } else if (open && !SerialPort) {
    reportOpenFailure(Shape::ComPort, DeviceLine("RS232", {}, "aucun port série"));
  } else if (open && comUnlisted_) {
    reportOpenFailure(Shape::ComPort, DeviceLine("RS232", {}, "aucun port série"));
  } else if (open) {
    reportOpenFailure(Shape::ComPort, DeviceLine("RS232", comPortLabel(),
                                                 SerialOpenReason(osError, failure, systemText)));
  }
  colourShape(Shape::ComPort,
              static_cast<serial::TColor>(IfThen(ComPortOpened, kOpenColor, kClosedColor)));
  const bool retry = open && !ComPortOpened && SerialPort && comWanted_ && comPresent_ && !Closing;
  if (retry != comRetrying_) {
    comRetrying_ = retry;
    swallow([&] {
      if (retry) {
        comRetry_.setTimer(kRetryTimer, kRetryInterval);
      } else {
        comRetry_.killTimer(kRetryTimer);
      }
    });
  }
  if (open) showComStatus();
}

void Bridge::retryComChoice() {
  // Stopped here, armed again by the opening if it fails once more.
  swallow([&] { comRetry_.killTimer(kRetryTimer); });
  comRetrying_ = false;
  if (Closing || ComPortOpened || !comWanted_ || !comPresent_) return;
  swallow([&] {
    if (SerialPort) SerialPort->SetComNumber(static_cast<std::uint16_t>(comChoice_.number));
  });
  SetComPortOpen(true);
}

void Bridge::showComStatus() {
  if (!listsStarted_) return;
  swallow([&] {
    if (auto* window = surface()) window->SetStatusText(1, ComPortStatusText(false));
  });
}

void Bridge::SelectComPort(std::int32_t number, bool reopen) {
  if (!selectingIdentity_) {
    // Chosen by its number: the device that has it now is the choice.
    std::vector<SerialEntry> ports;
    if (Probe) swallow([&] { ports = Probe->Ports(); });
    for (const auto& port : ports) {
      if (port.number == number) {
        SelectComIdentity(port.identity, reopen);
        return;
      }
    }
  }
  swallow([&] {
    // A closed port is not closed again: a close costs its switching delay.
    if (reopen && SerialPort && SerialPort->Open()) CloseComPort();
    if (SerialPort) SerialPort->SetComNumber(static_cast<std::uint16_t>(number > 0 ? number : 1));
    if (reopen) OpenComPort();
  });
}

void Bridge::SetMidiInOpen(bool open) {
  colourShape(Shape::MidiIn, kSwitchingColor);
  // Gray means switching only: whatever happens below ends red or green.
  if (!MidiInput) {
    // No MIDI service yet: a chosen port waits for it.
    if (open) {
      reportOpenFailure(Shape::MidiIn,
                        DeviceLine("MIDI-In", midiIn_.chosen,
                                   midiIn_.chosen.empty() ? "aucun port MIDI" : kWaitsForIt));
    }
    colourShape(Shape::MidiIn, kClosedColor);
    return;
  }
  try {
    if (open) {
      MidiInput->Open();
      MidiInput->Start();
      Delay(kSwitchDelayMs, true, clock_);
      const bool opened = MidiInput && MidiInput->State() == midi::TMidiPortState::mpsOpen;
      if (opened) {
        lastOpenFailure_[static_cast<std::size_t>(Shape::MidiIn)].clear();
        losses_.EndEpisodes(LossPath::MidiIn);
      } else if (MidiInput) {
        midiOpenFailed(Shape::MidiIn, MidiInput->ProductName(), MidiInput->LastError(),
                       MidiInput->LastErrorText());
      }
      colourShape(Shape::MidiIn,
                  static_cast<serial::TColor>(IfThen(opened, kOpenColor, kClosedColor)));
    } else {
      MidiInput->Stop();
      MidiInput->Close();
      releaseSerialNotes();
      colourShape(Shape::MidiIn, kClosedColor);
    }
  } catch (const std::exception& error) {
    if (open && MidiInput) midiOpenFailed(Shape::MidiIn, MidiInput->ProductName(), 0, error.what());
    colourShape(Shape::MidiIn, kClosedColor);
  } catch (...) {
    colourShape(Shape::MidiIn, kClosedColor);
  }
}

void Bridge::SetMidiOutOpen(bool open) {
  if (!open) releaseHeldNotes();
  colourShape(Shape::MidiOut, kSwitchingColor);
  if (!MidiOutput) {
    if (open) {
      reportOpenFailure(Shape::MidiOut,
                        DeviceLine("Midi-Out", midiOut_.chosen,
                                   midiOut_.chosen.empty() ? "aucun port MIDI" : kWaitsForIt));
    }
    colourShape(Shape::MidiOut, kClosedColor);
    return;
  }
  try {
    if (open) {
      const bool opened = MidiOutput->Open();
      if (opened) {
        // Notes held on an output that went away cannot be released there any more.
        held_.Clear();
        assembler_.SetMaxSysex(MidiOutput->LargestEvent());
        lastOpenFailure_[static_cast<std::size_t>(Shape::MidiOut)].clear();
        losses_.EndEpisodes(LossPath::MidiOut);
      } else {
        midiOpenFailed(Shape::MidiOut, MidiOutput->ProductName(), MidiOutput->LastError(),
                       MidiOutput->LastErrorText());
      }
      Delay(kSwitchDelayMs, true, clock_);
      // What the delay's messages did to the output (its loss, another switch) is in its
      // state, not in what the opening returned.
      colourShape(Shape::MidiOut,
                  static_cast<serial::TColor>(
                      IfThen(MidiOutput && MidiOutput->IsOpen(), kOpenColor, kClosedColor)));
    } else {
      MidiOutput->Close();
      colourShape(Shape::MidiOut, kClosedColor);
    }
  } catch (const std::exception& error) {
    if (open && MidiOutput) {
      midiOpenFailed(Shape::MidiOut, MidiOutput->ProductName(), 0, error.what());
    }
    colourShape(Shape::MidiOut, kClosedColor);
  } catch (...) {
    colourShape(Shape::MidiOut, kClosedColor);
  }
}

bool Bridge::MidiInOpen() const {
  bool open = false;
  swallow([&] { open = MidiInput && MidiInput->State() == midi::TMidiPortState::mpsOpen; });
  return open;
}

bool Bridge::MidiOutOpen() const {
  bool open = false;
  swallow([&] { open = MidiOutput && MidiOutput->IsOpen(); });
  return open;
}

void Bridge::ComPortLost() {
  if (!ComPortOpened) return;
  releaseHeldNotes();
  ComPortOpened = false;
  assembler_.Reset();
  textFrames_.Reset();
  dropComOut(Loss::ComClosed);
  swallow([&] {
    if (SLController && SLController->Monitoring()) SLController->SetMonitoring(false);
  });
  swallow([&] {
    if (SerialPort) SerialPort->SetOpen(false);
  });
  colourShape(Shape::ComPort, kClosedColor);
  comLost_ = true;
  logLine("[RS232] - " + comDevice_ + " : débranché");
}

void Bridge::MidiInLost() {
  bool wasOpen = false;
  bool cut = false;
  swallow([&] {
    if (!MidiInput) return;
    wasOpen = MidiInput->State() == midi::TMidiPortState::mpsOpen;
    cut = MidiInput->LinkCut();
    MidiInput->Stop();
    MidiInput->Close();
  });
  releaseSerialNotes();
  colourShape(Shape::MidiIn, kClosedColor);
  midiSideLost(midiIn_, wasOpen, cut, "[MIDI-In] - ");
}

void Bridge::MidiOutLost() {
  bool wasOpen = false;
  bool cut = false;
  swallow([&] {
    wasOpen = MidiOutput && MidiOutput->IsOpen();
    cut = wasOpen && MidiOutput->LinkCut();
  });
  swallow([&] {
    if (MidiOutput) MidiOutput->Close();
  });
  colourShape(Shape::MidiOut, kClosedColor);
  midiSideLost(midiOut_, wasOpen, cut, "[Midi-Out] - ");
}

// A device that vanished opens again when it is back; a link that the user cut in a patchbay
// stays cut until the user chooses the device again.
void Bridge::midiSideLost(MidiSide& side, bool wasOpen, bool cut, const char* tag) {
  if (!wasOpen) return;
  if (cut) {
    side.wanted = false;
    logLine(tag + side.chosen + " : lien coupé");
    return;
  }
  side.lost = true;
  logLine(tag + side.chosen + " : débranché");
}

// ---- Forwarding -------------------------------------------------------------------------

void Bridge::SendComBytes(const std::uint8_t* bytes, std::uint8_t count) {
  if (count == 0) return;
  if (!ComPortOpened || !SerialPort) {
    lose(Loss::ComClosed);
    return;
  }
  // Real time may go between any two bytes of what waits, in its own lane and its own order;
  // the rest keeps its order behind what waits.
  const bool realTime = bytes[0] >= 0xF8;
  try {
    const bool direct = realTime ? !comOut_.RealTimeWaiting() : comOut_.Empty();
    if (direct && SerialPort->OutBuffFree() >= count) {
      SerialPort->PutBlock(bytes, count);
      comOut_.Wrote(count, PacedSerialOutput::Clock::now());  // after the write, as below
      Capture(CaptureDirection::MidiToSerial, bytes, count);
    } else if (realTime ? !comOut_.PushRealTime(bytes[0])
                        : !comOut_.Append(bytes, count, false, true)) {
      ++ComTxRefused;
      lose(Loss::ComFull);
      return;
    }
  } catch (const std::exception& error) {
    lose(Loss::ComRefused, error.what());
    return;
  } catch (...) {
    lose(Loss::ComRefused);
    return;
  }
  heldSerial_.Sent(bytes, count);
  if (!drainComOut()) return;
  ++sentToSerial_;
  losses_.EndEpisodes(LossPath::Com);
  swallow([&] {
    const std::string text = SpacedHex(bytes, count);
    if (!text.empty() && fmMain) fmMain->LogComTx(text);
  });
}

bool Bridge::SendComSysex(const std::uint8_t* bytes, std::size_t count, bool first) {
  if (first) comSysexLost_ = false;
  if (comSysexLost_) return false;
  if (count == 0) return true;
  if (!ComPortOpened || !SerialPort) {
    comSysexLost_ = true;
    lose(Loss::ComClosed);
    return false;
  }
  if (!comOut_.Append(bytes, count, true, first)) {
    // What waits of it would only cut the next message short on the line.
    if (!first) comOut_.DropLastMessage();
    comSysexLost_ = true;
    ++ComTxRefused;
    lose(Loss::ComFull);
    return false;
  }
  if (!drainComOut()) {
    comSysexLost_ = true;
    return false;
  }
  if (first) ++sentToSerial_;
  losses_.EndEpisodes(LossPath::Com);
  return true;
}

bool Bridge::drainComOut() {
  bool refused = false;
  ComWait wait = ComWait::ForLine;
  if (ComPortOpened && SerialPort && !comOut_.Empty()) {
    bool wrote = false;
    try {
      for (;;) {
        const auto now = PacedSerialOutput::Clock::now();
        // The port is asked for room only when something is due.
        if (comOut_.Ready(PacedSerialOutput::kDefaultLimit, now).empty()) break;
        const std::size_t holds = comOut_.HeadPaced() ? SerialPort->OutBuffUsed() : 0;
        const auto ready = comOut_.Ready(SerialPort->OutBuffFree(), now, holds);
        if (ready.empty()) {
          wait = holds > 0 ? ComWait::ForPort : ComWait::ForRoom;
          break;
        }
        const auto part = static_cast<std::uint16_t>(std::min<std::size_t>(ready.size(), 0xFFFF));
        SerialPort->PutBlock(ready.data(), part);
        Capture(CaptureDirection::MidiToSerial, ready.data(), part);
        // Timed after the write: a thread held up before it must not make the line look ahead
        // of where the bytes really are.
        comOut_.Sent(part, PacedSerialOutput::Clock::now());
        wrote = true;
      }
    } catch (const std::exception& error) {
      refused = true;
      dropComOut(Loss::ComRefused, error.what());
    } catch (...) {
      refused = true;
      dropComOut(Loss::ComRefused);
    }
    if (wrote && !refused) losses_.EndEpisodes(LossPath::Com);
  }
  armComPace(wait);
  return !refused;
}

void Bridge::armComPace(ComWait wait) {
  using Duration = PacedSerialOutput::Clock::duration;
  // A dump goes at the line's pace, looked at when its next byte is due, or soon when the port
  // still holds what it was given; a backlog waits for room in the port, which drains at least
  // a few bytes in the latest look's time.
  Duration interval{0};
  if (ComPortOpened && !comOut_.Empty()) {
    const auto now = PacedSerialOutput::Clock::now();
    const auto due = wait == ComWait::ForLine ? comOut_.NextDue(now) : std::nullopt;
    const Duration otherwise = wait == ComWait::ForPort ? Duration{PacedSerialOutput::kPortLook}
                                                        : Duration{PacedSerialOutput::kLatest};
    interval = std::clamp<Duration>(due ? *due - now : otherwise, PacedSerialOutput::kSoonest,
                                    PacedSerialOutput::kLatest);
  }
  if (interval == comPaceInterval_) return;
  comPaceInterval_ = interval;
  swallow([&] {
    if (interval.count() == 0) {
      comPace_.killTimer(1);
    } else {
      comPace_.setTimer(1, interval);
    }
  });
}

void Bridge::dropComOut(Loss cause, const std::string& detail) {
  const std::size_t lost = comOut_.Clear();
  if (lost == 0) return armComPace();
  // A system exclusive cut here is counted here: the rest of it is no second loss.
  comSysexLost_ = true;
  lose(cause, detail, lost);
  armComPace();
}

void Bridge::paceComLine() {
  const LineSettings line = PortLineSettings();
  const int bits =
      1 + line.dataBits + (line.parity == serial::TParity::pNone ? 0 : 1) + line.stopBits;
  comOut_.SetByteTime(PacedSerialOutput::ByteTime(line.baud, bits));
}

std::vector<std::uint8_t> PanicBytes() {
  std::vector<std::uint8_t> bytes;
  // Sound first: it silences at once what Note Off would let ring on in its release.
  for (const std::uint8_t controller : {0x78, 0x7B, 0x79}) {
    for (std::uint8_t channel = 0; channel < 16; ++channel) {
      bytes.insert(bytes.end(), {static_cast<std::uint8_t>(0xB0 | channel), controller, 0});
    }
  }
  return bytes;
}

void Bridge::Panic() {
  const std::vector<std::uint8_t> bytes = PanicBytes();
  // The MIDI output sends at once: nothing of ours waits before it.
  if (MidiOutput) {
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
      midi::TMyMidiEvent event;
      event.StatusByte = bytes[at];
      event.FirstDataByte = bytes[at + 1];
      try {
        MidiOutput->SendEvent(event);
      } catch (...) {
        break;  // closed or gone: nothing sounds there
      }
    }
  }
  held_.TakeNoteOffs();  // switched off with all the others
  if (ComPortOpened && SerialPort) {
    if (comOut_.PutAhead(bytes.data(), bytes.size())) comSysexLost_ = true;
    drainComOut();  // captured as the port takes them
  }
  logLine(kPanicLine);
}

TrafficCounts Bridge::rawCounts() const {
  const auto lost = [this](std::initializer_list<Loss> causes) {
    std::uint64_t total = 0;
    for (const Loss cause : causes) total += losses_.Total(cause);
    return total;
  };
  return {
      sentToSerial_,
      lost({Loss::ComClosed, Loss::ComFull, Loss::ComRefused, Loss::ComStopped,
            Loss::MidiInIncomplete}) +
          MidiInRefused,
      sentToMidi_,
      lost({Loss::MidiOutClosed, Loss::MidiOutTooLong, Loss::MidiOutFull, Loss::MidiOutRefused})};
}

TrafficCounts Bridge::Counts() const {
  const TrafficCounts now = rawCounts();
  return {now.toSerial - countsFrom_.toSerial, now.toSerialLost - countsFrom_.toSerialLost,
          now.toMidi - countsFrom_.toMidi, now.toMidiLost - countsFrom_.toMidiLost};
}

void Bridge::SetMessageChoice(const MessageChoice& choice) {
  messages_ = choice;
  if (!choice.serialText) textFrames_.Reset();
  if (MidiInput)
    swallow([&] { MidiInput->SetDroppedShort(DroppedShortStatuses(choice.toSerial)); });
}

void Bridge::SendMidiBytes(const std::uint8_t* bytes, std::size_t count) {
  midi::TMyMidiEvent event;
  if (count > 0 && bytes[0] == 0xF0 && count <= MidiAssembler::kMaxSysex) {
    event.StatusByte = 0xF0;
    event.SysexSize = static_cast<std::uint16_t>(count);
    event.SysexData = std::make_unique<std::uint8_t[]>(count);
    std::copy(bytes, bytes + count, event.SysexData.get());
  } else {
    if (count > 0) event.StatusByte = bytes[0];
    if (count > 1) event.FirstDataByte = bytes[1];
    if (count > 2) event.SecondDataByte = bytes[2];
  }
  if (!MidiOutput) {
    lose(Loss::MidiOutClosed);
    return;
  }
  try {
    MidiOutput->SendEvent(event);
  } catch (const std::exception& error) {
    const Loss cause = MidiOutLossOf(error.what(), MidiOutput->LastError());
    lose(cause, cause == Loss::MidiOutRefused ? error.what() : "");
    return;
  } catch (...) {
    lose(Loss::MidiOutRefused);
    return;
  }
  ++sentToMidi_;
  losses_.EndEpisodes(LossPath::MidiOut);
  held_.Sent(bytes, count);
  // Lit for what went out only.
  if (auto* window = surface()) {
    window->SetTimerEnabled(Timer::MidiOut, true);
    window->SetLampLit(Lamp::MidiOut, true);
  }
  swallow([&] {
    const std::string text = LogHex(bytes, count, true);
    if (!text.empty() && fmMain) fmMain->LogMidiOut(text);
  });
}

// ---- Enumeration and start-up -----------------------------------------------------------

std::string Bridge::ComDeviceName(int number) const {
  char name[32];
  std::snprintf(name, sizeof name, "\\\\.\\COM%d", number);
  return name;
}

bool Bridge::ComPortExists(int number) {
  if (number == 0 || !Probe) return false;
  std::vector<SerialEntry> ports;
  swallow([&] { ports = Probe->Ports(); });
  return std::any_of(ports.begin(), ports.end(),
                     [&](const SerialEntry& port) { return port.number == number; });
}

std::vector<std::string> Bridge::ListComPorts() {
  std::vector<std::string> entries;
  if (!Probe) return entries;
  swallow([&] {
    for (const auto& port : Probe->Ports()) entries.push_back(port.text);
  });
  return entries;
}

void Bridge::FillComPortList() {
  std::vector<SerialEntry> ports;
  if (Probe) swallow([&] { ports = Probe->Ports(); });
  // The device given or remembered, present or not; the first entry only when none was.
  auto found = ports.end();
  if (!Choice.comIdentity.empty()) {
    found = std::find_if(ports.begin(), ports.end(), [&](const SerialEntry& port) {
      return sameDevice(port, Choice.comIdentity);
    });
  } else if (Choice.comNumber > 0) {
    found = std::find_if(ports.begin(), ports.end(),
                         [&](const SerialEntry& port) { return port.number == Choice.comNumber; });
  } else {
    found = ports.begin();
  }
  if (found != ports.end()) {
    comChoice_ = *found;
  } else if (!Choice.comIdentity.empty()) {
    comChoice_ = SerialEntry{0, Choice.comIdentity, Choice.comIdentity};
  } else {
    comChoice_ = {};
  }
  comPresent_ = found != ports.end();
  comDevice_ = deviceOfEntry(comChoice_);
  showComEntries(ports);
  // Chosen, not opened: the window's start opens each device once, destinations first.
  if (comPresent_) SelectComIdentity(comChoice_.identity, false);
}

bool Bridge::sameDevice(const SerialEntry& entry, const std::string& identity) {
  // A file of an older version, or the command line, names the device path.
  return !identity.empty() && (entry.identity == identity || deviceOfEntry(entry) == identity);
}

std::string Bridge::deviceOfEntry(const SerialEntry& entry) {
  const auto open = entry.text.find(" (");
  if (open == std::string::npos) return entry.text;
  const auto end = entry.text.find_first_of(",)", open + 2);
  return entry.text.substr(open + 2, end == std::string::npos ? end : end - open - 2);
}

int Bridge::showComEntries(const std::vector<SerialEntry>& present) {
  std::vector<SerialEntry> shown = present;
  int selected = -1;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (sameDevice(shown[i], comChoice_.identity)) {
      selected = static_cast<int>(i);
    }
  }
  if (selected < 0 && !comChoice_.identity.empty()) {
    SerialEntry absent = comChoice_;
    absent.text += kAbsentSuffix;
    shown.push_back(absent);
    selected = static_cast<int>(shown.size()) - 1;
  }
  WindowSurface* window = surface();
  if (window && (shown != comShown_ ||
                 window->ListCount(DeviceList::ComPort) != static_cast<int>(shown.size()))) {
    swallow([&] {
      window->ListClear(DeviceList::ComPort);
      for (const auto& entry : shown) window->ListAppend(DeviceList::ComPort, entry.text);
    });
  }
  if (window) swallow([&] { window->ListSetSelected(DeviceList::ComPort, selected); });
  comShown_ = std::move(shown);
  return selected;
}

void Bridge::SelectComIdentity(const std::string& identity, bool reopen) {
  std::vector<SerialEntry> ports;
  if (Probe) swallow([&] { ports = Probe->Ports(); });
  const auto found = std::find_if(ports.begin(), ports.end(), [&](const SerialEntry& port) {
    return sameDevice(port, identity);
  });
  if (found != ports.end()) {
    comChoice_ = *found;
  } else if (comChoice_.identity != identity) {
    comChoice_ = SerialEntry{0, identity, identity};
  }
  comDevice_ = deviceOfEntry(comChoice_);
  comPresent_ = found != ports.end();
  comLost_ = false;
  if (reopen) comWanted_ = true;
  if (listsStarted_) showComEntries(ports);
  if (found != ports.end()) {
    selectingIdentity_ = true;
    SelectComPort(found->number, reopen);
    selectingIdentity_ = false;
  } else if (reopen) {
    // Never "whatever that COM number is now": closed until the device itself is back.
    CloseComPort();
    reportOpenFailure(Shape::ComPort, DeviceLine("RS232", comDevice_, kWaitsForIt));
  }
}

void Bridge::SelectComEntry(int index, bool reopen) {
  if (index >= 0 && index < static_cast<int>(comShown_.size())) {
    SelectComIdentity(comShown_[static_cast<std::size_t>(index)].identity, reopen);
  } else {
    // Nothing chosen and nothing listed: port 1 is tried, but not named, as nobody gave it.
    comUnlisted_ = true;
    SelectComPort(0, reopen);
    comUnlisted_ = false;
  }
}

void Bridge::RefreshComPortList() {
  if (Closing || !listsStarted_) return;
  std::vector<SerialEntry> ports;
  if (Probe) swallow([&] { ports = Probe->Ports(); });
  const bool wasPresent = comPresent_;
  const int selected = showComEntries(ports);
  comPresent_ = selected >= 0 && selected < static_cast<int>(ports.size());
  if (comPresent_) {
    // Its number may have changed with the devices around it; its text follows.
    comChoice_ = ports[static_cast<std::size_t>(selected)];
    comDevice_ = deviceOfEntry(comChoice_);
  }
  if (!comPresent_ && ComPortOpened) ComPortLost();  // a driver that did not notice
  if (comPresent_ && (comLost_ || !wasPresent) && comWanted_ && !ComPortOpened) openComChoice();
  showComStatus();
}

void Bridge::openComChoice() {
  swallow([&] {
    if (SerialPort) SerialPort->SetComNumber(static_cast<std::uint16_t>(comChoice_.number));
  });
  const bool back = comLost_;
  SetComPortOpen(true);
  // A failure is the opening's to tell, and it tries again while the device is there.
  comLost_ = !ComPortOpened;
  if (ComPortOpened) {
    logLine("[RS232] - " + comDevice_ + (back ? " : rebranché, rouvert" : " : arrivé, ouvert"));
  }
}

void Bridge::devicesChanged(unsigned which) {
  which = changed_->exchange(0) | which;
  if (refreshing_) {
    refreshAgain_ |= which;
    return;
  }
  refreshing_ = true;
  const std::unique_ptr<bool, void (*)(bool*)> done(&refreshing_,
                                                    [](bool* flag) { *flag = false; });
  while (which != 0) {
    if (which & kSerialChanged) RefreshComPortList();
    if (which & kMidiChanged) RefreshMidiLists();
    which = std::exchange(refreshAgain_, 0u);
  }
}

void Bridge::ConfigurePacket() {
  if (!DataPacket) return;
  DataPacket->SetEndCond(serial::ecPacketSize);
  DataPacket->SetPacketSize(1);
  DataPacket->SetStartCond(serial::TPacketStartCond::scAnyData);
  DataPacket->SetTimeOut(0);
  DataPacket->SetOnPacket([this](const std::uint8_t* data, std::int32_t size) {
    if (fmMain) fmMain->DoPacket(data, size);
  });
  EnablePacket();
}

namespace {
// Shows the hourglass while a device list is read, restoring the cursor whatever happens.
class HourGlass {
 public:
  explicit HourGlass(WindowSurface* window) : window_(window) {
    if (window_) {
      saved_ = window_->ScreenCursor();
      window_->SetScreenCursor(Cursor::HourGlass);
    }
  }
  ~HourGlass() {
    if (window_) swallow([&] { window_->SetScreenCursor(saved_); });
  }
  HourGlass(const HourGlass&) = delete;
  HourGlass& operator=(const HourGlass&) = delete;

 private:
  WindowSurface* window_;
  Cursor saved_ = Cursor::Default;
};
}  // namespace

std::vector<std::string> Bridge::ListMidiInDevices() {
  HourGlass hourGlass(surface());
  std::vector<std::string> names;
  if (MidiInput) names = MidiInput->PortNames();
  return names;
}

std::vector<std::string> Bridge::ListMidiOutDevices() {
  HourGlass hourGlass(surface());
  std::vector<std::string> names;
  if (MidiOutput) names = MidiOutput->PortNames();
  return names;
}

namespace {
// The lists' texts for MIDI ports present now, with the absent choice marked; the index of the
// choice in them, -1 when none.
std::vector<std::string> midiEntries(const std::vector<std::string>& present,
                                     const std::string& chosen, int& selected) {
  std::vector<std::string> shown = present;
  const auto found = chosen.empty() ? shown.end() : std::find(shown.begin(), shown.end(), chosen);
  selected = found == shown.end() ? -1 : static_cast<int>(found - shown.begin());
  if (selected < 0 && !chosen.empty()) {
    shown.push_back(chosen + kAbsentSuffix);
    selected = static_cast<int>(shown.size()) - 1;
  }
  if (shown.empty()) shown.push_back(kNoMidiPort);
  return shown;
}

std::string withoutAbsentSuffix(const std::string& text) {
  const std::string suffix = kAbsentSuffix;
  if (text.size() > suffix.size() &&
      text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
    return text.substr(0, text.size() - suffix.size());
  }
  return text == kNoMidiPort ? std::string{} : text;
}
}  // namespace

void Bridge::fillMidiList(DeviceList list, std::vector<std::string> (Bridge::*lister)(),
                          const std::string& chosen, bool part) {
  MidiSide& side = list == DeviceList::MidiIn ? midiIn_ : midiOut_;
  WindowSurface* window = surface();
  if (window) {
    window->ListClear(list);
    window->ListAppend(list, kNoMidiPort);
  }
  const std::vector<std::string> names = (this->*lister)();
  side.chosen = chosen;
  side.part = part && !chosen.empty();
  if (side.part) matchPart(side, names);
  if (side.chosen.empty()) {
    // Nothing was ever chosen: the first port listed, but never a gateway's own.
    const auto first = std::find_if(names.begin(), names.end(),
                                    [](const std::string& name) { return !IsOwnMidiPort(name); });
    if (first != names.end()) side.chosen = *first;
  }
  // A chosen port that is not there stays chosen, shown absent, and opens when it comes.
  side.wanted = !side.chosen.empty();
  side.present = side.wanted && std::find(names.begin(), names.end(), side.chosen) != names.end();
  int selected = -1;
  side.shown = midiEntries(names, side.chosen, selected);
  if (window) {
    window->ListClear(list);
    for (const auto& entry : side.shown) window->ListAppend(list, entry);
    window->ListSetSelected(list, selected);
  }
}

void Bridge::matchPart(MidiSide& side, const std::vector<std::string>& names) {
  if (!side.part || names.empty()) return;
  std::string error;
  if (const auto name = MatchPortName(side.chosen, names, "ports MIDI", error)) {
    side.chosen = *name;
    side.part = false;
  }
}

std::string Bridge::chooseMidi(MidiSide& side, const std::string& text) {
  std::string name = withoutAbsentSuffix(text);
  if (name != side.chosen) side.part = false;
  side.chosen = std::move(name);
  side.wanted = !side.chosen.empty();
  side.present = !side.chosen.empty() && side.chosen + kAbsentSuffix != text;
  side.lost = false;
  return side.chosen.empty() ? text : side.chosen;
}

std::string Bridge::ChooseMidiIn(const std::string& text) {
  return chooseMidi(midiIn_, text);
}

std::string Bridge::ChooseMidiOut(const std::string& text) {
  return chooseMidi(midiOut_, text);
}

void Bridge::RefreshMidiLists() {
  if (Closing || !listsStarted_) return;
  noteMidiService();
  noteOutsideLinks();
  createMidiDevices();
  // After a server restart, MIDI Out is linked before MIDI In: a loop through a peer (our out
  // to its in, its out to our in) is then broken by JACK on the peer's side, not on ours, and
  // serial -> MIDI keeps the latency of one period.
  refreshMidiSide(midiOut_);
  refreshMidiSide(midiIn_);
}

void Bridge::refreshMidiSide(MidiSide& side) {
  const bool input = side.list == DeviceList::MidiIn;
  std::vector<std::string> names;
  swallow([&] { names = input ? ListMidiInDevices() : ListMidiOutDevices(); });
  matchPart(side, names);
  int selected = -1;
  std::vector<std::string> shown = midiEntries(names, side.chosen, selected);
  WindowSurface* window = surface();
  if (window && shown != side.shown) {
    swallow([&] {
      window->ListClear(side.list);
      for (const auto& entry : shown) window->ListAppend(side.list, entry);
    });
  }
  if (window) swallow([&] { window->ListSetSelected(side.list, selected); });
  side.shown = std::move(shown);
  const bool wasPresent = side.present;
  side.present =
      !side.chosen.empty() && std::find(names.begin(), names.end(), side.chosen) != names.end();
  const bool open = input ? MidiInOpen() : MidiOutOpen();
  if (!side.present && open) {
    if (input) MidiInLost();
    if (!input) MidiOutLost();
    return;
  }
  if (!side.present || !(side.lost || !wasPresent) || !side.wanted || open) return;
  // The same port is back: open it again under its name.
  const char* tag = input ? "[MIDI-In] - " : "[Midi-Out] - ";
  bool named = false;
  swallow([&] {
    if (input && MidiInput) MidiInput->SetProductName(side.chosen);
    if (!input && MidiOutput) MidiOutput->SetProductName(side.chosen);
    named = true;
  });
  if (named && input) OpenMidiIn();
  if (named && !input) OpenMidiOut();
  const bool reopened = input ? MidiInOpen() : MidiOutOpen();
  side.lost = !reopened;
  if (reopened) logLine(tag + side.chosen + " : rebranché, rouvert");
}

// Links that the user made to our ports in a patchbay: shown, never undone.
void Bridge::noteOutsideLinks() {
  std::vector<platform::midi::MidiService::OutsideLink> links;
  swallow([&] { links = factory_.TakeMidiOutsideLinks(); });
  for (const auto& link : links) {
    logLine(std::string(link.input ? "[MIDI-In] - " : "[Midi-Out] - ") + link.from + " -> " +
            link.to + " : lien ajouté hors de Velmora");
  }
}

// A JACK server that starts after us, or PipeWire's in place of jackd's: the log says which.
void Bridge::noteMidiService() {
  std::string name;
  swallow([&] { name = factory_.MidiServiceName(); });
  if (name == midiService_) return;
  midiService_ = name;
  if (!name.empty()) logLine("[MIDI] - service MIDI : " + name);
}

void Bridge::FillMidiInList() {
  fillMidiList(DeviceList::MidiIn, &Bridge::ListMidiInDevices, Choice.midiIn, Choice.midiInPart);
  hookMidiInput();
}

void Bridge::FillMidiOutList() {
  fillMidiList(DeviceList::MidiOut, &Bridge::ListMidiOutDevices, Choice.midiOut,
               Choice.midiOutPart);
  hookMidiOutput();
}

void Bridge::StartDevices() {
  if (Choice.line != LineSettings{}) SetLineSettings(Choice.line);
  WireStatusLights();
  FillComPortList();
  ConfigurePacket();
  FillMidiInList();
  FillMidiOutList();
  noteMidiService();
  listsStarted_ = true;
  if (!CaptureFile.empty()) StartCapture(CaptureFile);
}

void Bridge::StartCapture(const std::string& path) {
  StopCapture();
  captureStop_.clear();
  // The file is opened by the capture's writer, which tells when it is (or why not).
  capture_ = std::make_unique<ByteCapture>(path, CaptureLimit, [this](const std::string& line) {
    if (capture_ && !capture_->Running()) captureStop_ = line;
    logLine(line);
  });
}

void Bridge::StopCapture() {
  if (!capture_) return;
  const std::string path = capture_->Path();
  const bool running = capture_->Running();
  capture_.reset();  // returns at once: the writer ends by itself
  if (running) logLine("[Capture] - " + path + " : capture arrêtée");
}

namespace {

constexpr serial::THWFlowOptionSet kRtsCts = serial::hwfUseRTS | serial::hwfRequireCTS;

void applyFlow(ComPortDevice& port, FlowControl flow) {
  port.SetFlowOptions(flow == FlowControl::RtsCts ? kRtsCts : 0,
                      flow == FlowControl::XonXoff ? serial::TSWFlowOptions::swfBoth
                                                   : serial::TSWFlowOptions::swfNone);
}

// Each setter reaches an open device at once, and an equal value is no call at all; flow
// control is set only when it changes, so that a device without it is not asked.
void applyLine(ComPortDevice& port, const LineSettings& line, FlowControl flowNow) {
  port.SetBaud(line.baud);
  port.SetLine(line.dataBits, line.parity, line.stopBits);
  if (line.flow != flowNow) applyFlow(port, line.flow);
}

}  // namespace

bool Bridge::SetLineSettings(const LineSettings& line) {
  if (!SerialPort) return true;  // nothing that could refuse
  const LineSettings before = PortLineSettings();
  if (line.flow == FlowControl::XonXoff && before.flow != FlowControl::XonXoff) {
    logLine(
        "[RS232] - XON/XOFF : les octets de données MIDI 11 et 13 (hex) seront pris pour du "
        "contrôle de flux, et les messages qui les portent perdus");
  }
  try {
    applyLine(*SerialPort, line, before.flow);
    paceComLine();
    // A closed port stores it; what the device refuses of it shows at the opening.
    lineAsked_ = ComPortOpened ? std::nullopt : std::optional<LineSettings>(line);
    return true;
  } catch (...) {
    // The port keeps a refused value as its property although the device still runs the old
    // one. Each setter applies every stored value, so each goes back on its own: the last one
    // that changes puts the whole line in force again.
    swallow([&] { SerialPort->SetBaud(before.baud); });
    swallow([&] { SerialPort->SetLine(before.dataBits, before.parity, before.stopBits); });
    swallow([&] {
      if (PortLineSettings().flow != before.flow) applyFlow(*SerialPort, before.flow);
    });
    return false;
  }
}

namespace {
const char* flowName(FlowControl flow) {
  static constexpr const char* kNames[] = {"aucun", "RTS/CTS", "XON/XOFF"};
  return kNames[static_cast<int>(flow)];
}
}  // namespace

std::vector<std::string> RefusedLineParts(const LineSettings& asked, const LineSettings& taken) {
  const auto number = [](auto value) { return std::to_string(value); };
  const auto parity = [](serial::TParity value) {
    return std::string(1, "NOEMS"[static_cast<int>(value)]);
  };
  std::vector<std::string> parts;
  if (asked.baud != taken.baud) {
    parts.push_back(number(asked.baud) + " refusé par le port, reste " + number(taken.baud));
  }
  if (asked.dataBits != taken.dataBits) {
    parts.push_back(number(asked.dataBits) + " bits refusés par le port, reste " +
                    number(taken.dataBits));
  }
  if (asked.parity != taken.parity) {
    parts.push_back("parité " + parity(asked.parity) + " refusée par le port, reste " +
                    parity(taken.parity));
  }
  if (asked.stopBits != taken.stopBits) {
    parts.push_back(number(asked.stopBits) + " bits de stop refusés par le port, reste " +
                    number(taken.stopBits));
  }
  if (asked.flow != taken.flow) {
    parts.push_back(std::string("contrôle de flux ") + flowName(asked.flow) +
                    " refusé par le port, reste " + flowName(taken.flow));
  }
  return parts;
}

void Bridge::logRefusedLine() {
  if (!lineAsked_) return;
  const LineSettings asked = *lineAsked_;
  lineAsked_.reset();
  for (const auto& part : RefusedLineParts(asked, PortLineSettings())) {
    logLine("[RS232] - " + part);
  }
}

bool IsOwnMidiPort(const std::string& name) {
  // A gateway's client is "velmora" or "velmora-PROFILE"; its ports "midi_in", "midi_out",
  // then "_2" and on. The same prefix with other ports (velmora-peer's) is someone else's.
  const auto colon = name.find(':');
  if (colon == std::string::npos) return false;
  const std::string client = name.substr(0, colon);
  if (client != "velmora" && client.rfind("velmora-", 0) != 0) return false;
  std::string port = name.substr(colon + 1);
  if (const auto under = port.rfind('_');
      under != std::string::npos && under + 1 < port.size() &&
      std::all_of(port.begin() + static_cast<std::ptrdiff_t>(under) + 1, port.end(),
                  [](char c) { return c >= '0' && c <= '9'; })) {
    port.resize(under);
  }
  return port == "midi_in" || port == "midi_out";
}

LineSettings Bridge::PortLineSettings() const {
  if (!SerialPort) return {};
  LineSettings line{SerialPort->Baud(), SerialPort->DataBits(), SerialPort->Parity(),
                    SerialPort->StopBits()};
  if ((SerialPort->HWFlowOptions() & kRtsCts) != 0) {
    line.flow = FlowControl::RtsCts;
  } else if (SerialPort->SWFlowOptions() != serial::TSWFlowOptions::swfNone) {
    line.flow = FlowControl::XonXoff;
  }
  return line;
}

std::string Bridge::ComPortStatusText(bool detailed) const {
  if (!SerialPort) return {};
  char text[256];
  // The number the open device has now: the lists may have renumbered it.
  const int number =
      comChoice_.number > 0 && ComPortOpened ? comChoice_.number : SerialPort->ComNumber();
  std::snprintf(text, sizeof text, "%d,%d,%d,%d,%s", number, SerialPort->Baud(),
                SerialPort->DataBits(), SerialPort->StopBits(),
                ParityName(SerialPort->Parity()).c_str());
  std::string result = text;
  if (detailed) {
    std::string hw;
    try {
      hw = HWFlowText(SerialPort->HWFlowOptions());
    } catch (...) {
    }
    result += "," + hw + "," + SWFlowName(SerialPort->SWFlowOptions());
    if (result.size() > 255) result.resize(255);
  }
  return result;
}

// ---- Errors and losses ---------------------------------------------------------------------

Loss MidiOutLossOf(const std::string& raised, std::uint32_t result) {
  namespace pm = platform::midi;
  if (raised == kMidiOutNotOpen || result == pm::MIDIERR_NODEVICE) return Loss::MidiOutClosed;
  if (result == pm::MIDIERR_TOOLONG) return Loss::MidiOutTooLong;
  if (result == pm::MIDIERR_NOTREADY) return Loss::MidiOutFull;
  return Loss::MidiOutRefused;
}

void Bridge::ForgetOpenFailure(Shape shape) {
  lastOpenFailure_[static_cast<std::size_t>(shape)].clear();
}

void Bridge::MidiPortNotFound(Shape shape, const std::string& name) {
  const char* tag = shape == Shape::MidiIn ? "MIDI-In" : "Midi-Out";
  const MidiSide& side = shape == Shape::MidiIn ? midiIn_ : midiOut_;
  if (name.empty() || name == kNoMidiPort) {
    reportOpenFailure(shape, DeviceLine(tag, {}, "aucun port MIDI"));
  } else if (name == side.chosen && !side.present) {
    reportOpenFailure(shape, DeviceLine(tag, name, kWaitsForIt));
  } else {
    // Not found because the service is not there says so; else it is the port.
    std::uint32_t result = 0;
    swallow([&] {
      if (shape == Shape::MidiIn && MidiInput) result = MidiInput->LastError();
      if (shape == Shape::MidiOut && MidiOutput) result = MidiOutput->LastError();
    });
    if (result != platform::midi::MMSYSERR_NODRIVER) result = platform::midi::MIDIERR_NODEVICE;
    reportOpenFailure(shape, DeviceLine(tag, name, MidiOpenReason(result, {})));
  }
  colourShape(shape, kClosedColor);
}

void Bridge::reportOpenFailure(Shape shape, const std::string& line) {
  if (Closing) return;
  std::string& last = lastOpenFailure_[static_cast<std::size_t>(shape)];
  if (last == line) return;
  last = line;
  logLine(line);
}

void Bridge::midiOpenFailed(Shape shape, const std::string& name, std::uint32_t result,
                            const std::string& text) {
  const char* tag = shape == Shape::MidiIn ? "MIDI-In" : "Midi-Out";
  reportOpenFailure(shape, DeviceLine(tag, name.empty() ? std::string(kNoMidiPort) : name,
                                      MidiOpenReason(result, text)));
}

std::string Bridge::comPortLabel() const {
  // The path is what the user can look up; a port chosen by its number alone has only that.
  if (!comDevice_.empty()) return comDevice_;
  return SerialPort ? "COM" + std::to_string(SerialPort->ComNumber()) : std::string{};
}

void Bridge::logLine(const std::string& line) {
  swallow([&] {
    if (fmMain) fmMain->AddLogLine(line);
  });
}

void Bridge::lose(Loss cause, const std::string& detail, std::uint64_t count) {
  losses_.Lost(cause, detail, count);
  if (Closing) return;
  // The first loss is told at once; the count follows with each line the episode writes.
  if (!errorNoted_[static_cast<std::size_t>(PathOf(cause))]) {
    noteError(PathOf(cause), ForwardingLosses::LineText(cause, 1, detail));
  }
  swallow([&] {
    if (auto* window = surface()) window->SetLampLit(lampOf(PathOf(cause)), true);
  });
}

void Bridge::SysexTooLong(std::size_t bytes) {
  losses_.LostTooLong(bytes);
  if (Closing) return;
  if (!errorNoted_[static_cast<std::size_t>(LossPath::MidiOut)]) {
    noteError(LossPath::MidiOut, ForwardingLosses::TooLongText(bytes));
  }
  swallow([&] {
    if (auto* window = surface()) window->SetLampLit(Lamp::MidiError, true);
  });
}

void Bridge::lossLine(const std::string& line) {
  logLine(line);
  const LossPath path = line.rfind("[Midi-Out]", 0) == 0  ? LossPath::MidiOut
                        : line.rfind("[MIDI-In]", 0) == 0 ? LossPath::MidiIn
                                                          : LossPath::Com;
  if (errorNoted_[static_cast<std::size_t>(path)] && !Closing) noteError(path, line);
}

Lamp Bridge::lampOf(LossPath path) {
  return path == LossPath::Com ? Lamp::ComError : Lamp::MidiError;
}

void Bridge::noteError(LossPath path, const std::string& text) {
  errorNoted_[static_cast<std::size_t>(path)] = true;
  if (!fmMain) return;
  const std::tm local = platform::LocalTime(std::time(nullptr));
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S ", &local);
  swallow([&] { fmMain->ErrorNoted(lampOf(path), stamp + text); });
}

void Bridge::releaseSerialNotes() {
  if (heldSerial_.Empty()) return;
  for (const HeldNotes::Message& off : heldSerial_.TakeNoteOffs()) {
    if (!ComPortOpened) return;
    SendComBytes(off.data(), static_cast<std::uint8_t>(off.size()));
  }
}

void Bridge::releaseHeldNotes() {
  if (held_.Empty()) return;
  for (const HeldNotes::Message& off : held_.TakeNoteOffs()) {
    if (!MidiOutput) return;
    midi::TMyMidiEvent event;
    event.StatusByte = off[0];
    event.FirstDataByte = off[1];
    event.SecondDataByte = off[2];
    try {
      MidiOutput->SendEvent(event);
    } catch (...) {
      return;  // the output is closed or gone: nothing holds the notes there any more
    }
    swallow([&] {
      if (fmMain) fmMain->LogMidiOut(LogHex(off.data(), off.size(), true));
    });
  }
}

}  // namespace velmora::core
