#include "DizEvozidiz/DizEvozidiz.h"

#include <unistd.h>

#include <utility>

#include "DizEvozidiz/DizEvozidizLog.h"
#include "DizEvozidiz/DizEvozidizManager.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/notification_center.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE;
constexpr int kCurrentSchemaVersion = 3;

constexpr const char* kCreateDiz2 =
    "CREATE TABLE IF NOT EXISTS \"diz2\" (\"extension\" CHAR NOT NULL,   \"key\" CHAR NOT NULL,   \"data\" BLOB,   "
    "PRIMARY KEY (\"extension\", \"key\") );";
constexpr const char* kCreateDatabase2 =
    "CREATE TABLE IF NOT EXISTS \"database2\" (\"rowid\" INTEGER PRIMARY KEY,  \"collection\" CHAR NOT NULL,  "
    "\"key\" CHAR NOT NULL,  \"data\" BLOB,  \"metadata\" BLOB );";
constexpr const char* kCreateIndex =
    "CREATE UNIQUE INDEX IF NOT EXISTS \"true_primary_key\" ON \"database2\" ( \"collection\", \"key\" );";

std::string columnText(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  const int length = sqlite3_column_bytes(statement, column);
  return text ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

// The database is released on whichever thread drops the last reference; the notification goes
// to the main queue from there.
void postClosedNotification(platform::ValueDictionary userInfo);

}  // namespace

// ---------------------------------------------------------------------------------------------
// Creation

DizEvozidiz::Ptr DizEvozidiz::create(std::string_view path, std::optional<DizEvozidizOptions> options) {
  return create(path, DizEvozidizClosures{}, options);
}

DizEvozidiz::Ptr DizEvozidiz::create(std::string_view path, DizEvozidizSerializer serializer,
                                     DizEvozidizDeserializer deserializer, std::optional<DizEvozidizOptions> options) {
  DizEvozidizClosures closures;
  closures.objectSerializer = serializer;
  closures.metadataSerializer = std::move(serializer);
  closures.objectDeserializer = deserializer;
  closures.metadataDeserializer = std::move(deserializer);
  return create(path, std::move(closures), options);
}

DizEvozidiz::Ptr DizEvozidiz::create(std::string_view path, DizEvozidizSerializer serializer,
                                     DizEvozidizDeserializer deserializer, DizEvozidizPreSanitizer preSanitizer,
                                     DizEvozidizPostSanitizer postSanitizer, std::optional<DizEvozidizOptions> options) {
  DizEvozidizClosures closures;
  closures.objectSerializer = serializer;
  closures.metadataSerializer = std::move(serializer);
  closures.objectDeserializer = deserializer;
  closures.metadataDeserializer = std::move(deserializer);
  closures.objectPreSanitizer = preSanitizer;
  closures.metadataPreSanitizer = std::move(preSanitizer);
  closures.objectPostSanitizer = postSanitizer;
  closures.metadataPostSanitizer = std::move(postSanitizer);
  return create(path, std::move(closures), options);
}

