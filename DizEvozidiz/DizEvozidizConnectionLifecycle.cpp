// How a connection runs transactions: the steps around read and read-write blocks that give each
// transaction one consistent commit, the commit and rollback, long-lived read transactions, and the
// pseudo read-write transactions around vacuum and backup.

#include <cstring>
#include <exception>
#include <limits>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizExtensionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "platform/services/files.h"
#include "platform/system/date.h"
#include "platform/system/progress.h"

namespace {

platform::DispatchQueuePtr orMain(const platform::DispatchQueuePtr& queue) {
  return queue ? queue : platform::DispatchQueue::main();
}

// What vacuum and backup report on a connection without a handle.
platform::ErrorPtr unusableConnectionStoreError() {
  return DizEvozidizConnection::dizErrorWithDescription(
      "The connection has no open database handle: opening the file failed", nullptr);
}

platform::ErrorPtr unusableConnectionError() {
  return DizEvozidizMakeError(DizEvozidizErrorConnectionUnusable,
                              "The connection has no open database handle: opening the file failed", nullptr,
                              SQLITE_OK);
}

}  // namespace

void DizEvozidizConnectionInternal::requireUsable() const {
  if (!db)
    platform::Exception::raise(DizEvozidizExceptionName,
                               platform::format("Connection <%@: %p> has no open database handle: opening the file "
                                                "failed.",
                                                "DizEvozidizConnection", static_cast<const void*>(this)));
}

