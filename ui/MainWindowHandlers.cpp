#include "ui/MainWindowHandlers.h"

#include <memory>
#include <string>

#include "platform/midi/MidiService.h"

namespace velmora::ui {

// Serial bytes, through the text frames when they are read, to the assembler; whole messages
// of the kinds chosen go to the MIDI output with their "[Com-Rx]" line, then (what caused it
// first) their "[Midi-Out]" line; dropped bytes get a "[Com-Rx]" line marked "(ignoré)", so
// that no fragment reads as a message; a text frame gets its "[Com-Rx] texte" line.
class TfmMain::SerialSink final : public core::MidiAssembler::Sink,
                                  public core::SerialTextFrames::Sink {
 public:
  explicit SerialSink(TfmMain& form) : form_(form) {}
  void OnMessage(const std::uint8_t* bytes, std::size_t count) override {
    form_.bridge_.CaptureFlush();  // the bytes read for it make one line
    if (!form_.bridge_.Messages().toMidi.Passes(bytes[0])) return;
    form_.LogComRx(core::LogHex(bytes, count, false));
    form_.bridge_.SendMidiBytes(bytes, count);
  }
  void OnDropped(const std::uint8_t* bytes, std::size_t count) override {
    form_.bridge_.CaptureFlush();
    form_.LogComRx(core::LogHex(bytes, count, false) + " (ignoré)");
  }
  void OnTooLong(std::size_t count) override {
    if (form_.bridge_.Messages().toMidi.Has(core::MessageKind::Sysex)) {
      form_.bridge_.SysexTooLong(count);
    }
  }
  void OnBytes(const std::uint8_t* bytes, std::size_t count) override {
    form_.bridge_.SerialAssembler().Feed(bytes, count, *this);
  }
  void OnText(const std::uint8_t* text, std::size_t count) override {
    form_.bridge_.CaptureFlush();
    form_.AddLogLine("[Com-Rx] texte : " + core::FrameText(text, count));
  }

 private:
  TfmMain& form_;
};

TfmMain::TfmMain(core::Bridge& bridge, core::WindowSurface& surface)
    : bridge_(bridge), surface_(surface) {
  bridge_.AttachWindow(this);
  surface_.SetOnTimer(core::Timer::MidiIn, [this] { TimerMidiInTimer(); });
  surface_.SetOnTimer(core::Timer::MidiOut, [this] { TimerMidiOutTimer(); });
}

TfmMain::~TfmMain() {
  surface_.SetOnTimer(core::Timer::MidiIn, nullptr);
  surface_.SetOnTimer(core::Timer::MidiOut, nullptr);
  bridge_.AttachWindow(nullptr);
}

void TfmMain::FormCreate() {
  creating_ = true;
  // Cleared however the start-up ends: the handlers raise on a missing device.
  const std::unique_ptr<bool, void (*)(bool*)> created(&creating_,
                                                       [](bool* flag) { *flag = false; });
  // No step may stop the others: a window that starts without a device says why in its log.
  startStep([this] { bridge_.StartDevices(); });
  SetupLog();
  // Each device opens once, every destination before its source, so that nothing arrives
  // with nowhere to go: the MIDI output before the serial port reads, the port before the
  // MIDI input.
  startStep([this] { cbMIDIOutChange(); });
  startStep([this] { cbComPortChange(); });
  startStep([this] { cbMIDIInChange(); });
}

template <typename Step>
void TfmMain::startStep(Step&& step) {
  try {
    step();
  } catch (const std::exception& error) {
    AddLogLine(std::string("[Démarrage] - ") + error.what());
  } catch (...) {
    AddLogLine("[Démarrage] - erreur inconnue");
  }
}

template <typename Device>
bool TfmMain::selectMidiPort(Device* device, core::DeviceList list, const std::string& name,
                             core::Shape shape) {
  if (!device) return true;
  try {
    device->SetProductName(name);
    return true;
  } catch (...) {
    bridge_.MidiPortNotFound(shape, name);
    const bool absentChoice = surface_.ListSelectedText(list) != name;
    if (creating_ || absentChoice) return false;
    throw;
  }
}

void TfmMain::FormClose() {
  bridge_.CloseMidiIn();
  bridge_.CloseMidiOut();
}

void TfmMain::ActAppCloseExecute() {
  if (CloseWindow) CloseWindow();
}

void TfmMain::ActAppAboutExecute() {
  if (ShowAboutBox) ShowAboutBox();
}

int PortNumberOfEntry(const std::string& entry) {
  const auto at = entry.find("COM");
  if (at == std::string::npos) return 0;
  int number = 0;
  for (std::size_t i = at + 3; i < entry.size() && entry[i] >= '0' && entry[i] <= '9'; ++i) {
    number = number * 10 + (entry[i] - '0');
    if (number > 0xFFFF) return 0;
  }
  return number;
}

namespace {
// French counts: 0 and 1 take the singular.
std::string Counted(std::uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count > 1 ? "s" : "");
}
}  // namespace

