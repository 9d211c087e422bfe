#include "app/model/ZRVSkin.h"

#include <atomic>
#include <memory>

#include "app/model/ZRVCollection.h"

using platform::Value;
using platform::ValueDictionary;

namespace {
std::atomic<std::shared_ptr<const ZRVSkin::ImageLookup>>& imageLookup() {
  static std::atomic<std::shared_ptr<const ZRVSkin::ImageLookup>> lookup;
  return lookup;
}
}  // namespace

ValueDictionary ZRVCollection::JSONKeyPathsByPropertyKey() const {
  return {{"uuid", Value("id")}, {"name", Value("name")}};
}

ValueDictionary ZRVSkin::JSONKeyPathsByPropertyKey() const { return {{"uuid", Value("id")}, {"name", Value("name")}}; }

MFEncodingBehaviors ZRVSkin::encodingBehaviorsByPropertyKey() const {
  MFEncodingBehaviors behaviors = ZRVModelObject::encodingBehaviorsByPropertyKey();
  behaviors["image"] = MFModelEncodingBehaviorExcluded;
  return behaviors;
}

Value ZRVSkin::image() const {
  std::shared_ptr<const ImageLookup> lookup = imageLookup().load(std::memory_order_acquire);
  if (!lookup || !name()) return Value();
  return (*lookup)(*name());
}

void ZRVSkin::setImageLookup(ImageLookup lookup) {
  imageLookup().store(lookup ? std::make_shared<const ImageLookup>(std::move(lookup)) : nullptr,
                      std::memory_order_release);
}
