#pragma once

// DizEvozidizConnection: one client's door into a DizEvozidiz. Each connection owns its SQLite handle
// (opened through the database's file-system shim, or taken from the database's pool of released
// handles), a serial queue on which all its transactions run, three caches (rowid <-> collection key,
// collection key -> object, collection key -> metadata), lazily prepared statements, and its
// snapshot: the commit counter its current or last transaction saw.
//
// Read transactions run on the connection's queue and see one consistent commit. Read-write
// transactions run on the connection's queue and then on the database's write queue (one writer at a
// time across all connections). A commit that changed something hands its internal changeset to every
// other connection (which applies it to its caches under its object/metadata policy) and posts
// DizEvozidizModifiedNotification on the main queue with the external changeset as user info.
//
// How a caller learns that a read-write transaction did not commit: readWriteWithBlock returns false
// and fills its optional error (domain DizEvozidizErrorDomain, codes below); the asynchronous forms
// always call their completion block, and the form whose block takes an error receives it (null when
// the transaction committed). Nothing of a transaction that did not commit is kept: a failed write
// inside the block, a failed counter write or COMMIT, or the block's own rollback() roll all of it
// back; the block keeps running after a failed write (later writes see the failure only through the
// outcome). The block's own exception still reaches the synchronous caller, after the rollback.
//
// Threads: the public methods may be called from any thread, except that the synchronous entry
// points (readWithBlock, readWriteWithBlock, begin/endLongLivedReadTransaction, vacuum, backupToPath)
// must not be called from inside a transaction block of the same connection, and readWriteWithBlock
// of any connection of the database must not be called from inside a read-write block. Every block
// the connection queues holds it strongly (work the caller asked for) or weakly (setters: a
// connection released meanwhile needs no setting), never by a raw pointer.
//
// The section marked "transaction state" is for the transaction objects: it is read and written only
// on the connection's queue, or on the write queue while the connection queue waits for it
// (inside a read-write transaction). Nothing there is locked.

#include <sqlite3.h>

#include <array>
#include <exception>
#include <type_traits>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DizEvozidiz/DizCache.h"
#include "DizEvozidiz/DizCollectionKey.h"
#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnectionHooks.h"
#include "DizEvozidiz/DizEvozidizExtensionTypes.h"
#include "DizEvozidiz/DizVfsShim.h"
#include "DizEvozidiz/Utilities/DizMutationStack.h"
#include "DizEvozidiz/Utilities/DizSet.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/notification_center.h"
#include "platform/object.h"
#include "platform/value.h"

class DizEvozidizReadTransaction;
class DizEvozidizReadWriteTransaction;
struct DizConnectionExtensionState;
namespace platform {
class Progress;
}

// Posted on the main queue after each commit that changed something. Object: the database; user
// info: the external changeset (see DizEvozidizConnection::externalChangesetKeys), whose
// "connection" is the committing connection. The notification refers to both weakly, so that one
// waiting in the main queue never keeps a released database open: once they are gone, object() is
// null and "connection" reads as nil.
inline constexpr std::string_view DizEvozidizModifiedNotification = "DizEvozidizModifiedNotification";
// Name of the exceptions the connection raises.
inline constexpr std::string_view DizEvozidizExceptionName = "DizEvozidizException";

// Domain of the errors that tell why a read-write transaction did not commit (and why a vacuum or
// backup failed). User info: a description and, when SQLite said why, its result code under
// DizEvozidizSQLiteResultCodeKey.
inline constexpr std::string_view DizEvozidizErrorDomain = "DizEvozidizErrorDomain";
inline constexpr std::string_view DizEvozidizSQLiteResultCodeKey = "DizEvozidizSQLiteResultCode";
enum : std::int64_t {
  DizEvozidizErrorConnectionUnusable = 1,  // the connection has no SQLite handle; the block did not run
  DizEvozidizErrorBeginFailed = 2,         // BEGIN failed; the block did not run
  DizEvozidizErrorRolledBack = 3,          // the block called rollback()
  DizEvozidizErrorWriteFailed = 4,         // a write inside the block failed; everything was rolled back
  DizEvozidizErrorCommitFailed = 5,        // the commit counter or COMMIT failed; everything was rolled back
  DizEvozidizErrorException = 6,           // an exception ended the transaction (asynchronous forms)
  DizEvozidizErrorMaintenanceFailed = 7,   // VACUUM or a backup failed
  DizEvozidizErrorCancelled = 8,           // a backup was cancelled through its progress
};
// An error of DizEvozidizErrorDomain: the description, followed, when `resultCode` is not SQLITE_OK,
// by the code and the handle's message (SQLite's text for the code without a handle).
platform::ErrorPtr DizEvozidizMakeError(std::int64_t code, const std::string& description, sqlite3* db,
                                        int resultCode);

