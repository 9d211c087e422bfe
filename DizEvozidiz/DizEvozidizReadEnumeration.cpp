// Enumerations of the read transaction: collections, keys, objects, metadata and rows of one,
// several or all collections, and unordered lookups of key lists.

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/DizEvozidizTransactionInternal.h"

using platform::Value;
using Transaction = DizEvozidizReadTransaction;

namespace {

enum class Columns { Keys, Objects, Metadata, Rows };

using StatementGetter = sqlite3_stmt* (DizEvozidizConnectionInternal::*)(bool&);

// One enumeration's mutation-stack item and stop flag.
struct Pass {
  explicit Pass(DizEvozidizConnectionInternal& connection)
      : c(connection), item(connection.mutationStack ? connection.mutationStack->push() : nullptr) {}
  bool mutated() const { return item && item->isMutated(); }
  bool over() const { return stop || mutated(); }

  DizEvozidizConnectionInternal& c;
  std::shared_ptr<DizMutationStack_Bool::Item> item;
  bool stop = false;
};

bool roomIn(const DizEvozidizConnectionInternal::ObjectCache& cache) {
  return cache.countLimit() == 0 || cache.count() < cache.countLimit();
}

// The object of a row: from the cache, else deserialized and cached while the cache has room
// (a bounded cache is never made to evict during an enumeration).
Value objectOfRow(DizEvozidizConnectionInternal& c, const DizCollectionKeyPtr& ck, sqlite3_stmt* statement, int column,
                  bool bounded) {
  if (c.objectCache) {
    if (const Value* cached = c.objectCache->objectForKey(ck)) return *cached;
  }
  Value object = DizDeserializeObject(c, ck->collection(), ck->key(), DizColumnBytes(statement, column));
  if (c.objectCache && !object.isNil() && (!bounded || roomIn(*c.objectCache))) c.objectCache->setObject(object, ck);
  return object;
}

Value metadataOfRow(DizEvozidizConnectionInternal& c, const DizCollectionKeyPtr& ck, sqlite3_stmt* statement,
                    int column, bool bounded) {
  if (c.metadataCache) {
    if (const Value* cached = c.metadataCache->objectForKey(ck)) return DizMetadataFromCache(*cached);
  }
  Value metadata = DizDeserializeMetadata(c, ck->collection(), ck->key(), DizColumnBytes(statement, column));
  if (c.metadataCache && (!bounded || roomIn(*c.metadataCache))) {
    c.metadataCache->setObject(DizMetadataCacheValue(metadata), ck);
  }
  return metadata;
}

// Steps a bound statement and delivers its rows. Row layout: rowid, [collection when `fixed` is
// null], key, then the value columns of `columns`. Returns the last step status.
template <class Filter, class Block>
int stepRows(Pass& p, sqlite3_stmt* statement, const std::string* fixed, Columns columns, const Filter& filter,
             const Block& block) {
  const int keyColumn = fixed ? 1 : 2;
  const int objectColumn = keyColumn + 1;
  const int metadataColumn = columns == Columns::Rows ? keyColumn + 2 : keyColumn + 1;
  const Value nil{};
  std::string collection = fixed ? *fixed : std::string();
  int status;
  while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
    const std::int64_t rowid = sqlite3_column_int64(statement, 0);
    if (!fixed) collection.assign(DizColumnText(statement, 1));
    std::string key(DizColumnText(statement, keyColumn));
    if (filter && !filter(rowid, collection, key)) continue;
    if (columns == Columns::Keys) {
      block(rowid, collection, key, nil, nil, p.stop);
    } else {
      DizCollectionKeyPtr ck = DizCollectionKey::make(collection, key);
      Value object, metadata;
      if (columns == Columns::Objects || columns == Columns::Rows)
        object = objectOfRow(p.c, ck, statement, objectColumn, true);
      if (columns == Columns::Metadata || columns == Columns::Rows) {
        metadata = metadataOfRow(p.c, ck, statement, metadataColumn, true);
      }
      block(rowid, collection, key, object, metadata, p.stop);
    }
    if (p.over()) break;
  }
  return status;
}

