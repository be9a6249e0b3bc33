#pragma once

// The serial port component: the port's settings, open and close through a dispatcher, writes,
// buffer and line queries, triggers and the port's trigger events.
//
// Threads: every operation runs on the UI thread, which owns every field. The dispatcher's threads
// reach the port only through messages to its notification window, so the trigger events run on
// the UI thread too.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/MessagePump.h"
#include "serial/ComponentBase.h"
#include "serial/dispatcher/Dispatcher.h"

namespace velmora::platform {
class SerialNameSpace;
class SerialCloser;
}  // namespace velmora::platform

namespace velmora::serial {

class TApdCustomComPort;

enum class TDeviceLayer { dlWin32, dlWinsock };
enum class TPortState { psClosed = 0, psClosing = 1, psOpen = 2 };
enum class TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum class TTapiMode { tmNone, tmAuto, tmOn, tmOff };
enum class TPortCallbackKind { pckOpen = 0, pckClosing = 1, pckClosed = 2 };

using TPortCallback = TMethod<void(TApdCustomComPort& cp, bool opening)>;
using TPortCallbackEx = TMethod<void(TApdCustomComPort& cp, TPortCallbackKind kind)>;
using TPortNotifyEvent = TMethod<void(TApdCustomComPort& cp)>;
using TTriggerEvent = TMethod<void(TApdCustomComPort& cp, std::uint16_t msg,
                                   std::uint16_t triggerHandle, std::uint16_t data)>;
using TTriggerAvailEvent = TMethod<void(TApdCustomComPort& cp, std::uint16_t count)>;
using TTriggerHandleEvent = TMethod<void(TApdCustomComPort& cp, std::uint16_t triggerHandle)>;
using TTriggerDataEvent = TTriggerHandleEvent;
using TTriggerStatusEvent = TTriggerHandleEvent;
using TTriggerTimerEvent = TTriggerHandleEvent;
using TTriggerLineErrorEvent =
    TMethod<void(TApdCustomComPort& cp, std::uint16_t error, bool lineBreak)>;

// Makes the dispatcher of an opening port (the platform's driver).
using TDispatcherFactory =
    std::function<std::unique_ptr<TApdBaseDispatcher>(TApdCustomComPort* owner)>;
// The platform's driver; on Linux "\\.\COMn" names the n-th device of the serial name space.
TDispatcherFactory PlatformDispatcherFactory();
// closer (POSIX): where the ports' descriptors are closed, away from the thread that closes
// the port; none: on that thread.
TDispatcherFactory PlatformDispatcherFactory(
    const platform::SerialNameSpace& names,
    std::shared_ptr<platform::SerialCloser> closer = nullptr);

inline constexpr std::uint32_t kMaxTraceSize = 4000000;
inline constexpr std::uint32_t kMaxLogSize = 16000000;

class TApdCustomComPort : public TApdBaseComponent {
 public:
  TApdCustomComPort();
  ~TApdCustomComPort() override;
  TApdCustomComPort(const TApdCustomComPort&) = delete;
  TApdCustomComPort& operator=(const TApdCustomComPort&) = delete;

