// The event list: the kinds and heights of its items, their texts and live countdowns, their
// buttons and dimming, and the list container's batches, reuse and scrolling, on a real window.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/ZRVMainItemCounter.h"
#include "app/app_test_support.h"
#include "app/ui/ZRVMainArchivedCollectionViewItem.h"
#include "app/ui/ZRVMainCompletedCollectionViewItem.h"
#include "app/ui/ZRVMainTinyCollectionViewItem.h"
#include "app/ui/list/ZRVAnimator.h"
#include "event_list_fixture.h"
#include "reactive/RFScheduler.h"
#include "support/interface/test_window.h"

namespace {

using platform::Date;
using zorvel::test::EventListSource;
using zorvel::test::EventListWindow;
using zorvel::test::localDate;
using zorvel::test::makeEvent;
using zorvel::test::ScopedClock;

constexpr double kDay = 86400;

class EventList : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(zorvel::test::initGtk());
    g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE, nullptr);
  }
  ScopedClock clock_{localDate(2024, 6, 1, 12)};
  Date now() const { return clock_.now(); }
};

// ---- Kinds and heights ----------------------------------------------------------------------------

TEST_F(EventList, KindAndHeightFollowStateAndTimeLeft) {
  struct Case {
    const char* label;
    ZRVEventState state;
    double secondsLeft;
    std::string_view identifier;
    double height;
  };
  const Case cases[] = {
      {"23 h 59 min left", ZRVEventStateActive, kDay - 60, ZRVMainLargeItemIdentifier, 175},
      {"exactly 24 h left", ZRVEventStateActive, kDay, ZRVMainMediumItemIdentifier, 95},
      {"30 days left", ZRVEventStateActive, 30 * kDay, ZRVMainMediumItemIdentifier, 95},
      {"31 days left", ZRVEventStateActive, 31 * kDay, ZRVMainSmallItemIdentifier, 64},
      {"60 days left", ZRVEventStateActive, 60 * kDay, ZRVMainSmallItemIdentifier, 64},
      {"61 days left", ZRVEventStateActive, 61 * kDay, ZRVMainTinyItemIdentifier, 45},
      {"past due, still active", ZRVEventStateActive, -10, ZRVMainLargeItemIdentifier, 175},
      {"completed", ZRVEventStateComplete, -kDay, ZRVMainCompletedItemIdentifier, 175},
      {"archived", ZRVEventStateArchived, -kDay, ZRVMainArchivedItemIdentifier, 45},
      {"being edited", ZRVEventStateEditing, 5 * kDay, ZRVMainEditItemIdentifier, 236},
      {"being added", ZRVEventStateAdding, 90 * kDay, ZRVMainEditItemIdentifier, 236},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto event = makeEvent("e", c.state, now().addingTimeInterval(c.secondsLeft));
    const std::string_view identifier = ZRVMainCollectionViewItem::identifierForEvent(*event, now());
    EXPECT_EQ(identifier, c.identifier);
    EXPECT_EQ(ZRVMainCollectionViewItem::heightForIdentifier(identifier), c.height);
    // The item made for the kind is of the kind, and its class answers the same height.
    auto item = ZRVMainCollectionViewItem::makeWithIdentifier(identifier);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->objectClass().name(), c.identifier);
    EXPECT_EQ(item->couldBeDimmed(), c.identifier != ZRVMainEditItemIdentifier);
  }
  EXPECT_EQ(ZRVMainCollectionViewItem::heightForIdentifier(ZRVMainArchivedSectionHeaderIdentifier), 30);
  EXPECT_EQ(ZRVMainCollectionViewItem::height(), std::nullopt);
  EXPECT_EQ(ZRVMainCollectionViewItem::makeWithIdentifier("Unknown"), nullptr);
}