std::shared_ptr<DizEvozidizConnectionState> DizEvozidizConnectionInternal::ownState() const {
  for (const auto& state : database_->connectionStatesOnSnapshotQueue())
    if (state->connectionIdentity == static_cast<const DizEvozidizConnectionHooks*>(this)) return state;
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Entry points

void DizEvozidizConnectionInternal::runReadTransaction(const ReadBlock& block) {
  if (longLivedReadTransaction_) {
    block(*longLivedReadTransaction_);
    return;
  }
  requireUsable();
  auto transaction = DizEvozidizReadTransaction::initWithConnection(this, false);
  preReadTransaction();
  try {
    block(*transaction);
  } catch (...) {
    postReadTransaction();
    throw;
  }
  postReadTransaction();
}

void DizEvozidizConnectionInternal::readWithBlock(const ReadBlock& block) {
  onQueueSync([&] { runReadTransaction(block); });
}

void DizEvozidizConnectionInternal::asyncReadWithBlock(ReadBlock block, CompletionBlock completion,
                                                       platform::DispatchQueuePtr completionQueue) {
  auto self = std::static_pointer_cast<DizEvozidizConnectionInternal>(shared_from_this());
  connectionQueue_->async([self, block = std::move(block), completion = std::move(completion),
                           completionQueue = std::move(completionQueue)] {
    try {
      self->runReadTransaction(block);
    } catch (const std::exception& e) {
      DIZ_CONN_LOG_ERROR("%@: Read transaction failed: %@", std::string(e.what()));
    }
    if (completion) orMain(completionQueue)->async(completion);
  });
}

bool DizEvozidizConnectionInternal::readWriteWithBlock(const ReadWriteBlock& block, platform::ErrorPtr* error) {
  const platform::ErrorPtr outcome = onQueueSync([&] { return runReadWriteTransaction(block, {}); });
  if (outcome && error) *error = outcome;
  return outcome == nullptr;
}

void DizEvozidizConnectionInternal::asyncReadWriteWithBlock(ReadWriteBlock block, ReadWriteCompletionBlock completion,
                                                            platform::DispatchQueuePtr completionQueue) {
  connectionQueue_->async([self = self(), block = std::move(block), completion = std::move(completion),
                           completionQueue = std::move(completionQueue)] {
    // Exactly once, whatever happens: as soon as the transaction has ended (on the write queue),
    // or here when it could not begin or an exception ended it first.
    bool reported = false;
    auto report = [&](const platform::ErrorPtr& error) {
      if (reported) return;
      reported = true;
      if (completion) orMain(completionQueue)->async([completion, error] { completion(error); });
    };
    try {
      report(self->runReadWriteTransaction(block, report));
    } catch (const std::exception& e) {
      DIZ_CONN_LOG_ERROR("%@: Read-write transaction failed: %@", std::string(e.what()));
      report(platform::Error::withDescription(
          std::string(DizEvozidizErrorDomain), DizEvozidizErrorException,
          std::string("The read-write transaction ended with an exception: ") + e.what()));
    }
  });
}

void DizEvozidizConnectionInternal::asyncReadWriteWithBlock(ReadWriteBlock block, CompletionBlock completion,
                                                            platform::DispatchQueuePtr completionQueue) {
  ReadWriteCompletionBlock withOutcome;
  if (completion) withOutcome = [completion = std::move(completion)](const platform::ErrorPtr&) { completion(); };
  asyncReadWriteWithBlock(std::move(block), std::move(withOutcome), std::move(completionQueue));
}

void DizEvozidizConnectionInternal::flushTransactionsWithCompletionQueue(platform::DispatchQueuePtr completionQueue,
                                                                         CompletionBlock completion) {
  if (!completion) return;
  connectionQueue_->async([completionQueue = std::move(completionQueue), completion = std::move(completion)] {
    orMain(completionQueue)->async(completion);
  });
}

void DizEvozidizConnectionInternal::releaseWriteQueueSuspension() {
  platform::MutexLock guard(lock_);
  if (writeQueueSuspended_) {
    database_->writeQueue()->resume();
    writeQueueSuspended_ = false;
  }
}

void DizEvozidizConnectionInternal::beginWriteQueueWork() {
  platform::MutexLock guard(lock_);
  if (writeQueueSuspended_) {
    database_->writeQueue()->resume();
    writeQueueSuspended_ = false;
  }
  activeReadWriteTransaction_ = true;
}

void DizEvozidizConnectionInternal::endWriteQueueWork() {
  platform::MutexLock guard(lock_);
  activeReadWriteTransaction_ = false;
}

platform::ErrorPtr DizEvozidizConnection::sqliteErrorWithCode(int code, const char* message) {
  platform::Value userInfo;
  if (message) {
    platform::ValueDictionary entries;
    entries.set(std::string(platform::kLocalizedDescriptionKey), platform::Value(std::string(message)));
    userInfo = platform::Value(std::move(entries));
  }
  return platform::Error::make(std::string(DizEvozidizSQLiteErrorDomain), code, std::move(userInfo));
}

platform::ErrorPtr DizEvozidizConnection::dizErrorWithDescription(std::optional<std::string> description,
                                                                  platform::ErrorPtr sqliteError) {
  platform::ValueDictionary entries;
  if (description)
    entries.set(std::string(platform::kLocalizedDescriptionKey), platform::Value(std::move(*description)));
  if (sqliteError) entries.set(std::string(platform::kUnderlyingErrorKey), platform::Value(std::move(sqliteError)));
  platform::Value userInfo;
  if (!entries.empty()) userInfo = platform::Value(std::move(entries));
  return platform::Error::make(std::string(DizEvozidizStoreErrorDomain), 0, std::move(userInfo));
}

platform::ErrorPtr DizEvozidizMakeError(std::int64_t code, const std::string& description, sqlite3* db,
                                        int resultCode) {
  platform::ValueDictionary userInfo;
  std::string text = description;
  if (resultCode != SQLITE_OK) {
    text += platform::format(": %d %s", resultCode, db ? sqlite3_errmsg(db) : sqlite3_errstr(resultCode));
    userInfo.set(std::string(DizEvozidizSQLiteResultCodeKey), platform::Value(resultCode));
  }
  userInfo.set(std::string(platform::kLocalizedDescriptionKey), platform::Value(std::move(text)));
  return platform::Error::make(std::string(DizEvozidizErrorDomain), code, platform::Value(std::move(userInfo)));
}

// Ends a long-lived read transaction before work that needs the handle to itself (a read-write
// transaction, vacuum, backup): raises when the exceptions are enabled, else warns.
void DizEvozidizConnectionInternal::implicitlyEndLongLivedReadTransaction() {
  if (!longLivedReadTransaction_) return;
  if (throwExceptionsForImplicitlyEndingLongLivedReadTransaction_)
    throw implicitlyEndingLongLivedReadTransactionException();
  DIZ_CONN_LOG_WARN("%@: Implicitly ending long-lived read transaction on connection %@, database %@", description(),
                    database_->description());
  endLongLivedOnQueue();
}

platform::ErrorPtr DizEvozidizConnectionInternal::runReadWriteTransaction(
    const ReadWriteBlock& block, const std::function<void(const platform::ErrorPtr&)>& whenEnded,
    bool callerHoldsWriteQueue) {
  implicitlyEndLongLivedReadTransaction();
  if (!db) {
    return unusableConnectionError();
  }
  beginWriteQueueWork();
  struct EndWriteQueueWork {
    DizEvozidizConnectionInternal& connection;
    ~EndWriteQueueWork() { connection.endWriteQueueWork(); }
  } endWork{*this};
  auto onWriteQueue = [&] {
    auto& writeQueue = database_->writeQueue();
    writeQueue->setSpecific(&isOnConnectionQueueKey_, &isOnConnectionQueueKey_);
    platform::ErrorPtr outcome = preReadWriteTransaction();
    if (outcome) {
      writeQueue->setSpecific(&isOnConnectionQueueKey_, nullptr);
      if (whenEnded) whenEnded(outcome);
      return outcome;
    }
    auto transaction = DizEvozidizReadWriteTransaction::initWithConnection(this, true);
    platform::ErrorPtr abort;
    std::exception_ptr thrown;
    try {
      block(*transaction);
    } catch (...) {
      thrown = std::current_exception();
      std::string what = "unknown exception";
      try {
        throw;
      } catch (const std::exception& e) {
        what = e.what();
      } catch (...) {
      }
      abort =
          DizEvozidizMakeError(DizEvozidizErrorException, "The read-write block threw (" + what + ")", db, SQLITE_OK);
    }
    outcome = postReadWriteTransaction(*transaction, abort);
    if (whenEnded) whenEnded(outcome);
    // Damaged extension tables the transaction met are dropped and built again now, while the
    // write queue is still held, so that the next write finds them whole.
    if (!damagedExtensionTables_.empty()) repairedExtensionTables_ = repairDamagedExtensionTables();
    // A block that throws leaves its work rolled back; its exception goes on to the caller, carried
    // out of the write queue by sync.
    if (thrown) std::rethrow_exception(thrown);
    return outcome;
  };
  if (callerHoldsWriteQueue) return onWriteQueue();
  return database_->writeQueue()->sync(onWriteQueue);
}

// ---------------------------------------------------------------------------------------------
// Steps around a read block

void DizEvozidizConnectionInternal::fetchMainFile() {
  if (main_file || !db) return;
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) == SQLITE_OK && file) {
    main_file = reinterpret_cast<diz_file*>(file);
    main_file->hook_context = this;
  }
}

// The handle's own WAL file, as SQLite keeps it for this handle (never the shim's "last opened WAL",
// which may belong to another connection's handle and go away with it). Known once a read has made
// the handle open its WAL.
void DizEvozidizConnectionInternal::learnWalFile() {
  if (wal_file || !db) return;
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &file) != SQLITE_OK || !file || !file->pMethods)
    return;
  auto* shimFile = reinterpret_cast<diz_file*>(file);
  if (!shimFile->is_wal) return;  // still the rollback journal: the handle has not opened its WAL yet
  wal_file = shimFile;
  wal_file->hook_context = this;
}

