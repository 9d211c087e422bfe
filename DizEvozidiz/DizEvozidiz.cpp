#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "DizEvozidiz/DizEvozidizInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizManagerInternal.h"
#include "platform/runtime/thread.h"
#include "platform/services/files.h"
#include "platform/services/notification_center.h"
#include "platform/system/crypto.h"
#include "platform/system/text.h"

namespace {

constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE;

// SQLite's memory statistics take one global mutex on every allocation of every handle; the store
// never reads them. The setting only takes before SQLite initialises, so it is made when the
// program starts (and again before the first database, should start-up order put another user of
// SQLite first; a late call changes nothing and is harmless).
bool turnOffSqliteMemoryStatistics() {
  static const bool done = [] {
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    return true;
  }();
  return done;
}
[[maybe_unused]] const bool gMemoryStatisticsOff = turnOffSqliteMemoryStatistics();

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

// Only these say that the file itself is damaged or not a database; every other failure (busy,
// locked, out of descriptors, no permission, a directory at the path...) is about the moment or
// the surroundings, and must not cost the user the file.
bool meansCorruption(int resultCode) {
  const int primary = resultCode & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
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
                                     DizEvozidizPostSanitizer postSanitizer,
                                     std::optional<DizEvozidizOptions> options) {
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
  return DizEvozidizInternal::create(path, std::move(closures), options);
}

DizEvozidiz::Ptr DizEvozidizInternal::create(std::string_view path, DizEvozidizClosures closures,
                                             std::optional<DizEvozidizOptions> options) {
  turnOffSqliteMemoryStatistics();
  const std::string standardized = DizEvozidizManager::standardizedPath(path);
  if (!DizEvozidizManager::registerDatabaseForPath(standardized)) {
    DIZ_DB_LOG_ERROR(
        "%@: Only a single database instance is allowed per file. For concurrency you create multiple connections "
        "from a single database instance.");
    // The refused object is released at once, and a release announces itself (with no paths).
    postClosedNotification(platform::ValueDictionary{{"databasePath", platform::Value("")},
                                                     {"databasePath_wal", platform::Value("")},
                                                     {"databasePath_shm", platform::Value("")}});
    return nullptr;
  }

  // From here on, the destructor frees the path and posts the closed notification.
  auto database = platform::make<DizEvozidizInternal>(standardized, options.value_or(DizEvozidizOptions()));
  const std::string name = platform::lastPathComponent(standardized);

  platform::FileManager& files = platform::FileManager::defaultManager();
  const std::string marker = damageMarkerPath(standardized);
  bool isNewFile = !files.fileExists(standardized);
  OpenOutcome outcome = database->openConfigureCreate(isNewFile);
  // A file an earlier session found damaged is checked before it is used again.
  if (files.fileExists(marker)) {
    platform::ErrorPtr error;
    if (outcome == OpenOutcome::Opened && !isNewFile && !database->passesQuickCheck()) {
      DIZ_DB_LOG_ERROR("%@: Database file was found damaged and fails its check; applying the corrupt action (name=%@)",
                       name);
      database->closeOwnHandle();
      outcome = OpenOutcome::Corrupt;
    } else if (outcome == OpenOutcome::Opened) {
      if (!isNewFile) DIZ_DB_LOG_WARN("%@: Database file recorded as damaged passes its check (name=%@)", name);
      if (!files.removeItem(marker, &error)) DIZ_DB_LOG_ERROR("%@: Error removing %@: %@", marker, error);
    }
  }
  if (outcome == OpenOutcome::Corrupt) {
    if (!database->applyCorruptAction()) return nullptr;
    platform::ErrorPtr error;
    if (files.fileExists(marker) && !files.removeItem(marker, &error))
      DIZ_DB_LOG_ERROR("%@: Error removing %@: %@", marker, error);
    isNewFile = true;
    outcome = database->openConfigureCreate(isNewFile);
    if (outcome != OpenOutcome::Opened) {
      DIZ_DB_LOG_ERROR("%@: Database corruption unresolved. (name=%@)", name);
      return nullptr;
    }
  }
  if (outcome == OpenOutcome::Failed) {
    DIZ_DB_LOG_ERROR("%@: Database could not be opened and was left as it is: %d %s (name=%@)",
                     database->openResultCode_, sqlite3_errstr(database->openResultCode_), name);
    return nullptr;
  }
  if (outcome == OpenOutcome::NewerFormat) return nullptr;  // logged by checkFormatVersion

  database->vfsShimName_ = "diz_vfs_shim_" + platform::UUID::random().uuidString();
  if (diz_vfs_shim_register(database->vfsShimName_.c_str(), nullptr, &database->vfsShim_) != SQLITE_OK)
    DIZ_DB_LOG_ERROR("%@: Error registering file-system shim (%@)", database->vfsShimName_);

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
  // The checkpoint queue stays suspended until then: the own handle must not be checkpointed while
  // the upgrade runs on it.
  std::shared_ptr<Shared> shared = database->shared_;
  std::weak_ptr<DizEvozidizInternal> weak = database;
  database->snapshotQueue_->async([shared, weak] {
    startUp(shared);
    if (auto self = weak.lock()) {
      if (self->checkpointQueueSuspended_.exchange(false)) self->checkpointQueue_->resume();
    }
    queueCheckpointPass(shared);
  });
  return database;
}

DizEvozidizInternal::DizEvozidizInternal(std::string path, DizEvozidizOptions options)
    : DizEvozidiz(std::move(path), options) {
  internalQueue_ = platform::DispatchQueue::createSerial("DizEvozidiz-Internal");
  checkpointQueue_ = platform::DispatchQueue::createSerial("DizEvozidiz-Checkpoint");
  snapshotQueue_ = platform::DispatchQueue::createSerial("DizEvozidiz-Snapshot");
  writeQueue_ = platform::DispatchQueue::createSerial("DizEvozidiz-Write");
  snapshotQueue_->setSpecific(&isOnSnapshotQueueKey_, &isOnSnapshotQueueKey_);
  writeQueue_->setSpecific(&isOnWriteQueueKey_, &isOnWriteQueueKey_);
  checkpointQueue_->suspend();
  checkpointQueueSuspended_ = true;

  shared_ = std::make_shared<Shared>(databasePath_, options_);
  shared_->checkpointQueue = checkpointQueue_;
  shared_->snapshotQueue = snapshotQueue_;
  shared_->writeQueue = writeQueue_;
  shared_->databaseIdentity = this;
}

DizEvozidizInternal::~DizEvozidizInternal() {
  platform::ValueDictionary userInfo{{"databasePath", platform::Value(databasePath_)},
                                     {"databasePath_wal", platform::Value(databasePath_wal())},
                                     {"databasePath_shm", platform::Value(databasePath_shm())}};
  // Pooled connection handles must be closed here, before the shim they were opened through goes
  // away.
  closeAllPooledHandles();
  // Waits for a start-up step or checkpoint that is using the handle right now; later ones find
  // it gone.
  closeOwnHandle();
  if (vfsShim_) diz_vfs_shim_unregister(&vfsShim_);
  if (checkpointQueueSuspended_.exchange(false)) checkpointQueue_->resume();  // queued passes find nothing
  DizEvozidizManager::deregisterDatabaseForPath(databasePath_);
  postClosedNotification(std::move(userInfo));
}

std::shared_ptr<DizEvozidizInternal> DizEvozidizInternal::self() {
  return std::static_pointer_cast<DizEvozidizInternal>(shared_from_this());
}

bool DizEvozidizInternal::isOnSnapshotQueue() const {
  return platform::DispatchQueue::getSpecificCurrent(&isOnSnapshotQueueKey_) != nullptr;
}

bool DizEvozidizInternal::isOnWriteQueue() const {
  return platform::DispatchQueue::getSpecificCurrent(&isOnWriteQueueKey_) != nullptr;
}

template <class F>
auto DizEvozidizInternal::onSnapshotQueue(F&& f) const {
  if (isOnSnapshotQueue()) return f();
  return snapshotQueue_->sync(f);
}

// ---------------------------------------------------------------------------------------------
// Opening, configuration, tables (on the creating thread, before any block can use the handle)

// Remembers the failing result code of the current step; false.
bool DizEvozidizInternal::failedWith(int resultCode) {
  openResultCode_ = resultCode;
  return false;
}

DizEvozidizInternal::OpenOutcome DizEvozidizInternal::openConfigureCreate(bool isNewFile) {
  openResultCode_ = SQLITE_OK;
  OpenOutcome outcome = OpenOutcome::Opened;
  {
    // Nothing else can reach the handle yet; the lock is what the handle's rule asks for.
    platform::MutexLock lock(shared_->handleMutex);
    if (!openDatabase()) {
      outcome = OpenOutcome::Failed;
    } else if (!isNewFile && !checkFormatVersion()) {
      outcome = openResultCode_ == SQLITE_OK ? OpenOutcome::NewerFormat : OpenOutcome::Failed;
    } else if (!configureDatabase(isNewFile) || !createTables()) {
      outcome = OpenOutcome::Failed;
    }
  }
  if (outcome == OpenOutcome::Failed && meansCorruption(openResultCode_)) outcome = OpenOutcome::Corrupt;
  if (outcome != OpenOutcome::Opened) closeOwnHandle();
  return outcome;
}

void DizEvozidizInternal::closeOwnHandle() {
  platform::MutexLock lock(shared_->handleMutex);
  if (!shared_->db) return;
  const int rc = sqlite3_close(shared_->db);
  if (rc != SQLITE_OK) DIZ_DB_LOG_ERROR("%@: Error in sqlite_close: %d %s", rc, sqlite3_errmsg(shared_->db));
  shared_->db = nullptr;
}

bool DizEvozidizInternal::openDatabase() {
  sqlite3*& db = shared_->db;
  const int rc = sqlite3_open_v2(databasePath_.c_str(), &db, kOpenFlags, nullptr);
  if (rc != SQLITE_OK) {
    if (db) {
      DIZ_DB_LOG_ERROR("%@: Error opening database: %d %s", rc, sqlite3_errmsg(db));
      sqlite3_close(db);
      db = nullptr;
    } else {
      DIZ_DB_LOG_ERROR("%@: Error opening database: %d", rc);
    }
    return failedWith(rc);
  }
  // Before the first statement: a lock held elsewhere is waited for, never taken for damage.
  installBusyHandling(*shared_);
  return true;
}

// An existing file must not be newer than this code: opening would configure and then write a
// layout it does not know. Such a file is refused and left untouched.
bool DizEvozidizInternal::checkFormatVersion() {
  sqlite3* db = shared_->db;
  int version = 0;
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA user_version;", -1, &statement, nullptr);
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) version = sqlite3_column_int(statement, 0);
  }
  sqlite3_finalize(statement);
  if (rc != SQLITE_ROW) {
    DIZ_DB_LOG_ERROR("%@: Error fetching user_version: %d %s", rc, sqlite3_errmsg(db));
    return failedWith(sqlite3_extended_errcode(db));
  }
  if (version <= DizEvozidizSchemaVersion) return true;
  DIZ_DB_LOG_ERROR(
      "%@: Database file format version %d is newer than this version of the store supports (%d); the file was "
      "not opened and was left as it is. (name=%@)",
      version, DizEvozidizSchemaVersion, platform::lastPathComponent(databasePath_));
  return false;
}

