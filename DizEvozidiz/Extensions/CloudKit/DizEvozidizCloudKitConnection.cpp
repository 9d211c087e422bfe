#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKitConnection.h"

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKitTransaction.h"

using platform::Value;
using platform::ValueArray;
using platform::ValueDictionary;

namespace {

constexpr const char* kConnectionLogFile = "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKitConnection.cpp";

struct StatementText {
  int table;  // 0 mapping, 1 record, 2 queue
  const char* head;
  const char* tail;
  const char* name;
};

// Each text is head + the quoted table name + tail.
// clang-format off
constexpr StatementText kStatementTexts[DizEvozidizCloudKitConnection::kStatementCount] = {
  {0, "INSERT OR REPLACE INTO ", " (\"rowid\", \"recordTable_hash\") VALUES (?, ?);", "mappingTable_insertStatement"},
  {0, "UPDATE ", " SET \"recordTable_hash\" = ? WHERE \"rowid\" = ?;", "mappingTable_updateForRowidStatement"},
  {0, "SELECT \"recordTable_hash\" FROM ", " WHERE \"rowid\" = ?;", "mappingTable_getInfoForRowidStatement"},
  {0, "SELECT \"rowid\" FROM ", " WHERE \"recordTable_hash\" = ?;", "mappingTable_enumerateForHashStatement"},
  {0, "DELETE FROM ", " WHERE \"rowid\" = ?;", "mappingTable_removeForRowidStatement"},
  {0, "DELETE FROM ", ";", "mappingTable_removeAllStatement"},
  {1, "INSERT OR REPLACE INTO ", " (\"hash\", \"databaseIdentifier\", \"ownerCount\", \"record\") VALUES (?, ?, ?, ?);",
   "recordTable_insertStatement"},
  {1, "UPDATE ", " SET \"ownerCount\" = ? WHERE \"hash\" = ?;", "recordTable_updateOwnerCountStatement"},
  {1, "UPDATE ", " SET \"record\" = ? WHERE \"hash\" = ?;", "recordTable_updateRecordStatement"},
  {1, "SELECT \"databaseIdentifier\", \"ownerCount\", \"record\" FROM ", " WHERE \"hash\" = ?;",
   "recordTable_getInfoForHashStatement"},
  {1, "SELECT \"ownerCount\" FROM ", " WHERE \"hash\" = ?;", "recordTable_getOwnerCountForHashStatement"},
  {1, "SELECT COUNT(*) AS NumberOfRows FROM ", " WHERE \"hash\" = ?;", "recordTable_getCountForHashStatement"},
  {1, "DELETE FROM ", " WHERE \"hash\" = ?;", "recordTable_removeForHashStatement"},
  {1, "DELETE FROM ", ";", "recordTable_removeAllStatement"},
  {2, "INSERT INTO ",
   " (\"uuid\", \"prev\", \"databaseIdentifier\", \"deletedRecordIDs\", \"modifiedRecords\") VALUES (?, ?, ?, ?, ?);",
   "queueTable_insertStatement"},
  {2, "UPDATE ", " SET \"deletedRecordIDs\" = ? WHERE \"uuid\" = ?;", "queueTable_updateDeletedRecordIDsStatement"},
  {2, "UPDATE ", " SET \"modifiedRecords\" = ? WHERE \"uuid\" = ?;", "queueTable_updateModifiedRecordsStatement"},
  {2, "UPDATE ", " SET \"deletedRecordIDs\" = ?, \"modifiedRecords\" = ? WHERE \"uuid\" = ?;",
   "queueTable_updateBothStatement"},
  {2, "DELETE FROM ", " WHERE \"uuid\" = ?;", "queueTable_removeForUuidStatement"},
  {2, "DELETE FROM ", ";", "queueTable_removeAllStatement"},
};
// clang-format on

// Updates the entries a cache already holds from a commit's changes; adds none.
template <class Cache, class Key, class Info>
void applyToCache(Cache& cache, bool reset, const std::set<Key>& deleted, const std::map<Key, Info>& info) {
  if (reset && info.empty()) {
    cache.removeAllObjects();
    return;
  }
  if (!reset && deleted.empty() && info.empty()) return;
  std::vector<Key> keys;
  cache.enumerateKeysWithBlock([&](const Key& key, bool&) { keys.push_back(key); });
  for (const Key& key : keys) {
    auto it = info.find(key);
    if (it != info.end())
      cache.setObject(it->second, key);
    else if (reset || deleted.count(key))
      cache.removeObjectForKey(key);
  }
}

}  // namespace