void DizEvozidizConnectionInternal::preReadTransaction() {
  assertOnConnectionQueue();
  fetchMainFile();
  if (!stepBeginTransaction()) {
    platform::Exception::raise(DizEvozidizExceptionName, "The read transaction could not begin: BEGIN failed.");
  }
  std::uint64_t dbSnapshot = 0;
  bool mustCatchUp = false;
  std::optional<platform::ValueArray> changesets;
  DatabaseRegistries registries;
  database_->snapshotQueue()->sync([&] {
    registries = databaseRegistries();
    bool writerActive = false;
    std::shared_ptr<DizEvozidizConnectionState> own;
    for (const auto& state : database_->connectionStatesOnSnapshotQueue()) {
      if (state->connectionIdentity == static_cast<const DizEvozidizConnectionHooks*>(this)) {
        own = state;
        state->activeReadTransaction = true;
      } else if (state->activeWriteTransaction) {
        writerActive = true;
      }
    }
    const bool careful = writerActive || longLivedReadTransaction_ || !wal_file || enableMultiProcessSupport_;
    if (careful) {
      dbSnapshot = readSnapshotFromDatabase();
      learnWalFile();
      needsMarkSqlLevelSharedReadLock_ = false;
    } else {
      dbSnapshot = database_->snapshot();
      needsMarkSqlLevelSharedReadLock_ = true;
    }
    if (snapshot_ < dbSnapshot) {
      mustCatchUp = true;
      changesets = database_->pendingAndCommittedChangesetsSince(snapshot_, dbSnapshot);
    }
    if (own) {
      database_->setLongLivedReadTransactionOnSnapshotQueue(*own, longLivedReadTransaction_ != nullptr);
      own->sqlLevelSharedReadLock = careful;
      own->lastTransactionSnapshot = dbSnapshot;
      own->lastTransactionTime = platform::monotonicNanoseconds();
    }
    readStateToMark_ = careful ? nullptr : own;
  });
  if (mustCatchUp) {
    try {
      catchUp(dbSnapshot, changesets);
    } catch (...) {
      // The transaction has begun: end it, or writers would wait for its read lock for ever.
      postReadTransaction();
      throw;
    }
  }
  takeRegistries(registries);
  if (needsMarkSqlLevelSharedReadLock_) {
    if (main_file) main_file->read_hook = &DizEvozidizConnectionInternal::connectionReadHook;
    if (wal_file) wal_file->read_hook = &DizEvozidizConnectionInternal::connectionReadHook;
  }
}

void DizEvozidizConnectionInternal::catchUp(std::uint64_t targetSnapshot,
                                            const std::optional<platform::ValueArray>& changesets) {
  if (changesets) {
    isFastForwarding_ = true;
    for (const auto& changeset : *changesets) noteCommittedChangeset(changeset);
    isFastForwarding_ = false;
  } else {
    flushMemoryWithFlagsOnQueue(DizFlushMemoryCaches | DizFlushMemoryState);
    diz_detail::adoptDatabaseRegistries(*this);
  }
  // A changeset may be missing from the list (not yet entered, or already dropped): never stay behind.
  if (snapshot_ < targetSnapshot) {
    if (changesets) {
      flushMemoryWithFlagsOnQueue(DizFlushMemoryCaches | DizFlushMemoryState);
      diz_detail::adoptDatabaseRegistries(*this);
    }
    snapshot_ = targetSnapshot;
  }
}

void DizEvozidizConnectionInternal::connectionReadHook(diz_file* file) {
  auto* connection = static_cast<DizEvozidizConnectionInternal*>(file->hook_context);
  file->read_hook = nullptr;
  if (connection && connection->needsMarkSqlLevelSharedReadLock_) connection->markSqlLevelSharedReadLockAcquired();
}

void DizEvozidizConnectionInternal::markSqlLevelSharedReadLockAcquired() {
  if (!needsMarkSqlLevelSharedReadLock_) return;
  std::shared_ptr<DizEvozidizConnectionState> own = std::move(readStateToMark_);
  if (own) {
    // Only a writer that is counting readers needs to hear of this lock; any other finds the flag.
    own->sqlLevelSharedReadLock.store(true);
    if (!database_->writerCountingReaders().load()) {
      needsMarkSqlLevelSharedReadLock_ = false;
      return;
    }
  }
  std::shared_ptr<DizEvozidizConnectionState> writer;
  auto walk = [&] {
    std::size_t readersWithoutLock = 0;
    std::shared_ptr<DizEvozidizConnectionState> waiting;
    for (const auto& state : database_->connectionStatesOnSnapshotQueue()) {
      if (state->connectionIdentity == static_cast<const DizEvozidizConnectionHooks*>(this))
        state->sqlLevelSharedReadLock = true;
      else if (state->activeReadTransaction && !state->sqlLevelSharedReadLock)
        ++readersWithoutLock;
      else if (state->waitingForWriteLock)
        waiting = state;
    }
    if (readersWithoutLock == 0 && waiting) writer = waiting;
  };
  if (database_->isOnSnapshotQueue())
    walk();
  else
    database_->snapshotQueue()->sync(walk);
  needsMarkSqlLevelSharedReadLock_ = false;
  if (writer) writer->signalWriteLock();
}

