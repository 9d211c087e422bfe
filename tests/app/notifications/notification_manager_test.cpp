// The notification manager against a notification service on a private bus: what a
// synchronisation schedules and removes, delivery through the service, activation, and the
// delivered list.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/notifications/notification_test_support.h"

namespace {

using namespace zorvel::test;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::SizeIs;

constexpr std::uint64_t kDays = platform::CalendarUnitDay;
constexpr std::uint64_t kHours = platform::CalendarUnitHour;
constexpr std::uint64_t kMinutes = platform::CalendarUnitMinute;
constexpr std::uint64_t kSeconds = platform::CalendarUnitSecond;

class NotificationManager : public NotificationTest {
 protected:
  // Two active events ahead and three active triggers whose dates all lie ahead; synchronised.
  void SetUp() override {
    NotificationTest::SetUp();
    makeManager();
    birthday = makeEvent(ZRVEventStateActive, localDate(2024, 6, 1, 12), "Birthday");
    holiday = makeEvent(ZRVEventStateActive, localDate(2024, 7, 1, 12), "Holiday");
    day = makeTrigger(kDays, 1);
    hour = makeTrigger(kHours, 1);
    minutes = makeTrigger(kMinutes, 10);
    storeTriggers({day, hour, minutes});
    storeEvents({birthday, holiday});
  }

  // A stored copy with one change, as a writer makes it.
  template <class T, class Change>
  std::shared_ptr<T> changed(const std::shared_ptr<T>& object, Change change) {
    auto copy = std::static_pointer_cast<T>(object->copy());
    change(*copy);
    return copy;
  }

