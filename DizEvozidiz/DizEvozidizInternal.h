#pragma once

#ifndef ZORVEL_INTERNAL_store
#error "DizEvozidiz/DizEvozidizInternal.h is internal to the store and its extensions"
#endif

// What every DizEvozidiz is: the database's internals, for its connections, its extensions and its
// tests. Four serial queues hold all shared state:
//
//   internal queue    connection defaults (and the connection pool of released handles)
//   snapshot queue    snapshot, changesets, connection states, start-up upgrade and prepare;
//                     never held while waiting for anything else
//   write queue       one writer at a time across all connections; WAL truncation
//   checkpoint queue  checkpoints on the database's own handle
//
// Connections hook in through: the queues and their queue-specific keys, `vfsShimName()`, the
// connection states and changesets kept on the snapshot queue, and DizEvozidizConnectionHooks,
// which the database calls on them. It overrides every operation of the abstract DizEvozidiz.

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnectionStateInternal.h"
#include "DizEvozidiz/DizVfsShimInternal.h"
#include "platform/dispatch/dispatch.h"
#include "platform/runtime/value.h"
#include "platform/system/locks.h"
#include "platform/system/thread_safety.h"

class DizEvozidizConnection;

// A committing connection's internal changeset as the database keeps it (snapshot queue), from
// before its commit becomes visible until every other connection has run it.
struct DizPublishedChangeset {
  platform::Value changeset;
  std::uint64_t snapshot = 0;  // the changeset's "snapshot"
  bool committed = false;      // noteCommittedChangeset has handed it out
  bool retained = false;       // committed without a sending connection: never dropped
  // Receivers that have yet to run it: one for all the blocks queued on connections' queues,
  // until the last of them has run, and one per connection that takes it itself at the end of
  // its read transaction.
  std::size_t receiversLeft = 0;
};

class DizEvozidizInternal final : public DizEvozidiz {
 public:
  using Ptr = std::shared_ptr<DizEvozidizInternal>;

  static DizEvozidiz::Ptr create(std::string_view path, DizEvozidizClosures closures,
                                 std::optional<DizEvozidizOptions> options);
  DizEvozidizInternal(std::string path, DizEvozidizOptions options);
  ~DizEvozidizInternal() override;

  // ---- DizEvozidiz (documented there) ----
  std::string sqliteVersion() const override;
  std::uint64_t pageSize() const override;
  std::uint64_t snapshot() const override;
  std::vector<std::string> previouslyRegisteredExtensionNames() const override;
  DizEvozidizConnectionDefaults connectionDefaults() const override;
  bool defaultObjectCacheEnabled() const override;
  void setDefaultObjectCacheEnabled(bool enabled) override;
  std::uint64_t defaultObjectCacheLimit() const override;
  void setDefaultObjectCacheLimit(std::uint64_t limit) override;
  bool defaultMetadataCacheEnabled() const override;
  void setDefaultMetadataCacheEnabled(bool enabled) override;
  std::uint64_t defaultMetadataCacheLimit() const override;
  void setDefaultMetadataCacheLimit(std::uint64_t limit) override;
  std::int64_t defaultObjectPolicy() const override;
  void setDefaultObjectPolicy(std::int64_t policy) override;
  std::int64_t defaultMetadataPolicy() const override;
  void setDefaultMetadataPolicy(std::int64_t policy) override;
  std::shared_ptr<DizEvozidizConnection> newConnection() override;
  std::size_t connectionPoolCount() const override;
  std::size_t maxConnectionPoolCount() const override;
  void setMaxConnectionPoolCount(std::size_t count) override;
  double connectionPoolLifetime() const override;
  void setConnectionPoolLifetime(double seconds) override;

