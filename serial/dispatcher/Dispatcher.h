#pragma once

// The dispatcher: the engine under a serial port. It reads the device into an 8192-byte ring,
// tells registered handlers about new bytes and fired triggers, hands written bytes to an
// output ring that its output thread writes to the device, and keeps the line settings, the
// modem status, the line errors, the triggers, the byte trace and the dispatch log.
//
// A platform driver derives from TApdBaseDispatcher and fills the device slots (the pure
// virtual operations below). The base runs the three threads; the driver's part in them is
// WaitComEvent (com thread), WriteDevice (output thread) and the two Cancel hooks.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/MessagePump.h"

namespace velmora::serial {

class TApdCustomComPort;
class TApdBaseDispatcher;

// ---- Constants ---------------------------------------------------------------------------

// Notification messages; lParam = dispatcher handle * 65536 + the low word given below.
inline constexpr std::uint32_t apw_TriggerAvail = 0x7E01;   // wParam: bytes waiting
inline constexpr std::uint32_t apw_TriggerData = 0x7E02;    // never sent here
inline constexpr std::uint32_t apw_TriggerTimer = 0x7E03;   // wParam: trigger handle
inline constexpr std::uint32_t apw_TriggerStatus = 0x7E04;  // wParam: handle; low word: data
inline constexpr std::uint32_t apw_ClosePending = 0x7E0A;   // posted by the port to itself

// Communication-event mask bits (what WaitComEvent reports).
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;
inline constexpr std::uint32_t EV_RINGTE = 0x2000;  // ring trailing edge
inline constexpr std::uint32_t DefaultEventMask = 0x01F9;

// Device error bits (GetComError).
inline constexpr std::uint32_t CE_RXOVER = 0x01;
inline constexpr std::uint32_t CE_OVERRUN = 0x02;
inline constexpr std::uint32_t CE_RXPARITY = 0x04;
inline constexpr std::uint32_t CE_FRAME = 0x08;
// A device that went away, reported once with CE_FRAME.
inline constexpr std::uint32_t CE_IOE = 0x0400;
inline constexpr std::uint32_t CE_BREAK = 0x10;

// Modem line bits (GetComModemStatus) and the sticky change bits of the modem status byte.
inline constexpr std::uint8_t MS_CTS_ON = 0x10;
inline constexpr std::uint8_t MS_DSR_ON = 0x20;
inline constexpr std::uint8_t MS_RING_ON = 0x40;
inline constexpr std::uint8_t MS_RLSD_ON = 0x80;
inline constexpr std::uint8_t DeltaCTSMask = 0x01;
inline constexpr std::uint8_t DeltaDSRMask = 0x02;
inline constexpr std::uint8_t DeltaRingMask = 0x04;
inline constexpr std::uint8_t DeltaDCDMask = 0x08;

// Line functions (EscapeComFunction).
inline constexpr std::int32_t SETRTS = 3;
inline constexpr std::int32_t CLRRTS = 4;
inline constexpr std::int32_t SETDTR = 5;
inline constexpr std::int32_t CLRDTR = 6;
inline constexpr std::int32_t GETBASEIRQ = 10;

// Queues (FlushCom).
inline constexpr std::int32_t FlushOutput = 0;
inline constexpr std::int32_t FlushInput = 1;

// InitPort options.
inline constexpr std::uint8_t ipAssertDTR = 0x01;
inline constexpr std::uint8_t ipAssertRTS = 0x02;
inline constexpr std::uint8_t ipAutoDTR = 0x10;
inline constexpr std::uint8_t ipAutoRTS = 0x20;

// Hardware and software flow options (SetHWFlowOptions, SetSWFlowOptions, GetFlowOptions).
inline constexpr std::uint32_t hfUseDTR = 0x01;
inline constexpr std::uint32_t hfUseRTS = 0x02;
inline constexpr std::uint32_t hfRequireDSR = 0x04;
inline constexpr std::uint32_t hfRequireCTS = 0x08;
inline constexpr std::uint32_t sfTransmitFlow = 0x01;
inline constexpr std::uint32_t sfReceiveFlow = 0x02;

// Line error codes (GetLineError).
inline constexpr std::int32_t leNoError = 0;
inline constexpr std::int32_t leBuffer = 1;
inline constexpr std::int32_t leOverrun = 2;
inline constexpr std::int32_t leParity = 3;
inline constexpr std::int32_t leFraming = 4;
inline constexpr std::int32_t leBreak = 9;

// Status trigger kinds (the low three bits of a status trigger handle).
inline constexpr std::int32_t stNotActive = 0;
inline constexpr std::int32_t stModem = 1;
inline constexpr std::int32_t stLine = 2;
inline constexpr std::int32_t stOutBuffFree = 3;
inline constexpr std::int32_t stOutBuffUsed = 4;
inline constexpr std::int32_t stOutSent = 5;

// Line error bits a user arms a line-error trigger with (translated to CE_ bits).
inline constexpr std::uint16_t lsOverrun = 0x01;
inline constexpr std::uint16_t lsParity = 0x02;
inline constexpr std::uint16_t lsFraming = 0x04;
inline constexpr std::uint16_t lsBreak = 0x08;

inline constexpr std::uint32_t DispatchBufferSize = 8192;
inline constexpr std::uint32_t MaxTraceEntries = 4000000;
inline constexpr std::int32_t InvalidHandle = -1;

// Dispatch log entry types and subtypes used by the serial layer.
inline constexpr std::uint8_t dtDispatch = 1;
inline constexpr std::uint8_t dtTrigger = 2;
inline constexpr std::uint8_t dtTriggerAlloc = 5;
inline constexpr std::uint8_t dtTriggerDispose = 6;
inline constexpr std::uint8_t dtTriggerHandlerAlloc = 7;
inline constexpr std::uint8_t dtTriggerHandlerDispose = 8;
inline constexpr std::uint8_t dtTriggerDataChange = 9;
inline constexpr std::uint8_t dtPacket = 18;
inline constexpr std::uint8_t dstReadCom = 1;
inline constexpr std::uint8_t dstWriteCom = 2;
inline constexpr std::uint8_t dstAvail = 5;
inline constexpr std::uint8_t dstTimer = 6;
inline constexpr std::uint8_t dstData = 7;
inline constexpr std::uint8_t dstStatus = 8;
inline constexpr std::uint8_t dstTimerTrigger = 14;
inline constexpr std::uint8_t dstStatusTrigger = 15;
inline constexpr std::uint8_t dstAvailTrigger = 16;
inline constexpr std::uint8_t dstWndHandler = 17;
inline constexpr std::uint8_t dstMethodHandler = 19;
inline constexpr std::uint8_t dstPacketEnable = 242;
inline constexpr std::uint8_t dstPacketDisable = 243;
inline constexpr std::uint8_t dstPacketStringPacket = 244;
inline constexpr std::uint8_t dstPacketSizePacket = 245;
inline constexpr std::uint8_t dstPacketTimeout = 246;
inline constexpr std::uint8_t dstPacketStartStr = 247;
inline constexpr std::uint8_t dstPacketEndStr = 248;
inline constexpr std::uint8_t dstPacketIdle = 249;
inline constexpr std::uint8_t dstPacketWaiting = 250;
inline constexpr std::uint8_t dstPacketCollecting = 251;

// ---- Records -----------------------------------------------------------------------------

// The line settings: the fields of the Win32 DCB that the serial layer uses, on every platform.
struct TDCB {
  std::uint32_t BaudRate = 0;
  bool fBinary = true;
  bool fParity = false;
  bool fOutxCtsFlow = false;
  bool fOutxDsrFlow = false;
  std::uint8_t fDtrControl = 0;  // 0 off, 1 on, 2 handshake
  bool fDsrSensitivity = false;
  bool fTXContinueOnXoff = false;
  bool fOutX = false;
  bool fInX = false;
  bool fNull = false;
  std::uint8_t fRtsControl = 0;  // 0 off, 1 on, 2 handshake, 3 toggle
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 8;
  std::uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 0x11;
  char XoffChar = 0x13;