DizEvozidizCloudKitConnection::DizEvozidizCloudKitConnection(DizEvozidizCloudKitPtr parent,
                                                             DizEvozidizConnection* connection)
    : DizEvozidizExtensionConnection(parent, connection), parent_(std::move(parent)) {}

DizEvozidizCloudKitConnectionPtr DizEvozidizCloudKitConnection::make(DizEvozidizCloudKitPtr parent,
                                                                     DizEvozidizConnection* connection) {
  return platform::make<DizEvozidizCloudKitConnection>(std::move(parent), connection);
}

DizEvozidizCloudKitConnection::~DizEvozidizCloudKitConnection() { flushStatements(); }

sqlite3* DizEvozidizCloudKitConnection::db() const { return DizInternal(*databaseConnection()).db; }

DizEvozidizExtensionTransactionPtr DizEvozidizCloudKitConnection::newReadTransaction(
    DizEvozidizReadTransaction& transaction) {
  return DizEvozidizCloudKitTransaction::make(
      std::static_pointer_cast<DizEvozidizCloudKitConnection>(shared_from_this()), &transaction);
}

DizEvozidizExtensionTransactionPtr DizEvozidizCloudKitConnection::newReadWriteTransaction(
    DizEvozidizReadWriteTransaction& transaction) {
  prepareForReadWriteTransaction();
  return DizEvozidizCloudKitTransaction::make(
      std::static_pointer_cast<DizEvozidizCloudKitConnection>(shared_from_this()), &transaction);
}

void DizEvozidizCloudKitConnection::prepareForReadWriteTransaction() {
  // The dirty dictionaries are members; they are empty between transactions.
}

void DizEvozidizCloudKitConnection::_flushMemoryWithFlags(unsigned flags) {
  if (flags & 1) {
    cleanMappingTableInfoCache.removeAllObjects();
    cleanRecordTableInfoCache.removeAllObjects();
  }
  if (flags & 2) flushStatements();
}

bool DizEvozidizCloudKitConnection::hasChangesetEntries() const {
  return !changeset_deletedRowids.empty() || !changeset_deletedHashes.empty() || !changeset_mappingTableInfo.empty() ||
         !changeset_recordTableInfo.empty();
}

void DizEvozidizCloudKitConnection::getInternalChangeset(Value& internal, Value& external, bool& hasDiskChanges) {
  external = Value();
  if (!hasChangesetEntries() && !reset) {
    internal = Value();
    hasDiskChanges = isOperationCompletionTransaction || isOperationPartialCompletionTransaction;
    return;
  }
  ValueDictionary changeset;
  if (!changeset_deletedRowids.empty()) {
    ValueArray rowids;
    for (std::int64_t rowid : changeset_deletedRowids) rowids.emplace_back(rowid);
    changeset.set("deletedRowids", Value(std::move(rowids)));
  }
  if (!changeset_deletedHashes.empty()) {
    ValueArray hashes;
    for (const std::string& hash : changeset_deletedHashes) hashes.emplace_back(hash);
    changeset.set("deletedHashes", Value(std::move(hashes)));
  }
  if (!changeset_mappingTableInfo.empty()) {
    ValueDictionary mapping;
    for (const auto& [rowid, info] : changeset_mappingTableInfo)
      mapping.set(std::to_string(rowid), Value(info->recordTableHash()));
    changeset.set("mappingTableInfo", Value(std::move(mapping)));
  }
  if (!changeset_recordTableInfo.empty()) {
    ValueDictionary records;
    for (const auto& [hash, info] : changeset_recordTableInfo) {
      ValueDictionary row;
      if (info->databaseIdentifier()) row.set("databaseIdentifier", Value(*info->databaseIdentifier()));
      row.set("ownerCount", Value(info->ownerCount()));
      if (info->record()) row.set("record", Value(info->record()));
      records.set(hash, Value(std::move(row)));
    }
    changeset.set("recordTableInfo", Value(std::move(records)));
  }
  if (reset) changeset.set("reset", Value(true));
  internal = Value(std::move(changeset));
  hasDiskChanges = true;
}

