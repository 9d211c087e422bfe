#include "DizEvozidiz/Extensions/RTreeIndex/DizEvozidizRTreeIndexConnection.h"

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizStatementInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/RTreeIndex/DizEvozidizRTreeIndexTransaction.h"

namespace {
constexpr const char* kConnectionLogFile = "DizEvozidiz/Extensions/RTreeIndex/DizEvozidizRTreeIndexConnection.cpp";
}  // namespace

DizEvozidizRTreeIndexConnection::DizEvozidizRTreeIndexConnection(DizEvozidizRTreeIndexPtr index,
                                                                 DizEvozidizConnection* connection)
    : DizEvozidizExtensionConnection(index, connection),
      index_(std::move(index)),
      queryCache_(std::make_unique<QueryCache>(kDefaultQueryCacheLimit)) {}

DizEvozidizRTreeIndexConnectionPtr DizEvozidizRTreeIndexConnection::make(DizEvozidizRTreeIndexPtr index,
                                                                         DizEvozidizConnection* connection) {
  return platform::make<DizEvozidizRTreeIndexConnection>(std::move(index), connection);
}

DizEvozidizRTreeIndexConnection::~DizEvozidizRTreeIndexConnection() {
  queryCache_.reset();
  flushStatements();
}

const std::string& DizEvozidizRTreeIndexConnection::quotedTableName() {
  if (quotedTableName_.empty()) quotedTableName_ = DizEvozidiz::quotedIdentifier(index_->tableName());
  return quotedTableName_;
}

// ---- Query cache ----

template <class F>
auto DizEvozidizRTreeIndexConnection::onQueueSync(F&& f) {
  DizEvozidizConnection* c = databaseConnection();
  if (DizInternal(*c).isOnConnectionQueue()) return f();
  decltype(f()) result{};
  DizInternal(*c).connectionQueue()->sync([&] { result = f(); });
  return result;
}

bool DizEvozidizRTreeIndexConnection::queryCacheEnabled() {
  return onQueueSync([this] { return queryCache_ != nullptr; });
}

std::uint64_t DizEvozidizRTreeIndexConnection::queryCacheLimit() {
  return onQueueSync([this] { return queryCacheLimit_; });
}

void DizEvozidizRTreeIndexConnection::setQueryCacheEnabled(bool enabled) {
  auto apply = [](DizEvozidizRTreeIndexConnection& self, bool on) {
    if (on && !self.queryCache_)
      self.queryCache_ = std::make_unique<QueryCache>(self.queryCacheLimit_);
    else if (!on)
      self.queryCache_.reset();
  };
  DizEvozidizConnection* c = databaseConnection();
  if (DizInternal(*c).isOnConnectionQueue()) return apply(*this, enabled);
  auto self = std::static_pointer_cast<DizEvozidizRTreeIndexConnection>(shared_from_this());
  DizInternal(*c).connectionQueue()->async([self, enabled, apply] { apply(*self, enabled); });
}

void DizEvozidizRTreeIndexConnection::setQueryCacheLimit(std::uint64_t limit) {
  auto apply = [](DizEvozidizRTreeIndexConnection& self, std::uint64_t n) {
    self.queryCacheLimit_ = n;
    if (self.queryCache_) self.queryCache_->setCountLimit(n);
  };
  DizEvozidizConnection* c = databaseConnection();
  if (DizInternal(*c).isOnConnectionQueue()) return apply(*this, limit);
  auto self = std::static_pointer_cast<DizEvozidizRTreeIndexConnection>(shared_from_this());
  DizInternal(*c).connectionQueue()->async([self, limit, apply] { apply(*self, limit); });
}

std::size_t DizEvozidizRTreeIndexConnection::QueryKeyHash::operator()(const QueryKeyView& key) const noexcept {
  const std::size_t columns = std::hash<std::string_view>()(key.columns);
  return columns ^ (std::hash<std::string_view>()(key.text) + 0x9E3779B97F4A7C15ULL + (columns << 6) + (columns >> 2));
}

std::string DizEvozidizRTreeIndexConnection::querySql(std::string_view columns, std::string_view text) {
  // Built in one buffer: it is made for every statement prepared and for every failure logged.
  constexpr std::string_view kSelect = "SELECT ", kFrom = " FROM ", kSpace = " ", kEnd = ";";
  const std::string& table = quotedTableName();
  std::string sql;
  sql.reserve(kSelect.size() + columns.size() + kFrom.size() + table.size() + kSpace.size() + text.size() +
              kEnd.size());
  sql.append(kSelect).append(columns).append(kFrom).append(table).append(kSpace).append(text).append(kEnd);
  return sql;
}