bool DizEvozidizInternal::configureDatabase(bool isNewFile) {
  sqlite3* db = shared_->db;
  auto exec = [&](const std::string& sql) { return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); };
  int rc;
  if (isNewFile && options_.pragmaPageSize > 0) {
    rc = exec(platform::format("PRAGMA page_size = %ld;", static_cast<long>(options_.pragmaPageSize)));
    if (rc != SQLITE_OK) DIZ_DB_LOG_ERROR("%@: Error setting PRAGMA page_size: %d %s", rc, sqlite3_errmsg(db));
  }
  rc = exec("PRAGMA journal_mode = WAL;");
  if (rc != SQLITE_OK) {
    DIZ_DB_LOG_ERROR("%@: Error setting PRAGMA journal_mode: %d %s", rc, sqlite3_errmsg(db));
    return failedWith(sqlite3_extended_errcode(db));
  }
  if (isNewFile) {
    rc = exec("PRAGMA auto_vacuum = FULL; VACUUM;");
    if (rc != SQLITE_OK) DIZ_DB_LOG_ERROR("%@: Error setting PRAGMA auto_vacuum: %d %s", rc, sqlite3_errmsg(db));
  }
  rc = exec("PRAGMA synchronous = NORMAL;");
  if (rc != SQLITE_OK) DIZ_DB_LOG_ERROR("%@: Error setting PRAGMA synchronous: %d %s", rc, sqlite3_errmsg(db));
  rc = exec(platform::format("PRAGMA journal_size_limit = %ld;", static_cast<long>(options_.pragmaJournalSizeLimit)));
  if (rc != SQLITE_OK) DIZ_DB_LOG_ERROR("%@: Error setting PRAGMA journal_size_limit: %d %s", rc, sqlite3_errmsg(db));
  if (options_.pragmaMMapSize > 0) {
    rc = exec(platform::format("PRAGMA mmap_size = %ld;", static_cast<long>(options_.pragmaMMapSize)));
    if (rc != SQLITE_OK) DIZ_DB_LOG_ERROR("%@: Error setting PRAGMA mmap_size: %d %s", rc, sqlite3_errmsg(db));
  }
  // Checkpoints are the database's own (asyncCheckpoint).
  sqlite3_wal_autocheckpoint(db, 0);
  return true;
}

