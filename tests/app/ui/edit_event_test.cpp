// The event editor driven directly in a window over a real store: filling it in, Return and
// Escape through the X server, accept, cancel and delete, and the skin it falls back to.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/ZRVAnalytics.h"
#include "app/database/database_test_support.h"
#include "app/ui/PellDatePicker.h"
#include "app/ui/ZRVMainEditEventController.h"
#include "support/interface/test_window.h"

// Xlib last: its macros clash with names above.
#include <gdk/x11/gdkx.h>

namespace {

using namespace zorvel::test;

void xdotool(const std::string& arguments) { ASSERT_EQ(std::system(("xdotool " + arguments).c_str()), 0) << arguments; }

void settle(double seconds = 0.3) {
  platform::runMainLoopUntil([] { return false; }, seconds);
}

struct RecordingSink : ZRVAnalyticsSink {
  void logContentView(std::string_view, std::string_view, std::string_view, const Attributes&) override {}
  void logCustomEvent(std::string_view name, const Attributes& attributes) override {
    events.emplace_back(std::string(name), attributes);
  }
  std::vector<std::pair<std::string, Attributes>> events;
};

class EditEvent : public DatabaseTest {
 protected:
  void SetUp() override {
    ZORVEL_ASSERT_DISPLAY();
    bundle = writeBundle(
        dir.path(),
        Value(ValueArray{collectionEntry("C1", "Nature", {skinEntry("S1", "forest"), skinEntry("S2", "ocean")}),
                         collectionEntry("C2", "Space", {skinEntry("S3", "moon"), skinEntry("S4", "mars")})}),
        Value());
    manager = open(bundle);
    ASSERT_TRUE(manager->syncSkins());
    ASSERT_TRUE(flushMainQueue());
    sink = std::make_shared<RecordingSink>();
    ZRVAnalytics::setSharedSink(sink);
    controller = ZRVMainEditEventController::create(manager);
    ASSERT_TRUE(controller);
    window = showInWindow(controller->view(), 400, 260);
    Display* display = gdk_x11_display_get_xdisplay(gdk_display_get_default());
    XSetInputFocus(display, gdk_x11_surface_get_xid(gtk_native_get_surface(GTK_NATIVE(window))), RevertToNone,
                   CurrentTime);
    XFlush(display);
    ASSERT_TRUE(platform::runMainLoopUntil([&] { return gtk_window_is_active(GTK_WINDOW(window)); }, 5));
  }
  void TearDown() override {
    controller = nullptr;
    if (window) gtk_window_destroy(GTK_WINDOW(window));
    ZRVAnalytics::setSharedSink(nullptr);
  }

  // Stores an event and answers it as read back.
  std::shared_ptr<ZRVEvent> store(std::uint64_t state, platform::Date date, std::string name,
                                  std::optional<std::string> skin = "S1") {
    auto event = makeEvent(state, date, std::move(name));
    event->setSkinId(std::move(skin));
    EXPECT_TRUE(manager->saveEvent(event));
    EXPECT_TRUE(flushMainQueue());
    return storedObject<ZRVEvent>(manager->backgroundDatabaseConnection(), *event->uuid(), ZRVEventsCollection);
  }
  std::shared_ptr<ZRVEvent> stored(const ZRVEvent& event) {
    return storedObject<ZRVEvent>(manager->backgroundDatabaseConnection(), *event.uuid(), ZRVEventsCollection);
  }
  GtkWidget* outlet(const char* name) { return controller->outlet(name); }
  void press(const char* button) { g_signal_emit_by_name(outlet(button), "clicked"); }
  void typeName(const char* text) { gtk_editable_set_text(GTK_EDITABLE(outlet("eventNameTextField")), text); }

