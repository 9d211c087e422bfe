// The connection object: creation and destruction, its SQLite handle, caches and statements.
// Transactions are in DizEvozidizConnectionLifecycle.cpp, changesets in DizEvozidizChangesets.cpp.

#include <algorithm>
#include <cstring>
#include <exception>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizExtensionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "platform/runtime/thread.h"

namespace {

struct StatementText {
  const char* getter;
  const char* sql;
};

// Index order = slot order in statements_.
constexpr StatementText kStatements[37] = {
    {"beginTransactionStatement", "BEGIN TRANSACTION;"},
    {"beginImmediateTransactionStatement", "BEGIN IMMEDIATE TRANSACTION;"},
    {"commitTransactionStatement", "COMMIT TRANSACTION;"},
    {"rollbackTransactionStatement", "ROLLBACK TRANSACTION;"},
    {"dizGetDataForKeyStatement", "SELECT \"data\" FROM \"diz2\" WHERE \"extension\" = ? AND \"key\" = ?;"},
    {"dizSetDataForKeyStatement",
     "INSERT OR REPLACE INTO \"diz2\" (\"extension\", \"key\", \"data\") VALUES (?, ?, ?);"},
    {"dizRemoveForKeyStatement", "DELETE FROM \"diz2\" WHERE \"extension\" = ? AND \"key\" = ?;"},
    {"dizRemoveExtensionStatement", "DELETE FROM \"diz2\" WHERE \"extension\" = ?;"},
    {"getCollectionCountStatement", "SELECT COUNT(DISTINCT collection) AS NumberOfRows FROM \"database2\";"},
    {"getKeyCountForCollectionStatement",
     "SELECT COUNT(*) AS NumberOfRows FROM \"database2\" WHERE \"collection\" = ?;"},
    {"getKeyCountForAllStatement", "SELECT COUNT(*) AS NumberOfRows FROM \"database2\";"},
    {"getCountForRowidStatement", "SELECT COUNT(*) AS NumberOfRows FROM \"database2\" WHERE \"rowid\" = ?;"},
    {"getRowidForKeyStatement", "SELECT \"rowid\" FROM \"database2\" WHERE \"collection\" = ? AND \"key\" = ?;"},
    {"getKeyForRowidStatement", "SELECT \"collection\", \"key\" FROM \"database2\" WHERE \"rowid\" = ?;"},
    {"getDataForRowidStatement", "SELECT \"data\" FROM \"database2\" WHERE \"rowid\" = ?;"},
    {"getMetadataForRowidStatement", "SELECT \"metadata\" FROM \"database2\" WHERE \"rowid\" = ?;"},
    {"getAllForRowidStatement", "SELECT \"data\", \"metadata\" FROM \"database2\" WHERE \"rowid\" = ?;"},
    {"getDataForKeyStatement",
     "SELECT \"rowid\", \"data\" FROM \"database2\" WHERE \"collection\" = ? AND \"key\" = ?;"},
    {"getMetadataForKeyStatement",
     "SELECT \"rowid\", \"metadata\" FROM \"database2\" WHERE \"collection\" = ? AND \"key\" = ?;"},
    {"getAllForKeyStatement",
     "SELECT \"rowid\", \"data\", \"metadata\" FROM \"database2\" WHERE \"collection\" = ? AND \"key\" = ?;"},
    {"insertForRowidStatement",
     "INSERT INTO \"database2\" (\"collection\", \"key\", \"data\", \"metadata\") VALUES (?, ?, ?, ?);"},
    {"updateAllForRowidStatement", "UPDATE \"database2\" SET \"data\" = ?, \"metadata\" = ? WHERE \"rowid\" = ?;"},
    {"updateObjectForRowidStatement", "UPDATE \"database2\" SET \"data\" = ? WHERE \"rowid\" = ?;"},
    {"updateMetadataForRowidStatement", "UPDATE \"database2\" SET \"metadata\" = ? WHERE \"rowid\" = ?;"},
    {"removeForRowidStatement", "DELETE FROM \"database2\" WHERE \"rowid\" = ?;"},
    {"removeCollectionStatement", "DELETE FROM \"database2\" WHERE \"collection\" = ?;"},
    {"removeAllStatement", "DELETE FROM \"database2\";"},
    {"enumerateCollectionsStatement", "SELECT DISTINCT \"collection\" FROM \"database2\";"},
    {"enumerateCollectionsForKeyStatement", "SELECT \"collection\" FROM \"database2\" WHERE \"key\" = ?;"},
    {"enumerateKeysInCollectionStatement", "SELECT \"rowid\", \"key\" FROM \"database2\" WHERE \"collection\" = ?;"},
    {"enumerateKeysInAllCollectionsStatement", "SELECT \"rowid\", \"collection\", \"key\" FROM \"database2\";"},
    {"enumerateKeysAndMetadataInCollectionStatement",
     "SELECT \"rowid\", \"key\", \"metadata\" FROM \"database2\" WHERE collection = ?;"},
    {"enumerateKeysAndMetadataInAllCollectionsStatement",
     "SELECT \"rowid\", \"collection\", \"key\", \"metadata\" FROM \"database2\" ORDER BY \"collection\" ASC;"},
    {"enumerateKeysAndObjectsInCollectionStatement",
     "SELECT \"rowid\", \"key\", \"data\" FROM \"database2\" WHERE \"collection\" = ?;"},
    {"enumerateKeysAndObjectsInAllCollectionsStatement",
     "SELECT \"rowid\", \"collection\", \"key\", \"data\" FROM \"database2\" ORDER BY \"collection\" ASC;"},
    {"enumerateRowsInCollectionStatement",
     "SELECT \"rowid\", \"key\", \"data\", \"metadata\" FROM \"database2\" WHERE \"collection\" = ?;"},
    {"enumerateRowsInAllCollectionsStatement",
     "SELECT \"rowid\", \"collection\", \"key\", \"data\", \"metadata\" FROM \"database2\" ORDER BY \"collection\" "
     "ASC;"},
};

constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE;

std::int64_t clampPolicy(std::int64_t policy) {
  return static_cast<std::uint64_t>(policy) <= DizEvozidizPolicyCopy ? policy : DizEvozidizPolicyContainment;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Change records as set members

namespace {

// Hands each element of the container, as the value `member` makes of it, to the block.
template <class Container, class Member>
void enumerateAsValues(const Container& container, const Member& member,
                       const std::function<void(const platform::Value&, bool&)>& block) {
  bool stop = false;
  for (const auto& element : container) {
    block(platform::Value(member(element)), stop);
    if (stop) return;
  }
}

}  // namespace

bool DizChangedValues::containsMember(const platform::Value& member) const {
  auto key = member.as<DizCollectionKey>();
  return key && map.contains(key);
}

void DizChangedValues::enumerateMembers(const std::function<void(const platform::Value&, bool&)>& block) const {
  enumerateAsValues(
      map, [](const auto& entry) { return entry.first; }, block);
}

bool DizCollectionKeySet::containsMember(const platform::Value& member) const {
  auto key = member.as<DizCollectionKey>();
  return key && set.contains(key);
}

void DizCollectionKeySet::enumerateMembers(const std::function<void(const platform::Value&, bool&)>& block) const {
  enumerateAsValues(
      set, [](const DizCollectionKeyPtr& key) { return key; }, block);
}

bool DizStringSet::containsMember(const platform::Value& member) const {
  return member.isString() && set.contains(member.asString());
}

void DizStringSet::enumerateMembers(const std::function<void(const platform::Value&, bool&)>& block) const {
  enumerateAsValues(
      set, [](const std::string& name) { return name; }, block);
}

// ---------------------------------------------------------------------------------------------
// Creation and destruction

DizEvozidizConnectionInternal::Ptr DizEvozidizConnectionInternal::make(
    const std::shared_ptr<DizEvozidizInternal>& database) {
  auto connection = platform::make<DizEvozidizConnectionInternal>();
  connection->init(database);
  // Registered and prepared on its own queue, so the caller never waits for the database's start-up;
  // its first transaction queues up behind this.
  connection->connectionQueue_->async([weak = connection->weakSelf()] {
    if (auto self = weak.lock()) self->registerAndPrepare();
  });
  return connection;
}

DizEvozidizConnectionInternal::Ptr DizEvozidizConnectionInternal::self() {
  return std::static_pointer_cast<DizEvozidizConnectionInternal>(shared_from_this());
}

std::weak_ptr<DizEvozidizConnectionInternal> DizEvozidizConnectionInternal::weakSelf() { return self(); }

void DizEvozidizConnectionInternal::init(const std::shared_ptr<DizEvozidizInternal>& database) {
  database_ = database;
  extensionState = std::make_unique<DizConnectionExtensionState>();
  extensionState->registries = std::make_shared<const DizEvozidizRegistries>();
  connectionQueue_ = platform::DispatchQueue::createSerial("DizEvozidizConnection");
  connectionQueue_->setSpecific(&isOnConnectionQueueKey_, &isOnConnectionQueueKey_);

  const DizEvozidizOptions options = database->options();
  enableMultiProcessSupport_ = options.enableMultiProcessSupport;

  const DizEvozidizConnectionDefaults defaults = database->connectionDefaults();
  objectCacheLimit_ = defaults.objectCacheLimit();
  metadataCacheLimit_ = defaults.metadataCacheLimit();
  if (defaults.objectCacheEnabled()) initializeObjectCache();
  if (defaults.metadataCacheEnabled()) initializeMetadataCache();
  keyCache.setCountLimit(calculateKeyCacheLimit());
  objectPolicy_ = defaults.objectPolicy();
  metadataPolicy_ = defaults.metadataPolicy();

  if (database->connectionPoolDequeue(db, main_file, wal_file)) {
    if (main_file) main_file->hook_context = this;
    if (wal_file) wal_file->hook_context = this;
    sqlite3_busy_handler(db, &DizEvozidizConnectionInternal::connectionBusyHandler, this);
    return;
  }

  const int rc = sqlite3_open_v2(database->databasePath().c_str(), &db, kOpenFlags, database->vfsShimName().c_str());
  if (rc != SQLITE_OK) {
    // A failed handle is closed and never pooled; transactions on this connection raise.
    if (db) {
      DIZ_CONN_LOG_WARN("%@: Error opening database: %d %s", rc, sqlite3_errmsg(db));
      sqlite3_close(db);
    } else {
      DIZ_CONN_LOG_ERROR("%@: Error opening database: %d", rc);
    }
    db = nullptr;
    return;
  }
  if (options.pragmaSynchronous == 0 || options.pragmaSynchronous == 1) {
    const char* sql = options.pragmaSynchronous == 0 ? "PRAGMA synchronous = OFF;" : "PRAGMA synchronous = NORMAL;";
    const int status = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (status != SQLITE_OK)
      DIZ_CONN_LOG_ERROR("%@: Error setting PRAGMA synchronous: %d %s", status, sqlite3_errmsg(db));
  }
  if (options.pragmaMMapSize > 0) {
    const std::string sql = "PRAGMA mmap_size = " + std::to_string(options.pragmaMMapSize) + ";";
    const int status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    if (status != SQLITE_OK)
      DIZ_CONN_LOG_ERROR("%@: Error setting PRAGMA mmap_size: %d %s", status, sqlite3_errmsg(db));
  }
  sqlite3_wal_autocheckpoint(db, 0);
  sqlite3_busy_handler(db, &DizEvozidizConnectionInternal::connectionBusyHandler, this);
}

// On the connection queue, in one step on the snapshot queue: the state is added and the snapshot
// taken together, so no commit can fall between them unseen.
void DizEvozidizConnectionInternal::registerAndPrepare() {
  auto state =
      std::make_shared<DizEvozidizConnectionState>(std::static_pointer_cast<DizEvozidizConnectionHooks>(self()));
  database_->snapshotQueue()->sync([&] {
    database_->connectionStatesOnSnapshotQueue().push_back(std::move(state));
    snapshot_ = database_->snapshot();
    diz_detail::adoptRegistries(*this, database_->registriesOnSnapshotQueue());
  });
}

DizEvozidizConnectionInternal::~DizEvozidizConnectionInternal() {
  if (!database_) return;
  onQueueSync([&] {
    if (longLivedReadTransaction_) {
      postReadTransaction();
      longLivedReadTransaction_.reset();
    }
    // Extension connections keep statements on the handle too: a handle with live statements can
    // be neither closed nor handed to another connection.
    diz_detail::flushMemory(*this, DizFlushMemoryStatements);
    flushStatements();
    closeOrPoolHandle();
  });
  database_->removeConnectionState(this);
}

void DizEvozidizConnectionInternal::closeOrPoolHandle() {
  if (!db) return;
  for (diz_file* file : {main_file, wal_file}) {
    if (!file) continue;
    file->hook_context = nullptr;
    file->read_hook = nullptr;
  }
  // A handle left inside a transaction (a failed COMMIT or ROLLBACK) is not fit for reuse.
  if (!sqlite3_get_autocommit(db) || !database_->connectionPoolEnqueue(db, main_file, wal_file)) {
    const int rc = sqlite3_close(db);
    if (rc != SQLITE_OK) DIZ_CONN_LOG_ERROR("%@: Error in sqlite_close: %d %s", rc, sqlite3_errmsg(db));
  }
  db = nullptr;
  main_file = nullptr;
  wal_file = nullptr;
}

int DizEvozidizConnectionInternal::connectionBusyHandler(void* context, int count) {
  platform::sleepFor(0.050);
  if (count >= 4 && count % 4 == 0)
    DIZ_CONN_LOG_WARN(
        "%@: Delay obtaining SQLite lock on connection (%p): %d milliseconds. Is another process locking the "
        "database?",
        context, count * 50 + 50);
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Queue helpers

bool DizEvozidizConnectionInternal::isOnConnectionQueue() const {
  return platform::DispatchQueue::getSpecificCurrent(&isOnConnectionQueueKey_) != nullptr;
}

std::string DizEvozidizConnectionInternal::name() const {
  platform::MutexLock guard(nameMutex_);
  return name_;
}

void DizEvozidizConnectionInternal::setName(std::string name) {
  platform::MutexLock guard(nameMutex_);
  name_ = std::move(name);
}

// ---------------------------------------------------------------------------------------------
// Caches

void DizEvozidizConnectionInternal::initializeObjectCache() {
  objectCache = std::make_unique<ObjectCache>(objectCacheLimit_);
}

void DizEvozidizConnectionInternal::initializeMetadataCache() {
  metadataCache = std::make_unique<ObjectCache>(metadataCacheLimit_);
}

std::uint64_t DizEvozidizConnectionInternal::calculateKeyCacheLimit() const {
  std::uint64_t limit = 500;
  if (objectCache) {
    if (objectCacheLimit_ == 0) return 0;
    limit = std::max(limit, objectCacheLimit_);
  }
  if (metadataCache) {
    if (metadataCacheLimit_ == 0) return 0;
    limit = std::max(limit, metadataCacheLimit_);
  }
  return limit;
}

void DizEvozidizConnectionInternal::setCacheEnabled(CacheSlot cache, LimitSlot limit, bool enabled) {
  onQueueAsync([cache, limit, enabled](DizEvozidizConnectionInternal& c) {
    if (!enabled)
      (c.*cache).reset();
    else if (!(c.*cache))
      c.*cache = std::make_unique<ObjectCache>(c.*limit);
    c.keyCache.setCountLimit(c.calculateKeyCacheLimit());
  });
}

void DizEvozidizConnectionInternal::setCacheLimit(CacheSlot cache, LimitSlot limit, std::uint64_t value) {
  onQueueAsync([cache, limit, value](DizEvozidizConnectionInternal& c) {
    if (value == c.*limit) return;
    c.*limit = value;
    if (c.*cache) {
      (c.*cache)->setCountLimit(value);
      c.keyCache.setCountLimit(c.calculateKeyCacheLimit());
    }
  });
}

bool DizEvozidizConnectionInternal::objectCacheEnabled() const {
  return onQueueSync([&] { return objectCache != nullptr; });
}

void DizEvozidizConnectionInternal::setObjectCacheEnabled(bool enabled) {
  setCacheEnabled(&DizEvozidizConnectionInternal::objectCache, &DizEvozidizConnectionInternal::objectCacheLimit_,
                  enabled);
}

std::uint64_t DizEvozidizConnectionInternal::objectCacheLimit() const {
  return onQueueSync([&] { return objectCacheLimit_; });
}

void DizEvozidizConnectionInternal::setObjectCacheLimit(std::uint64_t limit) {
  setCacheLimit(&DizEvozidizConnectionInternal::objectCache, &DizEvozidizConnectionInternal::objectCacheLimit_, limit);
}

bool DizEvozidizConnectionInternal::metadataCacheEnabled() const {
  return onQueueSync([&] { return metadataCache != nullptr; });
}

void DizEvozidizConnectionInternal::setMetadataCacheEnabled(bool enabled) {
  setCacheEnabled(&DizEvozidizConnectionInternal::metadataCache, &DizEvozidizConnectionInternal::metadataCacheLimit_,
                  enabled);
}

std::uint64_t DizEvozidizConnectionInternal::metadataCacheLimit() const {
  return onQueueSync([&] { return metadataCacheLimit_; });
}

void DizEvozidizConnectionInternal::setMetadataCacheLimit(std::uint64_t limit) {
  setCacheLimit(&DizEvozidizConnectionInternal::metadataCache, &DizEvozidizConnectionInternal::metadataCacheLimit_,
                limit);
}

std::int64_t DizEvozidizConnectionInternal::objectPolicy() const {
  return onQueueSync([&] { return objectPolicy_; });
}

void DizEvozidizConnectionInternal::setObjectPolicy(std::int64_t policy) {
  onQueueAsync([policy](DizEvozidizConnectionInternal& c) { c.objectPolicy_ = clampPolicy(policy); });
}

std::int64_t DizEvozidizConnectionInternal::metadataPolicy() const {
  return onQueueSync([&] { return metadataPolicy_; });
}

void DizEvozidizConnectionInternal::setMetadataPolicy(std::int64_t policy) {
  onQueueAsync([policy](DizEvozidizConnectionInternal& c) { c.metadataPolicy_ = clampPolicy(policy); });
}

std::uint64_t DizEvozidizConnectionInternal::keyCacheLimit() const {
  return onQueueSync([&] { return keyCache.countLimit(); });
}

std::uint64_t DizEvozidizConnectionInternal::snapshot() const {
  return onQueueSync([&] { return snapshot_; });
}

// ---------------------------------------------------------------------------------------------
// Memory

void DizEvozidizConnectionInternal::flushMemoryWithFlags(unsigned flags) {
  onQueueAsync([flags](DizEvozidizConnectionInternal& c) { c.flushMemoryWithFlagsOnQueue(flags); });
}

void DizEvozidizConnectionInternal::flushMemoryWithFlagsOnQueue(unsigned flags) {
  assertOnConnectionQueue();
  if (flags & DizFlushMemoryCaches) {
    keyCache.removeAllObjects();
    if (objectCache) objectCache->removeAllObjects();
    if (metadataCache) metadataCache->removeAllObjects();
  }
  if (flags & DizFlushMemoryStatements) flushStatements();
  if ((flags & DizFlushMemorySqlite) && db) sqlite3_db_release_memory(db);
  diz_detail::flushMemory(*this, flags);
}

void DizEvozidizConnectionInternal::flushStatements() {
  for (auto& statement : statements_) {
    if (statement) sqlite3_finalize(statement);
    statement = nullptr;
  }
}

// ---------------------------------------------------------------------------------------------
// Statements

sqlite3_stmt* DizEvozidizConnectionInternal::keptStatement(int index, const char* getterName) {
  sqlite3_stmt*& slot = statements_[static_cast<std::size_t>(index)];
  if (slot) return slot;
  if (!db) {
    DIZ_CONN_LOG_ERROR("%@: Error creating '%@': %d %s", getterName, SQLITE_MISUSE, "no database handle");
    return nullptr;
  }
  const char* sql = kStatements[index].sql;
  const int rc = sqlite3_prepare_v2(db, sql, static_cast<int>(std::strlen(sql) + 1), &slot, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_CONN_LOG_ERROR("%@: Error creating '%@': %d %s", getterName, rc, sqlite3_errmsg(db));
    slot = nullptr;
  }
  return slot;
}

sqlite3_stmt* DizEvozidizConnectionInternal::enumerationStatement(int index, const char* getterName,
                                                                  bool& needsFinalize) {
  needsFinalize = false;
  sqlite3_stmt* kept = statements_[static_cast<std::size_t>(index)];
  if (kept && sqlite3_stmt_busy(kept)) {
    const char* sql = kStatements[index].sql;
    sqlite3_stmt* fresh = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql, static_cast<int>(std::strlen(sql) + 1), &fresh, nullptr);
    if (rc != SQLITE_OK) {
      DIZ_CONN_LOG_ERROR("%@: Error creating '%@': %d %s", getterName, rc, sqlite3_errmsg(db));
      return nullptr;
    }
    needsFinalize = true;
    return fresh;
  }
  return keptStatement(index, getterName);
}

#define DIZ_KEPT_STATEMENT(name, index) \
  sqlite3_stmt* DizEvozidizConnectionInternal::name() { return keptStatement(index, #name); }
#define DIZ_ENUM_STATEMENT(name, index)                                    \
  sqlite3_stmt* DizEvozidizConnectionInternal::name(bool& needsFinalize) { \
    return enumerationStatement(index, #name, needsFinalize);              \
  }

DIZ_KEPT_STATEMENT(beginTransactionStatement, 0)
DIZ_KEPT_STATEMENT(beginImmediateTransactionStatement, 1)
DIZ_KEPT_STATEMENT(commitTransactionStatement, 2)
DIZ_KEPT_STATEMENT(rollbackTransactionStatement, 3)
DIZ_KEPT_STATEMENT(dizGetDataForKeyStatement, 4)
DIZ_KEPT_STATEMENT(dizSetDataForKeyStatement, 5)
DIZ_KEPT_STATEMENT(dizRemoveForKeyStatement, 6)
DIZ_KEPT_STATEMENT(dizRemoveExtensionStatement, 7)
DIZ_KEPT_STATEMENT(getCollectionCountStatement, 8)
DIZ_KEPT_STATEMENT(getKeyCountForCollectionStatement, 9)
DIZ_KEPT_STATEMENT(getKeyCountForAllStatement, 10)
DIZ_KEPT_STATEMENT(getCountForRowidStatement, 11)
DIZ_KEPT_STATEMENT(getRowidForKeyStatement, 12)
DIZ_KEPT_STATEMENT(getKeyForRowidStatement, 13)
DIZ_KEPT_STATEMENT(getDataForRowidStatement, 14)
DIZ_KEPT_STATEMENT(getMetadataForRowidStatement, 15)
DIZ_KEPT_STATEMENT(getAllForRowidStatement, 16)
DIZ_KEPT_STATEMENT(getDataForKeyStatement, 17)
DIZ_KEPT_STATEMENT(getMetadataForKeyStatement, 18)
DIZ_KEPT_STATEMENT(getAllForKeyStatement, 19)
DIZ_KEPT_STATEMENT(insertForRowidStatement, 20)
DIZ_KEPT_STATEMENT(updateAllForRowidStatement, 21)
DIZ_KEPT_STATEMENT(updateObjectForRowidStatement, 22)
DIZ_KEPT_STATEMENT(updateMetadataForRowidStatement, 23)
DIZ_KEPT_STATEMENT(removeForRowidStatement, 24)
DIZ_KEPT_STATEMENT(removeCollectionStatement, 25)
DIZ_KEPT_STATEMENT(removeAllStatement, 26)
DIZ_ENUM_STATEMENT(enumerateCollectionsStatement, 27)
DIZ_ENUM_STATEMENT(enumerateCollectionsForKeyStatement, 28)
DIZ_ENUM_STATEMENT(enumerateKeysInCollectionStatement, 29)
DIZ_ENUM_STATEMENT(enumerateKeysInAllCollectionsStatement, 30)
DIZ_ENUM_STATEMENT(enumerateKeysAndMetadataInCollectionStatement, 31)
DIZ_ENUM_STATEMENT(enumerateKeysAndMetadataInAllCollectionsStatement, 32)
DIZ_ENUM_STATEMENT(enumerateKeysAndObjectsInCollectionStatement, 33)
DIZ_ENUM_STATEMENT(enumerateKeysAndObjectsInAllCollectionsStatement, 34)
DIZ_ENUM_STATEMENT(enumerateRowsInCollectionStatement, 35)
DIZ_ENUM_STATEMENT(enumerateRowsInAllCollectionsStatement, 36)

#undef DIZ_KEPT_STATEMENT
#undef DIZ_ENUM_STATEMENT

// Steps a BEGIN, COMMIT or ROLLBACK once and resets it. A failure is logged with the transaction's
// text (the transactions own these steps); a missing statement was logged by its getter.
bool DizEvozidizConnectionInternal::stepControl(sqlite3_stmt* statement, const char* failureFormat) {
  if (!statement) return false;
  const int rc = sqlite3_step(statement);
  sqlite3_reset(statement);
  if (rc != SQLITE_DONE) {
    DIZ_TXN_LOG_ERROR(failureFormat, rc, sqlite3_errmsg(db));
    return false;
  }
  return true;
}

bool DizEvozidizConnectionInternal::stepBeginTransaction() {
  return stepControl(beginTransactionStatement(), "%@: Couldn't begin transaction: %d %s");
}

bool DizEvozidizConnectionInternal::stepBeginImmediateTransaction() {
  return stepControl(beginImmediateTransactionStatement(), "%@: Couldn't begin immediate transaction: %d %s");
}

bool DizEvozidizConnectionInternal::stepCommitTransaction() {
  return stepControl(commitTransactionStatement(), "%@: Couldn't commit transaction: %d %s");
}

bool DizEvozidizConnectionInternal::stepRollbackTransaction() {
  // Nothing to undo when SQLite already ended the transaction (it does so itself after some errors).
  if (db && sqlite3_get_autocommit(db)) return true;
  return stepControl(rollbackTransactionStatement(), "%@: Couldn't rollback transaction: %d %s");
}
