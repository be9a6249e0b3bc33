#include "core/Bridge.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "core/Delay.h"
#include "core/OpenFailureText.h"
#include "platform/midi/MidiService.h"
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

std::string hexJoin(const std::uint8_t* bytes, std::size_t count, bool spaced) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(count * 3);
  for (std::size_t i = 0; i < count; ++i) {
    if (spaced && i > 0) text.push_back(' ');
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
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

std::string UnspacedHex(const std::uint8_t* bytes, std::size_t count) {
  return hexJoin(bytes, count, false);
}

std::string LogHex(const std::uint8_t* bytes, std::size_t count, bool spaced) {
  const std::size_t shown = std::min(count, kLoggedBytes);
  std::string text = hexJoin(bytes, shown, spaced);
  if (shown < count) text += (spaced ? " … (" : "… (") + std::to_string(count) + ")";
  return text;
}

// ---- Lifecycle --------------------------------------------------------------------------

Bridge::Bridge(DeviceFactory& factory, const platform::Clock& clock) : clock_(clock) {
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
  try {
    MidiInput = factory.CreateMidiInput();
  } catch (...) {
    MidiInput.reset();
  }
  try {
    MidiOutput = factory.CreateMidiOutput();
  } catch (...) {
    MidiOutput.reset();
  }
  swallow([&] { Probe = factory.CreatePortProbe(); });

  if (SerialPort) swallow([&] { SerialPort->SetOnDeviceLost([this] { ComPortLost(); }); });
  if (MidiInput) swallow([&] { MidiInput->SetOnDeviceLost([this] { MidiInLost(); }); });
  if (MidiInput) {
    swallow([&] {
      MidiInput->SetOnOverflow([this] {
        ++MidiInRefused;
        if (auto* window = surface(); window && !Closing) window->SetLampLit(Lamp::MidiError, true);
      });
    });
  }
  if (MidiOutput) swallow([&] { MidiOutput->SetOnDeviceLost([this] { MidiOutLost(); }); });
}

Bridge::~Bridge() {
  Finalize();
}

void Bridge::Finalize() {
  if (finalized_) return;
  finalized_ = true;
  Closing = true;
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

  WindowSurface* window = surface();
  const Cursor saved = window ? window->ScreenCursor() : Cursor::Default;
  if (window) window->SetScreenCursor(Cursor::HourGlass);
  std::string failure;
  int osError = 0;
  try {
    try {
      if (SerialPort) SerialPort->SetOpen(open);
    } catch (const std::exception& error) {
      failure = error.what();
      if (SerialPort) osError = SerialPort->LastOpenError();
    } catch (...) {
      if (SerialPort) osError = SerialPort->LastOpenError();
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
  if (open && ComPortOpened) {
    lastOpenFailure_[static_cast<std::size_t>(Shape::ComPort)].clear();
    losses_.EndEpisodes(LossPath::Com);
  } else if (open && !SerialPort) {
    reportOpenFailure(Shape::ComPort, DeviceLine("RS232", {}, "aucun port série"));
  } else if (open) {
    reportOpenFailure(Shape::ComPort,
                      DeviceLine("RS232", comPortLabel(), SerialOpenReason(osError, failure)));
  }
  colourShape(Shape::ComPort,
              static_cast<serial::TColor>(IfThen(ComPortOpened, kOpenColor, kClosedColor)));
}

void Bridge::SelectComPort(std::int32_t number, bool reopen) {
  swallow([&] {
    if (reopen) CloseComPort();
    if (SerialPort) SerialPort->SetComNumber(static_cast<std::uint16_t>(number > 0 ? number : 1));
    if (reopen) OpenComPort();
  });
}

void Bridge::SetMidiInOpen(bool open) {
  colourShape(Shape::MidiIn, kSwitchingColor);
  // Gray means switching only: whatever happens below ends red or green.
  if (!MidiInput) {
    if (open) reportOpenFailure(Shape::MidiIn, DeviceLine("MIDI-In", {}, "aucun port MIDI"));
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
      } else if (MidiInput) {
        midiOpenFailed(Shape::MidiIn, MidiInput->ProductName(), MidiInput->LastError(),
                       MidiInput->LastErrorText());
      }
      colourShape(Shape::MidiIn,
                  static_cast<serial::TColor>(IfThen(opened, kOpenColor, kClosedColor)));
    } else {
      MidiInput->Stop();
      MidiInput->Close();
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
    if (open) reportOpenFailure(Shape::MidiOut, DeviceLine("Midi-Out", {}, "aucun port MIDI"));
    colourShape(Shape::MidiOut, kClosedColor);
    return;
  }
  try {
    if (open) {
      const bool opened = MidiOutput->Open();
      if (opened) {
        // Notes held on an output that went away cannot be released there any more.
        held_.Clear();
        lastOpenFailure_[static_cast<std::size_t>(Shape::MidiOut)].clear();
        losses_.EndEpisodes(LossPath::MidiOut);
      } else {
        midiOpenFailed(Shape::MidiOut, MidiOutput->ProductName(), MidiOutput->LastError(),
                       MidiOutput->LastErrorText());
      }
      Delay(kSwitchDelayMs, true, clock_);
      colourShape(Shape::MidiOut,
                  static_cast<serial::TColor>(IfThen(opened, kOpenColor, kClosedColor)));
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

void Bridge::ComPortLost() {
  if (!ComPortOpened) return;
  releaseHeldNotes();
  ComPortOpened = false;
  assembler_.Reset();
  swallow([&] {
    if (SLController && SLController->Monitoring()) SLController->SetMonitoring(false);
  });
  swallow([&] {
    if (SerialPort) SerialPort->SetOpen(false);
  });
  colourShape(Shape::ComPort, kClosedColor);
}

void Bridge::MidiInLost() {
  swallow([&] {
    if (!MidiInput) return;
    MidiInput->Stop();
    MidiInput->Close();
  });
  colourShape(Shape::MidiIn, kClosedColor);
}

void Bridge::MidiOutLost() {
  swallow([&] {
    if (MidiOutput) MidiOutput->Close();
  });
  colourShape(Shape::MidiOut, kClosedColor);
}

// ---- Forwarding -------------------------------------------------------------------------

void Bridge::SendComBytes(const std::uint8_t* bytes, std::uint8_t count) {
  if (count == 0) return;
  if (!ComPortOpened || !SerialPort) {
    lose(Loss::ComClosed);
    return;
  }
  if (SerialPort->OutBuffFree() < count) {
    ++ComTxRefused;
    lose(Loss::ComFull);
    return;
  }
  try {
    SerialPort->PutBlock(bytes, count);
  } catch (const std::exception& error) {
    lose(Loss::ComRefused, error.what());
    return;
  } catch (...) {
    lose(Loss::ComRefused);
    return;
  }
  losses_.EndEpisodes(LossPath::Com);
  swallow([&] {
    const std::string text = SpacedHex(bytes, count);
    if (!text.empty() && fmMain) fmMain->LogComTx(text);
  });
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
  if (auto* window = surface()) {
    window->SetTimerEnabled(Timer::MidiOut, true);
    window->SetLampLit(Lamp::MidiOut, true);
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
  losses_.EndEpisodes(LossPath::MidiOut);
  held_.Sent(bytes, count);
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
  const int error = Probe->TryOpen(number);
  if (error == 0) return true;
  return CountPortsInUse && error == PortProbe::kAccessDenied;
}

std::vector<std::string> Bridge::ListComPorts() {
  std::vector<std::string> entries;
  for (int number = 1; number <= kMaxComPorts; ++number) {
    if (ComPortExists(number)) entries.push_back(Probe->EntryText(number));
  }
  return entries;
}

void Bridge::FillComPortList() {
  WindowSurface* window = surface();
  if (window) window->ListClear(DeviceList::ComPort);
  const std::vector<std::string> entries = ListComPorts();
  // A chosen port that is not listed leaves today's choice: the first entry.
  std::size_t chosen = 0;
  for (std::size_t i = 0; i < entries.size() && Choice.comNumber > 0; ++i) {
    if (platform::ComNumberOf(entries[i]) == Choice.comNumber) chosen = i;
  }
  if (!entries.empty() && window) {
    for (const auto& entry : entries) window->ListAppend(DeviceList::ComPort, entry);
    window->ListSetSelected(DeviceList::ComPort, static_cast<int>(chosen));
  }
  if (!entries.empty()) {
    SelectComPort(chosen == 0 ? 1 : platform::ComNumberOf(entries[chosen]), true);
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
  if (!MidiInput) return names;
  for (std::uint16_t id = 0; id < MidiInput->DeviceCount(); ++id) {
    MidiInput->SetDeviceID(id);
    names.push_back(MidiInput->ProductName());
  }
  return names;
}

std::vector<std::string> Bridge::ListMidiOutDevices() {
  HourGlass hourGlass(surface());
  std::vector<std::string> names;
  if (!MidiOutput) return names;
  for (std::uint16_t id = 0; id < MidiOutput->DeviceCount(); ++id) {
    MidiOutput->SetDeviceID(id);
    names.push_back(MidiOutput->ProductName());
  }
  return names;
}

void Bridge::fillMidiList(DeviceList list, std::vector<std::string> (Bridge::*lister)(),
                          const std::string& chosen) {
  WindowSurface* window = surface();
  if (window) {
    window->ListClear(list);
    window->ListAppend(list, kNoMidiPort);
  }
  const std::vector<std::string> names = (this->*lister)();
  if (!names.empty() && window) {
    window->ListDelete(list, 0);
    for (const auto& name : names) window->ListAppend(list, name);
    const auto found = chosen.empty() ? names.end() : std::find(names.begin(), names.end(), chosen);
    window->ListSetSelected(list,
                            found == names.end() ? 0 : static_cast<int>(found - names.begin()));
  }
}

void Bridge::FillMidiInList() {
  fillMidiList(DeviceList::MidiIn, &Bridge::ListMidiInDevices, Choice.midiIn);
  if (MidiInput) {
    MidiInput->SetOnMidiInput([this](MidiInputDevice& sender) {
      if (fmMain) fmMain->DoMidiInput(sender);
    });
  }
}

void Bridge::FillMidiOutList() {
  fillMidiList(DeviceList::MidiOut, &Bridge::ListMidiOutDevices, Choice.midiOut);
  if (MidiOutput) {
    MidiOutput->SetOnMidiOutput([this] {
      if (fmMain) fmMain->DoMidiOutput();
    });
  }
}

void Bridge::StartDevices() {
  if (Choice.line != LineSettings{}) SetLineSettings(Choice.line);
  WireStatusLights();
  FillComPortList();
  ConfigurePacket();
  FillMidiInList();
  FillMidiOutList();
  OpenComPort();
}

void Bridge::SetLineSettings(const LineSettings& line) {
  if (!SerialPort) return;
  swallow([&] {
    SerialPort->SetBaud(line.baud);
    SerialPort->SetLine(line.dataBits, line.parity, line.stopBits);
  });
}

LineSettings Bridge::PortLineSettings() const {
  if (!SerialPort) return {};
  return {SerialPort->Baud(), SerialPort->DataBits(), SerialPort->Parity(), SerialPort->StopBits()};
}

std::string Bridge::ComPortStatusText(bool detailed) const {
  if (!SerialPort) return {};
  char text[256];
  std::snprintf(text, sizeof text, "%d,%d,%d,%d,%s", SerialPort->ComNumber(), SerialPort->Baud(),
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
  if (name.empty() || name == kNoMidiPort) {
    reportOpenFailure(shape, DeviceLine(tag, {}, "aucun port MIDI"));
  } else {
    reportOpenFailure(shape,
                      DeviceLine(tag, name, MidiOpenReason(platform::midi::MIDIERR_NODEVICE, {})));
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
  if (!SerialPort) return {};
  const int number = SerialPort->ComNumber();
  std::string entry = "COM" + std::to_string(number);
  try {
    if (Probe) entry = Probe->EntryText(number);
  } catch (...) {
  }
  // "COM3 (/dev/ttyUSB0, ...)": the path is what the user can look up.
  const auto open = entry.find('(');
  if (open == std::string::npos) return entry;
  const auto end = entry.find_first_of(",)", open);
  return entry.substr(open + 1, (end == std::string::npos ? entry.size() : end) - open - 1);
}

void Bridge::logLine(const std::string& line) {
  swallow([&] {
    if (fmMain) fmMain->AddLogLine(line);
  });
}

void Bridge::lose(Loss cause, const std::string& detail) {
  losses_.Lost(cause, detail);
  if (Closing) return;
  swallow([&] {
    if (auto* window = surface()) {
      window->SetLampLit(PathOf(cause) == LossPath::MidiOut ? Lamp::MidiError : Lamp::ComError,
                         true);
    }
  });
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
