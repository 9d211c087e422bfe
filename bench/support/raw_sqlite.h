#pragma once

// Plain SQLite for the benchmarks' baselines. Every call checks its result and throws
// std::runtime_error with SQLite's message, so that a baseline never times statements that did
// nothing (run the benchmark body through zorvel::bench::runGuarded). Handles wait up to five
// seconds for a lock held by another handle instead of failing at once.
//
// One RawSqlite per thread; statements belong to their handle.

#include <sqlite3.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zorvel::bench {

class RawSqlite {
 public:
  class Statement {
   public:
    Statement() = default;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement(Statement&& other) noexcept : db_(other.db_), stmt_(other.stmt_) { other.stmt_ = nullptr; }
    Statement& operator=(Statement&& other) noexcept {
      std::swap(db_, other.db_);
      std::swap(stmt_, other.stmt_);
      return *this;
    }
    ~Statement() { sqlite3_finalize(stmt_); }

    Statement& bind(int index, std::string_view text) {
      check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC), "bind");
      return *this;
    }
    Statement& bind(int index, std::span<const std::uint8_t> blob) {
      check(sqlite3_bind_blob(stmt_, index, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC), "bind");
      return *this;
    }
    Statement& bind(int index, std::int64_t number) {
      check(sqlite3_bind_int64(stmt_, index, number), "bind");
      return *this;
    }
    Statement& bindNull(int index) {
      check(sqlite3_bind_null(stmt_, index), "bind");
      return *this;
    }
    // True for a row, false when done; anything else throws (and resets the statement).
    bool step() {
      const int rc = sqlite3_step(stmt_);
      if (rc == SQLITE_ROW) return true;
      if (rc == SQLITE_DONE) return false;
      const std::string message = sqlite3_errmsg(db_);
      sqlite3_reset(stmt_);
      throw std::runtime_error("step failed: " + message);
    }
    // Steps a statement that returns no rows, then resets it.
    void run() {
      step();
      reset();
    }
    void reset() {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }
    std::int64_t columnInt64(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::span<const std::uint8_t> columnBlob(int column) const {
      const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
      return {bytes, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))};
    }

   private:
    friend class RawSqlite;
    Statement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
    void check(int rc, const char* what) const {
      if (rc != SQLITE_OK) throw std::runtime_error(std::string(what) + " failed: " + sqlite3_errmsg(db_));
    }
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
  };

  explicit RawSqlite(const std::string& path) {
    const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
      const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
      sqlite3_close(db_);
      throw std::runtime_error("cannot open " + path + ": " + message);
    }
    sqlite3_busy_timeout(db_, 5000);
  }
  RawSqlite(const RawSqlite&) = delete;
  RawSqlite& operator=(const RawSqlite&) = delete;
  ~RawSqlite() { sqlite3_close_v2(db_); }

  void exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
      const std::string message = error ? error : sqlite3_errmsg(db_);
      sqlite3_free(error);
      throw std::runtime_error(std::string("cannot run ") + sql + ": " + message);
    }
  }
  Statement prepare(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK || !stmt)
      throw std::runtime_error(std::string("cannot prepare ") + sql + ": " + sqlite3_errmsg(db_));
    return Statement(db_, stmt);
  }
  std::int64_t lastInsertRowid() const { return sqlite3_last_insert_rowid(db_); }
  sqlite3* handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace zorvel::bench