bool DizEvozidizInternal::createTables() {
  sqlite3* db = shared_->db;
  const struct {
    const char* sql;
    const char* failure;
  } steps[] = {
      {kCreateDiz2, "%@: Failed creating 'diz2' table: %d %s"},
      {kCreateDatabase2, "%@: Failed creating 'database2' table: %d %s"},
      {kCreateIndex, "%@: Failed creating index on 'database2' table: %d %s"},
  };
  for (const auto& step : steps) {
    const int rc = sqlite3_exec(db, step.sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      DIZ_DB_LOG_ERROR(step.failure, rc, sqlite3_errmsg(db));
      return failedWith(sqlite3_extended_errcode(db));
    }
  }
  return true;
}

// The main file and its "-wal" and "-shm" companions move or go together: stale WAL frames left
// behind would otherwise be replayed into the fresh database made at the same path. Only called
// for a file SQLite reported corrupt or not a database; a directory is never moved or removed.
bool DizEvozidizInternal::applyCorruptAction() {
  platform::FileManager& files = platform::FileManager::defaultManager();
  const std::string companions[] = {"-wal", "-shm"};

  if (files.isDirectory(databasePath_)) {
    DIZ_DB_LOG_ERROR("%@: Not touching a directory at the database path: %@", databasePath_);
    return false;
  }

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
      DIZ_DB_LOG_ERROR("%@: Error renaming corrupt database file: (%@ -> %@) %@",
                       platform::lastPathComponent(databasePath_), platform::lastPathComponent(target), error);
      return false;
    }
    for (const std::string& suffix : companions) {
      const std::string from = databasePath_ + suffix;
      if (!files.fileExists(from)) continue;
      if (files.moveItem(from, target + suffix, &error)) continue;
      DIZ_DB_LOG_ERROR("%@: Error renaming corrupt database file: (%@ -> %@) %@", platform::lastPathComponent(from),
                       platform::lastPathComponent(target + suffix), error);
      // A companion that stays behind must not survive into the new database.
      if (!files.removeItem(from, &error)) {
        DIZ_DB_LOG_ERROR("%@: Error deleting corrupt database file: %@", error);
        return false;
      }
    }
    return true;
  }

  if (options_.corruptAction == DizEvozidizCorruptActionDelete) {
    platform::ErrorPtr error;
    if (!files.removeItem(databasePath_, &error)) {
      DIZ_DB_LOG_ERROR("%@: Error deleting corrupt database file: %@", error);
      return false;
    }
    for (const std::string& suffix : companions) {
      const std::string path = databasePath_ + suffix;
      if (files.fileExists(path) && !files.removeItem(path, &error)) {
        DIZ_DB_LOG_ERROR("%@: Error deleting corrupt database file: %@", error);
        return false;
      }
    }
    return true;
  }

  // Fail, and any action this code does not know: never destroy the user's data on a guess.
  if (options_.corruptAction != DizEvozidizCorruptActionFail)
    DIZ_DB_LOG_ERROR("%@: Unknown corrupt action (%ld); leaving the file untouched",
                     static_cast<long>(options_.corruptAction));
  return false;
}

