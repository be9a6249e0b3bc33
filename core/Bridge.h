#pragma once

// The bridge core: owns the five devices for the whole run, opens and closes them with their
// shapes, fills the device lists and carries the serial side of the forwarding paths.
// Every member runs on the UI thread; nothing here is locked. A device that does not open turns
// its shape red and writes one log line saying why; what the forwarding paths lose is counted,
// logged and shown by the error lamps, never in a dialog.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/ByteCapture.h"
#include "core/DeviceInterfaces.h"
#include "core/ForwardingLosses.h"
#include "core/HeldNotes.h"
#include "core/MessageKinds.h"
#include "core/MidiAssembler.h"
#include "core/PacedSerialOutput.h"
#include "core/SerialTextFrames.h"
#include "core/WindowSurface.h"
#include "platform/Clock.h"
#include "platform/MessagePump.h"

namespace velmora::core {

// What the bridge calls on the main window (the window's handlers and its controls).
class MainForm {
 public:
  virtual ~MainForm() = default;
  virtual WindowSurface& Surface() = 0;
  virtual void LogComTx(const std::string& text) = 0;
  virtual void LogMidiOut(const std::string& text) = 0;
  virtual void DoMidiInput(MidiInputDevice& sender) = 0;
  virtual void DoPacket(const std::uint8_t* data, std::int32_t size) = 0;
  virtual void DoMidiOutput() = 0;
  // One line for the log, as it is.
  virtual void AddLogLine(const std::string& text) { (void)text; }
  // Why the error lamp `lamp` is lit: the time, the cause and its count, until "Reset".
  virtual void ErrorNoted(Lamp lamp, const std::string& note) {
    (void)lamp;
    (void)note;
  }
};

inline constexpr int kMaxComPorts = 50;
inline constexpr std::int32_t kBridgeBaud = 38400;
inline constexpr std::uint32_t kSwitchDelayMs = 200;
inline constexpr const char* kNoMidiPort = "Port non spécifié";
// Added to the list entry of a chosen device that is not there now.
inline constexpr const char* kAbsentSuffix = " — absent";
// What a closed MIDI output raises when asked to send.
inline constexpr const char* kMidiOutNotOpen = "MIDI Output device not open";

// Flow control as a user picks it; the port's HWFlowOptions and SWFlowOptions underneath.
enum class FlowControl : std::uint8_t { None, RtsCts, XonXoff };

// The serial line: today's 38400 8N1 without flow control unless asked otherwise.
struct LineSettings {
  std::int32_t baud = kBridgeBaud;
  std::uint16_t dataBits = 8;
  serial::TParity parity = serial::TParity::pNone;
  std::uint16_t stopBits = 1;
  FlowControl flow = FlowControl::None;
  bool operator==(const LineSettings&) const = default;
};

// What start-up chooses. A device given or remembered is that device, present or not; only
// where nothing was chosen does the first entry of the list stand in (never a port of one of
// Velmora's own clients).
struct StartChoice {
  int comNumber = 0;        // a COM number given on the command line; 0: none
  std::string comIdentity;  // the device chosen by identity or path; empty: none
  LineSettings line;
  std::string midiIn;  // empty: nothing chosen
  std::string midiOut;
  // The name is a part of a port's name, given on the command line before any port had it:
  // the one port that it names is chosen when it comes.
  bool midiInPart = false;
  bool midiOutPart = false;
  bool operator==(const StartChoice&) const = default;
};

// A MIDI port of a Velmora gateway ("velmora:midi_in", "velmora-synth2:midi_out_2"): never
// chosen by itself, so that a gateway does not wire itself into another.
bool IsOwnMidiPort(const std::string& name);
// What a line the port refused at opening leaves: one text per part ("31250 refusé par le
// port, reste 38400"); empty when the port took all of it.
std::vector<std::string> RefusedLineParts(const LineSettings& asked, const LineSettings& taken);

std::string ParityName(serial::TParity parity);
// The line in force as the about box tells it: "MIDI ↔ RS232, 31250 bauds" (and "7E2" when not
// 8N1).
std::string AboutLineText(const LineSettings& line);
std::string SWFlowName(serial::TSWFlowOptions options);
std::string HWFlowText(serial::THWFlowOptionSet options);
// Two upper-case digits per byte, separated by blanks ("90 3C 64") or run together ("903C64").
std::string SpacedHex(const std::uint8_t* bytes, std::size_t count);
std::string UnspacedHex(const std::uint8_t* bytes, std::size_t count);
// SpacedHex appended to `text`: a line per message built without a string of its own.
void AppendSpacedHex(std::string& text, const std::uint8_t* bytes, std::size_t count);
// A message as the log shows it: a sysex block longer than kLoggedBytes by its first and last
// bytes and its length ("F0 43 … 7F F7 (65536)"), so that one line stays readable.
inline constexpr std::size_t kLoggedBytes = 16;
std::string LogHex(const std::uint8_t* bytes, std::size_t count, bool spaced);

// A message that comes in parts (a long system exclusive), kept as LogHex shows it whole.
class LoggedBytes {
 public:
  static constexpr std::size_t kHead = 12;  // shown before "…", and kTail after it
  static constexpr std::size_t kTail = 4;
  void Add(const std::uint8_t* bytes, std::size_t count);
  void Clear() { count_ = 0; }
  std::size_t Count() const { return count_; }
  std::string Text(bool spaced) const;

