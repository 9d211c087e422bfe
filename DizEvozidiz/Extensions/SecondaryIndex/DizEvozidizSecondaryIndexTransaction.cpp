#include "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndexTransaction.h"

#include <algorithm>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizRowEnumeration.h"
#include "DizEvozidiz/DizEvozidizStatementInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"

using platform::Value;

namespace {

constexpr const char* kTransactionLogFile =
    "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndexTransaction.cpp";
#define DIZ_INDEX_LOG_ERROR(...) DIZ_LOG_IN(kDizLogFlagError, kTransactionLogFile, __VA_ARGS__)
#define DIZ_INDEX_LOG_WARN(...) DIZ_LOG_IN(kDizLogFlagWarning, kTransactionLogFile, __VA_ARGS__)

// What the row and count queries select.
constexpr std::string_view kRowidColumn = "\"rowid\"";
constexpr std::string_view kCountColumn = "COUNT(*) AS NumberOfRows";

// Numbers of a floating kind are bound as doubles, every other number as a 64-bit integer.
void bindNumber(sqlite3_stmt* s, int index, const Value& v) {
  if (v.isDouble())
    sqlite3_bind_double(s, index, v.asDouble());
  else
    sqlite3_bind_int64(s, index, v.asInt64());
}

const char* valueKindName(const Value& v) {
  switch (v.type()) {
    case Value::Type::String:
      return "NSString";
    case Value::Type::Data:
      return "NSData";
    case Value::Type::Date:
      return "NSDate";
    case Value::Type::Array:
      return "NSArray";
    case Value::Type::Dictionary:
      return "NSDictionary";
    case Value::Type::Set:
      return "NSSet";
    case Value::Type::Null:
      return "NSNull";
    case Value::Type::Object:
      return "NSObject";
    case Value::Type::Nil:
      return "nil";
    default:
      return "NSNumber";
  }
}

Value columnValue(sqlite3_stmt* s, int column, bool nullAsNullValue) {
  switch (sqlite3_column_type(s, column)) {
    case SQLITE_INTEGER:
      return Value(static_cast<std::int64_t>(sqlite3_column_int64(s, column)));
    case SQLITE_FLOAT:
      return Value(sqlite3_column_double(s, column));
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
      return Value(std::string(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(s, column))));
    }
    case SQLITE_BLOB:
      return Value::data(sqlite3_column_blob(s, column), static_cast<std::size_t>(sqlite3_column_bytes(s, column)));
    default:
      return nullAsNullValue ? Value::null() : Value();
  }
}

}  // namespace

DizEvozidizSecondaryIndexTransaction::DizEvozidizSecondaryIndexTransaction(
    DizEvozidizSecondaryIndexConnectionPtr connection, DizEvozidizReadTransaction* transaction)
    : DizEvozidizExtensionTransaction(connection, transaction), connection_(std::move(connection)) {}

DizEvozidizSecondaryIndexTransactionPtr DizEvozidizSecondaryIndexTransaction::make(
    DizEvozidizSecondaryIndexConnectionPtr connection, DizEvozidizReadTransaction* transaction) {
  return platform::make<DizEvozidizSecondaryIndexTransaction>(std::move(connection), transaction);
}

void DizEvozidizSecondaryIndexTransaction::noteFailure(const std::string& step) {
  if (auto* rw = databaseReadWriteTransaction())
    rw->noteFailedWrite("secondary index " + registeredName() + ": " + step);
}

void DizEvozidizSecondaryIndexTransaction::markMutated() {
  if (const auto& stack = connection_->mutationStack()) stack->markAsMutated();
}

bool DizEvozidizSecondaryIndexTransaction::isAllowed(const std::string& collection) const {
  const auto& allowed = index().options().allowedCollections;
  return !allowed || allowed->isAllowed(collection);
}

// ---- Creating ----

