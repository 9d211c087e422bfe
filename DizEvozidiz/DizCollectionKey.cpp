#include "DizEvozidiz/DizCollectionKey.h"

#include <functional>

#include "DizEvozidiz/Utilities/DizHash.h"
#include "platform/codecs/keyed_archiver.h"
#include "platform/runtime/format.h"

namespace {

inline bool sameKeys(const DizCollectionKey& a, const DizCollectionKey& b) {
  return a.hashValue() == b.hashValue() && a.key() == b.key() && a.collection() == b.collection();
}

}  // namespace

DizCollectionKeyPtr DizCollectionKey::make(std::optional<std::string_view> collection,
                                           std::optional<std::string_view> key) {
  if (!key) return nullptr;
  // A plain object: an ordinary shared_ptr, here with the key in the same allocation.
  return std::make_shared<DizCollectionKey>(MadeByMake{}, collection ? std::string(*collection) : std::string(),
                                            std::string(*key));
}

DizCollectionKey::DizCollectionKey(MadeByMake, std::string collection, std::string key)
    : collection_(std::move(collection)), key_(std::move(key)) {
  computeHash();
}

void DizCollectionKey::computeHash() { hash_ = DizHash2x64(stringHash(collection_), stringHash(key_)); }

DizCollectionKeyView::DizCollectionKeyView(std::string_view collection, std::string_view key)
    : collection(collection),
      key(key),
      hash(DizHash2x64(DizCollectionKey::stringHash(collection), DizCollectionKey::stringHash(key))) {}

std::uint64_t DizCollectionKey::stringHash(std::string_view s) { return std::hash<std::string_view>{}(s); }

const platform::Class& DizCollectionKey::staticClass() {
  static const platform::Class* cls = new platform::Class("DizCollectionKey", &platform::Object::staticClass(),
                                                          [] { return platform::makePlain<DizCollectionKey>(); });
  return *cls;
}

const platform::Class& DizCollectionKey::objectClass() const { return staticClass(); }

bool DizCollectionKey::isEqualToCollectionKey(const DizCollectionKey* other) const {
  return other && sameKeys(*this, *other);
}

bool DizCollectionKey::isEqual(const platform::Object& other) const {
  if (&other.objectClass() != &staticClass()) return false;
  return sameKeys(*this, static_cast<const DizCollectionKey&>(other));
}

std::string DizCollectionKey::description() const {
  return platform::format("<DizCollectionKey collection(%@) key(%@)>", collection_, key_);
}

void DizCollectionKey::encodeWithCoder(platform::KeyedArchiver& coder) const {
  coder.encodeValue(platform::Value(collection_), "collection");
  coder.encodeValue(platform::Value(key_), "key");
}

bool DizCollectionKey::initWithCoder(platform::KeyedUnarchiver& coder) {
  const platform::Value collection = coder.decodeValue("collection");
  const platform::Value key = coder.decodeValue("key");
  // A key read from an archive obeys the same rule as a made one: no collection is "".
  collection_ = collection.isString() ? collection.asString() : std::string();
  if (!key.isString()) return false;
  key_ = key.asString();
  computeHash();
  return true;
}

bool DizCollectionKey::Equal::operator()(const DizCollectionKeyPtr& a, const DizCollectionKeyPtr& b) const {
  return a == b || sameKeys(*a, *b);
}

bool DizCollectionKeyEqual(const DizCollectionKey* a, const DizCollectionKey* b) { return a && b && sameKeys(*a, *b); }

std::uint64_t DizCollectionKeyHash(const DizCollectionKey* key) { return key ? key->hashValue() : 0; }