DizEvozidiz::Ptr DizEvozidiz::create(std::string_view path, DizEvozidizClosures closures,
                                     std::optional<DizEvozidizOptions> options) {
  const std::string standardized = DizEvozidizManager::standardizedPath(path);
  if (!DizEvozidizManager::registerDatabaseForPath(standardized)) {
    DIZ_LOG_ERROR(
        "%@: Only a single database instance is allowed per file. For concurrency you create multiple connections "
        "from a single database instance.");
    // The refused object is released at once, and a release announces itself (with no paths).
    postClosedNotification(platform::ValueDictionary{
        {"databasePath", platform::Value("")}, {"databasePath_wal", platform::Value("")},
        {"databasePath_shm", platform::Value("")}});
    return nullptr;
  }

  // From here on, the destructor frees the path and posts the closed notification.
  Ptr database(new DizEvozidiz(standardized, options.value_or(DizEvozidizOptions())));

  bool isNewFile = !platform::FileManager::defaultManager().fileExists(standardized);
  if (!database->openConfigureCreate(isNewFile)) {
    if (!database->applyCorruptAction()) return nullptr;
    isNewFile = true;
    if (!database->openConfigureCreate(isNewFile)) {
      DIZ_LOG_ERROR("%@: Database corruption unresolved. (name=%@)", platform::lastPathComponent(standardized));
      return nullptr;
    }
  }

  database->vfsShimName_ = "diz_vfs_shim_" + platform::UUID::random().uuidString();
  if (diz_vfs_shim_register(database->vfsShimName_.c_str(), nullptr, &database->vfsShim_) != SQLITE_OK)
    DIZ_LOG_ERROR("%@: Error registering file-system shim (%@)", database->vfsShimName_);

  const DizEvozidizClosures& given = closures;
  DizEvozidizClosures& mine = database->closures_;
  mine.objectSerializer = given.objectSerializer ? given.objectSerializer : DizEvozidizSerializers::defaultSerializer();
  mine.metadataSerializer =
      given.metadataSerializer ? given.metadataSerializer : DizEvozidizSerializers::defaultSerializer();
  mine.objectDeserializer =
      given.objectDeserializer ? given.objectDeserializer : DizEvozidizSerializers::defaultDeserializer();
  mine.metadataDeserializer =
      given.metadataDeserializer ? given.metadataDeserializer : DizEvozidizSerializers::defaultDeserializer();
  mine.objectPreSanitizer = std::move(closures.objectPreSanitizer);
  mine.objectPostSanitizer = std::move(closures.objectPostSanitizer);
  mine.metadataPreSanitizer = std::move(closures.metadataPreSanitizer);
  mine.metadataPostSanitizer = std::move(closures.metadataPostSanitizer);

  // Everything that reads shared state goes through the snapshot queue and so runs after this.
  // The checkpoint queue stays suspended until then: the own handle is not thread-safe, and a
  // checkpoint must not run on it while the upgrade does.
  database->snapshotQueue_->async([database] {
    database->upgradeTable();
    database->prepare();
  });
  return database;
}

DizEvozidiz::DizEvozidiz(std::string path, DizEvozidizOptions options)
    : databasePath_(std::move(path)), options_(options) {
  internalQueue_ = platform::DispatchQueue::createSerial("DizEvozidiz-Internal");
  checkpointQueue_ = platform::DispatchQueue::createSerial("DizEvozidiz-Checkpoint");
  snapshotQueue_ = platform::DispatchQueue::createSerial("DizEvozidiz-Snapshot");
  writeQueue_ = platform::DispatchQueue::createSerial("DizEvozidiz-Write");
  snapshotQueue_->setSpecific(&isOnSnapshotQueueKey_, &isOnSnapshotQueueKey_);
  writeQueue_->setSpecific(&isOnWriteQueueKey_, &isOnWriteQueueKey_);
  checkpointQueue_->suspend();
  checkpointQueueSuspended_ = true;
}

DizEvozidiz::~DizEvozidiz() {
  platform::ValueDictionary userInfo{{"databasePath", platform::Value(databasePath_)},
                                     {"databasePath_wal", platform::Value(databasePath_wal())},
                                     {"databasePath_shm", platform::Value(databasePath_shm())}};
  // Pooled connection handles must be closed here, before the shim they were opened through goes
  // away.
  closeAllPooledHandles();
  closeOwnHandle();
  if (vfsShim_) diz_vfs_shim_unregister(&vfsShim_);
  if (checkpointQueueSuspended_) checkpointQueue_->resume();  // lets queued passes run and find nothing
  DizEvozidizManager::deregisterDatabaseForPath(databasePath_);
  postClosedNotification(std::move(userInfo));
}

bool DizEvozidiz::isOnSnapshotQueue() const {
  return platform::DispatchQueue::getSpecificCurrent(&isOnSnapshotQueueKey_) != nullptr;
}

bool DizEvozidiz::isOnWriteQueue() const {
  return platform::DispatchQueue::getSpecificCurrent(&isOnWriteQueueKey_) != nullptr;
}

template <class F>
auto DizEvozidiz::onSnapshotQueue(F&& f) const {
  using R = decltype(f());
  if (isOnSnapshotQueue()) return f();
  if constexpr (std::is_void_v<R>) {
    snapshotQueue_->sync(f);
  } else {
    R result{};
    snapshotQueue_->sync([&] { result = f(); });
    return result;
  }
}

