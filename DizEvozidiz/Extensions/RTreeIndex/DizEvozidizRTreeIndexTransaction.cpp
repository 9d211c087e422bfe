#include "DizEvozidiz/Extensions/RTreeIndex/DizEvozidizRTreeIndexTransaction.h"

#include <algorithm>
#include <cmath>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizRowEnumeration.h"
#include "DizEvozidiz/DizEvozidizStatementInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"

using platform::Value;

namespace {

constexpr const char* kTransactionLogFile = "DizEvozidiz/Extensions/RTreeIndex/DizEvozidizRTreeIndexTransaction.cpp";
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

}  // namespace

DizEvozidizRTreeIndexTransaction::DizEvozidizRTreeIndexTransaction(DizEvozidizRTreeIndexConnectionPtr connection,
                                                                   DizEvozidizReadTransaction* transaction)
    : DizEvozidizExtensionTransaction(connection, transaction), connection_(std::move(connection)) {}

DizEvozidizRTreeIndexTransactionPtr DizEvozidizRTreeIndexTransaction::make(
    DizEvozidizRTreeIndexConnectionPtr connection, DizEvozidizReadTransaction* transaction) {
  return platform::make<DizEvozidizRTreeIndexTransaction>(std::move(connection), transaction);
}

void DizEvozidizRTreeIndexTransaction::noteFailure(const std::string& step) {
  if (auto* rw = databaseReadWriteTransaction()) rw->noteFailedWrite("rtree index " + registeredName() + ": " + step);
}

void DizEvozidizRTreeIndexTransaction::markMutated() {
  if (const auto& stack = connection_->mutationStack()) stack->markAsMutated();
}

bool DizEvozidizRTreeIndexTransaction::isAllowed(const std::string& collection) const {
  const auto& allowed = index().options().allowedCollections;
  return !allowed || allowed->isAllowed(collection);
}

// ---- Creating ----

bool DizEvozidizRTreeIndexTransaction::dropTable() {
  sqlite3* db = DizInternal(*databaseTransaction()->connection()).db;
  const std::string sql = "DROP TABLE IF EXISTS " + DizEvozidiz::quotedIdentifier(tableName()) + ";";
  const int status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  if (status != SQLITE_OK) {
    DIZ_INDEX_LOG_ERROR("%@: %@ - Failed dropping rtree index table (%@): %d %s", "dropTable", tableName(), status,
                        sqlite3_errmsg(db));
    return false;
  }
  return true;
}

bool DizEvozidizRTreeIndexTransaction::createTable() {
  sqlite3* db = DizInternal(*databaseTransaction()->connection()).db;
  const std::string table = tableName();
  std::string sql = "CREATE VIRTUAL TABLE IF NOT EXISTS " + DizEvozidiz::quotedIdentifier(table) +
                    " USING rtree(\"rowid\" INTEGER PRIMARY KEY";
  for (const auto& name : index().setup()) sql += ", " + DizEvozidiz::quotedIdentifier(name) + " REAL";
  sql += ");";
  const int status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  if (status != SQLITE_OK) {
    DIZ_INDEX_LOG_ERROR("%@: %@ - Failed creating rtree index table (%@): %d %s", "createTable", table, status,
                        sqlite3_errmsg(db));
    return false;
  }
  return true;
}

