#include "DizEvozidiz/DizEvozidizConnectionProxy.h"

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Utilities/DizMarkers.h"

using platform::Value;

namespace {

// How long a batch that did not commit waits before it is written again without a new write.
constexpr double kRetryDelaySeconds = 1.0;

Value pendingValue(const Value& value) { return value.isNil() ? DizNull::value() : value; }
Value delivered(const Value& pending) { return DizNull::isNull(pending) ? Value() : pending; }

}  // namespace

DizEvozidizConnectionProxy::Ptr DizEvozidizConnectionProxy::make(DizEvozidiz::Ptr database,
                                                                 DizEvozidizConnection::Ptr readOnlyConnection,
                                                                 DizEvozidizConnection::Ptr readWriteConnection) {
  if (!database) database = readOnlyConnection ? readOnlyConnection->database() : nullptr;
  if (!database) database = readWriteConnection ? readWriteConnection->database() : nullptr;
  if (!database) return nullptr;
  auto proxy = platform::make<DizEvozidizConnectionProxy>();
  proxy->init(std::move(database), std::move(readOnlyConnection), std::move(readWriteConnection));
  return proxy;
}

void DizEvozidizConnectionProxy::init(DizEvozidiz::Ptr database, DizEvozidizConnection::Ptr readOnly,
                                      DizEvozidizConnection::Ptr readWrite) {
  queue_ = platform::DispatchQueue::createSerial("DizEvozidizConnectionProxy");
  queue_->setSpecific(&isOnQueueKey_, &isOnQueueKey_);
  readOnlyConnection_ = readOnly ? std::move(readOnly) : database->newConnection();
  readWriteConnection_ = readWrite ? std::move(readWrite) : database->newConnection();
}

DizEvozidizConnectionProxy::~DizEvozidizConnectionProxy() = default;

std::weak_ptr<DizEvozidizConnectionProxy> DizEvozidizConnectionProxy::weakSelf() {
  return std::static_pointer_cast<DizEvozidizConnectionProxy>(shared_from_this());
}

template <class F>
auto DizEvozidizConnectionProxy::onQueue(F&& f) const {
  using R = decltype(f());
  if (platform::DispatchQueue::getSpecificCurrent(&isOnQueueKey_)) return f();
  if constexpr (std::is_void_v<R>) {
    queue_->sync(f);
  } else {
    std::optional<R> result;
    queue_->sync([&] { result.emplace(f()); });
    return std::move(*result);
  }
}

bool DizEvozidizConnectionProxy::deniedOnQueue(const std::string& collection) const {
  return fetchedCollectionsFilter_ && !fetchedCollectionsFilter_->isAllowed(collection);
}

// ---------------------------------------------------------------------------------------------
// Reads

// One half of a row: the pending entry, else (unless the collection is denied) the database's.
Value DizEvozidizConnectionProxy::readHalf(const DizCollectionKeyValueMap& pendingCache, bool metadata,
                                           std::string_view key, std::string_view collection) {
  const DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);
  std::optional<Value> pending;
  bool denied = false;
  onQueue([&] {
    if (auto it = pendingCache.find(ck); it != pendingCache.end())
      pending = it->second;
    else
      denied = deniedOnQueue(ck->collection());
  });
  if (pending) return delivered(*pending);
  if (denied) return {};
  Value result;
  readOnlyConnection_->readWithBlock([&](DizEvozidizReadTransaction& t) {
    result = metadata ? t.metadataForKey(key, collection) : t.objectForKey(key, collection);
  });
  return result;
}

Value DizEvozidizConnectionProxy::objectForKey(std::string_view key, std::string_view collection) {
  return readHalf(pendingObjectCache_, false, key, collection);
}

Value DizEvozidizConnectionProxy::metadataForKey(std::string_view key, std::string_view collection) {
  return readHalf(pendingMetadataCache_, true, key, collection);
}

bool DizEvozidizConnectionProxy::getObject(Value* object, Value* metadata, std::string_view key,
                                           std::string_view collection) {
  const DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);
  std::optional<Value> pendingObject;
  std::optional<Value> pendingMetadata;
  bool denied = false;
  onQueue([&] {
    if (auto it = pendingObjectCache_.find(ck); it != pendingObjectCache_.end()) pendingObject = it->second;
    if (auto it = pendingMetadataCache_.find(ck); it != pendingMetadataCache_.end()) pendingMetadata = it->second;
    if (!pendingObject || !pendingMetadata) denied = deniedOnQueue(ck->collection());
  });
  Value foundObject = pendingObject ? delivered(*pendingObject) : Value();
  Value foundMetadata = pendingMetadata ? delivered(*pendingMetadata) : Value();
  if ((!pendingObject || !pendingMetadata) && !denied) {
    readOnlyConnection_->readWithBlock([&](DizEvozidizReadTransaction& t) {
      if (pendingObject)
        foundMetadata = t.metadataForKey(key, collection);
      else if (pendingMetadata)
        foundObject = t.objectForKey(key, collection);
      else
        t.getObject(&foundObject, &foundMetadata, key, collection);
    });
  }
  if (object) *object = foundObject;
  if (metadata) *metadata = foundMetadata;
  return !foundObject.isNil();
}