  friend bool operator==(const TDCB&, const TDCB&) = default;
};

// What GetComError reports besides the error bits.
struct TComStat {
  std::uint32_t cbInQue = 0;   // received bytes the device holds
  std::uint32_t cbOutQue = 0;  // bytes waiting in the output ring (filled by the base)
};

// A method handler: a function with its object, like a method pointer. Removal compares Code
// only, so every registration of the same function goes, whatever its object.
struct TApdEventHandler {
  using Procedure = void (*)(void* object, std::uint32_t msg, std::uint32_t wParam,
                             std::int32_t lParam);
  Procedure Code = nullptr;
  void* Object = nullptr;
};

// Builds a TApdEventHandler that calls object->*Method(msg, wParam, lParam).
template <auto Method, class T>
TApdEventHandler MakeEventHandler(T* object) {
  return {[](void* self, std::uint32_t msg, std::uint32_t wParam, std::int32_t lParam) {
            (static_cast<T*>(self)->*Method)(msg, wParam, lParam);
          },
          object};
}

// A tick timer: ticks of 55 ms on the dispatcher's clock.
struct TEventTimer {
  std::uint32_t StartTicks = 0;
  std::uint32_t ExpireTicks = 0;
};
inline constexpr std::uint32_t MaxTicks = 39045157;
inline constexpr std::uint32_t MillisecondsPerTick = 55;

struct TTimerTrigger {
  std::int32_t Handle = 0;
  TEventTimer Timer;
  std::int32_t Ticks = 0;
  bool Active = false;
};

struct TStatusTrigger {
  std::int32_t Handle = 0;
  std::int32_t Kind = 0;
  std::uint16_t Value = 0;
  bool Armed = false;
  bool Fired = false;
};

// A data-match trigger: never created in this system; kept for the snapshot format.
struct TDataTrigger {
  std::int32_t Handle = 0;
  std::uint8_t Body[124] = {};
};

// The triggers of a dispatcher, kept by the port across a close and the next open.
struct TTriggerSnapshot {
  std::uint32_t LengthTrigger = 0;
  std::optional<std::vector<TTimerTrigger>> Timers;
  std::optional<std::vector<TDataTrigger>> Data;
  std::optional<std::vector<TStatusTrigger>> Status;
};

// Status kind of a trigger handle (its low three bits).
inline constexpr std::int32_t StatusTriggerKind(std::int32_t handle) {
  return handle & 7;
}

// ---- The registry ------------------------------------------------------------------------

// Every dispatcher of the process; a dispatcher's handle is its index. Entries of destroyed
// dispatchers are null. The lock is re-entrant: the port's window procedure holds it while it
// handles a notification, which may end by destroying a dispatcher.
class DispatcherList {
 public:
  static std::unique_lock<std::recursive_mutex> Lock();
  // The dispatcher with this handle, or null. Call with the lock held.
  static TApdBaseDispatcher* At(std::int32_t handle);
  // Entries, null ones included. Call with the lock held.
  static std::size_t Count();
};

// ---- The dispatcher ----------------------------------------------------------------------

// Threads: the main thread (every public operation unless said otherwise), the com thread
// (WaitComEvent), the dispatch thread (reads the device, runs the passes, notifies handlers)
// and the output thread (WriteDevice). A driver whose device wait can end after a time
// (WaitComEventFor) has no com thread: the dispatch thread waits for the device itself, which
// saves two thread switches per received block. A handler may call any public operation.
//
// Every lock of the serial layer, in the one order in which they may nest (a thread holding
// one takes only locks further down):
//   1. DispatcherList's lock (process-wide): the dispatchers' registry; the port's window holds
//      it while it raises the port's events.
//   2. start lock: starting and stopping the threads.
//   3. buffer lock: the dispatch buffer and its head, tail and full flag.
//   4. general lock: line settings, modem status, handler and trigger lists, trace and log.
//   5. output lock: the output ring.
//   6. the driver's device lock (TApdPosixDispatcher::deviceLock_): around each device call.
// The thread lock (the thread objects and ids) and the failures lock are leaves: nothing else
// is taken while either is held. Locks 2 to 6 are never held while a handler or a window is
// notified, nor while a thread is waited for.
class TApdBaseDispatcher {
 public:
  // owner: the port served, or null (a probe). clock: ticks and log times.
  explicit TApdBaseDispatcher(TApdCustomComPort* owner,
                              const platform::Clock& clock = platform::Clock::system());
  virtual ~TApdBaseDispatcher();
  TApdBaseDispatcher(const TApdBaseDispatcher&) = delete;
  TApdBaseDispatcher& operator=(const TApdBaseDispatcher&) = delete;