// Flags of flushMemoryWithFlags (combinable).
enum : unsigned {
  DizFlushMemoryCaches = 1,      // empty the key, object and metadata caches
  DizFlushMemoryStatements = 2,  // finalize every prepared statement
  DizFlushMemorySqlite = 4,      // ask SQLite to give back the handle's memory
  DizFlushMemoryState = 8,       // extension connections: drop derived state
};

using DizCollectionKeyHashSet = std::unordered_set<DizCollectionKeyPtr, DizCollectionKey::Hasher, DizCollectionKey::Equal>;
using DizCollectionKeyValueMap =
    std::unordered_map<DizCollectionKeyPtr, platform::Value, DizCollectionKey::Hasher, DizCollectionKey::Equal>;

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
  DizCollectionKeyValueMap map;

  std::size_t memberCount() const override { return map.size(); }
  bool containsMember(const platform::Value& member) const override;
  void enumerateMembers(const std::function<void(const platform::Value&, bool&)>& block) const override;
};

class DizCollectionKeySet final : public platform::Object, public DizSet::Members {
  ZORVEL_CLASS(DizCollectionKeySet, platform::Object)
 public:
  DizCollectionKeySet() = default;
  DizCollectionKeyHashSet set;

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
  std::unordered_set<std::int64_t> set;
};

class DizEvozidizConnection final : public platform::Object, public DizEvozidizConnectionHooks {
  ZORVEL_CLASS(DizEvozidizConnection, platform::Object)

 public:
  using Ptr = std::shared_ptr<DizEvozidizConnection>;
  using ReadBlock = std::function<void(DizEvozidizReadTransaction& transaction)>;
  using ReadWriteBlock = std::function<void(DizEvozidizReadWriteTransaction& transaction)>;
  using CompletionBlock = std::function<void()>;
  // Receives the outcome of a read-write transaction: null when it committed, else why it did not.
  using ReadWriteCompletionBlock = std::function<void(const platform::ErrorPtr& error)>;

  using ObjectCache = DizCache<DizCollectionKeyPtr, platform::Value, DizCollectionKey::Hasher, DizCollectionKey::Equal>;
  using KeyCache = DizBidirectionalCache<std::int64_t, DizCollectionKeyPtr, std::hash<std::int64_t>,
                                         std::equal_to<std::int64_t>, DizCollectionKey::Hasher, DizCollectionKey::Equal>;

  // Made by DizEvozidiz::newConnection. Returns at once; the connection registers with the database
  // and takes its snapshot on its own queue, ahead of anything queued on it later.
  static Ptr make(const DizEvozidiz::Ptr& database);
  ~DizEvozidizConnection() override;

  const DizEvozidiz::Ptr& database() const { return database_; }
  // False when the SQLite handle could not be opened: read transactions then raise
  // DizEvozidizException and read-write ones report DizEvozidizErrorConnectionUnusable, instead of
  // silently reading and writing nothing.
  bool isUsable() const { return db != nullptr; }

  // For the caller's own use. Any thread.
  std::string name() const;
  void setName(std::string name);

  // ---- Cache configuration (getters: synchronously on the connection queue; setters: queued) ----
  bool objectCacheEnabled() const;
  void setObjectCacheEnabled(bool enabled);
  std::uint64_t objectCacheLimit() const;
  void setObjectCacheLimit(std::uint64_t limit);
  bool metadataCacheEnabled() const;
  void setMetadataCacheEnabled(bool enabled);
  std::uint64_t metadataCacheLimit() const;
  void setMetadataCacheLimit(std::uint64_t limit);
  // 0 containment, 1 share, 2 copy; anything else is stored as 0.
  std::int64_t objectPolicy() const;
  void setObjectPolicy(std::int64_t policy);
  std::int64_t metadataPolicy() const;
  void setMetadataPolicy(std::int64_t policy);
  // The key cache's current count limit (0 = unlimited); for inspection.
  std::uint64_t keyCacheLimit() const;