bool DizEvozidizSecondaryIndexTransaction::dropTable() {
  sqlite3* db = DizInternal(*databaseTransaction()->connection()).db;
  const std::string sql = "DROP TABLE IF EXISTS " + DizEvozidiz::quotedIdentifier(tableName()) + ";";
  const int status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  if (status != SQLITE_OK) {
    DIZ_INDEX_LOG_ERROR("%@: %@ - Failed dropping secondary index table (%@): %d %s", "dropTable", tableName(), status,
                        sqlite3_errmsg(db));
    return false;
  }
  return true;
}

bool DizEvozidizSecondaryIndexTransaction::createTable() {
  sqlite3* db = DizInternal(*databaseTransaction()->connection()).db;
  const std::string table = tableName();
  std::string sql =
      "CREATE TABLE IF NOT EXISTS " + DizEvozidiz::quotedIdentifier(table) + " (\"rowid\" INTEGER PRIMARY KEY";
  for (const auto& c : index().setup().columns())
    sql += ", " + DizEvozidiz::quotedIdentifier(c.name()) + " " + DizSecondaryIndexTypeToString(c.type());
  sql += ");";
  int status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  if (status != SQLITE_OK) {
    DIZ_INDEX_LOG_ERROR("%@: %@ - Failed creating secondary index table (%@): %d %s", "createTable", table, status,
                        sqlite3_errmsg(db));
    return false;
  }
  for (const auto& c : index().setup().columns()) {
    const std::string indexName = DizEvozidizSecondaryIndex::indexNameForColumn(table, c.name());
    sql = "CREATE INDEX IF NOT EXISTS " + DizEvozidiz::quotedIdentifier(indexName) + " ON " +
          DizEvozidiz::quotedIdentifier(table) + " (" + DizEvozidiz::quotedIdentifier(c.name()) + ");";
    status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    if (status != SQLITE_OK) {
      DIZ_INDEX_LOG_ERROR("%@: Failed creating index on '%@': %d %s", c.name(), status, sqlite3_errmsg(db));
      return false;
    }
  }
  return true;
}

bool DizEvozidizSecondaryIndexTransaction::createIfNeeded() {
  const std::string& tag = index().versionTag();
  std::int32_t classVersion = 0;
  const bool hasClassVersion = getIntValue(&classVersion, "classVersion", true);
  auto rebuild = [&] {
    if (hasClassVersion && !dropTable()) return false;
    return createTable() && populate();
  };
  if (!hasClassVersion || classVersion != DizEvozidizSecondaryIndex::kClassVersion) {
    if (!rebuild()) return false;
    setIntValue(DizEvozidizSecondaryIndex::kClassVersion, "classVersion", true);
    setStringValue(tag, "versionTag", true);
    return true;
  }
  std::optional<std::string> stored = stringValueForExtensionKey("versionTag", true);
  bool fromOldVersion = false;
  std::int32_t oldVersion = 0;
  if (!stored && getIntValue(&oldVersion, "version", true)) {
    stored = std::to_string(oldVersion);
    fromOldVersion = true;
  }
  if (stored != tag) {
    if (!rebuild()) return false;
    setStringValue(tag, "versionTag", true);
    if (fromOldVersion) removeValueForExtensionKey("version", true);
  } else if (fromOldVersion) {
    removeValueForExtensionKey("version", true);
    setStringValue(tag, "versionTag", true);
  }
  return true;
}

bool DizEvozidizSecondaryIndexTransaction::populate() {
  removeAllRowids();
  DizEvozidizReadTransaction& t = *databaseTransaction();
  const auto& handler = *index().handler();
  DizSecondaryIndexValues& values = connection_->blockDict();
  auto indexRow = [&](std::int64_t rowid, const std::string& c, const std::string& k, const Value& o, const Value& m) {
    handler.block()(t, values, c, k, o, m);
    if (!values.empty()) {
      addRowid(rowid, true);
      values.clear();
    }
  };
  DizEnumerateRowsForBlockType(t, handler.blockType(), index().options().allowedCollections.get(), nullptr, indexRow);
  return true;
}