  // ---- Opening and closing
  // Opens the device and starts the threads; 0 or a negative code (the device is closed again).
  std::int32_t InitPort(const std::string& name, std::uint32_t baud, std::uint8_t parity,
                        std::uint8_t dataBits, std::uint8_t stopBits, std::uint32_t inSize,
                        std::uint32_t outSize, std::uint8_t options);
  // Flushes and closes the device. Called from inside a notification, the release is left to
  // the dispatch thread (ClosePending() turns true, Started() false once it is done).
  void DonePort();
  // The device vanished while open (a USB adapter pulled, the far end of a pseudo-terminal
  // closed): nothing more is read from it or written to it. Any thread.
  virtual bool DeviceLost() const { return false; }

  // ---- Data
  // All or nothing: 0, ecOutputBufferTooSmall (nothing queued), ecPutBlockFail.
  std::int32_t PutBlock(const void* block, std::uint32_t count);
  // count, or ecBufferIsEmpty (nothing taken). Inside a handler of an avail notification it
  // peeks: every handler reads from the same first byte, and the tail moves when the
  // notification ends. Any other caller takes, even while a notification is in progress.
  std::int32_t GetBlock(void* block, std::uint32_t count);

  // Marks the calling thread, for the scope's life, as running this dispatcher's handlers. The
  // dispatch thread holds one around each event handler, the port's window around its own.
  class HandlerScope {
   public:
    explicit HandlerScope(const TApdBaseDispatcher* dispatcher);
    ~HandlerScope();
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;

