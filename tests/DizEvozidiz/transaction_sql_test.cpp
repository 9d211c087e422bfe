#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizTransactionSqlInternal.h"

namespace {

class TransactionSql : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db_, "CREATE TABLE t (k TEXT, v BLOB);", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  void TearDown() override { sqlite3_close(db_); }

  sqlite3* db_ = nullptr;
};

TEST_F(TransactionSql, InListTextHoldsOnePlaceholderPerItemForAnyCount) {
  struct Case {
    std::size_t count;
    int parameters;
  };
  // Large counts overflowed a buffer sized n × 3 + 80 once the head and tail were longer than 80.
  for (Case c : {Case{1, 2}, Case{2, 3}, Case{7, 8}, Case{998, 999}, Case{5000, 5001}}) {
    const std::string text =
        DizInListStatementText(R"(SELECT "k", "v" FROM "t")", R"( WHERE "k" = ? AND "k" IN ()", c.count);
    EXPECT_EQ(text.substr(text.size() - 2), ");");
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db_, text.c_str(), -1, &statement, nullptr), SQLITE_OK) << c.count;
    EXPECT_EQ(sqlite3_bind_parameter_count(statement), c.parameters);
    sqlite3_finalize(statement);
  }
  EXPECT_EQ(DizInListStatementText("A", "(", 3), "A(?, ?, ?);");
}

TEST_F(TransactionSql, ChunkSizeFollowsTheHandlesParameterLimit) {
  sqlite3_limit(db_, SQLITE_LIMIT_VARIABLE_NUMBER, 5);
  EXPECT_EQ(DizInListChunkSize(db_, 1), 4u);
  EXPECT_EQ(DizInListChunkSize(db_, 0), 5u);
  sqlite3_limit(db_, SQLITE_LIMIT_VARIABLE_NUMBER, 1);
  EXPECT_EQ(DizInListChunkSize(db_, 1), 1u);
}

TEST_F(TransactionSql, BindsEmptyTextAsEmptyStringNotNull) {
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db_, "SELECT typeof(?), length(?), ?;", -1, &statement, nullptr), SQLITE_OK);
  EXPECT_EQ(DizBindText(statement, 1, std::string_view()), SQLITE_OK);
  EXPECT_EQ(DizBindText(statement, 2, "h\xC3\xA9llo"), SQLITE_OK);
  const std::string withNul("a\0b", 3);
  EXPECT_EQ(DizBindText(statement, 3, withNul), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  EXPECT_EQ(DizColumnText(statement, 0), "text");
  EXPECT_EQ(sqlite3_column_int(statement, 1), 5);  // characters, from the exact byte length
  EXPECT_EQ(DizColumnText(statement, 2), withNul);
  sqlite3_finalize(statement);
}

TEST_F(TransactionSql, BlobsRoundTripAndEmptyColumnsReadEmpty) {
  sqlite3_stmt* insert = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db_, "INSERT INTO t (k, v) VALUES (?, ?);", -1, &insert, nullptr), SQLITE_OK);
  const std::vector<std::uint8_t> bytes{0, 1, 2, 255};
  DizBindText(insert, 1, "a");
  DizBindBlob(insert, 2, bytes);
  ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
  sqlite3_reset(insert);
  DizBindText(insert, 1, "b");
  sqlite3_bind_null(insert, 2);
  ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
  sqlite3_finalize(insert);

  sqlite3_stmt* select = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db_, "SELECT v FROM t ORDER BY k;", -1, &select, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(select), SQLITE_ROW);
  auto read = DizColumnBytes(select, 0);
  EXPECT_EQ(std::vector<std::uint8_t>(read.begin(), read.end()), bytes);
  ASSERT_EQ(sqlite3_step(select), SQLITE_ROW);
  EXPECT_TRUE(DizColumnBytes(select, 0).empty());
  EXPECT_EQ(DizStepKind(sqlite3_step(select)), DizStep::Done);
  sqlite3_finalize(select);
}

TEST(TransactionSqlStep, EveryStatusButRowAndDoneIsAnError) {
  EXPECT_EQ(DizStepKind(SQLITE_ROW), DizStep::Row);
  EXPECT_EQ(DizStepKind(SQLITE_DONE), DizStep::Done);
  for (int status : {SQLITE_ERROR, SQLITE_BUSY, SQLITE_IOERR, SQLITE_IOERR_READ, SQLITE_CORRUPT, SQLITE_CONSTRAINT}) {
    EXPECT_EQ(DizStepKind(status), DizStep::Error) << status;
  }
}

}  // namespace
