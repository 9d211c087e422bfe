// Writes of the read-write transaction: each keeps the SQL row, the connection's caches and its
// change records in step. A failed step leaves the caches and change records as they were and marks
// the transaction failed, so that none of it is committed.

#include <algorithm>
#include <utility>

#include "DizEvozidiz/DizEvozidizExtension.h"
#include "DizEvozidiz/DizEvozidizOptions.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/DizEvozidizTransactionInternal.h"

using platform::Bytes;
using platform::Value;
using RW = DizEvozidizReadWriteTransaction;

namespace {

// What a change record carries for a written value under a policy: the value itself (share), a
// copy (copy; DizNull when the object cannot be copied), or DizNull (containment: changed, value
// not carried). Plain values are immutable and serve as their own copies.
Value changeValue(const Value& value, std::int64_t policy) {
  if (value.isNil()) return DizNull::value();
  if (policy == DizEvozidizPolicyShare) return value;
  if (policy == DizEvozidizPolicyCopy) {
    if (!value.isObject()) return value;
    try {
      platform::ObjectPtr copy = value.asObject()->copy();
      return copy ? Value(std::move(copy)) : DizNull::value();
    } catch (const platform::Exception&) {
      return DizNull::value();
    }
  }
  return DizNull::value();
}

// Filed with the next lookup or when the commit publishes the record (see DizFlatMap).
void record(const std::shared_ptr<DizChangedValues>& changes, const DizCollectionKeyPtr& ck, Value value) {
  if (changes) changes->map.assignLater(ck, std::move(value));
}

void recordTouch(const std::shared_ptr<DizChangedValues>& changes, const DizCollectionKeyPtr& ck) {
  if (changes) changes->map.try_emplace(ck, DizTouch::value());
}

void markMutated(DizEvozidizConnectionInternal& c) {
  c.hasDiskChanges = true;
  if (c.mutationStack) c.mutationStack->markAsMutated();
}

void storeObject(DizEvozidizConnectionInternal& c, const DizCollectionKeyPtr& ck, const Value& object) {
  if (c.objectCache) c.objectCache->setObject(object, ck);
  record(c.objectChanges, ck, changeValue(object, c.objectPolicy()));
}

void storeMetadata(DizEvozidizConnectionInternal& c, const DizCollectionKeyPtr& ck, const Value& metadata) {
  if (c.metadataCache) c.metadataCache->setObject(DizMetadataCacheValue(metadata), ck);
  record(c.metadataChanges, ck, metadata.isNil() ? DizNull::value() : changeValue(metadata, c.metadataPolicy()));
}

// Forgets one removed row everywhere but in the removal records.
void forgetRow(DizEvozidizConnectionInternal& c, const DizCollectionKeyPtr& ck) {
  if (c.objectCache) c.objectCache->removeObjectForKey(ck);
  if (c.metadataCache) c.metadataCache->removeObjectForKey(ck);
  if (c.objectChanges) c.objectChanges->map.erase(ck);
  if (c.metadataChanges) c.metadataChanges->map.erase(ck);
}

void recordRemovedRow(DizEvozidizConnectionInternal& c, const DizCollectionKeyPtr& ck, std::int64_t rowid) {
  c.keyCache.removeObjectForKey(rowid);
  forgetRow(c, ck);
  if (c.removedKeys) c.removedKeys->set.insert(ck);
  if (c.removedRowids) c.removedRowids->set.insert(rowid);
}

// Sends one hook to every extension transaction, in registration order.
template <class Hook>
void tell(const std::vector<DizEvozidizExtensionTransactionPtr>& extensions, Hook&& hook) {
  for (const auto& extension : extensions) hook(*extension);
}

int bindOptionalBlob(sqlite3_stmt* statement, int index, const Bytes* bytes) {
  return bytes ? DizBindBlob(statement, index, *bytes) : sqlite3_bind_null(statement, index);
}

// Steps a statement that returns no rows; true when it completed. A failure is logged as "Error
// executing '<name>': <code> <message>", followed by ", <what>(<which>)" when `what` is given.
bool executeWrite(DizEvozidizConnectionInternal& c, sqlite3_stmt* statement, const char* name,
                  const char* what = nullptr, std::string_view which = {}) {
  const int status = sqlite3_step(statement);
  if (status == SQLITE_DONE) return true;
  if (what)
    DIZ_TXN_LOG_ERROR("%@: Error executing '%@': %d %s, %@(%@)", name, status, sqlite3_errmsg(c.db), what,
                      std::string(which));
  else
    DIZ_TXN_LOG_ERROR("%@: Error executing '%@': %d %s", name, status, sqlite3_errmsg(c.db));
  c.noteStatementFailure(status);
  return false;
}

// Runs "DELETE ... WHERE rowid IN (...)" for the rowids; true when the statement completed. Failures
// name the operation, with `part` after the statement's name when the operation has several.
// `beforeStep` runs once the statement is prepared, just before it runs.
template <class BeforeStep>
bool deleteRowids(DizEvozidizConnectionInternal& c, const std::vector<std::int64_t>& rowids, const char* name,
                  const char* part, bool& prepared, BeforeStep&& beforeStep) {
  const std::string text =
      DizInListStatementText(R"(DELETE FROM "database2")", R"( WHERE "rowid" IN ()", rowids.size());
  sqlite3_stmt* statement = nullptr;
  int status = sqlite3_prepare_v2(c.db, text.c_str(), static_cast<int>(text.size() + 1), &statement, nullptr);
  if (status != SQLITE_OK) {
    DIZ_TXN_LOG_ERROR("%@: Error creating '%@' statement%@: %d %s", name, part, status, sqlite3_errmsg(c.db));
    sqlite3_finalize(statement);
    prepared = false;
    return false;
  }
  prepared = true;
  DizStatementScope scope(statement, true);
  for (std::size_t i = 0; i < rowids.size(); ++i) sqlite3_bind_int64(statement, static_cast<int>(i + 1), rowids[i]);
  beforeStep();
  status = sqlite3_step(statement);
  if (status != SQLITE_DONE) {
    DIZ_TXN_LOG_ERROR("%@: Error executing '%@' statement%@: %d %s", name, part, status, sqlite3_errmsg(c.db));
    c.noteStatementFailure(status);
    return false;
  }
  return true;
}

}  // namespace

