#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKitTransaction.h"

#include <algorithm>
#include <cstring>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizRowEnumeration.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "platform/runtime/error.h"
#include "platform/system/crypto.h"

using platform::Bytes;
using platform::CloudRecordID;
using platform::CloudRecordIDPtr;
using platform::CloudRecordPtr;
using platform::Value;

namespace {

constexpr const char* kTransactionLogFile = "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKitTransaction.cpp";
#define DZCK_TXN_LOG_ERROR(...) DIZ_LOG_IN(kDizLogFlagError, kTransactionLogFile, __VA_ARGS__)

void bindText(sqlite3_stmt* s, int index, const std::optional<std::string>& text) {
  if (text)
    sqlite3_bind_text(s, index, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
  else
    sqlite3_bind_null(s, index);
}

void bindBlob(sqlite3_stmt* s, int index, const std::optional<Bytes>& data) {
  if (data)
    sqlite3_bind_blob(s, index, data->data(), static_cast<int>(data->size()), SQLITE_TRANSIENT);
  else
    sqlite3_bind_null(s, index);
}

std::optional<std::string> columnText(sqlite3_stmt* s, int column) {
  if (sqlite3_column_type(s, column) == SQLITE_NULL) return std::nullopt;
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
  return std::string(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(s, column)));
}

std::optional<Bytes> columnBlob(sqlite3_stmt* s, int column) {
  if (sqlite3_column_type(s, column) == SQLITE_NULL) return std::nullopt;
  const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, column));
  return Bytes(bytes, bytes + sqlite3_column_bytes(s, column));
}

void finish(sqlite3_stmt* s) {
  sqlite3_clear_bindings(s);
  sqlite3_reset(s);
}

// A record-table row read by a lookup: a clean entry, or null when its record does not decode.
std::shared_ptr<DZCKCleanRecordTableInfo> cleanRecordInfo(sqlite3_stmt* s, int first) {
  DZCKDatabaseIdentifier database = columnText(s, first);
  if (database && database->empty()) database.reset();
  const std::int64_t owners = sqlite3_column_int64(s, first + 1);
  const void* blob = sqlite3_column_blob(s, first + 2);
  const auto size = static_cast<std::size_t>(sqlite3_column_bytes(s, first + 2));
  CloudRecordPtr record =
      blob ? DZCKRecord::deserializeRecord(platform::ByteSpan(static_cast<const std::uint8_t*>(blob), size)) : nullptr;
  if (!record) return nullptr;
  return std::make_shared<DZCKCleanRecordTableInfo>(std::move(database), owners, std::move(record));
}

std::string placeholders(std::size_t count) {
  std::string text;
  text.reserve(3 * count + 2);
  for (std::size_t i = 0; i < count; ++i) text += i == 0 ? "?" : ", ?";
  return text;
}

}  // namespace

DizEvozidizCloudKitTransaction::DizEvozidizCloudKitTransaction(DizEvozidizCloudKitConnectionPtr connection,
                                                               DizEvozidizReadTransaction* transaction)
    : DizEvozidizExtensionTransaction(connection, transaction), connection_(std::move(connection)) {}

DizEvozidizCloudKitTransactionPtr DizEvozidizCloudKitTransaction::make(DizEvozidizCloudKitConnectionPtr connection,
                                                                       DizEvozidizReadTransaction* transaction) {
  return platform::make<DizEvozidizCloudKitTransaction>(std::move(connection), transaction);
}

// ---- Record hash ----

std::string DizEvozidizCloudKitTransaction::hashRecordID(const CloudRecordID& recordID,
                                                         const DZCKDatabaseIdentifier& databaseIdentifier) {
  const std::string& name = recordID.recordName();
  const std::string& zone = recordID.zoneID().zoneName;
  const std::string& owner = recordID.zoneID().ownerName;
  const std::size_t length =
      name.size() + zone.size() + owner.size() + (databaseIdentifier ? 1 + databaseIdentifier->size() : 0);
  // One scratch buffer for the whole input: on the stack unless a long component needs more.
  constexpr std::size_t kStackBuffer = 2048;
  std::uint8_t stack[kStackBuffer];
  std::vector<std::uint8_t> heap;
  std::uint8_t* buffer = stack;
  if (length > kStackBuffer) {
    heap.resize(length);
    buffer = heap.data();
  }
  std::size_t at = 0;
  auto put = [&](std::string_view text) {
    if (!text.empty()) std::memcpy(buffer + at, text.data(), text.size());
    at += text.size();
  };
  put(name);
  put(zone);
  put(owner);
  if (databaseIdentifier) {
    put("_");
    put(*databaseIdentifier);
  }
  const platform::Sha1Digest digest = platform::sha1(platform::ByteSpan(buffer, at));
  return platform::base64Encode(platform::ByteSpan(digest.data(), digest.size()));
}

// ---- Set-up ----

bool DizEvozidizCloudKitTransaction::createIfNeeded() {
  std::int32_t classVersion = 0;
  if (!getIntValue(&classVersion, "classVersion", true)) {
    if (!createTables()) return false;
    cloudKit().createNewMasterChangeQueue();
    if (!populateTables()) return false;
    setIntValue(kClassVersion, "classVersion", true);
    setStringValue(cloudKit().versionTag(), "versionTag", true);
    return true;
  }
  if ((classVersion | 2) != kClassVersion) return false;
  const std::optional<std::string> storedTag = stringValueForExtensionKey("versionTag", true);
  const bool restored = restoreMasterChangeQueue();
  if (storedTag && *storedTag == cloudKit().versionTag()) return restored;
  if (!restored) return false;
  if (!repopulateTables()) return false;
  setStringValue(cloudKit().versionTag(), "versionTag", true);
  return true;
}

bool DizEvozidizCloudKitTransaction::createTables() {
  sqlite3* db = connection_->db();
  const std::string mapping = DizEvozidiz::quotedIdentifier(cloudKit().mappingTableName());
  const std::string record = DizEvozidiz::quotedIdentifier(cloudKit().recordTableName());
  const std::string queue = DizEvozidiz::quotedIdentifier(cloudKit().queueTableName());
  struct Step {
    std::string sql;
    const char* message;
    std::string table;
  };
  const Step steps[] = {
      {"CREATE TABLE IF NOT EXISTS " + mapping +
           "(\"rowid\" INTEGER PRIMARY KEY, \"recordTable_hash\" TEXT NOT NULL );",
       "%@: %@ - Failed creating table (%@): %d %s", cloudKit().mappingTableName()},
      {"CREATE INDEX IF NOT EXISTS \"recordTable_hash\" ON " + mapping + " (\"recordTable_hash\");",
       "%@: %@ - Failed creating index on table (%@): %d %s", cloudKit().mappingTableName()},
      {"CREATE TABLE IF NOT EXISTS " + record +
           " (\"hash\" TEXT PRIMARY KEY NOT NULL,  \"databaseIdentifier\" TEXT,  \"ownerCount\" INTEGER,  \"record\" "
           "BLOB );",
       "%@: %@ - Failed creating table (%@): %d %s", cloudKit().recordTableName()},
      {"CREATE TABLE IF NOT EXISTS " + queue +
           " (\"uuid\" TEXT PRIMARY KEY NOT NULL,  \"prev\" TEXT,  \"databaseIdentifier\" TEXT,  \"deletedRecordIDs\" "
           "BLOB,  \"modifiedRecords\" BLOB );",
       "%@: %@ - Failed creating table (%@): %d %s", cloudKit().queueTableName()},
  };
  for (const Step& step : steps) {
    const int status = sqlite3_exec(db, step.sql.c_str(), nullptr, nullptr, nullptr);
    if (status != SQLITE_OK) {
      DZCK_TXN_LOG_ERROR(step.message, "createTables", step.table, status, sqlite3_errmsg(db));
      return false;
    }
  }
  return true;
}