bool DizEvozidizInternal::passesQuickCheck() {
  platform::MutexLock lock(shared_->handleMutex);
  sqlite3* db = shared_->db;
  if (!db) return false;
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check;", -1, &statement, nullptr);
  bool whole = false;
  if (rc == SQLITE_OK && (rc = sqlite3_step(statement)) == SQLITE_ROW) whole = columnText(statement, 0) == "ok";
  if (rc != SQLITE_ROW) DIZ_DB_LOG_ERROR("%@: Error checking the database file: %d %s", rc, sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return whole;
}

void DizEvozidizInternal::noteDamagedFile() {
  if (shared_->damageRecorded.exchange(true)) return;
  const std::string marker = damageMarkerPath(databasePath_);
  DIZ_DB_LOG_ERROR("%@: Database file is damaged: reads may miss rows it holds; it is checked when next opened (%@)",
                   marker);
  const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::close(fd) != 0) {
    DIZ_DB_LOG_ERROR("%@: Error recording the damage in %@: %s", marker, std::strerror(errno));
    shared_->damageRecorded = false;
  }
}

// ---------------------------------------------------------------------------------------------
// Start-up: upgrade and prepare (snapshot queue, holding the handle mutex)

void DizEvozidizInternal::startUp(const std::shared_ptr<Shared>& shared) {
  platform::MutexLock lock(shared->handleMutex);
  if (!shared->db) return;  // released before it started
  upgradeTable(*shared);
  prepare(*shared);
}

