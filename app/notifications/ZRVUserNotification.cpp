#include "app/notifications/ZRVUserNotification.h"

#include "app/model/ZRVEvent.h"
#include "app/model/ZRVOption.h"
#include "platform/system/crypto.h"

std::shared_ptr<ZRVUserNotification> ZRVUserNotification::notificationWithEvent(const ZRVEvent& event,
                                                                                const ZRVOptionTrigger& trigger) {
  auto notification = platform::make<ZRVUserNotification>();
  notification->setIdentifier(platform::UUID::random().uuidString());
  notification->setTitle(event.name());
  notification->setBody(trigger.stringDescription());
  notification->setDelivery(trigger.deliveryDateForEvent(event));
  notification->setSound(std::string(kDefaultSound));
  notification->setDelivered(false);
  notification->setTrigger(trigger.uuid());
  notification->setEvent(event.uuid());
  return notification;
}

std::shared_ptr<ZRVUserNotification> ZRVUserNotification::copyWithDelivered(bool delivered) const {
  auto copy = std::static_pointer_cast<ZRVUserNotification>(this->copy());
  copy->setDelivered(delivered);
  return copy;
}
