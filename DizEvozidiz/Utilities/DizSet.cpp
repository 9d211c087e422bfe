#include "DizEvozidiz/Utilities/DizSet.h"

DizSet DizSet::withSet(platform::ValueSet set) {
  DizSet s;
  s.storage_ = platform::Value(std::move(set));
  return s;
}

DizSet DizSet::withDictionary(platform::ValueDictionary dictionary) {
  DizSet s;
  s.storage_ = platform::Value(std::move(dictionary));
  return s;
}

std::size_t DizSet::count() const { return storage_.count(); }

bool DizSet::containsObject(const platform::Value& object) const {
  if (storage_.isSet()) return storage_.asSet().contains(object);
  return object.isString() && storage_.asDictionary().contains(object.asString());
}

bool DizSet::intersectsSet(const platform::ValueSet& other) const {
  for (const platform::Value& v : other)
    if (containsObject(v)) return true;
  return false;
}

void DizSet::enumerateObjectsUsingBlock(const std::function<void(const platform::Value&, bool&)>& block) const {
  if (!block) return;
  bool stop = false;
  if (storage_.isSet()) {
    for (const platform::Value& v : storage_.asSet()) {
      block(v, stop);
      if (stop) return;
    }
    return;
  }
  for (const auto& entry : storage_.asDictionary()) {
    block(platform::Value(entry.first), stop);
    if (stop) return;
  }
}
