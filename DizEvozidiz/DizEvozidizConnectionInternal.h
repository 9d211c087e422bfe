#pragma once

#ifndef ZORVEL_INTERNAL_store
#error "DizEvozidiz/DizEvozidizConnectionInternal.h is internal to the store and its extensions"
#endif

// What every DizEvozidizConnection is: the connection's internals, for the transactions, the
// database, the extensions and the tests. It owns the SQLite handle (opened through the database's
// file-system shim, or taken from the database's pool of released handles), three caches (rowid <->
// collection key, collection key -> object, collection key -> metadata), the lazily prepared
// statements, the change records of the running read-write transaction, and its snapshot: the
// commit counter its current or last transaction saw. It overrides every operation of the abstract
// DizEvozidizConnection.

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DizEvozidiz/DizCache.h"
#include "DizEvozidiz/DizCollectionKey.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizExtensionInternal.h"
#include "DizEvozidiz/DizEvozidizInternal.h"
#include "DizEvozidiz/DizFlatMap.h"
#include "DizEvozidiz/Utilities/DizMutationStack.h"
#include "DizEvozidiz/Utilities/DizSet.h"
#include "platform/system/locks.h"
#include "platform/system/thread_safety.h"

// An error of DizEvozidizErrorDomain: the description, followed, when `resultCode` is not SQLITE_OK,
// by the code and the handle's message (SQLite's text for the code without a handle).
platform::ErrorPtr DizEvozidizMakeError(std::int64_t code, const std::string& description, sqlite3* db, int resultCode);

using DizCollectionKeyHashSet =
    std::unordered_set<DizCollectionKeyPtr, DizCollectionKey::Hasher, DizCollectionKey::Equal>;
using DizCollectionKeyValueMap =
    std::unordered_map<DizCollectionKeyPtr, platform::Value, DizCollectionKey::Hasher, DizCollectionKey::Equal>;

// The tables of the change records (see DizFlatMap.h).
using DizChangeMap =
    DizFlatMap<DizCollectionKeyPtr, platform::Value, DizCollectionKey::Hasher, DizCollectionKey::Equal>;
using DizChangeKeySet = DizFlatSet<DizCollectionKeyPtr, DizCollectionKey::Hasher, DizCollectionKey::Equal>;
using DizChangeRowidSet = DizFlatSet<std::int64_t>;

// The change-record containers of a read-write transaction. Objects (not plain containers) so that a
// changeset can hold them by reference: after a commit the connection drops its references and the
// published containers are never changed again, so other connections read them concurrently. The
// external changeset wraps them in DizSet facades (DizSet::Members), which show which rows or
// collections changed but never the values.

// Collection key -> change value: the object, DizNull::value() (removed) or DizTouch::value() (touched).
// Its members, as a set, are the collection keys.
class DizChangedValues final : public platform::Object, public DizSet::Members {
  ZORVEL_CLASS(DizChangedValues, platform::Object)
 public:
  DizChangedValues() = default;
  DizChangeMap map;

  std::size_t memberCount() const override { return map.size(); }
  bool containsMember(const platform::Value& member) const override;
  void enumerateMembers(const std::function<void(const platform::Value&, bool&)>& block) const override;
};

class DizCollectionKeySet final : public platform::Object, public DizSet::Members {
  ZORVEL_CLASS(DizCollectionKeySet, platform::Object)
 public:
  DizCollectionKeySet() = default;
  DizChangeKeySet set;

  std::size_t memberCount() const override { return set.size(); }
  bool containsMember(const platform::Value& member) const override;
  void enumerateMembers(const std::function<void(const platform::Value&, bool&)>& block) const override;
};

// Collection names.
class DizStringSet final : public platform::Object, public DizSet::Members {
  ZORVEL_CLASS(DizStringSet, platform::Object)
 public:
  DizStringSet() = default;
  std::unordered_set<std::string> set;

  std::size_t memberCount() const override { return set.size(); }
  bool containsMember(const platform::Value& member) const override;
  void enumerateMembers(const std::function<void(const platform::Value&, bool&)>& block) const override;
};

