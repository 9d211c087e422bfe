#pragma once

#ifndef ZORVEL_INTERNAL_store
#error "DizEvozidiz/DizEvozidizStatementInternal.h is internal to the store and its extensions"
#endif

// Owner of one prepared SQLite statement (the value of the query-statement caches of the index
// extensions): finalizes it when released. Use it on the queue of the connection that prepared it.

#include <sqlite3.h>

class DizEvozidizStatement {
 public:
  explicit DizEvozidizStatement(sqlite3_stmt* statement) : stmt_(statement) {}
  ~DizEvozidizStatement() {
    if (stmt_) sqlite3_finalize(stmt_);
  }
  DizEvozidizStatement(const DizEvozidizStatement&) = delete;
  DizEvozidizStatement& operator=(const DizEvozidizStatement&) = delete;

  sqlite3_stmt* stmt() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_;
};