// ---------------------------------------------------------------------------------------------
// Opening, configuration, tables

bool DizEvozidiz::openConfigureCreate(bool isNewFile) {
  bool ok = openDatabase() && configureDatabase(isNewFile) && createTables();
  if (!ok) closeOwnHandle();
  return ok;
}

void DizEvozidiz::closeOwnHandle() {
  if (!db_) return;
  const int rc = sqlite3_close(db_);
  if (rc != SQLITE_OK) DIZ_LOG_ERROR("%@: Error in sqlite_close: %d %s", rc, sqlite3_errmsg(db_));
  db_ = nullptr;
}

bool DizEvozidiz::openDatabase() {
  const int rc = sqlite3_open_v2(databasePath_.c_str(), &db_, kOpenFlags, nullptr);
  if (rc != SQLITE_OK) {
    if (db_) {
      DIZ_LOG_ERROR("%@: Error opening database: %d %s", rc, sqlite3_errmsg(db_));
      sqlite3_close(db_);
      db_ = nullptr;
    } else {
      DIZ_LOG_ERROR("%@: Error opening database: %d", rc);
    }
    return false;
  }
  if (options_.enableMultiProcessSupport) sqlite3_busy_handler(db_, &DizEvozidiz::connectionBusyHandler, this);
  return true;
}

bool DizEvozidiz::configureDatabase(bool isNewFile) {
  auto exec = [&](const std::string& sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr); };
  int rc;
  if (isNewFile && options_.pragmaPageSize > 0) {
    rc = exec(platform::format("PRAGMA page_size = %ld;", static_cast<long>(options_.pragmaPageSize)));
    if (rc != SQLITE_OK) DIZ_LOG_ERROR("%@: Error setting PRAGMA page_size: %d %s", rc, sqlite3_errmsg(db_));
  }
  rc = exec("PRAGMA journal_mode = WAL;");
  if (rc != SQLITE_OK) {
    DIZ_LOG_ERROR("%@: Error setting PRAGMA journal_mode: %d %s", rc, sqlite3_errmsg(db_));
    return false;
  }
  if (isNewFile) {
    rc = exec("PRAGMA auto_vacuum = FULL; VACUUM;");
    if (rc != SQLITE_OK) DIZ_LOG_ERROR("%@: Error setting PRAGMA auto_vacuum: %d %s", rc, sqlite3_errmsg(db_));
  }
  rc = exec("PRAGMA synchronous = NORMAL;");
  if (rc != SQLITE_OK) DIZ_LOG_ERROR("%@: Error setting PRAGMA synchronous: %d %s", rc, sqlite3_errmsg(db_));
  rc = exec(platform::format("PRAGMA journal_size_limit = %ld;", static_cast<long>(options_.pragmaJournalSizeLimit)));
  if (rc != SQLITE_OK) DIZ_LOG_ERROR("%@: Error setting PRAGMA journal_size_limit: %d %s", rc, sqlite3_errmsg(db_));
  if (options_.pragmaMMapSize > 0) {
    rc = exec(platform::format("PRAGMA mmap_size = %ld;", static_cast<long>(options_.pragmaMMapSize)));
    if (rc != SQLITE_OK) DIZ_LOG_ERROR("%@: Error setting PRAGMA mmap_size: %d %s", rc, sqlite3_errmsg(db_));
  }
  // Checkpoints are the database's own (asyncCheckpoint).
  sqlite3_wal_autocheckpoint(db_, 0);
  return true;
}

bool DizEvozidiz::createTables() {
  int rc = sqlite3_exec(db_, kCreateDiz2, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_LOG_ERROR("%@: Failed creating 'diz2' table: %d %s", rc, sqlite3_errmsg(db_));
    return false;
  }
  rc = sqlite3_exec(db_, kCreateDatabase2, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_LOG_ERROR("%@: Failed creating 'database2' table: %d %s", rc, sqlite3_errmsg(db_));
    return false;
  }
  rc = sqlite3_exec(db_, kCreateIndex, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_LOG_ERROR("%@: Failed creating index on 'database2' table: %d %s", rc, sqlite3_errmsg(db_));
    return false;
  }
  return true;
}