bool DizEvozidizCloudKitTransaction::restoreMasterChangeQueue() {
  sqlite3* db = connection_->db();
  const std::string sql =
      "SELECT \"uuid\", \"prev\", \"databaseIdentifier\", \"deletedRecordIDs\", \"modifiedRecords\" FROM " +
      DizEvozidiz::quotedIdentifier(cloudKit().queueTableName()) + ";";
  sqlite3_stmt* s = nullptr;
  int status = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size() + 1), &s, nullptr);
  if (status != SQLITE_OK) {
    DZCK_TXN_LOG_ERROR("%@: %@ - Error preparing statement: %d %s", "restoreMasterChangeQueue", status,
                       sqlite3_errmsg(db));
    sqlite3_finalize(s);
    return false;
  }
  std::map<std::string, DZCKChangeSetPtr> byUUID;
  DZCKChangeSetPtr last;
  while ((status = sqlite3_step(s)) == SQLITE_ROW) {
    std::optional<std::string> uuid = columnText(s, 0);
    if (!uuid) continue;
    auto changeSet =
        DZCKChangeSet::fromRow(*uuid, columnText(s, 1), columnText(s, 2), columnBlob(s, 3), columnBlob(s, 4));
    byUUID[*uuid] = changeSet;
    last = changeSet;
  }
  if (status != SQLITE_DONE)
    DZCK_TXN_LOG_ERROR("%@: %@ - Error stepping statement: %d %s", "restoreMasterChangeQueue", status,
                       sqlite3_errmsg(db));
  sqlite3_finalize(s);

  // Chains are walked backwards through "prev" from a start; each new chain goes after the others.
  std::vector<DZCKChangeSetPtr> ordered;
  DZCKChangeSetPtr start = last;
  while (start) {
    const std::size_t chainStart = ordered.size();
    ordered.push_back(start);
    byUUID.erase(*start->uuid());
    DZCKChangeSetPtr current = start;
    while (current->prev()) {
      auto it = byUUID.find(*current->prev());
      if (it == byUUID.end()) break;
      current = it->second;
      byUUID.erase(it);
      ordered.insert(ordered.begin() + static_cast<std::ptrdiff_t>(chainStart), current);
    }
    start = byUUID.empty() ? nullptr : byUUID.begin()->second;
  }
  for (std::size_t i = 1; i < ordered.size(); ++i) {
    if (ordered[i]->prev() != ordered[i - 1]->uuid()) {
      DIZ_LOG_IN(kDizLogFlagError, kTransactionLogFile,
                 "%@: Error restoring masterChangeQueue: Reverse-linked-list corruption ! (B)");
      return false;
    }
  }

  DZCKRecordInfo info;
  for (const auto& changeSet : ordered) {
    info.databaseIdentifier = changeSet->databaseIdentifier();
    changeSet->enumerateMissingRecordsWithBlock(
        [&](const CloudRecordIDPtr& recordID, const std::vector<std::string>& changedKeys) -> CloudRecordPtr {
          if (!recordID) return nullptr;
          const std::string hash = hashRecordID(*recordID, changeSet->databaseIdentifier());
          const std::set<std::int64_t> rowids = mappingTableRowidsForRecordTableHash(hash);
          DZCKRecordTableInfoPtr entry = recordTableInfoForHash(hash, true);
          CloudRecordPtr record = entry ? DZCKRecord::safeCopy(entry->currentRecord()) : nullptr;
          info.keysToRestore = changedKeys;
          DizEvozidizReadTransaction& t = *databaseTransaction();
          for (std::int64_t rowid : rowids) {
            DizCollectionKeyPtr ck;
            Value object, metadata;
            bool found = false;
            switch (cloudKit().recordHandler()->blockType()) {
              case DizBlockTypeObject:
                found = t.getCollectionKeyObject(&ck, &object, rowid);
                break;
              case DizBlockTypeMetadata:
                found = t.getCollectionKeyMetadata(&ck, &metadata, rowid);
                break;
              case DizBlockTypeRow:
                found = t.getCollectionKey(&ck, &object, &metadata, rowid);
                break;
              default:
                ck = t.collectionKeyForRowid(rowid);
                found = ck != nullptr;
                break;
            }
            if (!found || !ck) continue;
            callHandler(record, info, ck->collection(), ck->key(), object, metadata);
          }
          return record;
        });
  }
  cloudKit().masterQueue().restoreOldChangeSets(ordered);
  cloudKit().asyncMaybeDispatchNextOperation(false);
  return true;
}

bool DizEvozidizCloudKitTransaction::populateTables() {
  DZCKRecordInfo info;
  info.versionInfo = cloudKit().versionInfo();
  DizEnumerateRowsForBlockType(
      *databaseTransaction(), cloudKit().recordHandler()->blockType(), cloudKit().options().allowedCollections.get(),
      nullptr,
      [&](std::int64_t rowid, const std::string& collection, const std::string& key, const Value& object,
          const Value& metadata) {
        info.databaseIdentifier.reset();
        info.originalValues = Value();
        CloudRecordPtr record;
        callHandler(record, info, collection, key, object, metadata);
        if (!record || !record->recordID()) return;
        const std::string hash = hashRecordID(*record->recordID(), info.databaseIdentifier);
        connection_->cleanMappingTableInfoCache.removeObjectForKey(rowid);
        connection_->dirtyMappingTableInfoDict[rowid] =
            std::make_shared<DZCKDirtyMappingTableInfo>(std::nullopt, std::optional<std::string>(hash));
        auto& dirty = connection_->dirtyRecordTableInfoDict;
        auto it = dirty.find(hash);
        std::shared_ptr<DZCKDirtyRecordTableInfo> entry;
        if (it != dirty.end()) {
          entry = it->second;
          if (entry->dirtyRecord()) DZCKMergeChangedValues(*record, *entry->dirtyRecord());
        } else {
          entry = std::make_shared<DZCKDirtyRecordTableInfo>(info.databaseIdentifier, record->recordID(), 0);
          entry->setDirtyRecord(record);
          connection_->cleanRecordTableInfoCache.removeObjectForKey(hash);
          dirty[hash] = entry;
        }
        entry->incrementOwnerCount();
        entry->mergeOriginalValues(info.originalValues);
      });
  return true;
}

