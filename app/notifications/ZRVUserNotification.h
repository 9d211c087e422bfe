#pragma once

// ZRVUserNotification: one local notification as the application schedules it and as the
// notification transport hands it back. A model value: two notifications are equal when all of
// their properties are (a copy of a scheduled notification equals it; two notifications made for
// the same event and trigger differ by identifier).
//
// What identifies a scheduled notification when it is read back is the pair "event" / "trigger"
// (the two uuids); the transport keeps them with the notification it hands to the desktop.
//
// Threads: as every model object, build it on one thread and then share it read-only.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "model/MFModel.h"
#include "platform/system/date.h"

class ZRVEvent;
class ZRVOptionTrigger;

class ZRVUserNotification : public MFModel {
  ZORVEL_CLASS(ZRVUserNotification, MFModel)

 public:
  // The sound every notification asks for (the desktop's "new instant message" sound).
  static constexpr std::string_view kDefaultSound = "message-new-instant";

  // A new UUID string per notification made by the application.
  ZORVEL_PROPERTY(std::optional<std::string>, identifier, setIdentifier, platform::Copy)
  // The event's name.
  ZORVEL_PROPERTY(std::optional<std::string>, title, setTitle, platform::Copy)
  // The trigger's text.
  ZORVEL_PROPERTY(std::optional<std::string>, body, setBody, platform::Copy)
  // When it is shown: the trigger's delivery date for the event (none for a trigger whose unit
  // names no calendar unit, or an event without a date).
  ZORVEL_PROPERTY(std::optional<platform::Date>, delivery, setDelivery, platform::Copy)
  ZORVEL_PROPERTY(std::optional<std::string>, sound, setSound, platform::Copy)
  // False when made; true on the notifications of the transport's delivered list.
  ZORVEL_PROPERTY_WITH_GETTER(bool, delivered, isDelivered, setDelivered)
  // The trigger's and the event's uuids.
  ZORVEL_PROPERTY(std::optional<std::string>, trigger, setTrigger, platform::Copy)
  ZORVEL_PROPERTY(std::optional<std::string>, event, setEvent, platform::Copy)

  // A notification for the event at the trigger's offset: a fresh identifier, the event's name,
  // the trigger's text, the trigger's delivery date for the event, the default sound, not
  // delivered, and both uuids.
  static std::shared_ptr<ZRVUserNotification> notificationWithEvent(const ZRVEvent& event,
                                                                    const ZRVOptionTrigger& trigger);

  // A copy of this notification (same identifier) with the delivered flag set as given.
  std::shared_ptr<ZRVUserNotification> copyWithDelivered(bool delivered) const;
};

using ZRVUserNotificationPtr = std::shared_ptr<ZRVUserNotification>;