// The main file and its "-wal" and "-shm" companions move or go together: stale WAL frames left
// behind would otherwise be replayed into the fresh database made at the same path.
bool DizEvozidiz::applyCorruptAction() {
  platform::FileManager& files = platform::FileManager::defaultManager();
  const std::string companions[] = {"-wal", "-shm"};

  if (options_.corruptAction == DizEvozidizCorruptActionRename) {
    std::string target;
    for (int n = 0;; ++n) {
      target = platform::appendingPathExtension(databasePath_, platform::format("%d.corrupt", n));
      bool taken = files.fileExists(target);
      for (const std::string& suffix : companions) taken = taken || files.fileExists(target + suffix);
      if (!taken) break;
    }
    platform::ErrorPtr error;
    if (!files.moveItem(databasePath_, target, &error)) {
      DIZ_LOG_ERROR("%@: Error renaming corrupt database file: (%@ -> %@) %@",
                    platform::lastPathComponent(databasePath_), platform::lastPathComponent(target), error);
      return false;
    }
    for (const std::string& suffix : companions) {
      const std::string from = databasePath_ + suffix;
      if (!files.fileExists(from)) continue;
      if (files.moveItem(from, target + suffix, &error)) continue;
      DIZ_LOG_ERROR("%@: Error renaming corrupt database file: (%@ -> %@) %@", platform::lastPathComponent(from),
                    platform::lastPathComponent(target + suffix), error);
      // A companion that stays behind must not survive into the new database.
      if (!files.removeItem(from, &error)) {
        DIZ_LOG_ERROR("%@: Error deleting corrupt database file: %@", error);
        return false;
      }
    }
    return true;
  }

  if (options_.corruptAction == DizEvozidizCorruptActionDelete) {
    platform::ErrorPtr error;
    if (!files.removeItem(databasePath_, &error)) {
      DIZ_LOG_ERROR("%@: Error deleting corrupt database file: %@", error);
      return false;
    }
    for (const std::string& suffix : companions) {
      const std::string path = databasePath_ + suffix;
      if (files.fileExists(path) && !files.removeItem(path, &error)) {
        DIZ_LOG_ERROR("%@: Error deleting corrupt database file: %@", error);
        return false;
      }
    }
    return true;
  }

  // Fail, and any action this code does not know: never destroy the user's data on a guess.
  if (options_.corruptAction != DizEvozidizCorruptActionFail)
    DIZ_LOG_ERROR("%@: Unknown corrupt action (%ld); leaving the file untouched",
                  static_cast<long>(options_.corruptAction));
  return false;
}

// ---------------------------------------------------------------------------------------------
// Upgrade and prepare (snapshot queue)

bool DizEvozidiz::getUserVersion(int& version) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db_, "PRAGMA user_version;", -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_LOG_ERROR("%@: Error creating pragma user_version statement! %d %s", rc, sqlite3_errmsg(db_));
    return false;
  }
  rc = sqlite3_step(statement);
  bool ok = rc == SQLITE_ROW;
  if (ok)
    version = sqlite3_column_int(statement, 0);
  else
    DIZ_LOG_ERROR("%@: Error fetching user_version: %d %s", rc, sqlite3_errmsg(db_));
  sqlite3_finalize(statement);
  return ok;
}

void DizEvozidiz::upgradeTable() {
  if (!db_) return;
  int version = 0;
  if (!getUserVersion(version)) return;
  auto storeVersion = [&](int v) {
    const int rc = sqlite3_exec(db_, platform::format("PRAGMA user_version = %d;", v).c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) DIZ_LOG_ERROR("%@: Error setting user_version: %d %s", rc, sqlite3_errmsg(db_));
  };
  if (version == 0) {  // a new file
    storeVersion(kCurrentSchemaVersion);
    version = kCurrentSchemaVersion;
  }
  while (version < kCurrentSchemaVersion) {
    bool (DizEvozidiz::*step)() = nullptr;
    if (version == 1) step = &DizEvozidiz::upgradeTable_1_2;
    if (version == 2) step = &DizEvozidiz::upgradeTable_2_3;
    if (!step) {
      DIZ_LOG_WARN("%@: Missing upgrade method: %@", platform::format("upgradeTable_%d_%d", version, version + 1));
      ++version;
      continue;
    }
    if (!(this->*step)()) {
      DIZ_LOG_ERROR("%@: Error upgrading database (%@)", platform::lastPathComponent(databasePath_));
      return;
    }
    ++version;
    storeVersion(version);
  }
}

