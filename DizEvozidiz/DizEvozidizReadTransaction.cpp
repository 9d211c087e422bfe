// Lifecycle, counts, rowid lookups and fetches of the read transaction.

#include <utility>

#include "DizEvozidiz/DizEvozidizExtensionInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/DizEvozidizTransactionInternal.h"
#include "DizEvozidiz/DizMemoryTable.h"

using platform::Bytes;
using platform::Value;

DizLookup DizLookupRowid(DizEvozidizConnectionInternal& c, const DizCollectionKeyPtr& collectionKey,
                         std::int64_t& rowid) {
  rowid = 0;
  if (!collectionKey) return DizLookup::Missing;
  if (const std::int64_t* cached = c.keyCache.keyForObject(collectionKey)) {
    rowid = *cached;
    return DizLookup::Found;
  }
  sqlite3_stmt* statement = c.getRowidForKeyStatement();
  if (!statement) return DizLookup::Failed;
  DizStatementScope scope(statement, false);
  DizBindText(statement, 1, collectionKey->collection());
  DizBindText(statement, 2, collectionKey->key());
  const int status = sqlite3_step(statement);
  switch (DizStepKind(status)) {
    case DizStep::Row:
      rowid = sqlite3_column_int64(statement, 0);
      c.keyCache.setObject(collectionKey, rowid);
      return DizLookup::Found;
    case DizStep::Done:
      return DizLookup::Missing;
    case DizStep::Error:
      DIZ_TXN_LOG_ERROR("%@: Error executing 'getRowidForKeyStatement': %d %s", status, sqlite3_errmsg(c.db));
      c.noteStatementFailure(status);
      return DizLookup::Failed;
  }
  return DizLookup::Failed;
}

namespace {

Value deserialize(const DizEvozidizDeserializer& deserializer, const char* what, const std::string& collection,
                  const std::string& key, std::span<const std::uint8_t> bytes) {
  Value value = deserializer(collection, key, bytes);
  if (value.isNil() && !bytes.empty()) {
    DIZ_TXN_LOG_WARN("%@: Unable to deserialize %@ for collection(%@) key(%@): %lu bytes read as nil", what, collection,
                     key, static_cast<unsigned long>(bytes.size()));
  }
  return value;
}

}  // namespace

Value DizDeserializeObject(DizEvozidizConnectionInternal& c, const std::string& collection, const std::string& key,
                           std::span<const std::uint8_t> bytes) {
  return deserialize(c.objectDeserializer(), "object", collection, key, bytes);
}

Value DizDeserializeMetadata(DizEvozidizConnectionInternal& c, const std::string& collection, const std::string& key,
                             std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return {};
  return deserialize(c.metadataDeserializer(), "metadata", collection, key, bytes);
}