TEST_F(EventList, ContentHeightCountsEveryRowWithItsSpacingAndTheArchivedHeader) {
  struct Case {
    const char* label;
    EventListSource::Sections sections;
    double contentHeight;
  };
  auto active = [this](double days) {
    return makeEvent("a", ZRVEventStateActive, now().addingTimeInterval(days * kDay));
  };
  auto archived = [this] { return makeEvent("r", ZRVEventStateArchived, now().addingTimeInterval(-kDay)); };
  const Case cases[] = {
      {"large + archived", {{}, {active(0.5)}, {archived()}}, 176 + 46 + 30},
      {"no archived section: no header", {{}, {active(0.5), active(100)}}, 176 + 46},
      {"empty", {{}, {}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto source = std::make_shared<EventListSource>();
    source->sections = c.sections;
    EventListWindow window(source);
    ASSERT_TRUE(window.ready());
    EXPECT_EQ(window.list()->contentHeight(), c.contentHeight);
    EXPECT_EQ(window.list()->headerForSection(2) != nullptr, c.sections.size() > 2);
  }
}

// ---- Texts ------------------------------------------------------------------------------------------

TEST_F(EventList, TinyItemShowsYearsWithThePlusSignOrDays) {
  struct Case {
    const char* label;
    double secondsLeft;
    const char* counter;
    const char* caption;
    bool plus;
  };
  const Case cases[] = {
      {"1 year 40 days", ZRVMainItemCounter::kSecondsPerYear + 40 * kDay, "01", "YEARS", true},
      {"75 days", 75 * kDay, "75", "DAYS", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto item = ZRVMainCollectionViewItem::makeWithIdentifier(ZRVMainTinyItemIdentifier);
    item->updateWithEvent(makeEvent("Trip", ZRVEventStateActive, now().addingTimeInterval(c.secondsLeft)), nullptr);
    EXPECT_EQ(item->labelText("daysCounterLabel"), c.counter);
    EXPECT_EQ(item->labelText("daysYearsLabel"), c.caption);
    EXPECT_EQ(gtk_widget_get_visible(item->outlet("plusLabel")), c.plus);
    EXPECT_EQ(item->labelText("nameLabel"), "Trip");
  }
}

TEST_F(EventList, WaitedTextLeavesOutTheZeroParts) {
  struct Case {
    const char* label;
    double span;
    const char* text;
  };
  const Case cases[] = {
      {"2 d 0 h 0 m 10 s", 2 * kDay + 10, " 2d 10s"},
      {"3 d 5 min", 3 * kDay + 300, " 3d 5m"},
      {"1 h 1 m 1 s", 3661, " 1h 1m 1s"},
      {"nothing", 0, ""},
      {"date before creation", -50, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    // Created in winter, so no daylight-saving change lies between creation and date.
    const Date created = localDate(2024, 1, 10, 9);
    auto event = makeEvent("Old", ZRVEventStateArchived, created.addingTimeInterval(c.span));
    event->setCreatedAt(created);
    EXPECT_EQ(ZRVMainArchivedCollectionViewItem::waitedLStringForEvent(*event), c.text);
  }
}

TEST_F(EventList, MissingNameDateAndLinkLeaveEmptyLabelsAndHideTheLinkButton) {
  for (std::string_view id :
       {ZRVMainLargeItemIdentifier, ZRVMainMediumItemIdentifier, ZRVMainSmallItemIdentifier, ZRVMainTinyItemIdentifier,
        ZRVMainCompletedItemIdentifier, ZRVMainArchivedItemIdentifier}) {
    SCOPED_TRACE(std::string(id));
    auto item = ZRVMainCollectionViewItem::makeWithIdentifier(id);
    auto bare = platform::make<ZRVEvent>();
    bare->setName(std::nullopt);
    bare->setDate(std::nullopt);
    bare->setState(id == ZRVMainArchivedItemIdentifier ? ZRVEventStateArchived : ZRVEventStateActive);
    item->updateWithEvent(bare, nullptr);
    EXPECT_EQ(item->labelText("nameLabel"), "");
    EXPECT_EQ(item->labelText("dateLabel"), "");
    EXPECT_EQ(item->labelText("daysLabel"), "");
    ASSERT_NE(item->outlet("linkButton"), nullptr);
    EXPECT_FALSE(gtk_widget_get_visible(item->outlet("linkButton")));

    auto linked = makeEvent("Named", ZRVEventStateActive, now().addingTimeInterval(kDay));
    linked->setLink("https://example.org/");
    item->updateWithEvent(linked, nullptr);
    EXPECT_TRUE(gtk_widget_get_visible(item->outlet("linkButton")));
    EXPECT_EQ(item->labelText("nameLabel"), "Named");
    if (item->outlet("dateLabel")) {  // every kind but the tiny one shows the date
      EXPECT_EQ(item->labelText("dateLabel"), DateUtilities::mediumDateString(*linked->date()));
    }
  }
}

// ---- Ticks ------------------------------------------------------------------------------------------

TEST_F(EventList, CountdownsFollowTheTickAndArchivedItemsDoNot) {
  auto scheduler = RFTestScheduler::create();
  auto timer = platform::make<ZRVMainTimer>(scheduler);
  auto large = ZRVMainCollectionViewItem::makeWithIdentifier(ZRVMainLargeItemIdentifier);
  large->updateWithEvent(makeEvent("Soon", ZRVEventStateActive, now().addingTimeInterval(3 * 3600 + 62)), timer);
  auto archived = ZRVMainCollectionViewItem::makeWithIdentifier(ZRVMainArchivedItemIdentifier);
  auto old = makeEvent("Old", ZRVEventStateArchived, now().addingTimeInterval(-kDay));
  old->setCreatedAt(now().addingTimeInterval(-3 * kDay));
  archived->updateWithEvent(old, timer);
  EXPECT_EQ(large->labelText("hoursCounterLabel"), "03");
  EXPECT_EQ(large->labelText("minutesCounterLabel"), "01");
  EXPECT_EQ(large->labelText("secondsCounterLabel"), "02");
  const std::string waited = archived->labelText("daysLabel");

  timer->start();
  clock_.advance(3);
  scheduler->step();
  EXPECT_EQ(large->labelText("minutesCounterLabel"), "00");
  EXPECT_EQ(large->labelText("secondsCounterLabel"), "59");
  EXPECT_EQ(archived->labelText("daysLabel"), waited);
  EXPECT_EQ(archived->counter(), nullptr);

  // Resting in a list's reuse pool (hidden there), the item skips the ticks.
  gtk_widget_set_child_visible(large->view()->widget(), FALSE);
  clock_.advance(1);
  scheduler->step();
  EXPECT_EQ(large->labelText("secondsCounterLabel"), "59");
  gtk_widget_set_child_visible(large->view()->widget(), TRUE);

  // Bound again to another event: only the new event's countdown is shown from then on.
  large->updateWithEvent(makeEvent("Later", ZRVEventStateActive, now().addingTimeInterval(10 * 3600)), timer);
  clock_.advance(1);
  scheduler->step();
  EXPECT_EQ(large->labelText("hoursCounterLabel"), "09");
  EXPECT_EQ(large->labelText("secondsCounterLabel"), "59");
  timer->stop();
}

// ---- Actions, hover and dimming ---------------------------------------------------------------------

struct RecordingDelegate : ZRVMainCollectionViewItemDelegate {
  std::vector<std::uint64_t> actions;
  void mainCollectionViewItemDidActionType(ZRVMainCollectionViewItem&, std::uint64_t action) override {
    actions.push_back(action);
  }
};

TEST_F(EventList, ButtonsSendTheirKindsActions) {
  struct Case {
    const char* label;
    std::string_view identifier;
    const char* button;
    std::uint64_t action;
  };
  const Case cases[] = {
      {"large edit", ZRVMainLargeItemIdentifier, "actionButton", ZRVMainCollectionViewItemActionEdit},
      {"tiny edit", ZRVMainTinyItemIdentifier, "actionButton", ZRVMainCollectionViewItemActionEdit},
      {"large link", ZRVMainLargeItemIdentifier, "linkButton", ZRVMainCollectionViewItemActionOpenLink},
      {"completed delete", ZRVMainCompletedItemIdentifier, "actionButton", ZRVMainCollectionViewItemActionDelete},
      {"completed archive", ZRVMainCompletedItemIdentifier, "archiveButton", ZRVMainCollectionViewItemActionArchive},
      {"archived delete", ZRVMainArchivedItemIdentifier, "actionButton", ZRVMainCollectionViewItemActionDelete},
      {"archived link", ZRVMainArchivedItemIdentifier, "linkButton", ZRVMainCollectionViewItemActionOpenLink},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto delegate = std::make_shared<RecordingDelegate>();
    auto item = ZRVMainCollectionViewItem::makeWithIdentifier(c.identifier);
    item->setActionDelegate(delegate);
    ASSERT_NE(item->outlet(c.button), nullptr);
    g_signal_emit_by_name(item->outlet(c.button), "clicked");
    EXPECT_THAT(delegate->actions, ::testing::ElementsAre(c.action));
  }
}

// Real pointer input through the X server (the test's window sits at the screen's origin: there is
// no window manager).
void xdotool(const std::string& arguments) { ASSERT_EQ(std::system(("xdotool " + arguments).c_str()), 0) << arguments; }

// The point (x, y) of the widget on the screen.
std::string screenPoint(GtkWidget* widget, double x, double y) {
  graphene_point_t at;
  const graphene_point_t from = GRAPHENE_POINT_INIT(static_cast<float>(x), static_cast<float>(y));
  if (!gtk_widget_compute_point(widget, GTK_WIDGET(gtk_widget_get_root(widget)), &from, &at)) return "0 0";
  return std::to_string(static_cast<int>(at.x)) + " " + std::to_string(static_cast<int>(at.y));
}

TEST_F(EventList, HoverFadesTheExtraButtonsAndShareActsOnThePress) {
  auto source = std::make_shared<EventListSource>();
  source->sections = {{makeEvent("Done", ZRVEventStateComplete, now().addingTimeInterval(-kDay))}, {}};
  EventListWindow window(source);
  ASSERT_TRUE(window.ready());
  auto item = std::dynamic_pointer_cast<ZRVMainCollectionViewItem>(window.list()->itemAtIndexPath({0, 0}));
  ASSERT_NE(item, nullptr);
  auto delegate = std::make_shared<RecordingDelegate>();
  item->setActionDelegate(delegate);
  const char* const buttons[] = {"actionButton", "linkButton", "shareButton", "archiveButton"};
  auto opacities = [&] {
    std::vector<double> values;
    for (const char* id : buttons) values.push_back(gtk_widget_get_opacity(item->outlet(id)));
    return values;
  };
  EXPECT_THAT(opacities(), ::testing::Each(0.0));  // hidden once loaded

  xdotool("mousemove " + screenPoint(item->view()->widget(), 20, 20));
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return opacities() == std::vector<double>(4, 1.0); }, 5));
  xdotool("mousemove 1000 1000");
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return opacities() == std::vector<double>(4, 0.0); }, 5));

  // A press on the share button is enough: the action comes before any release.
  ASSERT_TRUE(window.settle());
  xdotool("mousemove " + screenPoint(item->outlet("shareButton"), 3, 3) + " mousedown 1");
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return !delegate->actions.empty(); }, 5));
  xdotool("mouseup 1");
  EXPECT_THAT(delegate->actions, ::testing::ElementsAre(ZRVMainCollectionViewItemActionShare));
}