void logStepFailure(const Pass& p, int status, const char* method) {
  if (status == SQLITE_DONE || p.over()) return;
  DIZ_TXN_LOG_ERROR("%@: %@ - sqlite_step error: %d %s", method, status, sqlite3_errmsg(p.c.db));
  p.c.noteStatementFailure(status);
}

// One statement over one collection (`collection` non-null) or over all of them.
template <class Filter, class Block>
void enumerate(const Transaction& t, StatementGetter getter, const std::string* collection, Columns columns,
               const Filter& filter, const Block& block, const char* method) {
  DizEvozidizConnectionInternal& c = DizInternal(*t.connection());
  bool finalize = false;
  sqlite3_stmt* statement = (c.*getter)(finalize);
  if (!statement) return;
  Pass p(c);
  {
    DizStatementScope scope(statement, finalize);
    if (collection) DizBindText(statement, 1, *collection);
    const int status = stepRows(p, statement, collection, columns, filter, block);
    logStepFailure(p, status, method);
  }
  if (!p.stop && p.mutated()) throw t.mutationDuringEnumerationException();
}

// One statement, bound to each collection in turn.
template <class Filter, class Block>
void enumerateEach(const Transaction& t, StatementGetter getter, const std::vector<std::string>& collections,
                   Columns columns, const Filter& filter, const Block& block, const char* method) {
  if (collections.empty()) return;
  DizEvozidizConnectionInternal& c = DizInternal(*t.connection());
  bool finalize = false;
  sqlite3_stmt* statement = (c.*getter)(finalize);
  if (!statement) return;
  Pass p(c);
  {
    DizStatementScope scope(statement, finalize);
    for (const std::string& collection : collections) {
      DizBindText(statement, 1, collection);
      const int status = stepRows(p, statement, &collection, columns, filter, block);
      logStepFailure(p, status, method);
      sqlite3_clear_bindings(statement);
      sqlite3_reset(statement);
      if (p.over()) break;
    }
  }
  if (!p.stop && p.mutated()) throw t.mutationDuringEnumerationException();
}

// Adapters from the public block shapes to the common (rowid, collection, key, object, metadata,
// stop) shape.
struct NoFilter {
  explicit operator bool() const { return false; }
  bool operator()(std::int64_t, const std::string&, const std::string&) const { return true; }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Collections

void Transaction::enumerateCollectionsUsingBlock(const CollectionBlock& block) {
  if (!block) return;
  DizEvozidizConnectionInternal& c = *connection_;
  bool finalize = false;
  sqlite3_stmt* statement = c.enumerateCollectionsStatement(finalize);
  if (!statement) return;
  Pass p(c);
  {
    DizStatementScope scope(statement, finalize);
    int status;
    while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
      block(std::string(DizColumnText(statement, 0)), p.stop);
      if (p.over()) break;
    }
    logStepFailure(p, status, "enumerateCollectionsUsingBlock:");
  }
  if (!p.stop && p.mutated()) throw mutationDuringEnumerationException();
}

void Transaction::enumerateCollectionsForKey(std::string_view key, const CollectionBlock& block) {
  if (!block) return;
  DizEvozidizConnectionInternal& c = *connection_;
  bool finalize = false;
  sqlite3_stmt* statement = c.enumerateCollectionsForKeyStatement(finalize);
  if (!statement) return;
  Pass p(c);
  {
    DizStatementScope scope(statement, finalize);
    DizBindText(statement, 1, key);
    int status;
    while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
      block(std::string(DizColumnText(statement, 0)), p.stop);
      if (p.over()) break;
    }
    logStepFailure(p, status, "enumerateCollectionsForKey:usingBlock:");
  }
  if (!p.stop && p.mutated()) throw mutationDuringEnumerationException();
}

// ---------------------------------------------------------------------------------------------
// Forms with rowids

