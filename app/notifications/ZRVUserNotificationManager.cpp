#include "app/notifications/ZRVUserNotificationManager.h"

#include <algorithm>
#include <optional>
#include <string>

#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewTransaction.h"
#include "app/ZRVClock.h"
#include "app/ZRVLogManager.h"
#include "app/model/ZRVEvent.h"
#include "app/model/ZRVOption.h"
#include "platform/system/this_thread.h"
#include "platform/system/thread_safety.h"

namespace {

constexpr std::string_view kClassName = "ZRVUserNotificationManager";

using Notifications = ZRVUserNotificationTransportProtocol::Notifications;

}  // namespace

std::shared_ptr<ZRVUserNotificationManager> ZRVUserNotificationManager::create(
    ZRVUserNotificationTransportPtr transport, ZRVDatabaseManager::Ptr databaseManager) {
  if (!databaseManager) databaseManager = ZRVDatabaseManager::sharedInstance();
  auto manager = platform::make<ZRVUserNotificationManager>(std::move(transport), std::move(databaseManager));
  manager->transport_->setDelegate(std::static_pointer_cast<ZRVUserNotificationTransportDelegate>(manager));
  std::weak_ptr<ZRVUserNotificationManager> weak = manager;
  manager->updateObserver_ = platform::NotificationCenter::defaultCenter()->addObserver(
      std::string(UIDatabaseConnectionDidUpdateNotification), manager->databaseManager_, nullptr,
      [weak](const platform::NotificationPtr& notification) {
        if (auto self = weak.lock()) self->databaseDidUpdated(notification);
      });
  return manager;
}

ZRVUserNotificationManager::ZRVUserNotificationManager(ZRVUserNotificationTransportPtr transport,
                                                       ZRVDatabaseManager::Ptr databaseManager)
    : transport_(std::move(transport)), databaseManager_(std::move(databaseManager)) {}

ZRVUserNotificationManager::~ZRVUserNotificationManager() {
  trace("dealloc");
  if (updateObserver_) platform::NotificationCenter::defaultCenter()->removeObserver(updateObserver_);
}

void ZRVUserNotificationManager::trace(std::string_view method) const {
  ZRVLogHandlePtr log = ZRVLogManager::sharedInstance()->notifications_log();
  if (log && log->isEnabled(ZRVLogType::Info)) log->info("%{public}@ - %{public}@", kClassName, method);
}

void ZRVUserNotificationManager::databaseDidUpdated(const platform::NotificationPtr&) {
  trace("databaseDidUpdated:");
  syncNotifications();
}

void ZRVUserNotificationManager::syncNotifications() {
  ZORVEL_ASSERT_THREAD(platform::isMainThread(), "notifications are synchronised on the main thread");
  trace("syncNotifications");
  // The delivered list is not emptied here: a notification delivered a moment ago stays where the
  // user can still see and click it. The completion keeps the manager alive in case a transport
  // calls it later.
  auto self = std::static_pointer_cast<ZRVUserNotificationManager>(shared_from_this());
  transport_->getScheduledNotificationsWithCompletionHandler(
      [self](Notifications scheduled) { self->reconcile(std::move(scheduled)); });
}

void ZRVUserNotificationManager::reconcile(Notifications scheduled) {
  Notifications leftover = std::move(scheduled);  // removed unless claimed below
  Notifications fresh;
  const auto triggers = databaseManager_->availableTriggers();
  const platform::Date now = ZRVClock::now();

  databaseManager_->backgroundDatabaseConnection()->readWithBlock([&](DizEvozidizReadTransaction& transaction) {
    auto view = std::dynamic_pointer_cast<DizEvozidizViewTransaction>(transaction.ext(ZRVEventsViewName));
    if (view) {
      view->enumerateKeysAndObjectsInGroup(
          std::string(ZRVEventsActiveGroup), 0, std::nullopt, {},
          [&](const std::string&, const std::string&, const platform::Value& object, std::uint64_t, bool&) {
            auto event = object.as<ZRVEvent>();
            if (!event || event->state() == ZRVEventStateComplete) return;
            Notifications eventList;
            std::copy_if(leftover.begin(), leftover.end(), std::back_inserter(eventList),
                         [&](const ZRVUserNotificationPtr& n) { return n->event() == event->uuid(); });
            for (const auto& trigger : triggers) {
              auto candidate = std::find_if(eventList.begin(), eventList.end(), [&](const ZRVUserNotificationPtr& n) {
                return n->trigger() == trigger->uuid();
              });
              const std::optional<platform::Date> delivery = trigger->deliveryDateForEvent(*event);
              if (candidate != eventList.end() && delivery && (*candidate)->delivery() == delivery) {
                const ZRVUserNotificationPtr kept = *candidate;
                std::erase_if(leftover, [&](const ZRVUserNotificationPtr& n) { return n->isEqual(*kept); });
                continue;
              }
              auto notification = ZRVUserNotification::notificationWithEvent(*event, *trigger);
              if (notification->delivery() && now < *notification->delivery()) fresh.push_back(notification);
            }
          });
    }
    for (const auto& notification : leftover) {
      // Due now: the transport delivers it at its next check, whatever became of its event
      // (completing an event at its date must not swallow its last notification).
      if (notification->delivery() && *notification->delivery() <= now) continue;
      transport_->removeScheduledNotification(*notification);
    }
    for (const auto& notification : fresh) transport_->scheduleNotification(notification, [](platform::ErrorPtr) {});
  });
}

void ZRVUserNotificationManager::userNotificationTransportDidActivateNotification(
    ZRVUserNotificationTransportProtocol& transport, const ZRVUserNotificationPtr& notification) {
  ZORVEL_ASSERT_THREAD(platform::isMainThread(), "notification activations arrive on the main thread");
  trace("userNotificationTransport:didActivateNotification:");
  std::shared_ptr<ZRVEvent> event;
  if (notification->event()) {
    databaseManager_->mainDatabaseConnection()->readWithBlock([&](DizEvozidizReadTransaction& transaction) {
      event = transaction.objectForKey(*notification->event(), ZRVEventsCollection).as<ZRVEvent>();
    });
  }
  if (auto delegate = delegate_.lock()) delegate->userActivatedNotificationForEvent(event);
  transport.removeDeliveredNotification(*notification);
}