  // Settings.
  TDeviceLayer DeviceLayer() const { return deviceLayer_; }
  void SetDeviceLayer(TDeviceLayer value);
  std::uint16_t ComNumber() const { return comNumber_; }
  void SetComNumber(std::uint16_t value);
  std::int32_t Baud() const { return baud_; }
  void SetBaud(std::int32_t value);
  bool PromptForPort() const { return promptForPort_; }
  void SetPromptForPort(bool value) { promptForPort_ = value; }
  TParity Parity() const { return parity_; }
  void SetParity(TParity value);
  std::uint16_t DataBits() const { return dataBits_; }
  void SetDataBits(std::uint16_t value);
  std::uint16_t StopBits() const { return stopBits_; }
  void SetStopBits(std::uint16_t value);
  std::uint16_t InSize() const { return inSize_; }
  void SetInSize(std::uint16_t value);
  std::uint16_t OutSize() const { return outSize_; }
  void SetOutSize(std::uint16_t value);
  bool AutoOpen() const { return autoOpen_; }
  void SetAutoOpen(bool value) { autoOpen_ = value; }
  bool Open() const { return open_; }
  void SetOpen(bool value);
  bool DTR() const { return dtr_; }
  void SetDTR(bool value);
  bool RTS() const { return rts_; }
  void SetRTS(bool value);
  THWFlowOptionSet HWFlowOptions() const { return hwFlowOptions_; }
  void SetHWFlowOptions(THWFlowOptionSet value);
  TSWFlowOptions SWFlowOptions() const { return swFlowOptions_; }
  void SetSWFlowOptions(TSWFlowOptions value);
  char XOnChar() const { return xOnChar_; }
  void SetXOnChar(char value);
  char XOffChar() const { return xOffChar_; }
  void SetXOffChar(char value);
  std::uint16_t BufferFull() const { return bufferFull_; }
  void SetBufferFull(std::uint16_t value);
  std::uint16_t BufferResume() const { return bufferResume_; }
  void SetBufferResume(std::uint16_t value);
  TTraceLogState Tracing() const { return tracing_; }
  void SetTracing(TTraceLogState value);
  std::uint32_t TraceSize() const { return traceSize_; }
  void SetTraceSize(std::uint32_t value);
  const std::string& TraceName() const { return traceName_; }
  void SetTraceName(const std::string& value) { traceName_ = value.substr(0, 255); }
  bool TraceHex() const { return traceHex_; }
  void SetTraceHex(bool value) { traceHex_ = value; }
  bool TraceAllHex() const { return traceAllHex_; }
  void SetTraceAllHex(bool value) { traceAllHex_ = value; }
  TTraceLogState Logging() const { return logging_; }
  void SetLogging(TTraceLogState value);
  std::uint32_t LogSize() const { return logSize_; }
  void SetLogSize(std::uint32_t value);
  const std::string& LogName() const { return logName_; }
  void SetLogName(const std::string& value) { logName_ = value.substr(0, 255); }
  bool LogHex() const { return logHex_; }
  void SetLogHex(bool value) { logHex_ = value; }
  bool LogAllHex() const { return logAllHex_; }
  void SetLogAllHex(bool value) { logAllHex_ = value; }
  bool UseMSRShadow() const { return true; }
  virtual void SetUseMSRShadow(bool) {}
  bool UseEventWord() const { return useEventWord_; }
  void SetUseEventWord(bool value);
  std::uint16_t CommNotificationLevel() const { return commNotificationLevel_; }
  void SetCommNotificationLevel(std::uint16_t value) { commNotificationLevel_ = value; }
  TTapiMode TapiMode() const { return tapiMode_; }
  void SetTapiMode(TTapiMode value) { tapiMode_ = value; }
  bool RS485Mode() const { return rs485Mode_; }
  void SetRS485Mode(bool value);

  // Events. The ten trigger events are written through their setters.
  TPortNotifyEvent OnPortClose;
  TPortNotifyEvent OnPortOpen;
  const TTriggerEvent& OnTrigger() const { return onTrigger_; }
  void SetOnTrigger(TTriggerEvent handler);
  const TTriggerAvailEvent& OnTriggerAvail() const { return onTriggerAvail_; }
  void SetOnTriggerAvail(TTriggerAvailEvent handler);
  const TTriggerDataEvent& OnTriggerData() const { return onTriggerData_; }
  void SetOnTriggerData(TTriggerDataEvent handler);
  const TTriggerStatusEvent& OnTriggerStatus() const { return onTriggerStatus_; }
  void SetOnTriggerStatus(TTriggerStatusEvent handler);
  const TTriggerTimerEvent& OnTriggerTimer() const { return onTriggerTimer_; }
  void SetOnTriggerTimer(TTriggerTimerEvent handler);
  const TTriggerLineErrorEvent& OnTriggerLineError() const { return onTriggerLineError_; }
  void SetOnTriggerLineError(TTriggerLineErrorEvent handler);
  const TPortNotifyEvent& OnTriggerModemStatus() const { return onTriggerModemStatus_; }
  void SetOnTriggerModemStatus(TPortNotifyEvent handler);
  const TPortNotifyEvent& OnTriggerOutbuffFree() const { return onTriggerOutbuffFree_; }
  void SetOnTriggerOutbuffFree(TPortNotifyEvent handler);
  const TPortNotifyEvent& OnTriggerOutbuffUsed() const { return onTriggerOutbuffUsed_; }
  void SetOnTriggerOutbuffUsed(TPortNotifyEvent handler);
  const TPortNotifyEvent& OnTriggerOutSent() const { return onTriggerOutSent_; }
  void SetOnTriggerOutSent(TPortNotifyEvent handler);