void Transaction::_enumerateKeysInCollection(std::string_view collection, const RowidKeyBlock& block) {
  if (!block) return;
  const std::string coll(collection);
  enumerate(
      *this, &DizEvozidizConnectionInternal::enumerateKeysInCollectionStatement, &coll, Columns::Keys, NoFilter{},
      [&](std::int64_t rowid, const std::string&, const std::string& key, const Value&, const Value&, bool& stop) {
        block(rowid, key, stop);
      },
      "_enumerateKeysInCollection:usingBlock:");
}

void Transaction::_enumerateKeysInCollections(const std::vector<std::string>& collections,
                                              const RowidCollectionKeyBlock& block) {
  if (!block) return;
  enumerateEach(
      *this, &DizEvozidizConnectionInternal::enumerateKeysInCollectionStatement, collections, Columns::Keys, NoFilter{},
      [&](std::int64_t rowid, const std::string& collection, const std::string& key, const Value&, const Value&,
          bool& stop) { block(rowid, collection, key, stop); },
      "_enumerateKeysInCollections:usingBlock:");
}

void Transaction::_enumerateKeysInAllCollectionsUsingBlock(const RowidCollectionKeyBlock& block) {
  if (!block) return;
  enumerate(
      *this, &DizEvozidizConnectionInternal::enumerateKeysInAllCollectionsStatement, nullptr, Columns::Keys, NoFilter{},
      [&](std::int64_t rowid, const std::string& collection, const std::string& key, const Value&, const Value&,
          bool& stop) { block(rowid, collection, key, stop); },
      "_enumerateKeysInAllCollectionsUsingBlock:");
}

namespace {

// Filters of one collection see (rowid, key); wrap them into the common shape.
struct KeyFilterAdapter {
  const Transaction::RowidKeyFilter& filter;
  explicit operator bool() const { return static_cast<bool>(filter); }
  bool operator()(std::int64_t rowid, const std::string&, const std::string& key) const { return filter(rowid, key); }
};
struct CollectionKeyFilterAdapter {
  const Transaction::RowidCollectionKeyFilter& filter;
  explicit operator bool() const { return static_cast<bool>(filter); }
  bool operator()(std::int64_t rowid, const std::string& collection, const std::string& key) const {
    return filter(rowid, collection, key);
  }
};

}  // namespace

void Transaction::_enumerateKeysAndObjectsInCollection(std::string_view collection, const RowidKeyValueBlock& block,
                                                       const RowidKeyFilter& filter) {
  if (!block) return;
  const std::string coll(collection);
  enumerate(
      *this, &DizEvozidizConnectionInternal::enumerateKeysAndObjectsInCollectionStatement, &coll, Columns::Objects,
      KeyFilterAdapter{filter},
      [&](std::int64_t rowid, const std::string&, const std::string& key, const Value& object, const Value&,
          bool& stop) { block(rowid, key, object, stop); },
      "_enumerateKeysAndObjectsInCollection:usingBlock:withFilter:");
}

void Transaction::_enumerateKeysAndObjectsInCollections(const std::vector<std::string>& collections,
                                                        const RowidCollectionKeyValueBlock& block,
                                                        const RowidCollectionKeyFilter& filter) {
  if (!block) return;
  enumerateEach(
      *this, &DizEvozidizConnectionInternal::enumerateKeysAndObjectsInCollectionStatement, collections,
      Columns::Objects, CollectionKeyFilterAdapter{filter},
      [&](std::int64_t rowid, const std::string& collection, const std::string& key, const Value& object, const Value&,
          bool& stop) { block(rowid, collection, key, object, stop); },
      "_enumerateKeysAndObjectsInCollections:usingBlock:withFilter:");
}

void Transaction::_enumerateKeysAndObjectsInAllCollectionsUsingBlock(const RowidCollectionKeyValueBlock& block,
                                                                     const RowidCollectionKeyFilter& filter) {
  if (!block) return;
  enumerate(
      *this, &DizEvozidizConnectionInternal::enumerateKeysAndObjectsInAllCollectionsStatement, nullptr,
      Columns::Objects, CollectionKeyFilterAdapter{filter},
      [&](std::int64_t rowid, const std::string& collection, const std::string& key, const Value& object, const Value&,
          bool& stop) { block(rowid, collection, key, object, stop); },
      "_enumerateKeysAndObjectsInAllCollectionsUsingBlock:withFilter:");
}

