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
// This is the connection's public face: an abstract class, each of whose operations
// DizEvozidizConnectionInternal (DizEvozidizConnectionInternal.h) overrides. That class holds the
// internals (the SQLite handle, caches, statements, change records and the steps around
// transactions) and is the object every connection is.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "DizEvozidiz/DizCollectionKey.h"
#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizExtensionTypes.h"
#include "platform/dispatch/dispatch.h"
#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/services/notification_center.h"

class DizEvozidizReadTransaction;
class DizEvozidizReadWriteTransaction;
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

// Domain of the errors that tell why a read-write transaction did not commit. User info: a
// description and, when SQLite said why, its result code under DizEvozidizSQLiteResultCodeKey.
inline constexpr std::string_view DizEvozidizErrorDomain = "DizEvozidizErrorDomain";
inline constexpr std::string_view DizEvozidizSQLiteResultCodeKey = "DizEvozidizSQLiteResultCode";
enum : std::int64_t {
  DizEvozidizErrorConnectionUnusable = 1,  // the connection has no SQLite handle; the block did not run
  DizEvozidizErrorBeginFailed = 2,         // BEGIN failed; the block did not run
  DizEvozidizErrorRolledBack = 3,          // the block called rollback()
  DizEvozidizErrorWriteFailed = 4,         // a write inside the block failed; everything was rolled back
  DizEvozidizErrorCommitFailed = 5,        // the commit counter or COMMIT failed; everything was rolled back
  DizEvozidizErrorException = 6,           // an exception ended the transaction (asynchronous forms)
};
// The errors of maintenance (vacuum, backup) are store errors: domain DizEvozidizStoreErrorDomain,
// code 0, a description ("Error from: sqlite3_open_v2()", "Operation cancelled", ...) and, when
// SQLite said why, the SQLite error under platform::kUnderlyingErrorKey: domain
// DizEvozidizSQLiteErrorDomain, the SQLite result code as its code and SQLite's message as its
// description (see DizEvozidizConnection::sqliteErrorWithCode and dizErrorWithDescription).
inline constexpr std::string_view DizEvozidizStoreErrorDomain = "DizEvozidiz";
inline constexpr std::string_view DizEvozidizSQLiteErrorDomain = "SQLite";
// Flags of flushMemoryWithFlags (combinable).
enum : unsigned {
  DizFlushMemoryCaches = 1,      // empty the key, object and metadata caches
  DizFlushMemoryStatements = 2,  // finalize every prepared statement
  DizFlushMemorySqlite = 4,      // ask SQLite to give back the handle's memory
  DizFlushMemoryState = 8,       // extension connections: drop derived state
};

class DizEvozidizConnection : public platform::Object {
  ZORVEL_CLASS(DizEvozidizConnection, platform::Object)

 public:
  using Ptr = std::shared_ptr<DizEvozidizConnection>;
  using ReadBlock = std::function<void(DizEvozidizReadTransaction& transaction)>;
  using ReadWriteBlock = std::function<void(DizEvozidizReadWriteTransaction& transaction)>;
  using CompletionBlock = std::function<void()>;
  // Receives the outcome of a read-write transaction: null when it committed, else why it did not.
  using ReadWriteCompletionBlock = std::function<void(const platform::ErrorPtr& error)>;

  // Made by DizEvozidiz::newConnection.
  ~DizEvozidizConnection() override = default;

  virtual DizEvozidiz::Ptr database() const = 0;
  // False when the SQLite handle could not be opened: read transactions then raise
  // DizEvozidizException and read-write ones report DizEvozidizErrorConnectionUnusable, instead of
  // silently reading and writing nothing.
  virtual bool isUsable() const = 0;

  // For the caller's own use. Any thread.
  virtual std::string name() const = 0;
  virtual void setName(std::string name) = 0;

