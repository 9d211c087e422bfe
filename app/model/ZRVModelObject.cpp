#include "app/model/ZRVModelObject.h"

#include "app/ZRVClock.h"
#include "platform/system/crypto.h"

ZRVModelObject::ZRVModelObject() {
  platform::Date now = ZRVClock::now();
  setUuid(platform::newUUIDString());
  setCreatedAt(now);
  setUpdatedAt(now);
}

platform::Value ZRVModelObject::decodeValueForKey(std::string_view key, platform::KeyedUnarchiver& coder,
                                                  std::uint64_t modelVersion) {
  // Before version 110 the update date was not kept reliably; the creation date stands in.
  if (key == "updatedAt" && modelVersion <= 109)
    return ZRVSyncableObject::decodeValueForKey("createdAt", coder, modelVersion);
  return ZRVSyncableObject::decodeValueForKey(key, coder, modelVersion);
}

ZRVSyncableObject::KeyMapping ZRVModelObject::buildLocalKeyToCloudKeyMappings() const {
  KeyMapping mapping = ZRVSyncableObject::buildLocalKeyToCloudKeyMappings();
  mapping["createdAt"] = "created";
  mapping["updatedAt"] = "updated";
  return mapping;
}

bool ZRVModelObject::isEqualByUuid(const platform::Object& other, const platform::Class& cls) const {
  if (this == &other) return true;
  if (!other.isKindOf(cls)) return false;
  const auto& model = static_cast<const ZRVModelObject&>(other);
  return uuid() && model.uuid() && *uuid() == *model.uuid();
}

std::size_t ZRVModelObject::uuidHash() const { return uuid() ? std::hash<std::string>{}(*uuid()) : 0; }