void DizEvozidizConnectionInternal::postReadTransaction() {
  assertOnConnectionQueue();
  if (!stepCommitTransaction()) stepRollbackTransaction();
  if (main_file) main_file->read_hook = nullptr;
  if (wal_file) wal_file->read_hook = nullptr;
  needsMarkSqlLevelSharedReadLock_ = false;
  readStateToMark_.reset();

  std::uint64_t minSnapshot = 0;
  std::shared_ptr<DizEvozidizConnectionState> writer;
  platform::ValueArray owed;
  database_->snapshotQueue()->sync([&] {
    minSnapshot = database_->snapshot();
    bool wasWithoutLock = false;
    std::size_t readersWithoutLock = 0;
    std::shared_ptr<DizEvozidizConnectionState> waiting;
    for (const auto& state : database_->connectionStatesOnSnapshotQueue()) {
      if (state->connectionIdentity == static_cast<const DizEvozidizConnectionHooks*>(this)) {
        wasWithoutLock = !state->sqlLevelSharedReadLock;
        state->activeReadTransaction = false;
        database_->setLongLivedReadTransactionOnSnapshotQueue(*state, false);
        state->sqlLevelSharedReadLock = false;
        // The commits made meanwhile, which the database left for this connection to take now.
        if (state->changesetsOwedFrom) owed = database_->takeOwedChangesets(*state, snapshot_);
      } else if (state->activeReadTransaction) {
        minSnapshot = std::min(minSnapshot, state->lastTransactionSnapshot);
        if (!state->sqlLevelSharedReadLock) ++readersWithoutLock;
      } else if (state->activeWriteTransaction) {
        minSnapshot = std::min(minSnapshot, state->lastTransactionSnapshot);
        if (state->waitingForWriteLock) waiting = state;
      }
    }
    if (waiting && readersWithoutLock == 0 && wasWithoutLock) writer = waiting;
  });
  if (snapshot_ < minSnapshot) {
    database_->asyncCheckpoint(minSnapshot);
    diz_detail::checkpointMemoryTables(*this, minSnapshot);
  }
  if (writer) writer->signalWriteLock();
  // What the database would otherwise have queued behind this transaction on the connection's queue.
  for (const auto& changeset : owed) noteCommittedChangeset(changeset);
}

std::uint64_t DizEvozidizConnectionInternal::readSnapshotFromDatabase() {
  sqlite3_stmt* statement = dizGetDataForKeyStatement();
  if (!statement) return 0;
  sqlite3_bind_text(statement, 1, "", 0, SQLITE_STATIC);
  sqlite3_bind_text(statement, 2, "snapshot", 8, SQLITE_STATIC);
  std::uint64_t result = 0;
  const int rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW)
    result = static_cast<std::uint64_t>(sqlite3_column_int64(statement, 0));
  else if (rc == SQLITE_ERROR)
    DIZ_CONN_LOG_ERROR("%@: Error executing 'dizGetDataForKeyStatement': %d %s", rc, sqlite3_errmsg(db));
  sqlite3_clear_bindings(statement);
  sqlite3_reset(statement);
  return result;
}

std::uint64_t DizEvozidizConnectionInternal::incrementSnapshotInDatabase(bool& ok) {
  const std::uint64_t newSnapshot = snapshot_ + 1;
  ok = false;
  sqlite3_stmt* statement = dizSetDataForKeyStatement();
  if (!statement) return newSnapshot;
  sqlite3_bind_text(statement, 1, "", 0, SQLITE_STATIC);
  sqlite3_bind_text(statement, 2, "snapshot", 8, SQLITE_STATIC);
  sqlite3_bind_int64(statement, 3, static_cast<sqlite3_int64>(newSnapshot));
  const int rc = sqlite3_step(statement);
  if (rc == SQLITE_DONE)
    ok = true;
  else
    DIZ_CONN_LOG_ERROR("%@: Error executing 'dizSetDataForKeyStatement': %d %s", rc, sqlite3_errmsg(db));
  sqlite3_clear_bindings(statement);
  sqlite3_reset(statement);
  return newSnapshot;
}

// ---------------------------------------------------------------------------------------------
// Steps around a read-write block (on the write queue)

platform::ErrorPtr DizEvozidizConnectionInternal::preReadWriteTransaction() {
  assertOnConnectionQueue();
  fetchMainFile();
  const bool begun = enableMultiProcessSupport_ ? stepBeginImmediateTransaction() : stepBeginTransaction();
  if (!begun) {
    return DizEvozidizMakeError(DizEvozidizErrorBeginFailed, "The read-write transaction could not begin", db,
                                db ? sqlite3_extended_errcode(db) : SQLITE_MISUSE);
  }
  catchUpWithDatabase(enableMultiProcessSupport_);

  hasDiskChanges = false;
  allKeysRemoved = false;
  if (!objectChanges) objectChanges = platform::make<DizChangedValues>();
  if (!metadataChanges) metadataChanges = platform::make<DizChangedValues>();
  if (!removedKeys) removedKeys = platform::make<DizCollectionKeySet>();
  if (!removedCollections) removedCollections = platform::make<DizStringSet>();
  if (!removedRowids) removedRowids = platform::make<DizRowidHashSet>();
  if (!mutationStack) mutationStack = std::make_shared<DizMutationStack_Bool>();
  diz_detail::beginReadWriteTransaction(*this);
  return nullptr;
}

// On the write queue, before work that will publish a commit (a read-write transaction, vacuum):
// marks the own state as writing and brings the connection up to the database's latest commit, so
// that the commit it publishes is numbered after every earlier one and its caches hold nothing
// older. `readFromFile` takes the latest commit from the file (another process may have written)
// rather than from the database object.
void DizEvozidizConnectionInternal::catchUpWithDatabase(bool readFromFile) {
  std::uint64_t dbSnapshot = 0;
  bool mustCatchUp = false;
  std::optional<platform::ValueArray> changesets;
  DatabaseRegistries registries;
  database_->snapshotQueue()->sync([&] {
    registries = databaseRegistries();
    auto own = ownState();
    if (own) own->activeWriteTransaction = true;
    if (!wal_file) {
      // This SQL read makes SQLite open the handle's WAL file.
      const std::uint64_t fileSnapshot = readSnapshotFromDatabase();
      dbSnapshot = readFromFile ? fileSnapshot : database_->snapshot();
      learnWalFile();
    } else {
      dbSnapshot = readFromFile ? readSnapshotFromDatabase() : database_->snapshot();
    }
    if (snapshot_ < dbSnapshot) {
      mustCatchUp = true;
      changesets = database_->pendingAndCommittedChangesetsSince(snapshot_, dbSnapshot);
    }
    if (own) {
      own->lastTransactionSnapshot = dbSnapshot;
      own->lastTransactionTime = platform::monotonicNanoseconds();
    }
    needsMarkSqlLevelSharedReadLock_ = false;
  });
  if (mustCatchUp) {
    externallyModified = !changesets.has_value();
    catchUp(dbSnapshot, changesets);
  } else {
    externallyModified = false;
  }
  takeRegistries(registries);
}