std::string CountsText(Direction direction, const core::TrafficCounts& counts) {
  const bool toMidi = direction == Direction::ToMidi;
  return std::string(toMidi ? "RS232 → MIDI : " : "MIDI → RS232 : ") +
         Counted(toMidi ? counts.toMidi : counts.toSerial, "message") + ", " +
         Counted(toMidi ? counts.toMidiLost : counts.toSerialLost, "perdu");
}

std::string CaptureWord(const std::string& path) {
  const auto slash = path.find_last_of("/\\");
  return "capture : " + (slash == std::string::npos ? path : path.substr(slash + 1));
}

std::string PanelNote(const std::string& note) {
  std::string text = note;
  if (const auto tag = text.find("] - "); tag != std::string::npos) {
    const auto open = text.rfind('[', tag);
    if (open != std::string::npos) text.erase(open, tag + 4 - open);
  }
  if (const auto count = text.rfind(" : "); count != std::string::npos) text.erase(count);
  return text;
}

std::vector<std::string> WidestCountsTexts() {
  constexpr std::uint64_t kMany = 999'999'999;
  const core::TrafficCounts many{kMany, kMany, kMany, kMany};
  return {CountsText(Direction::ToMidi, many), CountsText(Direction::ToSerial, many)};
}

std::vector<std::string> WidestCauseTexts() {
  std::vector<std::string> texts;
  for (std::size_t cause = 0; cause < core::kLossKinds; ++cause) {
    texts.push_back(PanelNote(
        "23:59:59 " + core::ForwardingLosses::LineText(static_cast<core::Loss>(cause), 2, {})));
  }
  return texts;
}

void TfmMain::cbComPortChange() {
  if (!creating_) bridge_.ForgetOpenFailure(core::Shape::ComPort);
  bridge_.SelectComEntry(surface_.ListSelected(core::DeviceList::ComPort), true);
  surface_.SetStatusText(1, bridge_.ComPortStatusText(false));
  choiceChanged(core::Choosing::SerialDevice);
}

namespace {
// "31250,8,1,pNone": the status text's order, without the port number.
std::string LineText(const core::LineSettings& line) {
  return std::to_string(line.baud) + "," + std::to_string(line.dataBits) + "," +
         std::to_string(line.stopBits) + "," + core::ParityName(line.parity);
}
}  // namespace

void TfmMain::ActPortSettingsApply(const core::LineSettings& line) {
  if (!bridge_.SetLineSettings(line)) {
    AddLogLine("[RS232] - " + LineText(line) + " refusé par le port, reste " +
               LineText(bridge_.PortLineSettings()));
  }
  surface_.SetStatusText(1, bridge_.ComPortStatusText(false));
  choiceChanged(core::Choosing::Line);
}

void TfmMain::ActMessagesApply(const core::MessageChoice& choice) {
  bridge_.SetMessageChoice(choice);
  choiceChanged(core::Choosing::Messages);
}

