#include "serial/Errors.h"

#include <cstdlib>
#include <cstring>
#include <new>

#ifdef _WIN32
#include <windows.h>
#endif

namespace velmora::serial {

namespace {

// (low + high) / 2 rounded to the nearest integer, halves to even.
int midpoint(int low, int high) {
  const int sum = low + high;
  const int half = sum / 2;
  if (sum % 2 == 0) return half;
  return half % 2 == 0 ? half : half + 1;
}

// The system's own text for error number `number`, with control characters turned into
// blanks and doubled blanks removed; empty when the system has none.
std::string systemMessage(int number) {
  char buffer[256] = {};
#ifdef _WIN32
  const DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(number), 0, buffer, sizeof buffer, nullptr);
  std::string message(buffer, length);
#else
  const char* text = ::strerror_r(number, buffer, sizeof buffer);
  std::string message = text != nullptr ? text : "";
  if (message.rfind("Unknown error", 0) == 0) return {};
#endif
  if (message.size() > 255) message.resize(255);
  for (char& c : message) {
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  }
  for (std::size_t at = message.find("  "); at != std::string::npos; at = message.find("  "))
    message.erase(at, 1);
  return message;
}

template <class E>
[[noreturn]] void raise(std::int32_t code) {
  throw E(code);
}

using Raiser = void (*)(std::int32_t);

struct Mapping {
  std::int32_t code;
  Raiser raise;
};

const Mapping kMappings[] = {
    {-1002, &raise<EBadArgument>},
    {-1003, &raise<EGotQuitMsg>},
    {-1004, &raise<EBufferTooBig>},
    {-1005, &raise<EPortNotAssigned>},
    {-1006, &raise<EInternal>},
    {-1007, &raise<EModemNotAssigned>},
    {-1008, &raise<EPhonebookNotAssigned>},
    {-1009, &raise<ECannotUseWithWinSock>},
    {-2001, &raise<EBadId>},
    {-2002, &raise<EBaudRate>},
    {-2003, &raise<EByteSize>},
    {-2004, &raise<EDefault>},
    {-2005, &raise<EHardware>},
    {-2006, &raise<EMemory>},
    {-2007, &raise<ECommNotOpen>},
    {-2008, &raise<EAlreadyOpen>},
    {-2009, &raise<ENoHandles>},
    {-2010, &raise<ENoTimers>},
    {-2011, &raise<ENoPortSelected>},
    {-2012, &raise<ENotOpenedByTapi>},
    {-3001, &raise<ENullApi>},
    {-3003, &raise<ERegisterHandlerFailed>},
    {-3004, &raise<EPutBlockFail>},
    {-3005, &raise<EGetBlockFail>},
    {-3006, &raise<EOutputBufferTooSmall>},
    {-3007, &raise<EBufferIsEmpty>},
    {-3008, &raise<ETracingNotEnabled>},
    {-3009, &raise<ELoggingNotEnabled>},
    {-3010, &raise<EBaseAddressNotSet>},
    {-4001, &raise<EModemNotStarted>},
    {-4002, &raise<EModemBusy>},
    {-4003, &raise<EModemNotDialing>},
    {-4004, &raise<ENotDialing>},
    {-4005, &raise<EAlreadyDialing>},
    {-4006, &raise<EModemNotResponding>},
    {-4007, &raise<EModemRejectedCommand>},
    {-4008, &raise<EModemStatusMismatch>},
    {-5001, &raise<ENoMoreTriggers>},
    {-5002, &raise<ETriggerTooLong>},
    {-5003, &raise<EBadTriggerHandle>},
    {-6006, &raise<EProtocol>},
    {-6008, &raise<EProtocol>},
    {-6009, &raise<EProtocol>},
    {-7001, &raise<EKeyTooLong>},
    {-7002, &raise<EDataTooLarge>},
    {-7003, &raise<EInternal>},
    {-7004, &raise<EIniWrite>},
    {-7005, &raise<EIniRead>},
    {-7006, &raise<EInternal>},
    {-7007, &raise<ERecordExists>},
    {-7008, &raise<ERecordNotFound>},
    {-7010, &raise<EDatabaseFull>},
    {-7011, &raise<EDatabaseEmpty>},
    {-7012, &raise<EInternal>},
    {-7013, &raise<EBadFieldList>},
    {-7014, &raise<EBadFieldForIndex>},
    {-8001, &raise<EFaxBadFormat>},
    {-8002, &raise<EBadGraphicsFormat>},
    {-8003, &raise<EConvertAbort>},
    {-8004, &raise<EUnpackAbort>},
    {-8005, &raise<ECantMakeBitmap>},
    {-8053, &raise<EInvalidPageNumber>},
    {-8060, &raise<EFaxBadMachine>},
    {-8061, &raise<EFaxBadModemResult>},
    {-8062, &raise<EFaxTrainError>},
    {-8063, &raise<EFaxInitError>},
    {-8064, &raise<EFaxBusy>},
    {-8065, &raise<EFaxVoiceCall>},
    {-8066, &raise<EFaxDataCall>},
    {-8067, &raise<EFaxNoDialTone>},
    {-8068, &raise<EFaxNoCarrier>},
    {-8069, &raise<EFaxSessionError>},
    {-8070, &raise<EFaxPageError>},
    {-13801, &raise<ETapiAllocated>},
    {-13802, &raise<ETapiBadDeviceID>},
    {-13803, &raise<ETapiBearerModeUnavail>},
    {-13805, &raise<ETapiCallUnavail>},
    {-13806, &raise<ETapiCompletionOverrun>},
    {-13807, &raise<ETapiConferenceFull>},
    {-13808, &raise<ETapiDialBilling>},
    {-13809, &raise<ETapiDialDialtone>},
    {-13810, &raise<ETapiDialPrompt>},
    {-13811, &raise<ETapiDialQuiet>},
    {-13812, &raise<ETapiIncompatibleApiVersion>},
    {-13813, &raise<ETapiIncompatibleExtVersion>},
    {-13814, &raise<ETapiIniFileCorrupt>},
    {-13815, &raise<ETapiInUse>},
    {-13816, &raise<ETapiInvalAddress>},
    {-13817, &raise<ETapiInvalAddressID>},
    {-13818, &raise<ETapiInvalAddressMode>},
    {-13819, &raise<ETapiInvalAddressState>},
    {-13820, &raise<ETapiInvalAppHandle>},
    {-13821, &raise<ETapiInvalAppName>},
    {-13822, &raise<ETapiInvalBearerMode>},
    {-13823, &raise<ETapiInvalCallComplMode>},
    {-13824, &raise<ETapiInvalCallHandle>},
    {-13825, &raise<ETapiInvalCallParams>},
    {-13826, &raise<ETapiInvalCallPrivilege>},
    {-13827, &raise<ETapiInvalCallSelect>},
    {-13828, &raise<ETapiInvalCallState>},
    {-13829, &raise<ETapiInvalCallStatelist>},
    {-13830, &raise<ETapiInvalCard>},
    {-13831, &raise<ETapiInvalCompletionID>},
    {-13832, &raise<ETapiInvalConfCallHandle>},
    {-13833, &raise<ETapiInvalConsultCallHandle>},
    {-13834, &raise<ETapiInvalCountryCode>},
    {-13835, &raise<ETapiInvalDeviceClass>},
    {-13836, &raise<ETapiInvalDeviceHandle>},
    {-13837, &raise<ETapiInvalDialParams>},
    {-13838, &raise<ETapiInvalDigitList>},
    {-13839, &raise<ETapiInvalDigitMode>},
    {-13840, &raise<ETapiInvalDigits>},
    {-13841, &raise<ETapiInvalExtVersion>},
    {-13842, &raise<ETapiInvalGroupID>},
    {-13843, &raise<ETapiInvalLineHandle>},
    {-13844, &raise<ETapiInvalLineState>},
    {-13845, &raise<ETapiInvalLocation>},
    {-13846, &raise<ETapiInvalMediaList>},
    {-13847, &raise<ETapiInvalMediaMode>},
    {-13848, &raise<ETapiInvalMessageID>},
    {-13850, &raise<ETapiInvalParam>},
    {-13851, &raise<ETapiInvalParkID>},
    {-13852, &raise<ETapiInvalParkMode>},
    {-13853, &raise<ETapiInvalPointer>},
    {-13854, &raise<ETapiInvalPrivSelect>},
    {-13855, &raise<ETapiInvalRate>},
    {-13856, &raise<ETapiInvalRequestMode>},
    {-13857, &raise<ETapiInvalTerminalID>},
    {-13858, &raise<ETapiInvalTerminalMode>},
    {-13859, &raise<ETapiInvalTimeout>},
    {-13860, &raise<ETapiInvalTone>},
    {-13861, &raise<ETapiInvalToneList>},
    {-13862, &raise<ETapiInvalToneMode>},
    {-13863, &raise<ETapiInvalTransferMode>},
    {-13864, &raise<ETapiLineMapperFailed>},
    {-13865, &raise<ETapiNoConference>},
    {-13866, &raise<ETapiNoDevice>},
    {-13867, &raise<ETapiNoDriver>},
    {-13868, &raise<ETapiNoMem>},
    {-13869, &raise<ETapiNoRequest>},
    {-13870, &raise<ETapiNotOwner>},
    {-13871, &raise<ETapiNotRegistered>},
    {-13872, &raise<ETapiOperationFailed>},
    {-13873, &raise<ETapiOperationUnavail>},
    {-13874, &raise<ETapiRateUnavail>},
    {-13875, &raise<ETapiResourceUnavail>},
    {-13876, &raise<ETapiRequestOverrun>},
    {-13877, &raise<ETapiStructureTooSmall>},
    {-13878, &raise<ETapiTargetNotFound>},
    {-13879, &raise<ETapiTargetSelf>},
    {-13880, &raise<ETapiUninitialized>},
    {-13881, &raise<ETapiUserUserInfoTooBig>},
    {-13882, &raise<ETapiReinit>},
    {-13883, &raise<ETapiAddressBlocked>},
    {-13884, &raise<ETapiBillingRejected>},
    {-13885, &raise<ETapiInvalFeature>},
    {-13886, &raise<ETapiNoMultipleInstance>},
    {-13928, &raise<ETapiBusy>},
    {-13929, &raise<ETapiNotSet>},
    {-13930, &raise<ETapiNoSelect>},
    {-13931, &raise<ETapiLoadFail>},
    {-13932, &raise<ETapiGetAddrFail>},
    {-13935, &raise<ETapiVoiceNotSupported>},
    {-13936, &raise<ETapiWaveFail>},
    {-13942, &raise<ETapiTranslateFail>},
    {-13980, &raise<ERasLoadFail>},
};

}  // namespace

