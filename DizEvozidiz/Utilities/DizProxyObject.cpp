#include "DizEvozidiz/Utilities/DizProxyObject.h"

void DizProxyObject::resetWithRowid(std::int64_t rowid, DizCollectionKeyPtr collectionKey, bool isMetadata,
                                    std::shared_ptr<DizProxyObjectSource> transaction) {
  realObject_ = platform::Value();
  loaded_ = false;
  rowid_ = rowid;
  collectionKey_ = std::move(collectionKey);
  isMetadata_ = isMetadata;
  transaction_ = std::move(transaction);
}

void DizProxyObject::resetWithRealObject(platform::Value object) {
  realObject_ = std::move(object);
  loaded_ = true;
  rowid_ = 0;
  collectionKey_.reset();
  transaction_.reset();
}

void DizProxyObject::reset() {
  realObject_ = platform::Value();
  loaded_ = false;
  collectionKey_.reset();
  transaction_.reset();
}

const platform::Value& DizProxyObject::realObject() {
  if (!loaded_ && collectionKey_ && transaction_) {
    realObject_ = isMetadata_ ? transaction_->metadataForCollectionKey(collectionKey_, rowid_)
                              : transaction_->objectForCollectionKey(collectionKey_, rowid_);
    // Loaded once per reset, even when the row has no value.
    loaded_ = true;
    transaction_.reset();
  }
  return realObject_;
}