   private:
    const TApdBaseDispatcher* previous_;
  };
  std::uint32_t InBuffUsed();
  std::uint32_t OutBuffUsed();
  std::uint32_t OutBuffFree();
  std::int32_t FlushInBuffer();
  std::int32_t FlushOutBuffer();

  // ---- Handlers
  // Window handlers get notifications by a send with a 3000 ms time-out; `handle` names the
  // window in the log and in RemoveWindowHandler.
  void AddWindowHandler(std::uintptr_t handle, platform::WindowRef window);
  void RemoveWindowHandler(std::uintptr_t handle);
  // Method handlers are called on the dispatch thread.
  void AddEventHandler(TApdEventHandler handler);
  void RemoveEventHandler(TApdEventHandler::Procedure code);
  void SetTriggerLength(std::uint32_t length);  // avail threshold; 0 switches avail off
  // Whether the window handler `handle` wants avail notifications (it does unless told);
  // without, it is not sent them, and reading never waits for its thread.
  void SetWindowAvailWanted(std::uintptr_t handle, bool wanted);
  void SetOptionFlags(std::uint32_t bits);
  void ClearOptionFlags(std::uint32_t bits);
  // Runs `method` on the main thread (the thread that created the dispatcher) and waits for
  // it; at once when called there. False when it could not run (the dispatcher is going).
  bool Synchronize(const std::function<void()>& method);

  // ---- Line control
  std::int32_t SetCommBuffers(std::uint32_t inSize, std::uint32_t outSize);  // setup wrapper
  // baud 0, parity 5, data bits 9, stop bits 3: keep the current value.
  std::int32_t SetLine(std::uint32_t baud, std::uint8_t parity, std::uint8_t dataBits,
                       std::uint8_t stopBits);
  void GetLine(std::uint32_t& baud, std::uint16_t& parity, std::uint8_t& dataBits,
               std::uint8_t& stopBits);
  // 0, 1 (the line is under flow control; nothing done) or ecBadArgument.
  std::int32_t SetDTR(bool on);
  std::int32_t SetRTS(bool on);
  bool CheckCTS();
  bool CheckDSR();
  bool CheckDCD();
  bool CheckRI();  // a ring ended since the last look
  std::int32_t GetLineError();
  bool CheckLineBreak();
  std::int32_t SetHWFlowOptions(std::uint32_t bufferFull, std::uint32_t bufferResume,
                                std::uint32_t options);
  std::int32_t SetSWFlowOptions(std::uint32_t bufferFull, std::uint32_t bufferResume,
                                std::uint32_t options);
  std::int32_t ClearSWFlowOptions();
  std::int32_t SetFlowChars(char xon, char xoff);
  std::int32_t GetFlowOptions(std::uint32_t& hwOptions, std::uint32_t& swOptions, char& xon,
                              char& xoff);
  // Keeps the mode and sets the output thread's priority; a driver that can steer the line
  // direction overrides it and calls this one too.
  virtual void SetRS485Mode(bool on);

  // ---- Triggers
  std::int32_t AddTimerTrigger();
  std::int32_t AddStatusTrigger(std::int32_t kind);
  std::int32_t SetTimerTrigger(std::int32_t handle, std::int32_t ticks, bool activate);
  std::int32_t SetStatusTrigger(std::int32_t handle, std::uint16_t value, bool activate);
  std::int32_t RemoveTrigger(std::int32_t handle);
  void SaveTriggers(TTriggerSnapshot& snapshot);
  void RestoreTriggers(const TTriggerSnapshot& snapshot);
  static void FreeTriggerSnapshot(TTriggerSnapshot& snapshot);

