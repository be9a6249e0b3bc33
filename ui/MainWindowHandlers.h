#pragma once

// The main window's handlers. They run on the UI thread against the window surface, so that
// the same code drives the Qt window, the headless window of the tests and the benchmark.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Bridge.h"
#include "core/MidiAssembler.h"
#include "core/WindowSurface.h"

namespace velmora::ui {

inline constexpr std::array<const char*, 8> MidiStatusNames = {
    "Note Off",           "Note On",    "Key Aftertouch", "Control Change", "Program Change",
    "Channel Aftertouch", "Pitch Bend", "System Message"};

// The last message taken from the MIDI input, on its way to the serial port.
struct TTxRecord {
  std::uint8_t status = 0;
  std::uint8_t data1 = 0;
  std::uint8_t data2 = 0;
  std::uint8_t count = 0;  // bytes to send: 3 or 2; 0 before the first message
};

class TfmMain : public core::MainForm {
 public:
  TfmMain(core::Bridge& bridge, core::WindowSurface& surface);
  ~TfmMain() override;

  // Window actions that belong to the toolkit.
  std::function<void()> CloseWindow;
  std::function<void()> ShowAboutBox;
  // After the user changed a device choice (not the start-up's own choices).
  std::function<void()> ChoiceChanged;

  // The window's event handlers. Errors leave them for the window's error report.
  void FormCreate();
  void FormClose();
  void ActAppCloseExecute();
  void ActAppAboutExecute();
  void cbComPortChange();
  // "Paramètres du port...": the open port takes the new line without reopening; a line the
  // device refuses is told in the log and the one in force stays.
  void ActPortSettingsApply(const core::LineSettings& line);
  void cbMIDIInChange();
  void cbMIDIOutChange();
  // "Messages transmis...": what crosses each way from now on, remembered.
  void ActMessagesApply(const core::MessageChoice& choice);
  void TimerMidiInTimer();
  void TimerMidiOutTimer();
  void btnLogClearClick();
  // "Reset": darkens both error lamps and sets the counters to zero.
  void Button1Click();
  // "Tout arrêter" (Ctrl+Espace): silences everything, both ways.
  void ActPanicExecute() { bridge_.Panic(); }
  void SetupLog() { MaxLogLines = 40; }

  // The forwarding paths and the log.
  void DoMidiInput(core::MidiInputDevice& sender) override;
  void HandleMidiEvent(const midi::TMyMidiEvent& event);
  void DoPacket(const std::uint8_t* data, std::int32_t size) override;
  void DoMidiOutput() override {}
  void AddLogLine(const std::string& text) override;
  void ErrorNoted(core::Lamp lamp, const std::string& note) override;
  // A warning about the remembered choices: logged, and kept in the status bar's first panel
  // until the next choice.
  void ShowSettingsWarning(const std::string& text);
  void LogMidiOut(const std::string& text) override;
  void LogComRx(const std::string& text);
  void LogComTx(const std::string& text) override;

  core::WindowSurface& Surface() override { return surface_; }
  core::Bridge& Bridge() { return bridge_; }

  std::int32_t MaxLogLines = 40;
  TTxRecord TxRecord;

 private:
  class SerialSink;

  void logLine(std::string_view tag, std::string_view text);
  // A part of a system-exclusive message: forwarded, and logged whole once it ends.
  void handleSysexPart(const std::uint8_t* data, std::size_t count);
  // The "[MIDI-In]" (and "[Com-Tx]") line of the system exclusive taken so far, if any.
  void endSysexLine();

  core::Bridge& bridge_;
  core::WindowSurface& surface_;
  midi::TMyMidiEvent event_;      // the input's event being handled, reused for the next
  std::string line_;              // the log line being built, reused for the next
  core::LoggedBytes sysexShown_;  // the system exclusive on its way, as its line shows it
  bool sysexOpen_ = false;        // a part came without the message's F7: more parts follow
  bool sysexLost_ = false;        // a part of it was lost
  // Set while DoMidiInput runs. Its message processing hands it the next input notification;
  // without the guard a flood nested one call per notification until the stack overflowed.
  bool inMidiInput_ = false;
  bool creating_ = false;
  // The status bar's first panel: the newest error note while an error lamp is lit, else the
  // settings warning.
  std::array<std::string, 2> errorNotes_;  // "Erreur MIDI", "Erreur RS232"
  std::string newestNote_;
  std::string settingsWarning_;
  void showFirstPanel();
  void choiceChanged() {
    if (creating_) return;
    if (!settingsWarning_.empty()) {
      settingsWarning_.clear();
      showFirstPanel();
    }
    if (ChoiceChanged) ChoiceChanged();
  }
  // A start-up step: what it raises goes to the log, and start-up goes on.
  template <typename Step>
  void startStep(Step&& step);
  // Selects the chosen MIDI port by name; false when none has it (logged; raised again for a
  // present entry the user just chose, so that it is reported to them; an absent one waits for
  // its port to come back).
  template <typename Device>
  bool selectMidiPort(Device* device, core::DeviceList list, const std::string& name,
                      core::Shape shape);
};

// The counters as both windows show them: "RS232 → MIDI : 12 messages, 1 perdu".
enum class Direction { ToMidi, ToSerial };
std::string CountsText(Direction direction, const core::TrafficCounts& counts);
// The status bar's word while a capture runs: "capture : fichier.txt" (the file's name alone).
std::string CaptureWord(const std::string& path);
// An error note as the status bar's first panel shows it: its time and its cause, without the
// log's tag and the count, which the counters and the lamp's tooltip tell
// ("16:42:59 sortie MIDI fermée").
std::string PanelNote(const std::string& note);
// The widest texts each of these panels may have to show, for sizing them from the font
// (counts up to a billion: eleven days at a thousand messages a second).
std::vector<std::string> WidestCountsTexts();
std::vector<std::string> WidestCauseTexts();

// The port number written after "COM" in a list entry ("COM3 (/dev/ttyUSB0)" gives 3); 0 when
// there is none.
int PortNumberOfEntry(const std::string& entry);

}  // namespace velmora::ui
