#pragma once

// DizProxyObject: a lazy stand-in for a row's object or metadata. The hooks extension hands such
// proxies to its blocks so that a value is read only when a block asks for it. A proxy reset with a
// row loads the value on the first `realObject()` and keeps it until the next reset; a proxy reset
// with a value never reads anything.
//
// Belongs to one transaction: use on its connection's queue only.

#include <cstdint>
#include <memory>

#include "DizEvozidiz/DizCollectionKey.h"
#include "platform/runtime/value.h"

// What a proxy reads from: the read transaction implements it.
class DizProxyObjectSource {
 public:
  virtual ~DizProxyObjectSource() = default;
  virtual platform::Value objectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) = 0;
  virtual platform::Value metadataForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) = 0;
};

class DizProxyObject {
 public:
  DizProxyObject() = default;

  // Forgets any held value and remembers where to load from.
  void resetWithRowid(std::int64_t rowid, DizCollectionKeyPtr collectionKey, bool isMetadata,
                      std::shared_ptr<DizProxyObjectSource> transaction);
  // Holds the value and forgets the row.
  void resetWithRealObject(platform::Value object);
  // Forgets the value, the collection key and the transaction.
  void reset();

  bool isRealObjectLoaded() const { return !realObject_.isNil(); }
  // The held value, loading it once from the transaction when a row is set; nil when there is
  // nothing to load or the row has none.
  const platform::Value& realObject();

  std::int64_t rowid() const { return rowid_; }
  const DizCollectionKeyPtr& collectionKey() const { return collectionKey_; }
  bool isMetadata() const { return isMetadata_; }

 private:
  platform::Value realObject_;
  bool loaded_ = false;  // the value is final until the next reset
  std::int64_t rowid_ = 0;
  DizCollectionKeyPtr collectionKey_;
  bool isMetadata_ = false;
  std::shared_ptr<DizProxyObjectSource> transaction_;
};