 private:
  std::array<std::uint8_t, kLoggedBytes> head_{};
  std::array<std::uint8_t, kTail> tail_{};  // the last bytes, oldest first
  std::size_t count_ = 0;
};
// Messages forwarded and lost each way since the last "Reset".
struct TrafficCounts {
  std::uint64_t toSerial = 0;
  std::uint64_t toSerialLost = 0;
  std::uint64_t toMidi = 0;
  std::uint64_t toMidiLost = 0;
  bool operator==(const TrafficCounts&) const = default;
};

// "Tout arrêter": All Sound Off, All Notes Off and Reset All Controllers on the 16 channels.
std::vector<std::uint8_t> PanicBytes();
inline constexpr const char* kPanicLine =
    "[Tout arrêter] - All Sound Off, All Notes Off, Reset All Controllers : 16 canaux, MIDI Out "
    "et RS232";

// The loss that a MIDI output's refusal stands for: what it raised and its last result code.
Loss MidiOutLossOf(const std::string& raised, std::uint32_t result);

class Bridge {
 public:
  // Creates the devices at program start; one whose creation raises stays absent.
  explicit Bridge(DeviceFactory& factory, const platform::Clock& clock = platform::Clock::system());
  // Releases the devices at program end, if Finalize() has not run yet.
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // The main window (fmMain); null while there is none.
  void AttachWindow(MainForm* form) { fmMain = form; }

  // Sets Closing and releases controller, packet detector, port, MIDI input and output.
  void Finalize();
  // Before the program stops: what waits for the line goes out, handling messages meanwhile,
  // for at most `bound`; what is left then is lost, counted in one line, which is returned
  // (empty when nothing was left). Every loss line still owed is written. The pump must not
  // be quitting: its waits would return at once.
  std::string DrainForExit(std::chrono::milliseconds bound = kExitDrain);
  static constexpr std::chrono::milliseconds kExitDrain{3000};

  void WireStatusLights();
  void EnablePacket();
  void DisablePacket();
  void SetComPortOpen(bool open);
  void OpenComPort() { SetComPortOpen(true); }
  void CloseComPort() { SetComPortOpen(false); }
  void SelectComPort(std::int32_t number, bool reopen);
  void SetMidiInOpen(bool open);
  void SetMidiOutOpen(bool open);
  void OpenMidiIn() { SetMidiInOpen(true); }
  void CloseMidiIn() { SetMidiInOpen(false); }
  void OpenMidiOut() { SetMidiOutOpen(true); }
  void CloseMidiOut() { SetMidiOutOpen(false); }

  // The MIDI devices' own state: what their shapes show.
  bool MidiInOpen() const;
  bool MidiOutOpen() const;

  // A device that vanished while open is treated as closed: red, one log line, and nothing
  // more goes to it. When the same device is back the bridge opens it again by itself.
  void ComPortLost();
  void MidiInLost();
  void MidiOutLost();

