#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "core/Bridge.h"
#include "platform/Clock.h"
#include "ui/FakeDevices.h"
#include "ui/qt/MainWindow.h"

namespace velmora::test {

inline constexpr int kWaitMs = 20000;  // a bound for conditions, never a duration

// A started main window over fake MIDI devices; the error report records instead of showing.
class WindowFixture : public ::testing::Test {
 protected:
  void Start() {
    bridge = std::make_unique<core::Bridge>(factory);
    window = std::make_unique<ui::qt::MainWindow>(*bridge, clock);
    window->Errors().SetShow([this](const std::string& message) { reports.push_back(message); });
    window->show();
    ASSERT_TRUE(QTest::qWaitFor([this] { return window->FormCreated(); }, kWaitMs));
  }

  void TearDown() override {
    if (window) {
      window->close();
      bridge->Finalize();
      window.reset();
    }
    bridge.reset();
  }

  template <typename Widget = QWidget>
  Widget* Find(const char* name) const {
    auto* widget = window->findChild<Widget*>(QString::fromUtf8(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }

  FakeFactory factory;
  platform::ManualClock clock;
  std::unique_ptr<core::Bridge> bridge;
  std::unique_ptr<ui::qt::MainWindow> window;
  std::vector<std::string> reports;
};

}  // namespace velmora::test