  // ---- Tracing and logging
  std::int32_t InitTrace(std::uint32_t entries);
  void ClearTrace();
  void AbortTrace();
  void StartTracing();
  void StopTracing();
  void AddTraceEntry(char kind, std::uint8_t byte);
  std::int32_t DumpTrace(const std::string& fileName, bool hex, bool allHex);
  std::int32_t AppendTrace(const std::string& fileName, bool hex, bool allHex);
  void InitLog(std::uint32_t size);
  void ClearLog();
  void AbortLog();
  void StartLogging();
  void StopLogging();
  void AddLogEntry(std::uint8_t type, std::uint8_t subtype, std::uint32_t length, const void* data,
                   std::uint32_t value);
  std::int32_t DumpLog(const std::string& fileName, bool hex, bool allHex);
  std::int32_t AppendLog(const std::string& fileName, bool hex, bool allHex);
  bool Tracing() const { return tracing_.load(); }
  bool Logging() const { return logging_.load(); }

  // ---- Thread priority and handler bookkeeping (drivers may refine)
  virtual void SetThreadBoost(std::uint8_t boost);
  // 0: recount; 1: the port's trigger events are assigned; 2: none is.
  virtual void UpdateHandlerFlags(std::int32_t mode);

  // ---- State
  TApdCustomComPort* Owner() const { return owner_; }
  std::int32_t Handle() const { return handle_; }  // index in DispatcherList
  std::int32_t ComHandle() const { return comHandle_.load(); }
  const std::string& DeviceName() const { return deviceName_; }
  void SetDeviceName(std::string name) { deviceName_ = std::move(name); }
  bool InNotification() const { return inNotification_.load(); }
  bool ClosePending() const { return closePending_.load(); }
  bool Started() const { return started_.load(); }
  bool HasDispatchThread() const { return dispThreadRunning_.load(); }
  std::uint8_t ThreadBoost() const { return threadBoost_; }
  bool RS485Mode() const { return rs485Mode_.load(); }
  std::uint32_t InSize() const { return inSize_; }
  std::uint32_t OutSize() const { return outSize_; }
  std::uint32_t OptionFlags();
  // The kept line settings (a copy, under the general lock).
  TDCB LineSettings();

  // ---- Ticks on this dispatcher's clock
  std::uint32_t TickCount() const;
  void NewTimer(TEventTimer& timer, std::uint32_t ticks) const;
  bool TimerExpired(const TEventTimer& timer) const;
  const platform::Clock& Clock() const { return clock_; }