DizEvozidizConnectionInternal::DatabaseRegistries DizEvozidizConnectionInternal::databaseRegistries() const {
  return {database_->snapshot(), database_->registriesOnSnapshotQueue()};
}

void DizEvozidizConnectionInternal::takeRegistries(const DatabaseRegistries& registries) {
  // Registries published without a commit are the database's at the snapshot they were published
  // at: a connection at that snapshot takes them. One behind it catches up first; one ahead of it
  // (a pending commit) already holds newer ones.
  if (snapshot_ == registries.snapshot && registries.registries != extensionState->registries)
    diz_detail::adoptRegistries(*this, registries.registries);
}

void DizEvozidizConnectionInternal::abandonWriteTransaction(const platform::Value& pendingChangeset) {
  // SQLite's rollback; the caches may hold what the failed transaction read or wrote.
  stepRollbackTransaction();
  flushMemoryWithFlagsOnQueue(DizFlushMemoryCaches);
  database_->snapshotQueue()->sync([&] {
    // The commit never became visible: withdraw its pending changeset.
    if (pendingChangeset) database_->withdrawPendingChangeset(pendingChangeset["snapshot"].asUInt64());
    if (auto own = ownState()) {
      own->activeWriteTransaction = false;
      own->waitingForWriteLock = false;
    }
  });
}

void DizEvozidizConnectionInternal::rolledBackReadWriteTransaction(DizEvozidizReadWriteTransaction& transaction) {
  transaction.extensionsDidRollback();
  diz_detail::restoreRegistries(*this);
}

platform::ErrorPtr DizEvozidizConnectionInternal::rollBackReadWriteTransaction(
    DizEvozidizReadWriteTransaction& transaction, platform::ErrorPtr why) {
  database_->snapshotQueue()->sync([&] {
    if (auto own = ownState()) own->activeWriteTransaction = false;
  });
  stepRollbackTransaction();
  rolledBackReadWriteTransaction(transaction);
  if (objectCache) objectCache->removeAllObjects();
  if (metadataCache) metadataCache->removeAllObjects();
  // Rowids the rolled-back rows had are handed out again by SQLite: no rowid <-> key entry of
  // this transaction may survive.
  keyCache.removeAllObjects();
  finishReadWriteTransaction();
  return why;
}

// The modified notification of a commit: the database as its object and the external changeset as
// its user info, both referring to the database and this connection weakly (see
// DizEvozidizModifiedNotification).
platform::NotificationPtr DizEvozidizConnectionInternal::makeModifiedNotification(platform::ValueDictionary& external) {
  external.set("snapshot", platform::Value(snapshot_));
  external.set("connection", platform::Value::weakObject(self()));
  return platform::Notification::makeWithWeakObject(std::string(DizEvozidizModifiedNotification), database_,
                                                    platform::Value(external));
}

