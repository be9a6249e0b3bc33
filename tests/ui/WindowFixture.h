#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/Bridge.h"
#include "core/Settings.h"
#include "platform/MessagePump.h"
#include "ui/BridgeSession.h"
#include "ui/FakeDevices.h"
#include "ui/qt/MainWindow.h"

namespace velmora::test {

inline constexpr int kWaitMs = 20000;  // a bound for conditions, never a duration

// The window program in miniature: the bridge over fake devices on a thread of its own, the
// main window on the test's thread as its view. Error reports are answered and recorded.
class WindowFixture : public ::testing::Test {
 protected:
  // `settingsFile`: where the choices are remembered; none when empty.
  void Start(std::filesystem::path settingsFile = {}) {
    std::promise<ui::ViewLink*> offered;
    thread_ = std::thread([this, &offered, settingsFile] {
      platform::MessageWindow steps([](const platform::Message& message) -> std::intptr_t {
        (*reinterpret_cast<const std::function<void()>*>(message.lParam))();
        return 0;
      });
      bridgeSteps_ = steps.ref();
      core::Bridge bridge(factory);
      bridge_ = &bridge;
      core::SettingsStore settings(settingsFile);
      ui::RunBridgeSession(bridge, settings,
                           [&offered](ui::ViewLink& link) { offered.set_value(&link); });
      bridge_ = nullptr;
    });
    link_ = offered.get_future().get();
    window = std::make_unique<ui::qt::MainWindow>(*link_);
    answerer_ = std::make_unique<QTimer>();
    QObject::connect(answerer_.get(), &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || box->objectName() != "Notice") return;
      reports.push_back(box->text().toStdString());
      box->accept();
    });
    answerer_->start(5);
    window->show();
    // Start-up has run once no shape is switching any more.
    ASSERT_TRUE(WaitShown([](const core::WindowSnapshot& shown) {
      for (auto color : shown.shapes) {
        if (color == core::kSwitchingColor) return false;
      }
      return !shown.busy;
    }));
  }

  void TearDown() override {
    if (!window) return;
    window->close();
    window.reset();
    link_->ViewGone();
    thread_.join();
  }

  // Runs `step` on the bridge thread and returns once it has.
  void OnBridge(const std::function<void()>& step) {
    bridgeSteps_.send(platform::WM_USER, 0, reinterpret_cast<std::intptr_t>(&step));
  }
  core::Bridge& Bridge() { return *bridge_; }

  // Handles the view's events until what it shows satisfies `shown`; false after the bound.
  bool WaitShown(const std::function<bool(const core::WindowSnapshot&)>& shown) {
    return QTest::qWaitFor([&] { return shown(window->Shown()); }, kWaitMs);
  }

  template <typename Widget = QWidget>
  Widget* Find(const char* name) const {
    auto* widget = window->findChild<Widget*>(QString::fromUtf8(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }

  FakeFactory factory;  // its devices belong to the bridge thread: reach them in OnBridge
  std::unique_ptr<ui::qt::MainWindow> window;
  std::vector<std::string> reports;

 private:
  std::thread thread_;
  platform::WindowRef bridgeSteps_;
  core::Bridge* bridge_ = nullptr;
  ui::ViewLink* link_ = nullptr;
  std::unique_ptr<QTimer> answerer_;
};

}  // namespace velmora::test