bool DizEvozidizCloudKitTransaction::repopulateTables() {
  DZCKRecordInfo info;
  info.versionInfo = cloudKit().versionInfo();
  DizEnumerateRowsForBlockType(
      *databaseTransaction(), cloudKit().recordHandler()->blockType(), cloudKit().options().allowedCollections.get(),
      nullptr,
      [&](std::int64_t rowid, const std::string& collection, const std::string& key, const Value& object,
          const Value& metadata) {
        DZCKMappingTableInfoPtr mapping = mappingTableInfoForRowid(rowid, true);
        DZCKRecordTableInfoPtr entry = mapping ? recordTableInfoForHash(mapping->currentHash(), true) : nullptr;
        info.databaseIdentifier = entry ? entry->databaseIdentifier() : std::nullopt;
        info.originalValues = Value();
        CloudRecordPtr record;
        if (entry) record = entry->isDirty() ? entry->currentRecord() : DZCKRecord::safeCopy(entry->currentRecord());
        callHandler(record, info, collection, key, object, metadata);
        processRecord(record, &info, std::nullopt, rowid, mapping, entry, 0);
      });
  return true;
}

// ---- Row hooks ----

bool DizEvozidizCloudKitTransaction::isAllowed(const std::string& collection) const {
  const auto& allowed = cloudKit().options().allowedCollections;
  return !allowed || allowed->isAllowed(collection);
}

void DizEvozidizCloudKitTransaction::callHandler(CloudRecordPtr& record, DZCKRecordInfo& info,
                                                 const std::string& collection, const std::string& key,
                                                 const Value& object, const Value& metadata) {
  DizEvozidizReadWriteTransaction* rw = databaseReadWriteTransaction();
  if (!rw) return;
  cloudKit().recordHandler()->block()(*rw, record, info, collection, key, object, metadata);
}

void DizEvozidizCloudKitTransaction::handleInsertObject(const Value& object, const DizCollectionKeyPtr& collectionKey,
                                                        const Value& metadata, std::int64_t rowid) {
  auto& requests = connection_->pendingAttachRequests;
  auto it = requests.find({collectionKey->collection(), collectionKey->key()});
  if (it != requests.end()) {
    DZCKRecordInfo info;
    info.databaseIdentifier = it->second.databaseIdentifier;
    const std::uint64_t flags = it->second.shouldUploadRecord ? std::uint64_t{0} : std::uint64_t{kFlagSkipUploadRecord};
    CloudRecordPtr record = it->second.record;
    requests.erase(it);
    processRecord(std::move(record), &info, std::nullopt, rowid, nullptr, nullptr, flags);
    return;
  }
  handleChange(rowid, collectionKey, object, metadata, true);
}

void DizEvozidizCloudKitTransaction::handleUpdateObject(const Value& object, const DizCollectionKeyPtr& collectionKey,
                                                        const Value& metadata, std::int64_t rowid) {
  if (rowidsInMidMerge_ && rowidsInMidMerge_->count(rowid)) return;
  if (!(cloudKit().recordHandler()->blockInvokeOptions() &
        (DizBlockInvokeOnObjectModified | DizBlockInvokeOnMetadataModified)))
    return;
  handleChange(rowid, collectionKey, object, metadata, false);
}

void DizEvozidizCloudKitTransaction::handleReplaceObject(const Value& object, const DizCollectionKeyPtr& collectionKey,
                                                         std::int64_t rowid) {
  if (rowidsInMidMerge_ && rowidsInMidMerge_->count(rowid)) return;
  if (!(cloudKit().recordHandler()->blockInvokeOptions() & DizBlockInvokeOnObjectModified)) return;
  handleChangeFetching(rowid, collectionKey, &object, nullptr);
}

void DizEvozidizCloudKitTransaction::handleReplaceMetadata(const Value& metadata,
                                                           const DizCollectionKeyPtr& collectionKey,
                                                           std::int64_t rowid) {
  if (rowidsInMidMerge_ && rowidsInMidMerge_->count(rowid)) return;
  if (!(cloudKit().recordHandler()->blockInvokeOptions() & DizBlockInvokeOnMetadataModified)) return;
  handleChangeFetching(rowid, collectionKey, nullptr, &metadata);
}

void DizEvozidizCloudKitTransaction::handleTouchObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey,
                                                                       std::int64_t rowid) {
  if (rowidsInMidMerge_ && rowidsInMidMerge_->count(rowid)) return;
  if (!(cloudKit().recordHandler()->blockInvokeOptions() & DizBlockInvokeOnObjectTouched)) return;
  handleChangeFetching(rowid, collectionKey, nullptr, nullptr);
}

void DizEvozidizCloudKitTransaction::handleTouchMetadataForCollectionKey(const DizCollectionKeyPtr& collectionKey,
                                                                         std::int64_t rowid) {
  if (rowidsInMidMerge_ && rowidsInMidMerge_->count(rowid)) return;
  if (!(cloudKit().recordHandler()->blockInvokeOptions() & DizBlockInvokeOnMetadataTouched)) return;
  handleChangeFetching(rowid, collectionKey, nullptr, nullptr);
}

void DizEvozidizCloudKitTransaction::handleTouchRowForCollectionKey(const DizCollectionKeyPtr& collectionKey,
                                                                    std::int64_t rowid) {
  if (rowidsInMidMerge_ && rowidsInMidMerge_->count(rowid)) return;
  if (!(cloudKit().recordHandler()->blockInvokeOptions() &
        (DizBlockInvokeOnObjectTouched | DizBlockInvokeOnMetadataTouched)))
    return;
  handleChangeFetching(rowid, collectionKey, nullptr, nullptr);
}

void DizEvozidizCloudKitTransaction::handleChangeFetching(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey,
                                                          const Value* object, const Value* metadata) {
  if (!isAllowed(collectionKey->collection())) return;
  const auto& handler = *cloudKit().recordHandler();
  DizEvozidizReadTransaction& t = *databaseTransaction();
  Value fetchedObject, fetchedMetadata;
  if (!object && handler.needsObject()) fetchedObject = t.objectForCollectionKey(collectionKey, rowid);
  if (!metadata && handler.needsMetadata()) fetchedMetadata = t.metadataForCollectionKey(collectionKey, rowid);
  handleChange(rowid, collectionKey, object ? *object : fetchedObject, metadata ? *metadata : fetchedMetadata, false);
}