void DizEvozidizSecondaryIndexTransaction::didCommitTransaction() { connection_->postCommitCleanup(); }
void DizEvozidizSecondaryIndexTransaction::didRollbackTransaction() { connection_->postRollbackCleanup(); }

// ---- Table writers ----

void DizEvozidizSecondaryIndexTransaction::addRowid(std::int64_t rowid, bool isNew) {
  sqlite3_stmt* s = isNew ? connection_->insertStatement() : connection_->updateStatement();
  if (!s) {
    noteFailure(isNew ? "insertStatement" : "updateStatement");
    return;
  }
  sqlite3_bind_int64(s, 1, rowid);
  const DizSecondaryIndexValues& values = connection_->blockDict();
  int position = 2;
  for (const auto& column : index().setup().columns()) {
    const int p = position++;
    auto it = values.find(column.name());
    if (it == values.end() || it->second.isNil() || it->second.isNull()) continue;
    const Value& v = it->second;
    switch (column.type()) {
      case DizSecondaryIndexTypeText:
        if (v.isString())
          sqlite3_bind_text(s, p, v.asString().data(), static_cast<int>(v.asString().size()), SQLITE_TRANSIENT);
        else
          DIZ_INDEX_LOG_WARN(
              "%@: Unable to bind value for column(name=%@, type=text) with unsupported class: %@."
              " Column requires NSString.",
              column.name(), std::string(valueKindName(v)));
        break;
      case DizSecondaryIndexTypeBlob:
        if (v.isData())
          sqlite3_bind_blob(s, p, v.asData().empty() ? "" : static_cast<const void*>(v.asData().data()),
                            static_cast<int>(v.asData().size()), SQLITE_STATIC);
        else
          DIZ_INDEX_LOG_WARN(
              "%@: Unable to bind value for column(name=%@, type=blob) with unsupported class: %@."
              " Column requires NSData.",
              column.name(), std::string(valueKindName(v)));
        break;
      default:
        if (v.isNumber())
          bindNumber(s, p, v);
        else if (v.isDate())
          sqlite3_bind_double(s, p, v.asDate().timeIntervalSinceReferenceDate());
        else
          DIZ_INDEX_LOG_WARN(
              "%@: Unable to bind value for column(name=%@, type=%@) with unsupported class: %@."
              " Column requires NSNumber or NSDate.",
              column.name(), std::string(DizSecondaryIndexTypeToString(column.type())), std::string(valueKindName(v)));
        break;
    }
  }
  const int status = sqlite3_step(s);
  if (status != SQLITE_DONE) {
    DIZ_INDEX_LOG_ERROR("%@: Error executing '%s': %d %s", isNew ? "insertStatement" : "updateStatement", status,
                        sqlite3_errmsg(DizInternal(*databaseTransaction()->connection()).db));
    noteFailure(isNew ? "insertStatement" : "updateStatement");
  }
  sqlite3_clear_bindings(s);
  sqlite3_reset(s);
  markMutated();
}

void DizEvozidizSecondaryIndexTransaction::removeRowid(std::int64_t rowid) {
  sqlite3_stmt* s = connection_->removeStatement();
  if (!s) return noteFailure("removeStatement");
  sqlite3_bind_int64(s, 1, rowid);
  const int status = sqlite3_step(s);
  if (status != SQLITE_DONE) {
    DIZ_INDEX_LOG_ERROR("%@: Error executing 'removeStatement': %d %s", status,
                        sqlite3_errmsg(DizInternal(*databaseTransaction()->connection()).db));
    noteFailure("removeStatement");
  }
  sqlite3_clear_bindings(s);
  sqlite3_reset(s);
  markMutated();
}

