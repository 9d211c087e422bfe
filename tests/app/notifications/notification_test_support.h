#pragma once

// Shared by the notification tests: a database of the test's own (DatabaseTest) with events and
// triggers stored through the background connection, a private bus, the freedesktop transport on
// it, and a manager whose delegate records the events it is handed.

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/database/database_test_support.h"
#include "app/model/ZRVEvent.h"
#include "app/model/ZRVOption.h"
#include "app/notifications/ZRVUserNotificationManager.h"
#include "app/notifications/ZRVUserNotificationTransportFreedesktop.h"
#include "support/notification_server.h"

namespace zorvel::test {

// Records what the manager hands its delegate. Main thread.
class RecordingDelegate : public ZRVUserNotificationManagerDelegate {
 public:
  void userActivatedNotificationForEvent(const std::shared_ptr<ZRVEvent>& event) override { events.push_back(event); }
  std::vector<std::shared_ptr<ZRVEvent>> events;
};

inline std::shared_ptr<ZRVOptionTrigger> makeTrigger(std::uint64_t unit, std::uint64_t value, bool active = true) {
  return ZRVOptionTrigger::triggerWithUnit(unit, value, ZRVOptionTriggerTypeUser, active);
}

// A connection of the main thread's context to the bus at `address`.
inline GDBusConnection* connectTo(const std::string& address) {
  GError* error = nullptr;
  GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  EXPECT_TRUE(connection) << (error ? error->message : "");
  if (error) g_error_free(error);
  return connection;
}

class NotificationTest : public DatabaseTest {
 protected:
  // With false, no stand-in service is started: the test brings a service of its own.
  explicit NotificationTest(bool standInService = true) {
    if (standInService) server = std::make_unique<NotificationServer>(bus.address());
  }

  void SetUp() override {
    database = open();
    ASSERT_TRUE(database);
    connection = connectTo(bus.address());
    ASSERT_TRUE(connection);
  }
  void TearDown() override {
    manager.reset();
    transport.reset();
    if (connection) {
      g_dbus_connection_close_sync(connection, nullptr, nullptr);
      g_object_unref(connection);
    }
    if (database) close(database);
  }

  // The transport (checked by hand: deliver()) and the manager over it, with the recording
  // delegate.
  void makeManager() {
    transport = ZRVUserNotificationTransportFreedesktop::create(connection, false);
    ASSERT_TRUE(transport);
    manager = ZRVUserNotificationManager::create(transport, database);
    manager->setDelegate(delegate);
  }

  // Stores the objects and waits for the Did-update notification, which synchronises.
  void store(std::string_view collection, const std::vector<std::shared_ptr<ZRVModelObject>>& objects) {
    UpdateRecorder updates(database);
    storeObjects(database, collection, objects);
    ASSERT_TRUE(updates.waitForNextUpdate());
  }
  void storeEvents(const std::vector<std::shared_ptr<ZRVEvent>>& events) {
    store(ZRVEventsCollection, {events.begin(), events.end()});
  }
  void storeTriggers(const std::vector<std::shared_ptr<ZRVOptionTrigger>>& triggers) {
    store(ZRVOptionsCollection, {triggers.begin(), triggers.end()});
  }

  ZRVUserNotificationTransportProtocol::Notifications scheduled() const {
    ZRVUserNotificationTransportProtocol::Notifications result;
    transport->getScheduledNotificationsWithCompletionHandler([&](auto list) { result = std::move(list); });
    return result;
  }
  ZRVUserNotificationTransportProtocol::Notifications delivered() const {
    ZRVUserNotificationTransportProtocol::Notifications result;
    transport->getDeliveredNotificationsWithCompletionHandler([&](auto list) { result = std::move(list); });
    return result;
  }
  // The identifiers of the scheduled notifications.
  std::set<std::string> scheduledIdentifiers() const {
    std::set<std::string> ids;
    for (const auto& n : scheduled()) ids.insert(n->identifier().value_or("?"));
    return ids;
  }
  // The scheduled notification of an event and trigger (the first one).
  ZRVUserNotificationPtr scheduledFor(const ZRVEvent& event, const ZRVOptionTrigger& trigger) const {
    for (const auto& n : scheduled()) {
      if (n->event() == event.uuid() && n->trigger() == trigger.uuid()) return n;
    }
    return nullptr;
  }

  // Delivers what is due and waits until the service has answered each of them with an id.
  std::size_t deliver() {
    const std::size_t sent = transport->deliverDueNotifications();
    EXPECT_TRUE(platform::runMainLoopUntil(
        [&] {
          for (const auto& n : delivered()) {
            if (!transport->serverIdForNotification(*n)) return false;
          }
          return true;
        },
        10));
    return sent;
  }

  PrivateBus bus;
  std::unique_ptr<NotificationServer> server;
  ZRVDatabaseManager::Ptr database;
  GDBusConnection* connection = nullptr;
  std::shared_ptr<ZRVUserNotificationTransportFreedesktop> transport;
  std::shared_ptr<ZRVUserNotificationManager> manager;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

}  // namespace zorvel::test