bool DizEvozidizInternal::getUserVersion(sqlite3* db, int& version) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA user_version;", -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_DB_LOG_ERROR("%@: Error creating pragma user_version statement! %d %s", rc, sqlite3_errmsg(db));
    return false;
  }
  rc = sqlite3_step(statement);
  bool ok = rc == SQLITE_ROW;
  if (ok)
    version = sqlite3_column_int(statement, 0);
  else
    DIZ_DB_LOG_ERROR("%@: Error fetching user_version: %d %s", rc, sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return ok;
}

void DizEvozidizInternal::upgradeTable(Shared& shared) {
  sqlite3* db = shared.db;
  int version = 0;
  if (!getUserVersion(db, version)) return;
  auto storeVersion = [&](int v) {
    const int rc =
        sqlite3_exec(db, platform::format("PRAGMA user_version = %d;", v).c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) DIZ_DB_LOG_ERROR("%@: Error setting user_version: %d %s", rc, sqlite3_errmsg(db));
  };
  if (version == 0) {  // a new file
    storeVersion(DizEvozidizSchemaVersion);
    version = DizEvozidizSchemaVersion;
  }
  while (version < DizEvozidizSchemaVersion) {
    bool (*step)(Shared&) = nullptr;
    if (version == 1) step = &DizEvozidizInternal::upgradeTable_1_2;
    if (version == 2) step = &DizEvozidizInternal::upgradeTable_2_3;
    if (!step) {
      DIZ_DB_LOG_WARN("%@: Missing upgrade method: %@", platform::format("upgradeTable_%d_%d", version, version + 1));
      ++version;
      continue;
    }
    if (!step(shared)) {
      DIZ_DB_LOG_ERROR("%@: Error upgrading database (%@)", platform::lastPathComponent(shared.databasePath));
      return;
    }
    ++version;
    storeVersion(version);
  }
}