void Transaction::_enumerateKeysAndMetadataInCollection(std::string_view collection, const RowidKeyValueBlock& block,
                                                        const RowidKeyFilter& filter) {
  if (!block) return;
  const std::string coll(collection);
  enumerate(
      *this, &DizEvozidizConnectionInternal::enumerateKeysAndMetadataInCollectionStatement, &coll, Columns::Metadata,
      KeyFilterAdapter{filter},
      [&](std::int64_t rowid, const std::string&, const std::string& key, const Value&, const Value& metadata,
          bool& stop) { block(rowid, key, metadata, stop); },
      "_enumerateKeysAndMetadataInCollection:usingBlock:withFilter:");
}

void Transaction::_enumerateKeysAndMetadataInCollections(const std::vector<std::string>& collections,
                                                         const RowidCollectionKeyValueBlock& block,
                                                         const RowidCollectionKeyFilter& filter) {
  if (!block) return;
  enumerateEach(
      *this, &DizEvozidizConnectionInternal::enumerateKeysAndMetadataInCollectionStatement, collections,
      Columns::Metadata, CollectionKeyFilterAdapter{filter},
      [&](std::int64_t rowid, const std::string& collection, const std::string& key, const Value&,
          const Value& metadata, bool& stop) { block(rowid, collection, key, metadata, stop); },
      "_enumerateKeysAndMetadataInCollections:usingBlock:withFilter:");
}

void Transaction::_enumerateKeysAndMetadataInAllCollectionsUsingBlock(const RowidCollectionKeyValueBlock& block,
                                                                      const RowidCollectionKeyFilter& filter) {
  if (!block) return;
  enumerate(
      *this, &DizEvozidizConnectionInternal::enumerateKeysAndMetadataInAllCollectionsStatement, nullptr,
      Columns::Metadata, CollectionKeyFilterAdapter{filter},
      [&](std::int64_t rowid, const std::string& collection, const std::string& key, const Value&,
          const Value& metadata, bool& stop) { block(rowid, collection, key, metadata, stop); },
      "_enumerateKeysAndMetadataInAllCollectionsUsingBlock:withFilter:");
}

void Transaction::_enumerateRowsInCollection(std::string_view collection, const RowidKeyRowBlock& block,
                                             const RowidKeyFilter& filter) {
  if (!block) return;
  const std::string coll(collection);
  enumerate(
      *this, &DizEvozidizConnectionInternal::enumerateRowsInCollectionStatement, &coll, Columns::Rows,
      KeyFilterAdapter{filter},
      [&](std::int64_t rowid, const std::string&, const std::string& key, const Value& object, const Value& metadata,
          bool& stop) { block(rowid, key, object, metadata, stop); },
      "_enumerateRowsInCollection:usingBlock:withFilter:");
}

void Transaction::_enumerateRowsInCollections(const std::vector<std::string>& collections,
                                              const RowidCollectionKeyRowBlock& block,
                                              const RowidCollectionKeyFilter& filter) {
  if (!block) return;
  enumerateEach(*this, &DizEvozidizConnectionInternal::enumerateRowsInCollectionStatement, collections, Columns::Rows,
                CollectionKeyFilterAdapter{filter}, block, "_enumerateRowsInCollections:usingBlock:withFilter:");
}

void Transaction::_enumerateRowsInAllCollectionsUsingBlock(const RowidCollectionKeyRowBlock& block,
                                                           const RowidCollectionKeyFilter& filter) {
  if (!block) return;
  enumerate(*this, &DizEvozidizConnectionInternal::enumerateRowsInAllCollectionsStatement, nullptr, Columns::Rows,
            CollectionKeyFilterAdapter{filter}, block, "_enumerateRowsInAllCollectionsUsingBlock:withFilter:");
}