void TfmMain::cbMIDIInChange() {
  if (!creating_) bridge_.ForgetOpenFailure(core::Shape::MidiIn);
  bridge_.CloseMidiIn();
  const std::string name =
      bridge_.ChooseMidiIn(surface_.ListSelectedText(core::DeviceList::MidiIn));
  if (!selectMidiPort(bridge_.MidiInput.get(), core::DeviceList::MidiIn, name, core::Shape::MidiIn))
    return;
  bridge_.OpenMidiIn();
  choiceChanged(core::Choosing::MidiIn);
}

void TfmMain::cbMIDIOutChange() {
  if (!creating_) bridge_.ForgetOpenFailure(core::Shape::MidiOut);
  bridge_.CloseMidiOut();
  const std::string name =
      bridge_.ChooseMidiOut(surface_.ListSelectedText(core::DeviceList::MidiOut));
  if (!selectMidiPort(bridge_.MidiOutput.get(), core::DeviceList::MidiOut, name,
                      core::Shape::MidiOut))
    return;
  bridge_.OpenMidiOut();
  choiceChanged(core::Choosing::MidiOut);
}

void TfmMain::TimerMidiInTimer() {
  surface_.SetTimerEnabled(core::Timer::MidiIn, false);
  surface_.SetLampLit(core::Lamp::MidiIn, false);
}

void TfmMain::TimerMidiOutTimer() {
  surface_.SetTimerEnabled(core::Timer::MidiOut, false);
  surface_.SetLampLit(core::Lamp::MidiOut, false);
}

void TfmMain::btnLogClearClick() {
  surface_.LogClear();
}

void TfmMain::Button1Click() {
  surface_.SetLampLit(core::Lamp::MidiError, false);
  surface_.SetLampLit(core::Lamp::ComError, false);
  bridge_.ClearErrorNotes();
  bridge_.ResetCounts();
  errorNotes_ = {};
  newestNote_.clear();
  surface_.SetLampHint(core::Lamp::MidiError, {});
  surface_.SetLampHint(core::Lamp::ComError, {});
  showFirstPanel();
}

void TfmMain::ErrorNoted(core::Lamp lamp, const std::string& note) {
  errorNotes_[lamp == core::Lamp::MidiError ? 0 : 1] = note;
  newestNote_ = note;
  surface_.SetLampHint(lamp, note);
  showFirstPanel();
}

void TfmMain::ShowSettingsWarning(const std::string& text) {
  if (text.empty()) return;
  AddLogLine(text);
  settingsWarning_ = text;
  showFirstPanel();
}

void TfmMain::showFirstPanel() {
  surface_.SetStatusText(0, newestNote_.empty() ? settingsWarning_ : PanelNote(newestNote_));
}

void TfmMain::DoMidiInput(core::MidiInputDevice& sender) {
  // A nested call leaves the events to the running one, which drains the ring afterwards.
  if (inMidiInput_) return;
  struct Guard {
    bool& flag;
    explicit Guard(bool& f) : flag(f) { flag = true; }
    ~Guard() { flag = false; }
  } guard(inMidiInput_);
  // The lamp is painted when control returns to the loop: forwarding does not wait for it.
  if (!bridge_.Closing) {
    surface_.SetTimerEnabled(core::Timer::MidiIn, true);
    surface_.SetLampLit(core::Lamp::MidiIn, true);
  }
  while (sender.EventCount() > 0) {
    if (sender.TakeEvent(event_)) HandleMidiEvent(event_);
  }
}

