#pragma once

#ifndef ZORVEL_INTERNAL_store
#error "DizEvozidiz/Extensions/Views/DizEvozidizViewPagesInternal.h is internal to the store and its extensions"
#endif

// The page work of a view, kept apart from where the pages are stored: reading through the dirty
// containers and caches, sorted placement, removal, splitting and dropping pages, and what the flush
// must write. The view transaction runs it over its SQL tables or memory tables; tests run it over
// plain maps.
//
// DizViewWorkingSet is what a view connection keeps: the state, the caches and what the current
// read-write transaction changed. DizViewPageBackend answers what is not in memory (stored map rows
// and pages), makes page keys and hears of inserted and removed rows. DizViewPages is the
// operations, made per transaction over one working set and one backend.
//
// Page sizes: a page created for a new group reserves room for 50 rowids; an insertion at a page
// boundary stays in a page of fewer than 50 rowids when the next page holds 50 or more; a page that
// passes 1600 rowids is split at once down to 800; the flush (cleanupPages) splits every dirty page
// above 50 and drops every empty one, so that no stored page is empty or above 50.
//
// Threads: one transaction at a time on the view connection's queue; nothing here locks.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "DizEvozidiz/DizCache.h"
#include "DizEvozidiz/DizCollectionKey.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewChange.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPage.h"
#include "platform/runtime/object.h"

inline constexpr std::size_t kDizViewPageSize = 50;
inline constexpr std::size_t kDizViewMaxPageSizeBeforeSplit = 1600;
inline constexpr std::size_t kDizViewSplitPageSize = 800;
inline constexpr std::size_t kDizViewMapCacheLimit = 100;
inline constexpr std::size_t kDizViewPageCacheLimit = 40;

// Where each page of a group starts, for lookups by index or by page in logarithmic time instead of
// a walk over the group's descriptors. Built on demand for an immutable state only (a committed
// snapshot never changes, so nothing can make it stale); kept while the working set holds that state.
struct DizViewPagePositions {
  std::vector<std::uint64_t> starts;  // rows before page i; one more entry: the group's total
  std::unordered_map<std::string, std::size_t> indexOfPageKey;
};

struct DizViewWorkingSet {
  DizEvozidizViewStatePtr state;
  // rowid -> page key, or nullopt when known not to be in the view.
  DizCache<std::int64_t, std::optional<std::string>> mapCache{kDizViewMapCacheLimit};
  DizCache<std::string, DizEvozidizViewPagePtr> pageCache{kDizViewPageCacheLimit};
  // rowid -> page key, or nullopt for a rowid that left the view.
  std::unordered_map<std::int64_t, std::optional<std::string>> dirtyMaps;
  // page key -> page, or null for a dropped page.
  std::unordered_map<std::string, DizEvozidizViewPagePtr> dirtyPages;
  // page key -> descriptor whose previous page key changed.
  std::unordered_map<std::string, DizEvozidizViewPageMetadataPtr> dirtyLinks;
  // DizEvozidizViewRowChange and DizEvozidizViewSectionChange records, in order.
  std::vector<platform::ObjectPtr> changes;
  std::set<std::string> mutatedGroups;
  bool reset = false;
  bool lastInsertWasAtFirstIndex = false;
  bool lastInsertWasAtLastIndex = false;
  // The state pagePositions were built for (held, so that its address cannot be reused).
  DizEvozidizViewStatePtr pagePositionsState;
  std::unordered_map<std::string, DizViewPagePositions> pagePositions;

  bool hasDirtyContent() const { return !dirtyMaps.empty() || !dirtyPages.empty() || !dirtyLinks.empty(); }
  // Empties the dirty containers, the change log and the mutated groups; clears reset.
  void clearTransactionChanges();
};

class DizViewPageBackend {
 public:
  virtual ~DizViewPageBackend() = default;
  // For log messages.
  virtual const std::string& registeredName() const = 0;
  // The stored page key of a rowid; nullopt when it has none.
  virtual std::optional<std::string> storedPageKeyForRowid(std::int64_t rowid) = 0;
  // Stored page keys of many rowids (every rowid given at most once): rowid -> page key.
  virtual std::unordered_map<std::int64_t, std::string> storedPageKeysForRowids(
      const std::vector<std::int64_t>& rowids);
  // A stored page as a new object the caller may change; null when missing.
  virtual DizEvozidizViewPagePtr storedPage(const std::string& pageKey) = 0;
  // A new, unique page key (a UUID string by default).
  virtual std::string generatePageKey();
  // A page the state lists could not be read: the transaction must not commit a partial change.
  virtual void notePageUnavailable(const std::string& pageKey);

  // What subclasses of the view hear; nothing by default.
  virtual void didInsertRowid(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey);
  virtual void didRemoveRowid(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey);
  virtual void didRemoveRowids(const std::vector<std::int64_t>& rowids,
                               const std::vector<DizCollectionKeyPtr>* collectionKeys);
  virtual void didRemoveAllRowids();
};

// How the row being placed compares with the row of a rowid already in the group: -1 it sorts
// before, 0 the same, 1 after.
using DizViewRowComparison = std::function<int(std::int64_t otherRowid)>;

class DizViewPages {
 public:
  DizViewPages(DizViewWorkingSet& working, DizViewPageBackend& backend) : w_(working), backend_(backend) {}

  DizViewWorkingSet& working() { return w_; }
  DizEvozidizViewState& state() { return *w_.state; }

