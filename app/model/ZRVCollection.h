#pragma once

// ZRVCollection: a named collection of skins, stored in collection "Collections" under its uuid
// and loaded from the skin catalogue through JSON key paths ("id" -> uuid, "name" -> name).
// Equal by uuid. Threads: as ZRVSyncableObject.

#include <optional>
#include <string>

#include "app/model/ZRVModelObject.h"
#include "model/MFJSONAdapter.h"

class ZRVCollection : public ZRVModelObject, public MFJSONSerializing {
  ZORVEL_CLASS(ZRVCollection, ZRVModelObject)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, name, setName, platform::Copy)

  platform::ValueDictionary JSONKeyPathsByPropertyKey() const override;
  bool isEqual(const platform::Object& other) const override { return isEqualByUuid(other, staticClass()); }
  std::size_t hash() const override { return uuidHash(); }
};