// ---------------------------------------------------------------------------------------------
// Writes

// After a write joined the current batch: makes sure a batch write will take it. Queue only.
void DizEvozidizConnectionProxy::noteWriteOnQueue() {
  if (batchWriteScheduled_) return;
  batchWriteScheduled_ = true;
  asyncWriteNextBatch();
}

void DizEvozidizConnectionProxy::setObject(const Value& object, std::string_view key, std::string_view collection,
                                           const Value& metadata) {
  if (object.isNil()) {
    removeObjectForKey(key, collection);
    return;
  }
  const DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);
  onQueue([&] {
    pendingObjectCache_[ck] = object;
    pendingMetadataCache_[ck] = pendingValue(metadata);
    currentObjectBatch_.insert(ck);
    currentMetadataBatch_.insert(ck);
    noteWriteOnQueue();
  });
}

// Whether a row may be replaced: an object pending (not a removal), or, with nothing pending, the
// row in the database (a denied collection counts as without the row).
bool DizEvozidizConnectionProxy::rowExists(const DizCollectionKeyPtr& ck) {
  bool denied = false;
  onQueue([&] { denied = deniedOnQueue(ck->collection()); });
  bool found = false;
  if (!denied)
    readOnlyConnection_->readWithBlock(
        [&](DizEvozidizReadTransaction& t) { found = t.hasObjectForKey(ck->key(), ck->collection()); });
  return found;
}

// On the queue: a pending entry decides (a removal is no row); without one, what rowExists found.
bool DizEvozidizConnectionProxy::replaceableOnQueue(const DizCollectionKeyPtr& ck, bool inDatabase) const {
  auto it = pendingObjectCache_.find(ck);
  return it != pendingObjectCache_.end() ? !DizNull::isNull(it->second) : inDatabase;
}

void DizEvozidizConnectionProxy::replaceObject(const Value& object, std::string_view key, std::string_view collection) {
  if (object.isNil()) {
    removeObjectForKey(key, collection);
    return;
  }
  const DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);
  const bool inDatabase = rowExists(ck);
  onQueue([&] {
    if (!replaceableOnQueue(ck, inDatabase)) return;
    pendingObjectCache_[ck] = object;
    currentObjectBatch_.insert(ck);
    noteWriteOnQueue();
  });
}

void DizEvozidizConnectionProxy::replaceMetadata(const Value& metadata, std::string_view key,
                                                 std::string_view collection) {
  const DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);
  const bool inDatabase = rowExists(ck);
  onQueue([&] {
    if (!replaceableOnQueue(ck, inDatabase)) return;
    pendingMetadataCache_[ck] = pendingValue(metadata);
    currentMetadataBatch_.insert(ck);
    noteWriteOnQueue();
  });
}

void DizEvozidizConnectionProxy::removeObjectForKey(std::string_view key, std::string_view collection) {
  removeObjectsForKeys({std::string(key)}, collection);
}

void DizEvozidizConnectionProxy::removeObjectsForKeys(const std::vector<std::string>& keys,
                                                      std::string_view collection) {
  if (keys.empty()) return;
  onQueue([&] {
    for (const std::string& key : keys) {
      const DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);
      pendingObjectCache_[ck] = DizNull::value();
      pendingMetadataCache_[ck] = DizNull::value();
      currentObjectBatch_.insert(ck);
      currentMetadataBatch_.insert(ck);
    }
    noteWriteOnQueue();
  });
}

// ---------------------------------------------------------------------------------------------
// Control

void DizEvozidizConnectionProxy::abortAndReset(Filter filter) {
  onQueue([&] {
    // The batch write already scheduled would take the new writes' batch after this; it skips its
    // turn instead, and the next write schedules its own.
    if (batchWriteScheduled_) {
      ++abortAndResetCount_;
      batchWriteScheduled_ = false;
    }
    fetchedCollectionsFilter_ = std::move(filter);
    pendingObjectCache_.clear();
    currentObjectBatch_.clear();
    pendingMetadataCache_.clear();
    currentMetadataBatch_.clear();
  });
}

DizEvozidizConnectionProxy::Filter DizEvozidizConnectionProxy::fetchedCollectionsFilter() const {
  return onQueue([&] { return fetchedCollectionsFilter_; });
}

void DizEvozidizConnectionProxy::setFetchedCollectionsFilter(Filter filter) {
  onQueue([&] { fetchedCollectionsFilter_ = std::move(filter); });
}

platform::ErrorPtr DizEvozidizConnectionProxy::lastBatchError() const {
  return onQueue([&] { return lastBatchError_; });
}

std::size_t DizEvozidizConnectionProxy::pendingCount() const {
  return onQueue([&] { return pendingObjectCache_.size() + pendingMetadataCache_.size(); });
}

// ---------------------------------------------------------------------------------------------
// Batches