DizEvozidizReadWriteTransaction::DizEvozidizReadWriteTransaction(DizEvozidizConnectionInternal* connection,
                                                                 bool isReadWriteTransaction)
    : DizEvozidizReadTransaction(connection, isReadWriteTransaction) {}

RW::Ptr RW::initWithConnection(DizEvozidizConnectionInternal* connection, bool isReadWriteTransaction) {
  return std::make_shared<DizEvozidizReadWriteTransaction>(connection, isReadWriteTransaction);
}

void RW::noteFailedWrite(std::string_view step) {
  if (writeFailure_) return;
  sqlite3* db = connection_->db;
  writeFailure_ =
      DizEvozidizMakeError(DizEvozidizErrorWriteFailed, "A write of the transaction failed (" + std::string(step) + ")",
                           db, db ? sqlite3_extended_errcode(db) : SQLITE_MISUSE);
}

void RW::noteFailedWrite(std::string_view step, std::string_view reason) {
  if (writeFailure_) return;
  writeFailure_ = DizEvozidizMakeError(
      DizEvozidizErrorWriteFailed,
      "A write of the transaction failed (" + std::string(step) + "): " + std::string(reason), nullptr, SQLITE_OK);
}

// ---------------------------------------------------------------------------------------------
// Set

void RW::setObject(const Value& objectIn, std::string_view key, std::string_view collection, const Value& metadataIn,
                   const Bytes* serializedObject, const Bytes* serializedMetadata) {
  const auto& extensions = orderedExtensions();
  if (objectIn.isNil()) {
    removeObjectForKey(key, collection);
    return;
  }
  DizEvozidizConnectionInternal& c = *connection_;
  DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);
  const std::string& coll = ck->collection();
  const std::string& k = ck->key();

  Value object = objectIn;
  if (const auto& sanitize = c.objectPreSanitizer()) {
    object = sanitize(coll, k, object);
    if (object.isNil()) {
      DIZ_TXN_LOG_WARN("%@: The objectPreSanitizer returned nil for collection(%@) key(%@)", coll, k);
      removeObjectForKey(key, collection);
      return;
    }
  }
  Value metadata = metadataIn;
  if (!metadata.isNil()) {
    if (const auto& sanitize = c.metadataPreSanitizer()) {
      metadata = sanitize(coll, k, metadata);
      if (metadata.isNil()) {
        DIZ_TXN_LOG_WARN("%@: The metadataPresanitizer returned nil for collection(%@) key(%@)", coll, k);
      }
    }
  }

  Bytes objectBytes;
  if (!serializedObject) {
    objectBytes = c.objectSerializer()(coll, k, object);
    serializedObject = &objectBytes;
  }
  Bytes metadataBytes;
  if (metadata.isNil()) {
    serializedMetadata = nullptr;
  } else if (!serializedMetadata) {
    metadataBytes = c.metadataSerializer()(coll, k, metadata);
    serializedMetadata = &metadataBytes;
  }

  std::int64_t rowid = 0;
  const DizLookup lookup = DizLookupRowid(c, ck, rowid);
  if (lookup == DizLookup::Failed) {  // logged; neither an insert nor an update is safe to try
    noteFailedWrite("getRowidForKeyStatement");
    return;
  }
  const bool found = lookup == DizLookup::Found;

  if (found)
    tell(extensions, [&](auto& e) { e.handleWillUpdateObject(object, ck, metadata, rowid); });
  else
    tell(extensions, [&](auto& e) { e.handleWillInsertObject(object, ck, metadata); });

  if (found) {
    sqlite3_stmt* statement = c.updateAllForRowidStatement();
    if (!statement) return noteFailedWrite("updateAllForRowidStatement");
    DizStatementScope scope(statement, false);
    DizBindBlob(statement, 1, *serializedObject);
    bindOptionalBlob(statement, 2, serializedMetadata);
    sqlite3_bind_int64(statement, 3, rowid);
    if (!executeWrite(c, statement, "updateAllForRowidStatement")) return noteFailedWrite("updateAllForRowidStatement");
  } else {
    sqlite3_stmt* statement = c.insertForRowidStatement();
    if (!statement) return noteFailedWrite("insertForRowidStatement");
    DizStatementScope scope(statement, false);
    DizBindText(statement, 1, coll);
    DizBindText(statement, 2, k);
    DizBindBlob(statement, 3, *serializedObject);
    bindOptionalBlob(statement, 4, serializedMetadata);
    if (!executeWrite(c, statement, "insertForRowidStatement")) return noteFailedWrite("insertForRowidStatement");
    rowid = sqlite3_last_insert_rowid(c.db);
    c.keyCache.setObject(ck, rowid);
  }

  markMutated(c);
  storeObject(c, ck, object);
  storeMetadata(c, ck, metadata);
  if (found)
    tell(extensions, [&](auto& e) { e.handleUpdateObject(object, ck, metadata, rowid); });
  else
    tell(extensions, [&](auto& e) { e.handleInsertObject(object, ck, metadata, rowid); });

  if (const auto& post = c.objectPostSanitizer()) post(coll, k, object);
  if (!metadata.isNil()) {
    if (const auto& post = c.metadataPostSanitizer()) post(coll, k, metadata);
  }
}