  std::shared_ptr<ZRVEvent> birthday, holiday;
  std::shared_ptr<ZRVOptionTrigger> day, hour, minutes;
};

TEST_F(NotificationManager, TwoEventsAndThreeTriggersScheduleSixAndASecondSyncChangesNothing) {
  ASSERT_THAT(scheduled(), SizeIs(6));
  for (const auto& event : {birthday, holiday}) {
    for (const auto& trigger : {day, hour, minutes}) {
      auto n = scheduledFor(*event, *trigger);
      ASSERT_TRUE(n) << *event->name() << " " << trigger->stringDescription();
      EXPECT_EQ(n->title(), event->name());
      EXPECT_EQ(n->body(), trigger->stringDescription());
      EXPECT_EQ(n->delivery(), trigger->deliveryDateForEvent(*event));
      EXPECT_EQ(n->sound(), "message-new-instant");
      EXPECT_FALSE(n->isDelivered());
    }
  }
  const auto before = scheduledIdentifiers();
  manager->syncNotifications();
  EXPECT_EQ(scheduledIdentifiers(), before);
  EXPECT_THAT(server->notifyCalls(), IsEmpty());  // nothing is due yet
}

TEST_F(NotificationManager, EveryDatabaseUpdateSynchronises) {
  auto concert = makeEvent(ZRVEventStateActive, localDate(2024, 8, 1, 20), "Concert");
  storeEvents({concert});
  EXPECT_THAT(scheduled(), SizeIs(9));
  EXPECT_TRUE(scheduledFor(*concert, *minutes));
}

TEST_F(NotificationManager, AChangedTriggerReschedulesOnlyItsNotifications) {
  auto oldDay = scheduledFor(*birthday, *day);
  auto untouched = scheduledFor(*birthday, *hour);
  ASSERT_TRUE(oldDay && untouched);
  storeTriggers({changed(day, [](ZRVOptionTrigger& t) { t.setValue(3); })});
  ASSERT_THAT(scheduled(), SizeIs(6));
  auto newDay = scheduledFor(*birthday, *day);
  ASSERT_TRUE(newDay);
  EXPECT_NE(newDay->identifier(), oldDay->identifier());
  EXPECT_EQ(newDay->delivery(), localDate(2024, 5, 29, 12));
  EXPECT_EQ(newDay->body(), "less than three days");
  EXPECT_EQ(scheduledFor(*birthday, *hour)->identifier(), untouched->identifier());
}

TEST_F(NotificationManager, ADeactivatedTriggerLosesItsNotificationsForEveryEvent) {
  const auto hourOfHoliday = scheduledFor(*holiday, *hour)->identifier();
  storeTriggers({changed(minutes, [](ZRVOptionTrigger& t) { t.setActive(false); })});
  EXPECT_THAT(scheduled(), SizeIs(4));
  EXPECT_FALSE(scheduledFor(*birthday, *minutes));
  EXPECT_FALSE(scheduledFor(*holiday, *minutes));
  EXPECT_EQ(scheduledFor(*holiday, *hour)->identifier(), hourOfHoliday);
}

TEST_F(NotificationManager, AMovedEventIsRescheduledAndOthersStay) {
  const auto holidayIds =
      std::set{scheduledFor(*holiday, *day)->identifier().value(), scheduledFor(*holiday, *hour)->identifier().value()};
  storeEvents({changed(birthday, [](ZRVEvent& e) { e.setDate(localDate(2024, 6, 2, 12)); })});
  ASSERT_THAT(scheduled(), SizeIs(6));
  EXPECT_EQ(scheduledFor(*birthday, *day)->delivery(), localDate(2024, 6, 1, 12));
  EXPECT_TRUE(holidayIds.contains(scheduledFor(*holiday, *day)->identifier().value()));
  EXPECT_TRUE(holidayIds.contains(scheduledFor(*holiday, *hour)->identifier().value()));
}

TEST_F(NotificationManager, CompletedArchivedAndDeletedEventsLoseTheirNotifications) {
  storeEvents({changed(birthday, [](ZRVEvent& e) { e.setState(ZRVEventStateComplete); })});
  EXPECT_THAT(scheduled(), SizeIs(3));
  EXPECT_FALSE(scheduledFor(*birthday, *day));
  storeEvents({changed(holiday, [](ZRVEvent& e) { e.setState(ZRVEventStateArchived); })});
  EXPECT_THAT(scheduled(), IsEmpty());
}

TEST_F(NotificationManager, ATriggerWhoseDateHasPassedSchedulesNothing) {
  // 20 minutes ahead: the day and hour triggers are past, the ten minutes one is still ahead.
  auto soon = makeEvent(ZRVEventStateActive, clock.now().addingTimeInterval(20 * 60), "Soon");
  storeEvents({soon});
  EXPECT_FALSE(scheduledFor(*soon, *day));
  EXPECT_FALSE(scheduledFor(*soon, *hour));
  EXPECT_TRUE(scheduledFor(*soon, *minutes));
}

TEST_F(NotificationManager, OfTwoCopiesForTheSameEventAndTriggerOnlyTheFirstStays) {
  auto first = scheduledFor(*birthday, *day);
  auto surplus = ZRVUserNotification::notificationWithEvent(*birthday, *day);
  transport->scheduleNotification(surplus, [](platform::ErrorPtr error) { EXPECT_FALSE(error); });
  ASSERT_THAT(scheduled(), SizeIs(7));
  manager->syncNotifications();
  ASSERT_THAT(scheduled(), SizeIs(6));
  EXPECT_EQ(scheduledFor(*birthday, *day)->identifier(), first->identifier());
}

TEST_F(NotificationManager, ADueNotificationIsShownByTheServiceWithTheEventAndTrigger) {
  clock.set(*day->deliveryDateForEvent(*birthday));
  EXPECT_EQ(deliver(), 1u);
  auto calls = server->notifyCalls();
  ASSERT_THAT(calls, SizeIs(1));
  EXPECT_EQ(calls[0].appName, "Zorvel");
  EXPECT_EQ(calls[0].replacesId, 0u);
  EXPECT_EQ(calls[0].summary, "Birthday");
  EXPECT_EQ(calls[0].body, "less than a day");
  EXPECT_THAT(calls[0].actions, ElementsAre("default", "Open"));
  EXPECT_EQ(calls[0].hints["sound-name"], "message-new-instant");
  EXPECT_EQ(calls[0].hints["x-zorvel-event"], birthday->uuid());
  EXPECT_EQ(calls[0].hints["x-zorvel-trigger"], day->uuid());
  EXPECT_EQ(calls[0].timeout, -1);
  EXPECT_THAT(scheduled(), SizeIs(5));
  auto shown = delivered();
  ASSERT_THAT(shown, SizeIs(1));
  EXPECT_TRUE(shown[0]->isDelivered());
  EXPECT_EQ(transport->serverIdForNotification(*shown[0]), calls[0].id);
  // Nothing further is due: a second check sends nothing.
  EXPECT_EQ(transport->deliverDueNotifications(), 0u);
}

TEST_F(NotificationManager, AnActivatedNotificationReachesTheDelegateWithItsEventAndLeavesTheList) {
  clock.set(*day->deliveryDateForEvent(*birthday));
  deliver();
  const std::uint32_t id = server->notifyCalls().at(0).id;
  server->invokeAction(id, "default");
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return !delegate->events.empty(); }, 10));
  ASSERT_THAT(delegate->events, SizeIs(1));
  ASSERT_TRUE(delegate->events[0]);
  EXPECT_EQ(delegate->events[0]->uuid(), birthday->uuid());
  EXPECT_EQ(delegate->events[0]->name(), "Birthday");
  EXPECT_THAT(delivered(), IsEmpty());
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return !server->closeCalls().empty(); }, 10));
  EXPECT_THAT(server->closeCalls(), ElementsAre(id));
}

