#pragma once

// Packets found in the bytes received on a port. Every packet of one port shares one manager,
// which takes the received bytes from the port's dispatcher and offers them to its packets.
//
// Threads: the dispatcher tells the manager about new bytes and timer ticks on its dispatch
// thread. That thread only takes the bytes (GetBlock) and hands them, with one send without
// time-out, to the manager's window; everything else (matching, the packet's state, the events)
// runs on the UI thread, which owns every field below. So the events run on the UI thread and the
// data pointer of OnPacket stays valid for the whole handler.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/MessagePump.h"
#include "serial/ComponentBase.h"
#include "serial/PacketConditions.h"

namespace velmora::serial {

class TApdCustomComPort;
enum class TPortCallbackKind;
class TApdDataPacket;
class TApdDataPacketManager;

enum class TPacketState { pstIdle, pstWaiting, pstCollecting };

using TPacketNotifyEvent =
    TMethod<void(TApdDataPacket& sender, const std::uint8_t* data, std::int32_t size)>;
using TStringPacketNotifyEvent = TMethod<void(TApdDataPacket& sender, const std::string& data)>;
using TPacketTimeoutEvent = TMethod<void(TApdDataPacket& sender)>;

// Log subtypes of the packet entries (log type 18).
enum TPacketLogSubtype : std::uint16_t {
  plEnable = 242,
  plDisable = 243,
  plStringPacket = 244,
  plSizePacket = 245,
  plTimeout = 246,
  plStartStr = 247,
  plEndStr = 248,
  plIdle = 249,
  plWaiting = 250,
  plCollecting = 251,
};

// A start or end string made ready for matching: escapes removed, wildcards marked.
class TPacketPattern {
 public:
  TPacketPattern() = default;
  // A backslash takes the next character literally; "?" matches any byte. `upper` upper-cases
  // the letters a to z first.
  TPacketPattern(const std::string& text, bool upper);

  std::size_t Length() const { return chars_.size(); }
  bool Empty() const { return chars_.empty(); }
  // Whether byte b matches position k (0-based).
  bool Matches(std::size_t k, std::uint8_t b, bool ignoreCase) const;
  // Whether the bytes [first, first + n) match the first n positions.
  bool MatchesPrefix(const std::uint8_t* first, std::size_t n, bool ignoreCase) const;

 private:
  std::string chars_;
  std::vector<bool> wild_;
};

class TApdDataPacket : public TApdBaseComponent {
 public:
  TApdDataPacket();
  ~TApdDataPacket() override;
  TApdDataPacket(const TApdDataPacket&) = delete;
  TApdDataPacket& operator=(const TApdDataPacket&) = delete;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  bool AutoEnable() const { return autoEnable_; }
  void SetAutoEnable(bool value) { autoEnable_ = value; }
  TPacketStartCond StartCond() const { return startCond_; }
  void SetStartCond(TPacketStartCond value) { startCond_ = value; }
  TPacketEndSet EndCond() const { return endCond_; }
  void SetEndCond(TPacketEndSet value);
  const std::string& StartString() const { return startString_; }
  void SetStartString(const std::string& value) { startString_ = value; }
  const std::string& EndString() const { return endString_; }
  void SetEndString(const std::string& value);
  bool IgnoreCase() const { return ignoreCase_; }
  void SetIgnoreCase(bool value) { ignoreCase_ = value; }
  TApdCustomComPort* ComPort() const { return comPort_; }
  void SetComPort(TApdCustomComPort* port);
  std::int32_t PacketSize() const { return packetSize_; }
  void SetPacketSize(std::int32_t value) { packetSize_ = value; }
  bool IncludeStrings() const { return includeStrings_; }
  void SetIncludeStrings(bool value) { includeStrings_ = value; }
  std::int32_t TimeOut() const { return timeOut_; }
  void SetTimeOut(std::int32_t ticks) { timeOut_ = ticks; }

  TPacketNotifyEvent OnPacket;
  TStringPacketNotifyEvent OnStringPacket;
  TPacketTimeoutEvent OnTimeout;

  // State for the engine and tests; not part of the designer's properties.
  TPacketState PacketState() const { return state_; }
  TApdDataPacketManager* Manager() const { return manager_; }
  bool FlushOnTimeout = true;
  std::string Name;  // written in log entries that carry no bytes

 private:
  friend class TApdDataPacketManager;

  void Arm();     // enable
  void Disarm();  // disable
  void SetPacketState(TPacketState state);
  void ResetMatch();
  // Offers the held bytes from position s on. Returns after a completion.
  void OfferBytes(std::size_t s);
  void EndMatchAfterMismatch(std::size_t s);
  void Complete(std::size_t size, bool byString);
  void TimedOut();
  void Log(std::uint16_t subtype, const std::uint8_t* data = nullptr, std::size_t size = 0);
  void Log(std::uint16_t subtype, const std::string& bytes);