  // ---- Cache configuration (getters: synchronously on the connection queue; setters: queued) ----
  virtual bool objectCacheEnabled() const = 0;
  virtual void setObjectCacheEnabled(bool enabled) = 0;
  virtual std::uint64_t objectCacheLimit() const = 0;
  virtual void setObjectCacheLimit(std::uint64_t limit) = 0;
  virtual bool metadataCacheEnabled() const = 0;
  virtual void setMetadataCacheEnabled(bool enabled) = 0;
  virtual std::uint64_t metadataCacheLimit() const = 0;
  virtual void setMetadataCacheLimit(std::uint64_t limit) = 0;
  // 0 containment, 1 share, 2 copy; anything else is stored as 0.
  virtual std::int64_t objectPolicy() const = 0;
  virtual void setObjectPolicy(std::int64_t policy) = 0;
  virtual std::int64_t metadataPolicy() const = 0;
  virtual void setMetadataPolicy(std::int64_t policy) = 0;
  // The key cache's current count limit (0 = unlimited); for inspection.
  virtual std::uint64_t keyCacheLimit() const = 0;

  // The commit counter the connection's current or last transaction saw.
  virtual std::uint64_t snapshot() const = 0;

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
  virtual void readWithBlock(const ReadBlock& block) = 0;
  virtual void asyncReadWithBlock(ReadBlock block, CompletionBlock completion = {},
                                  platform::DispatchQueuePtr completionQueue = {}) = 0;
  [[nodiscard]] virtual bool readWriteWithBlock(const ReadWriteBlock& block, platform::ErrorPtr* error = nullptr) = 0;
  virtual void asyncReadWriteWithBlock(ReadWriteBlock block, ReadWriteCompletionBlock completion,
                                       platform::DispatchQueuePtr completionQueue = {}) = 0;
  virtual void asyncReadWriteWithBlock(ReadWriteBlock block, CompletionBlock completion = {},
                                       platform::DispatchQueuePtr completionQueue = {}) = 0;
  // Runs `completion` on `completionQueue` (main when null) after everything queued before.
  virtual void flushTransactionsWithCompletionQueue(platform::DispatchQueuePtr completionQueue,
                                                    CompletionBlock completion) = 0;

  // ---- Long-lived read transactions ----
  // Ends any open one, begins a new one at the newest commit, and returns the notifications of the
  // commits skipped over, oldest first.
  virtual std::vector<platform::NotificationPtr> beginLongLivedReadTransaction() = 0;
  // nullopt when none was open; otherwise the notifications of commits received meanwhile.
  virtual std::optional<std::vector<platform::NotificationPtr>> endLongLivedReadTransaction() = 0;
  virtual bool isInLongLivedReadTransaction() const = 0;
  virtual void enableExceptionsForImplicitlyEndingLongLivedReadTransaction() = 0;
  virtual void disableExceptionsForImplicitlyEndingLongLivedReadTransaction() = 0;
  // The exception a read-write transaction raises on a pinned connection when enabled.
  virtual platform::Exception implicitlyEndingLongLivedReadTransactionException() const = 0;

  // ---- Maintenance (run on the write queue, between read-write transactions) ----
  // False (and the store error, when asked for) when VACUUM failed. Both end a long-lived read
  // transaction of this connection first (with a warning), or raise when the exceptions for that
  // are enabled.
  [[nodiscard]] virtual bool vacuum(platform::ErrorPtr* error = nullptr) = 0;
  // Online copy of the whole database into `path`; nullptr on success, else a store error. A target that another handle
  // keeps locked is waited for 2 seconds in all, then the copy fails (the target left as it was).
  [[nodiscard]] virtual platform::ErrorPtr backupToPath(const std::string& path) = 0;

  // Queued on the connection's queue (inline when on it).
  virtual void flushMemoryWithFlags(unsigned flags) = 0;