namespace {

// Steps a statement expected to give at most one row; logs a failure under `name`.
DizStep stepOnce(DizEvozidizConnectionInternal& c, sqlite3_stmt* statement, const char* name) {
  const int status = sqlite3_step(statement);
  const DizStep kind = DizStepKind(status);
  if (kind == DizStep::Error) {
    DIZ_TXN_LOG_ERROR("%@: Error executing '%@': %d %s", name, status, sqlite3_errmsg(c.db));
    c.noteStatementFailure(status);
  }
  return kind;
}

std::uint64_t countWith(DizEvozidizConnectionInternal& c, sqlite3_stmt* statement, const char* name,
                        const std::string_view* collection) {
  if (!statement) return 0;
  DizStatementScope scope(statement, false);
  if (collection) DizBindText(statement, 1, *collection);
  if (stepOnce(c, statement, name) != DizStep::Row) return 0;
  const std::int64_t count = sqlite3_column_int64(statement, 0);
  return count > 0 ? static_cast<std::uint64_t>(count) : 0;
}

void cacheObject(DizEvozidizConnectionInternal& c, const DizCollectionKeyPtr& ck, const Value& object) {
  if (c.objectCache && !object.isNil()) c.objectCache->setObject(object, ck);
}
void cacheMetadata(DizEvozidizConnectionInternal& c, const DizCollectionKeyPtr& ck, const Value& metadata) {
  if (c.metadataCache) c.metadataCache->setObject(DizMetadataCacheValue(metadata), ck);
}

Bytes copyBytes(std::span<const std::uint8_t> bytes) { return Bytes(bytes.begin(), bytes.end()); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Lifecycle

DizEvozidizReadTransaction::DizEvozidizReadTransaction(DizEvozidizConnectionInternal* connection,
                                                       bool isReadWriteTransaction)
    : connection_(connection), isReadWriteTransaction_(isReadWriteTransaction) {
  connection_->corruptionMetInTransaction = false;
}

bool DizEvozidizReadTransaction::hasMetCorruption() const { return connection_->corruptionMetInTransaction; }

DizEvozidizReadTransaction::~DizEvozidizReadTransaction() = default;

DizEvozidizConnection* DizEvozidizReadTransaction::connection() const { return connection_; }

DizEvozidizReadTransaction::Ptr DizEvozidizReadTransaction::initWithConnection(
    DizEvozidizConnectionInternal* connection, bool isReadWriteTransaction) {
  return std::make_shared<DizEvozidizReadTransaction>(connection, isReadWriteTransaction);
}

const char* DizEvozidizReadTransaction::className() const {
  return isReadWriteTransaction_ ? "DizEvozidizReadWriteTransaction" : "DizEvozidizReadTransaction";
}

// The connection's step helpers log a failure themselves.
void DizEvozidizReadTransaction::beginTransaction() { connection_->stepBeginTransaction(); }
void DizEvozidizReadTransaction::beginImmediateTransaction() { connection_->stepBeginImmediateTransaction(); }

void DizEvozidizReadTransaction::commitTransaction() { connection_->stepCommitTransaction(); }
void DizEvozidizReadTransaction::rollbackTransaction() { connection_->stepRollbackTransaction(); }

platform::Exception DizEvozidizReadTransaction::mutationDuringEnumerationException() const {
  std::string reason = platform::format("Database <%@: %p> was mutated while being enumerated.", className(),
                                        static_cast<const void*>(this));
  Value userInfo = Value::dictionary(
      {{std::string(platform::kLocalizedRecoverySuggestionErrorKey),
        "If you modify the database during enumeration you MUST set the 'stop' parameter of the enumeration "
        "block to YES (*stop = YES;)."}});
  return platform::Exception(std::string(DizEvozidizExceptionName), std::move(reason), std::move(userInfo));
}

// ---------------------------------------------------------------------------------------------
// Counts and listings

std::uint64_t DizEvozidizReadTransaction::numberOfCollections() {
  auto& c = *connection_;
  return countWith(c, c.getCollectionCountStatement(), "getCollectionCountStatement", nullptr);
}

std::uint64_t DizEvozidizReadTransaction::numberOfKeysInCollection(std::string_view collection) {
  auto& c = *connection_;
  return countWith(c, c.getKeyCountForCollectionStatement(), "getKeyCountForCollectionStatement", &collection);
}

std::uint64_t DizEvozidizReadTransaction::numberOfKeysInAllCollections() {
  auto& c = *connection_;
  return countWith(c, c.getKeyCountForAllStatement(), "getKeyCountForAllStatement", nullptr);
}

std::optional<std::vector<std::string>> DizEvozidizReadTransaction::allCollections() {
  auto& c = *connection_;
  bool finalize = false;
  sqlite3_stmt* statement = c.enumerateCollectionsStatement(finalize);
  if (!statement) return std::nullopt;
  DizStatementScope scope(statement, finalize);
  std::vector<std::string> result;
  int status;
  while ((status = sqlite3_step(statement)) == SQLITE_ROW) result.emplace_back(DizColumnText(statement, 0));
  if (status != SQLITE_DONE) {
    DIZ_TXN_LOG_ERROR("%@: Error executing 'enumerateCollectionsStatement': %d %s", status, sqlite3_errmsg(c.db));
    c.noteStatementFailure(status);
  }
  return result;
}

std::vector<std::string> DizEvozidizReadTransaction::allKeysInCollection(std::string_view collection) {
  std::vector<std::string> keys;
  keys.reserve(numberOfKeysInCollection(collection));
  _enumerateKeysInCollection(collection, [&](std::int64_t, const std::string& key, bool&) { keys.push_back(key); });
  return keys;
}

// ---------------------------------------------------------------------------------------------
// Rowids

bool DizEvozidizReadTransaction::getRowid(std::int64_t* rowid, const DizCollectionKeyPtr& collectionKey) {
  std::int64_t found = 0;
  const bool ok = DizLookupRowid(*connection_, collectionKey, found) == DizLookup::Found;
  if (rowid) *rowid = found;
  return ok;
}

bool DizEvozidizReadTransaction::getRowid(std::int64_t* rowid, std::string_view key, std::string_view collection) {
  return getRowid(rowid, DizCollectionKey::make(collection, key));
}

DizCollectionKeyPtr DizEvozidizReadTransaction::collectionKeyForRowid(std::int64_t rowid) {
  auto& c = *connection_;
  if (const DizCollectionKeyPtr* cached = c.keyCache.objectForKey(rowid)) return *cached;
  sqlite3_stmt* statement = c.getKeyForRowidStatement();
  if (!statement) return nullptr;
  DizStatementScope scope(statement, false);
  sqlite3_bind_int64(statement, 1, rowid);
  if (stepOnce(c, statement, "getKeyForRowidStatement") != DizStep::Row) return nullptr;
  DizCollectionKeyPtr ck = DizCollectionKey::make(DizColumnText(statement, 0), DizColumnText(statement, 1));
  c.keyCache.setObject(ck, rowid);
  return ck;
}

bool DizEvozidizReadTransaction::hasRowid(std::int64_t rowid) {
  auto& c = *connection_;
  if (c.keyCache.containsKey(rowid)) return true;
  sqlite3_stmt* statement = c.getCountForRowidStatement();
  if (!statement) return false;
  DizStatementScope scope(statement, false);
  sqlite3_bind_int64(statement, 1, rowid);
  if (stepOnce(c, statement, "getCountForRowidStatement") != DizStep::Row) return false;
  return sqlite3_column_int64(statement, 0) > 0;
}

bool DizEvozidizReadTransaction::getCollectionKeyObject(DizCollectionKeyPtr* collectionKey, Value* object,
                                                        std::int64_t rowid) {
  DizCollectionKeyPtr ck = collectionKeyForRowid(rowid);
  Value value;
  if (ck) value = objectForCollectionKey(ck, rowid);
  if (collectionKey) *collectionKey = ck;
  if (object) *object = std::move(value);
  return ck != nullptr;
}

bool DizEvozidizReadTransaction::getCollectionKeyMetadata(DizCollectionKeyPtr* collectionKey, Value* metadata,
                                                          std::int64_t rowid) {
  DizCollectionKeyPtr ck = collectionKeyForRowid(rowid);
  Value value;
  if (ck) value = metadataForCollectionKey(ck, rowid);
  if (collectionKey) *collectionKey = ck;
  if (metadata) *metadata = std::move(value);
  return ck != nullptr;
}

bool DizEvozidizReadTransaction::getCollectionKey(DizCollectionKeyPtr* collectionKey, Value* object, Value* metadata,
                                                  std::int64_t rowid) {
  DizCollectionKeyPtr ck = collectionKeyForRowid(rowid);
  bool found = false;
  if (ck) {
    found = getObject(object, metadata, ck, rowid);
  } else {
    if (object) *object = Value();
    if (metadata) *metadata = Value();
  }
  if (collectionKey) *collectionKey = found ? ck : nullptr;
  return found;
}

// ---------------------------------------------------------------------------------------------
// Fetch by key

bool DizEvozidizReadTransaction::hasObjectForKey(std::string_view key, std::string_view collection) {
  auto& c = *connection_;
  DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);
  if (c.objectCache && c.objectCache->containsKey(ck)) return true;
  if (c.metadataCache && c.metadataCache->containsKey(ck)) return true;
  return getRowid(nullptr, ck);
}

Value DizEvozidizReadTransaction::objectForKey(std::string_view key, std::string_view collection) {
  auto& c = *connection_;
  // Hits are found with the caller's strings; a key is made only for what the caches will keep.
  const DizCollectionKeyView probe(collection, key);
  if (c.objectCache) {
    if (const Value* cached = c.objectCache->objectForKey(probe)) return *cached;
  }
  const DizCollectionKeyPtr* known = nullptr;
  if (const std::int64_t* rowid = c.keyCache.keyForObject(probe, &known)) {
    const DizCollectionKeyPtr ck = *known;  // held: the lookup below may evict the cache's entry
    return objectForCollectionKey(ck, *rowid);
  }
  DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);

