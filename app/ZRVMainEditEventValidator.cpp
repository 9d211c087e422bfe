#include "app/ZRVMainEditEventValidator.h"

#include "app/DateUtilities.h"
#include "app/ZRVClock.h"

ZRVMainEditEventValidator::ZRVMainEditEventValidator(const ZRVEvent& event)
    : initialEvent_(std::static_pointer_cast<ZRVEvent>(event.copy())) {}

bool ZRVMainEditEventValidator::isEventHasChanges(const ZRVEvent& event) const {
  // Compared as dictionary values, where a missing value is the null marker on both sides.
  platform::ValueDictionary initial = initialEvent_->dictionaryValue();
  for (const auto& [key, value] : event.dictionaryValue()) {
    const platform::Value* before = initial.find(key);
    if (!before || !(*before == value)) return true;
  }
  return false;
}

bool ZRVMainEditEventValidator::isEventCanBeSaved(const ZRVEvent& event) const {
  std::optional<std::string> name = event.name();
  std::optional<platform::Date> date = event.date();
  return name && !name->empty() && date && DateUtilities::isLaterThanDate(*date, ZRVClock::now());
}

bool ZRVMainEditEventValidator::isEventCanBeDeleted(const ZRVEvent& event) const {
  return event.state() != ZRVEventStateAdding;
}