void DizEvozidizConnectionProxy::asyncWriteNextBatch() {
  struct Turn {
    std::uint64_t commit = 0;
    bool ran = false;  // the transaction's block ran and took (or skipped) its batch
  };
  auto turn = std::make_shared<Turn>();
  std::weak_ptr<DizEvozidizConnectionProxy> weak = weakSelf();
  readWriteConnection_->asyncReadWriteWithBlock(
      [weak, turn](DizEvozidizReadWriteTransaction& t) {
        auto self = weak.lock();
        if (!self) return;
        // The snapshot this transaction commits when it changes anything.
        turn->commit = t.connection()->snapshot() + 1;
        turn->ran = true;
        DizCollectionKeyValueMap objects;
        DizCollectionKeyValueMap metadata;
        self->queue_->sync([&] { self->queueBatchForCommit(turn->commit, objects, metadata); });
        for (const auto& [ck, object] : objects) {
          if (DizNull::isNull(object)) {
            t.removeObjectForKey(ck->key(), ck->collection());
          } else if (auto it = metadata.find(ck); it != metadata.end()) {
            t.setObject(object, ck->key(), ck->collection(), delivered(it->second));
          } else {
            t.replaceObject(object, ck->key(), ck->collection());
          }
          metadata.erase(ck);
        }
        for (const auto& [ck, value] : metadata) t.replaceMetadata(delivered(value), ck->key(), ck->collection());
      },
      [weak, turn](const platform::ErrorPtr& error) {
        auto self = weak.lock();
        if (!self) return;
        if (!turn->ran) {
          // The transaction never began (no handle, BEGIN failed): this turn is over untaken.
          if (self->abortAndResetCount_ > 0)
            --self->abortAndResetCount_;
          else
            self->batchWriteScheduled_ = false;
        }
        self->dequeueBatchForCommit(turn->commit, error);
      },
      queue_);
}

void DizEvozidizConnectionProxy::queueBatchForCommit(std::uint64_t commit, DizCollectionKeyValueMap& objects,
                                                     DizCollectionKeyValueMap& metadata) {
  if (abortAndResetCount_ > 0) {
    --abortAndResetCount_;
    return;
  }
  batchWriteScheduled_ = false;
  if (currentObjectBatch_.empty() && currentMetadataBatch_.empty()) return;
  for (const auto& ck : currentObjectBatch_) objects.emplace(ck, pendingObjectCache_.at(ck));
  for (const auto& ck : currentMetadataBatch_) metadata.emplace(ck, pendingMetadataCache_.at(ck));
  // A key is in one batch only: the newest that holds it.
  for (auto& older : pendingObjectBatches_)
    for (const auto& ck : currentObjectBatch_) older.erase(ck);
  for (auto& older : pendingMetadataBatches_)
    for (const auto& ck : currentMetadataBatch_) older.erase(ck);
  pendingObjectBatches_.push_back(std::exchange(currentObjectBatch_, {}));
  pendingMetadataBatches_.push_back(std::exchange(currentMetadataBatch_, {}));
  pendingBatchCommits_.push_back(commit);
}

void DizEvozidizConnectionProxy::dequeueBatchForCommit(std::uint64_t commit, const platform::ErrorPtr& error) {
  DizCollectionKeyHashSet objects;
  DizCollectionKeyHashSet metadata;
  if (!pendingBatchCommits_.empty() && pendingBatchCommits_.front() == commit) {
    objects = std::move(pendingObjectBatches_.front());
    metadata = std::move(pendingMetadataBatches_.front());
    pendingObjectBatches_.pop_front();
    pendingMetadataBatches_.pop_front();
    pendingBatchCommits_.pop_front();
  } else if (!error) {
    return;
  }
  if (!error) {
    lastBatchError_ = nullptr;
    for (const auto& ck : objects)
      if (!currentObjectBatch_.contains(ck)) pendingObjectCache_.erase(ck);
    for (const auto& ck : metadata)
      if (!currentMetadataBatch_.contains(ck)) pendingMetadataCache_.erase(ck);
    return;
  }
  // Nothing of the batch was kept: its rows stay pending and go into the next batch. Entries that
  // an abortAndReset dropped meanwhile stay dropped.
  lastBatchError_ = error;
  DIZ_CONN_LOG_ERROR("%@: A batch of the connection proxy did not commit and will be written again: %@", error);
  for (const auto& ck : objects)
    if (pendingObjectCache_.contains(ck)) currentObjectBatch_.insert(ck);
  for (const auto& ck : metadata)
    if (pendingMetadataCache_.contains(ck)) currentMetadataBatch_.insert(ck);
  if (batchWriteScheduled_ || retryScheduled_ || (currentObjectBatch_.empty() && currentMetadataBatch_.empty())) return;
  retryScheduled_ = true;
  std::weak_ptr<DizEvozidizConnectionProxy> weak = weakSelf();
  queue_->after(kRetryDelaySeconds, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->retryScheduled_ = false;
    if (!self->currentObjectBatch_.empty() || !self->currentMetadataBatch_.empty()) self->noteWriteOnQueue();
  });
}