  sqlite3_stmt* statement = c.getDataForKeyStatement();
  if (!statement) return {};
  DizStatementScope scope(statement, false);
  DizBindText(statement, 1, ck->collection());
  DizBindText(statement, 2, ck->key());
  const int status = sqlite3_step(statement);
  if (status != SQLITE_ROW) {
    if (status != SQLITE_DONE) {
      DIZ_TXN_LOG_ERROR("%@: Error executing 'getDataForKeyStatement': %d %s, key(%@)", status, sqlite3_errmsg(c.db),
                        ck->key());
      c.noteStatementFailure(status);
    }
    return {};
  }
  const std::int64_t rowid = sqlite3_column_int64(statement, 0);
  Value object = DizDeserializeObject(c, ck->collection(), ck->key(), DizColumnBytes(statement, 1));
  c.keyCache.setObject(ck, rowid);
  cacheObject(c, ck, object);
  return object;
}

Value DizEvozidizReadTransaction::metadataForKey(std::string_view key, std::string_view collection) {
  auto& c = *connection_;
  const DizCollectionKeyView probe(collection, key);
  if (c.metadataCache) {
    if (const Value* cached = c.metadataCache->objectForKey(probe)) return DizMetadataFromCache(*cached);
  }
  const DizCollectionKeyPtr* known = nullptr;
  if (const std::int64_t* rowid = c.keyCache.keyForObject(probe, &known)) {
    const DizCollectionKeyPtr ck = *known;
    return metadataForCollectionKey(ck, *rowid);
  }
  DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);

  sqlite3_stmt* statement = c.getMetadataForKeyStatement();
  if (!statement) return {};
  DizStatementScope scope(statement, false);
  DizBindText(statement, 1, ck->collection());
  DizBindText(statement, 2, ck->key());
  if (stepOnce(c, statement, "getMetadataForKeyStatement") != DizStep::Row) return {};
  const std::int64_t rowid = sqlite3_column_int64(statement, 0);
  Value metadata = DizDeserializeMetadata(c, ck->collection(), ck->key(), DizColumnBytes(statement, 1));
  c.keyCache.setObject(ck, rowid);
  cacheMetadata(c, ck, metadata);
  return metadata;
}