  // ---- Asynchronous maintenance (completion on `completionQueue`, the main queue when null) ----
  // Runs vacuum() on the connection's queue; the completion receives its error (null: it worked).
  virtual void asyncVacuum(std::function<void(const platform::ErrorPtr&)> completion = {},
                           platform::DispatchQueuePtr completionQueue = {}) = 0;
  // Starts the online copy into `path` and returns at once with its progress (total 0 until the copy
  // starts; pages afterwards). Cancelling the progress stops the copy at its next step with
  // DizEvozidizErrorCancelled. The completion receives null when the copy is complete. A copy that
  // fails or is cancelled never leaves a file at `path` that did not exist before.
  virtual std::shared_ptr<platform::Progress> asyncBackupToPath(
      std::string path, std::function<void(const platform::ErrorPtr&)> completion = {},
      platform::DispatchQueuePtr completionQueue = {}) = 0;

  // ---- Pragmas of this connection's handle (on its queue; inline when on it) ----
  // "OFF", "NORMAL", "FULL", or "UNKNOWN" for any other value and when the pragma cannot be read.
  virtual std::string pragmaSynchronous() const = 0;
  // -1 when the pragma cannot be read.
  virtual std::int64_t pragmaPageSize() const = 0;
  virtual std::int64_t pragmaMMapSize() const = 0;
  // "NONE", "FULL", "INCREMENTAL", or "UNKNOWN" for any other value and when it cannot be read.
  virtual std::string pragmaAutoVacuum() const = 0;

  // ---- Extensions (DizEvozidizExtension.h) ----
  // The extension connection of a registered extension, made on first use; null for a name that is
  // not registered as this connection last saw the registry. Any thread (on the connection's queue,
  // inline when already there).
  virtual DizEvozidizExtensionConnectionPtr extension(std::string_view name) = 0;
  DizEvozidizExtensionConnectionPtr ext(std::string_view name) { return extension(name); }
  // The registries as this connection last saw them. Any thread (on the connection's queue).
  virtual DizEvozidizExtensionsByName registeredExtensions() const = 0;
  virtual DizMemoryTablesByName registeredMemoryTables() const = 0;
  // Inside a read-write transaction of this connection (its queue): the change reaches the database
  // and the other connections with the transaction's commit. False when the name is taken.
  [[nodiscard]] virtual bool registerMemoryTable(const std::shared_ptr<DizMemoryTable>& table,
                                                 std::string_view name) = 0;
  virtual void unregisterMemoryTableWithName(std::string_view name) = 0;

  // What the database's registration runs on its write queue (called elsewhere, they go through the
  // database): one read-write transaction that creates the extension's storage and records it;
  // true when it committed. While it runs, the connection must not be in use on another thread
  // (the write queue is held while it waits for the connection's queue).
  [[nodiscard]] virtual bool registerExtension(const DizEvozidizExtensionPtr& extension, const std::string& name,
                                               platform::ErrorPtr* error = nullptr) = 0;
  // One read-write transaction that drops the extension and every extension depending on it,
  // directly or through others; null when it committed.
  [[nodiscard]] virtual platform::ErrorPtr unregisterExtensionWithName(const std::string& name) = 0;

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
  static bool hasObjectChangeForAnyKeys(const std::unordered_set<std::string>& keys, const std::string& collection,
                                        const std::vector<platform::NotificationPtr>& notifications);
  static bool hasMetadataChangeForAnyKeys(const std::unordered_set<std::string>& keys, const std::string& collection,
                                          const std::vector<platform::NotificationPtr>& notifications);
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

  // ---- Errors (any thread) ----
  // An error of DizEvozidizSQLiteErrorDomain whose code is `code`; `message`, when given, is its
  // description, and without one the error has no user info.
  static platform::ErrorPtr sqliteErrorWithCode(int code, const char* message);
  // A store error (DizEvozidizStoreErrorDomain, code 0) whose user info holds the description and
  // the underlying SQLite error, each only when given.
  static platform::ErrorPtr dizErrorWithDescription(std::optional<std::string> description,
                                                    platform::ErrorPtr sqliteError);

  static const std::vector<std::string>& internalChangesetKeys();
  static const std::vector<std::string>& externalChangesetKeys();

 protected:
  // Only DizEvozidizConnectionInternal derives from it; every connection is one.
  struct InternalOnly {};
  explicit DizEvozidizConnection(InternalOnly) {}
};