  // Run-time state, read by the packet engine, the light controller and tests.
  TPortState PortState() const { return portState_; }
  bool ForceSettings() const { return forceSettings_; }
  bool ReopenPending() const { return reopenPending_; }
  bool TriggersSaved() const { return triggersSaved_; }
  std::uint16_t TriggerLength() const { return triggerLength_; }
  void SetTriggerLength(std::uint16_t value);
  std::uint8_t PriorityBoost() const { return priorityBoost_; }
  void SetPriorityBoost(std::uint8_t value);
  std::uint16_t TapiDevice = 0;
  // Makes the dispatcher at each open; the platform's driver unless replaced.
  TDispatcherFactory DispatcherFactory;
  // Chooses a port when ComNumber is 0 and PromptForPort is set: the chosen number, or 0 when the
  // user cancelled. Without one, choosing fails as a cancel does.
  std::function<std::uint16_t()> PortSelector;

  // The dispatcher; opens a closed port first when AutoOpen is set.
  TApdBaseDispatcher* Dispatcher();
  // The dispatcher without opening anything.
  TApdBaseDispatcher* CurrentDispatcher() const { return dispatcher_.get(); }
  TApdBaseDispatcher& RequireDispatcher();

  // The open device went away (a USB adapter pulled, the far end of a pseudo-terminal closed);
  // the driver then reports a framing error once. False while closed.
  bool DeviceLost() const;

  std::int32_t PutBlock(const void* block, std::uint16_t len);
  std::uint16_t OutBuffFree();
  std::uint16_t OutBuffUsed();
  std::uint16_t InBuffUsed();
  bool CTS();
  bool DSR();
  bool DCD();
  bool RI();
  std::uint16_t LineError();
  bool LineBreak();

  std::int32_t AddTimerTrigger();
  std::int32_t AddStatusTrigger(std::uint16_t kind);
  void SetTimerTrigger(std::uint16_t handle, std::int32_t ticks, bool activate);
  void SetStatusTrigger(std::uint16_t handle, std::uint16_t value, bool activate);
  void RemoveTrigger(std::uint16_t handle);

  std::size_t AddPortCallback(TPortCallback callback);
  std::size_t AddPortCallbackEx(TPortCallbackEx callback);
  void RemovePortCallback(const TPortCallback& callback);
  void RemovePortCallbackEx(const TPortCallbackEx& callback);
  std::size_t PortCallbackCount() const { return callbacks_.size(); }

  virtual void Assign(const TApdCustomComPort& source);

  // Expires when the port is destroyed: a companion that may outlive the port (a packet manager
  // freed later through its window) looks at it before touching the port.
  std::weak_ptr<const void> Lifetime() const { return lifetime_; }

  // Keeps `companion` alive until the current dispatcher is freed: what a dispatcher handler
  // points at must outlive every notification of that dispatcher.
  void KeepWithDispatcher(std::shared_ptr<void> companion);

  // The notification window's handling of one message (public for the window and for tests).
  std::intptr_t HandleNotification(const platform::Message& message);

 protected:
  virtual std::unique_ptr<TApdBaseDispatcher> CreateDispatcher();
  virtual void DeviceLayerChanged() {}
  virtual void OpenDispatcherPort();
  virtual void SetupNotifyWindow(bool create);
  virtual void ValidateComNumber();
  virtual void DoTrigger(std::uint16_t msg, std::uint16_t triggerHandle, std::uint16_t data);
  virtual void DoTriggerAvail(std::uint16_t count);
  virtual void DoTriggerData(std::uint16_t triggerHandle);
  virtual void DoTriggerStatus(std::uint16_t triggerHandle);
  virtual void DoTriggerTimer(std::uint16_t triggerHandle);
  virtual void UpdateTriggerHandler();
  // The port's window asks for avail notifications only while a handler of the port wants
  // them.
  void TellAvailWanted();
  virtual void DoTriggerLineError(std::uint16_t error, bool lineBreak);
  virtual void DoTriggerModemStatus();
  virtual void DoTriggerOutbuffFree();
  virtual void DoTriggerOutbuffUsed();
  virtual void DoTriggerOutSent();
  virtual void ClosePort();
  virtual void OpenPort();
  void NotifyPortOpen();
  void NotifyPortClosing();
  void NotifyPortClosed();