  // MIDI in to serial: one short message (1 to 3 bytes) as it came. Real-time bytes go out at
  // once, before whatever waits; the others after it. What the port has no room for waits in
  // the bridge (PacedSerialOutput); what a closed port, a full wait or a refusal loses is
  // counted.
  void SendComBytes(const std::uint8_t* bytes, std::uint8_t count);
  // One part of a system-exclusive message as it came, `first` or following the last part
  // given: it waits its turn and goes out at the line's pace. After a part is lost the rest of
  // its message is dropped with it (one loss). False for a part lost or dropped.
  bool SendComSysex(const std::uint8_t* bytes, std::size_t count, bool first);
  // "Tout arrêter", both ways, each ahead of what waits; one log line.
  void Panic();
  TrafficCounts Counts() const;
  void ResetCounts() { countsFrom_ = rawCounts(); }

  // What crosses each way and whether the serial side's text frames are read; the MIDI input
  // is told what it may leave where it arrives.
  void SetMessageChoice(const MessageChoice& choice);
  const MessageChoice& Messages() const { return messages_; }
  // The bound of what waits for the line (1 MiB unless set), and what waits now, in bytes.
  void SetComWaitLimit(std::size_t bytes) { comOut_.SetLimit(bytes); }
  std::size_t ComWaiting() const { return comOut_.Waiting(); }
  // Serial to MIDI out: one whole message (1 to 3 bytes, or F0 ... F7) to the MIDI output.
  // What the output refuses is counted as a loss; nothing is raised.
  void SendMidiBytes(const std::uint8_t* bytes, std::size_t count);
  // A system exclusive from the serial side longer than the MIDI output's largest event: one
  // line with its length, counted, and the lamp.
  void SysexTooLong(std::size_t bytes);
  // Serial bytes as received; whole messages go out through SendMidiBytes. Each completed
  // message is logged with its "[Com-Rx]" line by `logComRx`, each dropped byte too.
  MidiAssembler& SerialAssembler() { return assembler_; }
  // Serial bytes as received when text frames are read: before the assembler.
  SerialTextFrames& TextFrames() { return textFrames_; }

  // Enumeration and start-up.
  std::string ComDeviceName(int number) const;
  bool ComPortExists(int number);
  std::vector<std::string> ListComPorts();
  void FillComPortList();
  // The serial device chosen by its identity (its by-id path, else its device path); opened
  // when `reopen` and present. A choice that is absent stays chosen: it opens when it comes.
  void SelectComIdentity(const std::string& identity, bool reopen);
  // The user's choice of list entry `index` (an absent entry included); -1: no entry.
  void SelectComEntry(int index, bool reopen);
  const std::string& ComIdentity() const { return comChoice_.identity; }
  // The MIDI port named by list entry `text` ("… — absent" included) becomes the choice; the
  // name to select is returned ("Port non spécifié" as it is: no port has it).
  std::string ChooseMidiIn(const std::string& text);
  std::string ChooseMidiOut(const std::string& text);
  // Read the devices again and update the lists, keeping the choices: a vanished choice stays
  // listed, marked absent; a chosen device that came back is opened again. Called by the
  // device watch through the UI thread's messages.
  void RefreshComPortList();
  void RefreshMidiLists();
  void ConfigurePacket();
  std::vector<std::string> ListMidiInDevices();
  std::vector<std::string> ListMidiOutDevices();
  void FillMidiInList();
  void FillMidiOutList();
  void StartDevices();
  std::string ComPortStatusText(bool detailed) const;
  // Read by StartDevices.
  StartChoice Choice;
  std::string CaptureFile;  // empty: no capture at start

  // The byte capture: one log line when it starts (its file open), stops, or stops by itself
  // (the file cannot be opened or written, the limit). Starting and stopping return at once;
  // starting again replaces the running one. `CaptureLimit` applies to the captures started
  // after.
  void StartCapture(const std::string& path);
  void StopCapture();
  // The running capture's file; empty while none runs (or after it stopped by itself).
  std::string CapturePath() const {
    return capture_ && capture_->Running() ? capture_->Path() : std::string{};
  }
  // Why the last capture stopped by itself: its log line; empty when it did not.
  const std::string& CaptureStopped() const { return captureStop_; }
  // Bytes as they crossed: when the port took them, or as the serial side read them.
  void Capture(CaptureDirection direction, const std::uint8_t* bytes, std::size_t count) {
    if (capture_) capture_->Record(direction, bytes, count);
  }
  // Serial input read a byte at a time, gathered into one block until CaptureFlush (the end of
  // a message).
  void CaptureGather(CaptureDirection direction, const std::uint8_t* bytes, std::size_t count) {
    if (capture_) capture_->Gather(direction, bytes, count);
  }
  void CaptureFlush() {
    if (capture_) capture_->Flush();
  }
  // How long the program's end waits for a capture's writer at most.
  static constexpr std::chrono::milliseconds kCaptureFinish{1000};
  std::uint64_t CaptureLimit = ByteCapture::kDefaultLimit;
  // Sets the port's line through its setters: an open port takes it at once, a closed one at
  // its next open, where what the device refuses of it is logged. False when the open device
  // refused it; the line in force before stays. XON/XOFF is warned of in the log.
  bool SetLineSettings(const LineSettings& line);
  LineSettings PortLineSettings() const;