void DizEvozidizCloudKitTransaction::handleChange(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey,
                                                  const Value& object, const Value& metadata, bool isInsert) {
  if (!isAllowed(collectionKey->collection())) return;
  DZCKMappingTableInfoPtr mapping;
  DZCKRecordTableInfoPtr entry;
  if (!isInsert) {
    mapping = mappingTableInfoForRowid(rowid, true);
    if (mapping) entry = recordTableInfoForHash(mapping->currentHash(), true);
  }
  CloudRecordPtr record;
  if (entry) record = entry->isDirty() ? entry->currentRecord() : DZCKRecord::safeCopy(entry->currentRecord());
  DZCKRecordInfo info;
  if (entry) info.databaseIdentifier = entry->databaseIdentifier();
  callHandler(record, info, collectionKey->collection(), collectionKey->key(), object, metadata);
  processRecord(std::move(record), &info, std::nullopt, rowid, mapping, entry, 0);
}

void DizEvozidizCloudKitTransaction::handleRemoveObjectForCollectionKey(const DizCollectionKeyPtr&,
                                                                        std::int64_t rowid) {
  DZCKMappingTableInfoPtr mapping = mappingTableInfoForRowid(rowid, true);
  DZCKRecordTableInfoPtr entry = mapping ? recordTableInfoForHash(mapping->currentHash(), true) : nullptr;
  processRecord(nullptr, nullptr, std::nullopt, rowid, mapping, entry, 0);
}

void DizEvozidizCloudKitTransaction::handleRemoveObjectsForKeys(const std::vector<std::string>&, const std::string&,
                                                                const std::vector<std::int64_t>& rowids) {
  const auto mappings = mappingTableInfoForRowids(rowids);
  std::vector<std::string> hashes;
  for (const auto& [rowid, mapping] : mappings)
    if (auto hash = mapping->currentHash()) hashes.push_back(*hash);
  std::sort(hashes.begin(), hashes.end());
  hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
  const auto entries = recordTableInfoForHashes(hashes);
  for (std::int64_t rowid : rowids) {
    auto m = mappings.find(rowid);
    if (m == mappings.end()) continue;
    DZCKRecordTableInfoPtr entry;
    if (auto hash = m->second->currentHash()) {
      auto e = entries.find(*hash);
      if (e != entries.end()) entry = e->second;
    }
    processRecord(nullptr, nullptr, std::nullopt, rowid, m->second, entry, 0);
  }
}

void DizEvozidizCloudKitTransaction::handleRemoveAllObjectsInAllCollections() {
  for (auto which :
       {DizEvozidizCloudKitConnection::kMappingTableRemoveAll, DizEvozidizCloudKitConnection::kRecordTableRemoveAll}) {
    sqlite3_stmt* s = connection_->statement(which);
    if (!s) {
      noteFailure("removeAll");
      continue;
    }
    stepWrite(s, "removeAll");
  }
  connection_->cleanMappingTableInfoCache.removeAllObjects();
  connection_->cleanRecordTableInfoCache.removeAllObjects();
  connection_->dirtyMappingTableInfoDict.clear();
  connection_->dirtyRecordTableInfoDict.clear();
  connection_->reset = true;
}

// ---- Record processing ----

std::shared_ptr<DZCKDirtyRecordTableInfo> DizEvozidizCloudKitTransaction::dirtyRecordEntry(
    const std::string& hash, const DZCKRecordTableInfoPtr& entry) {
  // The dirty dictionary is asked first: an entry looked up before earlier rows of the same batch
  // were processed may be a clean one that this transaction has already replaced.
  auto& dirty = connection_->dirtyRecordTableInfoDict;
  auto it = dirty.find(hash);
  if (it != dirty.end()) return it->second;
  if (!entry) return nullptr;
  auto clean = std::static_pointer_cast<DZCKCleanRecordTableInfo>(entry);
  auto copy = clean->dirtyCopy();
  connection_->cleanRecordTableInfoCache.removeObjectForKey(hash);
  dirty[hash] = copy;
  return copy;
}

void DizEvozidizCloudKitTransaction::processRecord(CloudRecordPtr record, const DZCKRecordInfo* recordInfo,
                                                   const std::optional<std::string>& preCalculatedHash,
                                                   std::int64_t rowid, const DZCKMappingTableInfoPtr& prevMapping,
                                                   const DZCKRecordTableInfoPtr& prevRecord, std::uint64_t flags) {
  if (record && !record->recordID()) record.reset();
  static const Value kNoOriginalValues{};
  const Value& originalValues = recordInfo ? recordInfo->originalValues : kNoOriginalValues;
  const DZCKDatabaseIdentifier database = recordInfo ? recordInfo->databaseIdentifier : std::nullopt;
  const std::optional<std::string> prevHash = prevMapping ? prevMapping->currentHash() : std::nullopt;
  std::optional<std::string> newHash;
  if (record) newHash = preCalculatedHash ? *preCalculatedHash : hashRecordID(*record->recordID(), database);
  const bool hasChangedKeys = record && !record->changedKeys().empty();

  if ((!record && !prevHash) || (record && newHash == prevHash)) {
    if (!hasChangedKeys) return;
    if (auto entry = dirtyRecordEntry(*newHash, prevRecord)) {
      if (entry->dirtyRecord() && entry->dirtyRecord() != record)
        DZCKMergeChangedValues(*record, *entry->dirtyRecord());
      else if (!entry->dirtyRecord())
        entry->setDirtyRecord(record);
      entry->mergeOriginalValues(originalValues);
    } else {
      auto created = std::make_shared<DZCKDirtyRecordTableInfo>(database, record->recordID(), 0);
      created->setDirtyRecord(record);
      created->incrementOwnerCount();
      created->mergeOriginalValues(originalValues);
      connection_->cleanRecordTableInfoCache.removeObjectForKey(*newHash);
      connection_->dirtyRecordTableInfoDict[*newHash] = created;
    }
    return;
  }

  // The row's record changes: mapping first.
  if (prevMapping && prevMapping->isDirty()) {
    std::static_pointer_cast<DZCKDirtyMappingTableInfo>(prevMapping)->setDirtyHash(newHash);
  } else {
    auto it = connection_->dirtyMappingTableInfoDict.find(rowid);
    if (it != connection_->dirtyMappingTableInfoDict.end()) {
      it->second->setDirtyHash(newHash);
    } else {
      connection_->cleanMappingTableInfoCache.removeObjectForKey(rowid);
      connection_->dirtyMappingTableInfoDict[rowid] = std::make_shared<DZCKDirtyMappingTableInfo>(prevHash, newHash);
    }
  }

  // The old record loses an owner.
  if (prevHash) {
    if (auto old = dirtyRecordEntry(*prevHash, prevRecord)) {
      old->decrementOwnerCount();
      if (flags & kFlagRemoteDeletion) old->remoteDeletion = true;
      if (flags & kFlagSkipUploadDeletion) old->skipUploadDeletion = true;
    }
  }

  // The new record gains one.
  if (!newHash) return;
  DZCKRecordTableInfoPtr found = recordTableInfoForHash(newHash, false);
  if (found && found->isDirty()) {
    auto entry = std::static_pointer_cast<DZCKDirtyRecordTableInfo>(found);
    if (entry->dirtyRecord() && entry->dirtyRecord() != record)
      DZCKMergeChangedValues(*record, *entry->dirtyRecord());
    else if (!entry->dirtyRecord())
      entry->setDirtyRecord(record);
    entry->incrementOwnerCount();
    entry->mergeOriginalValues(originalValues);
    if (entry->skipUploadRecord && !(flags & kFlagSkipUploadRecord) && hasChangedKeys) entry->skipUploadRecord = false;
  } else if (found) {
    auto entry = std::static_pointer_cast<DZCKCleanRecordTableInfo>(found)->dirtyCopy();
    DZCKMergeChangedValues(*record, *entry->dirtyRecord());
    entry->incrementOwnerCount();
    entry->mergeOriginalValues(originalValues);
    if ((flags & kFlagSkipUploadRecord) || !hasChangedKeys) entry->skipUploadRecord = true;
    connection_->cleanRecordTableInfoCache.removeObjectForKey(*newHash);
    connection_->dirtyRecordTableInfoDict[*newHash] = entry;
  } else {
    auto entry = std::make_shared<DZCKDirtyRecordTableInfo>(database, record->recordID(), 0);
    entry->setDirtyRecord(record);
    entry->incrementOwnerCount();
    entry->mergeOriginalValues(originalValues);
    if (flags & kFlagSkipUploadRecord) entry->skipUploadRecord = true;
    connection_->cleanRecordTableInfoCache.removeObjectForKey(*newHash);
    connection_->dirtyRecordTableInfoDict[*newHash] = entry;
  }
}