std::shared_ptr<DizEvozidizStatement> DizEvozidizRTreeIndexConnection::queryStatement(std::string_view columns,
                                                                                      std::string_view text) {
  if (queryCache_) {
    if (auto* cached = queryCache_->objectForKey(QueryKeyView{columns, text})) {
      // An enumeration may still be stepping the cached one (its block queried again): reusing it
      // would reset the outer enumeration under it.
      if (!sqlite3_stmt_busy((*cached)->stmt())) return *cached;
      sqlite3_stmt* fresh = prepareStatement(querySql(columns, text), "prepareQueryString:");
      return fresh ? std::make_shared<DizEvozidizStatement>(fresh) : nullptr;
    }
  }
  sqlite3_stmt* s = prepareStatement(querySql(columns, text), "prepareQueryString:");
  if (!s) return nullptr;
  auto statement = std::make_shared<DizEvozidizStatement>(s);
  if (queryCache_) queryCache_->setObject(statement, QueryKey{std::string(columns), std::string(text)});
  return statement;
}

// ---- Store calls ----

DizEvozidizExtensionTransactionPtr DizEvozidizRTreeIndexConnection::newReadTransaction(
    DizEvozidizReadTransaction& transaction) {
  return DizEvozidizRTreeIndexTransaction::make(
      std::static_pointer_cast<DizEvozidizRTreeIndexConnection>(shared_from_this()), &transaction);
}

DizEvozidizExtensionTransactionPtr DizEvozidizRTreeIndexConnection::newReadWriteTransaction(
    DizEvozidizReadWriteTransaction& transaction) {
  prepareForReadWriteTransaction();
  return DizEvozidizRTreeIndexTransaction::make(
      std::static_pointer_cast<DizEvozidizRTreeIndexConnection>(shared_from_this()), &transaction);
}

void DizEvozidizRTreeIndexConnection::_flushMemoryWithFlags(unsigned flags) {
  // The cached query statements are statements too: a handle with live ones can be neither closed
  // nor pooled.
  if ((flags & 3) && queryCache_) queryCache_->removeAllObjects();
  if (flags & 2) flushStatements();
}

void DizEvozidizRTreeIndexConnection::prepareForReadWriteTransaction() {
  if (!mutationStack_) mutationStack_ = std::make_shared<DizMutationStack_Bool>();
}

void DizEvozidizRTreeIndexConnection::postCommitCleanup() {
  if (mutationStack_) mutationStack_->clear();
}

void DizEvozidizRTreeIndexConnection::postRollbackCleanup() {
  if (mutationStack_) mutationStack_->clear();
}

// ---- Statements ----

sqlite3_stmt* DizEvozidizRTreeIndexConnection::prepareStatement(const std::string& sql, const char* caller) {
  sqlite3* db = DizInternal(*databaseConnection()).db;
  sqlite3_stmt* s = nullptr;
  const int status = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size() + 1), &s, nullptr);
  if (status != SQLITE_OK) {
    DIZ_LOG_IN(kDizLogFlagError, kConnectionLogFile, "%@: %@: Error creating prepared statement: %d %s", caller, status,
               sqlite3_errmsg(db));
    sqlite3_finalize(s);
    return nullptr;
  }
  return s;
}

sqlite3_stmt* DizEvozidizRTreeIndexConnection::statement(Statement which) {
  if (statements_[which]) return statements_[which];
  const auto& columns = index_->setup().columnNames();
  const std::string table = DizEvozidiz::quotedIdentifier(index_->tableName());
  std::string sql;
  const char* caller = "";
  switch (which) {
    case kInsert:
    case kUpdate: {
      sql = (which == kInsert ? "INSERT INTO " : "INSERT OR REPLACE INTO ") + table + " (\"rowid\"";
      for (const auto& c : columns) sql += ", " + DizEvozidiz::quotedIdentifier(c);
      sql += ") VALUES (?";
      for (std::size_t i = 0; i < columns.size(); ++i) sql += ", ?";
      sql += ");";
      caller = which == kInsert ? "insertStatement" : "updateStatement";
      break;
    }
    case kRemove:
      sql = "DELETE FROM " + table + " WHERE \"rowid\" = ?;";
      caller = "removeStatement";
      break;
    case kRemoveAll:
    case kStatementCount:
      sql = "DELETE FROM " + table + ";";
      caller = "removeAllStatement";
      break;
  }
  return statements_[which] = prepareStatement(sql, caller);
}

sqlite3_stmt* DizEvozidizRTreeIndexConnection::insertStatement() { return statement(kInsert); }
sqlite3_stmt* DizEvozidizRTreeIndexConnection::updateStatement() { return statement(kUpdate); }
sqlite3_stmt* DizEvozidizRTreeIndexConnection::removeStatement() { return statement(kRemove); }
sqlite3_stmt* DizEvozidizRTreeIndexConnection::removeAllStatement() { return statement(kRemoveAll); }

void DizEvozidizRTreeIndexConnection::flushStatements() {
  for (auto& s : statements_) {
    if (s) sqlite3_finalize(s);
    s = nullptr;
  }
}