// ---------------------------------------------------------------------------------------------
// Public forms

namespace {
// The caller's block behind an internal enumeration, whose blocks and filters take the rowid first.
template <class Block>
auto withoutRowid(const Block& block) {
  return
      [&block](std::int64_t, auto&&... rest) -> decltype(auto) { return block(std::forward<decltype(rest)>(rest)...); };
}
Transaction::RowidKeyFilter wrap(const Transaction::KeyFilter& filter) {
  if (!filter) return {};
  return withoutRowid(filter);
}
Transaction::RowidCollectionKeyFilter wrap(const Transaction::CollectionKeyFilter& filter) {
  if (!filter) return {};
  return withoutRowid(filter);
}
}  // namespace

void Transaction::enumerateKeysInCollection(std::string_view collection, const KeyBlock& block) {
  if (block) _enumerateKeysInCollection(collection, withoutRowid(block));
}

void Transaction::enumerateKeysInAllCollectionsUsingBlock(const CollectionKeyBlock& block) {
  if (block) _enumerateKeysInAllCollectionsUsingBlock(withoutRowid(block));
}

void Transaction::enumerateKeysAndObjectsInCollection(std::string_view collection, const KeyValueBlock& block,
                                                      const KeyFilter& filter) {
  if (block) _enumerateKeysAndObjectsInCollection(collection, withoutRowid(block), wrap(filter));
}

void Transaction::enumerateKeysAndObjectsInAllCollectionsUsingBlock(const CollectionKeyValueBlock& block,
                                                                    const CollectionKeyFilter& filter) {
  if (block) _enumerateKeysAndObjectsInAllCollectionsUsingBlock(withoutRowid(block), wrap(filter));
}

void Transaction::enumerateKeysAndMetadataInCollection(std::string_view collection, const KeyValueBlock& block,
                                                       const KeyFilter& filter) {
  if (block) _enumerateKeysAndMetadataInCollection(collection, withoutRowid(block), wrap(filter));
}

void Transaction::enumerateKeysAndMetadataInAllCollectionsUsingBlock(const CollectionKeyValueBlock& block,
                                                                     const CollectionKeyFilter& filter) {
  if (block) _enumerateKeysAndMetadataInAllCollectionsUsingBlock(withoutRowid(block), wrap(filter));
}

void Transaction::enumerateRowsInCollection(std::string_view collection, const KeyRowBlock& block,
                                            const KeyFilter& filter) {
  if (block) _enumerateRowsInCollection(collection, withoutRowid(block), wrap(filter));
}

void Transaction::enumerateRowsInAllCollectionsUsingBlock(const CollectionKeyRowBlock& block,
                                                          const CollectionKeyFilter& filter) {
  if (block) _enumerateRowsInAllCollectionsUsingBlock(withoutRowid(block), wrap(filter));
}

// ---------------------------------------------------------------------------------------------
// Key lists

