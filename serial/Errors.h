#pragma once

// Error codes of the serial layer and the exceptions the components raise for them.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "serial/ComponentBase.h"

namespace velmora::serial {

// Codes the serial layer produces itself (the whole table is ErrorTable below).
inline constexpr std::int32_t ecOK = 0;
inline constexpr std::int32_t ecFileNotFound = -2;
inline constexpr std::int32_t ecPathNotFound = -3;
inline constexpr std::int32_t ecAccessDenied = -5;
inline constexpr std::int32_t ecOutOfMemory = -8;
inline constexpr std::int32_t ecBadHandle = -1001;
inline constexpr std::int32_t ecBadArgument = -1002;
inline constexpr std::int32_t ecBadId = -2001;
inline constexpr std::int32_t ecAlreadyOpen = -2008;
inline constexpr std::int32_t ecCommNotOpen = -2007;
inline constexpr std::int32_t ecNoPortSelected = -2011;
inline constexpr std::int32_t ecNotOpenedByTapi = -2012;
inline constexpr std::int32_t ecNullApi = -3001;
inline constexpr std::int32_t ecNotSupported = -3002;
inline constexpr std::int32_t ecPutBlockFail = -3004;
inline constexpr std::int32_t ecOutputBufferTooSmall = -3006;
inline constexpr std::int32_t ecBufferIsEmpty = -3007;
inline constexpr std::int32_t ecTracingNotEnabled = -3008;
inline constexpr std::int32_t ecLoggingNotEnabled = -3009;
inline constexpr std::int32_t ecBaseAddressNotSet = -3010;
inline constexpr std::int32_t ecNoMoreTriggers = -5001;
inline constexpr std::int32_t ecTriggerTooLong = -5002;
inline constexpr std::int32_t ecBadTriggerHandle = -5003;
inline constexpr std::int32_t ecStartStringEmpty = -5501;
inline constexpr std::int32_t ecPacketTooSmall = -5502;
inline constexpr std::int32_t ecNoEndCharCount = -5503;
inline constexpr std::int32_t ecEmptyEndString = -5504;
inline constexpr std::int32_t ecZeroSizePacket = -5505;
inline constexpr std::int32_t ecPacketTooLong = -5506;

// First codes of the dispatcher log's texts (see the dispatcher's log dump).
inline constexpr std::int32_t csLogTypeBase = 15001;     // + type
inline constexpr std::int32_t csLogSubtypeBase = 15100;  // + subtype

struct TErrorRow {
  std::int32_t Code;
  std::string_view Message;
};

// 892 rows sorted by the magnitude of the code; no two rows share a magnitude.
inline constexpr std::size_t ErrorTableSize = 892;
extern const TErrorRow ErrorTable[ErrorTableSize];

// The text of the row whose code has the magnitude of `code`; empty when there is none.
std::string ErrorMessage(std::int16_t code);

// The message of an exception built from `code`: the table's text, else the system's text for
// the error number |code| with control characters and doubled blanks removed, else empty.
std::string CodeMessage(std::int32_t code);

// Root of the serial layer's exceptions.
class EAPDException : public std::exception {
 public:
  // ErrorCode := code; the message is CodeMessage(code).
  explicit EAPDException(std::int32_t code);
  // ErrorCode := 0.
  explicit EAPDException(std::string message);

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }
  std::int32_t ErrorCode() const { return errorCode_; }
  std::int32_t HelpContext() const { return helpContext_; }

 private:
  std::string message_;
  std::int32_t errorCode_ = 0;
  std::int32_t helpContext_ = 0;
};

// The run-time library's input/output error: raised for the codes -162..-2 with the positive
// magnitude as its error code.
class EInOutError : public std::runtime_error {
 public:
  EInOutError(std::string message, std::int32_t errorCode)
      : std::runtime_error(std::move(message)), errorCode_(errorCode) {}
  std::int32_t ErrorCode() const { return errorCode_; }

 private:
  std::int32_t errorCode_;
};