  // The devices; null when absent.
  std::unique_ptr<LightControllerDevice> SLController;
  std::unique_ptr<DataPacketDevice> DataPacket;
  std::unique_ptr<ComPortDevice> SerialPort;
  std::unique_ptr<MidiInputDevice> MidiInput;
  std::unique_ptr<MidiOutputDevice> MidiOutput;
  std::unique_ptr<PortProbe> Probe;

  bool Closing = false;
  bool ComPortOpened = false;

  // What could not be forwarded, so that a loss is never silent: events the MIDI input's full
  // ring refused, and messages for which the port's output buffer had no room. UI thread.
  std::uint64_t MidiInRefused = 0;
  std::uint64_t ComTxRefused = 0;

  // What the forwarding paths lost, and the notes that the serial side holds on the output.
  ForwardingLosses& Losses() { return losses_; }
  const HeldNotes& Held() const { return held_; }
  // "Reset": the error lamps' notes are forgotten with their light.
  void ClearErrorNotes() { errorNoted_ = {}; }
  // The next failure of this device to open is logged even when it repeats the last one (the
  // user chose it again).
  void ForgetOpenFailure(Shape shape);
  // The chosen MIDI port has no device of that name: one log line, red shape.
  void MidiPortNotFound(Shape shape, const std::string& name);

 private:
  WindowSurface* surface() const { return fmMain ? &fmMain->Surface() : nullptr; }
  void colourShape(Shape shape, serial::TColor color);
  void createMidiDevices();
  void hookMidiInput();
  void hookMidiOutput();
  void fillMidiList(DeviceList list, std::vector<std::string> (Bridge::*lister)(),
                    const std::string& chosen, bool part);
  static std::string deviceOfEntry(const SerialEntry& entry);
  static bool sameDevice(const SerialEntry& entry, const std::string& identity);
  // The list's entries, with the absent choice marked; the index of the choice, -1 for none.
  int showComEntries(const std::vector<SerialEntry>& present);
  struct MidiSide;
  void refreshMidiSide(MidiSide& side);
  void midiSideLost(MidiSide& side, bool wasOpen, bool cut, const char* tag);
  // A part of a name given before its port came: the one port it names now becomes the choice.
  static void matchPart(MidiSide& side, const std::vector<std::string>& names);
  std::string chooseMidi(MidiSide& side, const std::string& text);
  void openComChoice();
  // A chosen device that is present but did not open (busy) is tried again a second later,
  // and every second while it fails; the failure's log line is not repeated.
  void retryComChoice();
  void showComStatus();
  void logRefusedLine();
  void devicesChanged(unsigned which);

  // Open failures: one log line each, not repeated while the same device keeps failing alike.
  void reportOpenFailure(Shape shape, const std::string& line);
  void midiOpenFailed(Shape shape, const std::string& name, std::uint32_t result,
                      const std::string& text);
  // The serial device as the log names it: its path, else "COMn".
  std::string comPortLabel() const;
  void logLine(const std::string& line);
  void noteMidiService();
  void noteOutsideLinks();
  void lose(Loss cause, const std::string& detail = {}, std::uint64_t count = 1);
  static Lamp lampOf(LossPath path);
  // Tells the window why the error lamp of `path` is lit; `text` is a loss line.
  void noteError(LossPath path, const std::string& text);
  void lossLine(const std::string& line);
  // Switches off, on the MIDI output still open, every note the serial side left on.
  void releaseHeldNotes();
  // Switches off, on the serial side, every note the MIDI input left on there.
  void releaseSerialNotes();
  // Writes what may go of the bytes that wait for the line, and keeps the pace timer running
  // while some wait. False when the port refused a write (what waited is then lost).
  bool drainComOut();
  // What the bytes due wait for: the line's pace, room in the port, or the port to hand on
  // what it holds.
  enum class ComWait { ForLine, ForRoom, ForPort };
  void armComPace(ComWait wait = ComWait::ForLine);
  // What waits for the line is lost: the port closed or refused.
  void dropComOut(Loss cause, const std::string& detail = {});
  // The line's byte time, from the port's settings.
  void paceComLine();