TEST_F(EventList, ADimmedItemIgnoresClicks) {
  auto source = std::make_shared<EventListSource>();
  source->sections = {{}, {makeEvent("Soon", ZRVEventStateActive, now().addingTimeInterval(3600))}};
  EventListWindow window(source);
  ASSERT_TRUE(window.ready());
  auto item = std::dynamic_pointer_cast<ZRVMainCollectionViewItem>(window.list()->itemAtIndexPath({1, 0}));
  ASSERT_NE(item, nullptr);
  auto delegate = std::make_shared<RecordingDelegate>();
  item->setActionDelegate(delegate);
  item->extraControlsShow(true, false);
  const std::string button = screenPoint(item->outlet("actionButton"), 3, 3);

  item->setDimmed(true, false);
  ASSERT_TRUE(window.settle());
  xdotool("mousemove " + button + " click 1");
  platform::RunLoop::main().runFor(0.2);
  EXPECT_TRUE(delegate->actions.empty());
  EXPECT_GE(item->dimView()->swallowedPresses(), 1);

  item->setDimmed(false, false);
  ASSERT_TRUE(window.settle());
  xdotool("mousemove " + button + " click 1");
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return !delegate->actions.empty(); }, 5));
  EXPECT_THAT(delegate->actions, ::testing::ElementsAre(ZRVMainCollectionViewItemActionEdit));
  xdotool("mousemove 1000 1000");
}