// ---------------------------------------------------------------------------------------------
// Replace

// The rowid of the key for a write that needs an existing row; a failed lookup marks the
// transaction failed (a missing row is no failure: there is nothing to write).
bool RW::rowidForWrite(std::int64_t& rowid, std::string_view key, std::string_view collection) {
  const DizLookup lookup = DizLookupRowid(*connection_, DizCollectionKey::make(collection, key), rowid);
  if (lookup == DizLookup::Failed) noteFailedWrite("getRowidForKeyStatement");
  return lookup == DizLookup::Found;
}

void RW::replaceObject(const Value& object, std::string_view key, std::string_view collection) {
  std::int64_t rowid = 0;
  if (rowidForWrite(rowid, key, collection)) replaceObject(object, key, collection, rowid, nullptr);
}

void RW::replaceObject(const Value& object, std::string_view key, std::string_view collection,
                       const Bytes& serializedObject) {
  std::int64_t rowid = 0;
  if (rowidForWrite(rowid, key, collection)) replaceObject(object, key, collection, rowid, &serializedObject);
}

void RW::replaceObject(const Value& objectIn, std::string_view key, std::string_view collection, std::int64_t rowid,
                       const Bytes* serializedObject) {
  const auto& extensions = orderedExtensions();
  if (objectIn.isNil()) {
    removeObjectForKey(key, collection, rowid);
    return;
  }
  DizEvozidizConnectionInternal& c = *connection_;
  DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);
  const std::string& coll = ck->collection();
  const std::string& k = ck->key();
  Value object = objectIn;
  if (const auto& sanitize = c.objectPreSanitizer()) {
    object = sanitize(coll, k, object);
    if (object.isNil()) {
      DIZ_TXN_LOG_WARN("%@: The objectPreSanitizer returned nil for collection(%@) key(%@)", coll, k);
      removeObjectForKey(key, collection, rowid);
      return;
    }
  }
  Bytes objectBytes;
  if (!serializedObject) {
    objectBytes = c.objectSerializer()(coll, k, object);
    serializedObject = &objectBytes;
  }
  sqlite3_stmt* statement = c.updateObjectForRowidStatement();
  if (!statement) return noteFailedWrite("updateObjectForRowidStatement");
  tell(extensions, [&](auto& e) { e.handleWillReplaceObject(object, ck, rowid); });
  {
    DizStatementScope scope(statement, false);
    DizBindBlob(statement, 1, *serializedObject);
    sqlite3_bind_int64(statement, 2, rowid);
    if (!executeWrite(c, statement, "updateObjectForRowidStatement"))
      return noteFailedWrite("updateObjectForRowidStatement");
  }
  markMutated(c);
  storeObject(c, ck, object);
  tell(extensions, [&](auto& e) { e.handleReplaceObject(object, ck, rowid); });
  if (const auto& post = c.objectPostSanitizer()) post(coll, k, object);
}

