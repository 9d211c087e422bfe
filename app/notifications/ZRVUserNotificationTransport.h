#pragma once

// The seam between the notification rules (ZRVUserNotificationManager) and the desktop's
// notification service: the manager sees the desktop only through a transport, so a transport
// over another notification service can replace the one in use.
//
// A transport keeps two lists:
//   scheduled  notifications waiting for their delivery date
//   delivered  notifications shown to the user and still known to be on screen or in the
//              service's list
// and tells its delegate when the user activates (clicks) a delivered notification.
//
// Threads: a transport and its delegate belong to the thread that made the transport (the main
// thread in the application); completion handlers run there too.

#include <functional>
#include <memory>
#include <vector>

#include "app/notifications/ZRVUserNotification.h"
#include "platform/runtime/error.h"

class ZRVUserNotificationTransportProtocol;

class ZRVUserNotificationTransportDelegate {
 public:
  virtual ~ZRVUserNotificationTransportDelegate() = default;
  // The user activated a delivered notification (read back from the transport's delivered list).
  virtual void userNotificationTransportDidActivateNotification(ZRVUserNotificationTransportProtocol& transport,
                                                                const ZRVUserNotificationPtr& notification) = 0;
};

class ZRVUserNotificationTransportProtocol {
 public:
  using Notifications = std::vector<ZRVUserNotificationPtr>;

  virtual ~ZRVUserNotificationTransportProtocol() = default;

  // Calls the handler once with the scheduled notifications (possibly none).
  virtual void getScheduledNotificationsWithCompletionHandler(const std::function<void(Notifications)>& handler) = 0;
  // Adds the notification to the scheduled list and calls the handler with the error, or null.
  virtual void scheduleNotification(const ZRVUserNotificationPtr& notification,
                                    const std::function<void(platform::ErrorPtr)>& handler) = 0;
  // Removes the scheduled notification with the same identifier; nothing when there is none.
  virtual void removeScheduledNotification(const ZRVUserNotification& notification) = 0;
  // Calls the handler once with the delivered notifications (possibly none).
  virtual void getDeliveredNotificationsWithCompletionHandler(const std::function<void(Notifications)>& handler) = 0;
  // Takes the delivered notification with the same identifier off the screen and the list.
  virtual void removeDeliveredNotification(const ZRVUserNotification& notification) = 0;
  virtual void removeAllDeliveredNotifications() = 0;

  // Held weakly.
  virtual std::shared_ptr<ZRVUserNotificationTransportDelegate> delegate() const = 0;
  virtual void setDelegate(std::weak_ptr<ZRVUserNotificationTransportDelegate> delegate) = 0;
};

using ZRVUserNotificationTransportPtr = std::shared_ptr<ZRVUserNotificationTransportProtocol>;