bool DizEvozidizInternal::upgradeTable_1_2(Shared& shared) {
  const int rc = sqlite3_exec(shared.db, "DROP TABLE IF EXISTS \"diz\"", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) DIZ_DB_LOG_ERROR("%@: Failed dropping 'diz' table: %d %s", rc, sqlite3_errmsg(shared.db));
  return true;
}

bool DizEvozidizInternal::upgradeTable_2_3(Shared& shared) {
  sqlite3* db = shared.db;
  int rc = sqlite3_exec(db,
                        "INSERT INTO \"database2\" (\"collection\", \"key\", \"data\", \"metadata\") SELECT "
                        "\"collection\", \"key\", \"data\", \"metadata\" FROM \"database\";",
                        nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_DB_LOG_ERROR("%@: Error migrating 'database' to 'database2': %d %s", rc, sqlite3_errmsg(db));
    return false;
  }
  rc = sqlite3_exec(db, "DROP TABLE IF EXISTS \"database\"", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_DB_LOG_ERROR("%@: Failed dropping 'database' table: %d %s", rc, sqlite3_errmsg(db));
    return false;
  }
  return true;
}

std::uint64_t DizEvozidizInternal::readSnapshot(sqlite3* db) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, "SELECT \"data\" FROM \"diz2\" WHERE \"extension\" = ? AND \"key\" = ?;", -1,
                              &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_DB_LOG_ERROR("%@: %@: Error creating statement: %d %s", "readSnapshot", rc, sqlite3_errmsg(db));
    return 0;
  }
  sqlite3_bind_text(statement, 1, "", 0, SQLITE_STATIC);
  sqlite3_bind_text(statement, 2, "snapshot", 8, SQLITE_STATIC);
  std::uint64_t result = 0;
  rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW)
    result = static_cast<std::uint64_t>(sqlite3_column_int64(statement, 0));
  else if (rc == SQLITE_ERROR)
    DIZ_DB_LOG_ERROR("%@: Error executing 'readSnapshot': %d %s", rc, sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return result;
}

void DizEvozidizInternal::prepare(Shared& shared) {
  sqlite3* db = shared.db;
  int rc = sqlite3_exec(db, "BEGIN TRANSACTION;", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) DIZ_DB_LOG_ERROR("%@: Error in '%@': %d %s", "prepare", rc, sqlite3_errmsg(db));

  shared.snapshot = readSnapshot(db);
  shared.sqliteVersion = sqliteVersionUsing(db).value_or(std::string());
  shared.pageSize = static_cast<std::uint64_t>(pragma("page_size", db));

  sqlite3_stmt* statement = nullptr;
  rc = sqlite3_prepare_v2(db, "SELECT DISTINCT \"extension\" FROM \"diz2\";", -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_DB_LOG_ERROR("%@: %@: Error creating statement: %d %s", "prepare", rc, sqlite3_errmsg(db));
  } else {
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
      std::string name = columnText(statement, 0);
      if (!name.empty()) shared.previouslyRegisteredExtensionNames.push_back(std::move(name));
    }
    shared.previouslyRegisteredExtensionNamesPending = !shared.previouslyRegisteredExtensionNames.empty();
    if (rc != SQLITE_DONE) DIZ_DB_LOG_ERROR("%@: %@: Error in statement: %d %s", "prepare", rc, sqlite3_errmsg(db));
    sqlite3_finalize(statement);
  }

  rc = sqlite3_exec(db, "COMMIT TRANSACTION;", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) DIZ_DB_LOG_ERROR("%@: Error in '%@': %d %s", "prepare", rc, sqlite3_errmsg(db));
}

// ---------------------------------------------------------------------------------------------
// Accessors

std::string DizEvozidizInternal::sqliteVersion() const {
  return onSnapshotQueue([this] { return shared_->sqliteVersion; });
}

std::uint64_t DizEvozidizInternal::pageSize() const {
  return onSnapshotQueue([this] { return shared_->pageSize; });
}