bool DizEvozidiz::upgradeTable_1_2() {
  const int rc = sqlite3_exec(db_, "DROP TABLE IF EXISTS \"diz\"", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) DIZ_LOG_ERROR("%@: Failed dropping 'diz' table: %d %s", rc, sqlite3_errmsg(db_));
  return true;
}

bool DizEvozidiz::upgradeTable_2_3() {
  int rc = sqlite3_exec(db_,
                        "INSERT INTO \"database2\" (\"collection\", \"key\", \"data\", \"metadata\") SELECT "
                        "\"collection\", \"key\", \"data\", \"metadata\" FROM \"database\";",
                        nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_LOG_ERROR("%@: Error migrating 'database' to 'database2': %d %s", rc, sqlite3_errmsg(db_));
    return false;
  }
  rc = sqlite3_exec(db_, "DROP TABLE IF EXISTS \"database\"", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_LOG_ERROR("%@: Failed dropping 'database' table: %d %s", rc, sqlite3_errmsg(db_));
    return false;
  }
  return true;
}

std::uint64_t DizEvozidiz::readSnapshot() {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db_, "SELECT \"data\" FROM \"diz2\" WHERE \"extension\" = ? AND \"key\" = ?;", -1,
                              &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_LOG_ERROR("%@: %@: Error creating statement: %d %s", "readSnapshot", rc, sqlite3_errmsg(db_));
    return 0;
  }
  sqlite3_bind_text(statement, 1, "", 0, SQLITE_STATIC);
  sqlite3_bind_text(statement, 2, "snapshot", 8, SQLITE_STATIC);
  std::uint64_t result = 0;
  rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW)
    result = static_cast<std::uint64_t>(sqlite3_column_int64(statement, 0));
  else if (rc == SQLITE_ERROR)
    DIZ_LOG_ERROR("%@: Error executing 'readSnapshot': %d %s", rc, sqlite3_errmsg(db_));
  sqlite3_finalize(statement);
  return result;
}

