#include "serial/Errors.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <set>

namespace velmora::serial {
namespace {

TEST(ErrorTable, HoldsItsRowsSortedByMagnitudeWithTwelveEmpty) {
  std::set<int> magnitudes;
  int empty = 0;
  for (std::size_t i = 0; i < ErrorTableSize; ++i) {
    const int magnitude = std::abs(ErrorTable[i].Code);
    if (i > 0) {
      EXPECT_LT(std::abs(ErrorTable[i - 1].Code), magnitude) << "row " << i;
    }
    magnitudes.insert(magnitude);
    EXPECT_LE(ErrorTable[i].Message.size(), 255u);
    if (ErrorTable[i].Message.empty()) ++empty;
  }
  EXPECT_EQ(magnitudes.size(), 892u);
  EXPECT_EQ(empty, 12);
  EXPECT_EQ(ErrorTable[0].Code, 0);
  EXPECT_EQ(ErrorTable[ErrorTableSize - 1].Code, 15742);
}

TEST(ErrorMessage, FindsEveryRowByMagnitude) {
  for (std::size_t i = 0; i < ErrorTableSize; ++i) {
    const auto code = static_cast<std::int16_t>(ErrorTable[i].Code);
    EXPECT_EQ(ErrorMessage(code), ErrorTable[i].Message) << code;
    EXPECT_EQ(ErrorMessage(static_cast<std::int16_t>(-code)), ErrorTable[i].Message) << code;
  }
  EXPECT_EQ(ErrorMessage(2011), "The ComNumber property of the TApdComPort has not been set");
  EXPECT_EQ(ErrorMessage(-2011), ErrorMessage(2011));
  EXPECT_EQ(ErrorMessage(7), "");
  EXPECT_EQ(ErrorMessage(4201), "Ready");
  EXPECT_EQ(ErrorMessage(10013), "Permission denied");
  EXPECT_EQ(ErrorMessage(11001), "Host not found");
  EXPECT_EQ(ErrorMessage(13501), "Line is idle");
  EXPECT_EQ(ErrorMessage(15002), "Dispatch");
  EXPECT_EQ(ErrorMessage(15119), "Method");
  EXPECT_EQ(ErrorMessage(15351), "Collecting");
  EXPECT_EQ(ErrorMessage(15100), "");
  EXPECT_EQ(ErrorMessage(32767), "");
}

template <class E>
void expectRaised(std::int32_t code, const std::string& message) {
  try {
    CheckErrorCode(nullptr, code);
    ADD_FAILURE() << code << " did not raise";
  } catch (const E& error) {
    EXPECT_EQ(error.Message(), message) << code;
    EXPECT_EQ(error.ErrorCode(), code);
    EXPECT_STREQ(error.what(), message.c_str());
  }
}

TEST(CheckErrorCode, PassesSuccessAndCountsAndLoadingComponents) {
  EXPECT_EQ(CheckErrorCode(nullptr, 0), 0);
  EXPECT_EQ(CheckErrorCode(nullptr, 5), 5);
  TApdBaseComponent loading;
  loading.SetLoading(true);
  EXPECT_EQ(CheckErrorCode(&loading, -2007), -2007);
  loading.SetLoading(false);
  EXPECT_THROW(CheckErrorCode(&loading, -2007), ECommNotOpen);
}

TEST(CheckErrorCode, RaisesTheClassOfEachMappedFamily) {
  expectRaised<EBadArgument>(-1002, "Bad argument passed to function");
  expectRaised<EGeneral>(-1005, "ComPort component not assigned");
  expectRaised<EBadId>(-2001, "ie_BadId - Specified comport doesn't exist");
  expectRaised<EAlreadyOpen>(-2008, "ie_Open - device already open");
  expectRaised<ENoPortSelected>(-2011,
                                "The ComNumber property of the TApdComPort has not been set");
  expectRaised<EOpenComm>(-2012, "Comport was not opened by Tapi");
  expectRaised<ENullApi>(-3001, "No device layer specified");
  expectRaised<EOutputBufferTooSmall>(-3006, "Output buffer too small for block");
  expectRaised<ESerialIO>(-3010, "Base address not set");
  expectRaised<EModemNotStarted>(-4001, ErrorMessage(4001));
  expectRaised<EModemStatusMismatch>(-4008, ErrorMessage(4008));
  expectRaised<ENoMoreTriggers>(-5001, "No more trigger slots");
  expectRaised<EBadTriggerHandle>(-5003, "Bad trigger handle");
  expectRaised<EProtocol>(-6008, ErrorMessage(6008));
  expectRaised<EInternal>(-7006, ErrorMessage(7006));
  expectRaised<EBadFieldForIndex>(-7014, ErrorMessage(7014));
  expectRaised<EInvalidPageNumber>(-8053, ErrorMessage(8053));
  expectRaised<EFaxPageError>(-8070, ErrorMessage(8070));
  expectRaised<ETapiAllocated>(-13801, ErrorMessage(13801));
  expectRaised<ETapiTranslateFail>(-13942, ErrorMessage(13942));
  expectRaised<ETapi>(-13886, ErrorMessage(13886));
  expectRaised<ERasLoadFail>(-13980, ErrorMessage(13980));
}

TEST(CheckErrorCode, UnmappedCodesRaiseThePlainException) {
  for (const std::int32_t code : {-1001, -3002, -5501, -5506, -4009, -6001, -7009, -8500, -99999}) {
    try {
      CheckErrorCode(nullptr, code);
      ADD_FAILURE() << code;
    } catch (const EAPDException& error) {
      EXPECT_EQ(typeid(error), typeid(EAPDException)) << code;
      EXPECT_EQ(error.Message(), "Vusk exception");
      EXPECT_EQ(error.ErrorCode(), 0);
    }
  }
}

TEST(CheckErrorCode, InputOutputRangeAndMemory) {
  try {
    CheckErrorCode(nullptr, -5);
    ADD_FAILURE();
  } catch (const EInOutError& error) {
    EXPECT_STREQ(error.what(), "File access denied");
    EXPECT_EQ(error.ErrorCode(), 5);
  }
  // A code of the range without a row takes the system's text.
  try {
    CheckErrorCode(nullptr, -31);
    ADD_FAILURE();
  } catch (const EInOutError& error) {
    EXPECT_EQ(error.ErrorCode(), 31);
    EXPECT_FALSE(std::string(error.what()).empty());
    EXPECT_EQ(std::string(error.what()), CodeMessage(-31));
  }
  EXPECT_THROW(CheckErrorCode(nullptr, -8), std::bad_alloc);
}

TEST(CodeMessage, FallsBackToTheCleanedSystemText) {
  EXPECT_EQ(CodeMessage(-2001), "ie_BadId - Specified comport doesn't exist");
  const std::string text = CodeMessage(-13);  // no row; the system names it
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find("  "), std::string::npos);
  for (const char c : text) EXPECT_GE(static_cast<unsigned char>(c), 32);
  EXPECT_EQ(CodeMessage(-30000), "");  // neither a row nor a system text
  const EAPDException fromCode(-3004);
  EXPECT_EQ(fromCode.Message(), "Failed to put entire block");
  const EAPDException fromText(std::string("text"));
  EXPECT_EQ(fromText.ErrorCode(), 0);
  EXPECT_EQ(fromText.Message(), "text");
}

}  // namespace
}  // namespace velmora::serial