platform::ErrorPtr DizEvozidizConnectionInternal::postReadWriteTransaction(DizEvozidizReadWriteTransaction& transaction,
                                                                           const platform::ErrorPtr& abort) {
  if (abort) return rollBackReadWriteTransaction(transaction, abort);
  if (transaction.rollbackRequested()) {
    return rollBackReadWriteTransaction(
        transaction,
        DizEvozidizMakeError(DizEvozidizErrorRolledBack, "The read-write block asked for a rollback", db, SQLITE_OK));
  }
  if (platform::ErrorPtr failure = transaction.writeFailure())
    return rollBackReadWriteTransaction(transaction, failure);

  // Extensions of an earlier run that were not registered again lose their tables here, before the
  // flushes, so that whatever dropping them writes is committed like any other write.
  const bool checkedOrphans = diz_detail::dropOrphanedExtensions(*this, transaction);
  transaction.preCommitReadWriteTransaction();
  if (platform::ErrorPtr failure = transaction.writeFailure())
    return rollBackReadWriteTransaction(transaction, failure);
  platform::Value internal;
  platform::Value external;
  getInternalChangeset(internal, external);
  if (!checkedOrphans && !hasDiskChanges && !externallyModified && !transaction.hasMemoryTableChanges() &&
      diz_detail::changedOnlyRegistries(*this, internal, external))
    return publishRegistriesWithoutCommit(transaction);

  const std::uint64_t oldSnapshot = snapshot_;
  platform::NotificationPtr notification;
  // A commit that changed only memory tables is a change too: other connections see memory-table
  // versions only at a snapshot that counts them.
  const bool changed = internal || external || hasDiskChanges || transaction.hasMemoryTableChanges();
  if (changed) {
    bool written = true;
    const std::uint64_t newSnapshot =
        (hasDiskChanges || enableMultiProcessSupport_) ? incrementSnapshotInDatabase(written) : snapshot_ + 1;
    if (!written) {
      platform::ErrorPtr failure = DizEvozidizMakeError(
          DizEvozidizErrorCommitFailed, "The commit counter could not be written", db, sqlite3_extended_errcode(db));
      abandonWriteTransaction({});
      rolledBackReadWriteTransaction(transaction);
      finishReadWriteTransaction();
      return failure;
    }
    snapshot_ = newSnapshot;
    platform::ValueDictionary in = internal ? internal.asDictionary() : platform::ValueDictionary();
    platform::ValueDictionary ex = external ? external.asDictionary() : platform::ValueDictionary();
    in.set("snapshot", platform::Value(snapshot_));
    if (externallyModified) in.set("modifiedExternally", platform::Value(true));
    if (transaction.customObjectForNotification()) ex.set("custom", transaction.customObjectForNotification());
    notification = makeModifiedNotification(ex);
    external = platform::Value(std::move(ex));
    in.set("notification", platform::Value(notification));
    internal = platform::Value(std::move(in));
  }

  // Wait until every reader that has begun holds SQLite's read lock, so none of them can end up
  // seeing this commit while believing it reads the previous one.
  std::shared_ptr<DizEvozidizConnectionState> own;
  while (true) {
    bool mustWait = false;
    database_->snapshotQueue()->sync([&] {
      // Before the readers' flags are read: a reader taking its lock from now on comes here to tell.
      database_->writerCountingReaders().store(true);
      for (const auto& state : database_->connectionStatesOnSnapshotQueue()) {
        if (state->connectionIdentity == static_cast<const DizEvozidizConnectionHooks*>(this))
          own = state;
        else if (state->activeReadTransaction && !state->sqlLevelSharedReadLock)
          mustWait = true;
      }
      if (!own || !mustWait) database_->writerCountingReaders().store(false);
      if (!own) return;
      if (mustWait) {
        own->waitingForWriteLock = true;
        own->prepareWriteLock();
      } else {
        own->waitingForWriteLock = false;
        if (internal) database_->notePendingChangeset(internal);
      }
    });
    if (!mustWait || !own) break;
    own->waitForWriteLock();
  }

  if (!stepCommitTransaction()) {
    platform::ErrorPtr failure =
        DizEvozidizMakeError(DizEvozidizErrorCommitFailed, "COMMIT failed", db, sqlite3_extended_errcode(db));
    abandonWriteTransaction(internal);
    snapshot_ = oldSnapshot;
    rolledBackReadWriteTransaction(transaction);
    finishReadWriteTransaction();
    return failure;
  }
  transaction.extensionsDidCommit();
  if (checkedOrphans) database_->clearPreviouslyRegisteredExtensionNames();

  std::uint64_t minSnapshot = std::numeric_limits<std::uint64_t>::max();
  database_->snapshotQueue()->sync([&] {
    if (internal) database_->noteCommittedChangeset(internal, this);
    for (const auto& state : database_->connectionStatesOnSnapshotQueue()) {
      if (state->activeReadTransaction) minSnapshot = std::min(minSnapshot, state->lastTransactionSnapshot);
      if (state->connectionIdentity == static_cast<const DizEvozidizConnectionHooks*>(this)) {
        state->activeWriteTransaction = false;
        state->waitingForWriteLock = false;
      }
    }
  });
  if (changed && minSnapshot == std::numeric_limits<std::uint64_t>::max()) {
    database_->asyncCheckpoint(snapshot_);
    diz_detail::checkpointMemoryTables(*this, snapshot_);
  }
  if (notification) platform::NotificationCenter::defaultCenter()->postOnMainQueueAsync(notification);
  finishReadWriteTransaction();
  return nullptr;
}

// A registration that found its extension's storage as it had to be changed nothing in the file:
// the SQL transaction ends, and the new registries become the database's at its current snapshot,
// with no commit number, no counter written, no checkpoint and no notification. The commit number
// is what tells other processes that the file changed, and nothing did.
platform::ErrorPtr DizEvozidizConnectionInternal::publishRegistriesWithoutCommit(
    DizEvozidizReadWriteTransaction& transaction) {
  if (!stepCommitTransaction()) {
    platform::ErrorPtr failure =
        DizEvozidizMakeError(DizEvozidizErrorCommitFailed, "COMMIT failed", db, sqlite3_extended_errcode(db));
    abandonWriteTransaction({});
    rolledBackReadWriteTransaction(transaction);
    finishReadWriteTransaction();
    return failure;
  }
  transaction.extensionsDidCommit();
  database_->snapshotQueue()->sync([&] {
    database_->publishRegistriesOnSnapshotQueue(extensionState->registries);
    if (auto own = ownState()) {
      own->activeWriteTransaction = false;
      own->waitingForWriteLock = false;
    }
  });
  finishReadWriteTransaction();
  return nullptr;
}

void DizEvozidizConnectionInternal::finishReadWriteTransaction() {
  diz_detail::endReadWriteTransaction(*this);
  dropChangeRecords();
  if (mutationStack) mutationStack->clear();
  database_->writeQueue()->setSpecific(&isOnConnectionQueueKey_, nullptr);
}

void DizEvozidizConnectionInternal::dropChangeRecords() {
  // Published records now belong to their changesets; the next transaction makes fresh ones.
  if (objectChanges && !objectChanges->map.empty()) objectChanges.reset();
  if (metadataChanges && !metadataChanges->map.empty()) metadataChanges.reset();
  if (removedKeys && !removedKeys->set.empty()) removedKeys.reset();
  if (removedCollections && !removedCollections->set.empty()) removedCollections.reset();
  if (removedRowids && !removedRowids->set.empty()) removedRowids.reset();
  allKeysRemoved = false;
}

// ---------------------------------------------------------------------------------------------
// Pseudo read-write transactions: vacuum and backup

// On the connection queue: vacuum and backup run on the write queue like a read-write transaction
// (so the checkpointer's reset leaves the write queue alone meanwhile), between the pseudo steps.
template <class Work>
void DizEvozidizConnectionInternal::runPseudoReadWriteTransaction(const Work& work) {
  implicitlyEndLongLivedReadTransaction();
  beginWriteQueueWork();
  try {
    database_->writeQueue()->sync([&] {
      prePseudoReadWriteTransaction();
      work();
      postPseudoReadWriteTransaction();
    });
  } catch (...) {
    endWriteQueueWork();
    throw;
  }
  endWriteQueueWork();
}

