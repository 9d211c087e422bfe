#include "platform/cloud/cloud_error.h"

#include "platform/cloud/cloud_record.h"
#include "platform/runtime/format.h"

namespace platform {

ErrorPtr makeCloudError(CloudErrorCode code, std::string description, ValueDictionary extra) {
  ValueDictionary info = std::move(extra);
  info.set(std::string(kLocalizedDescriptionKey), Value(description));
  info.set(std::string(kCloudErrorDescriptionKey), Value(std::move(description)));
  return Error::make(std::string(kCloudErrorDomain), static_cast<std::int64_t>(code), Value(std::move(info)));
}

std::string cloudItemKey(const Value& itemID) {
  if (auto id = itemID.as<CloudRecordID>())
    return "record/" + id->zoneID().zoneName + "/" + id->zoneID().ownerName + "/" + id->recordName();
  return "item/" + itemID.description();
}

ErrorPtr makeCloudPartialFailure(const std::vector<CloudItemError>& itemErrors, std::string description) {
  ValueDictionary byItem;
  for (const CloudItemError& item : itemErrors) {
    if (!item.error) continue;
    ValueDictionary info = item.error->userInfo().asDictionary();
    info.set(std::string(kCloudErrorItemIDKey), item.itemID);
    byItem.set(cloudItemKey(item.itemID),
               Value(Error::make(item.error->domain(), item.error->code(), Value(std::move(info)))));
  }
  ValueDictionary extra;
  extra.set(std::string(kCloudPartialErrorsByItemIDKey), Value(std::move(byItem)));
  return makeCloudError(CloudErrorCode::PartialFailure,
                        format("%s (%zu item(s) failed)", description, itemErrors.size()), std::move(extra));
}

std::vector<CloudItemError> cloudPartialErrors(const Error& error) {
  std::vector<CloudItemError> out;
  if (!isCloudError(error, CloudErrorCode::PartialFailure)) return out;
  const Value& byItem = error.userInfo()[kCloudPartialErrorsByItemIDKey];
  if (!byItem.isDictionary()) return out;
  for (const auto& [key, value] : byItem.asDictionary()) {
    auto itemError = value.as<Error>();
    if (!itemError) continue;
    out.push_back({itemError->userInfo()[kCloudErrorItemIDKey], itemError});
  }
  return out;
}

bool isCloudError(const Error& error, CloudErrorCode code) {
  return error.domain() == kCloudErrorDomain && error.code() == static_cast<std::int64_t>(code);
}

}  // namespace platform
