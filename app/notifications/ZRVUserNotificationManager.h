#pragma once

// ZRVUserNotificationManager: keeps the transport's scheduled notifications equal to one
// notification per active event and active trigger whose delivery date lies ahead, re-deriving
// the list from the database after every database update, and turns the activation of a delivered
// notification into a call of its delegate with the notification's event.
//
// Synchronisation (syncNotifications): a scheduled notification survives exactly when its event
// is in the active group of the events view and not complete, its trigger is among the active
// triggers, and its delivery date equals the one the trigger gives now for the event's date;
// every other scheduled notification is removed, and every missing pair whose delivery date is
// still ahead is scheduled anew. Two exceptions keep what the user is about to see or has seen:
//   - a scheduled notification that is due (its delivery date is now or past) stays scheduled,
//     so the transport delivers it at its next check even when its event was completed in the
//     meantime (the "event has occurred" notification of an event that has just passed);
//   - the delivered list is left alone: a notification leaves it when the user activates it, or
//     when the notification service closes it.
//
// Failures: none are reported; a notification missing at the next synchronisation is scheduled
// again if it is still ahead. An activated notification whose event is gone gives the delegate
// null.
//
// Threads: main thread only. The database manager posts its update notifications there, the
// transport calls its delegate there, and the synchronisation reads the database synchronously.

#include <memory>
#include <string_view>

#include "app/database/ZRVDatabaseManager.h"
#include "app/notifications/ZRVUserNotificationTransport.h"
#include "platform/runtime/object.h"
#include "platform/services/notification_center.h"

class ZRVEvent;

class ZRVUserNotificationManagerDelegate {
 public:
  virtual ~ZRVUserNotificationManagerDelegate() = default;
  // The user activated a notification of this event (null when the event no longer exists).
  virtual void userActivatedNotificationForEvent(const std::shared_ptr<ZRVEvent>& event) = 0;
};

class ZRVUserNotificationManager : public platform::Object, public ZRVUserNotificationTransportDelegate {
  ZORVEL_CLASS(ZRVUserNotificationManager, platform::Object)

 public:
  // A manager over the transport and the database manager (null: the shared one). It becomes the
  // transport's delegate and observes the database manager's Did-update notification on the
  // default centre. No synchronisation runs until the first syncNotifications() or update.
  static std::shared_ptr<ZRVUserNotificationManager> create(ZRVUserNotificationTransportPtr transport,
                                                            ZRVDatabaseManager::Ptr databaseManager = nullptr);
  ~ZRVUserNotificationManager() override;

  const ZRVUserNotificationTransportPtr& transport() const { return transport_; }
  // Held weakly.
  std::shared_ptr<ZRVUserNotificationManagerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<ZRVUserNotificationManagerDelegate> delegate) { delegate_ = std::move(delegate); }

  // Brings the scheduled notifications in line with the database (see above).
  void syncNotifications();
  // The database manager's Did-update notification: synchronises.
  void databaseDidUpdated(const platform::NotificationPtr& notification);

  // Reads the notification's event on the main connection, hands it to the delegate, then takes
  // the notification off the transport's delivered list.
  void userNotificationTransportDidActivateNotification(ZRVUserNotificationTransportProtocol& transport,
                                                        const ZRVUserNotificationPtr& notification) override;

  ZRVUserNotificationManager(ZRVUserNotificationTransportPtr transport, ZRVDatabaseManager::Ptr databaseManager);

 private:
  void trace(std::string_view method) const;
  // The synchronisation's work over the scheduled list the transport answered with.
  void reconcile(ZRVUserNotificationTransportProtocol::Notifications scheduled);

  const ZRVUserNotificationTransportPtr transport_;
  const ZRVDatabaseManager::Ptr databaseManager_;
  std::weak_ptr<ZRVUserNotificationManagerDelegate> delegate_;
  platform::NotificationCenter::ObserverToken updateObserver_;
};