// ---- Lookups ----

DZCKMappingTableInfoPtr DizEvozidizCloudKitTransaction::mappingTableInfoForRowid(std::int64_t rowid, bool cacheResult) {
  auto dirty = connection_->dirtyMappingTableInfoDict.find(rowid);
  if (dirty != connection_->dirtyMappingTableInfoDict.end()) return dirty->second;
  if (auto* cached = connection_->cleanMappingTableInfoCache.objectForKey(rowid)) return *cached;
  sqlite3_stmt* s = connection_->statement(DizEvozidizCloudKitConnection::kMappingTableGetInfoForRowid);
  if (!s) return nullptr;
  sqlite3_bind_int64(s, 1, rowid);
  std::shared_ptr<DZCKCleanMappingTableInfo> result;
  const int status = sqlite3_step(s);
  if (status == SQLITE_ROW) {
    auto hash = columnText(s, 0);
    if (hash && !hash->empty()) result = std::make_shared<DZCKCleanMappingTableInfo>(*hash);
  } else if (status != SQLITE_DONE) {
    DZCK_TXN_LOG_ERROR("%@: %@ - sqlite_step error: %d %s", "mappingTableInfoForRowid:cacheResult:", status,
                       sqlite3_errmsg(connection_->db()));
  }
  finish(s);
  if (cacheResult && (status == SQLITE_ROW || status == SQLITE_DONE))
    connection_->cleanMappingTableInfoCache.setObject(result, rowid);
  return result;
}

DZCKRecordTableInfoPtr DizEvozidizCloudKitTransaction::recordTableInfoForHash(const std::optional<std::string>& hash,
                                                                              bool cacheResult) {
  if (!hash) return nullptr;
  auto dirty = connection_->dirtyRecordTableInfoDict.find(*hash);
  if (dirty != connection_->dirtyRecordTableInfoDict.end()) return dirty->second;
  if (auto* cached = connection_->cleanRecordTableInfoCache.objectForKey(*hash)) return *cached;
  sqlite3_stmt* s = connection_->statement(DizEvozidizCloudKitConnection::kRecordTableGetInfoForHash);
  if (!s) return nullptr;
  bindText(s, 1, *hash);
  std::shared_ptr<DZCKCleanRecordTableInfo> result;
  const int status = sqlite3_step(s);
  if (status == SQLITE_ROW)
    result = cleanRecordInfo(s, 0);
  else if (status != SQLITE_DONE)
    DZCK_TXN_LOG_ERROR("%@: %@ - sqlite_step error: %d %s", "recordTableInfoForHash:cacheResult:", status,
                       sqlite3_errmsg(connection_->db()));
  finish(s);
  if (cacheResult && (status == SQLITE_ROW || status == SQLITE_DONE))
    connection_->cleanRecordTableInfoCache.setObject(result, *hash);
  return result;
}

std::map<std::int64_t, DZCKMappingTableInfoPtr> DizEvozidizCloudKitTransaction::mappingTableInfoForRowids(
    const std::vector<std::int64_t>& rowids) {
  std::map<std::int64_t, DZCKMappingTableInfoPtr> result;
  if (rowids.empty()) return result;
  if (rowids.size() == 1) {
    if (auto info = mappingTableInfoForRowid(rowids.front(), false)) result[rowids.front()] = info;
    return result;
  }
  std::vector<std::int64_t> missing;
  for (std::int64_t rowid : rowids) {
    auto dirty = connection_->dirtyMappingTableInfoDict.find(rowid);
    if (dirty != connection_->dirtyMappingTableInfoDict.end()) {
      result[rowid] = dirty->second;
    } else if (auto* cached = connection_->cleanMappingTableInfoCache.objectForKey(rowid)) {
      if (*cached) result[rowid] = *cached;
    } else {
      missing.push_back(rowid);
    }
  }
  sqlite3* db = connection_->db();
  const std::string head = "SELECT \"rowid\", \"recordTable_hash\" FROM " +
                           DizEvozidiz::quotedIdentifier(cloudKit().mappingTableName()) + " WHERE \"rowid\" IN (";
  // More ids than one statement may bind are read in several statements.
  for (std::size_t first = 0; first < missing.size(); first += kDZCKMaxParametersPerStatement) {
    const std::size_t count = std::min(kDZCKMaxParametersPerStatement, missing.size() - first);
    const std::string sql = head + placeholders(count) + ");";
    sqlite3_stmt* s = nullptr;
    int status = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size() + 1), &s, nullptr);
    if (status != SQLITE_OK) {
      DZCK_TXN_LOG_ERROR("%@: %@ - Error creating statement: %d %s", "mappingTableInfoForRowids:", status,
                         sqlite3_errmsg(db));
      sqlite3_finalize(s);
      continue;
    }
    for (std::size_t i = 0; i < count; ++i) sqlite3_bind_int64(s, static_cast<int>(i + 1), missing[first + i]);
    while ((status = sqlite3_step(s)) == SQLITE_ROW) {
      auto hash = columnText(s, 1);
      if (hash && !hash->empty())
        result[sqlite3_column_int64(s, 0)] = std::make_shared<DZCKCleanMappingTableInfo>(*hash);
    }
    if (status != SQLITE_DONE)
      DZCK_TXN_LOG_ERROR("%@: %@ - sqlite_step error: %d %s", "mappingTableInfoForRowids:", status, sqlite3_errmsg(db));
    sqlite3_finalize(s);
  }
  return result;
}

