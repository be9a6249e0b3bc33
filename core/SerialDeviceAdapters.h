#pragma once

// The bridge's serial devices and port probe over the real serial components.

#include <memory>
#include <string>
#include <utility>

#include "core/DeviceInterfaces.h"
#include "platform/serial/SerialNames.h"
#include "serial/ComPort.h"
#include "serial/PacketEngine.h"
#include "serial/StatusLightController.h"

namespace velmora::core {

class SerialComPortDevice final : public ComPortDevice {
 public:
  SerialComPortDevice();
  ~SerialComPortDevice() override;
  SerialComPortDevice(const SerialComPortDevice&) = delete;
  SerialComPortDevice& operator=(const SerialComPortDevice&) = delete;
  serial::TApdComPort& Port() { return port_; }

  std::uint16_t ComNumber() const override { return port_.ComNumber(); }
  void SetComNumber(std::uint16_t number) override { port_.SetComNumber(number); }
  std::int32_t Baud() const override { return port_.Baud(); }
  void SetBaud(std::int32_t baud) override { port_.SetBaud(baud); }
  void SetLine(std::uint16_t dataBits, serial::TParity parity, std::uint16_t stopBits) override {
    port_.SetDataBits(dataBits);
    port_.SetParity(parity);
    port_.SetStopBits(stopBits);
  }
  std::uint16_t DataBits() const override { return port_.DataBits(); }
  std::uint16_t StopBits() const override { return port_.StopBits(); }
  serial::TParity Parity() const override { return port_.Parity(); }
  serial::THWFlowOptionSet HWFlowOptions() const override { return port_.HWFlowOptions(); }
  serial::TSWFlowOptions SWFlowOptions() const override { return port_.SWFlowOptions(); }
  void SetFlowOptions(serial::THWFlowOptionSet hw, serial::TSWFlowOptions sw) override {
    port_.SetHWFlowOptions(hw);
    port_.SetSWFlowOptions(sw);
  }
  bool Open() const override { return port_.PortState() == serial::TPortState::psOpen; }
  void SetOpen(bool open) override;
  int LastOpenError() const override { return openError_; }
  std::uint16_t OutBuffFree() override { return port_.OutBuffFree(); }
  std::uint16_t OutBuffUsed() override { return port_.OutBuffUsed(); }
  void PutBlock(const std::uint8_t* bytes, std::uint16_t count) override {
    port_.PutBlock(bytes, count);
  }
  // Watched through a line-error trigger on framing errors, which is how the driver reports a
  // device that went away.
  void SetOnDeviceLost(std::function<void()> handler) override { onLost_ = std::move(handler); }

 private:
  void PortCallback(serial::TApdCustomComPort& port, serial::TPortCallbackKind kind);
  void TriggerStatus(serial::TApdCustomComPort& port, std::uint16_t handle);

  serial::TApdComPort port_;
  std::function<void()> onLost_;
  std::uint16_t lossTrigger_ = 0;  // while open
  int openError_ = 0;              // errno of the last failed opening
};

class SerialDataPacketDevice final : public DataPacketDevice {
 public:
  serial::TApdDataPacket& Packet() { return packet_; }

  // Takes only a SerialComPortDevice (or null).
  void SetComPort(ComPortDevice* port) override;
  void SetStartCond(serial::TPacketStartCond cond) override { packet_.SetStartCond(cond); }
  void SetEndCond(serial::TPacketEndSet cond) override { packet_.SetEndCond(cond); }
  void SetPacketSize(std::int32_t size) override { packet_.SetPacketSize(size); }
  void SetTimeOut(std::int32_t ticks) override { packet_.SetTimeOut(ticks); }
  void SetOnPacket(PacketHandler handler) override;
  void SetAutoEnable(bool on) override { packet_.SetAutoEnable(on); }
  void SetEnabled(bool on) override { packet_.SetEnabled(on); }

 private:
  serial::TApdDataPacket packet_;
};

class SerialLightControllerDevice final : public LightControllerDevice {
 public:
  serial::TApdSLController& Controller() { return controller_; }

  // Takes only a SerialComPortDevice (or null).
  void SetComPort(ComPortDevice* port) override;
  void SetTXDLight(serial::TApdCustomStatusLight* lamp) override {
    controller_.Lights().TXDLight = lamp;
  }
  void SetRXDLight(serial::TApdCustomStatusLight* lamp) override {
    controller_.Lights().RXDLight = lamp;
  }
  bool Monitoring() const override { return controller_.Monitoring(); }
  void SetMonitoring(bool on) override { controller_.SetMonitoring(on); }

 private:
  serial::TApdSLController controller_;
};

// The port list: the serial name space read without opening anything.
class SerialPortProbe final : public PortProbe {
 public:
  explicit SerialPortProbe(platform::SerialNameSpace names = platform::SerialNameSpace{})
      : names_(std::move(names)) {}

  // "COM3 (/dev/ttyUSB0)" on Linux, with the product name where sysfs gives one.
  std::vector<SerialEntry> Ports() override;

 private:
  const platform::SerialNameSpace names_;
};

}  // namespace velmora::core