void DizEvozidizCloudKitConnection::processChangeset(const Value& changeset) {
  if (!changeset.isDictionary()) return;
  const bool wasReset = changeset["reset"].isBool() && changeset["reset"].asBool();

  std::set<std::int64_t> deletedRowids;
  if (changeset["deletedRowids"].isArray())
    for (const Value& v : changeset["deletedRowids"].asArray()) deletedRowids.insert(v.asInt64());
  std::map<std::int64_t, std::shared_ptr<DZCKCleanMappingTableInfo>> mapping;
  if (changeset["mappingTableInfo"].isDictionary())
    for (const auto& [rowid, hash] : changeset["mappingTableInfo"].asDictionary())
      if (hash.isString()) mapping[std::stoll(rowid)] = std::make_shared<DZCKCleanMappingTableInfo>(hash.asString());
  applyToCache(cleanMappingTableInfoCache, wasReset, deletedRowids, mapping);

  std::set<std::string> deletedHashes;
  if (changeset["deletedHashes"].isArray())
    for (const Value& v : changeset["deletedHashes"].asArray())
      if (v.isString()) deletedHashes.insert(v.asString());
  std::map<std::string, std::shared_ptr<DZCKCleanRecordTableInfo>> records;
  if (changeset["recordTableInfo"].isDictionary())
    for (const auto& [hash, row] : changeset["recordTableInfo"].asDictionary()) {
      DZCKDatabaseIdentifier database;
      if (row["databaseIdentifier"].isString()) database = row["databaseIdentifier"].asString();
      records[hash] = std::make_shared<DZCKCleanRecordTableInfo>(std::move(database), row["ownerCount"].asInt64(),
                                                                 row["record"].as<platform::CloudRecord>());
    }
  applyToCache(cleanRecordTableInfoCache, wasReset, deletedHashes, records);
}

void DizEvozidizCloudKitConnection::clearTransactionState() {
  queueMerges.clear();
  dirtyMappingTableInfoDict.clear();
  dirtyRecordTableInfoDict.clear();
  pendingAttachRequests.clear();
  reset = false;
  isOperationCompletionTransaction = false;
  isOperationPartialCompletionTransaction = false;
  changeset_deletedRowids.clear();
  changeset_deletedHashes.clear();
  changeset_mappingTableInfo.clear();
  changeset_recordTableInfo.clear();
}

void DizEvozidizCloudKitConnection::postCommitCleanup() {
  if (isOperationCompletionTransaction) {
    parent_->masterQueue().removeCompletedInFlightChangeSet();
    parent_->asyncMaybeDispatchNextOperation(true);
  } else if (isOperationPartialCompletionTransaction) {
    parent_->masterQueue().resetFailedInFlightChangeSet();
    parent_->asyncMaybeDispatchNextOperation(true);
  } else if (hasChangesetEntries() || reset) {
    parent_->asyncMaybeDispatchNextOperation(false);
  }
  clearTransactionState();
}

void DizEvozidizCloudKitConnection::postRollbackCleanup() {
  // A transaction that failed after its flush must not leave its change sets queued: they were
  // never stored, and their rows were never kept.
  for (auto it = queueMerges.rbegin(); it != queueMerges.rend(); ++it) parent_->masterQueue().undoMerge(*it);
  cleanMappingTableInfoCache.removeAllObjects();
  cleanRecordTableInfoCache.removeAllObjects();
  clearTransactionState();
}

sqlite3_stmt* DizEvozidizCloudKitConnection::statement(Statement which) {
  if (statements_[which]) return statements_[which];
  const StatementText& text = kStatementTexts[which];
  const std::string name = parent_->registeredName();
  const std::string table = text.table == 0   ? DizEvozidizCloudKit::mappingTableNameForRegisteredName(name)
                            : text.table == 1 ? DizEvozidizCloudKit::recordTableNameForRegisteredName(name)
                                              : DizEvozidizCloudKit::queueTableNameForRegisteredName(name);
  const std::string sql = text.head + DizEvozidiz::quotedIdentifier(table) + text.tail;
  sqlite3* handle = db();
  sqlite3_stmt* s = nullptr;
  const int status = sqlite3_prepare_v2(handle, sql.c_str(), static_cast<int>(sql.size() + 1), &s, nullptr);
  if (status != SQLITE_OK) {
    DIZ_LOG_IN(kDizLogFlagError, kConnectionLogFile, "%@: %@: Error creating prepared statement: %d %s", text.name,
               status, sqlite3_errmsg(handle));
    sqlite3_finalize(s);
    return nullptr;
  }
  return statements_[which] = s;
}

void DizEvozidizCloudKitConnection::flushStatements() {
  for (auto& s : statements_) {
    if (s) sqlite3_finalize(s);
    s = nullptr;
  }
}
