// One QApplication for every window test of the executable, made before the first test runs.
#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

#include "ui/qt/QtFrench.h"

namespace {

class QtEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "velmora_ui_tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
    velmora::ui::qt::LoadQtFrench(*app_);  // as the program does
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
