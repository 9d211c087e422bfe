#include "DizEvozidiz/Extensions/FilteredViews/DizEvozidizFilteredViewTransaction.h"

#include <algorithm>

#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPagesInternal.h"

using platform::Value;

namespace {
constexpr const char* kFilteredLogFile = "DizEvozidiz/Extensions/FilteredViews/DizEvozidizFilteredViewTransaction.cpp";
#define DIZ_FILTERED_LOG_WARN(...) DIZ_LOG_IN(kDizLogFlagWarning, kFilteredLogFile, __VA_ARGS__)
}  // namespace

DizEvozidizFilteredViewTransaction::DizEvozidizFilteredViewTransaction(DizEvozidizFilteredViewConnectionPtr connection,
                                                                       DizEvozidizReadTransaction* transaction)
    : DizEvozidizViewTransaction(std::move(connection), transaction) {}

DizEvozidizFilteredViewTransactionPtr DizEvozidizFilteredViewTransaction::make(
    DizEvozidizFilteredViewConnectionPtr connection, DizEvozidizReadTransaction* transaction) {
  return platform::make<DizEvozidizFilteredViewTransaction>(std::move(connection), transaction);
}

DizEvozidizViewTransactionPtr DizEvozidizFilteredViewTransaction::parent() {
  return std::dynamic_pointer_cast<DizEvozidizViewTransaction>(
      databaseTransaction()->ext(filteredView().parentViewName()));
}

bool DizEvozidizFilteredViewTransaction::passes(const DizEvozidizViewFiltering& filter, const std::string& group,
                                                std::int64_t rowid, const DizCollectionKeyPtr& collectionKey,
                                                const Value* object, const Value* metadata) {
  DizEvozidizReadTransaction& t = *databaseTransaction();
  Value o, m;
  if (filter.needsObject()) o = object ? *object : t.objectForCollectionKey(collectionKey, rowid);
  if (filter.needsMetadata()) m = metadata ? *metadata : t.metadataForCollectionKey(collectionKey, rowid);
  return filter.block()(t, group, DizViewRow{collectionKey->collection(), collectionKey->key(), o, m});
}

void DizEvozidizFilteredViewTransaction::insertAtCursor(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey,
                                                        const std::string& group, std::uint64_t index) {
  auto p = pages();
  const auto* existing = working().state->pagesMetadataForGroup(group);
  if (index == 0 && (!existing || existing->empty()))
    p.insertRowidInNewGroup(rowid, collectionKey, group);
  else
    p.insertRowidAtIndex(rowid, collectionKey, group, index, std::nullopt);
}

// ---- Creating and filling ----

bool DizEvozidizFilteredViewTransaction::createIfNeeded() {
  // A filtered view is refilled when its parent changed too; before version tags it stored a text
  // under "tag".
  return DizEvozidizViewTransaction::createIfNeeded(
      StoredDescription{{{"parentViewName", filteredView().parentViewName()}},
                        "tag",
                        false,
                        {"classVersion", "parentViewName", "versionTag", "tag"}});
}

bool DizEvozidizFilteredViewTransaction::populateView() {
  auto parentView = parent();
  if (!parentView) return false;
  removeAllRowids();
  pages();  // a state to fill
  const auto filter = filteredConnection().filtering();
  if (!filter) return false;
  DizEvozidizReadTransaction& t = *databaseTransaction();
  for (const auto& group : parentView->allGroups()) {
    std::uint64_t k = 0;
    parentView->enumerateRowidsInGroup(group, 0, [&](std::int64_t rowid, std::uint64_t, bool&) {
      auto ck = t.collectionKeyForRowid(rowid);
      if (ck && passes(*filter, group, rowid, ck, nullptr, nullptr)) insertAtCursor(rowid, ck, group, k++);
    });
  }
  return true;
}

// ---- Following the parent ----

