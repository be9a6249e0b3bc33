// Line control: the kept line settings, DTR and RTS, modem status, line errors, flow control.

#include <algorithm>

#include "serial/Errors.h"
#include "serial/dispatcher/Dispatcher.h"

namespace velmora::serial {

namespace {

// Legacy rate codes to bits per second.
std::uint32_t actualBaud(std::uint32_t rate) {
  switch (rate) {
    case 0xFEFF:
      return 115200;
    case 0xFF10:
      return 110;
    case 0xFF11:
      return 300;
    case 0xFF12:
      return 600;
    case 0xFF13:
      return 1200;
    case 0xFF14:
      return 2400;
    case 0xFF15:
      return 4800;
    case 0xFF16:
      return 9600;
    case 0xFF17:
      return 14400;
    case 0xFF18:
      return 19200;
    case 0xFF1B:
      return 38400;
    case 0xFF1F:
      return 56000;
    case 0xFF23:
      return 128000;
    case 0xFF27:
      return 256000;
    default:
      return rate;
  }
}

}  // namespace

std::int32_t TApdBaseDispatcher::SetCommBuffers(std::uint32_t inSize, std::uint32_t outSize) {
  if (SetupCom(inSize, outSize)) return ecOK;
  const std::int32_t error = LastErrorCode();
  return error > 0 ? -error : ecCommNotOpen;
}

// Caller holds the general lock.
std::int32_t TApdBaseDispatcher::WriteThrough(TDCB& settings) {
  if (!dtrAuto_) settings.fDtrControl = dtrState_ ? 1 : 0;
  if (!rtsAuto_) settings.fRtsControl = rtsState_ ? 1 : 0;
  const std::int32_t result = SetComState(settings);
  lastBaud_ = settings.BaudRate;
  SetDTR(dtrState_);
  if (!rs485Mode_) SetRTS(rtsState_);
  return result;
}

std::int32_t TApdBaseDispatcher::SetLine(std::uint32_t baud, std::uint8_t parity,
                                         std::uint8_t dataBits, std::uint8_t stopBits) {
  std::uint32_t newBaud = 0;
  std::uint8_t newParity = 0;
  std::uint8_t newSize = 0;
  std::uint8_t newStop = 0;
  {
    std::lock_guard lock(generalLock_);
    GetComState(dcb_);
    dcb_.fBinary = true;
    dcb_.fParity = false;
    dcb_.fDsrSensitivity = false;
    dcb_.fTXContinueOnXoff = true;
    dcb_.fNull = false;
    if (stopBits != 3) stopBits = stopBits == 0 ? 1 : std::min<std::uint8_t>(stopBits, 2);
    newBaud = baud != 0 ? baud : dcb_.BaudRate;
    newParity = parity != 5 ? parity : dcb_.Parity;
    newStop = dcb_.StopBits;
    newSize = dataBits != 9 ? dataBits : dcb_.ByteSize;
    if (dataBits == 5) newStop = 1;
    if (stopBits != 3) {
      newStop = stopBits == 1 ? 0 : 2;
      if (newSize == 5) newStop = 1;
    }
    if (newBaud == dcb_.BaudRate && newParity == dcb_.Parity && newSize == dcb_.ByteSize &&
        newStop == dcb_.StopBits) {
      return ecOK;
    }
  }
  DrainWait();
  std::lock_guard lock(generalLock_);
  GetComState(dcb_);
  dcb_.BaudRate = newBaud;
  dcb_.Parity = newParity;
  dcb_.ByteSize = newSize;
  dcb_.StopBits = newStop;
  return WriteThrough(dcb_);
}

// Lets the bytes in flight leave at the old rate: the output ring first, then 18 characters'
// time at the previous rate (36 when that is under a millisecond).
void TApdBaseDispatcher::DrainWait() {
  for (int i = 0; i < 5000 && OutBuffUsed() > 0; ++i) Pause(std::chrono::milliseconds{2});
  TDCB settings;
  std::uint32_t rate = 0;
  {
    std::lock_guard lock(generalLock_);
    GetComState(dcb_);
    settings = dcb_;
    rate = actualBaud(lastBaud_);
  }
  if (rate == 0) return;
  std::uint32_t bits = settings.ByteSize + 2u;
  if (settings.Parity != 0) ++bits;
  if (settings.StopBits != 0) ++bits;
  std::uint32_t time = (10000000u / rate) * bits * 18u;
  if (time < 10000) time *= 2;
  Pause(std::chrono::milliseconds{time / 10000 + (time % 10000 != 0 ? 1 : 0)});
}

void TApdBaseDispatcher::GetLine(std::uint32_t& baud, std::uint16_t& parity, std::uint8_t& dataBits,
                                 std::uint8_t& stopBits) {
  std::lock_guard lock(generalLock_);
  GetComState(dcb_);
  baud = actualBaud(dcb_.BaudRate);
  parity = dcb_.Parity;
  dataBits = dcb_.ByteSize;
  stopBits = dcb_.StopBits == 0 ? 1 : 2;
}

std::int32_t TApdBaseDispatcher::SetDTR(bool on) {
  std::lock_guard lock(generalLock_);
  if (dtrAuto_) return 1;
  const std::int32_t result = EscapeComFunction(on ? SETDTR : CLRDTR);
  dtrState_ = on;
  return result < 0 ? ecBadArgument : result;
}

std::int32_t TApdBaseDispatcher::SetRTS(bool on) {
  std::lock_guard lock(generalLock_);
  if (rtsAuto_) return 1;
  const std::int32_t result = EscapeComFunction(on ? SETRTS : CLRRTS);
  rtsState_ = on;
  return result < 0 ? ecBadArgument : result;
}

// Caller holds the general lock.
std::uint8_t TApdBaseDispatcher::ReadModemStatus(std::uint8_t mask) {
  const std::uint8_t lines = GetComModemStatus() & 0xF0;
  modemStatus_ = static_cast<std::uint8_t>(lines | (modemStatus_ & 0x0F));
  if (ringSeen_.exchange(false)) modemStatus_ |= DeltaRingMask;
  const std::uint8_t result = modemStatus_;
  modemStatus_ &= mask;
  return result;
}

void TApdBaseDispatcher::UpdateModemChanges() {
  std::lock_guard lock(generalLock_);
  const std::uint8_t old = modemStatus_;
  ReadModemStatus(0xFF);
  modemStatus_ |= static_cast<std::uint8_t>(((modemStatus_ ^ old) & 0xF0) >> 4);
}

bool TApdBaseDispatcher::CheckCTS() {
  std::lock_guard lock(generalLock_);
  return (ReadModemStatus(0xFE) & MS_CTS_ON) != 0;
}

bool TApdBaseDispatcher::CheckDSR() {
  std::lock_guard lock(generalLock_);
  return (ReadModemStatus(0xFD) & MS_DSR_ON) != 0;
}

bool TApdBaseDispatcher::CheckDCD() {
  std::lock_guard lock(generalLock_);
  return (ReadModemStatus(0xF7) & MS_RLSD_ON) != 0;
}

bool TApdBaseDispatcher::CheckRI() {
  std::lock_guard lock(generalLock_);
  return (ReadModemStatus(0xFB) & DeltaRingMask) != 0;
}

std::int32_t TApdBaseDispatcher::GetLineError() {
  std::lock_guard lock(generalLock_);
  static constexpr std::pair<std::uint32_t, std::int32_t> kOrder[] = {{CE_RXOVER, leBuffer},
                                                                      {CE_OVERRUN, leOverrun},
                                                                      {CE_RXPARITY, leParity},
                                                                      {CE_FRAME, leFraming},
                                                                      {CE_BREAK, leBreak}};
  const std::uint32_t word = lineErrors_.load();
  for (const auto& [bit, code] : kOrder) {
    if (word & bit) {
      lineErrors_.fetch_and(~0x0Fu);
      return code;
    }
  }
  return leNoError;
}

bool TApdBaseDispatcher::CheckLineBreak() {
  std::lock_guard lock(generalLock_);
  return (lineErrors_.fetch_and(~CE_BREAK) & CE_BREAK) != 0;
}

std::int32_t TApdBaseDispatcher::SetHWFlowOptions(std::uint32_t bufferFull,
                                                  std::uint32_t bufferResume,
                                                  std::uint32_t options) {
  if (bufferFull < bufferResume || bufferFull > inSize_) return ecBadArgument;
  std::lock_guard lock(generalLock_);
  GetComState(dcb_);
  dcb_.fOutxCtsFlow = false;
  dcb_.fOutxDsrFlow = false;
  dcb_.fDtrControl = 0;
  dcb_.fRtsControl = 0;
  dtrAuto_ = false;
  rtsAuto_ = false;
  if (options & hfUseDTR) {
    dcb_.fDtrControl = 2;
    dtrAuto_ = true;
  } else if (dtrState_) {
    dcb_.fDtrControl = 1;
  }
  if (options & hfUseRTS) {
    dcb_.fRtsControl = 2;
    rtsAuto_ = true;
  } else if (rtsState_) {
    dcb_.fRtsControl = 1;
  }
  if (rs485Mode_) {
    dcb_.fRtsControl = 3;
    rtsAuto_ = true;
  }
  dcb_.XoffLim = static_cast<std::uint16_t>(inSize_ - bufferFull);
  dcb_.XonLim = static_cast<std::uint16_t>(bufferResume);
  if (options & hfRequireDSR) dcb_.fOutxDsrFlow = true;
  if (options & hfRequireCTS) dcb_.fOutxCtsFlow = true;
  return WriteThrough(dcb_);
}

std::int32_t TApdBaseDispatcher::SetSWFlowOptions(std::uint32_t bufferFull,
                                                  std::uint32_t bufferResume,
                                                  std::uint32_t options) {
  if (bufferFull < bufferResume || bufferFull > inSize_) return ecBadArgument;
  std::lock_guard lock(generalLock_);
  GetComState(dcb_);
  if (options & sfReceiveFlow) {
    dcb_.fInX = true;
    dcb_.XoffLim = static_cast<std::uint16_t>(inSize_ - bufferFull);
    dcb_.XonLim = static_cast<std::uint16_t>(bufferResume);
    dcb_.XonChar = 0x11;
    dcb_.XoffChar = 0x13;
  }
  if (options & sfTransmitFlow) {
    dcb_.fOutX = true;
    dcb_.XonChar = 0x11;
    dcb_.XoffChar = 0x13;
  }
  return WriteThrough(dcb_);
}

std::int32_t TApdBaseDispatcher::ClearSWFlowOptions() {
  std::lock_guard lock(generalLock_);
  GetComState(dcb_);
  dcb_.fOutX = false;
  dcb_.fInX = false;
  return WriteThrough(dcb_);
}

std::int32_t TApdBaseDispatcher::SetFlowChars(char xon, char xoff) {
  std::lock_guard lock(generalLock_);
  GetComState(dcb_);
  dcb_.XonChar = xon;
  dcb_.XoffChar = xoff;
  return WriteThrough(dcb_);
}

std::int32_t TApdBaseDispatcher::GetFlowOptions(std::uint32_t& hwOptions, std::uint32_t& swOptions,
                                                char& xon, char& xoff) {
  std::lock_guard lock(generalLock_);
  const std::int32_t result = GetComState(dcb_);
  hwOptions = 0;
  if (dcb_.fDtrControl == 2) hwOptions |= hfUseDTR;
  if (dcb_.fRtsControl == 2 || dcb_.fRtsControl == 3) hwOptions |= hfUseRTS;
  if (dcb_.fOutxDsrFlow) hwOptions |= hfRequireDSR;
  if (dcb_.fOutxCtsFlow) hwOptions |= hfRequireCTS;
  swOptions = 0;
  if (dcb_.fInX) swOptions |= sfReceiveFlow;
  if (dcb_.fOutX) swOptions |= sfTransmitFlow;
  xon = dcb_.XonChar;
  xoff = dcb_.XoffChar;
  return result;
}

// Direction control itself belongs to the platform driver (a half-duplex ioctl, for one);
// the base keeps the mode and the output thread's priority.
void TApdBaseDispatcher::SetRS485Mode(bool on) {
  std::lock_guard lock(generalLock_);
  rs485Mode_ = on;
  if (outThreadRunning_) SetThreadLevel(ThreadKind::Output, (on ? 4 : 3) + threadBoost_);
}

}  // namespace velmora::serial