void TfmMain::HandleMidiEvent(const midi::TMyMidiEvent& event) {
  if (event.IsSysex()) {
    handleSysexPart(event.SysexData.get(), event.SysexSize);
    return;
  }
  const std::uint8_t status = event.StatusByte;
  const std::size_t length = platform::midi::ShortMessageLength(status);
  if (length == 0) return;
  // Any other status ends a system exclusive (real time may come inside one): one cut short
  // is told before what follows it.
  if (status < 0xF8) {
    endSysexLine();
    sysexOpen_ = false;
  }
  if (!bridge_.Messages().toSerial.Passes(status)) return;
  const char* name = MidiStatusNames[7];
  switch (status & 0xF0) {
    case 0x80:
    case 0x90:
    case 0xA0:
    case 0xB0:
    case 0xE0:
      name = MidiStatusNames[(status - 0x80) / 16];
      TxRecord = TTxRecord{status, event.FirstDataByte, event.SecondDataByte, 3};
      break;
    case 0xC0:
    case 0xD0:
      name = MidiStatusNames[(status - 0x80) / 16];
      TxRecord.status = status;
      TxRecord.data1 = event.FirstDataByte;
      TxRecord.count = 2;
      break;
    default:
      // System common and real time: as many bytes as the status has.
      TxRecord = TTxRecord{status, event.FirstDataByte, event.SecondDataByte,
                           static_cast<std::uint8_t>(length)};
      break;
  }
  // A line per message: built by hand into a string that keeps its capacity, no printf.
  const std::uint8_t bytes[3] = {TxRecord.status, TxRecord.data1, TxRecord.data2};
  line_.assign("[MIDI-In] - ");
  core::AppendSpacedHex(line_, bytes, TxRecord.count);
  line_.append(" (").append(name).push_back(')');
  AddLogLine(line_);
  bridge_.SendComBytes(bytes, TxRecord.count);
}

void TfmMain::handleSysexPart(const std::uint8_t* data, std::size_t count) {
  if (count == 0) return;
  const bool first = !sysexOpen_ || data[0] == 0xF0;
  if (first) endSysexLine();
  sysexOpen_ = data[count - 1] != 0xF7;
  if (!bridge_.Messages().toSerial.Has(core::MessageKind::Sysex)) return;
  if (first) sysexLost_ = false;
  sysexShown_.Add(data, count);
  if (!bridge_.SendComSysex(data, count, first)) sysexLost_ = true;
  if (!sysexOpen_) endSysexLine();
}

void TfmMain::endSysexLine() {
  if (sysexShown_.Count() == 0) return;
  const std::string text = sysexShown_.Text(true);
  sysexShown_.Clear();
  AddLogLine("[MIDI-In] - " + text + " (" + MidiStatusNames[7] + ")");
  if (!sysexLost_) LogComTx(text);
}

void TfmMain::DoPacket(const std::uint8_t* data, std::int32_t size) {
  if (data == nullptr || size <= 0) return;
  bridge_.CaptureGather(core::CaptureDirection::SerialToMidi, data, static_cast<std::size_t>(size));
  SerialSink sink(*this);
  if (bridge_.Messages().serialText) {
    bridge_.TextFrames().Feed(data, static_cast<std::size_t>(size), sink);
  } else {
    bridge_.SerialAssembler().Feed(data, static_cast<std::size_t>(size), sink);
  }
}

void TfmMain::AddLogLine(const std::string& text) {
  if (surface_.LogCount() >= MaxLogLines && surface_.LogCount() > 0) surface_.LogDelete(0);
  surface_.LogAppend(text);
  surface_.LogSetSelected(surface_.LogCount() - 1);
}

void TfmMain::logLine(std::string_view tag, std::string_view text) {
  // Built in a string of our own, whose capacity stays: a line per message allocates nothing.
  line_.assign(tag);
  line_.append(text);
  AddLogLine(line_);
}

void TfmMain::LogMidiOut(const std::string& text) {
  logLine("[Midi-Out] - ", text);
}
void TfmMain::LogComRx(const std::string& text) {
  logLine("[Com-Rx] - ", text);
}
void TfmMain::LogComTx(const std::string& text) {
  logLine("[Com-Tx] - ", text);
}

}  // namespace velmora::ui