  // The commit counter the connection's current or last transaction saw.
  std::uint64_t snapshot() const;

  // ---- Transactions ----
  // readWithBlock raises DizEvozidizException when the connection has no handle or BEGIN failed
  // (the block then does not run) and passes on what the block throws.
  //
  // readWriteWithBlock returns true when the transaction committed (also when it changed nothing).
  // Otherwise it returns false and fills `error` (when given) with why: the connection has no handle
  // or BEGIN failed (the block did not run), the block called rollback(), a write in the block
  // failed, or the commit counter or COMMIT failed; in every case nothing of it was kept. A block
  // that throws is rolled back and its exception passed on. On a connection in a long-lived read
  // transaction with the exceptions enabled it raises DizEvozidizException and changes nothing.
  //
  // The asynchronous forms queue the same work and log exceptions. Their completion block (on
  // `completionQueue`, the main queue when null) always runs once the transaction has ended,
  // committed or not; the read-write form with a ReadWriteCompletionBlock receives the outcome.
  void readWithBlock(const ReadBlock& block);
  void asyncReadWithBlock(ReadBlock block, CompletionBlock completion = {}, platform::DispatchQueuePtr completionQueue = {});
  bool readWriteWithBlock(const ReadWriteBlock& block, platform::ErrorPtr* error = nullptr);
  void asyncReadWriteWithBlock(ReadWriteBlock block, ReadWriteCompletionBlock completion,
                               platform::DispatchQueuePtr completionQueue = {});
  void asyncReadWriteWithBlock(ReadWriteBlock block, CompletionBlock completion = {},
                               platform::DispatchQueuePtr completionQueue = {});
  // Runs `completion` on `completionQueue` (main when null) after everything queued before.
  void flushTransactionsWithCompletionQueue(platform::DispatchQueuePtr completionQueue, CompletionBlock completion);

  // ---- Long-lived read transactions ----
  // Ends any open one, begins a new one at the newest commit, and returns the notifications of the
  // commits skipped over, oldest first.
  std::vector<platform::NotificationPtr> beginLongLivedReadTransaction();
  // nullopt when none was open; otherwise the notifications of commits received meanwhile.
  std::optional<std::vector<platform::NotificationPtr>> endLongLivedReadTransaction();
  bool isInLongLivedReadTransaction() const;
  void enableExceptionsForImplicitlyEndingLongLivedReadTransaction();
  void disableExceptionsForImplicitlyEndingLongLivedReadTransaction();
  // The exception a read-write transaction raises on a pinned connection when enabled.
  platform::Exception implicitlyEndingLongLivedReadTransactionException() const;
  // DizEvozidizConnectionHooks: called by the database's checkpointer on its snapshot queue.
  void maybeResetLongLivedReadTransaction() override;

  // ---- Maintenance (run on the write queue, between read-write transactions) ----
  // False (and the error, when asked for) when VACUUM failed. Both end a long-lived read
  // transaction of this connection first (with a warning), or raise when the exceptions for that
  // are enabled.
  bool vacuum(platform::ErrorPtr* error = nullptr);
  // Online copy of the whole database into `path`; nullptr on success. A target that another handle
  // keeps locked is waited for 2 seconds in all, then the copy fails (the target left as it was).
  platform::ErrorPtr backupToPath(const std::string& path);

  // Queued on the connection's queue (inline when on it).
  void flushMemoryWithFlags(unsigned flags);