  // ---- Extensions (DizEvozidizExtensionRegistration.cpp) ----
  [[nodiscard]] bool registerExtension(const DizEvozidizExtensionPtr& extension, std::string_view name,
                                       const std::shared_ptr<DizEvozidizConnection>& connection,
                                       platform::ErrorPtr* error) override;
  void asyncRegisterExtension(const DizEvozidizExtensionPtr& extension, std::string_view name,
                              std::function<void(bool ready)> completion, platform::DispatchQueuePtr completionQueue,
                              const std::shared_ptr<DizEvozidizConnection>& connection) override;
  void unregisterExtensionWithName(std::string_view name,
                                   const std::shared_ptr<DizEvozidizConnection>& connection) override;
  void asyncUnregisterExtensionWithName(std::string_view name, std::function<void()> completion,
                                        platform::DispatchQueuePtr completionQueue,
                                        const std::shared_ptr<DizEvozidizConnection>& connection) override;
  DizEvozidizExtensionPtr registeredExtension(std::string_view name) const override;
  DizEvozidizExtensionsByName registeredExtensions() const override;
  std::vector<std::string> extensionsOrder() const override;
  DizEvozidizExtensionDependencies extensionDependencies() const override;
  DizMemoryTablesByName registeredMemoryTables() const override;
  // For connections, on the snapshot queue: the registries (never null). They belong to the
  // database's current snapshot: a commit replaces them together with the snapshot, and a
  // registration that wrote nothing replaces them at the same snapshot (a connection at that
  // snapshot takes them when it begins its next transaction).
  DizEvozidizRegistriesPtr registriesOnSnapshotQueue() const;
  void publishRegistriesOnSnapshotQueue(DizEvozidizRegistriesPtr registries);
  // For the committing connection: whether names of an earlier run's extensions still wait to be
  // checked (cheap; any thread), and forgetting them after the commit that checked them.
  bool hasPreviouslyRegisteredExtensionNames() const;
  void clearPreviouslyRegisteredExtensionNames();

  // ---- Damage found in the file (any thread) ----
  // A connection's statement of the store's own tables met damaged pages: the damage is logged and
  // recorded in a marker file beside the database (once), so that the next opening checks the file
  // and, when the check fails, applies the corrupt action instead of serving a store that reads
  // rows as missing. The marker goes when the check passes or the corrupt action replaced the file.
  void noteDamagedFile();
  static std::string damageMarkerPath(const std::string& databasePath) { return databasePath + "-damaged"; }

  // ---- Queues, for connections ----
  const platform::DispatchQueuePtr& internalQueue() const { return internalQueue_; }
  const platform::DispatchQueuePtr& snapshotQueue() const { return snapshotQueue_; }
  const platform::DispatchQueuePtr& writeQueue() const { return writeQueue_; }
  const platform::DispatchQueuePtr& checkpointQueue() const { return checkpointQueue_; }
  // Queue-specific keys: getSpecificCurrent(key) is non-null exactly on that queue.
  const void* isOnSnapshotQueueKey() const { return &isOnSnapshotQueueKey_; }
  const void* isOnWriteQueueKey() const { return &isOnWriteQueueKey_; }
  bool isOnSnapshotQueue() const;
  bool isOnWriteQueue() const;
  // Check those rules in debug and sanitizer builds (platform/thread_safety.h).
  void assertOnSnapshotQueue() const {
    ZORVEL_ASSERT_THREAD(isOnSnapshotQueue(), "DizEvozidiz: only on the snapshot queue");
  }
  void assertOnWriteQueue() const { ZORVEL_ASSERT_THREAD(isOnWriteQueue(), "DizEvozidiz: only on the write queue"); }

  // The file-system shim connections open their handles through ("diz_vfs_shim_<UUID>").
  const std::string& vfsShimName() const { return vfsShimName_; }
  diz_vfs* vfsShim() const { return vfsShim_; }

