#pragma once

// DizEvozidizRTreeIndexConnection: an R-tree index's part of one database connection: its
// four prepared write statements (made on first use), the column dictionary handed to the handler,
// the mutation stack that query enumerations watch, and a cache of prepared query statements keyed
// by what their SQL is made of (on by default, 10 entries).
//
// Threads: everything runs on the database connection's queue, except the four query-cache
// accessors, which may be called from any thread (getters wait for the queue, setters are queued
// when called elsewhere; both run in place on the queue).

#include <sqlite3.h>

#include <memory>
#include <string>
#include <string_view>

#include "DizEvozidiz/DizCache.h"
#include "DizEvozidiz/Extensions/RTreeIndex/DizEvozidizRTreeIndex.h"
#include "DizEvozidiz/Utilities/DizMutationStack.h"

class DizEvozidizStatement;  // DizEvozidizStatementInternal.h
class DizEvozidizRTreeIndexConnection;
using DizEvozidizRTreeIndexConnectionPtr = std::shared_ptr<DizEvozidizRTreeIndexConnection>;

class DizEvozidizRTreeIndexConnection : public DizEvozidizExtensionConnection {
  DIZ_EXTENSION_CLASS(DizEvozidizRTreeIndexConnection, DizEvozidizExtensionConnection)

 public:
  static constexpr std::uint64_t kDefaultQueryCacheLimit = 10;

  static DizEvozidizRTreeIndexConnectionPtr make(DizEvozidizRTreeIndexPtr index, DizEvozidizConnection* connection);
  ~DizEvozidizRTreeIndexConnection() override;

  const DizEvozidizRTreeIndexPtr& rTreeIndex() const { return index_; }
  // The index table's name quoted as an SQL identifier (made once; every query starts with it).
  const std::string& quotedTableName();

  // ---- Query cache (any thread) ----
  bool queryCacheEnabled();
  // Enabling makes an empty cache; disabling drops every cached statement.
  void setQueryCacheEnabled(bool enabled);
  std::uint64_t queryCacheLimit();
  void setQueryCacheLimit(std::uint64_t limit);

  // ---- Store calls ----
  DizEvozidizExtensionTransactionPtr newReadTransaction(DizEvozidizReadTransaction& transaction) override;
  DizEvozidizExtensionTransactionPtr newReadWriteTransaction(DizEvozidizReadWriteTransaction& transaction) override;
  // 1: empty the query cache; 2: finalize the write statements and the cached query statements.
  void _flushMemoryWithFlags(unsigned flags) override;

  // ---- What the transaction works on (connection queue) ----
  void prepareForReadWriteTransaction();
  void postCommitCleanup();
  void postRollbackCleanup();
  DizRTreeIndexValues& blockDict() { return blockDict_; }
  // Null on a connection that has not run a read-write transaction yet.
  const std::shared_ptr<DizMutationStack_Bool>& mutationStack() const { return mutationStack_; }
  // Null (logged) when preparing failed.
  sqlite3_stmt* insertStatement();
  sqlite3_stmt* updateStatement();
  sqlite3_stmt* removeStatement();
  sqlite3_stmt* removeAllStatement();
  sqlite3_stmt* prepareStatement(const std::string& sql, const char* caller);

  // A query's SQL: "SELECT <columns> FROM <table> <text>;".
  std::string querySql(std::string_view columns, std::string_view text);
  // A statement for querySql(columns, text): the cached one when it is idle, else a new one (cached
  // when the cache is on and holds none for the two). Null (logged) when preparing failed.
  std::shared_ptr<DizEvozidizStatement> queryStatement(std::string_view columns, std::string_view text);

 protected:
  DizEvozidizRTreeIndexConnection(DizEvozidizRTreeIndexPtr index, DizEvozidizConnection* connection);

 private:
  enum Statement { kInsert, kUpdate, kRemove, kRemoveAll, kStatementCount };
  sqlite3_stmt* statement(Statement which);
  void flushStatements();
  template <class F>
  auto onQueueSync(F&& f);

  // The query cache's key: the table is the same for every query of the index, so the selected
  // columns and the query's text name the SQL, and a lookup needs neither the SQL nor a copy.
  struct QueryKey {
    std::string columns;
    std::string text;
  };
  struct QueryKeyView {
    std::string_view columns;
    std::string_view text;
  };
  struct QueryKeyHash {
    using is_transparent = void;
    std::size_t operator()(const QueryKeyView& key) const noexcept;
    std::size_t operator()(const QueryKey& key) const noexcept { return (*this)(QueryKeyView{key.columns, key.text}); }
  };
  struct QueryKeyEqual {
    using is_transparent = void;
    bool operator()(const QueryKey& a, const QueryKeyView& b) const noexcept {
      return a.columns == b.columns && a.text == b.text;
    }
    bool operator()(const QueryKey& a, const QueryKey& b) const noexcept {
      return (*this)(a, QueryKeyView{b.columns, b.text});
    }
  };
  using QueryCache = DizCache<QueryKey, std::shared_ptr<DizEvozidizStatement>, QueryKeyHash, QueryKeyEqual>;

  const DizEvozidizRTreeIndexPtr index_;
  std::string quotedTableName_;
  DizRTreeIndexValues blockDict_;
  std::shared_ptr<DizMutationStack_Bool> mutationStack_;
  std::unique_ptr<QueryCache> queryCache_;
  std::uint64_t queryCacheLimit_ = kDefaultQueryCacheLimit;
  sqlite3_stmt* statements_[kStatementCount] = {};
};