TEST_F(EventList, DimmedItemsSwallowClicksAndTheEditorIsNeverDimmed) {
  auto item = ZRVMainCollectionViewItem::makeWithIdentifier(ZRVMainMediumItemIdentifier);
  ASSERT_NE(item->dimView(), nullptr);
  EXPECT_EQ(gtk_widget_get_opacity(item->dimView()->widget()), 0);
  EXPECT_TRUE(item->dimView()->userInteractionEnabled());
  item->setDimmed(true, false);
  EXPECT_EQ(gtk_widget_get_opacity(item->dimView()->widget()), 1);
  EXPECT_FALSE(item->dimView()->userInteractionEnabled());
  // Animated: the interaction flag changes when the fade ends.
  item->setDimmed(false, true);
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return item->dimView()->userInteractionEnabled(); }, 5));
  EXPECT_EQ(gtk_widget_get_opacity(item->dimView()->widget()), 0);

  auto editor = ZRVMainCollectionViewItem::makeWithIdentifier(ZRVMainEditItemIdentifier);
  EXPECT_FALSE(editor->couldBeDimmed());
  EXPECT_EQ(editor->dimView(), nullptr);
  editor->setDimmed(true, false);  // nothing to dim
}

}  // namespace

namespace {

// ---- The list container -----------------------------------------------------------------------------

// Complete, active (dated from 1 hour to about 200 days ahead, so every countdown kind is there)
// and archived events: 200 in all.
EventListSource::Sections twoHundredEvents(Date now) {
  EventListSource::Sections sections(3);
  for (int i = 0; i < 20; ++i)
    sections[0].push_back(
        makeEvent("done " + std::to_string(i), ZRVEventStateComplete, now.addingTimeInterval(-kDay * (i + 1))));
  for (int i = 0; i < 170; ++i) {
    const double ahead = i < 20 ? 3600 * (i + 1) + 17 : kDay * (i - 19) + 3600 * 5 + 17;
    sections[1].push_back(makeEvent("active " + std::to_string(i), ZRVEventStateActive, now.addingTimeInterval(ahead)));
  }
  for (int i = 0; i < 10; ++i) {
    auto event = makeEvent("archived " + std::to_string(i), ZRVEventStateArchived, now.addingTimeInterval(-kDay * 40));
    event->setCreatedAt(now.addingTimeInterval(-kDay * 50));
    sections[2].push_back(event);
  }
  return sections;
}

// Every row the list holds has the data source's kind and height, and every item shown is bound to
// the data source's event of its row; checked at several scroll positions.
void expectListMatchesSource(EventListWindow& window, EventListSource& source) {
  ZRVListView& list = *window.list();
  ASSERT_EQ(list.numberOfSections(), source.sections.size());
  std::vector<ZRVIndexPath> probes;
  for (std::size_t s = 0; s < source.sections.size(); ++s) {
    ASSERT_EQ(list.numberOfItemsInSection(s), source.sections[s].size()) << "section " << s;
    for (std::size_t i = 0; i < source.sections[s].size(); ++i) {
      const ZRVIndexPath ip{s, i};
      ASSERT_EQ(list.identifierAt(ip), source.itemIdentifier(list, ip)) << s << "/" << i;
      ASSERT_EQ(list.heightAt(ip), source.itemHeight(list, ip)) << s << "/" << i;
      if (i % 25 == 0) probes.push_back(ip);
    }
  }
  for (const ZRVIndexPath& probe : probes) {
    list.scrollToItem(probe);
    ASSERT_TRUE(window.settle());
    const auto items = list.visibleItems();
    ASSERT_FALSE(items.empty());
    for (const auto& shown : items) {
      auto item = std::dynamic_pointer_cast<ZRVMainCollectionViewItem>(shown);
      auto ip = list.indexPathForItem(*shown);
      ASSERT_TRUE(item && ip);
      EXPECT_EQ(item->event(), source.event(*ip)) << ip->section << "/" << ip->item;
      EXPECT_EQ(item->reuseIdentifier(), list.identifierAt(*ip));
    }
  }
}

TEST_F(EventList, ABatchOfInsertsDeletesAndMovesEndsWithTheSourcesRows) {
  auto scheduler = RFTestScheduler::create();
  auto source = std::make_shared<EventListSource>();
  source->timer = platform::make<ZRVMainTimer>(scheduler);
  source->sections = twoHundredEvents(now());
  EventListWindow window(source);
  ASSERT_TRUE(window.ready());
  ZRVListView& list = *window.list();
  ASSERT_EQ(list.numberOfItemsInSection(1), 170u);
  // 19 completed rows above: 20 x 176; the archived header and rows at the end.
  EXPECT_EQ(list.frameForItem({1, 0})->origin.y, 20 * 176);
  expectListMatchesSource(window, *source);

  // The source changes first, as the store's view does, then the list is told in one batch:
  // section 0 loses rows 0 and 5 and gains active row 10 (completed) at its top; section 1 loses
  // rows 3, 4 and 100 (and 10, moved) and gains two new events at 0 and 50; section 2 gains one at
  // its top and one at its end.
  auto old = source->sections;
  auto fresh = [&](const char* name, double ahead) {
    return makeEvent(name, ZRVEventStateActive, now().addingTimeInterval(ahead));
  };
  auto archivedFresh = [&](const char* name) {
    auto event = makeEvent(name, ZRVEventStateArchived, now().addingTimeInterval(-kDay));
    event->setCreatedAt(now().addingTimeInterval(-3 * kDay));
    return event;
  };
  auto moved = old[1][10];
  moved->setState(ZRVEventStateComplete);
  EventListSource::Sections next(3);
  next[0].push_back(moved);
  for (int i = 0; i < 20; ++i)
    if (i != 0 && i != 5) next[0].push_back(old[0][i]);
  for (int i = 0; i < 170; ++i)
    if (i != 3 && i != 4 && i != 10 && i != 100) next[1].push_back(old[1][i]);
  next[1].insert(next[1].begin(), fresh("new soon", 1800));
  next[1].insert(next[1].begin() + 50, fresh("new later", 45 * kDay));
  next[2] = old[2];
  next[2].insert(next[2].begin(), archivedFresh("new archived first"));
  next[2].push_back(archivedFresh("new archived last"));
  ASSERT_EQ(next[2].size(), 12u);
  source->sections = next;

  bool completed = false;
  list.performBatchUpdates(
      [](ZRVListBatch& batch) {
        batch.deleteItem({0, 0});
        batch.deleteItem({0, 5});
        batch.deleteItem({1, 3});
        batch.deleteItem({1, 4});
        batch.deleteItem({1, 100});
        batch.moveItem({1, 10}, {0, 0});
        batch.insertItem({1, 0});
        batch.insertItem({1, 50});
        batch.insertItem({2, 0});
        batch.insertItem({2, 11});
      },
      [&](bool finished) { completed = finished; });
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return completed; }, 5));
  expectListMatchesSource(window, *source);

  // The countdowns on screen all move with the next tick.
  source->timer->start();
  list.scrollToItem({1, 0});
  ASSERT_TRUE(window.settle());
  std::map<ZRVMainCollectionViewItem*, std::string> before;
  for (const auto& shown : list.visibleItems()) {
    auto item = std::dynamic_pointer_cast<ZRVMainCollectionViewItem>(shown);
    if (item->outlet("secondsCounterLabel")) before[item.get()] = item->labelText("secondsCounterLabel");
  }
  ASSERT_GE(before.size(), 2u);
  clock_.advance(1);
  scheduler->step();
  for (const auto& [item, seconds] : before) {
    EXPECT_NE(item->labelText("secondsCounterLabel"), seconds);
    auto expected = platform::make<ZRVMainItemCounter>(*item->event());
    expected->updateWithCurrentDate(now());
    EXPECT_EQ(item->labelText("secondsCounterLabel"), expected->stringValueForUnitType(ZRVMainItemCounterUnitSeconds));
  }
  source->timer->stop();
}

