#include "platform/serial/DeviceFolderWatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>

#include "support/PtyPair.h"
#include "support/Wait.h"

namespace fs = std::filesystem;
using velmora::platform::DeviceFolderWatch;
using velmora::testing::TempDir;
using velmora::testing::WaitUntil;

namespace {

// Each change below is one the watch must tell: a node or link made or removed in the device
// folder, the serial/ and serial/by-id folders appearing later, and links made in them.
TEST(DeviceFolderWatch, TellsEveryChangeOfTheDeviceFolderAndOfByIdOnceItAppears) {
  TempDir dir;
  std::atomic<int> calls{0};
  DeviceFolderWatch watch(dir.path(), [&calls] { ++calls; });
  const std::function<void()> changes[] = {
      [&] { fs::create_symlink("/dev/null", dir.path() / "ttyV0"); },
      [&] { fs::remove(dir.path() / "ttyV0"); },
      [&] { fs::create_directory(dir.path() / "serial"); },
      [&] { fs::create_directory(dir.path() / "serial/by-id"); },
      [&] { fs::create_symlink("../../ttyUSB0", dir.path() / "serial/by-id/usb-A-if00"); },
      [&] { fs::remove(dir.path() / "serial/by-id/usb-A-if00"); },
  };
  for (const auto& change : changes) {
    const int before = calls.load();
    change();
    EXPECT_TRUE(WaitUntil([&] { return calls.load() > before; }));
  }
}

}  // namespace