  // ---- Reading ----
  std::optional<std::string> pageKeyForRowid(std::int64_t rowid);
  // page key -> (rowid -> collection key), for the rowids of `rowids` that are in the view; `rowids`
  // is replaced by those found.
  std::map<std::string, std::map<std::int64_t, DizCollectionKeyPtr>> pageKeysForRowids(
      std::vector<std::int64_t>& rowids, const std::unordered_map<std::int64_t, DizCollectionKeyPtr>& keyMappings);
  DizEvozidizViewPagePtr pageForPageKey(const std::string& pageKey);
  bool containsRowid(std::int64_t rowid) { return pageKeyForRowid(rowid).has_value(); }
  std::optional<std::string> groupForRowid(std::int64_t rowid);
  // A rowid not in the page counts as index 0 of it.
  std::uint64_t indexForRowid(std::int64_t rowid, const std::string& group, const std::string& pageKey);
  bool getRowid(std::int64_t* rowid, std::uint64_t index, const std::string& group);
  bool getLastRowid(std::int64_t* rowid, const std::string& group);

  // ---- Placement ----
  // Places the row by `compare`, or records an update when it already sits in order. isNew promises
  // the rowid is not in the view yet.
  void insertRowid(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, const std::string& group,
                   const DizViewRowComparison& compare, std::uint64_t changes, bool isNew);
  void insertRowidInNewGroup(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, const std::string& group);
  void insertRowidAtIndex(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, const std::string& group,
                          std::uint64_t index, const std::optional<std::string>& existingPageKey);

  // ---- Removal ----
  void removeRowid(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey);
  void removeRowidFromPage(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, const std::string& pageKey,
                           const std::string& group, bool skipSubclassHook);
  void removeRowidAtIndex(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, std::uint64_t index,
                          const std::string& group);
  void removeRowidsWithKeyMappings(const std::map<std::int64_t, DizCollectionKeyPtr>& keyMappings,
                                   const std::string& pageKey, const std::string& group);
  void removeAllRowidsInGroup(const std::string& group);
  // Forgets every group and everything dirty or cached, records reset changes (unless repopulating)
  // and sets the reset flag. The caller empties the storage.
  void removeAllRowidsInMemory(bool recordResets);

  // ---- Balancing and flushing ----
  void splitOversizedPage(const DizEvozidizViewPagePtr& page, const std::string& pageKey, std::size_t maxPageSize);
  void dropEmptyPage(const std::string& pageKey);
  // Splits dirty pages above 50 and drops empty ones.
  void cleanupPages();

  struct PageWrite {
    enum Kind { Remove, Insert, UpdateAll, Update };
    Kind kind;
    const std::string* pageKey;
    DizEvozidizViewPageMetadataPtr metadata;  // null for Remove
    DizEvozidizViewPagePtr page;              // null for Remove
  };
  // After cleanupPages: one write per dirty page (clearing isNew of inserted descriptors), then the
  // changed links of pages not written with them.
  void enumeratePageWrites(const std::function<void(const PageWrite&)>& write);
  void enumerateLinkWrites(const std::function<void(const DizEvozidizViewPageMetadata&)>& write);

  // Builds a state from stored descriptors, checking every chain (missing page, cycle, unreachable
  // page). Null, with the failure logged, when a chain is broken.
  static DizEvozidizViewStatePtr buildState(std::vector<DizEvozidizViewPageMetadataPtr> descriptors,
                                            const std::string& registeredName);

 private:
  // Position of the descriptor in the group's list and the rows before it; nullopt when absent.
  std::optional<std::pair<std::size_t, std::uint64_t>> locatePage(const std::string& group, const std::string& pageKey);
  DizEvozidizViewPageMetadataPtr metadataForPageKey(const std::string& pageKey);
  void markPageDirty(const std::string& pageKey, const DizEvozidizViewPagePtr& page);
  void mapRowid(std::int64_t rowid, const std::string& pageKey);
  void unmapRowid(std::int64_t rowid);
  void movedRowids(const DizEvozidizViewPage& page, std::size_t location, std::size_t length,
                   const std::string& pageKey);
  // Rows before each page of `pages`, then their total.
  static std::vector<std::uint64_t> pageStarts(const DizEvozidizViewState::PageList& pages);
  // The rowid at `index` of the group whose pages are `pages`, starting at `starts`; nullopt when
  // the index is past the end or its page cannot be read.
  std::optional<std::int64_t> rowidAtGroupIndex(const DizEvozidizViewState::PageList& pages,
                                                const std::vector<std::uint64_t>& starts, std::uint64_t index);
  // The group's page positions when the state is immutable; null otherwise (walk the descriptors).
  const DizViewPagePositions* pagePositions(const std::string& group);

  DizViewWorkingSet& w_;
  DizViewPageBackend& backend_;
};

// The file name the view's log messages carry.
inline constexpr const char* kDizViewTransactionLogFile = "DizEvozidiz/Extensions/Views/DizEvozidizViewTransaction.cpp";
#define DIZ_VIEW_LOG_ERROR(...) DIZ_LOG_IN(kDizLogFlagError, kDizViewTransactionLogFile, __VA_ARGS__)
#define DIZ_VIEW_LOG_WARN(...) DIZ_LOG_IN(kDizLogFlagWarning, kDizViewTransactionLogFile, __VA_ARGS__)