  TrafficCounts rawCounts() const;

  MainForm* fmMain = nullptr;
  std::uint64_t sentToSerial_ = 0;  // messages handed to the port or its queue
  std::uint64_t sentToMidi_ = 0;    // messages the MIDI output took
  TrafficCounts countsFrom_;        // the counts at the last "Reset"
  DeviceFactory& factory_;  // outlives the bridge; makes the MIDI devices absent at start later
  // The MIDI service the log last named.
  std::string midiService_;
  const platform::Clock& clock_;
  MidiAssembler assembler_;
  SerialTextFrames textFrames_;
  MessageChoice messages_;
  PacedSerialOutput comOut_;
  bool comSysexLost_ = false;  // the system exclusive on its way lost a part
  std::chrono::steady_clock::duration comPaceInterval_{0};  // the pace timer's; 0: stopped
  platform::MessageWindow comPace_;                         // its timer drains comOut_
  bool finalized_ = false;

  // The live lists; all UI thread.
  SerialEntry comChoice_;                  // empty identity: nothing chosen
  bool comWanted_ = false;                 // the choice is to be open (chosen with reopen)
  bool comPresent_ = false;                // the choice was in the last listing
  bool comLost_ = false;                   // it vanished while open, or its reopening failed
  std::string comDevice_;                  // its device path, for the log
  bool selectingIdentity_ = false;         // SelectComPort called for a chosen identity
  bool comUnlisted_ = false;               // port 1 tried with nothing listed nor chosen
  std::vector<SerialEntry> comShown_;      // what the list shows, the absent choice included
  bool comRetrying_ = false;               // the retry timer runs
  platform::MessageWindow comRetry_;       // its timer opens the chosen device again
  std::optional<LineSettings> lineAsked_;  // asked while closed: checked at the next opening
  struct MidiSide {
    DeviceList list;
    std::string chosen{};  // empty: none
    bool part = false;     // `chosen` is part of a name, to be matched when ports come
    bool wanted = false;   // to be open: chosen, and its link not cut by the user since
    bool present = false;
    bool lost = false;  // vanished while open, or its reopening failed
    std::vector<std::string> shown{};
  };
  MidiSide midiIn_{DeviceList::MidiIn};
  MidiSide midiOut_{DeviceList::MidiOut};
  bool listsStarted_ = false;  // the lists are filled: changes may be shown
  bool refreshing_ = false;    // a refresh runs (its opening handles messages)
  unsigned refreshAgain_ = 0;  // what changed while it ran
  // Which lists wait for a refresh: set by the watch's threads, cleared by the UI thread
  // before it reads the devices. Shared with the watch's callbacks, which may outlive us.
  std::shared_ptr<std::atomic<unsigned>> changed_ = std::make_shared<std::atomic<unsigned>>(0);
  platform::MessageWindow changes_;             // receives the watch's posts
  std::unique_ptr<DeviceWatch> watch_;          // last: stopped first
  std::array<std::string, 3> lastOpenFailure_;  // per Shape; empty after an opening succeeded
  HeldNotes held_;                              // notes on at the MIDI output, from the serial side
  HeldNotes heldSerial_;                        // notes on at the serial side, from the MIDI input
  std::array<bool, kLossPaths> errorNoted_{};   // per LossPath: its lamp lit since "Reset"
  ForwardingLosses losses_{[this](const std::string& line) { lossLine(line); }};
  std::unique_ptr<ByteCapture> capture_;  // UI thread's; null while none runs
  std::string captureStop_;               // UI thread's: see CaptureStopped
};

}  // namespace velmora::core