  // ---- Shared state: only on the snapshot queue ----
  // One state per live connection; the database holds the connections weakly through them.
  std::vector<std::shared_ptr<DizEvozidizConnectionState>>& connectionStatesOnSnapshotQueue();
  // Pending and not yet fully delivered changesets, in commit order.
  const std::deque<DizPublishedChangeset>& changesetsOnSnapshotQueue() const;
  // Set by a committing writer (on the snapshot queue) from before it reads the readers' lock flags
  // until it no longer waits for any of them; read by readers from any thread.
  std::atomic<bool>& writerCountingReaders() { return shared_->writerCountingReaders; }
  // Sets a state's longLivedReadTransaction flag and keeps the count of states that have it, which
  // lets a checkpoint pass skip the reader nudge when there is nobody to nudge.
  void setLongLivedReadTransactionOnSnapshotQueue(DizEvozidizConnectionState& state, bool longLived);
  // Records a new commit counter (taken from each committed changeset).
  void setSnapshotOnSnapshotQueue(std::uint64_t snapshot);
  // Adds a connection's state (synchronously on the snapshot queue, inline when already there).
  void addConnectionState(std::shared_ptr<DizEvozidizConnectionState> state);
  // Removes the first state of that connection (same queue rule).
  void removeConnectionState(const DizEvozidizConnectionHooks* connection);

  // ---- Changesets: only on the snapshot queue ----
  // Enters a committing connection's internal changeset before its commit becomes visible.
  void notePendingChangeset(const platform::Value& changeset);
  // The changesets with since < snapshot <= until, in commit order; nullopt with multi-process
  // support when some are missing (another process committed).
  std::optional<platform::ValueArray> pendingAndCommittedChangesetsSince(std::uint64_t since, std::uint64_t until);
  // Records the commit and hands the changeset to every other live connection: on its own queue,
  // or, to a connection in a plain read transaction, when that transaction ends (see
  // takeOwedChangesets). With a sender, the changeset is dropped once all of them have run it.
  void noteCommittedChangeset(const platform::Value& changeset, const DizEvozidizConnection* fromConnection);
  // For a connection whose plain read transaction ends (its state's changesetsOwedFrom set): the
  // committed changesets above `after`, in commit order, which it runs itself next; afterwards it
  // owes nothing.
  platform::ValueArray takeOwedChangesets(DizEvozidizConnectionState& state, std::uint64_t after);
  // Withdraws the pending changeset of a commit that never became visible.
  void withdrawPendingChangeset(std::uint64_t snapshot);

  // ---- Pool of released connections' SQLite handles (synchronously on the internal queue) ----
  // Takes the handle (true) unless the pool is full; the caller then closes it itself.
  bool connectionPoolEnqueue(sqlite3* db, diz_file* mainFile, diz_file* walFile);
  // Hands out the oldest pooled handle (true), or false with null out-values.
  bool connectionPoolDequeue(sqlite3*& db, diz_file*& mainFile, diz_file*& walFile);

  // ---- WAL checkpointing ----
  // Queues one passive checkpoint on the checkpoint queue. When every WAL frame is checkpointed,
  // long-lived readers at the latest snapshot are asked to restart; a WAL of at least
  // options.aggressiveWALTruncationSize bytes is then truncated (holding the write queue, then the
  // checkpoint queue). A pass that starts after the database is released does nothing.
  void asyncCheckpoint(std::uint64_t snapshot);

  // ---- Utilities on any SQLite handle (the caller owns the handle's thread) ----
  // "SELECT sqlite_version();" or nullopt.
  static std::optional<std::string> sqliteVersionUsing(sqlite3* db);
  // First column of "PRAGMA <name>;" (name quoted as an identifier; "schema.name" allowed);
  // -1 for an empty name, any failure, or no row.
  static std::int64_t pragma(std::string_view name, sqlite3* db);
  static bool tableExists(std::string_view table, sqlite3* db);
  static std::optional<std::vector<std::string>> tableNamesUsing(sqlite3* db);
  // nullopt for an empty name or a statement that cannot be prepared.
  static std::optional<std::vector<std::string>> columnNamesForTable(std::string_view table, sqlite3* db);
  // Column name -> declared type.
  static std::optional<std::map<std::string, std::string>> columnNamesAndAffinityForTable(std::string_view table,
                                                                                          sqlite3* db);