 private:
  struct CallbackRecord {
    TPortCallback callback;
    TPortCallbackEx callbackEx;
    bool extended = false;
  };

  std::int32_t Check(std::int32_t code) const;
  void ApplyLine();
  // Just opened: the line properties become what the device runs.
  void TakeLineInForce();
  void ApplyTraceLog(bool trace, TTraceLogState value);
  void FinishClose();
  void DropDispatcher();
  void ReportHandlerError(std::exception_ptr error) const;

  TDeviceLayer deviceLayer_ = TDeviceLayer::dlWin32;
  std::uint16_t comNumber_ = 0;
  std::int32_t baud_ = 19200;
  bool promptForPort_ = true;
  TParity parity_ = TParity::pNone;
  std::uint16_t dataBits_ = 8;
  std::uint16_t stopBits_ = 1;
  std::uint16_t inSize_ = 4096;
  std::uint16_t outSize_ = 4096;
  bool autoOpen_ = true;
  bool open_ = false;
  bool dtr_ = true;
  bool rts_ = true;
  THWFlowOptionSet hwFlowOptions_ = 0;
  TSWFlowOptions swFlowOptions_ = TSWFlowOptions::swfNone;
  char xOnChar_ = 17;
  char xOffChar_ = 19;
  std::uint16_t bufferFull_ = 0;
  std::uint16_t bufferResume_ = 0;
  TTraceLogState tracing_ = TTraceLogState::tlOff;
  std::uint32_t traceSize_ = 10000;
  std::string traceName_ = "VUSK.TRC";
  bool traceHex_ = true;
  bool traceAllHex_ = false;
  TTraceLogState logging_ = TTraceLogState::tlOff;
  std::uint32_t logSize_ = 10000;
  std::string logName_ = "VUSK.LOG";
  bool logHex_ = true;
  bool logAllHex_ = false;
  bool useEventWord_ = true;
  std::uint16_t commNotificationLevel_ = 10;
  TTapiMode tapiMode_ = TTapiMode::tmAuto;
  bool rs485Mode_ = false;

  TTriggerEvent onTrigger_;
  TTriggerAvailEvent onTriggerAvail_;
  TTriggerDataEvent onTriggerData_;
  TTriggerStatusEvent onTriggerStatus_;
  TTriggerTimerEvent onTriggerTimer_;
  TTriggerLineErrorEvent onTriggerLineError_;
  TPortNotifyEvent onTriggerModemStatus_;
  TPortNotifyEvent onTriggerOutbuffFree_;
  TPortNotifyEvent onTriggerOutbuffUsed_;
  TPortNotifyEvent onTriggerOutSent_;

  TPortState portState_ = TPortState::psClosed;
  bool forceSettings_ = false;
  bool reopenPending_ = false;
  std::unique_ptr<TApdBaseDispatcher> dispatcher_;
  std::unique_ptr<platform::MessageWindow> notifyWindow_;
  platform::PumpThreadCheck onUiThread_;
  std::unique_ptr<TTriggerSnapshot> savedTriggers_;
  bool triggersSaved_ = false;
  std::uint16_t triggerLength_ = 1;
  std::uint8_t priorityBoost_ = 0;
  std::vector<CallbackRecord> callbacks_;
  std::vector<std::shared_ptr<void>> dispatcherCompanions_;
  std::shared_ptr<const void> lifetime_ = std::make_shared<int>(0);
};

// Publishes everything of TApdCustomComPort.
class TApdComPort : public TApdCustomComPort {};

}  // namespace velmora::serial