void DizEvozidizFilteredViewTransaction::mergeWithParent(bool refilter) {
  auto parentView = parent();
  const auto filter = filteredConnection().filtering();
  if (!parentView || !filter) return;
  DizEvozidizReadTransaction& t = *databaseTransaction();
  std::vector<std::string> leftOver = allGroups();
  for (const auto& group : parentView->allGroups()) {
    leftOver.erase(std::remove(leftOver.begin(), leftOver.end(), group), leftOver.end());
    std::uint64_t k = 0;
    std::int64_t o = 0;
    bool has = getRowid(&o, k, group);
    auto removeCurrent = [&] {
      pages().removeRowidAtIndex(o, t.collectionKeyForRowid(o), k, group);
      has = getRowid(&o, k, group);
    };
    // Rows of ours the parent no longer holds in this group go first (they may sit anywhere).
    auto dropGone = [&] {
      while (has && !refilter && parentView->groupForRowid(o) != group) removeCurrent();
    };
    std::vector<std::int64_t> parentRows;
    parentView->enumerateRowidsInGroup(group, 0,
                                       [&](std::int64_t p, std::uint64_t, bool&) { parentRows.push_back(p); });
    for (std::int64_t p : parentRows) {
      dropGone();
      auto ck = t.collectionKeyForRowid(p);
      if (!ck) continue;
      if (has && o == p) {
        if (!refilter || passes(*filter, group, p, ck, nullptr, nullptr)) {
          has = getRowid(&o, ++k, group);
        } else {
          removeCurrent();
        }
      } else if (passes(*filter, group, p, ck, nullptr, nullptr)) {
        insertAtCursor(p, ck, group, k++);
      }
    }
    while (has) removeCurrent();
  }
  for (const auto& group : leftOver) pages().removeAllRowidsInGroup(group);
}

void DizEvozidizFilteredViewTransaction::viewDidRepopulate(const std::string& name, std::uint64_t flags) {
  if (!requireReadWrite("view:didRepopulateWithFlags:")) return;
  if (name != filteredView().parentViewName()) {
    DIZ_FILTERED_LOG_WARN("%@: %@ - Method inappropriately invoked. Doesn't match parentViewName.",
                          "view:didRepopulateWithFlags:");
    return;
  }
  if (flags & kDizViewRepopulateGroupingSorting) {
    DizEvozidizViewGrouping::Ptr grouping;
    DizEvozidizViewSorting::Ptr sorting;
    if (auto parentView = parent()) parentView->viewConnection()->getGroupingSorting(&grouping, &sorting);
    viewConnection()->setGroupingSorting(std::move(grouping), std::move(sorting));
    repopulateView();
  } else {
    mergeWithParent(false);
  }
  notifyDependentsOfRepopulation(flags);
}

void DizEvozidizFilteredViewTransaction::setFilteringVersionTag(DizEvozidizViewFiltering::Ptr filtering,
                                                                std::optional<std::string> versionTag) {
  if (!requireReadWrite("setFiltering:versionTag:")) return;
  const std::string tag = versionTag.value_or(std::string());
  if (!filtering) return;
  if (tag == this->versionTag()) {
    DIZ_FILTERED_LOG_WARN("%@: %@ - versionTag didn't change, so not updating view", "setFiltering:versionTag:");
    return;
  }
  filteredConnection().setFilteringVersionTag(std::move(filtering), tag);
  mergeWithParent(true);
  setStringValue(tag, "versionTag", isPersistentView());
  notifyDependentsOfRepopulation(kDizViewRepopulateFiltering);
}

void DizEvozidizFilteredViewTransaction::setGroupingSortingVersionTag(DizEvozidizViewGrouping::Ptr,
                                                                      DizEvozidizViewSorting::Ptr,
                                                                      std::optional<std::string>) {
  throw platform::Exception(
      std::string(DizEvozidizExceptionName), "This method is not available for DizEvozidizFilteredView.",
      Value::dictionary({{std::string(platform::kLocalizedRecoverySuggestionErrorKey),
                          "DizEvozidizFilteredView is designed to filter an existing DizEvozidizView instance. You may "
                          "update the filteringBlock, or you may invoke this method on the parent DizEvozidizView."}}));
}