  platform::BundlePtr bundle;
  ZRVDatabaseManager::Ptr manager;
  std::shared_ptr<RecordingSink> sink;
  ZRVMainEditEventController::Ptr controller;
  GtkWidget* window = nullptr;
};

TEST_F(EditEvent, FillingInANewEventAndPressingReturnStoresItActive) {
  auto event = store(ZRVEventStateAdding, localDate(2024, 5, 10, 0, 0, 27), "", std::nullopt);
  event = stored(*event);
  auto fresh = std::static_pointer_cast<ZRVEvent>(event->copy());
  fresh->setName(std::nullopt);
  controller->updateWithEvent(*fresh);
  EXPECT_FALSE(gtk_widget_get_visible(outlet("deleteButton"))) << "a new event has nothing to delete";
  EXPECT_FALSE(gtk_widget_get_sensitive(outlet("acceptButton")));
  EXPECT_NEAR(gtk_widget_get_opacity(outlet("acceptButton")), 0.3, 0.01);

  typeName("Launch party");
  // A day picked in the calendar, then the time on the spinners.
  GDateTime* day = g_date_time_new_local(2024, 6, 1, 12, 0, 0);
  gtk_calendar_select_day(PellDatePicker::fromWidget(outlet("eventDatePicker"))->calendar(), day);
  g_date_time_unref(day);
  gtk_spin_button_set_value(GTK_SPIN_BUTTON(outlet("eventTimeHourSpinButton")), 18);
  gtk_spin_button_set_value(GTK_SPIN_BUTTON(outlet("eventTimeMinuteSpinButton")), 45);
  // The second collection, then its second skin.
  gtk_drop_down_set_selected(GTK_DROP_DOWN(outlet("skinCollectionPopUp")), 1);
  EXPECT_EQ(controller->event()->skinId(), "S3");
  EXPECT_FALSE(gtk_widget_get_sensitive(outlet("prevSkinButton")));
  press("nextSkinButton");
  press("nextSkinButton");  // already the last: stays
  EXPECT_EQ(controller->event()->skinId(), "S4");
  EXPECT_FALSE(gtk_widget_get_sensitive(outlet("nextSkinButton")));
  EXPECT_TRUE(gtk_widget_get_sensitive(outlet("acceptButton")));

  xdotool("key Return");
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return stored(*event)->state() == ZRVEventStateActive; }, 5));
  auto saved = stored(*event);
  EXPECT_EQ(saved->name(), "Launch party");
  EXPECT_EQ(saved->date(), localDate(2024, 6, 1, 18, 45, 0));
  EXPECT_EQ(saved->skinId(), "S4");
  EXPECT_FALSE(controller->isKeyMonitorStarted());
  ASSERT_EQ(sink->events.size(), 1u);
  EXPECT_EQ(sink->events[0].first, "Skin selected");
  EXPECT_EQ(sink->events[0].second, (ZRVAnalyticsSink::Attributes{{"skin", "mars"}, {"collection", "Space"}}));
}

TEST_F(EditEvent, ReturnSavesNothingWhileTheEventCannotBeSaved) {
  struct Case {
    const char* label;
    const char* name;
    platform::Date date;
  };
  const Case cases[] = {
      {"empty name", "", localDate(2024, 6, 1, 12)},
      {"date in the past", "Party", localDate(2024, 5, 9, 12)},
      {"date now", "Party", localDate(2024, 5, 10, 14, 30, 27)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto event = store(ZRVEventStateAdding, c.date, "seed");
    controller->updateWithEvent(*event);
    typeName(c.name);
    EXPECT_FALSE(gtk_widget_get_sensitive(outlet("acceptButton")));
    xdotool("key Return");
    settle();
    auto after = stored(*event);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->state(), ZRVEventStateAdding);
    EXPECT_EQ(after->name(), "seed");
    EXPECT_TRUE(controller->isKeyMonitorStarted()) << "the editor is still open";
    controller->prepareForReuse();
  }
}

TEST_F(EditEvent, EscapeOnANewEventRemovesIt) {
  auto event = store(ZRVEventStateAdding, localDate(2024, 6, 1, 12), "new");
  controller->updateWithEvent(*event);
  xdotool("key Escape");
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return stored(*event) == nullptr; }, 5));
}