TEST_F(EventList, SectionInsertsAndDeletesBringTheArchivedHeaderAndReloadsAskAgain) {
  auto source = std::make_shared<EventListSource>();
  auto soon = makeEvent("Soon", ZRVEventStateActive, now().addingTimeInterval(3600));
  source->sections = {{}, {soon}};
  EventListWindow window(source);
  ASSERT_TRUE(window.ready());
  ZRVListView& list = *window.list();
  EXPECT_EQ(list.contentHeight(), 176);

  // The first archived event adds section 2 and its header.
  auto archived = makeEvent("Gone", ZRVEventStateArchived, now().addingTimeInterval(-kDay));
  source->sections.push_back({archived});
  list.performBatchUpdates([](ZRVListBatch& batch) {
    batch.insertSection(2);
    batch.insertItem({2, 0});
  });
  ASSERT_TRUE(window.settle());
  EXPECT_EQ(list.contentHeight(), 176 + 30 + 46);
  EXPECT_NE(list.headerForSection(2), nullptr);

  // A reload asks for the row's kind again: the event was completed.
  auto shownBefore = list.itemAtIndexPath({1, 0});
  soon->setState(ZRVEventStateComplete);
  list.performBatchUpdates([](ZRVListBatch& batch) { batch.reloadItem({1, 0}); });
  ASSERT_TRUE(window.settle());
  EXPECT_EQ(list.identifierAt({1, 0}), ZRVMainCompletedItemIdentifier);
  ASSERT_NE(list.itemAtIndexPath({1, 0}), nullptr);
  EXPECT_EQ(list.itemAtIndexPath({1, 0})->reuseIdentifier(), ZRVMainCompletedItemIdentifier);
  EXPECT_THAT(source->ended, ::testing::Contains(shownBefore.get()));

  // Deleting the section takes the header with it.
  source->sections.pop_back();
  list.performBatchUpdates([](ZRVListBatch& batch) { batch.deleteSection(2); });
  ASSERT_TRUE(window.settle());
  EXPECT_EQ(list.numberOfSections(), 2u);
  EXPECT_EQ(list.contentHeight(), 176);
}