bool DizEvozidizReadTransaction::getObject(Value* object, Value* metadata, std::string_view key,
                                           std::string_view collection) {
  auto& c = *connection_;
  DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);
  const Value* cachedObject = c.objectCache ? c.objectCache->objectForKey(ck) : nullptr;
  Value objectValue = cachedObject ? *cachedObject : Value();
  const Value* cachedMetadata = c.metadataCache ? c.metadataCache->objectForKey(ck) : nullptr;
  Value metadataValue = cachedMetadata ? *cachedMetadata : Value();
  if (cachedObject || cachedMetadata) {
    if (object && !cachedObject) objectValue = objectForKey(key, collection);
    if (metadata && !cachedMetadata) metadataValue = metadataForKey(key, collection);
    if (object) *object = std::move(objectValue);
    if (metadata) *metadata = DizMetadataFromCache(metadataValue);
    return true;
  }
  if (const std::int64_t* rowid = c.keyCache.keyForObject(ck)) return getObject(object, metadata, ck, *rowid);

  if (object) *object = Value();
  if (metadata) *metadata = Value();
  sqlite3_stmt* statement = c.getAllForKeyStatement();
  if (!statement) return false;
  DizStatementScope scope(statement, false);
  DizBindText(statement, 1, ck->collection());
  DizBindText(statement, 2, ck->key());
  if (stepOnce(c, statement, "getAllForKeyStatement") != DizStep::Row) return false;
  c.keyCache.setObject(ck, sqlite3_column_int64(statement, 0));
  if (object) {
    *object = DizDeserializeObject(c, ck->collection(), ck->key(), DizColumnBytes(statement, 1));
    cacheObject(c, ck, *object);
  }
  if (metadata) {
    *metadata = DizDeserializeMetadata(c, ck->collection(), ck->key(), DizColumnBytes(statement, 2));
    cacheMetadata(c, ck, *metadata);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Fetch by a known row

Value DizEvozidizReadTransaction::objectForCollectionKey(const DizCollectionKeyPtr& ck, std::int64_t rowid) {
  if (!ck) return {};
  auto& c = *connection_;
  if (c.objectCache) {
    if (const Value* cached = c.objectCache->objectForKey(ck)) return *cached;
  }
  sqlite3_stmt* statement = c.getDataForRowidStatement();
  if (!statement) return {};
  DizStatementScope scope(statement, false);
  sqlite3_bind_int64(statement, 1, rowid);
  if (stepOnce(c, statement, "getDataForRowidStatement") != DizStep::Row) return {};
  Value object = DizDeserializeObject(c, ck->collection(), ck->key(), DizColumnBytes(statement, 0));
  cacheObject(c, ck, object);
  return object;
}

Value DizEvozidizReadTransaction::metadataForCollectionKey(const DizCollectionKeyPtr& ck, std::int64_t rowid) {
  if (!ck) return {};
  auto& c = *connection_;
  if (c.metadataCache) {
    if (const Value* cached = c.metadataCache->objectForKey(ck)) return DizMetadataFromCache(*cached);
  }
  sqlite3_stmt* statement = c.getMetadataForRowidStatement();
  if (!statement) return {};
  DizStatementScope scope(statement, false);
  sqlite3_bind_int64(statement, 1, rowid);
  if (stepOnce(c, statement, "getMetadataForRowidStatement") != DizStep::Row) return {};
  Value metadata = DizDeserializeMetadata(c, ck->collection(), ck->key(), DizColumnBytes(statement, 0));
  cacheMetadata(c, ck, metadata);
  return metadata;
}

Value DizEvozidizReadTransaction::objectForKey(std::string_view key, std::string_view collection, std::int64_t rowid) {
  return objectForCollectionKey(DizCollectionKey::make(collection, key), rowid);
}

Value DizEvozidizReadTransaction::metadataForKey(std::string_view key, std::string_view collection,
                                                 std::int64_t rowid) {
  return metadataForCollectionKey(DizCollectionKey::make(collection, key), rowid);
}

bool DizEvozidizReadTransaction::getObject(Value* object, Value* metadata, const DizCollectionKeyPtr& ck,
                                           std::int64_t rowid) {
  if (object) *object = Value();
  if (metadata) *metadata = Value();
  if (!ck) return false;
  auto& c = *connection_;
  const bool objectCached = c.objectCache && c.objectCache->containsKey(ck);
  const bool metadataCached = c.metadataCache && c.metadataCache->containsKey(ck);
  if (objectCached || metadataCached) {
    if (object) *object = objectForCollectionKey(ck, rowid);
    if (metadata) *metadata = metadataForCollectionKey(ck, rowid);
    return true;
  }
  sqlite3_stmt* statement = c.getAllForRowidStatement();
  if (!statement) return false;
  DizStatementScope scope(statement, false);
  sqlite3_bind_int64(statement, 1, rowid);
  if (stepOnce(c, statement, "getAllForRowidStatement") != DizStep::Row) return false;
  if (object) {
    *object = DizDeserializeObject(c, ck->collection(), ck->key(), DizColumnBytes(statement, 0));
    cacheObject(c, ck, *object);
  }
  if (metadata) {
    *metadata = DizDeserializeMetadata(c, ck->collection(), ck->key(), DizColumnBytes(statement, 1));
    cacheMetadata(c, ck, *metadata);
  }
  return true;
}

bool DizEvozidizReadTransaction::getObject(Value* object, Value* metadata, std::string_view key,
                                           std::string_view collection, std::int64_t rowid) {
  return getObject(object, metadata, DizCollectionKey::make(collection, key), rowid);
}

// ---------------------------------------------------------------------------------------------
// Raw bytes

namespace {

// Reads columns of one row by the cached rowid, else by (collection, key) learning the rowid.
// `read` gets the statement and the index of the first value column.
template <class Read>
bool readSerialized(DizEvozidizConnectionInternal& c, const DizCollectionKeyPtr& ck, sqlite3_stmt* byRowid,
                    const char* byRowidName, sqlite3_stmt* byKey, const char* byKeyName, Read&& read) {
  if (const std::int64_t* rowid = c.keyCache.keyForObject(ck)) {
    if (!byRowid) return false;
    DizStatementScope scope(byRowid, false);
    sqlite3_bind_int64(byRowid, 1, *rowid);
    if (stepOnce(c, byRowid, byRowidName) != DizStep::Row) return false;
    read(byRowid, 0);
    return true;
  }
  if (!byKey) return false;
  DizStatementScope scope(byKey, false);
  DizBindText(byKey, 1, ck->collection());
  DizBindText(byKey, 2, ck->key());
  const int status = sqlite3_step(byKey);
  if (status != SQLITE_ROW) {
    if (status != SQLITE_DONE) {
      // The single-value fetches name the key; the combined one (both columns) does not.
      if (std::string_view(byKeyName) == "getAllForKeyStatement")
        DIZ_TXN_LOG_ERROR("%@: Error executing '%@': %d %s", byKeyName, status, sqlite3_errmsg(c.db));
      else
        DIZ_TXN_LOG_ERROR("%@: Error executing '%@': %d %s, key(%@)", byKeyName, status, sqlite3_errmsg(c.db),
                          ck->key());
      c.noteStatementFailure(status);
    }
    return false;
  }
  c.keyCache.setObject(ck, sqlite3_column_int64(byKey, 0));
  read(byKey, 1);
  return true;
}

}  // namespace

std::optional<Bytes> DizEvozidizReadTransaction::serializedObjectForKey(std::string_view key,
                                                                        std::string_view collection) {
  auto& c = *connection_;
  std::optional<Bytes> result;
  readSerialized(c, DizCollectionKey::make(collection, key), c.getDataForRowidStatement(), "getDataForRowidStatement",
                 c.getDataForKeyStatement(), "getDataForKeyStatement",
                 [&](sqlite3_stmt* s, int column) { result = copyBytes(DizColumnBytes(s, column)); });
  return result;
}

std::optional<Bytes> DizEvozidizReadTransaction::serializedMetadataForKey(std::string_view key,
                                                                          std::string_view collection) {
  auto& c = *connection_;
  std::optional<Bytes> result;
  readSerialized(c, DizCollectionKey::make(collection, key), c.getMetadataForRowidStatement(),
                 "getMetadataForRowidStatement", c.getMetadataForKeyStatement(), "getMetadataForKeyStatement",
                 [&](sqlite3_stmt* s, int column) { result = copyBytes(DizColumnBytes(s, column)); });
  return result;
}

bool DizEvozidizReadTransaction::getSerializedObject(Bytes* object, Bytes* metadata, std::string_view key,
                                                     std::string_view collection) {
  auto& c = *connection_;
  if (object) object->clear();
  if (metadata) metadata->clear();
  return readSerialized(c, DizCollectionKey::make(collection, key), c.getAllForRowidStatement(),
                        "getAllForRowidStatement", c.getAllForKeyStatement(), "getAllForKeyStatement",
                        [&](sqlite3_stmt* s, int column) {
                          if (object) *object = copyBytes(DizColumnBytes(s, column));
                          if (metadata) *metadata = copyBytes(DizColumnBytes(s, column + 1));
                        });
}

// ---------------------------------------------------------------------------------------------
// Extension values

namespace {

// Binds (extension, key) to "dizGetDataForKeyStatement", steps once and hands a found row to `read`.
template <class Read>
bool readExtensionValue(DizEvozidizConnectionInternal& c, std::string_view key, std::string_view extension,
                        Read&& read) {
  sqlite3_stmt* statement = c.dizGetDataForKeyStatement();
  if (!statement) return false;
  DizStatementScope scope(statement, false);
  DizBindText(statement, 1, extension);
  DizBindText(statement, 2, key);
  if (stepOnce(c, statement, "dizGetDataForKeyStatement") != DizStep::Row) return false;
  read(statement);
  return true;
}

}  // namespace

bool DizEvozidizReadTransaction::getBoolValue(bool* value, std::string_view key, std::string_view extension) {
  std::int32_t number = 0;
  const bool found = getIntValue(&number, key, extension);
  if (value) *value = number != 0;
  return found;
}

bool DizEvozidizReadTransaction::getIntValue(std::int32_t* value, std::string_view key, std::string_view extension) {
  std::int32_t number = 0;
  const bool found =
      readExtensionValue(*connection_, key, extension, [&](sqlite3_stmt* s) { number = sqlite3_column_int(s, 0); });
  if (value) *value = number;
  return found;
}

bool DizEvozidizReadTransaction::getDoubleValue(double* value, std::string_view key, std::string_view extension) {
  double number = 0;
  const bool found =
      readExtensionValue(*connection_, key, extension, [&](sqlite3_stmt* s) { number = sqlite3_column_double(s, 0); });
  if (value) *value = number;
  return found;
}

std::optional<std::string> DizEvozidizReadTransaction::stringValueForKey(std::string_view key,
                                                                         std::string_view extension) {
  std::optional<std::string> result;
  readExtensionValue(*connection_, key, extension, [&](sqlite3_stmt* s) { result.emplace(DizColumnText(s, 0)); });
  return result;
}

std::optional<Bytes> DizEvozidizReadTransaction::dataValueForKey(std::string_view key, std::string_view extension) {
  std::optional<Bytes> result;
  readExtensionValue(*connection_, key, extension, [&](sqlite3_stmt* s) { result = copyBytes(DizColumnBytes(s, 0)); });
  return result;
}
