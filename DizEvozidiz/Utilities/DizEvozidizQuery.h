#pragma once

// DizEvozidizQuery: what a caller hands an index extension to select rows. The text that follows
// "FROM <table>" in the index's SELECT (normally a WHERE clause, possibly with ORDER BY or other
// trailing clauses), the values of its "?" placeholders in order, and, for an aggregate query, the
// SQL expression selected instead of the rows (e.g. "COUNT(state)").
//
// Format: every "?" of the text is a placeholder, also one inside an SQL string literal. An array
// argument expands its placeholder into one "?" per element ("IN (?)" with [2, 3] becomes
// "IN (?,?)"); an empty array stays one "?" bound to NULL (an IN list that matches nothing).
//
// Trust boundary: the text and the aggregate expression are pasted into SQL unchanged; they must
// come from the program, never from a user. Values travel only as bound parameters.
//
// Refusals (nullptr, logged as an error): an argument or parameter that is nil, or a number of
// arguments that differs from the number of placeholders (such a query would bind out of range).
//
// Threads: immutable once made; share it freely.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/value.h"

class DizEvozidizQuery;
using DizEvozidizQueryPtr = std::shared_ptr<const DizEvozidizQuery>;

class DizEvozidizQuery {
 public:
  // `format` with one argument per "?".
  template <class... Args>
  static DizEvozidizQueryPtr queryWithFormat(std::string_view format, const Args&... args) {
    return queryWithFormatArguments(format, platform::ValueArray{platform::Value(args)...});
  }
  static DizEvozidizQueryPtr queryWithFormatArguments(std::string_view format, const platform::ValueArray& arguments);
  // The same, taking over the arguments (no copy of them).
  static DizEvozidizQueryPtr queryWithFormatArguments(std::string_view format, platform::ValueArray&& arguments);
  // The text and its parameters, checked and expanded as the format forms are.
  static DizEvozidizQueryPtr queryWithString(std::string_view text, const platform::ValueArray& parameters);
  // The empty text: every row.
  static DizEvozidizQueryPtr queryMatchingAll();

  // Aggregate forms; a missing expression makes a plain query.
  template <class... Args>
  static DizEvozidizQueryPtr queryWithAggregateFunction(std::optional<std::string> function, std::string_view format,
                                                        const Args&... args) {
    return queryWithAggregateFunctionArguments(std::move(function), format,
                                               platform::ValueArray{platform::Value(args)...});
  }
  static DizEvozidizQueryPtr queryWithAggregateFunctionArguments(std::optional<std::string> function,
                                                                 std::string_view format,
                                                                 const platform::ValueArray& arguments);
  static DizEvozidizQueryPtr queryWithAggregateFunctionString(std::optional<std::string> function,
                                                              std::string_view text,
                                                              const platform::ValueArray& parameters);

  // Stores the three as given (no checks, no expansion).
  DizEvozidizQuery(std::optional<std::string> aggregateFunction, std::string queryString,
                   platform::ValueArray queryParameters);

  const std::optional<std::string>& aggregateFunction() const { return aggregateFunction_; }
  const std::string& queryString() const { return queryString_; }
  const platform::ValueArray& queryParameters() const { return queryParameters_; }
  bool isAggregateQuery() const { return aggregateFunction_.has_value(); }

  // Byte offsets of every "?" of `text`, ascending ("?" is one byte in UTF-8, so offsets and
  // replacements agree).
  static std::vector<std::size_t> findParamLocations(std::string_view text);

 private:
  std::optional<std::string> aggregateFunction_;
  std::string queryString_;
  platform::ValueArray queryParameters_;
};
