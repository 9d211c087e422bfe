#include <algorithm>

#include "DizEvozidiz/DizEvozidizTransactionSqlInternal.h"

int DizBindText(sqlite3_stmt* statement, int index, std::string_view text) {
  // A default string_view has no data pointer, which SQLite would bind as NULL.
  const char* data = text.data() ? text.data() : "";
  return sqlite3_bind_text64(statement, index, data, text.size(), SQLITE_STATIC, SQLITE_UTF8);
}

int DizBindBlob(sqlite3_stmt* statement, int index, std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return sqlite3_bind_zeroblob(statement, index, 0);
  return sqlite3_bind_blob64(statement, index, bytes.data(), bytes.size(), SQLITE_STATIC);
}

std::string_view DizColumnText(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  const int size = sqlite3_column_bytes(statement, column);
  if (!text || size <= 0) return {};
  return std::string_view(text, static_cast<std::size_t>(size));
}

std::span<const std::uint8_t> DizColumnBytes(sqlite3_stmt* statement, int column) {
  const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
  const int size = sqlite3_column_bytes(statement, column);
  if (!bytes || size <= 0) return {};
  return std::span<const std::uint8_t>(bytes, static_cast<std::size_t>(size));
}

std::string DizInListStatementText(std::string_view head, std::string_view tail, std::size_t count) {
  std::string text;
  text.reserve(head.size() + tail.size() + (count == 0 ? 0 : 1 + (count - 1) * 3) + 2);
  text.append(head);
  text.append(tail);
  for (std::size_t i = 0; i < count; ++i) text.append(i == 0 ? "?" : ", ?");
  text.append(");");
  return text;
}

std::size_t DizInListChunkSize(sqlite3* db, int otherParameters) {
  const int limit = sqlite3_limit(db, SQLITE_LIMIT_VARIABLE_NUMBER, -1);
  return static_cast<std::size_t>(std::max(1, limit - otherParameters));
}