TEST_F(EventList, ABatchThatDoesNotMatchTheSourceReloadsEverything) {
  struct Case {
    const char* label;
    std::function<void(ZRVListBatch&)> updates;
  };
  const Case cases[] = {
      {"counts differ afterwards",
       [](ZRVListBatch& batch) {
         batch.deleteItem({1, 0});
       }},
      {"a row that does not exist",
       [](ZRVListBatch& batch) {
         batch.deleteItem({1, 7});
       }},
      {"a section that does not exist", [](ZRVListBatch& batch) { batch.deleteSection(4); }},
      {"an insert beyond the end",
       [](ZRVListBatch& batch) {
         batch.insertItem({1, 9});
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto source = std::make_shared<EventListSource>();
    source->sections = {{},
                        {makeEvent("a", ZRVEventStateActive, now().addingTimeInterval(3600)),
                         makeEvent("b", ZRVEventStateActive, now().addingTimeInterval(90 * kDay))}};
    EventListWindow window(source);
    ASSERT_TRUE(window.ready());
    // The source gained a row the batch does not mention.
    source->sections[1].push_back(makeEvent("c", ZRVEventStateActive, now().addingTimeInterval(40 * kDay)));
    std::optional<bool> finished;
    window.list()->performBatchUpdates(c.updates, [&](bool f) { finished = f; });
    EXPECT_TRUE(platform::runMainLoopUntil([&] { return finished.has_value(); }, 5));
    EXPECT_EQ(finished, false);
    expectListMatchesSource(window, *source);
  }
}

TEST_F(EventList, RowsOutOfSightGiveTheirItemsToThePoolAndScrollingToARowPutsItAtTheTop) {
  auto source = std::make_shared<EventListSource>();
  source->sections = twoHundredEvents(now());
  EventListWindow window(source);
  ASSERT_TRUE(window.ready());
  ZRVListView& list = *window.list();
  // Only the rows near the visible rectangle have items.
  const auto first = list.visibleItems();
  EXPECT_GT(first.size(), 1u);
  EXPECT_LT(first.size(), 10u);

  list.scrollToItem({1, 30});
  ASSERT_TRUE(window.settle());
  EXPECT_EQ(gtk_adjustment_get_value(list.verticalAdjustment()), list.frameForItem({1, 30})->origin.y);
  auto top = list.itemAtIndexPath({1, 30});
  ASSERT_NE(top, nullptr);
  graphene_point_t at;
  const graphene_point_t origin = GRAPHENE_POINT_INIT(0, 0);
  ASSERT_TRUE(gtk_widget_compute_point(top->view()->widget(), list.view()->widget(), &origin, &at));
  EXPECT_EQ(at.y, 0);
  EXPECT_FALSE(source->ended.empty());  // the first rows' items went back to the pool
  // ... and come back from it: no more items of a kind than ever shown at once.
  list.scrollToItem({0, 0});
  ASSERT_TRUE(window.settle());
  EXPECT_EQ(list.itemAtIndexPath({0, 0})->reuseIdentifier(), ZRVMainCompletedItemIdentifier);

  // The end of the content cannot scroll to the top.
  list.scrollToItem({2, 9});
  ASSERT_TRUE(window.settle());
  EXPECT_EQ(gtk_adjustment_get_value(list.verticalAdjustment()),
            list.contentHeight() - gtk_widget_get_height(list.view()->widget()));
}

TEST_F(EventList, WithAnimationsRowsFadeAndSlideToTheirPlaces) {
  auto source = std::make_shared<EventListSource>();
  auto a = makeEvent("a", ZRVEventStateActive, now().addingTimeInterval(3600));
  auto b = makeEvent("b", ZRVEventStateActive, now().addingTimeInterval(7200));
  auto c = makeEvent("c", ZRVEventStateActive, now().addingTimeInterval(9000));
  source->sections = {{}, {a, b, c}};
  EventListWindow window(source);
  ASSERT_TRUE(window.ready());
  ZRVListView& list = *window.list();
  auto leaving = list.itemAtIndexPath({1, 0});
  auto staying = list.itemAtIndexPath({1, 1});
  ASSERT_TRUE(leaving && staying);
  auto top = [&](const ZRVListItemPtr& item) {
    graphene_point_t at;
    const graphene_point_t origin = GRAPHENE_POINT_INIT(0, 0);
    return gtk_widget_compute_point(item->view()->widget(), list.view()->widget(), &origin, &at) ? at.y : -1.0f;
  };
  EXPECT_EQ(top(staying), 176);

  g_object_set(gtk_settings_get_default(), "gtk-enable-animations", TRUE, nullptr);
  source->sections[1] = {b, c, makeEvent("d", ZRVEventStateActive, now().addingTimeInterval(9500))};
  bool done = false;
  list.performBatchUpdates(
      [](ZRVListBatch& batch) {
        batch.deleteItem({1, 0});
        batch.insertItem({1, 2});
      },
      [&](bool finished) { done = finished; });
  auto arriving = list.itemAtIndexPath({1, 2});
  ASSERT_NE(arriving, nullptr);
  // A few frames in: the leaving row fades where it was, the others are on their way.
  const int start = window.paintedFrames();
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return window.paintedFrames() >= start + 2 || done; }, 5));
  if (!done) {  // (a machine too busy to paint two frames in 0.25 s sees only the end)
    EXPECT_TRUE(gtk_widget_get_child_visible(leaving->view()->widget()));
    EXPECT_LT(gtk_widget_get_opacity(leaving->view()->widget()), 1);
    EXPECT_LT(gtk_widget_get_opacity(arriving->view()->widget()), 1);
    EXPECT_GT(top(staying), 0);
    EXPECT_LT(top(staying), 176);
  }

  EXPECT_TRUE(platform::runMainLoopUntil([&] { return done; }, 5));
  g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE, nullptr);
  ASSERT_TRUE(window.settle());
  EXPECT_FALSE(gtk_widget_get_child_visible(leaving->view()->widget()));  // back in the pool
  EXPECT_EQ(gtk_widget_get_opacity(arriving->view()->widget()), 1);
  EXPECT_EQ(top(staying), 0);
  EXPECT_EQ(top(arriving), 2 * 176);
  EXPECT_THAT(source->ended, ::testing::Contains(leaving.get()));
}

