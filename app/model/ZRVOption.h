#pragma once

// Options kept in collection "Options" under their uuid: notification triggers and the
// review-request state. Both compare by value (the model framework's equality): two triggers with
// the same uuid but different values differ.
//
// Threads: as ZRVSyncableObject; the class functions may be called from any thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/model/ZRVModelObject.h"
#include "platform/system/calendar.h"
#include "platform/system/date.h"

class ZRVEvent;

class ZRVOption : public ZRVModelObject {
  ZORVEL_CLASS(ZRVOption, ZRVModelObject)
};

enum ZRVOptionTriggerType : std::uint64_t {
  ZRVOptionTriggerTypeBuiltIn = 0,  // from the default options
  ZRVOptionTriggerTypeUser = 1,     // added by the user
};

// An offset before an event at which the user is notified: `value` units of `unit`, a calendar
// unit flag (4 year, 8 month, 16 day, 32 hour, 64 minute, 128 second; the stored numbers).
class ZRVOptionTrigger : public ZRVOption {
  ZORVEL_CLASS(ZRVOptionTrigger, ZRVOption)

 public:
  ZORVEL_PROPERTY(std::uint64_t, unit, setUnit)
  ZORVEL_PROPERTY(std::uint64_t, value, setValue)
  ZORVEL_PROPERTY(std::uint64_t, type, setType)
  ZORVEL_PROPERTY(bool, active, setActive)

  static std::shared_ptr<ZRVOptionTrigger> triggerWithUnit(std::uint64_t unit, std::uint64_t value, std::uint64_t type,
                                                           bool active);

  // The event's date less `value` units: calendar arithmetic for years, months and days, fixed
  // lengths for hours, minutes and seconds. nullopt for any other unit or an event without date.
  std::optional<platform::Date> deliveryDateForEvent(const ZRVEvent& event) const;
  // "less than three days", "less than a day", "event has occurred" (numbers spelled out in the
  // current locale).
  std::string stringDescription() const;

  // The six unit flags, years first.
  static std::vector<std::uint64_t> availableUnits();
  // "years", "months", "days", "hours", "minutes", "seconds"; nullopt for other values.
  static std::optional<std::string> nameForUnit(std::uint64_t unit);
};

// The review-request state of one platform (the application uses platform 0).
class ZRVOptionReview : public ZRVOption {
  ZORVEL_CLASS(ZRVOptionReview, ZRVOption)

 public:
  // The user's last answer.
  ZORVEL_PROPERTY(std::uint64_t, status, setStatus)
  // When the last request was answered.
  ZORVEL_PROPERTY(std::optional<::platform::Date>, lastRequestDate, setLastRequestDate, ::platform::Copy)
  ZORVEL_PROPERTY(std::int64_t, numberOfRequests, setNumberOfRequests)
  // Significant events still needed before the next request.
  ZORVEL_PROPERTY(std::int64_t, significantEventsRemain, setSignificantEventsRemain)
  // The platform number (last: inside this class, `platform` names it, not the namespace).
  ZORVEL_PROPERTY(std::uint64_t, platform, setPlatform)
};