void DizEvozidiz::prepare() {
  if (db_) {
    int rc = sqlite3_exec(db_, "BEGIN TRANSACTION;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) DIZ_LOG_ERROR("%@: Error in '%@': %d %s", "prepare", rc, sqlite3_errmsg(db_));

    snapshot_ = readSnapshot();
    sqliteVersion_ = sqliteVersionUsing(db_).value_or(std::string());
    pageSize_ = static_cast<std::uint64_t>(pragma("page_size", db_));

    sqlite3_stmt* statement = nullptr;
    rc = sqlite3_prepare_v2(db_, "SELECT DISTINCT \"extension\" FROM \"diz2\";", -1, &statement, nullptr);
    if (rc != SQLITE_OK) {
      DIZ_LOG_ERROR("%@: %@: Error creating statement: %d %s", "prepare", rc, sqlite3_errmsg(db_));
    } else {
      while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        std::string name = columnText(statement, 0);
        if (!name.empty()) previouslyRegisteredExtensionNames_.push_back(std::move(name));
      }
      if (rc != SQLITE_DONE) DIZ_LOG_ERROR("%@: %@: Error in statement: %d %s", "prepare", rc, sqlite3_errmsg(db_));
      sqlite3_finalize(statement);
    }

    rc = sqlite3_exec(db_, "COMMIT TRANSACTION;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) DIZ_LOG_ERROR("%@: Error in '%@': %d %s", "prepare", rc, sqlite3_errmsg(db_));
  }
  if (checkpointQueueSuspended_) {
    checkpointQueueSuspended_ = false;
    checkpointQueue_->resume();
  }
  asyncCheckpoint(snapshot_);
}

// ---------------------------------------------------------------------------------------------
// Accessors

std::string DizEvozidiz::sqliteVersion() const {
  return onSnapshotQueue([this] { return sqliteVersion_; });
}

std::uint64_t DizEvozidiz::pageSize() const {
  return onSnapshotQueue([this] { return pageSize_; });
}

std::uint64_t DizEvozidiz::snapshot() const {
  return onSnapshotQueue([this] { return snapshot_; });
}

std::vector<std::string> DizEvozidiz::previouslyRegisteredExtensionNames() const {
  return onSnapshotQueue([this] { return previouslyRegisteredExtensionNames_; });
}

std::vector<std::shared_ptr<DizEvozidizConnectionState>>& DizEvozidiz::connectionStatesOnSnapshotQueue() {
  return connectionStates_;
}

platform::ValueArray& DizEvozidiz::changesetsOnSnapshotQueue() { return changesets_; }

void DizEvozidiz::setSnapshotOnSnapshotQueue(std::uint64_t snapshot) { snapshot_ = snapshot; }

void DizEvozidiz::addConnectionState(std::shared_ptr<DizEvozidizConnectionState> state) {
  onSnapshotQueue([&] { connectionStates_.push_back(std::move(state)); });
}

void DizEvozidiz::removeConnectionState(const DizEvozidizConnectionHooks* connection) {
  onSnapshotQueue([&] {
    for (auto it = connectionStates_.begin(); it != connectionStates_.end(); ++it) {
      if ((*it)->connectionIdentity == connection) {
        connectionStates_.erase(it);
        return;
      }
    }
  });
}

DizEvozidizConnectionDefaults DizEvozidiz::connectionDefaults() const {
  DizEvozidizConnectionDefaults copy;
  internalQueue_->sync([&] { copy = connectionDefaults_; });
  return copy;
}

#define DIZ_DEFAULTS_ACCESSORS(Type, Getter, Setter, Field, FieldSetter) \
  Type DizEvozidiz::Getter() const {                                      \
    Type value{};                                                         \
    internalQueue_->sync([&] { value = connectionDefaults_.Field(); });   \
    return value;                                                         \
  }                                                                       \
  void DizEvozidiz::Setter(Type value) {                                  \
    internalQueue_->sync([&] { connectionDefaults_.FieldSetter(value); }); \
  }

DIZ_DEFAULTS_ACCESSORS(bool, defaultObjectCacheEnabled, setDefaultObjectCacheEnabled, objectCacheEnabled,
                       setObjectCacheEnabled)
DIZ_DEFAULTS_ACCESSORS(std::uint64_t, defaultObjectCacheLimit, setDefaultObjectCacheLimit, objectCacheLimit,
                       setObjectCacheLimit)
DIZ_DEFAULTS_ACCESSORS(bool, defaultMetadataCacheEnabled, setDefaultMetadataCacheEnabled, metadataCacheEnabled,
                       setMetadataCacheEnabled)
DIZ_DEFAULTS_ACCESSORS(std::uint64_t, defaultMetadataCacheLimit, setDefaultMetadataCacheLimit, metadataCacheLimit,
                       setMetadataCacheLimit)
DIZ_DEFAULTS_ACCESSORS(std::int64_t, defaultObjectPolicy, setDefaultObjectPolicy, objectPolicy, setObjectPolicy)
DIZ_DEFAULTS_ACCESSORS(std::int64_t, defaultMetadataPolicy, setDefaultMetadataPolicy, metadataPolicy,
                       setMetadataPolicy)

#undef DIZ_DEFAULTS_ACCESSORS

// ---------------------------------------------------------------------------------------------
// Utilities

std::string DizEvozidiz::quotedIdentifier(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::optional<std::string> DizEvozidiz::sqliteVersionUsing(sqlite3* db) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, "SELECT sqlite_version();", -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_LOG_ERROR("%@: %@: Error creating statement! %d %s", "sqliteVersionUsing:", rc, sqlite3_errmsg(db));
    return std::nullopt;
  }
  std::optional<std::string> version;
  rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW)
    version = columnText(statement, 0);
  else
    DIZ_LOG_ERROR("%@: %@: Error executing statement! %d %s", "sqliteVersionUsing:", rc, sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return version;
}