void DizEvozidizSecondaryIndexTransaction::removeRowids(const std::vector<std::int64_t>& rowids) {
  if (rowids.empty()) return;
  if (rowids.size() == 1) return removeRowid(rowids.front());
  sqlite3* db = DizInternal(*databaseTransaction()->connection()).db;
  const std::size_t limit = static_cast<std::size_t>(std::max(1, sqlite3_limit(db, SQLITE_LIMIT_VARIABLE_NUMBER, -1)));
  for (std::size_t start = 0; start < rowids.size(); start += limit) {
    const std::size_t n = std::min(limit, rowids.size() - start);
    std::string sql;
    sql.reserve(n * 3 + 50);
    sql = "DELETE FROM " + DizEvozidiz::quotedIdentifier(tableName()) + " WHERE \"rowid\" IN (?";
    for (std::size_t i = 1; i < n; ++i) sql += ", ?";
    sql += ");";
    sqlite3_stmt* s = nullptr;
    int status = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size() + 1), &s, nullptr);
    if (status != SQLITE_OK) {
      DIZ_INDEX_LOG_ERROR("%@: Error creating 'removeRowids' statement: %d %s", status, sqlite3_errmsg(db));
      sqlite3_finalize(s);
      return noteFailure("removeRowids");
    }
    for (std::size_t i = 0; i < n; ++i) sqlite3_bind_int64(s, static_cast<int>(i + 1), rowids[start + i]);
    status = sqlite3_step(s);
    if (status != SQLITE_DONE) {
      DIZ_INDEX_LOG_ERROR("%@: Error executing 'removeRowids' statement: %d %s", status, sqlite3_errmsg(db));
      noteFailure("removeRowids");
    }
    sqlite3_finalize(s);
    markMutated();
  }
}

void DizEvozidizSecondaryIndexTransaction::removeAllRowids() {
  sqlite3_stmt* s = connection_->removeAllStatement();
  if (!s) return noteFailure("removeAllStatement");
  const int status = sqlite3_step(s);
  if (status != SQLITE_DONE) {
    DIZ_INDEX_LOG_ERROR("%@: %@ (%@): Error in removeAllStatement: %d %s", "removeAllRowids", registeredName(), status,
                        sqlite3_errmsg(DizInternal(*databaseTransaction()->connection()).db));
    noteFailure("removeAllStatement");
  }
  sqlite3_reset(s);
  markMutated();
}

// ---- Row hooks ----

void DizEvozidizSecondaryIndexTransaction::handleChange(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey,
                                                        const Value& object, const Value& metadata, bool isInsert) {
  if (!isAllowed(collectionKey->collection())) return;
  DizSecondaryIndexValues& values = connection_->blockDict();
  values.clear();
  index().handler()->block()(*databaseTransaction(), values, collectionKey->collection(), collectionKey->key(), object,
                             metadata);
  if (!values.empty()) {
    addRowid(rowid, isInsert);
    values.clear();
  } else if (!isInsert) {
    removeRowid(rowid);  // the row no longer qualifies
  }
}

void DizEvozidizSecondaryIndexTransaction::handleChangeFetching(std::int64_t rowid,
                                                                const DizCollectionKeyPtr& collectionKey,
                                                                std::uint64_t invokeMask, const Value* object,
                                                                const Value* metadata) {
  const auto& handler = *index().handler();
  if (!(handler.blockInvokeOptions() & invokeMask)) return;
  if (!isAllowed(collectionKey->collection())) return;
  DizEvozidizReadTransaction& t = *databaseTransaction();
  const Value o = object ? *object : handler.needsObject() ? t.objectForCollectionKey(collectionKey, rowid) : Value();
  const Value m = metadata                  ? *metadata
                  : handler.needsMetadata() ? t.metadataForCollectionKey(collectionKey, rowid)
                                            : Value();
  handleChange(rowid, collectionKey, o, m, false);
}

void DizEvozidizSecondaryIndexTransaction::handleInsertObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                              const Value& metadata, std::int64_t rowid) {
  handleChange(rowid, ck, object, metadata, true);
}

void DizEvozidizSecondaryIndexTransaction::handleUpdateObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                              const Value& metadata, std::int64_t rowid) {
  handleChangeFetching(rowid, ck, DizBlockInvokeOnObjectModified | DizBlockInvokeOnMetadataModified, &object,
                       &metadata);
}