bool DizEvozidizRTreeIndexTransaction::createIfNeeded() {
  const std::string& tag = index().versionTag();
  std::int32_t classVersion = 0;
  const bool hasClassVersion = getIntValue(&classVersion, "classVersion", true);
  auto rebuild = [&] {
    if (hasClassVersion && !dropTable()) return false;
    return createTable() && populate();
  };
  if (!hasClassVersion || classVersion != DizEvozidizRTreeIndex::kClassVersion) {
    if (!rebuild()) return false;
    setIntValue(DizEvozidizRTreeIndex::kClassVersion, "classVersion", true);
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

bool DizEvozidizRTreeIndexTransaction::populate() {
  removeAllRowids();
  DizEvozidizReadTransaction& t = *databaseTransaction();
  const auto& handler = *index().handler();
  DizRTreeIndexValues& values = connection_->blockDict();
  auto indexRow = [&](std::int64_t rowid, const std::string& c, const std::string& k, const Value& o, const Value& m) {
    handler.block()(t, values, c, k, o, m);
    if (hasAnyValue()) addRowid(rowid, true);
    values.clear();
  };
  DizEnumerateRowsForBlockType(t, handler.blockType(), index().options().allowedCollections.get(), nullptr, indexRow);
  return true;
}

void DizEvozidizRTreeIndexTransaction::didCommitTransaction() { connection_->postCommitCleanup(); }
void DizEvozidizRTreeIndexTransaction::didRollbackTransaction() { connection_->postRollbackCleanup(); }

// ---- Table writers ----

void DizEvozidizRTreeIndexTransaction::addRowid(std::int64_t rowid, bool isNew) {
  sqlite3_stmt* s = isNew ? connection_->insertStatement() : connection_->updateStatement();
  if (!s) {
    noteFailure(isNew ? "insertStatement" : "updateStatement");
    return;
  }
  sqlite3_bind_int64(s, 1, rowid);
  const DizRTreeIndexValues& values = connection_->blockDict();
  int position = 2;
  double previous = 0;
  for (const auto& name : index().setup()) {
    const int p = position++;
    auto it = values.find(name);
    if (it == values.end() || it->second.isNil() || it->second.isNull()) {
      DIZ_INDEX_LOG_WARN("%@: Unable to find value for column(name=%@, type=real). Column required.", name);
      sqlite3_clear_bindings(s);
      return;
    }
    const Value& v = it->second;
    if (!v.isNumber()) {
      DIZ_INDEX_LOG_WARN(
          "%@: Unable to bind value for column(name=%@, type=real) with unsupported class: %@."
          " Column requires NSNumber.",
          name, std::string(valueKindName(v)));
      sqlite3_clear_bindings(s);
      return;
    }
    const double number = v.asDouble();
    // The R-tree refuses a minimum above its maximum (and NaN) with a constraint error; that is the
    // row's data, not a failing database, so the row stays out like any other unusable box instead
    // of failing the whole transaction.
    const bool isMaximum = (p - 2) % 2 == 1;
    if (std::isnan(number) || (isMaximum && number < previous)) {
      DIZ_INDEX_LOG_WARN(
          "%@: Invalid value for column(name=%@, type=real): the minimum exceeds the maximum or "
          "the value is not a number. Row not indexed.",
          name);
      sqlite3_clear_bindings(s);
      return;
    }
    previous = number;
    sqlite3_bind_double(s, p, number);
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

void DizEvozidizRTreeIndexTransaction::removeRowid(std::int64_t rowid) {
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

void DizEvozidizRTreeIndexTransaction::removeRowids(const std::vector<std::int64_t>& rowids) {
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

void DizEvozidizRTreeIndexTransaction::removeAllRowids() {
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

bool DizEvozidizRTreeIndexTransaction::hasAnyValue() const {
  const DizRTreeIndexValues& values = connection_->blockDict();
  return std::any_of(values.begin(), values.end(),
                     [](const auto& entry) { return !entry.second.isNil() && !entry.second.isNull(); });
}

void DizEvozidizRTreeIndexTransaction::handleChange(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey,
                                                    const Value& object, const Value& metadata, bool isInsert) {
  if (!isAllowed(collectionKey->collection())) return;
  DizRTreeIndexValues& values = connection_->blockDict();
  values.clear();
  index().handler()->block()(*databaseTransaction(), values, collectionKey->collection(), collectionKey->key(), object,
                             metadata);
  if (hasAnyValue()) {
    addRowid(rowid, false);  // INSERT OR REPLACE, for inserted rows too
  } else if (!isInsert) {
    removeRowid(rowid);  // the row no longer has a box: its old one must not answer queries
  }
  values.clear();
}

void DizEvozidizRTreeIndexTransaction::handleChangeFetching(std::int64_t rowid,
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

void DizEvozidizRTreeIndexTransaction::handleInsertObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                          const Value& metadata, std::int64_t rowid) {
  handleChange(rowid, ck, object, metadata, true);
}

void DizEvozidizRTreeIndexTransaction::handleUpdateObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                          const Value& metadata, std::int64_t rowid) {
  handleChangeFetching(rowid, ck, DizBlockInvokeOnObjectModified | DizBlockInvokeOnMetadataModified, &object,
                       &metadata);
}

void DizEvozidizRTreeIndexTransaction::handleReplaceObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                           std::int64_t rowid) {
  handleChangeFetching(rowid, ck, DizBlockInvokeOnObjectModified, &object, nullptr);
}

void DizEvozidizRTreeIndexTransaction::handleReplaceMetadata(const Value& metadata, const DizCollectionKeyPtr& ck,
                                                             std::int64_t rowid) {
  handleChangeFetching(rowid, ck, DizBlockInvokeOnMetadataModified, nullptr, &metadata);
}

void DizEvozidizRTreeIndexTransaction::handleTouchObjectForCollectionKey(const DizCollectionKeyPtr& ck,
                                                                         std::int64_t rowid) {
  handleChangeFetching(rowid, ck, DizBlockInvokeOnObjectTouched, nullptr, nullptr);
}

void DizEvozidizRTreeIndexTransaction::handleTouchMetadataForCollectionKey(const DizCollectionKeyPtr& ck,
                                                                           std::int64_t rowid) {
  handleChangeFetching(rowid, ck, DizBlockInvokeOnMetadataTouched, nullptr, nullptr);
}

void DizEvozidizRTreeIndexTransaction::handleTouchRowForCollectionKey(const DizCollectionKeyPtr& ck,
                                                                      std::int64_t rowid) {
  handleChangeFetching(rowid, ck, DizBlockInvokeOnObjectTouched | DizBlockInvokeOnMetadataTouched, nullptr, nullptr);
}

void DizEvozidizRTreeIndexTransaction::handleRemoveObjectForCollectionKey(const DizCollectionKeyPtr& ck,
                                                                          std::int64_t rowid) {
  if (isAllowed(ck->collection())) removeRowid(rowid);
}

void DizEvozidizRTreeIndexTransaction::handleRemoveObjectsForKeys(const std::vector<std::string>&,
                                                                  const std::string& collection,
                                                                  const std::vector<std::int64_t>& rowids) {
  if (isAllowed(collection)) removeRowids(rowids);
}

void DizEvozidizRTreeIndexTransaction::handleRemoveAllObjectsInAllCollections() { removeAllRowids(); }

// ---- Queries ----

platform::Exception DizEvozidizRTreeIndexTransaction::mutationDuringEnumerationException() const {
  std::string reason =
      platform::format("RTreeIndex <RegisteredName=%@> was mutated while being enumerated.", registeredName());
  Value userInfo = Value::dictionary(
      {{std::string(platform::kLocalizedRecoverySuggestionErrorKey),
        "In general, you cannot modify the database while enumerating it. This is similar in concept to an "
        "NSMutableArray. If you only need to make a single modification, you may do so but you MUST set the 'stop' "
        "parameter of the enumeration block to YES (*stop = YES;) immediately after making the modification."}});
  return platform::Exception(std::string(DizEvozidizExceptionName), std::move(reason), std::move(userInfo));
}

template <class Body>
bool DizEvozidizRTreeIndexTransaction::withQueryStatement(std::string_view columns, const DizEvozidizQuery& query,
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
bool DizEvozidizRTreeIndexTransaction::enumerateStepping(std::string_view columns, const DizEvozidizQuery& query,
                                                         const char* caller, Row&& row) {
  sqlite3* db = DizInternal(*databaseTransaction()->connection()).db;
  // Only a read-write transaction writes, so only its enumerations can see the index change under
  // them; a read transaction's enumeration needs no item on the stack.
  const auto& stack = connection_->mutationStack();
  auto item = stack && databaseReadWriteTransaction() ? stack->push() : nullptr;
  bool stop = false, mutated = false, done = false;
  if (!item) {
    const bool ran = withQueryStatement(columns, query, caller, [&](sqlite3_stmt* s) {
      int status;
      while ((status = sqlite3_step(s)) == SQLITE_ROW) {
        row(sqlite3_column_int64(s, 0), stop);
        if (stop) break;
      }
      done = status == SQLITE_DONE;
      if (!done && !stop) DIZ_INDEX_LOG_ERROR("%@: %@ - sqlite_step error: %d %s", caller, status, sqlite3_errmsg(db));
    });
    return ran && done;
  }
  // SQLite refuses to write an R-tree while one of its cursors is open, so a block that writes (as
  // it may, when it then sets stop) would fail its write: in a read-write transaction the matching
  // rowids are read first and the blocks run with the statement reset.
  std::vector<std::int64_t> rowids;
  const bool ran = withQueryStatement(columns, query, caller, [&](sqlite3_stmt* s) {
    int status;
    while ((status = sqlite3_step(s)) == SQLITE_ROW) rowids.push_back(sqlite3_column_int64(s, 0));
    done = status == SQLITE_DONE;
    if (!done) DIZ_INDEX_LOG_ERROR("%@: %@ - sqlite_step error: %d %s", caller, status, sqlite3_errmsg(db));
  });
  if (!ran || !done) return false;
  for (std::int64_t rowid : rowids) {
    row(rowid, stop);
    mutated = item->isMutated();
    if (stop || mutated) break;
  }
  done = !stop && !mutated;
  if (ran && mutated && !stop) throw mutationDuringEnumerationException();
  return done;
}

bool DizEvozidizRTreeIndexTransaction::enumerateRowidsMatchingQuery(const DizEvozidizQueryPtr& query,
                                                                    const RowidBlock& block) {
  if (!query || query->isAggregateQuery()) return false;
  return enumerateStepping(kRowidColumn, *query, "enumerateRowidsMatchingQuery", [&](std::int64_t rowid, bool& stop) {
    if (!block) {
      stop = true;
      return;
    }
    block(rowid, stop);
  });
}

bool DizEvozidizRTreeIndexTransaction::enumerateKeysMatchingQuery(const DizEvozidizQueryPtr& query,
                                                                  const KeyBlock& block) {
  DizEvozidizReadTransaction& t = *databaseTransaction();
  return enumerateRowidsMatchingQuery(query, [&](std::int64_t rowid, bool& stop) {
    if (!block) return void(stop = true);
    if (auto ck = t.collectionKeyForRowid(rowid)) block(ck->collection(), ck->key(), stop);
  });
}

bool DizEvozidizRTreeIndexTransaction::enumerateKeysAndMetadataMatchingQuery(const DizEvozidizQueryPtr& query,
                                                                             const ValueBlock& block) {
  DizEvozidizReadTransaction& t = *databaseTransaction();
  return enumerateRowidsMatchingQuery(query, [&](std::int64_t rowid, bool& stop) {
    if (!block) return void(stop = true);
    DizCollectionKeyPtr ck;
    Value metadata;
    if (t.getCollectionKeyMetadata(&ck, &metadata, rowid)) block(ck->collection(), ck->key(), metadata, stop);
  });
}

bool DizEvozidizRTreeIndexTransaction::enumerateKeysAndObjectsMatchingQuery(const DizEvozidizQueryPtr& query,
                                                                            const ValueBlock& block) {
  DizEvozidizReadTransaction& t = *databaseTransaction();
  return enumerateRowidsMatchingQuery(query, [&](std::int64_t rowid, bool& stop) {
    if (!block) return void(stop = true);
    DizCollectionKeyPtr ck;
    Value object;
    if (t.getCollectionKeyObject(&ck, &object, rowid)) block(ck->collection(), ck->key(), object, stop);
  });
}

bool DizEvozidizRTreeIndexTransaction::enumerateRowsMatchingQuery(const DizEvozidizQueryPtr& query,
                                                                  const RowBlock& block) {
  DizEvozidizReadTransaction& t = *databaseTransaction();
  return enumerateRowidsMatchingQuery(query, [&](std::int64_t rowid, bool& stop) {
    if (!block) return void(stop = true);
    DizCollectionKeyPtr ck;
    Value object, metadata;
    if (t.getCollectionKey(&ck, &object, &metadata, rowid)) block(ck->collection(), ck->key(), object, metadata, stop);
  });
}

bool DizEvozidizRTreeIndexTransaction::getNumberOfRows(std::uint64_t* count, const DizEvozidizQueryPtr& query) {
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

std::unordered_map<std::string, std::int64_t> DizEvozidizRTreeIndexTransaction::rowidsForKeys(
    const std::vector<std::string>& keys, const std::string& collection) {
  std::unordered_map<std::string, std::int64_t> found;
  databaseTransaction()->_enumerateRowidsForKeys(
      keys, collection, [&](std::uint64_t i, std::int64_t rowid, bool&) { found.emplace(keys[i], rowid); });
  return found;
}