  bool enabled_ = false;
  bool autoEnable_ = true;
  TPacketStartCond startCond_ = TPacketStartCond::scString;
  TPacketEndSet endCond_ = 0;
  std::string startString_;
  std::string endString_;
  bool ignoreCase_ = true;
  TApdCustomComPort* comPort_ = nullptr;
  std::int32_t packetSize_ = 0;
  bool includeStrings_ = true;
  std::int32_t timeOut_ = 2184;

  TApdDataPacketManager* manager_ = nullptr;
  TPacketState state_ = TPacketState::pstIdle;
  bool enablePending_ = false;
  bool startPending_ = false;
  bool holdsTimer_ = false;
  bool timerRunning_ = false;  // its time-out is armed at the dispatcher (a time-out is set)
  // Match state: 1-based indexes into the patterns, the buffer index of the packet's first byte.
  std::size_t startIndex_ = 1;
  std::size_t endIndex_ = 1;
  std::ptrdiff_t startPos_ = -1;
  std::size_t sizeLimit_ = 0;
  TPacketPattern start_;
  TPacketPattern end_;
};

// The packets of one port. Created with the first packet attached to the port; frees itself
// (through its window) when the last one leaves. UI thread only.
class TApdDataPacketManager {
 public:
  explicit TApdDataPacketManager(TApdCustomComPort& port);
  ~TApdDataPacketManager();
  TApdDataPacketManager(const TApdDataPacketManager&) = delete;
  TApdDataPacketManager& operator=(const TApdDataPacketManager&) = delete;

  TApdCustomComPort& Port() const { return port_; }
  // False once the port is destroyed: another port may then live at its address.
  bool PortAlive() const { return !portAlive_.expired(); }
  const std::vector<TApdDataPacket*>& Packets() const { return packets_; }
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  TApdDataPacket* Collector() const { return collector_; }
  std::size_t HeldBytes() const { return held_.size(); }
  std::size_t Capacity() const { return capacity_; }
  bool InEvent() const { return inEvent_; }
  std::uint16_t TimeoutTrigger() const { return timeoutTrigger_; }

  // Messages of the manager's window.
  static constexpr std::uint32_t kFreeMessage = 0xB021;
  static constexpr std::uint32_t kDataMessage = platform::WM_USER + 0x21;   // blocks waiting
  static constexpr std::uint32_t kTimerMessage = platform::WM_USER + 0x22;  // wParam: handle

  // Takes bytes from the UI thread (the data message does the same).
  void Receive(const std::uint8_t* bytes, std::size_t count);

 private:
  friend class TApdDataPacket;

  struct Relay;
  class Inbox;
  void Add(TApdDataPacket& packet);
  void Remove(TApdDataPacket& packet);
  void PortCallbackEx(TApdCustomComPort& port, TPortCallbackKind kind);
  std::intptr_t HandleMessage(const platform::Message& message);
  void Timer(std::uint16_t handle);
  // Hands the blocks the dispatch thread left in the inbox to Receive, oldest first.
  void DeliverInbox();

  void ProcessData(std::size_t start);
  void OfferRound(std::size_t start);
  void Lock();
  void Unlock();
  void RemoveFront(std::size_t count);
  void FreeBuffer();
  void Report(std::exception_ptr error) const;

  TApdCustomComPort& port_;
  std::weak_ptr<const void> portAlive_;   // expired once the port is destroyed
  std::vector<TApdDataPacket*> packets_;  // attaching order; the packets own themselves
  bool installed_ = false;
  bool enabled_ = false;
  std::vector<std::uint8_t> held_;      // the receive buffer; its size is the count held
  std::vector<std::uint8_t> spare_;     // UI thread: the buffer the inbox's bytes come in
  std::size_t capacity_ = 0;            // grows in 8192-byte steps, 0 when freed
  std::vector<std::uint8_t> incoming_;  // bytes that arrived during a delivery
  TApdDataPacket* collector_ = nullptr;
  std::uint16_t timeoutTrigger_ = 0;
  bool inEvent_ = false;
  bool dataPending_ = false;
  std::size_t pendingPos_ = 0;
  bool processing_ = false;        // a ProcessData loop runs: deferred work joins it, no nesting
  std::uint64_t completions_ = 0;  // deliveries and time-outs so far
  bool destroying_ = false;
  bool freePosted_ = false;
  std::unique_ptr<platform::MessageWindow> window_;
  std::shared_ptr<Inbox> inbox_;  // shared with the relay, which the dispatcher keeps
};

// The managers of the process, in creation order. UI thread only.
class TApdDataPacketManagerList {
 public:
  TApdDataPacketManager* GetPortManager(const TApdCustomComPort& port) const;
  TApdDataPacketManager& Create(TApdCustomComPort& port);
  // Frees the manager.
  void Release(TApdDataPacketManager& manager);
  std::size_t Count() const { return managers_.size(); }

 private:
  std::vector<std::unique_ptr<TApdDataPacketManager>> managers_;
};

TApdDataPacketManagerList& PacketManagerList();

}  // namespace velmora::serial
