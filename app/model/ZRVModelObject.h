#pragma once

// ZRVModelObject: the stored object's identity and dates, and the archive version of every stored
// object. A new object gets a fresh random UUID (its 36-character string) and a creation date
// equal to its update date (ZRVClock::now()).
//
// Archive version 110. Archives of version 109 or lower have no usable "updatedAt": reading one
// takes the "createdAt" value for it. Newer archives than 110 are refused by the model framework.
//
// Cloud fields: "uuid", "created" (createdAt), "updated" (updatedAt).
//
// Threads: as ZRVSyncableObject.

#include <optional>
#include <string>

#include "app/model/ZRVSyncableObject.h"
#include "platform/system/date.h"

class ZRVModelObject : public ZRVSyncableObject {
  ZORVEL_CLASS(ZRVModelObject, ZRVSyncableObject)

 public:
  static constexpr std::uint64_t kModelVersion = 110;

  ZRVModelObject();

  ZORVEL_PROPERTY(std::optional<std::string>, uuid, setUuid, platform::Copy)
  ZORVEL_PROPERTY(std::optional<platform::Date>, createdAt, setCreatedAt, platform::Copy)
  ZORVEL_PROPERTY(std::optional<platform::Date>, updatedAt, setUpdatedAt, platform::Copy)

  std::uint64_t modelVersion() const override { return kModelVersion; }
  platform::Value decodeValueForKey(std::string_view key, platform::KeyedUnarchiver& coder,
                                    std::uint64_t modelVersion) override;
  KeyMapping buildLocalKeyToCloudKeyMappings() const override;

 protected:
  // Identity by UUID, for the classes whose objects are the same thing whatever their other
  // values: true for the same object, or for an instance of `cls` (or a subclass) with an equal
  // UUID; two objects without a UUID are different.
  bool isEqualByUuid(const platform::Object& other, const platform::Class& cls) const;
  // The hash that goes with it.
  std::size_t uuidHash() const;
};