void DizEvozidizSecondaryIndexTransaction::handleReplaceObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                               std::int64_t rowid) {
  handleChangeFetching(rowid, ck, DizBlockInvokeOnObjectModified, &object, nullptr);
}

void DizEvozidizSecondaryIndexTransaction::handleReplaceMetadata(const Value& metadata, const DizCollectionKeyPtr& ck,
                                                                 std::int64_t rowid) {
  handleChangeFetching(rowid, ck, DizBlockInvokeOnMetadataModified, nullptr, &metadata);
}

void DizEvozidizSecondaryIndexTransaction::handleTouchObjectForCollectionKey(const DizCollectionKeyPtr& ck,
                                                                             std::int64_t rowid) {
  handleChangeFetching(rowid, ck, DizBlockInvokeOnObjectTouched, nullptr, nullptr);
}

void DizEvozidizSecondaryIndexTransaction::handleTouchMetadataForCollectionKey(const DizCollectionKeyPtr& ck,
                                                                               std::int64_t rowid) {
  handleChangeFetching(rowid, ck, DizBlockInvokeOnMetadataTouched, nullptr, nullptr);
}

void DizEvozidizSecondaryIndexTransaction::handleTouchRowForCollectionKey(const DizCollectionKeyPtr& ck,
                                                                          std::int64_t rowid) {
  handleChangeFetching(rowid, ck, DizBlockInvokeOnObjectTouched | DizBlockInvokeOnMetadataTouched, nullptr, nullptr);
}

void DizEvozidizSecondaryIndexTransaction::handleRemoveObjectForCollectionKey(const DizCollectionKeyPtr& ck,
                                                                              std::int64_t rowid) {
  if (isAllowed(ck->collection())) removeRowid(rowid);
}

void DizEvozidizSecondaryIndexTransaction::handleRemoveObjectsForKeys(const std::vector<std::string>&,
                                                                      const std::string& collection,
                                                                      const std::vector<std::int64_t>& rowids) {
  if (isAllowed(collection)) removeRowids(rowids);
}

void DizEvozidizSecondaryIndexTransaction::handleRemoveAllObjectsInAllCollections() { removeAllRowids(); }

// ---- Queries ----

platform::Exception DizEvozidizSecondaryIndexTransaction::mutationDuringEnumerationException() const {
  std::string reason =
      platform::format("SecondaryIndex <RegisteredName=%@> was mutated while being enumerated.", registeredName());
  Value userInfo = Value::dictionary(
      {{std::string(platform::kLocalizedRecoverySuggestionErrorKey),
        "In general, you cannot modify the database while enumerating it. This is similar in concept to an "
        "NSMutableArray. If you only need to make a single modification, you may do so but you MUST set the 'stop' "
        "parameter of the enumeration block to YES (*stop = YES;) immediately after making the modification."}});
  return platform::Exception(std::string(DizEvozidizExceptionName), std::move(reason), std::move(userInfo));
}

template <class Body>
bool DizEvozidizSecondaryIndexTransaction::withQueryStatement(std::string_view columns, const DizEvozidizQuery& query,
                                                              const char* caller, Body&& body) {
  sqlite3* db = DizInternal(*databaseTransaction()->connection()).db;
  auto statement = connection_->queryStatement(columns, query.queryString());
  if (!statement) {
    DIZ_INDEX_LOG_ERROR("%@: %@: Error creating query:\n query: '%@'\n error: %d %s", caller,
                        connection_->querySql(columns, query.queryString()), sqlite3_errcode(db), sqlite3_errmsg(db));
    return false;
  }
  sqlite3_stmt* s = statement->stmt();
  const auto& parameters = query.queryParameters();
  if (static_cast<int>(parameters.size()) != sqlite3_bind_parameter_count(s)) {
    // Binding would leave placeholders unbound or write past the last one: no query at all.
    DIZ_INDEX_LOG_ERROR("%@: %@: Query has %lu parameters for %d placeholders; not run:\n query: '%@'", caller,
                        static_cast<unsigned long>(parameters.size()), sqlite3_bind_parameter_count(s),
                        connection_->querySql(columns, query.queryString()));
    return false;
  }
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    const Value& v = parameters[i];
    const int p = static_cast<int>(i + 1);
    if (v.isNumber())
      bindNumber(s, p, v);
    else if (v.isDate())
      sqlite3_bind_double(s, p, v.asDate().timeIntervalSinceReferenceDate());
    else if (v.isString())
      sqlite3_bind_text(s, p, v.asString().data(), static_cast<int>(v.asString().size()), SQLITE_TRANSIENT);
    else if (!v.isNull())
      DIZ_INDEX_LOG_WARN("%@: Unable to bind value for with unsupported class: %@", std::string(valueKindName(v)));
  }
  // Reset even when the body throws (a mutation during enumeration).
  struct Reset {
    sqlite3_stmt* s;
    ~Reset() {
      sqlite3_clear_bindings(s);
      sqlite3_reset(s);
    }
  } reset{s};
  body(s);
  return true;
}