TEST(Animator, EaseOutFollowsItsCurve) {
  struct Case {
    const char* label;
    double t;
    double expected;
  };
  // cubic-bezier(0, 0, 0.58, 1): starts at full speed, ends slowly.
  const Case cases[] = {
      {"start", 0, 0},
      {"end", 1, 1},
      {"before the start", -1, 0},
      {"after the end", 2, 1},
      {"half time is past half way", 0.5, 0.6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.t == 0.5) {
      EXPECT_GT(ZRVAnimator::easeOut(c.t), c.expected);
    } else {
      EXPECT_DOUBLE_EQ(ZRVAnimator::easeOut(c.t), c.expected);
    }
  }
  double previous = 0;
  for (int i = 1; i <= 100; ++i) {
    const double v = ZRVAnimator::easeOut(i / 100.0);
    EXPECT_GE(v, previous);
    previous = v;
  }
}

TEST(Animator, RunsOnTheFrameClockAndAtOnceWhenAnimationsAreOff) {
  ASSERT_TRUE(zorvel::test::initGtk());
  GtkSettings* settings = gtk_settings_get_default();
  zorvel::test::TestWindow window(100, 100);
  for (const bool enabled : {true, false}) {
    SCOPED_TRACE(enabled ? "animations on" : "animations off");
    g_object_set(settings, "gtk-enable-animations", enabled, nullptr);
    std::vector<double> steps;
    std::optional<bool> finished;
    auto animation = ZRVAnimator::animate(
        window.root()->widget(), 0.2, [&](double p) { steps.push_back(p); }, [&](bool f) { finished = f; });
    EXPECT_FALSE(finished.has_value());  // never inside animate()
    EXPECT_TRUE(platform::runMainLoopUntil([&] { return finished.has_value(); }, 5));
    EXPECT_EQ(finished, true);
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.back(), 1);
    if (enabled) {
      EXPECT_GT(steps.size(), 2u);  // frames between
    } else {
      EXPECT_EQ(steps.size(), 1u);
    }
  }
  // Cancelled: the completion says so, and no more steps come.
  g_object_set(settings, "gtk-enable-animations", TRUE, nullptr);
  int steps = 0;
  std::optional<bool> finished;
  auto animation = ZRVAnimator::animate(
      window.root()->widget(), 5, [&](double) { ++steps; }, [&](bool f) { finished = f; });
  platform::RunLoop::main().runFor(0.1);
  animation->cancel();
  EXPECT_EQ(finished, false);
  const int seen = steps;
  platform::RunLoop::main().runFor(0.1);
  EXPECT_EQ(steps, seen);
  g_object_set(settings, "gtk-enable-animations", FALSE, nullptr);
}

}  // namespace