void RW::replaceMetadata(const Value& metadata, std::string_view key, std::string_view collection) {
  std::int64_t rowid = 0;
  if (rowidForWrite(rowid, key, collection)) replaceMetadata(metadata, key, collection, rowid, nullptr);
}

void RW::replaceMetadata(const Value& metadata, std::string_view key, std::string_view collection,
                         const Bytes& serializedMetadata) {
  std::int64_t rowid = 0;
  if (rowidForWrite(rowid, key, collection)) replaceMetadata(metadata, key, collection, rowid, &serializedMetadata);
}

void RW::replaceMetadata(const Value& metadataIn, std::string_view key, std::string_view collection, std::int64_t rowid,
                         const Bytes* serializedMetadata) {
  const auto& extensions = orderedExtensions();
  DizEvozidizConnectionInternal& c = *connection_;
  DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);
  const std::string& coll = ck->collection();
  const std::string& k = ck->key();
  Value metadata = metadataIn;
  if (!metadata.isNil()) {
    if (const auto& sanitize = c.metadataPreSanitizer()) {
      metadata = sanitize(coll, k, metadata);
      if (metadata.isNil()) {
        DIZ_TXN_LOG_WARN("%@: The metadataPreSanitizer returned nil for collection(%@) key(%@)", coll, k);
      }
    }
  }
  Bytes metadataBytes;
  if (metadata.isNil()) {
    serializedMetadata = nullptr;
  } else if (!serializedMetadata) {
    metadataBytes = c.metadataSerializer()(coll, k, metadata);
    serializedMetadata = &metadataBytes;
  }
  sqlite3_stmt* statement = c.updateMetadataForRowidStatement();
  if (!statement) return noteFailedWrite("updateMetadataForRowidStatement");
  tell(extensions, [&](auto& e) { e.handleWillReplaceMetadata(metadata, ck, rowid); });
  {
    DizStatementScope scope(statement, false);
    bindOptionalBlob(statement, 1, serializedMetadata);
    sqlite3_bind_int64(statement, 2, rowid);
    if (!executeWrite(c, statement, "updateMetadataForRowidStatement"))
      return noteFailedWrite("updateMetadataForRowidStatement");
  }
  markMutated(c);
  storeMetadata(c, ck, metadata);
  tell(extensions, [&](auto& e) { e.handleReplaceMetadata(metadata, ck, rowid); });
  if (!metadata.isNil()) {
    if (const auto& post = c.metadataPostSanitizer()) post(coll, k, metadata);
  }
}