#define VELMORA_APD_EXCEPTION(Name, Base) \
  class Name : public Base {              \
   public:                                \
    using Base::Base;                     \
  };

VELMORA_APD_EXCEPTION(EGeneral, EAPDException)
VELMORA_APD_EXCEPTION(EBadArgument, EGeneral)
VELMORA_APD_EXCEPTION(EGotQuitMsg, EGeneral)
VELMORA_APD_EXCEPTION(EBufferTooBig, EGeneral)
VELMORA_APD_EXCEPTION(EPortNotAssigned, EGeneral)
VELMORA_APD_EXCEPTION(EInternal, EGeneral)
VELMORA_APD_EXCEPTION(EModemNotAssigned, EGeneral)
VELMORA_APD_EXCEPTION(EPhonebookNotAssigned, EGeneral)
VELMORA_APD_EXCEPTION(ECannotUseWithWinSock, EGeneral)

VELMORA_APD_EXCEPTION(EOpenComm, EAPDException)
VELMORA_APD_EXCEPTION(EBadId, EOpenComm)
VELMORA_APD_EXCEPTION(EBaudRate, EOpenComm)
VELMORA_APD_EXCEPTION(EByteSize, EOpenComm)
VELMORA_APD_EXCEPTION(EDefault, EOpenComm)
VELMORA_APD_EXCEPTION(EHardware, EOpenComm)
VELMORA_APD_EXCEPTION(EMemory, EOpenComm)
VELMORA_APD_EXCEPTION(ECommNotOpen, EOpenComm)
VELMORA_APD_EXCEPTION(EAlreadyOpen, EOpenComm)
VELMORA_APD_EXCEPTION(ENoHandles, EOpenComm)
VELMORA_APD_EXCEPTION(ENoTimers, EOpenComm)
VELMORA_APD_EXCEPTION(ENoPortSelected, EOpenComm)
VELMORA_APD_EXCEPTION(ENotOpenedByTapi, EOpenComm)

VELMORA_APD_EXCEPTION(ESerialIO, EAPDException)
VELMORA_APD_EXCEPTION(ENullApi, ESerialIO)
VELMORA_APD_EXCEPTION(ERegisterHandlerFailed, ESerialIO)
VELMORA_APD_EXCEPTION(EPutBlockFail, ESerialIO)
VELMORA_APD_EXCEPTION(EGetBlockFail, ESerialIO)
VELMORA_APD_EXCEPTION(EOutputBufferTooSmall, ESerialIO)
VELMORA_APD_EXCEPTION(EBufferIsEmpty, ESerialIO)
VELMORA_APD_EXCEPTION(ETracingNotEnabled, ESerialIO)
VELMORA_APD_EXCEPTION(ELoggingNotEnabled, ESerialIO)
VELMORA_APD_EXCEPTION(EBaseAddressNotSet, ESerialIO)

VELMORA_APD_EXCEPTION(EModem, EAPDException)
VELMORA_APD_EXCEPTION(EModemNotStarted, EModem)
VELMORA_APD_EXCEPTION(EModemBusy, EModem)
VELMORA_APD_EXCEPTION(EModemNotDialing, EModem)
VELMORA_APD_EXCEPTION(EModemNotResponding, EModem)
VELMORA_APD_EXCEPTION(EModemRejectedCommand, EModem)
VELMORA_APD_EXCEPTION(EModemStatusMismatch, EModem)
VELMORA_APD_EXCEPTION(EAlreadyDialing, EModem)
VELMORA_APD_EXCEPTION(ENotDialing, EModem)

VELMORA_APD_EXCEPTION(ETrigger, EAPDException)
VELMORA_APD_EXCEPTION(ENoMoreTriggers, ETrigger)
VELMORA_APD_EXCEPTION(ETriggerTooLong, ETrigger)
VELMORA_APD_EXCEPTION(EBadTriggerHandle, ETrigger)