namespace {

constexpr std::string_view kKeyListTail = R"( WHERE "collection" = ? AND "key" IN ()";

// Key -> every index it has in the caller's list (a repeated key is delivered under each).
using KeyIndexes = std::unordered_map<std::string_view, std::vector<std::uint64_t>>;

// Prepares the IN statement for `count` keys and binds the collection and the keys at `indexes`.
sqlite3_stmt* prepareKeyList(DizEvozidizConnectionInternal& c, std::string_view head, const std::string& collection,
                             const std::vector<std::string>& keys, const std::uint64_t* indexes, std::size_t count,
                             const char* name) {
  const std::string text = DizInListStatementText(head, kKeyListTail, count);
  sqlite3_stmt* statement = nullptr;
  const int status = sqlite3_prepare_v2(c.db, text.c_str(), static_cast<int>(text.size() + 1), &statement, nullptr);
  if (status != SQLITE_OK) {
    DIZ_TXN_LOG_ERROR("%@: Error creating '%@' statement: %d %s", name, status, sqlite3_errmsg(c.db));
    sqlite3_finalize(statement);
    return nullptr;
  }
  DizBindText(statement, 1, collection);
  for (std::size_t i = 0; i < count; ++i) DizBindText(statement, static_cast<int>(i + 2), keys[indexes[i]]);
  return statement;
}

// Cache pass, then SQL for the keys the caches could not answer. `fromCaches(ck, object,
// metadata)` answers a key from the caches; `fromRow(ck, statement, object, metadata)` reads a row.
// Failures name the statement (`name`) or the operation (`method`).
template <class FromCaches, class FromRow, class Block>
void enumerateKeyList(const Transaction& t, const std::vector<std::string>& keys, std::string_view collection,
                      std::string_view head, const char* name, const char* method, const FromCaches& fromCaches,
                      const FromRow& fromRow, const Block& block) {
  if (keys.empty()) return;
  DizEvozidizConnectionInternal& c = DizInternal(*t.connection());
  Pass p(c);
  const std::string coll(collection);
  std::vector<std::uint64_t> missing;
  Value object, metadata;
  for (std::uint64_t i = 0; i < keys.size(); ++i) {
    if (fromCaches(DizCollectionKey::make(coll, keys[i]), object, metadata)) {
      block(i, object, metadata, p.stop);
      if (p.over()) break;
    } else {
      missing.push_back(i);
    }
  }
  if (p.stop) return;
  if (p.mutated()) throw t.mutationDuringEnumerationException();

  const std::size_t chunk = DizInListChunkSize(c.db, 1);
  KeyIndexes indexes;
  for (std::size_t next = 0; next < missing.size();) {
    const std::size_t count = std::min(missing.size() - next, chunk);
    sqlite3_stmt* statement = prepareKeyList(c, head, coll, keys, missing.data() + next, count, name);
    if (!statement) return;
    indexes.clear();
    for (std::size_t i = 0; i < count; ++i) indexes[keys[missing[next + i]]].push_back(missing[next + i]);
    next += count;
    {
      DizStatementScope scope(statement, true);
      int status;
      while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
        auto found = indexes.find(DizColumnText(statement, 0));
        if (found == indexes.end()) continue;
        fromRow(DizCollectionKey::make(coll, found->first), statement, object, metadata);
        for (std::uint64_t index : found->second) {
          block(index, object, metadata, p.stop);
          if (p.over()) break;
        }
        indexes.erase(found);
        if (p.over()) break;
      }
      logStepFailure(p, status, method);
    }
    if (p.stop) return;
    if (p.mutated()) throw t.mutationDuringEnumerationException();
    // Keys without a row, in list order.
    std::vector<std::uint64_t> absent;
    for (const auto& entry : indexes) absent.insert(absent.end(), entry.second.begin(), entry.second.end());
    std::sort(absent.begin(), absent.end());
    const Value nil{};
    for (std::uint64_t index : absent) {
      block(index, nil, nil, p.stop);
      if (p.over()) break;
    }
    if (p.stop) return;
    if (p.mutated()) throw t.mutationDuringEnumerationException();
  }
}

}  // namespace

void Transaction::enumerateObjectsForKeys(const std::vector<std::string>& keys, std::string_view collection,
                                          const IndexValueBlock& block) {
  if (!block) return;
  DizEvozidizConnectionInternal& c = *connection_;
  enumerateKeyList(
      *this, keys, collection, R"(SELECT "key", "data" FROM "database2")", "objectsForKeys",
      "enumerateObjectsForKeys:inCollection:unorderedUsingBlock:",
      [&](const DizCollectionKeyPtr& ck, Value& object, Value&) {
        const Value* cached = c.objectCache ? c.objectCache->objectForKey(ck) : nullptr;
        if (cached) object = *cached;
        return cached != nullptr;
      },
      [&](const DizCollectionKeyPtr& ck, sqlite3_stmt* statement, Value& object, Value&) {
        object = objectOfRow(c, ck, statement, 1, false);
      },
      [&](std::uint64_t index, const Value& object, const Value&, bool& stop) { block(index, object, stop); });
}

