#include "core/Bridge.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "core/Delay.h"
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
  if (MidiInput)
    swallow([&] {
      MidiInput->SetOnOverflow([this](std::uint64_t refused) { MidiInRefused += refused; });
    });
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
  try {
    swallow([&] {
      if (SerialPort) SerialPort->SetOpen(open);
    });
    Delay(kSwitchDelayMs, true, clock_);
  } catch (...) {
  }
  if (window) swallow([&] { window->SetScreenCursor(saved); });

  swallow([&] {
    const bool opened = SerialPort && SerialPort->Open();
    ComPortOpened = opened && open;
  });
  if (ComPortOpened && SLController) swallow([&] { SLController->SetMonitoring(true); });
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
  swallow([&] {
    if (!MidiInput) return;
    if (open) {
      MidiInput->Open();
      MidiInput->Start();
      Delay(kSwitchDelayMs, true, clock_);
      const bool opened = MidiInput && MidiInput->State() == midi::TMidiPortState::mpsOpen;
      colourShape(Shape::MidiIn,
                  static_cast<serial::TColor>(IfThen(opened, kOpenColor, kClosedColor)));
    } else {
      MidiInput->Stop();
      MidiInput->Close();
      colourShape(Shape::MidiIn, kClosedColor);
    }
  });
}

void Bridge::SetMidiOutOpen(bool open) {
  colourShape(Shape::MidiOut, kSwitchingColor);
  swallow([&] {
    if (!MidiOutput) return;
    if (open) {
      const bool opened = MidiOutput->Open();
      Delay(kSwitchDelayMs, true, clock_);
      colourShape(Shape::MidiOut,
                  static_cast<serial::TColor>(IfThen(opened, kOpenColor, kClosedColor)));
    } else {
      MidiOutput->Close();
      colourShape(Shape::MidiOut, kClosedColor);
    }
  });
}

void Bridge::ComPortLost() {
  if (!ComPortOpened) return;
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
  if (!ComPortOpened || count == 0 || !SerialPort) return;
  if (SerialPort->OutBuffFree() < count) {
    ++ComTxRefused;
    return;
  }
  swallow([&] { SerialPort->PutBlock(bytes, count); });
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
  if (MidiOutput) MidiOutput->SendEvent(event);
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
  try {
    applyLine(*SerialPort, line, before.flow);
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

}  // namespace velmora::core
