#pragma once

// Damages a store's file the way a failing disk or a stray write does: bytes of chosen b-tree pages
// inverted in place. The pages of a table or index are found through SQLite's dbstat table on the
// checkpointed file (the store must be closed).

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace diztest {

// The pages of the named tables and indexes, and the file's page size, read from a checkpointed file.
struct PageMap {
  std::int64_t pageSize = 0;
  std::vector<std::int64_t> pages;
  std::vector<std::int64_t> roots;
};

inline PageMap pagesOf(const std::string& path, const std::vector<std::string>& names) {
  PageMap map;
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 10000);
  EXPECT_EQ(sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE);", nullptr, nullptr, nullptr), SQLITE_OK);
  auto column = [&](const std::string& sql, std::vector<std::int64_t>& into) {
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    while (sqlite3_step(s) == SQLITE_ROW) into.push_back(sqlite3_column_int64(s, 0));
    sqlite3_finalize(s);
  };
  std::vector<std::int64_t> size;
  column("PRAGMA page_size;", size);
  map.pageSize = size.empty() ? 0 : size[0];
  for (const std::string& name : names) {
    column("SELECT pageno FROM dbstat WHERE name = '" + name + "';", map.pages);
    column("SELECT rootpage FROM sqlite_master WHERE name = '" + name + "';", map.roots);
  }
  sqlite3_close(db);
  return map;
}

// Inverts `length` bytes from `offset` in each given page of the file.
inline void flipBytes(const std::string& path, std::int64_t pageSize, const std::vector<std::int64_t>& pages,
                      std::int64_t offset, std::int64_t length) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  ASSERT_TRUE(file);
  for (std::int64_t page : pages) {
    const std::int64_t at = (page - 1) * pageSize + offset;
    std::string bytes(static_cast<std::size_t>(length), '\0');
    file.seekg(at);
    file.read(bytes.data(), length);
    for (char& c : bytes) c = static_cast<char>(~c);
    file.seekp(at);
    file.write(bytes.data(), length);
  }
  ASSERT_TRUE(file.flush());
}

}  // namespace diztest