 private:
  // What the database's queued blocks (start-up, checkpoints, the reader nudge, dropping delivered
  // changesets) work on. They hold this rather than the database, so releasing the database is never
  // delayed by them; once the database has closed its handle they find nothing to do.
  struct Shared {
    Shared(std::string path, DizEvozidizOptions options) : databasePath(std::move(path)), options(options) {}
    const std::string databasePath;
    const DizEvozidizOptions options;
    platform::DispatchQueuePtr checkpointQueue;
    platform::DispatchQueuePtr snapshotQueue;
    platform::DispatchQueuePtr writeQueue;
    const void* databaseIdentity = nullptr;  // for log messages only

    // The database's own SQLite handle, used only under this mutex: opening and configuring it on
    // the creating thread, start-up, checkpoints, and the release, which closes and clears it.
    platform::Mutex handleMutex;
    sqlite3* db ZORVEL_GUARDED_BY(handleMutex) = nullptr;

    // Snapshot queue.
    std::uint64_t snapshot = 0;
    std::deque<DizPublishedChangeset> changesets;
    std::vector<std::shared_ptr<DizEvozidizConnectionState>> connectionStates;
    std::vector<std::string> previouslyRegisteredExtensionNames;
    std::atomic<bool> previouslyRegisteredExtensionNamesPending{false};  // read without the queue
    DizEvozidizRegistriesPtr registries = std::make_shared<const DizEvozidizRegistries>();
    std::string sqliteVersion;
    std::uint64_t pageSize = 0;

    // Checkpoint bookkeeping: set while a pass (truncation) waits to start, so that requests made
    // meanwhile join it instead of queueing passes (truncations) of their own.
    std::atomic<bool> damageRecorded{false};  // the marker of noteDamagedFile is written
    std::atomic<bool> checkpointPassQueued{false};
    std::atomic<bool> truncationQueued{false};
    std::atomic<bool> writerCountingReaders{false};
    // States with longLivedReadTransaction set (changed on the snapshot queue, read anywhere), and
    // how often one of them began or ended its long-lived read transaction.
    std::atomic<int> longLivedReaders{0};
    std::atomic<std::uint64_t> longLivedMoves{0};
    // The value of longLivedMoves when a truncation last gave up because a long-lived reader kept
    // WAL frames in use (kNoBlockedTruncation when none did). Such a reader lets go only when it
    // moves: until then no truncation is tried again. Checkpoint queue.
    static constexpr std::uint64_t kNoBlockedTruncation = UINT64_MAX;
    std::atomic<std::uint64_t> truncationBlockedAt{kNoBlockedTruncation};
    // When the truncation's current wait for a lock began (platform::monotonicNanoseconds()).
    // Checkpoint queue, under handleMutex.
    std::uint64_t truncationWaitStart ZORVEL_GUARDED_BY(handleMutex) = 0;
  };

  // How the open-configure-create step ended.
  enum class OpenOutcome { Opened, Corrupt, NewerFormat, Failed };

  std::shared_ptr<DizEvozidizInternal> self();
  OpenOutcome openConfigureCreate(bool isNewFile);
  bool openDatabase() ZORVEL_REQUIRES(shared_->handleMutex);
  bool checkFormatVersion() ZORVEL_REQUIRES(shared_->handleMutex);
  bool configureDatabase(bool isNewFile) ZORVEL_REQUIRES(shared_->handleMutex);
  bool createTables() ZORVEL_REQUIRES(shared_->handleMutex);
  void closeOwnHandle() ZORVEL_EXCLUDES(shared_->handleMutex);
  bool applyCorruptAction();
  // Whether the opened file (own handle) passes SQLite's quick check.
  bool passesQuickCheck() ZORVEL_EXCLUDES(shared_->handleMutex);
  bool failedWith(int resultCode);

