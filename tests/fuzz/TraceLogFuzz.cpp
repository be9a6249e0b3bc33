// Random entries through the dispatcher's trace and log, dumped and appended into a temporary
// folder in every format: no operation fails, and a dump after entries leaves a file.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/Clock.h"
#include "serial/dispatcher/Dispatcher.h"
#include "support/ScriptedDevice.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

namespace fs = std::filesystem;
using velmora::testing::ScriptedDevice;

const fs::path& Folder() {
  static const fs::path folder = [] {
    fs::path path =
        fs::temp_directory_path() / ("velmora-fuzz-trace-" + std::to_string(::getpid()));
    fs::create_directories(path);
    return path;
  }();
  return folder;
}

constexpr char kKinds[] = {'R', 'T', 'X', 'C', 'D', '\0', '\n', '%'};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velmora::fuzz::FuzzInput in(data, size);
  velmora::platform::ManualClock clock;
  ScriptedDevice device(clock);
  const std::string files[] = {(Folder() / "a.trc").string(), (Folder() / "b.log").string()};
  std::uint32_t traceSize = 0;  // the trace's entries as the dispatcher holds them; 0: none
  bool traced = false;          // an entry went into the trace since it last started
  while (!in.Done()) {
    const std::uint8_t op = in.Byte();
    switch (op % 12) {
      case 0: {
        const std::uint32_t entries = in.Value<std::uint16_t>() % 4097;
        if (device.InitTrace(entries) != 0) VELMORA_FUZZ_FAIL();
        if (traceSize == 0) traceSize = entries;
        traced = false;  // a trace that exists starts again from its first entry
      } break;
      case 1: {
        const char kind = in.Bool() ? kKinds[in.Byte() % 8] : static_cast<char>(in.Byte());
        const std::uint8_t byte = in.Byte();
        if (traceSize > 0) traced = true;
        device.AddTraceEntry(kind, byte);
        break;
      }
      case 2:
      case 3: {
        const bool hex = in.Bool();
        const bool allHex = in.Bool();
        const std::string& file = files[in.Byte() % 2];
        const std::int32_t result = op % 12 == 2 ? device.DumpTrace(file, hex, allHex)
                                                 : device.AppendTrace(file, hex, allHex);
        if (result != 0) VELMORA_FUZZ_FAIL();
        if (traced && !fs::exists(file)) VELMORA_FUZZ_FAIL();
        if (device.Tracing()) VELMORA_FUZZ_FAIL();
        traced = false;
        traceSize = 0;  // a dump ends the trace
        break;
      }
      case 4:
        device.ClearTrace();
        traced = false;
        break;
      case 5:
        if (in.Bool()) {
          device.AbortTrace();
          traced = false;
          traceSize = 0;
        } else if (in.Bool())
          device.StartTracing();
        else
          device.StopTracing();
        break;
      case 6:
        device.InitLog(in.Value<std::uint16_t>() % 8193);
        break;
      case 7:
      case 8: {
        const std::uint8_t type = in.Byte();
        const std::uint8_t subtype = in.Byte();
        const std::uint32_t value = in.Value<std::uint32_t>();
        const auto block = in.Block(600);
        device.AddLogEntry(type, subtype, static_cast<std::uint32_t>(block.size()),
                           block.empty() ? nullptr : block.data(), value);
        break;
      }
      case 9:
      case 10: {
        const bool hex = in.Bool();
        const bool allHex = in.Bool();
        const std::string& file = files[in.Byte() % 2];
        const std::int32_t result =
            op % 12 == 9 ? device.DumpLog(file, hex, allHex) : device.AppendLog(file, hex, allHex);
        if (result != 0) VELMORA_FUZZ_FAIL();
        break;
      }
      default:
        if (in.Bool())
          device.ClearLog();
        else if (in.Bool())
          device.AbortLog();
        else if (in.Bool())
          device.StartLogging();
        else
          device.StopLogging();
        break;
    }
  }
  std::error_code ignored;
  for (const auto& file : files) fs::remove(file, ignored);
  return 0;
}