TEST_F(EditEvent, DeleteRemovesAnEditedEvent) {
  auto event = store(ZRVEventStateEditing, localDate(2024, 6, 1, 12), "old");
  controller->updateWithEvent(*event);
  ASSERT_TRUE(gtk_widget_get_visible(outlet("deleteButton")));
  press("deleteButton");
  EXPECT_EQ(stored(*event), nullptr);
}

TEST_F(EditEvent, CancellingAnEditRestoresTheStoredEvent) {
  auto event = store(ZRVEventStateEditing, localDate(2024, 6, 1, 12), "old");
  controller->updateWithEvent(*event);
  typeName("changed");
  press("nextSkinButton");
  press("cancelButton");
  auto after = stored(*event);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->state(), ZRVEventStateActive);
  EXPECT_EQ(after->name(), "old");
  EXPECT_EQ(after->skinId(), "S1");
  EXPECT_TRUE(sink->events.empty());
}

TEST_F(EditEvent, AcceptingAnUnchangedEditCancelsIt) {
  auto event = store(ZRVEventStateEditing, localDate(2024, 6, 1, 12), "old");
  controller->updateWithEvent(*event);
  press("acceptButton");
  EXPECT_EQ(stored(*event)->state(), ZRVEventStateActive);
  EXPECT_TRUE(sink->events.empty()) << "nothing was saved";
}

TEST_F(EditEvent, AnUnknownSkinFallsBackToTheFirstSkin) {
  struct Case {
    const char* label;
    std::optional<std::string> skin;
  };
  for (const Case& c : {Case{"a skin removed from the catalogue", "gone"}, Case{"no skin", std::nullopt}}) {
    SCOPED_TRACE(c.label);
    auto event = store(ZRVEventStateEditing, localDate(2024, 6, 1, 12), "old", c.skin);
    controller->updateWithEvent(*event);
    EXPECT_EQ(controller->event()->skinId(), "S1");
    EXPECT_EQ(gtk_drop_down_get_selected(GTK_DROP_DOWN(outlet("skinCollectionPopUp"))), 0u);
    ASSERT_EQ(controller->pagerSkins().size(), 2u);
    EXPECT_EQ(controller->selectedSkinIndex(), 0u);
    press("acceptButton");
    EXPECT_EQ(stored(*event)->skinId(), "S1");
    ASSERT_FALSE(sink->events.empty());
    EXPECT_EQ(sink->events.back().second.at("skin"), "forest");
  }
}

TEST_F(EditEvent, AcceptingAnEventWithAMissingSkinReportsNoSkin) {
  auto event = makeEvent(ZRVEventStateEditing, localDate(2024, 6, 1, 12), "old");
  event->setSkinId("gone");
  ASSERT_TRUE(ZRVMainEditEventController::carryOut(*manager, ZRVMainEditActionAccept, *event));
  EXPECT_EQ(stored(*event)->state(), ZRVEventStateActive);
  EXPECT_TRUE(sink->events.empty());
}

class EditEventWithoutSkins : public DatabaseTest {};

TEST_F(EditEventWithoutSkins, AnEmptyCatalogueLeavesTheEventWithoutASkin) {
  ZORVEL_ASSERT_DISPLAY();
  auto manager = open(writeBundle(dir.path(), Value(ValueArray{}), Value()));
  ASSERT_TRUE(manager);
  auto controller = ZRVMainEditEventController::create(manager);
  ASSERT_TRUE(controller);
  GtkWidget* window = showInWindow(controller->view(), 400, 260);
  auto event = makeEvent(ZRVEventStateAdding, localDate(2024, 6, 1, 12), "new");
  event->setSkinId("gone");
  controller->updateWithEvent(*event);
  EXPECT_EQ(controller->event()->skinId(), std::nullopt);
  EXPECT_TRUE(controller->pagerSkins().empty());
  EXPECT_FALSE(gtk_widget_get_sensitive(controller->outlet("nextSkinButton")));
  EXPECT_FALSE(gtk_widget_get_sensitive(controller->outlet("prevSkinButton")));
  controller->nextSkinButtonPressed();
  controller = nullptr;
  gtk_window_destroy(GTK_WINDOW(window));
}

}  // namespace