template <class Row>
bool DizEvozidizSecondaryIndexTransaction::enumerateStepping(std::string_view columns, const DizEvozidizQuery& query,
                                                             const char* caller, Row&& row) {
  sqlite3* db = DizInternal(*databaseTransaction()->connection()).db;
  // Only a read-write transaction writes, so only its enumerations can see the index change under
  // them; a read transaction's enumeration needs no item on the stack.
  const auto& stack = connection_->mutationStack();
  auto item = stack && databaseReadWriteTransaction() ? stack->push() : nullptr;
  bool stop = false, mutated = false, done = false;
  const bool ran = withQueryStatement(columns, query, caller, [&](sqlite3_stmt* s) {
    int status;
    while ((status = sqlite3_step(s)) == SQLITE_ROW) {
      row(s, stop);
      mutated = item && item->isMutated();
      if (stop || mutated) break;
    }
    done = status == SQLITE_DONE;
    if (!done && !stop && !mutated)
      DIZ_INDEX_LOG_ERROR("%@: %@ - sqlite_step error: %d %s", caller, status, sqlite3_errmsg(db));
  });
  if (ran && mutated && !stop) throw mutationDuringEnumerationException();
  return ran && done;
}

bool DizEvozidizSecondaryIndexTransaction::enumerateRowidsMatchingQuery(const DizEvozidizQueryPtr& query,
                                                                        const RowidBlock& block) {
  if (!query || query->isAggregateQuery()) return false;
  return enumerateStepping(kRowidColumn, *query, "enumerateRowidsMatchingQuery", [&](sqlite3_stmt* s, bool& stop) {
    if (!block) {
      stop = true;
      return;
    }
    block(sqlite3_column_int64(s, 0), stop);
  });
}

bool DizEvozidizSecondaryIndexTransaction::enumerateKeysMatchingQuery(const DizEvozidizQueryPtr& query,
                                                                      const KeyBlock& block) {
  DizEvozidizReadTransaction& t = *databaseTransaction();
  return enumerateRowidsMatchingQuery(query, [&](std::int64_t rowid, bool& stop) {
    if (!block) return void(stop = true);
    if (auto ck = t.collectionKeyForRowid(rowid)) block(ck->collection(), ck->key(), stop);
  });
}

bool DizEvozidizSecondaryIndexTransaction::enumerateKeysAndMetadataMatchingQuery(const DizEvozidizQueryPtr& query,
                                                                                 const ValueBlock& block) {
  DizEvozidizReadTransaction& t = *databaseTransaction();
  return enumerateRowidsMatchingQuery(query, [&](std::int64_t rowid, bool& stop) {
    if (!block) return void(stop = true);
    DizCollectionKeyPtr ck;
    Value metadata;
    if (t.getCollectionKeyMetadata(&ck, &metadata, rowid)) block(ck->collection(), ck->key(), metadata, stop);
  });
}