class DizRowidHashSet final : public platform::Object {
  ZORVEL_CLASS(DizRowidHashSet, platform::Object)
 public:
  DizRowidHashSet() = default;
  DizChangeRowidSet set;
};

class DizEvozidizConnectionInternal final : public DizEvozidizConnection, public DizEvozidizConnectionHooks {
 public:
  using Ptr = std::shared_ptr<DizEvozidizConnectionInternal>;
  using ObjectCache = DizCache<DizCollectionKeyPtr, platform::Value, DizCollectionKey::Hasher, DizCollectionKey::Equal>;
  using KeyCache =
      DizBidirectionalCache<std::int64_t, DizCollectionKeyPtr, std::hash<std::int64_t>, std::equal_to<std::int64_t>,
                            DizCollectionKey::Hasher, DizCollectionKey::Equal>;

  // Made by DizEvozidiz::newConnection. Returns at once; the connection registers with the database
  // and takes its snapshot on its own queue, ahead of anything queued on it later.
  static Ptr make(const std::shared_ptr<DizEvozidizInternal>& database);
  DizEvozidizConnectionInternal() : DizEvozidizConnection(InternalOnly{}) {}
  ~DizEvozidizConnectionInternal() override;

  // ---- DizEvozidizConnection (documented there) ----
  DizEvozidiz::Ptr database() const override { return database_; }
  bool isUsable() const override { return db != nullptr; }
  std::string name() const override;
  void setName(std::string name) override;
  bool objectCacheEnabled() const override;
  void setObjectCacheEnabled(bool enabled) override;
  std::uint64_t objectCacheLimit() const override;
  void setObjectCacheLimit(std::uint64_t limit) override;
  bool metadataCacheEnabled() const override;
  void setMetadataCacheEnabled(bool enabled) override;
  std::uint64_t metadataCacheLimit() const override;
  void setMetadataCacheLimit(std::uint64_t limit) override;
  std::int64_t objectPolicy() const override;
  void setObjectPolicy(std::int64_t policy) override;
  std::int64_t metadataPolicy() const override;
  void setMetadataPolicy(std::int64_t policy) override;
  std::uint64_t keyCacheLimit() const override;
  std::uint64_t snapshot() const override;
  void readWithBlock(const ReadBlock& block) override;
  void asyncReadWithBlock(ReadBlock block, CompletionBlock completion,
                          platform::DispatchQueuePtr completionQueue) override;
  [[nodiscard]] bool readWriteWithBlock(const ReadWriteBlock& block, platform::ErrorPtr* error) override;
  void asyncReadWriteWithBlock(ReadWriteBlock block, ReadWriteCompletionBlock completion,
                               platform::DispatchQueuePtr completionQueue) override;
  void asyncReadWriteWithBlock(ReadWriteBlock block, CompletionBlock completion,
                               platform::DispatchQueuePtr completionQueue) override;
  void flushTransactionsWithCompletionQueue(platform::DispatchQueuePtr completionQueue,
                                            CompletionBlock completion) override;
  std::vector<platform::NotificationPtr> beginLongLivedReadTransaction() override;
  std::optional<std::vector<platform::NotificationPtr>> endLongLivedReadTransaction() override;
  bool isInLongLivedReadTransaction() const override;
  void enableExceptionsForImplicitlyEndingLongLivedReadTransaction() override;
  void disableExceptionsForImplicitlyEndingLongLivedReadTransaction() override;
  platform::Exception implicitlyEndingLongLivedReadTransactionException() const override;
  [[nodiscard]] bool vacuum(platform::ErrorPtr* error) override;
  [[nodiscard]] platform::ErrorPtr backupToPath(const std::string& path) override;
  void flushMemoryWithFlags(unsigned flags) override;
  void asyncVacuum(std::function<void(const platform::ErrorPtr&)> completion,
                   platform::DispatchQueuePtr completionQueue) override;
  std::shared_ptr<platform::Progress> asyncBackupToPath(std::string path,
                                                        std::function<void(const platform::ErrorPtr&)> completion,
                                                        platform::DispatchQueuePtr completionQueue) override;
  std::string pragmaSynchronous() const override;
  std::int64_t pragmaPageSize() const override;
  std::int64_t pragmaMMapSize() const override;
  std::string pragmaAutoVacuum() const override;
  DizEvozidizExtensionConnectionPtr extension(std::string_view name) override;
  DizEvozidizExtensionsByName registeredExtensions() const override;
  DizMemoryTablesByName registeredMemoryTables() const override;
  [[nodiscard]] bool registerMemoryTable(const std::shared_ptr<DizMemoryTable>& table, std::string_view name) override;
  void unregisterMemoryTableWithName(std::string_view name) override;
  [[nodiscard]] bool registerExtension(const DizEvozidizExtensionPtr& extension, const std::string& name,
                                       platform::ErrorPtr* error) override;
  [[nodiscard]] platform::ErrorPtr unregisterExtensionWithName(const std::string& name) override;