std::map<std::string, DZCKRecordTableInfoPtr> DizEvozidizCloudKitTransaction::recordTableInfoForHashes(
    const std::vector<std::string>& hashes) {
  std::map<std::string, DZCKRecordTableInfoPtr> result;
  if (hashes.empty()) return result;
  if (hashes.size() == 1) {
    if (auto info = recordTableInfoForHash(hashes.front(), false)) result[hashes.front()] = info;
    return result;
  }
  std::vector<std::string> missing;
  for (const std::string& hash : hashes) {
    auto dirty = connection_->dirtyRecordTableInfoDict.find(hash);
    if (dirty != connection_->dirtyRecordTableInfoDict.end()) {
      result[hash] = dirty->second;
    } else if (auto* cached = connection_->cleanRecordTableInfoCache.objectForKey(hash)) {
      if (*cached) result[hash] = *cached;
    } else {
      missing.push_back(hash);
    }
  }
  sqlite3* db = connection_->db();
  const std::string head = "SELECT \"hash\", \"databaseIdentifier\", \"ownerCount\", \"record\" FROM " +
                           DizEvozidiz::quotedIdentifier(cloudKit().recordTableName()) + " WHERE \"hash\" IN (";
  for (std::size_t first = 0; first < missing.size(); first += kDZCKMaxParametersPerStatement) {
    const std::size_t count = std::min(kDZCKMaxParametersPerStatement, missing.size() - first);
    const std::string sql = head + placeholders(count) + ");";
    sqlite3_stmt* s = nullptr;
    int status = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size() + 1), &s, nullptr);
    if (status != SQLITE_OK) {
      DZCK_TXN_LOG_ERROR("%@: %@ - Error creating statement: %d %s", "recordTableInfoForHashes:", status,
                         sqlite3_errmsg(db));
      sqlite3_finalize(s);
      continue;
    }
    for (std::size_t i = 0; i < count; ++i) bindText(s, static_cast<int>(i + 1), missing[first + i]);
    while ((status = sqlite3_step(s)) == SQLITE_ROW) {
      auto hash = columnText(s, 0);
      if (!hash) continue;
      if (auto info = cleanRecordInfo(s, 1)) result[*hash] = info;
    }
    if (status != SQLITE_DONE)
      DZCK_TXN_LOG_ERROR("%@: %@ - sqlite_step error: %d %s", "recordTableInfoForHashes:", status, sqlite3_errmsg(db));
    sqlite3_finalize(s);
  }
  return result;
}

std::set<std::int64_t> DizEvozidizCloudKitTransaction::mappingTableRowidsForRecordTableHash(const std::string& hash) {
  std::set<std::int64_t> rowids;
  if (sqlite3_stmt* s = connection_->statement(DizEvozidizCloudKitConnection::kMappingTableEnumerateForHash)) {
    bindText(s, 1, hash);
    int status;
    while ((status = sqlite3_step(s)) == SQLITE_ROW) rowids.insert(sqlite3_column_int64(s, 0));
    if (status != SQLITE_DONE)
      DZCK_TXN_LOG_ERROR("%@: %@ - sqlite_step error: %d %s", "mappingTableRowidsForRecordTableHash:", status,
                         sqlite3_errmsg(connection_->db()));
    finish(s);
  }
  for (const auto& [rowid, info] : connection_->dirtyMappingTableInfoDict) {
    const bool wasHere = info->cleanHash() == hash;
    const bool isHere = info->dirtyHash() == hash;
    if (wasHere && !isHere) rowids.erase(rowid);
    if (!wasHere && isHere) rowids.insert(rowid);
  }
  return rowids;
}

bool DizEvozidizCloudKitTransaction::getRecordID(CloudRecordIDPtr* recordID, DZCKDatabaseIdentifier* databaseIdentifier,
                                                 std::string_view key, std::string_view collection) {
  if (recordID) recordID->reset();
  if (databaseIdentifier) databaseIdentifier->reset();
  std::int64_t rowid = 0;
  if (!databaseTransaction()->getRowid(&rowid, key, collection)) return false;
  DZCKMappingTableInfoPtr mapping = mappingTableInfoForRowid(rowid, true);
  DZCKRecordTableInfoPtr entry = mapping ? recordTableInfoForHash(mapping->currentHash(), true) : nullptr;
  if (!entry || !entry->currentRecord()) return false;
  if (recordID) *recordID = entry->currentRecord()->recordID();
  if (databaseIdentifier) *databaseIdentifier = entry->databaseIdentifier();
  return true;
}

// ---- Table writes ----

void DizEvozidizCloudKitTransaction::noteFailure(const std::string& step) {
  if (auto* rw = databaseReadWriteTransaction()) rw->noteFailedWrite("cloud sync " + registeredName() + ": " + step);
}

bool DizEvozidizCloudKitTransaction::stepWrite(sqlite3_stmt* s, const char* step) {
  const int status = sqlite3_step(s);
  const bool ok = status == SQLITE_DONE;
  if (!ok) {
    DZCK_TXN_LOG_ERROR("%@: %@ - Error executing statement: %d %s", step, status, sqlite3_errmsg(connection_->db()));
    noteFailure(step);
  }
  finish(s);
  return ok;
}

CloudRecordPtr DizEvozidizCloudKitTransaction::insertRecordTableRow(const std::string& hash,
                                                                    const DZCKDirtyRecordTableInfo& info) {
  sqlite3_stmt* s = connection_->statement(DizEvozidizCloudKitConnection::kRecordTableInsert);
  if (!s) {
    noteFailure("recordTable_insertStatement");
    return nullptr;
  }
  const Bytes archive = DZCKRecord::serializeRecord(info.dirtyRecord());
  bindText(s, 1, hash);
  bindText(s, 2, info.databaseIdentifier());
  sqlite3_bind_int64(s, 3, info.dirtyOwnerCount());
  bindBlob(s, 4, archive);
  if (!stepWrite(s, "insertRecordTableRowWithHash:info:outSanitizedRecord:")) return nullptr;
  // What the archive reads back as: the system fields alone (made directly, without decoding).
  return DZCKRecord::sanitizedCopy(info.dirtyRecord());
}

