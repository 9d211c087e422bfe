#include "DizEvozidiz/Utilities/DizSet.h"

std::shared_ptr<DizSet> DizSet::withSet(platform::ValueSet set) {
  auto s = platform::make<DizSet>();
  s->storage_ = platform::Value(std::move(set));
  return s;
}

std::shared_ptr<DizSet> DizSet::withDictionary(platform::ValueDictionary dictionary) {
  auto s = platform::make<DizSet>();
  s->storage_ = platform::Value(std::move(dictionary));
  return s;
}

std::shared_ptr<DizSet> DizSet::withMembers(std::shared_ptr<const Members> members) {
  auto s = platform::make<DizSet>();
  s->members_ = std::move(members);
  return s;
}

std::size_t DizSet::count() const { return members_ ? members_->memberCount() : storage_.count(); }

bool DizSet::containsObject(const platform::Value& object) const {
  if (members_) return members_->containsMember(object);
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
  if (members_) {
    members_->enumerateMembers(block);
    return;
  }
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
