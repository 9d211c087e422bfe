#pragma once

// DizEvozidizConnectionProxy: reads and writes single rows without transactions and without waiting
// for writes. It pairs a read-only connection with a read-write connection. Every write is recorded
// at once in the proxy's pending caches, so reads through the proxy see it from the moment the
// write call returns, and joins the current batch; batches are written in the background, one
// asynchronous read-write transaction per batch, in the order they were taken. Reads the pending
// caches cannot answer fall through to a read transaction on the read-only connection, unless the
// fetched-collections filter denies the collection (then they answer nil).
//
// Semantics: a key written several times before its batch is taken is written once with its newest
// value; within a batch, rows are written in no defined order. setObject with nil metadata clears
// the stored metadata; replaceObject and replaceMetadata change only rows that exist (in the pending
// caches, or in the database) and keep the other half; a nil object removes the row.
//
// Failures: a batch whose transaction does not commit loses nothing. Its rows stay pending (reads
// through the proxy keep seeing them), they go back into the current batch, lastBatchError() says
// why, and the batch is written again with the next write, or on its own a second later.
// abortAndReset() is the one way to drop writes: the current batch and every pending entry go;
// batches already handed to a transaction are still written.
//
// Threads: every public member may be called from any thread. All state lives on the proxy's serial
// queue ("DizEvozidizConnectionProxy"); the proxy never holds that queue across a database
// transaction. Queued blocks hold the proxy weakly: once it is released they do nothing (batches
// already in a transaction still commit). Do not call the proxy from a transaction block of its own
// read-only connection (its fall-through reads would wait for that queue).

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/Utilities/DizWhitelistBlacklist.h"
#include "platform/dispatch/dispatch.h"
#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

class DizEvozidizConnectionProxy final : public platform::Object {
  ZORVEL_CLASS(DizEvozidizConnectionProxy, platform::Object)

 public:
  using Ptr = std::shared_ptr<DizEvozidizConnectionProxy>;
  using Filter = std::shared_ptr<DizWhitelistBlacklist>;

  // The database is the given one, else the read-only connection's, else the read-write one's; a
  // missing connection is made with newConnection(). Null when no database can be told.
  static Ptr make(DizEvozidiz::Ptr database, DizEvozidizConnection::Ptr readOnlyConnection = nullptr,
                  DizEvozidizConnection::Ptr readWriteConnection = nullptr);
  ~DizEvozidizConnectionProxy() override;

  const DizEvozidizConnection::Ptr& readOnlyConnection() const { return readOnlyConnection_; }
  const DizEvozidizConnection::Ptr& readWriteConnection() const { return readWriteConnection_; }

  // ---- Reads ----
  platform::Value objectForKey(std::string_view key, std::string_view collection);
  platform::Value metadataForKey(std::string_view key, std::string_view collection);
  // Out-pointers may be null; true when the object is there.
  bool getObject(platform::Value* object, platform::Value* metadata, std::string_view key, std::string_view collection);

  // ---- Writes (each returns at once) ----
  void setObject(const platform::Value& object, std::string_view key, std::string_view collection,
                 const platform::Value& metadata = {});
  void replaceObject(const platform::Value& object, std::string_view key, std::string_view collection);
  void replaceMetadata(const platform::Value& metadata, std::string_view key, std::string_view collection);
  void removeObjectForKey(std::string_view key, std::string_view collection);
  void removeObjectsForKeys(const std::vector<std::string>& keys, std::string_view collection);

  // ---- Control ----
  // Drops the current batch and every pending entry and sets the filter (null: every collection).
  void abortAndReset(Filter fetchedCollectionsFilter);
  Filter fetchedCollectionsFilter() const;
  void setFetchedCollectionsFilter(Filter filter);
  // Why the latest batch that did not commit failed; null once a later batch committed.
  platform::ErrorPtr lastBatchError() const;
  // Keys with a write not yet confirmed committed (objects and metadata counted apart).
  std::size_t pendingCount() const;

 private:
  using DizCollectionKeyValueMap =
      std::unordered_map<DizCollectionKeyPtr, platform::Value, DizCollectionKey::Hasher, DizCollectionKey::Equal>;
  using DizCollectionKeyHashSet =
      std::unordered_set<DizCollectionKeyPtr, DizCollectionKey::Hasher, DizCollectionKey::Equal>;
  DizEvozidizConnectionProxy() = default;
  void init(DizEvozidiz::Ptr database, DizEvozidizConnection::Ptr readOnly, DizEvozidizConnection::Ptr readWrite);
  std::weak_ptr<DizEvozidizConnectionProxy> weakSelf();

  template <class F>
  auto onQueue(F&& f) const;
  // Queue only.
  bool deniedOnQueue(const std::string& collection) const;
  void noteWriteOnQueue();
  void asyncWriteNextBatch();
  void queueBatchForCommit(std::uint64_t commit, DizCollectionKeyValueMap& objects, DizCollectionKeyValueMap& metadata);
  void dequeueBatchForCommit(std::uint64_t commit, const platform::ErrorPtr& error);
  bool rowExists(const DizCollectionKeyPtr& key);
  bool replaceableOnQueue(const DizCollectionKeyPtr& key, bool inDatabase) const;
  platform::Value readHalf(const DizCollectionKeyValueMap& pendingCache, bool metadata, std::string_view key,
                           std::string_view collection);

  platform::DispatchQueuePtr queue_;
  char isOnQueueKey_ = 0;
  DizEvozidizConnection::Ptr readOnlyConnection_;
  DizEvozidizConnection::Ptr readWriteConnection_;

  // Queue only.
  DizCollectionKeyValueMap pendingObjectCache_;    // object or DizNull (removal pending)
  DizCollectionKeyValueMap pendingMetadataCache_;  // metadata or DizNull (cleared or removal pending)
  DizCollectionKeyHashSet currentObjectBatch_;
  DizCollectionKeyHashSet currentMetadataBatch_;
  std::deque<DizCollectionKeyHashSet> pendingObjectBatches_;
  std::deque<DizCollectionKeyHashSet> pendingMetadataBatches_;
  std::deque<std::uint64_t> pendingBatchCommits_;
  std::uint64_t abortAndResetCount_ = 0;
  bool batchWriteScheduled_ = false;  // a batch write will take the current batch
  bool retryScheduled_ = false;
  Filter fetchedCollectionsFilter_;
  platform::ErrorPtr lastBatchError_;
};