CloudRecordPtr DizEvozidizCloudKitTransaction::updateRecordTableRow(const std::string& hash,
                                                                    const CloudRecordPtr& record) {
  sqlite3_stmt* s = connection_->statement(DizEvozidizCloudKitConnection::kRecordTableUpdateRecord);
  if (!s) {
    noteFailure("recordTable_updateRecordStatement");
    return nullptr;
  }
  const Bytes archive = DZCKRecord::serializeRecord(record);
  bindBlob(s, 1, archive);
  bindText(s, 2, hash);
  if (!stepWrite(s, "updateRecordTableRowWithHash:record:outSanitizedRecord:")) return nullptr;
  // A row that is no longer there (its last owner went while the upload ran) has nothing to update.
  if (sqlite3_changes(connection_->db()) == 0) return nullptr;
  return DZCKRecord::deserializeRecord(archive);
}

bool DizEvozidizCloudKitTransaction::getOwnerCountFromDisk(std::int64_t* count, const std::string& hash) {
  *count = 0;
  sqlite3_stmt* s = connection_->statement(DizEvozidizCloudKitConnection::kRecordTableGetOwnerCountForHash);
  if (!s) return false;
  bindText(s, 1, hash);
  const int status = sqlite3_step(s);
  const bool found = status == SQLITE_ROW;
  if (found) *count = sqlite3_column_int64(s, 0);
  if (status != SQLITE_ROW && status != SQLITE_DONE)
    DZCK_TXN_LOG_ERROR("%@: %@ - sqlite_step error: %d %s", "getOwnerCount:fromDiskForHash:", status,
                       sqlite3_errmsg(connection_->db()));
  finish(s);
  return found;
}

void DizEvozidizCloudKitTransaction::insertQueueTableRow(const DZCKChangeSet& changeSet) {
  sqlite3_stmt* s = connection_->statement(DizEvozidizCloudKitConnection::kQueueTableInsert);
  if (!s) return noteFailure("queueTable_insertStatement");
  bindText(s, 1, changeSet.uuid());
  bindText(s, 2, changeSet.prev());
  bindText(s, 3, changeSet.databaseIdentifier());
  bindBlob(s, 4, changeSet.serializeDeletedRecordIDs());
  bindBlob(s, 5, changeSet.serializeModifiedRecords());
  stepWrite(s, "insertQueueTableRowWithChangeSet:");
}

void DizEvozidizCloudKitTransaction::updateQueueTableRow(const DZCKChangeSet& changeSet) {
  const bool deleted = changeSet.hasChangesToDeletedRecordIDs();
  const bool modified = changeSet.hasChangesToModifiedRecords();
  if (!deleted && !modified) return;
  using C = DizEvozidizCloudKitConnection;
  sqlite3_stmt* s = connection_->statement(deleted && modified ? C::kQueueTableUpdateBoth
                                           : deleted           ? C::kQueueTableUpdateDeletedRecordIDs
                                                               : C::kQueueTableUpdateModifiedRecords);
  if (!s) return noteFailure("queueTable_updateStatement");
  int index = 1;
  if (deleted) bindBlob(s, index++, changeSet.serializeDeletedRecordIDs());
  if (modified) bindBlob(s, index++, changeSet.serializeModifiedRecords());
  bindText(s, index, changeSet.uuid());
  stepWrite(s, "updateQueueTableRowWithChangeSet:");
}

void DizEvozidizCloudKitTransaction::removeQueueTableRow(const std::string& uuid) {
  sqlite3_stmt* s = connection_->statement(DizEvozidizCloudKitConnection::kQueueTableRemoveForUuid);
  if (!s) return noteFailure("queueTable_removeForUuidStatement");
  bindText(s, 1, uuid);
  stepWrite(s, "removeQueueTableRowWithUUID:");
}

// ---- Flush ----

void DizEvozidizCloudKitTransaction::flushPendingChangesToExtensionTables() {
  auto& c = *connection_;
  if (c.isOperationCompletionTransaction || c.isOperationPartialCompletionTransaction) return;
  if (c.dirtyMappingTableInfoDict.empty() && c.dirtyRecordTableInfoDict.empty()) return;
  using C = DizEvozidizCloudKitConnection;

  for (const auto& [rowid, info] : c.dirtyMappingTableInfoDict) {
    if (info->dirtyHash()) {
      sqlite3_stmt* s = c.statement(info->cleanHash() ? C::kMappingTableUpdateForRowid : C::kMappingTableInsert);
      if (!s) {
        noteFailure("mappingTable statement");
        continue;
      }
      if (info->cleanHash()) {
        bindText(s, 1, info->dirtyHash());
        sqlite3_bind_int64(s, 2, rowid);
      } else {
        sqlite3_bind_int64(s, 1, rowid);
        bindText(s, 2, info->dirtyHash());
      }
      if (!stepWrite(s, "insertOrUpdateMappingTableRowWithRowid:info:")) continue;
      auto clean = info->cleanCopy();
      c.changeset_mappingTableInfo[rowid] = clean;
      c.cleanMappingTableInfoCache.setObject(clean, rowid);
    } else {
      sqlite3_stmt* s = c.statement(C::kMappingTableRemoveForRowid);
      if (!s) {
        noteFailure("mappingTable_removeForRowidStatement");
        continue;
      }
      sqlite3_bind_int64(s, 1, rowid);
      if (stepWrite(s, "removeMappingTableRowWithRowid:")) c.changeset_deletedRowids.insert(rowid);
    }
  }

  for (const auto& [hash, info] : c.dirtyRecordTableInfoDict) {
    if (!info->hasNilRecordOrZeroOwnerCount()) {
      CloudRecordPtr stored;
      if (info->cleanOwnerCount() < 1) {
        stored = insertRecordTableRow(hash, *info);
      } else {
        stored = DZCKRecord::sanitizedCopy(info->dirtyRecord());
        if (info->ownerCountChanged()) {
          if (sqlite3_stmt* s = c.statement(C::kRecordTableUpdateOwnerCount)) {
            sqlite3_bind_int64(s, 1, info->dirtyOwnerCount());
            bindText(s, 2, hash);
            if (!stepWrite(s, "maybeUpdateRecordTableRowWithHash:info:")) stored.reset();
          } else {
            noteFailure("recordTable_updateOwnerCountStatement");
            stored.reset();
          }
        }
      }
      if (stored) {
        auto clean = info->cleanCopyWithSanitizedRecord(stored);
        c.changeset_recordTableInfo[hash] = clean;
        c.cleanRecordTableInfoCache.setObject(clean, hash);
      } else {
        c.changeset_deletedHashes.insert(hash);
      }
    } else if (info->cleanOwnerCount() > 0) {
      sqlite3_stmt* s = c.statement(C::kRecordTableRemoveForHash);
      if (!s) {
        noteFailure("recordTable_removeForHashStatement");
        continue;
      }
      bindText(s, 1, hash);
      if (stepWrite(s, "removeRecordTableRowWithHash:")) c.changeset_deletedHashes.insert(hash);
    }
  }

  DZCKChangeQueue& master = cloudKit().masterQueue();
  auto pending = master.newPendingQueue();
  applyOutcomes(*pending);
  writeQueueRows(*pending, true);
  connection_->queueMerges.push_back(master.mergePendingQueue(*pending));
}