VELMORA_APD_EXCEPTION(EPacket, EAPDException)
VELMORA_APD_EXCEPTION(EInvalidProperty, EPacket)

VELMORA_APD_EXCEPTION(EProtocol, EAPDException)

VELMORA_APD_EXCEPTION(EINI, EAPDException)
VELMORA_APD_EXCEPTION(EKeyTooLong, EINI)
VELMORA_APD_EXCEPTION(EDataTooLarge, EINI)
VELMORA_APD_EXCEPTION(EIniWrite, EINI)
VELMORA_APD_EXCEPTION(EIniRead, EINI)
VELMORA_APD_EXCEPTION(ERecordExists, EINI)
VELMORA_APD_EXCEPTION(ERecordNotFound, EINI)
VELMORA_APD_EXCEPTION(EDatabaseFull, EINI)
VELMORA_APD_EXCEPTION(EDatabaseEmpty, EINI)
VELMORA_APD_EXCEPTION(EBadFieldList, EINI)
VELMORA_APD_EXCEPTION(EBadFieldForIndex, EINI)

VELMORA_APD_EXCEPTION(EFax, EAPDException)
VELMORA_APD_EXCEPTION(EFaxBadFormat, EFax)
VELMORA_APD_EXCEPTION(EBadGraphicsFormat, EFax)
VELMORA_APD_EXCEPTION(EConvertAbort, EFax)
VELMORA_APD_EXCEPTION(EUnpackAbort, EFax)
VELMORA_APD_EXCEPTION(ECantMakeBitmap, EFax)
VELMORA_APD_EXCEPTION(EInvalidPageNumber, EFax)
VELMORA_APD_EXCEPTION(EFaxBadMachine, EFax)
VELMORA_APD_EXCEPTION(EFaxBadModemResult, EFax)
VELMORA_APD_EXCEPTION(EFaxTrainError, EFax)
VELMORA_APD_EXCEPTION(EFaxInitError, EFax)
VELMORA_APD_EXCEPTION(EFaxBusy, EFax)
VELMORA_APD_EXCEPTION(EFaxVoiceCall, EFax)
VELMORA_APD_EXCEPTION(EFaxDataCall, EFax)
VELMORA_APD_EXCEPTION(EFaxNoDialTone, EFax)
VELMORA_APD_EXCEPTION(EFaxNoCarrier, EFax)
VELMORA_APD_EXCEPTION(EFaxSessionError, EFax)
VELMORA_APD_EXCEPTION(EFaxPageError, EFax)

