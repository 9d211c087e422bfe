#include "DizEvozidiz/Utilities/DizEvozidizQuery.h"

#include <algorithm>
#include <utility>

#include "DizEvozidiz/DizEvozidizLogInternal.h"

using platform::Value;
using platform::ValueArray;

namespace {

constexpr const char* kQueryLogFile = "DizEvozidiz/Utilities/DizEvozidizQuery.cpp";

// Checks the arguments against the placeholders, then expands array arguments in place.
DizEvozidizQueryPtr build(std::optional<std::string> function, std::string_view text, ValueArray arguments) {
  const auto placeholders = static_cast<std::size_t>(std::count(text.begin(), text.end(), '?'));
  if (arguments.size() != placeholders) {
    DizLog(kDizLogFlagError, kQueryLogFile, __func__, __LINE__,
           "%@: Error processing query. Expected %lu parameters, got %lu. No query made: '%@'",
           static_cast<unsigned long>(placeholders), static_cast<unsigned long>(arguments.size()), std::string(text));
    return nullptr;
  }
  bool hasArray = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i].isNil()) {
      DizLog(kDizLogFlagError, kQueryLogFile, __func__, __LINE__,
             "%@: Error processing query. Expected %lu parameters. All parameters must be objects. "
             "Parameter %lu is nil. No query made: '%@'",
             static_cast<unsigned long>(placeholders), static_cast<unsigned long>(i), std::string(text));
      return nullptr;
    }
    hasArray = hasArray || arguments[i].isArray();
  }
  // Without arrays the text and the arguments are the query as they are (the common case: no
  // placeholder table, no second copy of the arguments).
  if (!hasArray)
    return std::make_shared<const DizEvozidizQuery>(std::move(function), std::string(text), std::move(arguments));

  const std::vector<std::size_t> locations = DizEvozidizQuery::findParamLocations(text);
  ValueArray flat;
  flat.reserve(arguments.size());
  std::vector<std::pair<std::size_t, std::size_t>> expansions;  // (argument index, element count)
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const Value& a = arguments[i];
    if (!a.isArray()) {
      flat.push_back(a);
    } else if (a.asArray().empty()) {
      flat.push_back(Value::null());
    } else {
      for (const Value& element : a.asArray()) {
        if (element.isNil()) {
          DizLog(kDizLogFlagError, kQueryLogFile, __func__, __LINE__,
                 "%@: Error processing query. Array parameter %lu holds a nil. No query made: '%@'",
                 static_cast<unsigned long>(i), std::string(text));
          return nullptr;
        }
        flat.push_back(element);
      }
      expansions.emplace_back(i, a.asArray().size());
    }
  }
  std::string expanded(text);
  std::size_t shift = 0;
  // Arguments are in placeholder order, so ascending argument index is ascending position.
  for (const auto& [index, count] : expansions) {
    std::string replacement = "?";
    for (std::size_t k = 1; k < count; ++k) replacement += ",?";
    expanded.replace(locations[index] + shift, 1, replacement);
    shift += replacement.size() - 1;
  }
  return std::make_shared<const DizEvozidizQuery>(std::move(function), std::move(expanded), std::move(flat));
}

}  // namespace

DizEvozidizQuery::DizEvozidizQuery(std::optional<std::string> aggregateFunction, std::string queryString,
                                   platform::ValueArray queryParameters)
    : aggregateFunction_(std::move(aggregateFunction)),
      queryString_(std::move(queryString)),
      queryParameters_(std::move(queryParameters)) {}

std::vector<std::size_t> DizEvozidizQuery::findParamLocations(std::string_view text) {
  std::vector<std::size_t> locations;
  for (std::size_t p = text.find('?'); p != std::string_view::npos; p = text.find('?', p + 1)) locations.push_back(p);
  return locations;
}

DizEvozidizQueryPtr DizEvozidizQuery::queryWithFormatArguments(std::string_view format, const ValueArray& arguments) {
  return build(std::nullopt, format, arguments);
}

DizEvozidizQueryPtr DizEvozidizQuery::queryWithFormatArguments(std::string_view format, ValueArray&& arguments) {
  return build(std::nullopt, format, std::move(arguments));
}

DizEvozidizQueryPtr DizEvozidizQuery::queryWithString(std::string_view text, const ValueArray& parameters) {
  return build(std::nullopt, text, parameters);
}

DizEvozidizQueryPtr DizEvozidizQuery::queryMatchingAll() {
  return std::make_shared<const DizEvozidizQuery>(std::nullopt, std::string(), ValueArray());
}

DizEvozidizQueryPtr DizEvozidizQuery::queryWithAggregateFunctionArguments(std::optional<std::string> function,
                                                                          std::string_view format,
                                                                          const ValueArray& arguments) {
  return build(std::move(function), format, arguments);
}

DizEvozidizQueryPtr DizEvozidizQuery::queryWithAggregateFunctionString(std::optional<std::string> function,
                                                                       std::string_view text,
                                                                       const ValueArray& parameters) {
  return build(std::move(function), text, parameters);
}