  // DizEvozidizConnectionHooks: called by the database's checkpointer on its snapshot queue.
  void maybeResetLongLivedReadTransaction() override;

  // ================= transaction state (connection queue / write queue only) =================
  // Read and written only on the connection's queue, or on the write queue while the connection
  // queue waits for it (inside a read-write transaction). Nothing here is locked.

  sqlite3* db = nullptr;
  diz_file* main_file = nullptr;
  diz_file* wal_file = nullptr;

  KeyCache keyCache;
  std::unique_ptr<ObjectCache> objectCache;    // null while disabled
  std::unique_ptr<ObjectCache> metadataCache;  // null while disabled

  // Change record of the running read-write transaction: made empty before each read-write
  // transaction, published in the changesets by the commit (and then replaced).
  std::shared_ptr<DizChangedValues> objectChanges;
  std::shared_ptr<DizChangedValues> metadataChanges;
  std::shared_ptr<DizCollectionKeySet> removedKeys;
  std::shared_ptr<DizStringSet> removedCollections;
  std::shared_ptr<DizRowidHashSet> removedRowids;
  bool allKeysRemoved = false;
  bool hasDiskChanges = false;
  bool externallyModified = false;
  std::shared_ptr<DizMutationStack_Bool> mutationStack;

  // Registries, extension connections and their change flags (DizEvozidizExtensionInternal.h).
  std::unique_ptr<DizConnectionExtensionState> extensionState;

  // ---- Damaged extension tables ----
  // An extension whose own SQL tables answered SQLITE_CORRUPT notes them here, with its registered
  // name. When the read-write transaction that met them has ended (rolled back: its writes failed),
  // the connection drops those tables and the extension's values from "diz2", logs the damage, and
  // builds a registered extension again from the stored rows, in a read-write transaction of its
  // own; a registration that met them runs once more. Extensions keep only what the rows give again,
  // so nothing is lost. Damage noted by a read transaction waits for the next read-write one.
  // Connection queue (or the write queue inside a read-write transaction) only.
  void noteDamagedExtensionTables(const std::string& extensionName, const std::vector<std::string>& tables);
  // Whether `resultCode` (a primary or extended SQLite code) says the file's pages are damaged.
  static bool isCorruptionResult(int resultCode);

  // ---- Damaged rows ----
  // A statement of the store's own tables failed with `status`: when it says the file is damaged,
  // the running transaction answers hasMetCorruption() (its nil and empty answers may hide rows),
  // and the database records the damage beside the file, so that its next opening checks the file
  // and applies the corrupt action. Connection queue (or the write queue) only.
  void noteStatementFailure(int status);
  bool corruptionMetInTransaction = false;  // reset by each new transaction object

  // The database's closures (never empty for the (de)serializers; sanitizers may be empty).
  const DizEvozidizSerializer& objectSerializer() const { return database_->objectSerializer(); }
  const DizEvozidizDeserializer& objectDeserializer() const { return database_->objectDeserializer(); }
  const DizEvozidizSerializer& metadataSerializer() const { return database_->metadataSerializer(); }
  const DizEvozidizDeserializer& metadataDeserializer() const { return database_->metadataDeserializer(); }
  const DizEvozidizPreSanitizer& objectPreSanitizer() const { return database_->objectPreSanitizer(); }
  const DizEvozidizPostSanitizer& objectPostSanitizer() const { return database_->objectPostSanitizer(); }
  const DizEvozidizPreSanitizer& metadataPreSanitizer() const { return database_->metadataPreSanitizer(); }
  const DizEvozidizPostSanitizer& metadataPostSanitizer() const { return database_->metadataPostSanitizer(); }