std::uint64_t DizEvozidizInternal::snapshot() const {
  return onSnapshotQueue([this] { return shared_->snapshot; });
}

std::vector<std::string> DizEvozidizInternal::previouslyRegisteredExtensionNames() const {
  return onSnapshotQueue([this] { return shared_->previouslyRegisteredExtensionNames; });
}

std::vector<std::shared_ptr<DizEvozidizConnectionState>>& DizEvozidizInternal::connectionStatesOnSnapshotQueue() {
  assertOnSnapshotQueue();
  return shared_->connectionStates;
}

const std::deque<DizPublishedChangeset>& DizEvozidizInternal::changesetsOnSnapshotQueue() const {
  assertOnSnapshotQueue();
  return shared_->changesets;
}

void DizEvozidizInternal::setSnapshotOnSnapshotQueue(std::uint64_t snapshot) {
  assertOnSnapshotQueue();
  shared_->snapshot = snapshot;
}

void DizEvozidizInternal::setLongLivedReadTransactionOnSnapshotQueue(DizEvozidizConnectionState& state,
                                                                     bool longLived) {
  assertOnSnapshotQueue();
  if (state.longLivedReadTransaction == longLived) return;
  state.longLivedReadTransaction = longLived;
  shared_->longLivedReaders.fetch_add(longLived ? 1 : -1, std::memory_order_relaxed);
  shared_->longLivedMoves.fetch_add(1, std::memory_order_release);
}

void DizEvozidizInternal::addConnectionState(std::shared_ptr<DizEvozidizConnectionState> state) {
  onSnapshotQueue([&] {
    if (state->longLivedReadTransaction) {
      shared_->longLivedReaders.fetch_add(1, std::memory_order_relaxed);
      shared_->longLivedMoves.fetch_add(1, std::memory_order_release);
    }
    shared_->connectionStates.push_back(std::move(state));
  });
}

void DizEvozidizInternal::removeConnectionState(const DizEvozidizConnectionHooks* connection) {
  onSnapshotQueue([&] {
    auto& states = shared_->connectionStates;
    for (auto it = states.begin(); it != states.end(); ++it) {
      if ((*it)->connectionIdentity == connection) {
        setLongLivedReadTransactionOnSnapshotQueue(**it, false);
        // What it was to take at the end of a read transaction is nobody's to run now.
        if ((*it)->changesetsOwedFrom) takeOwedChangesets(**it, UINT64_MAX);
        states.erase(it);
        return;
      }
    }
  });
}

DizEvozidizConnectionDefaults DizEvozidizInternal::connectionDefaults() const {
  return internalQueue_->sync([&] { return connectionDefaults_; });
}

#define DIZ_DEFAULTS_ACCESSORS(Type, Getter, Setter, Field, FieldSetter)      \
  Type DizEvozidizInternal::Getter() const {                                  \
    return internalQueue_->sync([&] { return connectionDefaults_.Field(); }); \
  }                                                                           \
  void DizEvozidizInternal::Setter(Type value) {                              \
    internalQueue_->sync([&] { connectionDefaults_.FieldSetter(value); });    \
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
DIZ_DEFAULTS_ACCESSORS(std::int64_t, defaultMetadataPolicy, setDefaultMetadataPolicy, metadataPolicy, setMetadataPolicy)

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

std::optional<std::string> DizEvozidizInternal::sqliteVersionUsing(sqlite3* db) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, "SELECT sqlite_version();", -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_DB_LOG_ERROR("%@: %@: Error creating statement! %d %s", "sqliteVersionUsing:", rc, sqlite3_errmsg(db));
    return std::nullopt;
  }
  std::optional<std::string> version;
  rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW)
    version = columnText(statement, 0);
  else
    DIZ_DB_LOG_ERROR("%@: %@: Error executing statement! %d %s", "sqliteVersionUsing:", rc, sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return version;
}