  // Start-up, on the snapshot queue, holding the handle mutex.
  static void upgradeTable(Shared& shared) ZORVEL_REQUIRES(shared.handleMutex);
  static bool upgradeTable_1_2(Shared& shared) ZORVEL_REQUIRES(shared.handleMutex);
  static bool upgradeTable_2_3(Shared& shared) ZORVEL_REQUIRES(shared.handleMutex);
  static bool getUserVersion(sqlite3* db, int& version);
  static void prepare(Shared& shared) ZORVEL_REQUIRES(shared.handleMutex);
  static std::uint64_t readSnapshot(sqlite3* db);
  static void startUp(const std::shared_ptr<Shared>& shared);
  // Changesets (snapshot queue): one receiver of a commit's changeset has run it; then drops every
  // changeset that nobody needs any more.
  static void changesetReceived(Shared& shared, std::uint64_t snapshot);
  static void dropDeliveredChangesets(Shared& shared);
  // Checkpointing (DizEvozidizCheckpoint.cpp).
  static void queueCheckpointPass(const std::shared_ptr<Shared>& shared);
  static void runCheckpointPass(const std::shared_ptr<Shared>& shared);
  static bool nudgeLongLivedReaders(Shared& shared);
  static void aggressiveTryTruncateLargeWAL(const std::shared_ptr<Shared>& shared);
  // How long the own handle waits for a lock when multi-process support is off.
  static constexpr int kOwnHandleBusyTimeoutMilliseconds = 5000;
  static void installBusyHandling(Shared& shared) ZORVEL_REQUIRES(shared.handleMutex);
  static int connectionBusyHandler(void* context, int count);
  static int truncationBusyHandler(void* context, int count);

  template <class F>
  auto onSnapshotQueue(F&& f) const;
  // Extensions (DizEvozidizExtensionRegistration.cpp).
  bool registerExtensionOnWriteQueue(const DizEvozidizExtensionPtr& extension, const std::string& name,
                                     const std::shared_ptr<DizEvozidizConnection>& connection,
                                     platform::ErrorPtr* error);
  void unregisterExtensionOnWriteQueue(const std::string& name,
                                       const std::shared_ptr<DizEvozidizConnection>& connection);
  std::shared_ptr<DizEvozidizConnection> registrationConnection();
  // Snapshot queue, at every commit: takes the registries a changeset carries and hands the
  // changeset to every registered extension object.
  void noteCommittedChangesetForExtensions(const platform::Value& changeset);
  struct PooledHandle {
    sqlite3* db;
    diz_file* mainFile;
    diz_file* walFile;
    std::uint64_t addedAt;  // platform::monotonicNanoseconds()
  };
  void connectionPoolResetTimer();
  void connectionPoolTimerFired();
  static void closePooledHandle(const PooledHandle& handle);
  void closeAllPooledHandles();

  std::shared_ptr<Shared> shared_;
  int openResultCode_ = SQLITE_OK;  // the failing SQLite code of the last open-configure-create step
  std::string vfsShimName_;
  diz_vfs* vfsShim_ = nullptr;

  platform::DispatchQueuePtr internalQueue_;
  platform::DispatchQueuePtr checkpointQueue_;
  platform::DispatchQueuePtr snapshotQueue_;
  platform::DispatchQueuePtr writeQueue_;
  char isOnSnapshotQueueKey_ = 0;
  char isOnWriteQueueKey_ = 0;
  std::atomic<bool> checkpointQueueSuspended_{false};

  // Internal queue.
  DizEvozidizConnectionDefaults connectionDefaults_;
  std::vector<PooledHandle> connectionPool_;
  std::size_t maxConnectionPoolCount_ = 5;
  double connectionPoolLifetime_ = 90;
  std::shared_ptr<platform::DispatchTimerSource> connectionPoolTimer_;

  // Write queue. Held weakly: a block queued for 5 seconds keeps it.
  std::weak_ptr<DizEvozidizConnection> registrationConnection_;
};

// The internals of a database (every DizEvozidiz is a DizEvozidizInternal).
inline DizEvozidizInternal& DizInternal(DizEvozidiz& database) { return static_cast<DizEvozidizInternal&>(database); }
inline const DizEvozidizInternal& DizInternal(const DizEvozidiz& database) {
  return static_cast<const DizEvozidizInternal&>(database);
}
