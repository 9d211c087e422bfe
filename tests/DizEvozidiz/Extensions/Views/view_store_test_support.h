#pragma once

// A store with one view over collection "things": objects are integers; the grouping leaves out
// multiples of 5 and groups the rest by value % 3 ("g0", "g1", "g2"); the sorting orders by value.
// Counts its closure calls, and reads a view's groups as (key, value) lists.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "DizEvozidiz/Extensions/Views/DizEvozidizView.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPagesInternal.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewTransaction.h"
#include "DizEvozidiz/transaction_test_support.h"

namespace viewtest {

struct Calls {
  std::atomic<int> grouping{0};
  std::atomic<int> sorting{0};
};

inline std::optional<std::string> groupForValue(std::int64_t v) {
  if (v % 5 == 0) return std::nullopt;
  return "g" + std::to_string(v % 3);
}

inline DizEvozidizViewPtr makeView(const std::shared_ptr<Calls>& calls, bool persistent = true,
                                   std::optional<std::string> tag = std::nullopt) {
  auto grouping = DizEvozidizViewGrouping::withObjectBlock(
      [calls](DizEvozidizReadTransaction&, const std::string& collection, const std::string&,
              const platform::Value& object) -> std::optional<std::string> {
        ++calls->grouping;
        if (collection != "things" || !object.isInteger()) return std::nullopt;
        return groupForValue(object.asInt64());
      });
  auto sorting = DizEvozidizViewSorting::withObjectBlock(
      [calls](DizEvozidizReadTransaction&, const std::string&, const std::string&, const std::string&,
              const platform::Value& o1, const std::string&, const std::string&, const platform::Value& o2) {
        ++calls->sorting;
        const auto a = o1.asInt64(), b = o2.asInt64();
        return a < b ? -1 : (a > b ? 1 : 0);
      });
  DizEvozidizViewOptions options;
  options.isPersistent = persistent;
  return DizEvozidizView::make(grouping, sorting, std::move(tag), options);
}

using Groups = std::map<std::string, std::vector<std::pair<std::string, std::int64_t>>>;

// The view's groups as one transaction sees them (a missing view gives no groups).
inline Groups readGroups(DizEvozidizReadTransaction& t, const std::string& name) {
  Groups groups;
  auto view = std::dynamic_pointer_cast<DizEvozidizViewTransaction>(t.ext(name));
  if (!view) return groups;
  for (const auto& g : view->allGroups()) {
    auto& list = groups[g];
    view->enumerateRowidsInGroup(g, false, [&](std::int64_t rowid, std::uint64_t index, bool&) {
      EXPECT_EQ(index, list.size());
      DizCollectionKeyPtr key;
      platform::Value object;
      t.getCollectionKeyObject(&key, &object, rowid);
      list.emplace_back(key ? key->key() : "?", object.asInt64());
    });
  }
  return groups;
}

// What the view must hold for stored rows key -> value: sorted by value; rows of equal value in
// the order given by `tieOrder` (keys), when the test knows it, else by key.
inline Groups expectedGroups(const std::map<std::string, std::int64_t>& rows) {
  Groups groups;
  for (const auto& [key, value] : rows)
    if (auto g = groupForValue(value)) groups[*g].emplace_back(key, value);
  for (auto& [g, list] : groups)
    std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  return groups;
}

// Same rows and same value order; rows of equal value may stand in any order among themselves.
inline void expectSameGroups(Groups actual, Groups expected, const std::string& where) {
  auto byValueThenKey = [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second < b.second : a.first < b.first;
  };
  for (auto& [g, list] : actual) {
    EXPECT_TRUE(
        std::is_sorted(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.second < b.second; }))
        << where << ": group " << g << " out of order";
    std::sort(list.begin(), list.end(), byValueThenKey);
  }
  for (auto& [g, list] : expected) std::sort(list.begin(), list.end(), byValueThenKey);
  EXPECT_EQ(actual, expected) << where;
}

}  // namespace viewtest
