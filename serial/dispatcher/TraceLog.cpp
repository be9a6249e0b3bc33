// The byte trace and the dispatch log, and their text files.

#ifndef _WIN32
#include <sys/utsname.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "serial/Errors.h"
#include "serial/dispatcher/Dispatcher.h"

namespace velmora::serial {

namespace {

constexpr std::uint32_t kLogHeaderSize = 16;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// One byte of a dump: shown as itself when printable, else in brackets, hex or decimal.
struct Item {
  char text[8];
  int width;
};

Item formatItem(std::uint8_t byte, bool hex, bool allHex) {
  Item item{};
  const std::uint8_t lowest = hex ? 0x21 : 0x20;
  if (!allHex && byte >= lowest && byte <= 0x7E) {
    item.text[0] = static_cast<char>(byte);
    item.width = 1;
  } else if (allHex || hex) {
    std::snprintf(item.text, sizeof item.text, "[%02X]", byte);
    item.width = 4;
  } else {
    std::snprintf(item.text, sizeof item.text, "[%u]", byte);
    item.width = byte < 10 ? 3 : byte < 100 ? 4 : 5;
  }
  return item;
}

// Closes the file and turns any error met while writing it into a negative code.
std::int32_t finish(File file) {
  const bool failed = std::ferror(file.get()) != 0;
  const int savedErrno = errno;
  const int closed = std::fclose(file.release());
  if (failed) return -(savedErrno != 0 ? savedErrno : EIO);
  if (closed != 0) return -(errno != 0 ? errno : EIO);
  return 0;
}

const char* const kStatusKindNames[] = {"(Not active)",         "(Modem status)",
                                        "(Line status)",        "(Output buffer free)",
                                        "(Output buffer used)", "(Output sent)"};

}  // namespace

std::string BuildText() {
#if defined(__clang__)
  return std::string("clang ") + __clang_version__;
#elif defined(__GNUC__)
  return std::string("g++ ") + __VERSION__;
#else
  return "C++ compiler";
#endif
}

std::string OperatingSystemText() {
#ifdef _WIN32
  return "Windows";
#else
  utsname names{};
  if (::uname(&names) != 0) return "unknown";
  std::string text = std::string(names.sysname) + " " + names.release + " " + names.version;
  if (text.size() > 80) text.resize(80);
  return text;
#endif
}

// ---- Trace -------------------------------------------------------------------------------

std::int32_t TApdBaseDispatcher::InitTrace(std::uint32_t entries) {
  std::lock_guard lock(generalLock_);
  if (!traceRing_.empty()) {
    traceIndex_ = 0;
    traceWrapped_ = false;
  } else {
    if (entries > MaxTraceEntries) return ecBadArgument;
    traceSize_ = entries;
    traceIndex_ = 0;
    traceWrapped_ = false;
    traceRing_.assign(std::size_t{entries} * 2, 0);
  }
  tracing_ = true;
  return ecOK;
}

void TApdBaseDispatcher::ClearTrace() {
  std::lock_guard lock(generalLock_);
  traceIndex_ = 0;
  traceWrapped_ = false;
}

void TApdBaseDispatcher::AbortTrace() {
  std::lock_guard lock(generalLock_);
  tracing_ = false;
  std::vector<std::uint8_t>().swap(traceRing_);
  traceSize_ = traceIndex_ = 0;
  traceWrapped_ = false;
}

void TApdBaseDispatcher::StartTracing() {
  std::lock_guard lock(generalLock_);
  if (!traceRing_.empty()) tracing_ = true;
}

void TApdBaseDispatcher::StopTracing() {
  tracing_ = false;
}

void TApdBaseDispatcher::AddTraceEntry(char kind, std::uint8_t byte) {
  std::lock_guard lock(generalLock_);
  if (traceRing_.empty()) return;
  traceRing_[std::size_t{traceIndex_} * 2] = static_cast<std::uint8_t>(kind);
  traceRing_[std::size_t{traceIndex_} * 2 + 1] = byte;
  if (++traceIndex_ == traceSize_) {
    traceIndex_ = 0;
    traceWrapped_ = true;
  }
}

std::int32_t TApdBaseDispatcher::DumpTrace(const std::string& fileName, bool hex, bool allHex) {
  return WriteTrace(fileName, false, hex, allHex);
}

std::int32_t TApdBaseDispatcher::AppendTrace(const std::string& fileName, bool hex, bool allHex) {
  return WriteTrace(fileName, true, hex, allHex);
}

std::int32_t TApdBaseDispatcher::WriteTrace(const std::string& fileName, bool append, bool hex,
                                            bool allHex) {
  tracing_ = false;
  std::lock_guard lock(generalLock_);
  if (traceRing_.empty()) return ecOK;
  const std::uint32_t end = traceIndex_;
  std::uint32_t start = 0;
  if (!traceWrapped_) {
    if (traceIndex_ == 0) {
      AbortTrace();
      return ecOK;
    }
  } else {
    start = traceIndex_;
  }
  File file(std::fopen(fileName.c_str(), append ? "ab" : "wb"));
  if (!file) {
    const std::int32_t result = -errno;
    AbortTrace();
    return result;
  }
  int column = 0;
  bool first = true;
  std::uint8_t previousKind = 0;
  std::uint32_t i = start;
  do {
    const std::uint8_t kind = traceRing_[std::size_t{i} * 2];
    const std::uint8_t byte = traceRing_[std::size_t{i} * 2 + 1];
    if (first || kind != previousKind) {
      if (!first) std::fputs("\n\n", file.get());
      column = 0;
      if (kind == 'R')
        std::fputs("Receive: \n", file.get());
      else if (kind == 'T')
        std::fputs("Transmit: \n", file.get());
      else
        std::fprintf(file.get(), "Special-%c: \n", static_cast<char>(kind));
      previousKind = kind;
      first = false;
    }
    const Item item = formatItem(byte, hex, allHex);
    column += item.width;
    if (column > 78) {
      std::fputc('\n', file.get());
      column = item.width;
    }
    std::fputs(item.text, file.get());
    i = (i + 1) % traceSize_;
  } while (i != end);
  const std::int32_t result = finish(std::move(file));
  AbortTrace();
  return result;
}

// ---- Log ---------------------------------------------------------------------------------

void TApdBaseDispatcher::InitLog(std::uint32_t size) {
  std::lock_guard lock(generalLock_);
  if (!logRing_.empty()) {
    logHead_ = logTail_ = 0;
    logFree_ = static_cast<std::uint32_t>(logRing_.size());
    return;
  }
  if (size == 0) return;
  logRing_.assign(size, 0);
  logHead_ = logTail_ = 0;
  logFree_ = size;
  logging_ = true;
}

void TApdBaseDispatcher::ClearLog() {
  std::lock_guard lock(generalLock_);
  logHead_ = logTail_ = 0;
  logFree_ = static_cast<std::uint32_t>(logRing_.size());
}

void TApdBaseDispatcher::AbortLog() {
  std::lock_guard lock(generalLock_);
  logging_ = false;
  std::vector<std::uint8_t>().swap(logRing_);
  logHead_ = logTail_ = logFree_ = 0;
}

void TApdBaseDispatcher::StartLogging() {
  std::lock_guard lock(generalLock_);
  if (!logRing_.empty()) logging_ = true;
}

void TApdBaseDispatcher::StopLogging() {
  logging_ = false;
}

void TApdBaseDispatcher::AddLogEntry(std::uint8_t type, std::uint8_t subtype, std::uint32_t length,
                                     const void* data, std::uint32_t value) {
  if (!logging_) return;
  std::lock_guard lock(generalLock_);
  AddLogEntryLocked(type, subtype, length, data, value);
}

// Caller holds the general lock.
void TApdBaseDispatcher::AddLogEntryLocked(std::uint8_t type, std::uint8_t subtype,
                                           std::uint32_t length, const void* data,
                                           std::uint32_t value) {
  if (!logging_ || logRing_.empty()) return;
  const auto ringSize = static_cast<std::uint32_t>(logRing_.size());
  const std::uint64_t entrySize = std::uint64_t{kLogHeaderSize} + length;
  if (entrySize >= ringSize) return;

  auto readAt = [&](std::uint32_t position, void* out, std::uint32_t count) {
    auto* bytes = static_cast<std::uint8_t*>(out);
    for (std::uint32_t k = 0; k < count; ++k) bytes[k] = logRing_[(position + k) % ringSize];
  };
  auto writeAt = [&](std::uint32_t position, const void* in, std::uint32_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(in);
    const std::uint32_t first = std::min(count, ringSize - position);
    std::memcpy(&logRing_[position], bytes, first);
    std::memcpy(logRing_.data(), bytes + first, count - first);
  };

  // The oldest entries make room.
  while (logFree_ < entrySize) {
    std::uint32_t oldLength = 0;
    readAt((logTail_ + 12) % ringSize, &oldLength, 4);
    logTail_ = static_cast<std::uint32_t>((logTail_ + kLogHeaderSize + oldLength) % ringSize);
    logFree_ += kLogHeaderSize + oldLength;
  }
  std::uint8_t header[kLogHeaderSize] = {};
  header[0] = type;
  header[1] = subtype;
  const std::uint32_t time = clock_.tickCount() - logTimeBase_;
  std::memcpy(header + 4, &time, 4);
  std::memcpy(header + 8, &value, 4);
  std::memcpy(header + 12, &length, 4);
  writeAt(logHead_, header, kLogHeaderSize);
  logHead_ = (logHead_ + kLogHeaderSize) % ringSize;
  if (length > 0 && data != nullptr) writeAt(logHead_, data, length);
  logHead_ = (logHead_ + length) % ringSize;
  logFree_ -= static_cast<std::uint32_t>(entrySize);
}

std::int32_t TApdBaseDispatcher::DumpLog(const std::string& fileName, bool hex, bool allHex) {
  return WriteLog(fileName, false, hex, allHex);
}

std::int32_t TApdBaseDispatcher::AppendLog(const std::string& fileName, bool hex, bool allHex) {
  return WriteLog(fileName, true, hex, allHex);
}

std::int32_t TApdBaseDispatcher::WriteLog(const std::string& fileName, bool append, bool hex,
                                          bool allHex) {
  {
    std::lock_guard lock(generalLock_);
    if (logRing_.empty() || logFree_ == logRing_.size()) {
      AbortLog();
      return ecOK;
    }
  }
  logging_ = false;
  std::lock_guard lock(generalLock_);
  if (logRing_.empty()) return ecOK;
  File file(std::fopen(fileName.c_str(), append ? "ab" : "wb"));
  if (!file) return -errno;
  std::FILE* out = file.get();

  const std::tm now = LocalTime();
  char date[32];
  std::strftime(date, sizeof date, "%d/%m/%y, %H:%M:%S", &now);
  std::fprintf(out, "VUSK v4.05\n");
  std::fprintf(out, "Compiler : %s\n", BuildText().c_str());
  std::fprintf(out, "Operating System : %s\n", OperatingSystemText().c_str());
  std::fprintf(out, "Device: %s\n", deviceName_.c_str());
  std::fprintf(out, "Date/time: %s\n", date);
  std::fprintf(out, "Time      Type      SubType       Data      OtherData\n");
  std::fprintf(out, "--------  --------  ------------  --------  ---------\n");

  const auto ringSize = static_cast<std::uint32_t>(logRing_.size());
  std::vector<std::uint8_t> data;
  while (logFree_ < ringSize) {
    std::uint8_t header[kLogHeaderSize];
    for (std::uint32_t k = 0; k < kLogHeaderSize; ++k)
      header[k] = logRing_[(logTail_ + k) % ringSize];
    std::uint32_t time = 0;
    std::uint32_t value = 0;
    std::uint32_t length = 0;
    std::memcpy(&time, header + 4, 4);
    std::memcpy(&value, header + 8, 4);
    std::memcpy(&length, header + 12, 4);
    data.resize(length);
    for (std::uint32_t k = 0; k < length; ++k)
      data[k] = logRing_[(logTail_ + kLogHeaderSize + k) % ringSize];
    logTail_ = (logTail_ + kLogHeaderSize + length) % ringSize;
    logFree_ += kLogHeaderSize + length;

    // Seconds and milliseconds: 1234 ms is 0001.234.
    char timeText[24];
    std::snprintf(timeText, sizeof timeText, "%04u.%03u", time / 1000, time % 1000);
    const std::string typeName = ErrorMessage(static_cast<std::int16_t>(csLogTypeBase + header[0]));
    const std::string subName =
        header[1] == 0 ? std::string()
                       : ErrorMessage(static_cast<std::int16_t>(csLogSubtypeBase + header[1]));
    std::fprintf(out, "%8s  %-8s  %-12s  %08X  ", timeText, typeName.c_str(), subName.c_str(),
                 value);
    if (length == 0) {
      std::fputc('\n', out);
    } else if (header[1] == dstStatusTrigger &&
               (header[0] == dtTriggerAlloc || header[0] == dtTriggerDispose)) {
      const std::uint8_t kind = data[0];
      std::fprintf(out, "%s\n", kind < 6 ? kStatusKindNames[kind] : "");
    } else {
      int column = 45;
      for (const std::uint8_t byte : data) {
        const Item item = formatItem(byte, hex, allHex);
        column += item.width;
        if (column >= 79) {
          std::fprintf(out, "\n%44s", "");
          column = item.width + 45;
        }
        std::fputs(item.text, out);
      }
      std::fputc('\n', out);
    }
  }
  const std::int32_t result = finish(std::move(file));
  AbortLog();
  return result;
}

}  // namespace velmora::serial