 protected:
  // ---- Device slots (driver). Threads that call each are given; the driver makes them safe.
  // Line function SETRTS..CLRDTR or GETBASEIRQ; negative on failure. Any thread.
  virtual std::int32_t EscapeComFunction(std::int32_t function) = 0;
  // FlushOutput: call DiscardOutput() first, then purge the device's transmit side.
  // FlushInput: purge the receive side. 0 or minus a platform error. Main or dispatch thread.
  virtual std::int32_t FlushCom(std::int32_t queue) = 0;
  // Fetch and clear the device's CE_ error bits; fill stat.cbInQue. Any thread.
  virtual std::int32_t GetComError(TComStat& stat) = 0;
  // The error bits alone, for a write: a driver that counts the waiting input with a device
  // call skips it here.
  virtual std::int32_t GetComErrorBits() {
    TComStat stat;
    return GetComError(stat);
  }
  // True when filling the dispatch buffer should read at once rather than ask first how much
  // input waits: for a driver whose count is a device call of its own, and whose ReadCom
  // returns what is there.
  virtual bool ReadsWithoutCount() const { return false; }
  // After ReadCom returned a negative count; dispatch thread.
  virtual std::int32_t ReadFailed(std::int32_t code);
  // 0, or -1. Any thread, under the general lock.
  virtual std::int32_t GetComState(TDCB& settings) = 0;
  // At most `count` bytes already arrived; never waits; 0 when none. Dispatch thread.
  virtual std::int32_t ReadCom(std::uint8_t* buffer, std::int32_t count) = 0;
  // 0, or minus a platform error code (the device unchanged). Under the general lock.
  virtual std::int32_t SetComState(const TDCB& settings) = 0;
  // Takes bytes for sending: the base copies them into the output ring and wakes the output
  // thread. Under the output lock.
  virtual std::int32_t WriteCom(const std::uint8_t* buffer, std::int32_t count);
  // Com thread: wait until the device has news (EV_ bits in `mask`) or CancelComWait() was
  // called (return true with mask 0). False when the device cannot be waited on any more; the
  // com thread then ends and the dispatch thread goes on polling every 50 ms.
  virtual bool WaitComEvent(std::uint32_t& mask) = 0;
  // Dispatch thread, when the driver has no com thread: as WaitComEvent, but for at most
  // `timeout`. 1: news in `mask`, or CancelComWait() was called (mask 0); 0: nothing in time;
  // -1: the device cannot be waited on any more (the passes then poll every 50 ms). The base
  // has no such wait and keeps a com thread.
  virtual std::int32_t WaitComEventFor(std::uint32_t& mask, std::chrono::milliseconds timeout);
  virtual bool HasTimedComWait() const { return false; }
  // Whether someone asks to hear of modem-line changes (a modem-status trigger exists). A driver
  // that must poll the lines polls only then; it looks again after ModemWatchChanged(). Any
  // thread.
  bool ModemWatchWanted() const { return modemWatchWanted_.load(std::memory_order_relaxed); }
  virtual void ModemWatchChanged() {}
  virtual bool SetupCom(std::uint32_t inSize, std::uint32_t outSize) = 0;
  // Second half of closing: stops the threads, frees the rings. Base implementation.
  virtual void ReleasePort();
  // Start and stop the three threads. Base implementation; a driver may extend them.
  virtual void StartDispatcher();
  virtual void StopDispatcher();
  // Opens the device: a handle >= 0; -1 with LastErrorCode() telling why; ecOutOfMemory when
  // its own resources could not be made (nothing left open). Main thread; also used alone by
  // the port probe.
  virtual std::int32_t OpenCom(const std::string& name, std::uint32_t inSize,
                               std::uint32_t outSize) = 0;
  // Closes the device: 0, or -1 when nothing was open. By then the com and output threads
  // have ended (DonePort stops them first), except for a probe, which has none.
  virtual std::int32_t CloseCom() = 0;
  virtual std::int32_t YieldCPU();
  // The line bits MS_CTS_ON..MS_RLSD_ON as they stand now. Main or dispatch thread.
  virtual std::uint8_t GetComModemStatus() = 0;
  // The platform error of the last failed OpenCom or SetupCom, in the Win32 numbering of the
  // error table (2 not found, 5 access denied or in use, 8 no memory, 87 bad parameter, ...).
  virtual std::int32_t LastErrorCode() const = 0;
  // Output thread: write bytes to the device, waiting while it cannot take them. Returns the
  // count written (> 0), 0 when CancelOutputWait() interrupted it, or negative when the write
  // failed (the block is dropped).
  virtual std::int32_t WriteDevice(const std::uint8_t* data, std::uint32_t count) = 0;
  // Main thread, under the output lock, when nothing waits for the output thread: write what
  // the device takes at once, without waiting, so that a short block skips a thread hop.
  // Returns the count taken; 0 leaves the whole block, and any error, to the output thread.
  virtual std::uint32_t WriteAtOnce(const std::uint8_t* data, std::uint32_t count);
  // Any thread: make a current or the next WaitComEvent / WriteDevice return at once.
  virtual void CancelComWait() = 0;
  virtual void CancelOutputWait() = 0;
  // Sets the platform priority of a thread (0 idle .. 3 normal .. 6 time-critical); best
  // effort. Called on any thread for the com, dispatch or output thread.
  enum class ThreadKind { Com, Dispatch, Output };
  virtual void SetThreadLevel(ThreadKind thread, std::int32_t level);
  // Sleeps; the drain wait of SetLine uses it. Tests replace it.
  virtual void Pause(std::chrono::milliseconds time);
  // The local time written in the log header. Tests replace it.
  virtual std::tm LocalTime() const;

  // ---- For drivers
  // Empties the output ring after the output thread has left its current write (it is told
  // to, and waited for at most 5000 ms).
  void DiscardOutput();
  void SetComHandle(std::int32_t handle) { comHandle_.store(handle); }
  bool KillThreads() const { return killThreads_.load(); }
  // Every driver's destructor calls this first: it closes and waits for the threads while the
  // driver's slots still exist. Safe to call twice.
  void Finalize();

 private:
  friend struct DispatcherTestAccess;  // tests look at the rings' positions

  struct WindowHandlerEntry {
    std::uintptr_t Handle = 0;
    platform::WindowRef Window;
    bool Deleted = false;
    bool AvailWanted = true;
  };
  struct EventHandlerEntry {
    TApdEventHandler Handler;
    bool Deleted = false;
  };