void Transaction::enumerateMetadataForKeys(const std::vector<std::string>& keys, std::string_view collection,
                                           const IndexValueBlock& block) {
  if (!block) return;
  DizEvozidizConnectionInternal& c = *connection_;
  enumerateKeyList(
      *this, keys, collection, R"(SELECT "key", "metadata" FROM "database2")", "metadataForKeys",
      "enumerateMetadataForKeys:inCollection:unorderedUsingBlock:",
      [&](const DizCollectionKeyPtr& ck, Value&, Value& metadata) {
        const Value* cached = c.metadataCache ? c.metadataCache->objectForKey(ck) : nullptr;
        if (cached) metadata = DizMetadataFromCache(*cached);
        return cached != nullptr;
      },
      [&](const DizCollectionKeyPtr& ck, sqlite3_stmt* statement, Value&, Value& metadata) {
        metadata = metadataOfRow(c, ck, statement, 1, false);
      },
      [&](std::uint64_t index, const Value&, const Value& metadata, bool& stop) { block(index, metadata, stop); });
}

void Transaction::enumerateRowsForKeys(const std::vector<std::string>& keys, std::string_view collection,
                                       const IndexRowBlock& block) {
  if (!block) return;
  DizEvozidizConnectionInternal& c = *connection_;
  enumerateKeyList(
      *this, keys, collection, R"(SELECT "key", "data", "metadata" FROM "database2")", "objectsAndMetadataForKeys",
      "enumerateRowsForKeys:inCollection:unorderedUsingBlock:",
      [&](const DizCollectionKeyPtr& ck, Value& object, Value& metadata) {
        if (!c.objectCache || !c.metadataCache) return false;
        if (!c.objectCache->containsKey(ck) || !c.metadataCache->containsKey(ck)) return false;
        object = *c.objectCache->objectForKey(ck);
        metadata = DizMetadataFromCache(*c.metadataCache->objectForKey(ck));
        return true;
      },
      [&](const DizCollectionKeyPtr& ck, sqlite3_stmt* statement, Value& object, Value& metadata) {
        object = objectOfRow(c, ck, statement, 1, false);
        metadata = metadataOfRow(c, ck, statement, 2, false);
      },
      block);
}

void Transaction::_enumerateRowidsForKeys(const std::vector<std::string>& keys, std::string_view collection,
                                          const IndexRowidBlock& block) {
  if (!block || keys.empty()) return;
  if (keys.size() == 1) {
    std::int64_t rowid = 0;
    bool stop = false;
    if (getRowid(&rowid, keys[0], collection)) block(0, rowid, stop);
    return;
  }
  DizEvozidizConnectionInternal& c = *connection_;
  Pass p(c);
  const std::string coll(collection);
  const std::size_t chunk = DizInListChunkSize(c.db, 1);
  std::vector<std::uint64_t> positions(keys.size());
  for (std::uint64_t i = 0; i < keys.size(); ++i) positions[i] = i;
  KeyIndexes indexes;
  for (std::size_t next = 0; next < keys.size();) {
    const std::size_t count = std::min(keys.size() - next, chunk);
    sqlite3_stmt* statement = prepareKeyList(c, R"(SELECT "rowid", "key" FROM "database2")", coll, keys,
                                             positions.data() + next, count, "objectsForKeys");
    if (!statement) return;
    indexes.clear();
    for (std::size_t i = next; i < next + count; ++i) indexes[keys[i]].push_back(i);
    next += count;
    {
      DizStatementScope scope(statement, true);
      int status;
      while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
        auto found = indexes.find(DizColumnText(statement, 1));
        if (found == indexes.end()) continue;
        const std::int64_t rowid = sqlite3_column_int64(statement, 0);
        for (std::uint64_t index : found->second) {
          block(index, rowid, p.stop);
          if (p.over()) break;
        }
        indexes.erase(found);
        if (p.over()) break;
      }
      logStepFailure(p, status, "_enumerateRowidsForKeys:inCollection:unorderedUsingBlock:");
    }
    if (p.stop) return;
    if (p.mutated()) throw mutationDuringEnumerationException();
  }
}
