#include <QMessageBox>
#include <QTimer>
#include <stdexcept>

#include "platform/MessagePump.h"
#include "ui/WindowFixture.h"
#include "ui/qt/ErrorReport.h"

namespace velmora::test {
namespace {

using ui::qt::ErrorReport;
using ui::qt::ReportThrottle;

TEST(ReportThrottle, RepeatsAreCountedWhileOpenAndDuringTheQuietTime) {
  platform::ManualClock clock;
  ReportThrottle throttle(clock);
  EXPECT_TRUE(throttle.Admit("port lost"));
  EXPECT_FALSE(throttle.Admit("port lost")) << "the same message while its report is open";
  EXPECT_TRUE(throttle.Admit("other")) << "another message is shown";
  throttle.Closed("other");
  throttle.Closed("port lost");
  EXPECT_EQ(throttle.Repeats("port lost"), 1);

  clock.advance(std::chrono::milliseconds(1999));
  EXPECT_FALSE(throttle.Admit("port lost"));
  EXPECT_EQ(throttle.Repeats("port lost"), 2);
  clock.advance(std::chrono::milliseconds(1));
  EXPECT_TRUE(throttle.Admit("port lost")) << "two seconds after it closed";
  EXPECT_EQ(throttle.Repeats("port lost"), 0);
  EXPECT_TRUE(throttle.Admit("other"));
}

TEST(ReportThrottle, WorksFromTheClocksFirstInstant) {
  platform::ManualClock clock;  // now() is the clock's epoch
  ReportThrottle throttle(clock);
  ASSERT_TRUE(throttle.Admit("x"));
  throttle.Closed("x");
  EXPECT_FALSE(throttle.Admit("x"));
}

TEST(ErrorReport, ShowsTheMessageOfWhatTheHandlerRaised) {
  platform::ManualClock clock;
  ErrorReport report(clock);
  std::vector<std::string> shown;
  report.SetShow([&](const std::string& message) { shown.push_back(message); });
  report.Guard([] { throw std::runtime_error("MIDI Output device not open"); });
  report.Guard([] { throw 42; });
  report.Guard([] {});
  EXPECT_EQ(shown, (std::vector<std::string>{"MIDI Output device not open", "Erreur inconnue"}));
  EXPECT_EQ(report.ShownCount(), 2);
}

class ErrorBurstTest : public WindowFixture {};

TEST_F(ErrorBurstTest, ABurstOfIdenticalErrorsFromPumpHandlersShowsOneMessageBox) {
  Start();
  const int shownBefore = window->Errors().ShownCount();
  window->Errors().SetShow(&ErrorReport::ShowMessageBox);
  constexpr int kBurst = 20;
  int handled = 0;
  platform::MessageWindow device([&](const platform::Message&) -> std::intptr_t {
    ++handled;
    throw std::runtime_error("No MIDI output");
  });

  std::vector<QString> boxes;
  QTimer closer;
  closer.setInterval(5);
  QObject::connect(&closer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || box->property("seen").toBool()) return;
    box->setProperty("seen", true);
    boxes.push_back(box->text());
    box->accept();
  });
  closer.start();

  for (int i = 0; i < kBurst; ++i) device.post(platform::WM_USER);
  ASSERT_TRUE(QTest::qWaitFor([&] { return handled == kBurst; }, kWaitMs));
  QTest::qWait(50);
  EXPECT_EQ(boxes, std::vector<QString>{"No MIDI output"});
  EXPECT_EQ(window->Errors().ShownCount(), shownBefore + 1);
  EXPECT_EQ(window->Errors().Throttle().Repeats("No MIDI output"), kBurst - 1);
}

}  // namespace
}  // namespace velmora::test
