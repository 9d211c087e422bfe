#pragma once

// DizCollectionKey: the identity of one stored row, an immutable (collection, key) pair. It keys
// the connections' object and metadata caches, fills change sets and is handed to every extension.
// The hash is computed once, at creation, so equality and hashing stay cheap on the cache paths.
//
// Immutable once made: share it freely between threads. Copying the pointer is the copy.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/object.h"

class DizCollectionKey;
using DizCollectionKeyPtr = std::shared_ptr<DizCollectionKey>;

// A (collection, key) pair borrowed from the caller, with the same hash as the DizCollectionKey it
// names: for looking up containers keyed by DizCollectionKeyPtr without making one. Valid while
// the viewed strings are.
struct DizCollectionKeyView {
  DizCollectionKeyView(std::string_view collection, std::string_view key);
  std::string_view collection;
  std::string_view key;
  std::uint64_t hash;
};

class DizCollectionKey final : public platform::Object {
  ZORVEL_PLAIN_OBJECT

 public:
  // A missing (nullopt) collection is the empty collection; a missing key gives no key (nullptr).
  static DizCollectionKeyPtr make(std::optional<std::string_view> collection, std::optional<std::string_view> key);

  static const platform::Class& staticClass();
  const platform::Class& objectClass() const override;

  const std::string& collection() const { return collection_; }
  const std::string& key() const { return key_; }
  // DizHash2x64 of the collection's and the key's string hashes.
  std::uint64_t hashValue() const { return hash_; }
  std::size_t hash() const override { return static_cast<std::size_t>(hash_); }

  // Hash, then key, then collection, with early exit. False for a null other key.
  bool isEqualToCollectionKey(const DizCollectionKey* other) const;
  // False unless `other` is a DizCollectionKey.
  bool isEqual(const platform::Object& other) const override;
  // "<DizCollectionKey collection(c) key(k)>"
  std::string description() const override;

  // Archived under "collection" and "key"; a missing collection decodes as the empty collection.
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  bool initWithCoder(platform::KeyedUnarchiver& coder) override;

  // Hash and equality for containers keyed by DizCollectionKeyPtr (never null there); both also
  // take a DizCollectionKeyView, so such containers can be searched without making a key.
  struct Hasher {
    using is_transparent = void;
    std::size_t operator()(const DizCollectionKeyPtr& key) const { return static_cast<std::size_t>(key->hash_); }
    std::size_t operator()(const DizCollectionKeyView& key) const { return static_cast<std::size_t>(key.hash); }
  };
  struct Equal {
    using is_transparent = void;
    bool operator()(const DizCollectionKeyPtr& a, const DizCollectionKeyPtr& b) const;
    bool operator()(const DizCollectionKeyPtr& a, const DizCollectionKeyView& b) const {
      return a->hash_ == b.hash && a->key_ == b.key && a->collection_ == b.collection;
    }
    bool operator()(const DizCollectionKeyView& a, const DizCollectionKeyPtr& b) const { return (*this)(b, a); }
  };

  // The string hash used for both halves (the standard library's, the same in every run).
  static std::uint64_t stringHash(std::string_view s);

  // Only for the class registry (a blank key that decoding fills in).
  DizCollectionKey() = default;

 private:
  struct MadeByMake {};  // lets make() build the key and its owner in one allocation

 public:
  DizCollectionKey(MadeByMake, std::string collection, std::string key);

 private:
  void computeHash();

  std::string collection_;
  std::string key_;
  std::uint64_t hash_ = 0;
};

// Plain functions with the same tests (no class check); a null argument makes the keys unequal.
bool DizCollectionKeyEqual(const DizCollectionKey* a, const DizCollectionKey* b);
std::uint64_t DizCollectionKeyHash(const DizCollectionKey* key);