// ---------------------------------------------------------------------------------------------
// Touch

void RW::touchForKey(std::string_view key, std::string_view collection, bool object, bool metadata, TouchHook hook) {
  const auto& extensions = orderedExtensions();
  std::int64_t rowid = 0;
  if (!rowidForWrite(rowid, key, collection)) return;
  DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);
  if (object) recordTouch(connection_->objectChanges, ck);
  if (metadata) recordTouch(connection_->metadataChanges, ck);
  tell(extensions, [&](auto& e) { (e.*hook)(ck, rowid); });
}

void RW::touchObjectForKey(std::string_view key, std::string_view collection) {
  touchForKey(key, collection, true, false, &DizEvozidizExtensionTransaction::handleTouchObjectForCollectionKey);
}

void RW::touchMetadataForKey(std::string_view key, std::string_view collection) {
  touchForKey(key, collection, false, true, &DizEvozidizExtensionTransaction::handleTouchMetadataForCollectionKey);
}

void RW::touchRowForKey(std::string_view key, std::string_view collection) {
  touchForKey(key, collection, true, true, &DizEvozidizExtensionTransaction::handleTouchRowForCollectionKey);
}

// ---------------------------------------------------------------------------------------------
// Remove

void RW::removeObjectForKey(std::string_view key, std::string_view collection) {
  std::int64_t rowid = 0;
  if (rowidForWrite(rowid, key, collection))
    removeObjectForCollectionKey(DizCollectionKey::make(collection, key), rowid);
}

void RW::removeObjectForKey(std::string_view key, std::string_view collection, std::int64_t rowid) {
  removeObjectForCollectionKey(DizCollectionKey::make(collection, key), rowid);
}

void RW::removeObjectForCollectionKey(const DizCollectionKeyPtr& ck, std::int64_t rowid) {
  const auto& extensions = orderedExtensions();
  if (!ck) return;
  DizEvozidizConnectionInternal& c = *connection_;
  sqlite3_stmt* statement = c.removeForRowidStatement();
  if (!statement) return noteFailedWrite("removeForRowidStatement");
  tell(extensions, [&](auto& e) { e.handleWillRemoveObjectForCollectionKey(ck, rowid); });
  {
    DizStatementScope scope(statement, false);
    sqlite3_bind_int64(statement, 1, rowid);
    if (!executeWrite(c, statement, "removeForRowidStatement")) return noteFailedWrite("removeForRowidStatement");
  }
  markMutated(c);
  recordRemovedRow(c, ck, rowid);
  tell(extensions, [&](auto& e) { e.handleRemoveObjectForCollectionKey(ck, rowid); });
}