bool DizEvozidizSecondaryIndexTransaction::enumerateKeysAndObjectsMatchingQuery(const DizEvozidizQueryPtr& query,
                                                                                const ValueBlock& block) {
  DizEvozidizReadTransaction& t = *databaseTransaction();
  return enumerateRowidsMatchingQuery(query, [&](std::int64_t rowid, bool& stop) {
    if (!block) return void(stop = true);
    DizCollectionKeyPtr ck;
    Value object;
    if (t.getCollectionKeyObject(&ck, &object, rowid)) block(ck->collection(), ck->key(), object, stop);
  });
}

bool DizEvozidizSecondaryIndexTransaction::enumerateRowsMatchingQuery(const DizEvozidizQueryPtr& query,
                                                                      const RowBlock& block) {
  DizEvozidizReadTransaction& t = *databaseTransaction();
  return enumerateRowidsMatchingQuery(query, [&](std::int64_t rowid, bool& stop) {
    if (!block) return void(stop = true);
    DizCollectionKeyPtr ck;
    Value object, metadata;
    if (t.getCollectionKey(&ck, &object, &metadata, rowid)) block(ck->collection(), ck->key(), object, metadata, stop);
  });
}

bool DizEvozidizSecondaryIndexTransaction::enumerateIndexedValuesInColumn(const std::string& column,
                                                                          const DizEvozidizQueryPtr& query,
                                                                          const IndexedValueBlock& block) {
  if (column.empty() || !query || query->isAggregateQuery()) return false;
  const std::string columns = DizEvozidiz::quotedIdentifier(column) + " AS IndexedValue";
  return enumerateStepping(columns, *query, "enumerateIndexedValuesInColumn", [&](sqlite3_stmt* s, bool& stop) {
    if (!block) return void(stop = true);
    block(columnValue(s, 0, false), stop);
  });
}

bool DizEvozidizSecondaryIndexTransaction::getNumberOfRows(std::uint64_t* count, const DizEvozidizQueryPtr& query) {
  if (count) *count = 0;
  if (!query) return false;
  sqlite3* db = DizInternal(*databaseTransaction()->connection()).db;
  bool answered = false;
  const bool ran = withQueryStatement(kCountColumn, *query, "getNumberOfRows:matchingQuery:", [&](sqlite3_stmt* s) {
    const int status = sqlite3_step(s);
    if (status == SQLITE_ROW) {
      if (count) *count = static_cast<std::uint64_t>(sqlite3_column_int64(s, 0));
      answered = true;
    } else {
      // COUNT always yields a row: anything else is a failure, never a count of 0.
      DIZ_INDEX_LOG_ERROR("%@: %@ - sqlite_step error: %d %s", "getNumberOfRows:matchingQuery:", status,
                          sqlite3_errmsg(db));
    }
  });
  return ran && answered;
}

Value DizEvozidizSecondaryIndexTransaction::performAggregateQuery(const DizEvozidizQueryPtr& query) {
  if (!query || !query->isAggregateQuery()) return Value();
  const std::string columns = *query->aggregateFunction() + " AS Result";
  sqlite3* db = DizInternal(*databaseTransaction()->connection()).db;
  Value result;
  withQueryStatement(columns, *query, "performAggregateQuery:", [&](sqlite3_stmt* s) {
    const int status = sqlite3_step(s);
    if (status == SQLITE_ROW)
      result = columnValue(s, 0, true);
    else
      DIZ_INDEX_LOG_ERROR("%@: %@ - sqlite_step error: %d %s", "performAggregateQuery:", status, sqlite3_errmsg(db));
  });
  return result;
}

std::unordered_map<std::string, std::int64_t> DizEvozidizSecondaryIndexTransaction::rowidsForKeys(
    const std::vector<std::string>& keys, const std::string& collection) {
  std::unordered_map<std::string, std::int64_t> found;
  databaseTransaction()->_enumerateRowidsForKeys(
      keys, collection, [&](std::uint64_t i, std::int64_t rowid, bool&) { found.emplace(keys[i], rowid); });
  return found;
}