  // Kept statements: prepared on first use, kept until flushed; null (and logged) when preparing
  // failed. The caller binds, steps, clears the bindings and resets; it never finalizes them.
  sqlite3_stmt* beginTransactionStatement();
  sqlite3_stmt* beginImmediateTransactionStatement();
  sqlite3_stmt* commitTransactionStatement();
  sqlite3_stmt* rollbackTransactionStatement();
  sqlite3_stmt* dizGetDataForKeyStatement();
  sqlite3_stmt* dizSetDataForKeyStatement();
  sqlite3_stmt* dizRemoveForKeyStatement();
  sqlite3_stmt* dizRemoveExtensionStatement();
  sqlite3_stmt* getCollectionCountStatement();
  sqlite3_stmt* getKeyCountForCollectionStatement();
  sqlite3_stmt* getKeyCountForAllStatement();
  sqlite3_stmt* getCountForRowidStatement();
  sqlite3_stmt* getRowidForKeyStatement();
  sqlite3_stmt* getKeyForRowidStatement();
  sqlite3_stmt* getDataForRowidStatement();
  sqlite3_stmt* getMetadataForRowidStatement();
  sqlite3_stmt* getAllForRowidStatement();
  sqlite3_stmt* getDataForKeyStatement();
  sqlite3_stmt* getMetadataForKeyStatement();
  sqlite3_stmt* getAllForKeyStatement();
  sqlite3_stmt* insertForRowidStatement();
  sqlite3_stmt* updateAllForRowidStatement();
  sqlite3_stmt* updateObjectForRowidStatement();
  sqlite3_stmt* updateMetadataForRowidStatement();
  sqlite3_stmt* removeForRowidStatement();
  sqlite3_stmt* removeCollectionStatement();
  sqlite3_stmt* removeAllStatement();
  // Enumeration statements: when the kept one is in use (nested enumeration of the same kind) a
  // fresh one is returned with needsFinalize = true, and the caller finalizes it after use.
  sqlite3_stmt* enumerateCollectionsStatement(bool& needsFinalize);
  sqlite3_stmt* enumerateCollectionsForKeyStatement(bool& needsFinalize);
  sqlite3_stmt* enumerateKeysInCollectionStatement(bool& needsFinalize);
  sqlite3_stmt* enumerateKeysInAllCollectionsStatement(bool& needsFinalize);
  sqlite3_stmt* enumerateKeysAndMetadataInCollectionStatement(bool& needsFinalize);
  sqlite3_stmt* enumerateKeysAndMetadataInAllCollectionsStatement(bool& needsFinalize);
  sqlite3_stmt* enumerateKeysAndObjectsInCollectionStatement(bool& needsFinalize);
  sqlite3_stmt* enumerateKeysAndObjectsInAllCollectionsStatement(bool& needsFinalize);
  sqlite3_stmt* enumerateRowsInCollectionStatement(bool& needsFinalize);
  sqlite3_stmt* enumerateRowsInAllCollectionsStatement(bool& needsFinalize);

  // Runs "BEGIN", "BEGIN IMMEDIATE", "COMMIT" or "ROLLBACK" through the kept statement; false (after
  // logging "DizEvozidizTransaction: Couldn't begin transaction: <code> <message>" and the like) when
  // it failed. The connection's transaction steps use these rather than the transaction objects'
  // own, because a failed BEGIN or COMMIT must stop the transaction (rolled back, nothing published).
  bool stepBeginTransaction();
  bool stepBeginImmediateTransaction();
  bool stepCommitTransaction();
  bool stepRollbackTransaction();

  // Must run on the connection queue (or on the write queue inside a read-write transaction).
  void flushMemoryWithFlagsOnQueue(unsigned flags);
  // Applies another connection's internal changeset (or, while catching up, the connection's own
  // fetched ones). Connection queue only.
  void noteCommittedChangeset(const platform::Value& changeset);
  // Builds the two changesets of the running read-write transaction; each may stay nil.
  void getInternalChangeset(platform::Value& internal, platform::Value& external);