void DizEvozidizConnectionInternal::prePseudoReadWriteTransaction() {
  database_->writeQueue()->setSpecific(&isOnConnectionQueueKey_, &isOnConnectionQueueKey_);
  fetchMainFile();
  // Commits this connection has not applied yet (their changesets may wait behind this step on
  // its queue) come first: the pseudo commit is numbered after them, and the caches drop what
  // they changed.
  catchUpWithDatabase(enableMultiProcessSupport_);
  hasDiskChanges = false;
}

void DizEvozidizConnectionInternal::postPseudoReadWriteTransaction() {
  platform::Value internal;
  if (hasDiskChanges) {
    // With other processes on the file the number goes into the file too, or their next commit
    // would take it again.
    bool written = true;
    snapshot_ = enableMultiProcessSupport_ ? incrementSnapshotInDatabase(written) : snapshot_ + 1;
    platform::ValueDictionary in;
    platform::ValueDictionary ex;
    in.set("snapshot", platform::Value(snapshot_));
    in.set("notification", platform::Value(makeModifiedNotification(ex)));
    internal = platform::Value(std::move(in));
  }
  std::uint64_t minSnapshot = std::numeric_limits<std::uint64_t>::max();
  database_->snapshotQueue()->sync([&] {
    if (internal) {
      database_->notePendingChangeset(internal);
      database_->noteCommittedChangeset(internal, this);
    }
    for (const auto& state : database_->connectionStatesOnSnapshotQueue()) {
      if (state->activeReadTransaction) minSnapshot = std::min(minSnapshot, state->lastTransactionSnapshot);
      if (state->connectionIdentity == static_cast<const DizEvozidizConnectionHooks*>(this)) {
        state->activeWriteTransaction = false;
        state->waitingForWriteLock = false;
      }
    }
  });
  if (internal && minSnapshot == std::numeric_limits<std::uint64_t>::max()) database_->asyncCheckpoint(snapshot_);
  database_->writeQueue()->setSpecific(&isOnConnectionQueueKey_, nullptr);
}

bool DizEvozidizConnectionInternal::vacuum(platform::ErrorPtr* error) {
  platform::ErrorPtr failure;
  onQueueSync([&] {
    if (!db) {
      failure = unusableConnectionStoreError();
      return;
    }
    runPseudoReadWriteTransaction([&] {
      int rc = sqlite3_exec(db, "PRAGMA auto_vacuum = FULL;", nullptr, nullptr, nullptr);
      if (rc != SQLITE_OK) DIZ_CONN_LOG_ERROR("%@: Error setting PRAGMA auto_vacuum: %d %s", rc, sqlite3_errmsg(db));
      rc = sqlite3_exec(db, "VACUUM;", nullptr, nullptr, nullptr);
      if (rc != SQLITE_OK) {
        DIZ_CONN_LOG_ERROR("%@: Error performing VACUUM: %d %s", rc, sqlite3_errmsg(db));
        failure = dizErrorWithDescription("Error performing VACUUM",
                                          sqliteErrorWithCode(sqlite3_extended_errcode(db), sqlite3_errmsg(db)));
      } else {
        hasDiskChanges = true;
      }
    });
  });
  if (failure && error) *error = failure;
  return failure == nullptr;
}

platform::ErrorPtr DizEvozidizConnectionInternal::backupToPath(const std::string& path) {
  return onQueueSync([&] { return backupToPathOnQueue(path, nullptr); });
}

namespace {

// Pages copied per backup step: small enough that a cancellation is noticed soon.
constexpr int kBackupPagesPerStep = 1500;
// How long a backup waits, in all, for a target that another handle keeps locked, before it fails
// (a synchronous backup has no progress to cancel it through).
constexpr int kBackupBusyMilliseconds = 2000;
constexpr int kBackupBusyPauseMilliseconds = 10;

}  // namespace

// The online copy, on the connection's queue. A copy that does not complete leaves no file behind
// where there was none (an abandoned copy's empty or partial file would pass for a backup), and an
// existing target as it was (SQLite rolls the unfinished copy back).
platform::ErrorPtr DizEvozidizConnectionInternal::backupToPathOnQueue(const std::string& path,
                                                                      platform::Progress* progress) {
  if (!db) return unusableConnectionStoreError();
  platform::ErrorPtr error;
  auto& files = platform::FileManager::defaultManager();
  const bool targetExisted = files.fileExists(path);
  runPseudoReadWriteTransaction([&] {
    sqlite3* target = nullptr;
    const char* step = "sqlite3_open_v2()";
    int rc = sqlite3_open_v2(path.c_str(), &target, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    bool cancelled = false;
    if (rc == SQLITE_OK) {
      step = "sqlite3_backup_init()";
      sqlite3_backup* backup = sqlite3_backup_init(target, "main", db, "main");
      if (backup) {
        step = "sqlite3_backup_step()";
        auto report = [&] {
          if (!progress) return;
          const int total = sqlite3_backup_pagecount(backup);
          progress->setTotalUnitCount(total);
          progress->setCompletedUnitCount(total - sqlite3_backup_remaining(backup));
        };
        cancelled = progress && progress->isCancelled();
        int busyWaited = 0;
        while (!cancelled) {
          rc = sqlite3_backup_step(backup, kBackupPagesPerStep);
          if ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && busyWaited < kBackupBusyMilliseconds) {
            sqlite3_sleep(kBackupBusyPauseMilliseconds);
            busyWaited += kBackupBusyPauseMilliseconds;
          } else if (rc == SQLITE_OK || rc == SQLITE_DONE) {
            report();
            if (rc == SQLITE_DONE) break;
          } else {
            break;
          }
          cancelled = progress && progress->isCancelled();
        }
        sqlite3_backup_finish(backup);
        if (rc == SQLITE_DONE) rc = SQLITE_OK;
      } else {
        rc = sqlite3_errcode(target);
      }
    }
    if (cancelled) {
      error = dizErrorWithDescription("Operation cancelled", nullptr);
    } else if (rc != SQLITE_OK) {
      // Opening and starting say why through the target's handle (opening may leave none); a
      // step's result code speaks for itself.
      const bool stepFailed = std::strcmp(step, "sqlite3_backup_step()") == 0;
      const char* message = stepFailed ? sqlite3_errstr(rc) : target ? sqlite3_errmsg(target) : nullptr;
      error = dizErrorWithDescription(std::string("Error from: ") + step, sqliteErrorWithCode(rc, message));
    }
    if (target) sqlite3_close(target);
    if (error && !targetExisted) {
      for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        const std::string leftover = path + suffix;
        if (files.fileExists(leftover)) files.removeItem(leftover, nullptr);
      }
    }
  });
  return error;
}