std::string ErrorMessage(std::int16_t code) {
  const int magnitude = std::abs(static_cast<int>(code));
  int low = 0;
  int high = static_cast<int>(ErrorTableSize) - 1;
  while (low <= high) {
    const int middle = midpoint(low, high);
    const int found = std::abs(ErrorTable[middle].Code);
    if (found == magnitude) return std::string(ErrorTable[middle].Message);
    if (found < magnitude)
      low = middle + 1;
    else
      high = middle - 1;
  }
  return {};
}

std::string CodeMessage(std::int32_t code) {
  const std::int64_t magnitude = std::abs(static_cast<std::int64_t>(code));
  std::string message;
  if (magnitude <= 32767) message = ErrorMessage(static_cast<std::int16_t>(magnitude));
  if (message.empty() && magnitude <= 0x7FFFFFFF)
    message = systemMessage(static_cast<int>(magnitude));
  return message;
}

EAPDException::EAPDException(std::int32_t code) : message_(CodeMessage(code)), errorCode_(code) {}

EAPDException::EAPDException(std::string message) : message_(std::move(message)) {}

std::int32_t CheckErrorCode(const TApdBaseComponent* component, std::int32_t code) {
  if (code >= 0) return code;
  if (component != nullptr && component->Loading()) return code;
  if (code == ecOutOfMemory) throw std::bad_alloc();
  if (code >= -162 && code <= -2) throw EInOutError(CodeMessage(code), -code);
  for (const Mapping& mapping : kMappings) {
    if (mapping.code == code) mapping.raise(code);
  }
  throw EAPDException(std::string("Vusk exception"));
}

}  // namespace velmora::serial