void RW::removeObjectsForKeys(const std::vector<std::string>& keys, std::string_view collection) {
  const auto& extensions = orderedExtensions();
  if (keys.empty()) return;
  if (keys.size() == 1) {
    removeObjectForKey(keys[0], collection);
    return;
  }
  DizEvozidizConnectionInternal& c = *connection_;
  const std::string coll(collection);
  const std::size_t chunk = DizInListChunkSize(c.db, 1);
  std::vector<std::string> foundKeys;
  std::vector<std::int64_t> foundRowids;
  for (std::size_t next = 0; next < keys.size();) {
    const std::size_t count = std::min(keys.size() - next, chunk);
    foundKeys.clear();
    foundRowids.clear();

    const std::string text = DizInListStatementText(R"(SELECT "rowid", "key" FROM "database2")",
                                                    R"( WHERE "collection" = ? AND "key" IN ()", count);
    sqlite3_stmt* select = nullptr;
    int status = sqlite3_prepare_v2(c.db, text.c_str(), static_cast<int>(text.size() + 1), &select, nullptr);
    if (status != SQLITE_OK) {
      DIZ_TXN_LOG_ERROR("%@: Error creating 'removeKeys:inCollection:' statement (A): %d %s", status,
                        sqlite3_errmsg(c.db));
      sqlite3_finalize(select);
      return noteFailedWrite("removeKeys:inCollection: (A)");
    }
    {
      DizStatementScope scope(select, true);
      DizBindText(select, 1, coll);
      for (std::size_t i = 0; i < count; ++i) DizBindText(select, static_cast<int>(i + 2), keys[next + i]);
      while ((status = sqlite3_step(select)) == SQLITE_ROW) {
        foundRowids.push_back(sqlite3_column_int64(select, 0));
        foundKeys.emplace_back(DizColumnText(select, 1));
      }
      if (status != SQLITE_DONE) {
        DIZ_TXN_LOG_ERROR("%@: Error executing 'removeKeys:inCollection:' statement (A): %d %s", status,
                          sqlite3_errmsg(c.db));
        c.noteStatementFailure(status);
        noteFailedWrite("removeKeys:inCollection: (A)");
      }
    }
    next += count;
    if (foundRowids.empty()) continue;

    bool prepared = false;
    const bool deleted = deleteRowids(c, foundRowids, "removeKeys:inCollection:", " (B)", prepared, [&] {
      tell(extensions, [&](auto& e) { e.handleWillRemoveObjectsForKeys(foundKeys, coll, foundRowids); });
    });
    if (!deleted) noteFailedWrite("removeKeys:inCollection: (B)");
    if (!prepared) return;
    // A failed DELETE removed nothing (SQLite undoes the statement), so nothing is recorded; the
    // extensions still hear the end of what they were told began (the transaction fails anyway).
    if (deleted) {
      markMutated(c);
      for (std::size_t i = 0; i < foundRowids.size(); ++i) {
        recordRemovedRow(c, DizCollectionKey::make(coll, foundKeys[i]), foundRowids[i]);
      }
    }
    tell(extensions, [&](auto& e) { e.handleRemoveObjectsForKeys(foundKeys, coll, foundRowids); });
  }
}

namespace {

// Drops every cached row and change record of the collection.
void forgetCollection(DizEvozidizConnectionInternal& c, const std::string& collection) {
  std::vector<std::int64_t> rowids;
  c.keyCache.enumerateKeysAndObjectsWithBlock([&](std::int64_t rowid, const DizCollectionKeyPtr& ck, bool&) {
    if (ck->collection() == collection) rowids.push_back(rowid);
  });
  c.keyCache.removeObjectsForKeys(rowids);
  auto purgeCache = [&](DizEvozidizConnectionInternal::ObjectCache* cache) {
    if (!cache) return;
    std::vector<DizCollectionKeyPtr> keys;
    cache->enumerateKeysWithBlock([&](const DizCollectionKeyPtr& ck, bool&) {
      if (ck->collection() == collection) keys.push_back(ck);
    });
    cache->removeObjectsForKeys(keys);
  };
  purgeCache(c.objectCache.get());
  purgeCache(c.metadataCache.get());
  auto purgeChanges = [&](const std::shared_ptr<DizChangedValues>& changes) {
    if (!changes) return;
    changes->map.eraseIf([&](const auto& entry) { return entry.first->collection() == collection; });
  };
  purgeChanges(c.objectChanges);
  purgeChanges(c.metadataChanges);
}

}  // namespace