// ---------------------------------------------------------------------------------------------
// Long-lived read transactions

std::vector<platform::NotificationPtr> DizEvozidizConnectionInternal::beginLongLivedOnQueue() {
  assertOnConnectionQueue();
  requireUsable();
  std::vector<platform::NotificationPtr> notifications;
  if (longLivedReadTransaction_) notifications = *endLongLivedOnQueue();
  longLivedReadTransaction_ = DizEvozidizReadTransaction::initWithConnection(this, false);
  try {
    preReadTransaction();
  } catch (...) {
    longLivedReadTransaction_.reset();
    throw;
  }
  for (const auto& changeset : processedChangesets_)
    if (auto n = changeset["notification"].as<platform::Notification>()) notifications.push_back(n);
  processedChangesets_.clear();
  return notifications;
}

std::optional<std::vector<platform::NotificationPtr>> DizEvozidizConnectionInternal::endLongLivedOnQueue() {
  assertOnConnectionQueue();
  if (!longLivedReadTransaction_) return std::nullopt;
  postReadTransaction();
  longLivedReadTransaction_.reset();
  std::vector<platform::NotificationPtr> notifications;
  platform::ValueArray pending;
  pending.swap(pendingChangesets_);
  for (const auto& changeset : pending) {
    noteCommittedChangeset(changeset);
    if (auto n = changeset["notification"].as<platform::Notification>()) notifications.push_back(n);
  }
  return notifications;
}

std::vector<platform::NotificationPtr> DizEvozidizConnectionInternal::beginLongLivedReadTransaction() {
  return onQueueSync([&] { return beginLongLivedOnQueue(); });
}

std::optional<std::vector<platform::NotificationPtr>> DizEvozidizConnectionInternal::endLongLivedReadTransaction() {
  return onQueueSync([&] { return endLongLivedOnQueue(); });
}

bool DizEvozidizConnectionInternal::isInLongLivedReadTransaction() const {
  return onQueueSync([&] { return longLivedReadTransaction_ != nullptr; });
}

void DizEvozidizConnectionInternal::enableExceptionsForImplicitlyEndingLongLivedReadTransaction() {
  onQueueAsync(
      [](DizEvozidizConnectionInternal& c) { c.throwExceptionsForImplicitlyEndingLongLivedReadTransaction_ = true; });
}

void DizEvozidizConnectionInternal::disableExceptionsForImplicitlyEndingLongLivedReadTransaction() {
  onQueueAsync(
      [](DizEvozidizConnectionInternal& c) { c.throwExceptionsForImplicitlyEndingLongLivedReadTransaction_ = false; });
}

platform::Exception DizEvozidizConnectionInternal::implicitlyEndingLongLivedReadTransactionException() const {
  const std::string reason = platform::format(
      "Database <%@: %p> had long-lived read transaction implicitly ended by executing a read-write transaction.",
      "DizEvozidizConnection", static_cast<const void*>(this));
  const std::string suggestion =
      "Connections with long-lived read transactions are generally designed to be read-only connections. As such, "
      "you'll want to use a separate connection for the read-write transaction. If this is not the case (very, "
      "very, very rare) you can disable this exception using "
      "disableExceptionsForImplicitlyEndingLongLivedReadTransaction. Keep in mind that if you disable these "
      "exceptions without understanding why they're enabled by default then you're inevitably creating a "
      "hard-to-reproduce bug and likely a few crashes too. Don't be lazy. You've been warned.";
  return platform::Exception(
      std::string(DizEvozidizExceptionName), reason,
      platform::Value::dictionary({{"NSLocalizedRecoverySuggestion", platform::Value(suggestion)}}));
}

void DizEvozidizConnectionInternal::maybeResetLongLivedReadTransaction() {
  // Called on the snapshot queue: never wait for it here.
  auto self = std::static_pointer_cast<DizEvozidizConnectionInternal>(shared_from_this());
  database_->writeQueue()->async([self] {
    {
      platform::MutexLock guard(self->lock_);
      if (self->activeReadWriteTransaction_) return;
      if (!self->writeQueueSuspended_) {
        self->database_->writeQueue()->suspend();
        self->writeQueueSuspended_ = true;
      }
    }
    self->connectionQueue_->async([self] {
      bool suspended = false;
      {
        platform::MutexLock guard(self->lock_);
        suspended = self->writeQueueSuspended_;
      }
      if (suspended && self->longLivedReadTransaction_ && self->snapshot_ == self->database_->snapshot()) {
        auto notifications = self->beginLongLivedOnQueue();
        if (!notifications.empty())
          DIZ_CONN_LOG_ERROR(
              "%@: Core logic failure! Silent longLivedReadTransaction reset resulted in non-empty notification "
              "array!");
      }
      self->releaseWriteQueueSuspension();
    });
  });
}