  // Whether the caller runs on this connection's queue (or on the write queue for it).
  bool isOnConnectionQueue() const;
  // Checks that rule in debug and sanitizer builds (platform/thread_safety.h).
  void assertOnConnectionQueue() const {
    ZORVEL_ASSERT_THREAD(isOnConnectionQueue(), "DizEvozidizConnection: only on the connection's queue");
  }
  const platform::DispatchQueuePtr& connectionQueue() const { return connectionQueue_; }

  // ============================================================================================

 private:
  sqlite3_stmt* keptStatement(int index, const char* getterName);
  sqlite3_stmt* enumerationStatement(int index, const char* getterName, bool& needsFinalize);
  bool stepControl(sqlite3_stmt* statement, const char* failureFormat);
  void flushStatements();

  void init(const std::shared_ptr<DizEvozidizInternal>& database);
  void registerAndPrepare();
  void initializeObjectCache();
  void initializeMetadataCache();
  // The object and metadata caches are switched and limited alike, by queued setters.
  using CacheSlot = std::unique_ptr<ObjectCache> DizEvozidizConnectionInternal::*;
  using LimitSlot = std::uint64_t DizEvozidizConnectionInternal::*;
  void setCacheEnabled(CacheSlot cache, LimitSlot limit, bool enabled);
  void setCacheLimit(CacheSlot cache, LimitSlot limit, std::uint64_t value);
  std::uint64_t calculateKeyCacheLimit() const;
  void closeOrPoolHandle();

  // Drops the noted damaged tables and builds their extensions again (write queue, no transaction
  // open). The names whose tables were dropped.
  std::set<std::string> repairDamagedExtensionTables();
  // The registered name -> its damaged tables, waiting for the end of the read-write transaction.
  std::map<std::string, std::set<std::string>, std::less<>> damagedExtensionTables_;
  bool repairingExtensionTables_ = false;
  // The names the last repair dropped the tables of (a registration that met them runs again).
  std::set<std::string> repairedExtensionTables_;

  template <class F>
  auto onQueueSync(F&& f) const;
  template <class Change>
  void onQueueAsync(Change change);

  std::shared_ptr<DizEvozidizConnectionInternal> self();
  std::weak_ptr<DizEvozidizConnectionInternal> weakSelf();
  std::shared_ptr<DizEvozidizConnectionState> ownState() const;  // snapshot queue only
  void preReadTransaction();
  void postReadTransaction();
  platform::ErrorPtr preReadWriteTransaction();  // the error when BEGIN failed
  void abandonWriteTransaction(const platform::Value& pendingChangeset);
  void finishReadWriteTransaction();
  void fetchMainFile();
  void learnWalFile();
  platform::ErrorPtr postReadWriteTransaction(DizEvozidizReadWriteTransaction& transaction,
                                              const platform::ErrorPtr& abort);
  void implicitlyEndLongLivedReadTransaction();
  platform::ErrorPtr rollBackReadWriteTransaction(DizEvozidizReadWriteTransaction& transaction, platform::ErrorPtr why);
  void prePseudoReadWriteTransaction();
  void postPseudoReadWriteTransaction();
  template <class Work>
  void runPseudoReadWriteTransaction(const Work& work);
  platform::NotificationPtr makeModifiedNotification(platform::ValueDictionary& external);
  void runReadTransaction(const ReadBlock& block);
  // `callerHoldsWriteQueue`: the caller already runs on the database's write queue (registration).
  platform::ErrorPtr runReadWriteTransaction(const ReadWriteBlock& block,
                                             const std::function<void(const platform::ErrorPtr&)>& whenEnded,
                                             bool callerHoldsWriteQueue = false);
  // After a read-write transaction's SQL rollback: extensions and registries undo their part.
  void rolledBackReadWriteTransaction(DizEvozidizReadWriteTransaction& transaction);
  platform::ErrorPtr backupToPathOnQueue(const std::string& path, platform::Progress* progress);
  void catchUp(std::uint64_t targetSnapshot, const std::optional<platform::ValueArray>& changesets);
  void catchUpWithDatabase(bool readFromFile);
  // The database's snapshot and registries, read together on the snapshot queue when a transaction
  // begins, and taking them once caught up with that snapshot.
  struct DatabaseRegistries {
    std::uint64_t snapshot = 0;
    DizEvozidizRegistriesPtr registries;
  };
  DatabaseRegistries databaseRegistries() const;
  void takeRegistries(const DatabaseRegistries& registries);
  platform::ErrorPtr publishRegistriesWithoutCommit(DizEvozidizReadWriteTransaction& transaction);
  std::uint64_t readSnapshotFromDatabase();
  std::uint64_t incrementSnapshotInDatabase(bool& ok);
  void markSqlLevelSharedReadLockAcquired();
  static void connectionReadHook(diz_file* file);
  static int connectionBusyHandler(void* context, int count);
  void processChangeset(const platform::Value& changeset);
  void dropChangeRecords();
  // Around everything a connection runs on the write queue (read-write transactions, vacuum,
  // backup): resumes the write queue if this connection suspended it, and marks the work active so
  // the checkpointer's long-lived-read reset leaves the write queue alone meanwhile.
  void beginWriteQueueWork();
  void endWriteQueueWork();
  void releaseWriteQueueSuspension();
  std::vector<platform::NotificationPtr> beginLongLivedOnQueue();
  std::optional<std::vector<platform::NotificationPtr>> endLongLivedOnQueue();
  void requireUsable() const;

