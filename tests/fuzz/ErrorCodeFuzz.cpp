// Random codes through ErrorMessage, CodeMessage and CheckErrorCode: the table lookup agrees with
// a plain search, a message never carries control characters or doubled blanks, and every
// negative code raises exactly the exception its range calls for.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "serial/Errors.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

namespace vs = velmora::serial;

std::string Search(std::int16_t code) {
  const int magnitude = std::abs(static_cast<int>(code));
  for (const vs::TErrorRow& row : vs::ErrorTable) {
    if (std::abs(row.Code) == magnitude) return std::string(row.Message);
  }
  return {};
}

void CheckClean(const std::string& message) {
  for (char c : message) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) VELMORA_FUZZ_FAIL();
  }
  if (message.find("  ") != std::string::npos) VELMORA_FUZZ_FAIL();
}

// The table's own text when it has one (some rows are column headings with blanks in them),
// else the system's text, cleaned.
void CheckCodeMessage(std::int32_t code) {
  const std::string message = vs::CodeMessage(code);
  const std::int64_t magnitude = std::abs(static_cast<std::int64_t>(code));
  const std::string table =
      magnitude <= 32767 ? Search(static_cast<std::int16_t>(magnitude)) : std::string();
  if (!table.empty()) {
    if (message != table) VELMORA_FUZZ_FAIL();
  } else {
    CheckClean(message);
  }
}

void CheckRaise(std::int32_t code, bool loading) {
  vs::TApdBaseComponent component;
  component.SetLoading(loading);
  try {
    const std::int32_t result = vs::CheckErrorCode(&component, code);
    if (result != code || (code < 0 && !loading)) VELMORA_FUZZ_FAIL();
  } catch (const std::bad_alloc&) {
    if (code != vs::ecOutOfMemory || loading) VELMORA_FUZZ_FAIL();
  } catch (const vs::EInOutError& e) {
    if (code < -162 || code > -2 || loading || e.ErrorCode() != -code) VELMORA_FUZZ_FAIL();
    if (e.what() != vs::CodeMessage(code)) VELMORA_FUZZ_FAIL();
  } catch (const vs::EAPDException& e) {
    if (code >= 0 || loading || (code >= -162 && code <= -2)) VELMORA_FUZZ_FAIL();
    if (e.ErrorCode() == 0) {
      if (e.Message() != "Vusk exception") VELMORA_FUZZ_FAIL();
    } else if (e.ErrorCode() != code || e.Message() != vs::CodeMessage(code)) {
      VELMORA_FUZZ_FAIL();
    }
  } catch (...) {
    VELMORA_FUZZ_FAIL();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmora::fuzz::FuzzInput in(data, size);
  while (!in.Done()) {
    std::int32_t code = in.Value<std::int32_t>();
    // Most of the table lives between -10000 and 10000: fold most codes there.
    if (in.Bool()) code %= 10000;
    const auto shortCode = static_cast<std::int16_t>(code);
    if (vs::ErrorMessage(shortCode) != Search(shortCode)) VELMORA_FUZZ_FAIL();
    CheckCodeMessage(code);
    CheckRaise(code, false);
    CheckRaise(code, true);
    if (vs::CheckErrorCode(nullptr, code < 0 ? -(code + 1) : code) < 0) VELMORA_FUZZ_FAIL();
  }
  return 0;
}