void RW::removeAllObjectsInCollection(std::string_view collection) {
  // Prepared before anything else, so that extensions hear of the removal even when it is the
  // transaction's first write.
  const auto& extensions = orderedExtensions();
  DizEvozidizConnectionInternal& c = *connection_;
  const std::string coll(collection);

  if (extensions.empty()) {
    // Nobody needs the individual keys and rowids: one DELETE.
    sqlite3_stmt* statement = c.removeCollectionStatement();
    if (!statement) return noteFailedWrite("removeCollectionStatement");
    {
      DizStatementScope scope(statement, false);
      DizBindText(statement, 1, coll);
      if (!executeWrite(c, statement, "removeCollectionStatement", "collection", coll))
        return noteFailedWrite("removeCollectionStatement");
    }
    markMutated(c);
    forgetCollection(c, coll);
    if (c.removedCollections) c.removedCollections->set.insert(coll);
    return;
  }

  // Extensions learn every deleted key and rowid: delete in chunks.
  std::uint64_t remaining = numberOfKeysInCollection(coll);
  const std::size_t chunk = DizInListChunkSize(c.db, 1);
  std::vector<std::int64_t> foundRowids;
  std::vector<std::string> foundKeys;
  bool removedAny = false;
  while (remaining > 0) {
    foundRowids.clear();
    foundKeys.clear();
    bool finalize = false;
    sqlite3_stmt* statement = c.enumerateKeysInCollectionStatement(finalize);
    if (!statement) {
      noteFailedWrite("enumerateKeysInCollectionStatement");
      break;
    }
    {
      DizStatementScope scope(statement, finalize);
      DizBindText(statement, 1, coll);
      int status = SQLITE_DONE;
      while (foundRowids.size() < chunk && (status = sqlite3_step(statement)) == SQLITE_ROW) {
        foundRowids.push_back(sqlite3_column_int64(statement, 0));
        foundKeys.emplace_back(DizColumnText(statement, 1));
      }
      if (status != SQLITE_DONE && status != SQLITE_ROW) {
        DIZ_TXN_LOG_ERROR("%@: %@ - sqlite_step error: %d %s", "removeAllObjectsInCollection:", status,
                          sqlite3_errmsg(c.db));
        c.noteStatementFailure(status);
        noteFailedWrite("enumerateKeysInCollectionStatement");
      }
    }
    if (foundRowids.empty()) break;
    bool prepared = false;
    if (!deleteRowids(c, foundRowids, "removeAllObjectsInCollection:", "", prepared, [&] {
          tell(extensions, [&](auto& e) { e.handleWillRemoveObjectsForKeys(foundKeys, coll, foundRowids); });
        })) {
      noteFailedWrite("removeAllObjectsInCollection:");
      if (prepared) tell(extensions, [&](auto& e) { e.handleRemoveObjectsForKeys(foundKeys, coll, foundRowids); });
      break;
    }
    markMutated(c);
    removedAny = true;
    for (std::int64_t rowid : foundRowids) {
      c.keyCache.removeObjectForKey(rowid);
      if (c.removedRowids) c.removedRowids->set.insert(rowid);
    }
    tell(extensions, [&](auto& e) { e.handleRemoveObjectsForKeys(foundKeys, coll, foundRowids); });
    remaining = foundRowids.size() >= remaining ? 0 : remaining - foundRowids.size();
  }
  if (removedAny || numberOfKeysInCollection(coll) == 0) {
    forgetCollection(c, coll);
    if (c.removedCollections) c.removedCollections->set.insert(coll);
  }
}

void RW::removeAllObjectsInAllCollections() {
  const auto& extensions = orderedExtensions();
  DizEvozidizConnectionInternal& c = *connection_;
  sqlite3_stmt* statement = c.removeAllStatement();
  if (!statement) return noteFailedWrite("removeAllStatement");
  tell(extensions, [](auto& e) { e.handleWillRemoveAllObjectsInAllCollections(); });
  {
    DizStatementScope scope(statement, false);
    if (!executeWrite(c, statement, "removeAllStatement")) {
      noteFailedWrite("removeAllStatement");
      tell(extensions, [](auto& e) { e.handleRemoveAllObjectsInAllCollections(); });
      return;
    }
  }
  markMutated(c);
  c.keyCache.removeAllObjects();
  if (c.objectCache) c.objectCache->removeAllObjects();
  if (c.metadataCache) c.metadataCache->removeAllObjects();
  if (c.objectChanges) c.objectChanges->map.clear();
  if (c.metadataChanges) c.metadataChanges->map.clear();
  if (c.removedKeys) c.removedKeys->set.clear();
  if (c.removedCollections) c.removedCollections->set.clear();
  if (c.removedRowids) c.removedRowids->set.clear();
  c.allKeysRemoved = true;
  tell(extensions, [](auto& e) { e.handleRemoveAllObjectsInAllCollections(); });
}