TEST_F(NotificationManager, ANotificationOfADeletedEventGivesTheDelegateNothing) {
  clock.set(*day->deliveryDateForEvent(*birthday));
  deliver();
  ASSERT_TRUE(database->deleteEvent(*birthday));
  ASSERT_TRUE(flushMainQueue());
  server->invokeAction(server->notifyCalls().at(0).id, "default");
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return !delegate->events.empty(); }, 10));
  EXPECT_EQ(delegate->events[0], nullptr);
}

TEST_F(NotificationManager, OtherActionsAndOtherIdsActivateNothing) {
  clock.set(*day->deliveryDateForEvent(*birthday));
  deliver();
  const std::uint32_t id = server->notifyCalls().at(0).id;
  server->invokeAction(id, "dismiss");
  server->invokeAction(id + 100, "default");
  // A later activation proves the earlier signals were handled (they arrive in order).
  server->invokeAction(id, "Open");
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return !delegate->events.empty(); }, 10));
  EXPECT_THAT(delegate->events, SizeIs(1));
}

TEST_F(NotificationManager, ANotificationTheServiceClosedLeavesTheDeliveredList) {
  clock.set(*day->deliveryDateForEvent(*birthday));
  deliver();
  server->closeByUser(server->notifyCalls().at(0).id);
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return delivered().empty(); }, 10));
}

// Synchronising used to empty the delivered list, so a notification shown a moment before a
// database update vanished from the service before the user could read it.
TEST_F(NotificationManager, SynchronisingKeepsTheDeliveredList) {
  clock.set(*day->deliveryDateForEvent(*birthday));
  deliver();
  storeEvents({makeEvent(ZRVEventStateActive, localDate(2024, 9, 1, 12), "Later")});
  manager->syncNotifications();
  EXPECT_THAT(delivered(), SizeIs(1));
  platform::RunLoop::main().runFor(0.2);
  EXPECT_THAT(server->closeCalls(), IsEmpty());
  EXPECT_THAT(server->openIds(), SizeIs(1));
}

// The interface completes an event once its date has passed; the update that follows used to
// remove the event's "event has occurred" notification before the once-a-second check showed it.
TEST_F(NotificationManager, TheNotificationOfAnEventCompletedAtItsDateIsStillShown) {
  auto occurred = makeTrigger(kSeconds, 0);
  storeTriggers({occurred});
  auto meeting = makeEvent(ZRVEventStateActive, clock.now().addingTimeInterval(30), "Meeting");
  storeEvents({meeting});
  ASSERT_TRUE(scheduledFor(*meeting, *occurred));
  clock.advance(31);  // the date has passed; the check has not run yet
  storeEvents({changed(meeting, [](ZRVEvent& e) { e.setState(ZRVEventStateComplete); })});
  EXPECT_TRUE(scheduledFor(*meeting, *occurred));
  EXPECT_EQ(deliver(), 1u);
  auto calls = server->notifyCalls();
  ASSERT_THAT(calls, SizeIs(1));
  EXPECT_EQ(calls[0].summary, "Meeting");
  EXPECT_EQ(calls[0].body, "event has occurred");
  // Still on the list after the next synchronisation, and not shown twice.
  manager->syncNotifications();
  EXPECT_THAT(delivered(), SizeIs(1));
  EXPECT_EQ(transport->deliverDueNotifications(), 0u);
}

