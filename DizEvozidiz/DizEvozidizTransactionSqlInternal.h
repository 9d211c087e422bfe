#pragma once

#ifndef ZORVEL_INTERNAL_store
#error "DizEvozidiz/DizEvozidizTransactionSqlInternal.h is internal to the store and its extensions"
#endif

// Small SQLite helpers shared by the transaction sources: binding, reading columns, classifying
// step results, building the IN-list statements of the key-list operations and sizing their
// chunks. Internal to the store's transactions; they run on whatever thread owns the handle.

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Binds UTF-8 text with its exact byte length, without copying: the text must stay valid until
// the statement is reset or the parameter rebound. An empty text binds "" (never NULL).
int DizBindText(sqlite3_stmt* statement, int index, std::string_view text);

// Binds bytes as a blob without copying (same lifetime rule); an empty span binds a zero-length blob.
int DizBindBlob(sqlite3_stmt* statement, int index, std::span<const std::uint8_t> bytes);

// Column text as UTF-8 of its byte length; empty for NULL. Valid until the next step or reset.
std::string_view DizColumnText(sqlite3_stmt* statement, int column);

// Column bytes; empty for NULL or a zero-length value. Valid until the next step or reset.
std::span<const std::uint8_t> DizColumnBytes(sqlite3_stmt* statement, int column);

// What one sqlite3_step said: a row, the end, or a failure (every other status: busy, I/O error,
// corruption...). A failure is never taken for "no row".
enum class DizStep { Row, Done, Error };
inline DizStep DizStepKind(int status) {
  if (status == SQLITE_ROW) return DizStep::Row;
  if (status == SQLITE_DONE) return DizStep::Done;
  return DizStep::Error;
}

// head + tail + "?" + ", ?" × (count − 1) + ");". The text is sized from its pieces, so any count
// fits. A count of 0 gives an empty list "()".
std::string DizInListStatementText(std::string_view head, std::string_view tail, std::size_t count);

// How many list items one IN statement may carry on this handle: SQLite's current host-parameter
// limit minus the statement's other parameters, at least 1.
std::size_t DizInListChunkSize(sqlite3* db, int otherParameters);

// Clears the bindings and resets a kept statement when the scope ends, finalizing it instead when
// it was handed out for one use only.
class DizStatementScope {
 public:
  DizStatementScope(sqlite3_stmt* statement, bool finalize) : statement_(statement), finalize_(finalize) {}
  ~DizStatementScope() { release(); }
  DizStatementScope(const DizStatementScope&) = delete;
  DizStatementScope& operator=(const DizStatementScope&) = delete;

  // Resets (or finalizes) now; the destructor then does nothing.
  void release() {
    if (!statement_) return;
    if (finalize_) {
      sqlite3_finalize(statement_);
    } else {
      sqlite3_clear_bindings(statement_);
      sqlite3_reset(statement_);
    }
    statement_ = nullptr;
  }

 private:
  sqlite3_stmt* statement_;
  bool finalize_;
};