// ---------------------------------------------------------------------------------------------
// Extension values

namespace {

// Runs one "diz2" write; `bind` binds parameters from 3 on. A completed step marks disk changes;
// false when the step failed or the statement is missing. The removers' failures name the extension.
template <class Bind>
bool writeExtensionValue(DizEvozidizConnectionInternal& c, sqlite3_stmt* statement, const char* name,
                         std::string_view extension, const std::string_view* key, Bind&& bind) {
  if (!statement) return false;
  DizStatementScope scope(statement, false);
  DizBindText(statement, 1, extension);
  if (key) DizBindText(statement, 2, *key);
  bind(statement);
  const bool setter = std::string_view(name) == "dizSetDataForKeyStatement";
  if (!executeWrite(c, statement, name, setter ? nullptr : "extension", extension)) return false;
  c.hasDiskChanges = true;
  return true;
}

}  // namespace

void RW::setBoolValue(bool value, std::string_view key, std::string_view extension) {
  setIntValue(value ? 1 : 0, key, extension);
}

void RW::setIntValue(std::int32_t value, std::string_view key, std::string_view extension) {
  DizEvozidizConnectionInternal& c = *connection_;
  if (!writeExtensionValue(c, c.dizSetDataForKeyStatement(), "dizSetDataForKeyStatement", extension, &key,
                           [&](sqlite3_stmt* s) { sqlite3_bind_int(s, 3, value); }))
    noteFailedWrite("dizSetDataForKeyStatement");
}

void RW::setDoubleValue(double value, std::string_view key, std::string_view extension) {
  DizEvozidizConnectionInternal& c = *connection_;
  if (!writeExtensionValue(c, c.dizSetDataForKeyStatement(), "dizSetDataForKeyStatement", extension, &key,
                           [&](sqlite3_stmt* s) { sqlite3_bind_double(s, 3, value); }))
    noteFailedWrite("dizSetDataForKeyStatement");
}

void RW::setStringValue(std::string_view value, std::string_view key, std::string_view extension) {
  DizEvozidizConnectionInternal& c = *connection_;
  if (!writeExtensionValue(c, c.dizSetDataForKeyStatement(), "dizSetDataForKeyStatement", extension, &key,
                           [&](sqlite3_stmt* s) { DizBindText(s, 3, value); }))
    noteFailedWrite("dizSetDataForKeyStatement");
}

void RW::setDataValue(const Bytes& value, std::string_view key, std::string_view extension) {
  DizEvozidizConnectionInternal& c = *connection_;
  if (!writeExtensionValue(c, c.dizSetDataForKeyStatement(), "dizSetDataForKeyStatement", extension, &key,
                           [&](sqlite3_stmt* s) { DizBindBlob(s, 3, value); }))
    noteFailedWrite("dizSetDataForKeyStatement");
}

void RW::removeValueForKey(std::string_view key, std::string_view extension) {
  DizEvozidizConnectionInternal& c = *connection_;
  if (!writeExtensionValue(c, c.dizRemoveForKeyStatement(), "dizRemoveForKeyStatement", extension, &key,
                           [](sqlite3_stmt*) {}))
    noteFailedWrite("dizRemoveForKeyStatement");
}

void RW::removeAllValuesForExtension(std::string_view extension) {
  DizEvozidizConnectionInternal& c = *connection_;
  if (!writeExtensionValue(c, c.dizRemoveExtensionStatement(), "dizRemoveExtensionStatement", extension, nullptr,
                           [](sqlite3_stmt*) {}))
    noteFailedWrite("dizRemoveExtensionStatement");
}