  // ---- Asynchronous maintenance (completion on `completionQueue`, the main queue when null) ----
  // Runs vacuum() on the connection's queue; the completion receives its error (null: it worked).
  void asyncVacuum(std::function<void(const platform::ErrorPtr&)> completion = {},
                   platform::DispatchQueuePtr completionQueue = {});
  // Starts the online copy into `path` and returns at once with its progress (total 0 until the copy
  // starts; pages afterwards). Cancelling the progress stops the copy at its next step with
  // DizEvozidizErrorCancelled. The completion receives null when the copy is complete. A copy that
  // fails or is cancelled never leaves a file at `path` that did not exist before.
  std::shared_ptr<platform::Progress> asyncBackupToPath(std::string path,
                                                        std::function<void(const platform::ErrorPtr&)> completion = {},
                                                        platform::DispatchQueuePtr completionQueue = {});

  // ---- Pragmas of this connection's handle (on its queue; inline when on it) ----
  // "OFF", "NORMAL", "FULL", or "UNKNOWN" for any other value and when the pragma cannot be read.
  std::string pragmaSynchronous() const;
  // -1 when the pragma cannot be read.
  std::int64_t pragmaPageSize() const;
  std::int64_t pragmaMMapSize() const;
  // "NONE", "FULL", "INCREMENTAL", or "UNKNOWN" for any other value and when it cannot be read.
  std::string pragmaAutoVacuum() const;

  // ---- Extensions (DizEvozidizExtension.h) ----
  // The extension connection of a registered extension, made on first use; null for a name that is
  // not registered as this connection last saw the registry. Any thread (on the connection's queue,
  // inline when already there).
  DizEvozidizExtensionConnectionPtr extension(std::string_view name);
  DizEvozidizExtensionConnectionPtr ext(std::string_view name) { return extension(name); }
  // The registries as this connection last saw them. Any thread (on the connection's queue).
  DizEvozidizExtensionsByName registeredExtensions() const;
  DizMemoryTablesByName registeredMemoryTables() const;
  // Inside a read-write transaction of this connection (its queue): the change reaches the database
  // and the other connections with the transaction's commit. False when the name is taken.
  bool registerMemoryTable(const std::shared_ptr<DizMemoryTable>& table, std::string_view name);
  void unregisterMemoryTableWithName(std::string_view name);

  // What the database's registration runs on its write queue (called elsewhere, they go through the
  // database): one read-write transaction that creates the extension's storage and records it;
  // true when it committed. While it runs, the connection must not be in use on another thread
  // (the write queue is held while it waits for the connection's queue).
  bool registerExtension(const DizEvozidizExtensionPtr& extension, const std::string& name,
                         platform::ErrorPtr* error = nullptr);
  // One read-write transaction that drops the extension and every extension depending on it,
  // directly or through others; null when it committed.
  platform::ErrorPtr unregisterExtensionWithName(const std::string& name);

  // ---- Queries on received notifications (any thread; read only their arguments) ----
  static bool hasChangeForCollection(const std::string& collection,
                                     const std::vector<platform::NotificationPtr>& notifications,
                                     bool includingObjectChanges = true, bool includingMetadataChanges = true);
  static bool hasObjectChangeForCollection(const std::string& collection,
                                           const std::vector<platform::NotificationPtr>& notifications);
  static bool hasMetadataChangeForCollection(const std::string& collection,
                                             const std::vector<platform::NotificationPtr>& notifications);
  static bool hasChangeForKey(const std::string& key, const std::string& collection,
                              const std::vector<platform::NotificationPtr>& notifications,
                              bool includingObjectChanges = true, bool includingMetadataChanges = true);
  static bool hasObjectChangeForKey(const std::string& key, const std::string& collection,
                                    const std::vector<platform::NotificationPtr>& notifications);
  static bool hasMetadataChangeForKey(const std::string& key, const std::string& collection,
                                      const std::vector<platform::NotificationPtr>& notifications);
  static bool hasChangeForAnyKeys(const std::unordered_set<std::string>& keys, const std::string& collection,
                                  const std::vector<platform::NotificationPtr>& notifications,
                                  bool includingObjectChanges = true, bool includingMetadataChanges = true);
  static bool didClearCollection(const std::string& collection,
                                 const std::vector<platform::NotificationPtr>& notifications);
  static bool didClearAllCollectionsInNotifications(const std::vector<platform::NotificationPtr>& notifications);
  // Each changed key once, in notification order. Block: (key, stop).
  static void enumerateChangedKeysInCollection(const std::string& collection,
                                               const std::vector<platform::NotificationPtr>& notifications,
                                               const std::function<void(const std::string&, bool&)>& block);
  static void enumerateChangedCollectionKeysInNotifications(
      const std::vector<platform::NotificationPtr>& notifications,
      const std::function<void(const DizCollectionKeyPtr&, bool&)>& block);