void DizEvozidizCloudKitTransaction::applyOutcomes(DZCKPendingChangeQueue& pending) {
  DZCKChangeQueue& master = cloudKit().masterQueue();
  for (const auto& [hash, info] : connection_->dirtyRecordTableInfoDict) {
    const bool gone = info->hasNilRecordOrZeroOwnerCount();
    const bool stored = info->cleanOwnerCount() > 0;
    const DZCKDatabaseIdentifier& database = info->databaseIdentifier();
    if (!gone) {
      if (info->remoteMerge)
        master.updatePendingQueueWithMergedRecord(pending, info->dirtyRecord(), database);
      else if (info->skipUploadRecord)
        continue;
      else if (!stored)
        master.updatePendingQueueWithInsertedRecord(pending, info->dirtyRecord(), database);
      else
        master.updatePendingQueueWithModifiedRecord(pending, info->dirtyRecord(), database, info->originalValues());
    } else if (!stored && info->dirtyRecord() && info->remoteMerge) {
      master.updatePendingQueueWithMergedRecord(pending, info->dirtyRecord(), database);
    } else if (info->remoteDeletion) {
      master.updatePendingQueueWithRemoteDeletedRecordID(pending, info->recordID(), database);
    } else if (info->skipUploadDeletion) {
      master.updatePendingQueueWithDetachedRecordID(pending, info->recordID(), database);
    } else {
      master.updatePendingQueueWithDeletedRecordID(pending, info->recordID(), database);
    }
  }
}

void DizEvozidizCloudKitTransaction::writeQueueRows(DZCKPendingChangeQueue& pending, bool includeCurrentCommit) {
  for (const auto& changeSet : pending.changeSetsFromPreviousCommits()) updateQueueTableRow(*changeSet);
  if (includeCurrentCommit)
    for (const auto& changeSet : pending.changeSetsFromCurrentCommit()) insertQueueTableRow(*changeSet);
}

// ---- Upload outcomes ----

namespace {

[[noreturn]] void raiseRequiresReadWrite(const char* selector) {
  platform::Exception::raise(DizEvozidizCloudKitExceptionName,
                             platform::format("The method [DizEvozidizCloudKitTransaction %@] can only be used "
                                              "within a readWriteTransaction.",
                                              std::string(selector)));
}

}  // namespace

void DizEvozidizCloudKitTransaction::storeSavedRecords(const DZCKChangeSet& changeSet,
                                                       const std::vector<CloudRecordPtr>& savedRecords,
                                                       bool cacheDiskEntries) {
  auto& c = *connection_;
  for (const auto& record : savedRecords) {
    if (!record || !record->recordID()) continue;
    const std::string hash = hashRecordID(*record->recordID(), changeSet.databaseIdentifier());
    CloudRecordPtr sanitized = updateRecordTableRow(hash, record);
    if (!sanitized) {
      c.cleanRecordTableInfoCache.removeObjectForKey(hash);
      c.changeset_deletedHashes.insert(hash);
      continue;
    }
    std::shared_ptr<DZCKCleanRecordTableInfo> clean;
    auto* cached = c.cleanRecordTableInfoCache.objectForKey(hash);
    if (cached && *cached) {
      clean = (*cached)->cleanCopyWithSanitizedRecord(sanitized);
      c.cleanRecordTableInfoCache.setObject(clean, hash);
    } else {
      std::int64_t owners = 0;
      getOwnerCountFromDisk(&owners, hash);
      clean = std::make_shared<DZCKCleanRecordTableInfo>(changeSet.databaseIdentifier(), owners, sanitized);
      if (cacheDiskEntries)
        c.cleanRecordTableInfoCache.setObject(clean, hash);
      else
        c.cleanRecordTableInfoCache.removeObjectForKey(hash);
    }
    c.changeset_recordTableInfo[hash] = clean;
  }
}

void DizEvozidizCloudKitTransaction::handleCompletedOperationWithChangeSet(
    const DZCKChangeSetPtr& changeSet, const std::vector<CloudRecordPtr>& savedRecords,
    const std::vector<CloudRecordIDPtr>&) {
  if (!databaseReadWriteTransaction())
    raiseRequiresReadWrite("handleCompletedOperationWithChangeSet:savedRecords:deletedRecordIDs:");
  connection_->isOperationCompletionTransaction = true;
  storeSavedRecords(*changeSet, savedRecords, true);
  DZCKChangeQueue& master = cloudKit().masterQueue();
  auto pending = master.newPendingQueue();
  for (const auto& record : savedRecords)
    master.updatePendingQueueWithSavedRecord(*pending, record, changeSet->databaseIdentifier(), false);
  writeQueueRows(*pending, false);
  if (changeSet->uuid()) removeQueueTableRow(*changeSet->uuid());
  connection_->queueMerges.push_back(master.mergePendingQueue(*pending));
}

void DizEvozidizCloudKitTransaction::handlePartiallyCompletedOperationWithChangeSet(
    const DZCKChangeSetPtr& changeSet, const std::vector<CloudRecordPtr>& savedRecords,
    const std::vector<CloudRecordIDPtr>& deletedRecordIDs) {
  if (!databaseReadWriteTransaction())
    raiseRequiresReadWrite("handlePartiallyCompletedOperationWithChangeSet:savedRecords:deletedRecordIDs:");
  connection_->isOperationPartialCompletionTransaction = true;
  storeSavedRecords(*changeSet, savedRecords, false);
  DZCKChangeQueue& master = cloudKit().masterQueue();
  auto pending = master.newPendingQueue();
  for (const auto& record : savedRecords)
    master.updatePendingQueueWithSavedRecord(*pending, record, changeSet->databaseIdentifier(), true);
  for (const auto& id : deletedRecordIDs)
    master.updatePendingQueueWithSavedDeletedRecordID(*pending, id, changeSet->databaseIdentifier());
  writeQueueRows(*pending, false);
  connection_->queueMerges.push_back(master.mergePendingQueue(*pending));
}

// ---- Commit ----

void DizEvozidizCloudKitTransaction::didCommitTransaction() { connection_->postCommitCleanup(); }

void DizEvozidizCloudKitTransaction::didRollbackTransaction() { connection_->postRollbackCleanup(); }