// ---- Row hooks ----

void DizEvozidizFilteredViewTransaction::handleChange(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey,
                                                      const Value* object, const Value* metadata,
                                                      std::uint64_t invokeMask, std::uint64_t changes, bool isInsert) {
  auto parentView = parent();
  const auto filter = filteredConnection().filtering();
  if (!parentView || !filter) return;
  const auto group = parentView->groupForRowid(rowid);
  if (!group) {
    if (!isInsert) pages().removeRowid(rowid, collectionKey);
    return;
  }
  DizEvozidizViewSorting::Ptr sorting;
  viewConnection()->getGroupingSorting(nullptr, &sorting);
  const bool filterRuns = isInsert || (filter->blockInvokeOptions() & invokeMask);
  DizEvozidizReadTransaction& t = *databaseTransaction();
  // The values the sorting (and the filter, when it runs) read; given ones are never read again.
  Value o = object ? *object : Value(), m = metadata ? *metadata : Value();
  const bool wantObject = (sorting && sorting->needsObject()) || (filterRuns && filter->needsObject());
  const bool wantMetadata = (sorting && sorting->needsMetadata()) || (filterRuns && filter->needsMetadata());
  if (wantObject && !object) o = t.objectForCollectionKey(collectionKey, rowid);
  if (wantMetadata && !metadata) m = t.metadataForCollectionKey(collectionKey, rowid);
  if (filterRuns) {
    if (passes(*filter, *group, rowid, collectionKey, &o, &m))
      placeRow(rowid, collectionKey, o, m, *group, changes, false);
    else if (!isInsert)
      pages().removeRowid(rowid, collectionKey);
    return;
  }
  if (pages().pageKeyForRowid(rowid)) placeRow(rowid, collectionKey, o, m, *group, changes, false);
}

void DizEvozidizFilteredViewTransaction::handleInsertObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                            const Value& metadata, std::int64_t rowid) {
  handleChange(rowid, ck, &object, &metadata, 0, DizViewChangedObject | DizViewChangedMetadata, true);
}

void DizEvozidizFilteredViewTransaction::handleUpdateObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                            const Value& metadata, std::int64_t rowid) {
  handleChange(rowid, ck, &object, &metadata, DizBlockInvokeOnObjectModified | DizBlockInvokeOnMetadataModified,
               DizViewChangedObject | DizViewChangedMetadata, false);
}

void DizEvozidizFilteredViewTransaction::handleReplaceObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                             std::int64_t rowid) {
  handleChange(rowid, ck, &object, nullptr, DizBlockInvokeOnObjectModified, DizViewChangedObject, false);
}

void DizEvozidizFilteredViewTransaction::handleReplaceMetadata(const Value& metadata, const DizCollectionKeyPtr& ck,
                                                               std::int64_t rowid) {
  handleChange(rowid, ck, nullptr, &metadata, DizBlockInvokeOnMetadataModified, DizViewChangedMetadata, false);
}

void DizEvozidizFilteredViewTransaction::handleTouchObjectForCollectionKey(const DizCollectionKeyPtr& ck,
                                                                           std::int64_t rowid) {
  handleChange(rowid, ck, nullptr, nullptr, DizBlockInvokeOnObjectTouched, DizViewChangedObject, false);
}

void DizEvozidizFilteredViewTransaction::handleTouchMetadataForCollectionKey(const DizCollectionKeyPtr& ck,
                                                                             std::int64_t rowid) {
  handleChange(rowid, ck, nullptr, nullptr, DizBlockInvokeOnMetadataTouched, DizViewChangedMetadata, false);
}

void DizEvozidizFilteredViewTransaction::handleTouchRowForCollectionKey(const DizCollectionKeyPtr& ck,
                                                                        std::int64_t rowid) {
  handleChange(rowid, ck, nullptr, nullptr, DizBlockInvokeOnObjectTouched | DizBlockInvokeOnMetadataTouched,
               DizViewChangedObject | DizViewChangedMetadata, false);
}