  static const std::vector<std::string>& internalChangesetKeys();
  static const std::vector<std::string>& externalChangesetKeys();

  // ================= transaction state (connection queue / write queue only) =================

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
  const platform::DispatchQueuePtr& connectionQueue() const { return connectionQueue_; }

  // ============================================================================================

  // Only for the class registry and make().
  DizEvozidizConnection();

 private:
  sqlite3_stmt* keptStatement(int index, const char* getterName);
  sqlite3_stmt* enumerationStatement(int index, const char* getterName, bool& needsFinalize);
  bool stepControl(sqlite3_stmt* statement, const char* failureFormat);
  void flushStatements();

  void init(const DizEvozidiz::Ptr& database);
  void registerAndPrepare();
  void initializeObjectCache();
  void initializeMetadataCache();
  // The object and metadata caches are switched and limited alike, by queued setters.
  using CacheSlot = std::unique_ptr<ObjectCache> DizEvozidizConnection::*;
  using LimitSlot = std::uint64_t DizEvozidizConnection::*;
  void setCacheEnabled(CacheSlot cache, LimitSlot limit, bool enabled);
  void setCacheLimit(CacheSlot cache, LimitSlot limit, std::uint64_t value);
  std::uint64_t calculateKeyCacheLimit() const;
  void closeOrPoolHandle();

  template <class F>
  auto onQueueSync(F&& f) const;
  template <class Change>
  void onQueueAsync(Change change);

  Ptr self();
  std::weak_ptr<DizEvozidizConnection> weakSelf();
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

  DizEvozidiz::Ptr database_;
  platform::DispatchQueuePtr connectionQueue_;
  char isOnConnectionQueueKey_ = 0;

  mutable std::mutex nameMutex_;
  std::string name_;

  std::uint64_t objectCacheLimit_ = 0;
  std::uint64_t metadataCacheLimit_ = 0;
  std::int64_t objectPolicy_ = 0;
  std::int64_t metadataPolicy_ = 0;
  bool enableMultiProcessSupport_ = false;

  std::uint64_t snapshot_ = 0;
  bool needsMarkSqlLevelSharedReadLock_ = false;
  bool isFastForwarding_ = false;
  bool throwExceptionsForImplicitlyEndingLongLivedReadTransaction_ = false;
  std::shared_ptr<DizEvozidizReadTransaction> longLivedReadTransaction_;
  platform::ValueArray pendingChangesets_;
  platform::ValueArray processedChangesets_;

  // Guarded by lock_ (touched by the connection queue and the write queue).
  std::mutex lock_;
  bool writeQueueSuspended_ = false;
  bool activeReadWriteTransaction_ = false;

  std::array<sqlite3_stmt*, 37> statements_{};
};

// Runs `f` on the connection queue (inline when already there) and rethrows what it threw.
template <class F>
inline auto DizEvozidizConnection::onQueueSync(F&& f) const {
  using R = decltype(f());
  if (isOnConnectionQueue()) return f();
  std::exception_ptr error;
  if constexpr (std::is_void_v<R>) {
    connectionQueue_->sync([&] {
      try {
        f();
      } catch (...) {
        error = std::current_exception();
      }
    });
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<R> result;
    connectionQueue_->sync([&] {
      try {
        result.emplace(f());
      } catch (...) {
        error = std::current_exception();
      }
    });
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }
}

// Runs `change` on the connection inline when on its queue, else queued holding the connection
// weakly: a connection released before the block runs needs no change.
template <class Change>
inline void DizEvozidizConnection::onQueueAsync(Change change) {
  if (isOnConnectionQueue()) {
    change(*this);
    return;
  }
  connectionQueue_->async([weak = weakSelf(), change = std::move(change)] {
    if (auto connection = weak.lock()) change(*connection);
  });
}
