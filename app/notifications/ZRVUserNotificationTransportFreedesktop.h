#pragma once

// ZRVUserNotificationTransportFreedesktop: the notification transport over the desktop's
// notification service, org.freedesktop.Notifications on the session bus (D-Bus).
//
// The service only shows notifications; scheduling is ours:
//   scheduled  an in-process list. A check once a second compares every delivery date with the
//              wall clock (ZRVClock::now(), so suspend, clock changes and test clocks count) and
//              delivers what is due, oldest list entry first.
//   delivery   Notify(app "Zorvel", replaces 0, icon "", summary = title, body, actions
//              ["default", "Open"], hints sound-name, desktop-entry and x-zorvel-event /
//              x-zorvel-trigger (the two uuids), timeout -1). The notification moves to the
//              delivered list at once, flagged delivered; the id the service answers is kept
//              with it.
//   delivered  the notifications sent, less those the service reported closed
//              (NotificationClosed) and those removed by the application (which closes them with
//              CloseNotification, also when the removal comes before the service's answer). A
//              notification the service refused (an error answer) leaves the list and is logged.
//   activation ActionInvoked(id, "default" or "Open") from the service calls the delegate with
//              the delivered notification of that id.
// At start-up the service's capabilities are asked once; a service without "actions" cannot
// report activations, which is logged.
//
// Nothing survives the process: notifications due while the application is not running are
// never shown, and the delivered list starts empty.
//
// Threads: make the transport, use it and drop it on the main thread; the bus's signals and
// answers, the once-a-second check and the delegate calls arrive there while its run loop runs.
// Queued work holds the transport weakly.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/notifications/ZRVUserNotificationTransport.h"
#include "platform/dispatch/run_loop.h"
#include "platform/runtime/object.h"

typedef struct _GDBusConnection GDBusConnection;

class ZRVUserNotificationTransportFreedesktop : public platform::Object, public ZRVUserNotificationTransportProtocol {
  ZORVEL_CLASS(ZRVUserNotificationTransportFreedesktop, platform::Object)

 public:
  static constexpr std::string_view kServiceName = "org.freedesktop.Notifications";
  static constexpr std::string_view kObjectPath = "/org/freedesktop/Notifications";
  static constexpr std::string_view kInterface = "org.freedesktop.Notifications";
  static constexpr std::string_view kApplicationName = "Zorvel";
  static constexpr std::string_view kEventHint = "x-zorvel-event";
  static constexpr std::string_view kTriggerHint = "x-zorvel-trigger";
  static constexpr double kCheckInterval = 1.0;

  // A transport on the bus connection (null: the session bus; null too when that cannot be
  // reached, with `error` filled). With `checkEverySecond` false no timer runs and the owner calls
  // deliverDueNotifications() itself.
  static std::shared_ptr<ZRVUserNotificationTransportFreedesktop> create(GDBusConnection* connection = nullptr,
                                                                         bool checkEverySecond = true,
                                                                         platform::ErrorPtr* error = nullptr);
  ~ZRVUserNotificationTransportFreedesktop() override;

  void getScheduledNotificationsWithCompletionHandler(const std::function<void(Notifications)>& handler) override;
  void scheduleNotification(const ZRVUserNotificationPtr& notification,
                            const std::function<void(platform::ErrorPtr)>& handler) override;
  void removeScheduledNotification(const ZRVUserNotification& notification) override;
  void getDeliveredNotificationsWithCompletionHandler(const std::function<void(Notifications)>& handler) override;
  void removeDeliveredNotification(const ZRVUserNotification& notification) override;
  void removeAllDeliveredNotifications() override;
  std::shared_ptr<ZRVUserNotificationTransportDelegate> delegate() const override { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<ZRVUserNotificationTransportDelegate> delegate) override {
    delegate_ = std::move(delegate);
  }

  // Delivers every scheduled notification whose delivery date is now or past; the count sent.
  std::size_t deliverDueNotifications();
  // The service's id of a delivered notification (by identifier); none before the service has
  // answered, or for a notification not delivered.
  std::optional<std::uint32_t> serverIdForNotification(const ZRVUserNotification& notification) const;
  // The service's capabilities once it has answered (empty before, or when it could not).
  const std::vector<std::string>& capabilities() const { return capabilities_; }
  // Whether the service's answer to the capability question has arrived.
  bool hasCapabilities() const { return capabilitiesKnown_; }

  explicit ZRVUserNotificationTransportFreedesktop(GDBusConnection* connection);

 private:
  struct Delivered;
  struct Callbacks;
  void start(bool checkEverySecond);
  void send(const std::shared_ptr<Delivered>& entry);
  void didSend(const std::shared_ptr<Delivered>& entry, std::optional<std::uint32_t> serverId,
               const std::string& failure);
  void close(std::uint32_t serverId);
  void serviceSignal(std::string_view signal, std::uint32_t serverId, std::string_view detail);
  void didReceiveCapabilities(std::vector<std::string> capabilities, bool answered);

  GDBusConnection* const connection_;  // owned (a reference)
  std::weak_ptr<ZRVUserNotificationTransportDelegate> delegate_;
  Notifications scheduled_;
  std::vector<std::shared_ptr<Delivered>> delivered_;
  std::vector<std::string> capabilities_;
  bool capabilitiesKnown_ = false;
  unsigned signalSubscription_ = 0;
  std::shared_ptr<platform::Timer> timer_;
};