TEST_F(NotificationManager, ANotificationRemovedBeforeTheServiceAnsweredIsClosedOnceItHasAnId) {
  clock.set(*day->deliveryDateForEvent(*birthday));
  ASSERT_EQ(transport->deliverDueNotifications(), 1u);
  auto pending = delivered();
  ASSERT_THAT(pending, SizeIs(1));
  transport->removeDeliveredNotification(*pending[0]);
  EXPECT_THAT(delivered(), IsEmpty());
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return !server->closeCalls().empty(); }, 10));
  EXPECT_THAT(server->closeCalls(), ElementsAre(server->notifyCalls().at(0).id));
  EXPECT_THAT(server->openIds(), IsEmpty());
}

TEST_F(NotificationManager, EverythingDueIsShownAndRemovingAllClosesEachOnTheService) {
  clock.set(*day->deliveryDateForEvent(*holiday));  // all of the birthday's, and the holiday's day
  EXPECT_EQ(deliver(), 4u);
  ASSERT_THAT(server->openIds(), SizeIs(4));
  transport->removeAllDeliveredNotifications();
  EXPECT_THAT(delivered(), IsEmpty());
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return server->closeCalls().size() == 4; }, 10));
  EXPECT_THAT(server->openIds(), IsEmpty());
  EXPECT_THAT(scheduled(), SizeIs(2));
}

TEST_F(NotificationManager, TheTransportAsksTheServiceForItsCapabilities) {
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return transport->hasCapabilities(); }, 10));
  EXPECT_THAT(transport->capabilities(), ElementsAre("actions", "body", "sound"));
}

TEST(NotificationTransport, TheOnceASecondCheckDeliversWithoutBeingAsked) {
  ScopedClock clock(localDate(2024, 5, 10, 14, 30, 27));
  PrivateBus bus;
  NotificationServer server(bus.address());
  GDBusConnection* connection = connectTo(bus.address());
  ASSERT_TRUE(connection);
  auto transport = ZRVUserNotificationTransportFreedesktop::create(connection);
  ASSERT_TRUE(transport);
  auto n = platform::make<ZRVUserNotification>();
  n->setIdentifier("N1");
  n->setTitle("Now");
  n->setDelivery(clock.now().addingTimeInterval(1));
  transport->scheduleNotification(n, nullptr);
  platform::RunLoop::main().runFor(0.1);
  EXPECT_THAT(server.notifyCalls(), IsEmpty());
  clock.advance(1);
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return !server.notifyCalls().empty(); }, 5));
  EXPECT_EQ(server.notifyCalls()[0].summary, "Now");
  transport.reset();
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_object_unref(connection);
}

// No notification service on the bus: the notification is not counted as delivered.
TEST(NotificationTransport, ANotificationNoServiceTookLeavesTheDeliveredList) {
  ScopedClock clock(localDate(2024, 5, 10, 14, 30, 27));
  PrivateBus bus;
  GDBusConnection* connection = connectTo(bus.address());
  ASSERT_TRUE(connection);
  auto transport = ZRVUserNotificationTransportFreedesktop::create(connection, false);
  ASSERT_TRUE(transport);
  auto n = platform::make<ZRVUserNotification>();
  n->setIdentifier("N1");
  n->setDelivery(clock.now());
  transport->scheduleNotification(n, nullptr);
  EXPECT_EQ(transport->deliverDueNotifications(), 1u);
  auto deliveredCount = [&] {
    std::size_t count = 0;
    transport->getDeliveredNotificationsWithCompletionHandler([&](auto list) { count = list.size(); });
    return count;
  };
  EXPECT_EQ(deliveredCount(), 1u);  // sent, no answer yet
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return deliveredCount() == 0; }, 10));
  EXPECT_FALSE(transport->serverIdForNotification(*n));
  transport.reset();
  g_dbus_connection_close_sync(connection, nullptr, nullptr);
  g_object_unref(connection);
}

}  // namespace
