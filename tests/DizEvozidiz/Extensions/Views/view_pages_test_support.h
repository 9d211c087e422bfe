#pragma once

// A view's page tables as plain maps, with the commit and reload a connection does over SQL: the
// backend the page operations run on in the placement tests, and the checks of the chain invariant.

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPagesInternal.h"

namespace zorvel::test {

class MemoryPageTables : public DizViewPageBackend {
 public:
  struct PageRow {
    std::string group;
    std::optional<std::string> prevPageKey;
    std::uint64_t count = 0;
    platform::Bytes data;
  };

  std::map<std::int64_t, std::string> mapTable;
  std::map<std::string, PageRow> pageTable;
  int pageReads = 0;
  int mapReads = 0;
  int unavailable = 0;

  const std::string& registeredName() const override { return name_; }
  std::optional<std::string> storedPageKeyForRowid(std::int64_t rowid) override {
    ++mapReads;
    auto it = mapTable.find(rowid);
    return it == mapTable.end() ? std::nullopt : std::optional<std::string>(it->second);
  }
  DizEvozidizViewPagePtr storedPage(const std::string& pageKey) override {
    ++pageReads;
    auto it = pageTable.find(pageKey);
    if (it == pageTable.end()) return nullptr;
    return DizEvozidizViewPage::deserialized(it->second.data.data(), it->second.data.size());
  }
  std::string generatePageKey() override { return "page" + std::to_string(++keys_); }
  void notePageUnavailable(const std::string&) override { ++unavailable; }

  // What the flush of a read-write transaction does, over the maps.
  void commit(DizViewWorkingSet& working) {
    DizViewPages pages(working, *this);
    pages.cleanupPages();
    pages.enumeratePageWrites([&](const DizViewPages::PageWrite& w) {
      switch (w.kind) {
        case DizViewPages::PageWrite::Remove:
          pageTable.erase(*w.pageKey);
          break;
        case DizViewPages::PageWrite::Insert:
          EXPECT_FALSE(pageTable.contains(*w.pageKey)) << "inserting a stored page " << *w.pageKey;
          pageTable[*w.pageKey] =
              PageRow{w.metadata->group, w.metadata->prevPageKey, w.metadata->count, w.page->serialize()};
          break;
        case DizViewPages::PageWrite::UpdateAll: {
          ASSERT_TRUE(pageTable.contains(*w.pageKey)) << "updating a missing page " << *w.pageKey;
          auto& row = pageTable[*w.pageKey];
          row.prevPageKey = w.metadata->prevPageKey;
          row.count = w.metadata->count;
          row.data = w.page->serialize();
          break;
        }
        case DizViewPages::PageWrite::Update: {
          ASSERT_TRUE(pageTable.contains(*w.pageKey)) << "updating a missing page " << *w.pageKey;
          auto& row = pageTable[*w.pageKey];
          row.count = w.page->count();
          row.data = w.page->serialize();
          break;
        }
      }
    });
    pages.enumerateLinkWrites([&](const DizEvozidizViewPageMetadata& m) {
      ASSERT_TRUE(pageTable.contains(m.pageKey));
      pageTable[m.pageKey].prevPageKey = m.prevPageKey;
    });
    for (const auto& [rowid, pageKey] : working.dirtyMaps) {
      if (pageKey)
        mapTable[rowid] = *pageKey;
      else
        mapTable.erase(rowid);
    }
    working.clearTransactionChanges();
  }

  std::vector<DizEvozidizViewPageMetadataPtr> storedDescriptors() const {
    std::vector<DizEvozidizViewPageMetadataPtr> out;
    for (const auto& [key, row] : pageTable) {
      auto m = std::make_shared<DizEvozidizViewPageMetadata>();
      m->pageKey = key;
      m->prevPageKey = row.prevPageKey;
      m->group = row.group;
      m->count = row.count;
      out.push_back(m);
    }
    return out;
  }

  // The state a second connection loads from the tables.
  DizEvozidizViewStatePtr loadState() const { return DizViewPages::buildState(storedDescriptors(), name_); }

  // The rowids of a group in order, read from the tables alone.
  std::vector<std::int64_t> storedGroup(const DizEvozidizViewState& state, const std::string& group) const {
    std::vector<std::int64_t> out;
    for (const auto& m : *state.pagesMetadataForGroup(group)) {
      const auto& row = pageTable.at(m->pageKey);
      DizEvozidizViewPage page;
      page.deserialize(row.data);
      out.insert(out.end(), page.rowids().begin(), page.rowids().end());
    }
    return out;
  }

  // Chain invariant and flush limits of the stored tables; every stored rowid mapped to its page.
  void expectConsistentTables() const {
    auto state = loadState();
    ASSERT_TRUE(state) << "stored chains do not load";
    std::size_t rowids = 0;
    state->enumerateWithBlock([&](const std::string& group, const DizEvozidizViewState::PageList& list, bool&) {
      ASSERT_FALSE(list.empty()) << group;
      EXPECT_FALSE(list.front()->prevPageKey) << group;
      for (std::size_t i = 0; i < list.size(); ++i) {
        const auto& row = pageTable.at(list[i]->pageKey);
        if (i > 0) {
          EXPECT_EQ(list[i]->prevPageKey, list[i - 1]->pageKey);
        }
        EXPECT_EQ(row.count * 8, row.data.size()) << "count of " << list[i]->pageKey;
        EXPECT_GT(row.count, 0u) << "empty stored page in " << group;
        EXPECT_LE(row.count, kDizViewPageSize) << "oversized stored page in " << group;
        DizEvozidizViewPage page;
        page.deserialize(row.data);
        for (std::int64_t r : page.rowids()) {
          ++rowids;
          auto it = mapTable.find(r);
          EXPECT_TRUE(it != mapTable.end() && it->second == list[i]->pageKey) << "map row of " << r;
        }
      }
    });
    EXPECT_EQ(rowids, mapTable.size());
  }

 private:
  std::string name_ = "order";
  int keys_ = 0;
};

}  // namespace zorvel::test