std::int64_t DizEvozidizInternal::pragma(std::string_view name, sqlite3* db) {
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
    DIZ_DB_LOG_ERROR("%@: %@: Error creating statement! %d %s", "pragma:using:", rc, sqlite3_errmsg(db));
    return -1;
  }
  std::int64_t result = -1;
  rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW)
    result = sqlite3_column_int64(statement, 0);
  else if (rc != SQLITE_DONE)
    DIZ_DB_LOG_ERROR("%@: %@: Error executing statement! %d %s", "pragma:using:", rc, sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return result;
}

bool DizEvozidizInternal::tableExists(std::string_view table, sqlite3* db) {
  if (table.empty()) return false;
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?", -1,
                              &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_DB_LOG_ERROR("%@: %@: Error creating statement! %d %s", "tableExists:using:", rc, sqlite3_errmsg(db));
    return false;
  }
  sqlite3_bind_text(statement, 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
  bool exists = false;
  rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW)
    exists = sqlite3_column_int64(statement, 0) > 0;
  else
    DIZ_DB_LOG_ERROR("%@: %@: Error executing statement! %d %s", "tableExists:using:", rc, sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return exists;
}

std::optional<std::vector<std::string>> DizEvozidizInternal::tableNamesUsing(sqlite3* db) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table';", -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_DB_LOG_ERROR("%@: %@: Error creating statement! %d %s", "tableNamesUsing:", rc, sqlite3_errmsg(db));
    return std::nullopt;
  }
  std::vector<std::string> names;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) names.push_back(columnText(statement, 0));
  if (rc != SQLITE_DONE)
    DIZ_DB_LOG_ERROR("%@: %@: Error executing statement! %d %s", "tableNamesUsing:", rc, sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return names;
}

std::optional<std::vector<std::string>> DizEvozidizInternal::columnNamesForTable(std::string_view table, sqlite3* db) {
  if (table.empty()) return std::nullopt;
  const std::string sql = "PRAGMA table_info(" + quotedIdentifier(table) + ");";
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_DB_LOG_ERROR("%@: %@: Error creating statement! %d %s", "columnNamesForTable:using:", rc, sqlite3_errmsg(db));
    return std::nullopt;
  }
  std::vector<std::string> names;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) names.push_back(columnText(statement, 1));
  if (rc != SQLITE_DONE)
    DIZ_DB_LOG_ERROR("%@: %@: Error executing statement! %d %s", "columnNamesForTable:using:", rc, sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return names;
}

std::optional<std::map<std::string, std::string>> DizEvozidizInternal::columnNamesAndAffinityForTable(
    std::string_view table, sqlite3* db) {
  if (table.empty()) return std::nullopt;
  const std::string sql = "PRAGMA table_info(" + quotedIdentifier(table) + ");";
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
  if (rc != SQLITE_OK) {
    DIZ_DB_LOG_ERROR("%@: %@: Error creating statement! %d %s", "columnNamesAndAffinityForTable:using:", rc,
                     sqlite3_errmsg(db));
    return std::nullopt;
  }
  std::map<std::string, std::string> columns;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) columns[columnText(statement, 1)] = columnText(statement, 2);
  if (rc != SQLITE_DONE)
    DIZ_DB_LOG_ERROR("%@: %@: Error executing statement! %d %s", "columnNamesAndAffinityForTable:using:", rc,
                     sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return columns;
}

std::string DizEvozidiz::pragmaValueForSynchronous(std::int64_t value) {
  switch (value) {
    case 0:
      return "OFF";
    case 1:
      return "NORMAL";
    case 2:
      return "FULL";
    default:
      return "UNKNOWN";
  }
}

std::string DizEvozidiz::pragmaValueForAutoVacuum(std::int64_t value) {
  switch (value) {
    case 0:
      return "NONE";
    case 1:
      return "FULL";
    case 2:
      return "INCREMENTAL";
    default:
      return "UNKNOWN";
  }
}

namespace {

void postClosedNotification(platform::ValueDictionary userInfo) {
  platform::NotificationCenter::defaultCenter()->postOnMainQueueAsync(platform::Notification::make(
      std::string(DizEvozidizClosedNotification), nullptr, platform::Value(std::move(userInfo))));
}

}  // namespace