  // Dispatcher.cpp: opening, closing, the rings, handlers, notification and the passes.
  std::uint32_t QueryComError(TComStat& stat);
  void RefreshLineErrors();
  std::uint32_t OutRingUsedLocked() const;
  std::uint32_t DispatchUsedLocked() const;
  void FillDispatchBuffer();
  bool NotifyHandlers(std::uint32_t msg, std::uint32_t wParam, std::uint16_t lParamLow);
  bool AvailCheck();
  void ProcessingPass();
  void TimerPass();
  bool RunStatusChecks();
  void FreeDeletedHandlers();
  void RecountHandlerFlags(std::int32_t mode);
  // Inside a catch block: hands the exception to the main thread's standard error report.
  void ReportFailure() noexcept;
  // Threads.cpp: the three threads and the stop handshake.
  void ComThreadMain();
  void DispThreadMain();
  void OutThreadMain();
  void DrainOutput();
  // Dispatch thread: until device news, a wake or the pass interval.
  void WaitForNews();
  void ThreadEnded(ThreadKind kind);
  void StopDeviceThreads();
  void WaitForDispatchThread();
  bool OnThread(ThreadKind kind);
  // LineControl.cpp
  std::int32_t WriteThrough(TDCB& settings);
  std::uint8_t ReadModemStatus(std::uint8_t mask);
  void UpdateModemChanges();
  void DrainWait();
  // Triggers.cpp
  std::int32_t AllocateHandle();
  bool CheckStatusTriggers();
  bool CheckTimerTriggers();
  void ClearPassMarks();
  void ClearAllTriggers();
  std::int32_t FindTrigger(std::int32_t handle, bool remove, int* kind);
  // TraceLog.cpp
  std::int32_t WriteTrace(const std::string& fileName, bool append, bool hex, bool allHex);
  std::int32_t WriteLog(const std::string& fileName, bool append, bool hex, bool allHex);
  void AddLogEntryLocked(std::uint8_t type, std::uint8_t subtype, std::uint32_t length,
                         const void* data, std::uint32_t value);

  // Set at construction, then read only.
  TApdCustomComPort* const owner_;
  const platform::Clock& clock_;
  std::int32_t handle_ = -1;
  std::unique_ptr<platform::MessageWindow> syncWindow_;  // main thread's; runs Synchronize
  std::thread::id mainThread_;
  std::mutex failuresLock_;                   // guards failures_
  std::vector<std::exception_ptr> failures_;  // waiting for the main thread's report

  // Locks; order: buffer, general, output. Re-entrant where an operation nests itself
  // (write-through inside SetLine; GetComError inside PutBlock).
  std::recursive_mutex generalLock_;
  std::mutex bufferLock_;
  std::recursive_mutex outputLock_;
  // Serialises starting and stopping; never held while a thread is waited for.
  std::mutex startLock_;

  // Written by InitPort before the threads start, then read only.
  std::string deviceName_;
  std::uint32_t inSize_ = 0;
  std::uint32_t outSize_ = 0;

  std::atomic<std::int32_t> comHandle_{InvalidHandle};
  std::atomic<std::uint32_t> lineErrors_{0};  // CE_ bits; every change one atomic update

  // General lock.
  TDCB dcb_;
  std::uint32_t lastBaud_ = 115200;
  std::uint8_t modemStatus_ = 0;
  std::uint32_t optionWord_ = 0;
  bool dtrState_ = false;
  bool dtrAuto_ = false;
  bool rtsState_ = false;
  bool rtsAuto_ = false;
  std::uint16_t portBase_ = 0;
  std::uint8_t threadBoost_ = 0;
  bool portHandlerInstalled_ = false;
  std::vector<WindowHandlerEntry> windowHandlers_;
  std::vector<EventHandlerEntry> eventHandlers_;
  bool handlerRemovalPending_ = false;
  std::vector<TTimerTrigger> timerTriggers_;
  std::vector<TDataTrigger> dataTriggers_;
  std::vector<TStatusTrigger> statusTriggers_;
  // A modem-status trigger is among statusTriggers_; written under the general lock.
  std::atomic<bool> modemWatchWanted_{false};
  void RecountModemWatchLocked();
  std::int32_t handleCounter_ = 1;
  // Trace (general lock).
  std::vector<std::uint8_t> traceRing_;  // kind, byte pairs; empty when off
  std::uint32_t traceSize_ = 0;
  std::uint32_t traceIndex_ = 0;
  bool traceWrapped_ = false;
  // Log (general lock).
  std::vector<std::uint8_t> logRing_;  // empty when off
  std::uint32_t logHead_ = 0;
  std::uint32_t logTail_ = 0;
  std::uint32_t logFree_ = 0;
  std::uint32_t logTimeBase_ = 0;