  std::shared_ptr<DizEvozidizInternal> database_;
  platform::DispatchQueuePtr connectionQueue_;
  char isOnConnectionQueueKey_ = 0;

  mutable platform::Mutex nameMutex_;
  std::string name_ ZORVEL_GUARDED_BY(nameMutex_);

  std::uint64_t objectCacheLimit_ = 0;
  std::uint64_t metadataCacheLimit_ = 0;
  std::int64_t objectPolicy_ = 0;
  std::int64_t metadataPolicy_ = 0;
  bool enableMultiProcessSupport_ = false;

  std::uint64_t snapshot_ = 0;
  bool needsMarkSqlLevelSharedReadLock_ = false;
  // The own state while needsMarkSqlLevelSharedReadLock_ is set, for marking it without a trip onto
  // the snapshot queue.
  std::shared_ptr<DizEvozidizConnectionState> readStateToMark_;
  bool isFastForwarding_ = false;
  bool throwExceptionsForImplicitlyEndingLongLivedReadTransaction_ = false;
  std::shared_ptr<DizEvozidizReadTransaction> longLivedReadTransaction_;
  platform::ValueArray pendingChangesets_;
  platform::ValueArray processedChangesets_;

  // Touched by the connection queue and the write queue.
  platform::Mutex lock_;
  bool writeQueueSuspended_ ZORVEL_GUARDED_BY(lock_) = false;
  bool activeReadWriteTransaction_ ZORVEL_GUARDED_BY(lock_) = false;

  std::array<sqlite3_stmt*, 37> statements_{};
};

// The internals of a connection (every DizEvozidizConnection is a DizEvozidizConnectionInternal).
inline DizEvozidizConnectionInternal& DizInternal(DizEvozidizConnection& connection) {
  return static_cast<DizEvozidizConnectionInternal&>(connection);
}
inline const DizEvozidizConnectionInternal& DizInternal(const DizEvozidizConnection& connection) {
  return static_cast<const DizEvozidizConnectionInternal&>(connection);
}

// Runs `f` on the connection queue (inline when already there) and rethrows what it threw.
template <class F>
inline auto DizEvozidizConnectionInternal::onQueueSync(F&& f) const {
  if (isOnConnectionQueue()) return f();
  return connectionQueue_->sync(f);
}

// Runs `change` on the connection inline when on its queue, else queued holding the connection
// weakly: a connection released before the block runs needs no change.
template <class Change>
inline void DizEvozidizConnectionInternal::onQueueAsync(Change change) {
  if (isOnConnectionQueue()) {
    change(*this);
    return;
  }
  connectionQueue_->async([weak = weakSelf(), change = std::move(change)] {
    if (auto connection = weak.lock()) change(*connection);
  });
}
