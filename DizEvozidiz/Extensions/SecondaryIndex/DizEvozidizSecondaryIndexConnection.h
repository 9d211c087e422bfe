#pragma once

// DizEvozidizSecondaryIndexConnection: a secondary index's part of one database connection: its
// four prepared write statements (made on first use), the column dictionary handed to the handler,
// the mutation stack that query enumerations watch, and a cache of prepared query statements keyed
// by their SQL text (on by default, 10 entries).
//
// Threads: everything runs on the database connection's queue, except the four query-cache
// accessors, which may be called from any thread (getters wait for the queue, setters are queued
// when called elsewhere; both run in place on the queue).

#include <memory>
#include <string>

#include <sqlite3.h>

#include "DizEvozidiz/DizCache.h"
#include "DizEvozidiz/DizEvozidizStatementInternal.h"
#include "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndex.h"
#include "DizEvozidiz/Utilities/DizMutationStack.h"

class DizEvozidizSecondaryIndexConnection;
using DizEvozidizSecondaryIndexConnectionPtr = std::shared_ptr<DizEvozidizSecondaryIndexConnection>;

class DizEvozidizSecondaryIndexConnection : public DizEvozidizExtensionConnection {
  DIZ_EXTENSION_CLASS(DizEvozidizSecondaryIndexConnection, DizEvozidizExtensionConnection)

 public:
  static constexpr std::uint64_t kDefaultQueryCacheLimit = 10;

  static DizEvozidizSecondaryIndexConnectionPtr make(DizEvozidizSecondaryIndexPtr index,
                                                     DizEvozidizConnection* connection);
  ~DizEvozidizSecondaryIndexConnection() override;

  const DizEvozidizSecondaryIndexPtr& secondaryIndex() const { return index_; }
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
  DizSecondaryIndexValues& blockDict() { return blockDict_; }
  // Null on a connection that has not run a read-write transaction yet.
  const std::shared_ptr<DizMutationStack_Bool>& mutationStack() const { return mutationStack_; }
  // Null (logged) when preparing failed.
  sqlite3_stmt* insertStatement();
  sqlite3_stmt* updateStatement();
  sqlite3_stmt* removeStatement();
  sqlite3_stmt* removeAllStatement();
  sqlite3_stmt* prepareStatement(const std::string& sql, const char* caller);

  // A statement for a query's SQL: the cached one when it is idle, else a new one (cached when the
  // cache is on and holds none for the text). Null (logged) when preparing failed.
  std::shared_ptr<DizEvozidizStatement> queryStatement(const std::string& sql);

 protected:
  DizEvozidizSecondaryIndexConnection(DizEvozidizSecondaryIndexPtr index, DizEvozidizConnection* connection);

 private:
  enum Statement { kInsert, kUpdate, kRemove, kRemoveAll, kStatementCount };
  sqlite3_stmt* statement(Statement which);
  void flushStatements();
  template <class F>
  auto onQueueSync(F&& f);

  const DizEvozidizSecondaryIndexPtr index_;
  std::string quotedTableName_;
  DizSecondaryIndexValues blockDict_;
  std::shared_ptr<DizMutationStack_Bool> mutationStack_;
  std::unique_ptr<DizCache<std::string, std::shared_ptr<DizEvozidizStatement>>> queryCache_;
  std::uint64_t queryCacheLimit_ = kDefaultQueryCacheLimit;
  sqlite3_stmt* statements_[kStatementCount] = {};
};
