#pragma once

// ZRVSkin: a picture an event can wear, stored in collection "Skins" under its uuid; `name` is
// also the name of its image resource, `collectionId` the uuid of its ZRVCollection. Loaded from
// the skin catalogue through JSON key paths ("id" -> uuid, "name" -> name; the loader sets
// collectionId). The image is looked up on every call and never archived. Equal by uuid.
//
// Threads: as ZRVSyncableObject; the image lookup may be set and used from any thread.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/model/ZRVModelObject.h"
#include "model/MFJSONAdapter.h"

class ZRVSkin : public ZRVModelObject, public MFJSONSerializing {
  ZORVEL_CLASS(ZRVSkin, ZRVModelObject)

 public:
  // Finds the application's image resource of a name (nil when there is none).
  using ImageLookup = std::function<platform::Value(std::string_view name)>;

  ZORVEL_PROPERTY(std::optional<std::string>, name, setName, platform::Copy)
  ZORVEL_PROPERTY(std::optional<std::string>, collectionId, setCollectionId, platform::Copy)

  // The image resource named `name`, through the lookup the interface installs; nil without one.
  platform::Value image() const;
  ZORVEL_COMPUTED_PROPERTY(image, image)
  static void setImageLookup(ImageLookup lookup);

  platform::ValueDictionary JSONKeyPathsByPropertyKey() const override;
  MFEncodingBehaviors encodingBehaviorsByPropertyKey() const override;
  bool isEqual(const platform::Object& other) const override { return isEqualByUuid(other, staticClass()); }
  std::size_t hash() const override { return uuidHash(); }
};