VELMORA_APD_EXCEPTION(ETapi, EAPDException)
VELMORA_APD_EXCEPTION(ETapiAllocated, ETapi)
VELMORA_APD_EXCEPTION(ETapiBadDeviceID, ETapi)
VELMORA_APD_EXCEPTION(ETapiBearerModeUnavail, ETapi)
VELMORA_APD_EXCEPTION(ETapiCallUnavail, ETapi)
VELMORA_APD_EXCEPTION(ETapiCompletionOverrun, ETapi)
VELMORA_APD_EXCEPTION(ETapiConferenceFull, ETapi)
VELMORA_APD_EXCEPTION(ETapiDialBilling, ETapi)
VELMORA_APD_EXCEPTION(ETapiDialDialtone, ETapi)
VELMORA_APD_EXCEPTION(ETapiDialPrompt, ETapi)
VELMORA_APD_EXCEPTION(ETapiDialQuiet, ETapi)
VELMORA_APD_EXCEPTION(ETapiIncompatibleApiVersion, ETapi)
VELMORA_APD_EXCEPTION(ETapiIncompatibleExtVersion, ETapi)
VELMORA_APD_EXCEPTION(ETapiIniFileCorrupt, ETapi)
VELMORA_APD_EXCEPTION(ETapiInUse, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalAddress, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalAddressID, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalAddressMode, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalAddressState, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalAppHandle, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalAppName, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalBearerMode, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalCallComplMode, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalCallHandle, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalCallParams, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalCallPrivilege, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalCallSelect, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalCallState, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalCallStatelist, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalCard, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalCompletionID, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalConfCallHandle, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalConsultCallHandle, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalCountryCode, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalDeviceClass, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalDeviceHandle, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalDialParams, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalDigitList, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalDigitMode, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalDigits, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalExtVersion, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalGroupID, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalLineHandle, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalLineState, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalLocation, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalMediaList, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalMediaMode, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalMessageID, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalParam, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalParkID, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalParkMode, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalPointer, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalPrivSelect, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalRate, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalRequestMode, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalTerminalID, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalTerminalMode, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalTimeout, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalTone, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalToneList, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalToneMode, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalTransferMode, ETapi)
VELMORA_APD_EXCEPTION(ETapiLineMapperFailed, ETapi)
VELMORA_APD_EXCEPTION(ETapiNoConference, ETapi)
VELMORA_APD_EXCEPTION(ETapiNoDevice, ETapi)
VELMORA_APD_EXCEPTION(ETapiNoDriver, ETapi)
VELMORA_APD_EXCEPTION(ETapiNoMem, ETapi)
VELMORA_APD_EXCEPTION(ETapiNoRequest, ETapi)
VELMORA_APD_EXCEPTION(ETapiNotOwner, ETapi)
VELMORA_APD_EXCEPTION(ETapiNotRegistered, ETapi)
VELMORA_APD_EXCEPTION(ETapiOperationFailed, ETapi)
VELMORA_APD_EXCEPTION(ETapiOperationUnavail, ETapi)
VELMORA_APD_EXCEPTION(ETapiRateUnavail, ETapi)
VELMORA_APD_EXCEPTION(ETapiResourceUnavail, ETapi)
VELMORA_APD_EXCEPTION(ETapiRequestOverrun, ETapi)
VELMORA_APD_EXCEPTION(ETapiStructureTooSmall, ETapi)
VELMORA_APD_EXCEPTION(ETapiTargetNotFound, ETapi)
VELMORA_APD_EXCEPTION(ETapiTargetSelf, ETapi)
VELMORA_APD_EXCEPTION(ETapiUninitialized, ETapi)
VELMORA_APD_EXCEPTION(ETapiUserUserInfoTooBig, ETapi)
VELMORA_APD_EXCEPTION(ETapiReinit, ETapi)
VELMORA_APD_EXCEPTION(ETapiAddressBlocked, ETapi)
VELMORA_APD_EXCEPTION(ETapiBillingRejected, ETapi)
VELMORA_APD_EXCEPTION(ETapiInvalFeature, ETapi)
VELMORA_APD_EXCEPTION(ETapiNoMultipleInstance, ETapi)
VELMORA_APD_EXCEPTION(ETapiBusy, ETapi)
VELMORA_APD_EXCEPTION(ETapiNotSet, ETapi)
VELMORA_APD_EXCEPTION(ETapiNoSelect, ETapi)
VELMORA_APD_EXCEPTION(ETapiLoadFail, ETapi)
VELMORA_APD_EXCEPTION(ETapiGetAddrFail, ETapi)
VELMORA_APD_EXCEPTION(ETapiVoiceNotSupported, ETapi)
VELMORA_APD_EXCEPTION(ETapiWaveFail, ETapi)
VELMORA_APD_EXCEPTION(ETapiTranslateFail, ETapi)

VELMORA_APD_EXCEPTION(ERas, EAPDException)
VELMORA_APD_EXCEPTION(ERasLoadFail, ERas)

#undef VELMORA_APD_EXCEPTION

// Code >= 0, or a component being loaded from a form: returns the code. Otherwise raises: -8
// std::bad_alloc; -162..-2 EInOutError; a mapped code its class; any other negative code a plain
// EAPDException with the text "Vusk exception" and ErrorCode 0.
std::int32_t CheckErrorCode(const TApdBaseComponent* component, std::int32_t code);

}  // namespace velmora::serial
