#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "Doubles.h"
#include "SteppingClock.h"
#include "core/Bridge.h"
#include "core/WindowModel.h"
#include "ui/MainWindowHandlers.h"

namespace velmora::test {

// The bridge and its main window on device doubles and a headless window; create() builds them
// once the test has set the doubles up.
struct BridgeFixture : ::testing::Test {
  FakeFactory factory;
  SteppingClock clock;
  core::WindowModel window;
  std::unique_ptr<core::Bridge> bridge;
  std::unique_ptr<ui::TfmMain> form;

  void create() {
    bridge = std::make_unique<core::Bridge>(factory, clock);
    form = std::make_unique<ui::TfmMain>(*bridge, window);
  }
};

}  // namespace velmora::test
