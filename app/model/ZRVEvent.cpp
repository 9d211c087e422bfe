#include "app/model/ZRVEvent.h"

#include "app/DateUtilities.h"
#include "app/ZRVClock.h"

ZRVEvent::ZRVEvent() {
  setState(ZRVEventStateAdding);
  setDate(DateUtilities::dateAtStartOfDayIgnoreSeconds(ZRVClock::now()));
}

std::shared_ptr<ZRVEvent> ZRVEvent::eventWithRecord(
    std::string_view recordType, std::string_view recordName,
    const std::function<platform::Value(std::string_view)>& valueForField, platform::ErrorPtr* error) {
  if (recordType != ZRVEventRecordType) return nullptr;
  auto event = platform::make<ZRVEvent>(BareTag{});
  event->setUuid(std::string(recordName));
  try {
    for (const std::string& field : event->allCloudProperties()) {
      if (field == "uuid") continue;
      event->setLocalValueFromCloudValue(valueForField(field), field);
    }
  } catch (const platform::Exception& exception) {
    if (exception.name() != platform::kInvalidArgumentException) throw;
    if (error) *error = mf_modelErrorWithException(exception);
    return nullptr;
  }
  return event;
}

bool ZRVEvent::isEqual(const platform::Object& other) const { return isEqualByUuid(other, staticClass()); }

std::size_t ZRVEvent::hash() const { return uuidHash(); }