  std::atomic<bool> rs485Mode_{false};
  std::atomic<bool> handlerServiceNeeded_{false};
  std::atomic<std::uint32_t> lengthTrigger_{0};
  std::atomic<bool> tracing_{false};
  std::atomic<bool> logging_{false};
  std::atomic<bool> outputSent_{false};

  // Buffer lock.
  std::vector<std::uint8_t> dispBuffer_;  // DispatchBufferSize bytes while open
  std::uint32_t dispHead_ = 0;
  std::uint32_t dispTail_ = 0;
  bool dispatchFull_ = false;
  bool inAvailNotification_ = false;
  // Whether the calling thread runs a handler of the avail notification in progress.
  bool PeekingLocked() const { return inAvailNotification_ && handlersOnThisThread_ == this; }
  // The dispatcher whose handlers the calling thread runs now (HandlerScope), if any.
  static thread_local const TApdBaseDispatcher* handlersOnThisThread_;
  std::uint32_t getCount_ = 0;
  std::uint32_t maxGetCount_ = 0;

  // Output lock.
  std::vector<std::uint8_t> outRing_;
  std::uint32_t outHead_ = 0;
  std::uint32_t outTail_ = 0;
  bool outFull_ = false;
  std::uint64_t outGeneration_ = 0;  // counts discards; a write started before one is void
  bool outWriting_ = false;          // the output thread writes a block copied from the ring

  // Dispatch thread only. Arrivals are counted rather than compared by ring position, so that
  // a buffer filled exactly round to its old position still counts as new bytes.
  std::uint64_t scanPosition_ = 0;        // bytes read so far and examined
  std::uint64_t lastNotifyPosition_ = 0;  // scanPosition_ at the last avail notification
  std::uint64_t received_ = 0;            // bytes read so far (buffer lock)
  std::uint32_t lastEventMask_ = 0;       // the events of the latest delivery
  bool statusHit_ = false;

  // Events delivered by the com thread and not yet taken by a pass (dispatch thread).
  std::atomic<std::uint32_t> eventMask_{0};
  std::atomic<bool> ringSeen_{false};

  // Without a com thread: set by StartDispatcher before the threads start. The dispatch thread
  // marks its device wait, so that a stopper knows when the device is no longer waited on:
  // it sets killThreads_, then waits for the mark to clear; the dispatch thread sets the mark,
  // then looks at killThreads_ (both sequentially consistent, so one sees the other).
  std::atomic<bool> dispatchWaitsForDevice_{false};
  std::atomic<bool> inDeviceWait_{false};
  // The dispatch thread waits on the device without a time-out: nothing needs its 50 ms passes
  // (no timer trigger running, no buffer level watched). Whoever arms one, or writes, wakes it.
  std::atomic<bool> sleepingLong_{false};
  bool NeedsPasses();
  void WakeLongSleep();
  bool deviceWaitEnded_ = false;  // dispatch thread: the driver cannot wait any more

  // Thread control; read anywhere.
  std::atomic<bool> inNotification_{false};  // written by the dispatch thread
  std::atomic<bool> closePending_{false};
  std::atomic<bool> killThreads_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> releaseAfterThreads_{false};
  std::atomic<std::int32_t> runningThreads_{0};
  std::atomic<bool> comThreadRunning_{false};
  std::atomic<bool> dispThreadRunning_{false};
  std::atomic<bool> outThreadRunning_{false};
  std::atomic<bool> finalized_{false};

  // The thread objects; threadsLock_ guards them and their ids. Whoever stops a thread moves
  // its object out under the lock and joins it outside.
  std::mutex threadsLock_;
  std::thread comThread_;
  std::thread dispThread_;
  std::thread outThread_;
  std::thread::id comThreadId_;
  std::thread::id dispThreadId_;
  std::thread::id outThreadId_;

  // Wakes the dispatch thread for a pass: device events, room made in a full dispatch buffer.
  platform::Event comEventReady_{platform::Event::Reset::Auto};
  platform::Event dispatchDone_{platform::Event::Reset::Auto};
  platform::Event threadAck_{platform::Event::Reset::Auto};
  platform::Event outputWake_{platform::Event::Reset::Auto};  // output data ready or flush
  platform::Event flushAck_{platform::Event::Reset::Auto};
  std::atomic<bool> outputFlushRequest_{false};
  std::condition_variable threadsChanged_;   // with threadsLock_: a thread ended
  std::atomic<std::int32_t> threadTids_[3];  // kernel thread ids, for SetThreadLevel
};

// Texts of the dump header: the build and the operating system.
std::string BuildText();
std::string OperatingSystemText();

}  // namespace velmora::serial