std::int64_t DizEvozidiz::pragma(std::string_view name, sqlite3* db) {
  if (name.empty()) return -1;
  // "schema.pragma" keeps its dot; each part is quoted on its own.
  std::string quoted;
  if (const std::size_t dot = name.find('.'); dot != std::string_view::npos)
    quoted = quotedIdentifier(name.substr(0, dot)) + "." + quotedIdentifier(name.substr(dot + 1));
  else
    quoted = quotedIdentifier(name);
  const std::string sql = "PRAGMA " + quoted + ";";
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_LOG_ERROR("%@: %@: Error creating statement! %d %s", "pragma:using:", rc, sqlite3_errmsg(db));
    return -1;
  }
  std::int64_t result = -1;
  rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW)
    result = sqlite3_column_int64(statement, 0);
  else if (rc != SQLITE_DONE)
    DIZ_LOG_ERROR("%@: %@: Error executing statement! %d %s", "pragma:using:", rc, sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return result;
}

bool DizEvozidiz::tableExists(std::string_view table, sqlite3* db) {
  if (table.empty()) return false;
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?", -1,
                              &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_LOG_ERROR("%@: %@: Error creating statement! %d %s", "tableExists:using:", rc, sqlite3_errmsg(db));
    return false;
  }
  sqlite3_bind_text(statement, 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
  bool exists = false;
  rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW)
    exists = sqlite3_column_int64(statement, 0) > 0;
  else
    DIZ_LOG_ERROR("%@: %@: Error executing statement! %d %s", "tableExists:using:", rc, sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return exists;
}

std::optional<std::vector<std::string>> DizEvozidiz::tableNamesUsing(sqlite3* db) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table';", -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_LOG_ERROR("%@: %@: Error creating statement! %d %s", "tableNamesUsing:", rc, sqlite3_errmsg(db));
    return std::nullopt;
  }
  std::vector<std::string> names;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) names.push_back(columnText(statement, 0));
  if (rc != SQLITE_DONE)
    DIZ_LOG_ERROR("%@: %@: Error executing statement! %d %s", "tableNamesUsing:", rc, sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return names;
}

std::optional<std::vector<std::string>> DizEvozidiz::columnNamesForTable(std::string_view table, sqlite3* db) {
  if (table.empty()) return std::nullopt;
  const std::string sql = "PRAGMA table_info(" + quotedIdentifier(table) + ");";
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_LOG_ERROR("%@: %@: Error creating statement! %d %s", "columnNamesForTable:using:", rc, sqlite3_errmsg(db));
    return std::nullopt;
  }
  std::vector<std::string> names;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) names.push_back(columnText(statement, 1));
  if (rc != SQLITE_DONE)
    DIZ_LOG_ERROR("%@: %@: Error executing statement! %d %s", "columnNamesForTable:using:", rc, sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return names;
}

std::optional<std::map<std::string, std::string>> DizEvozidiz::columnNamesAndAffinityForTable(std::string_view table,
                                                                                              sqlite3* db) {
  if (table.empty()) return std::nullopt;
  const std::string sql = "PRAGMA table_info(" + quotedIdentifier(table) + ");";
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_LOG_ERROR("%@: %@: Error creating statement! %d %s", "columnNamesAndAffinityForTable:using:", rc,
                  sqlite3_errmsg(db));
    return std::nullopt;
  }
  std::map<std::string, std::string> columns;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) columns[columnText(statement, 1)] = columnText(statement, 2);
  if (rc != SQLITE_DONE)
    DIZ_LOG_ERROR("%@: %@: Error executing statement! %d %s", "columnNamesAndAffinityForTable:using:", rc,
                  sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return columns;
}

std::string DizEvozidiz::pragmaValueForSynchronous(std::int64_t value) {
  switch (value) {
    case 0: return "OFF";
    case 1: return "NORMAL";
    case 2: return "FULL";
    default: return "UNKNOWN";
  }
}

std::string DizEvozidiz::pragmaValueForAutoVacuum(std::int64_t value) {
  switch (value) {
    case 0: return "NONE";
    case 1: return "FULL";
    case 2: return "INCREMENTAL";
    default: return "UNKNOWN";
  }
}

namespace {

void postClosedNotification(platform::ValueDictionary userInfo) {
  platform::NotificationCenter::defaultCenter()->postOnMainQueueAsync(platform::Notification::make(
      std::string(DizEvozidizClosedNotification), nullptr, platform::Value(std::move(userInfo))));
}

}  // namespace
