// The query builder: placeholders, array expansion, aggregate forms, and refused argument lists.

#include <gtest/gtest.h>

#include "DizEvozidiz/Utilities/DizEvozidizQuery.h"
#include "tests/DizEvozidiz/transaction_test_support.h"

namespace {

using platform::Value;
using platform::ValueArray;

TEST(Query, ArrayArgumentsExpandInPlaceholderOrder) {
  struct Case {
    const char* format;
    ValueArray arguments;
    const char* text;
    ValueArray parameters;
  } cases[] = {
      {"WHERE state IN (?)", {Value::array({2, 3})}, "WHERE state IN (?,?)", {2, 3}},
      {"WHERE a IN (?) AND b = ? AND c IN (?)",
       {Value::array({1, 2}), Value(7), Value::array({"x", "y", "z"})},
       "WHERE a IN (?,?) AND b = ? AND c IN (?,?,?)",
       {1, 2, 7, "x", "y", "z"}},
      {"WHERE state IN (?)", {Value(ValueArray{})}, "WHERE state IN (?)", {Value::null()}},
      {"WHERE name = '?' AND n = ?", {Value("lit"), Value(1)}, "WHERE name = '?' AND n = ?", {"lit", 1}},
      {"WHERE state = ?", {Value(4)}, "WHERE state = ?", {4}},
      {"", {}, "", {}},
  };
  for (const auto& c : cases) {
    auto q = DizEvozidizQuery::queryWithFormatArguments(c.format, c.arguments);
    ASSERT_TRUE(q) << c.format;
    EXPECT_EQ(q->queryString(), c.text);
    EXPECT_EQ(q->queryParameters(), c.parameters) << c.format;
    EXPECT_FALSE(q->isAggregateQuery());
  }
  auto variadic = DizEvozidizQuery::queryWithFormat("WHERE a = ? AND b IN (?)", 1, Value::array({2, 3}));
  ASSERT_TRUE(variadic);
  EXPECT_EQ(variadic->queryString(), "WHERE a = ? AND b IN (?,?)");
}

TEST(Query, AggregateFormsKeepTheExpressionAndMatchingAllIsEmpty) {
  auto count = DizEvozidizQuery::queryWithAggregateFunction("COUNT(state)", "WHERE state IN (?)", Value::array({1, 2}));
  ASSERT_TRUE(count);
  EXPECT_TRUE(count->isAggregateQuery());
  EXPECT_EQ(*count->aggregateFunction(), "COUNT(state)");
  EXPECT_EQ(count->queryString(), "WHERE state IN (?,?)");
  auto plain = DizEvozidizQuery::queryWithAggregateFunctionString(std::nullopt, "WHERE x = ?", {Value(1)});
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->isAggregateQuery());
  auto all = DizEvozidizQuery::queryMatchingAll();
  EXPECT_EQ(all->queryString(), "");
  EXPECT_TRUE(all->queryParameters().empty());
  EXPECT_EQ(DizEvozidizQuery::findParamLocations("a?b??"), (std::vector<std::size_t>{1, 3, 4}));
}

TEST(Query, NilArgumentsAndCountMismatchesMakeNoQueryAndSayWhy) {
  diztest::LogCapture log;
  EXPECT_FALSE(DizEvozidizQuery::queryWithFormat("WHERE a = ? AND b = ?", 1, Value()));
  EXPECT_TRUE(log->contains("All parameters must be objects"));
  EXPECT_FALSE(DizEvozidizQuery::queryWithFormat("WHERE a = ? AND b = ?", 1));
  EXPECT_FALSE(DizEvozidizQuery::queryWithFormat("WHERE a = ?", 1, 2));
  EXPECT_FALSE(DizEvozidizQuery::queryWithString("WHERE a IN (?)", {Value::array({Value(1), Value()})}));
  EXPECT_TRUE(log->contains("Expected 2 parameters, got 1"));
}

}  // namespace
