// The window model as a view sees it (snapshots at the frame's pace, notices), and the user's
// actions as the bridge thread runs them.

#include "core/WindowModel.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "core/BridgeFixture.h"
#include "support/Wait.h"
#include "ui/FormActions.h"

namespace velmora::test {
namespace {

using core::DeviceList;
using core::Lamp;
using core::Shape;
using core::WindowModel;
using core::WindowSnapshot;
using testing::PumpUntil;

struct Published {
  std::vector<WindowSnapshot> snapshots;
  explicit Published(WindowModel& model) {
    model.SetOnPublished([this, &model] { snapshots.push_back(model.Snapshot()); });
  }
};

TEST(WindowModel, ChangesWithinAFrameComeInOneSnapshotAndAFlashShowsInOne) {
  platform::ManualClock clock;
  WindowModel model(clock);
  Published published(model);
  ASSERT_EQ(published.snapshots.size(), 1u) << "a view starts from the model as it is";
  clock.advance(WindowModel::kFrame);

  model.LogAppend("first");  // a frame after the last: at once
  ASSERT_EQ(published.snapshots.size(), 2u);
  model.LogAppend("second");
  model.SetShapeColor(Shape::MidiOut, core::kOpenColor);
  model.SetLampLit(Lamp::MidiIn, true);
  model.SetLampLit(Lamp::MidiIn, false);  // lit and dark again within the frame
  EXPECT_EQ(published.snapshots.size(), 2u) << "the rest waits for the next frame";
  ASSERT_TRUE(PumpUntil([&] { return published.snapshots.size() == 3; }));
  const WindowSnapshot& frame = published.snapshots.back();
  EXPECT_EQ(frame.log, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(frame.shapes[2], core::kOpenColor);
  EXPECT_TRUE(frame.lamps[static_cast<std::size_t>(Lamp::MidiIn)].lit);
  EXPECT_GT(frame.version, published.snapshots[1].version);

  clock.advance(WindowModel::kFrame);
  model.SetStatusText(1, "1,38400,8,1,pNone");
  ASSERT_EQ(published.snapshots.size(), 4u);
  EXPECT_FALSE(published.snapshots.back().lamps[static_cast<std::size_t>(Lamp::MidiIn)].lit);
  model.SetOnPublished(nullptr);
}

TEST(WindowModel, AReportIsShownOnceWhileOpenAndForItsQuietTime) {
  platform::ManualClock clock;
  WindowModel model(clock);
  Published published(model);
  for (int i = 0; i < 3; ++i) model.Report("port lost");
  model.Report("other");
  const auto notices = published.snapshots.back().notices;
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].text, "port lost");
  model.NoticeClosed(notices[0].id);
  model.PublishNow();
  EXPECT_EQ(published.snapshots.back().notices.size(), 1u);
  model.Report("port lost");
  model.PublishNow();
  EXPECT_EQ(published.snapshots.back().notices.size(), 1u) << "still within its quiet time";
  clock.advance(core::ReportThrottle::kQuietTime);
  model.Report("port lost");
  EXPECT_EQ(published.snapshots.back().notices.size(), 2u);
  model.SetOnPublished(nullptr);
}

struct Actions : BridgeFixture {
  void SetUp() override {
    factory.midiInView->names = {"Keyboard", "Pads"};
    factory.midiOutView->names = {"Synth", "Sampler"};
    create();
    form->FormCreate();
    window.SetOnShapeColor([this](Shape shape, serial::TColor) { shapes.push_back(shape); });
    actions = std::make_unique<ui::FormActions>(*form, window);
  }
  void TearDown() override { window.SetOnShapeColor(nullptr); }
  std::vector<Shape> shapes;  // every colour set, in order
  std::unique_ptr<ui::FormActions> actions;
};

TEST_F(Actions, RunOneAtATimeAndTwoChoicesOfAListCoalesceToTheLast) {
  const auto post = actions->poster();
  post(ui::Action::Choose(DeviceList::MidiOut, "Synth"));
  post(ui::Action::Choose(DeviceList::MidiIn, "Pads"));
  post(ui::Action::Choose(DeviceList::MidiOut, "Sampler"));       // replaces "Synth"
  ASSERT_TRUE(PumpUntil([&] { return window.ListSelectedText(DeviceList::MidiIn) == "Pads"; }));
  testing::PumpPending();
  EXPECT_EQ(window.ListSelectedText(DeviceList::MidiOut), "Sampler");
  EXPECT_EQ(factory.midiOutView->ProductName(), "Sampler");
  // The output's switch ended before the input's began, though switching handles messages.
  const auto firstIn = std::find(shapes.begin(), shapes.end(), Shape::MidiIn);
  EXPECT_EQ(std::find(firstIn, shapes.end(), Shape::MidiOut), shapes.end());
  EXPECT_EQ(window.ShapeColor(Shape::MidiOut), core::kOpenColor);
  EXPECT_EQ(window.ShapeColor(Shape::MidiIn), core::kOpenColor);
}

TEST_F(Actions, WhatAnActionRaisesBecomesANotice) {
  Published published(window);
  actions->poster()(ui::Action::Choose(DeviceList::MidiOut, "Synth"));
  factory.midiOutView->names.clear();  // gone when its turn comes: SetProductName raises
  ASSERT_TRUE(PumpUntil([&] { return !published.snapshots.back().notices.empty(); }));
  EXPECT_NE(published.snapshots.back().notices[0].text.find("Synth"), std::string::npos);
  window.SetOnPublished(nullptr);
}

}  // namespace
}  // namespace velmora::test
