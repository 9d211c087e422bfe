#include <algorithm>
#include <string_view>

#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPagesInternal.h"
#include "platform/system/crypto.h"

// ---- Working set and backend defaults ----

void DizViewWorkingSet::clearTransactionChanges() {
  // Fresh containers rather than clear(): after a large transaction a cleared hash map keeps its
  // bucket array, which every later clear and every copy into a changeset would walk again.
  dirtyMaps = {};
  dirtyPages = {};
  dirtyLinks = {};
  changes = {};
  mutatedGroups.clear();
  reset = false;
}

std::unordered_map<std::int64_t, std::string> DizViewPageBackend::storedPageKeysForRowids(
    const std::vector<std::int64_t>& rowids) {
  std::unordered_map<std::int64_t, std::string> found;
  for (std::int64_t rowid : rowids)
    if (auto key = storedPageKeyForRowid(rowid)) found.emplace(rowid, std::move(*key));
  return found;
}

std::string DizViewPageBackend::generatePageKey() { return platform::UUID::random().uuidString(); }
void DizViewPageBackend::notePageUnavailable(const std::string&) {}
void DizViewPageBackend::didInsertRowid(std::int64_t, const DizCollectionKeyPtr&) {}
void DizViewPageBackend::didRemoveRowid(std::int64_t, const DizCollectionKeyPtr&) {}
void DizViewPageBackend::didRemoveRowids(const std::vector<std::int64_t>&, const std::vector<DizCollectionKeyPtr>*) {}
void DizViewPageBackend::didRemoveAllRowids() {}

// ---- Reading ----

std::optional<std::string> DizViewPages::pageKeyForRowid(std::int64_t rowid) {
  if (auto it = w_.dirtyMaps.find(rowid); it != w_.dirtyMaps.end()) return it->second;
  if (auto* cached = w_.mapCache.objectForKey(rowid)) return *cached;
  auto stored = backend_.storedPageKeyForRowid(rowid);
  w_.mapCache.setObject(stored, rowid);
  return stored;
}

std::map<std::string, std::map<std::int64_t, DizCollectionKeyPtr>> DizViewPages::pageKeysForRowids(
    std::vector<std::int64_t>& rowids, const std::unordered_map<std::int64_t, DizCollectionKeyPtr>& keyMappings) {
  std::map<std::string, std::map<std::int64_t, DizCollectionKeyPtr>> result;
  std::vector<std::int64_t> found;
  std::vector<std::int64_t> remaining;
  auto keyFor = [&](std::int64_t rowid) {
    auto it = keyMappings.find(rowid);
    return it == keyMappings.end() ? DizCollectionKeyPtr() : it->second;
  };
  for (auto it = rowids.rbegin(); it != rowids.rend(); ++it) {
    const std::int64_t rowid = *it;
    const std::optional<std::string>* known = nullptr;
    if (auto d = w_.dirtyMaps.find(rowid); d != w_.dirtyMaps.end())
      known = &d->second;
    else if (w_.mapCache.containsKey(rowid))
      known = w_.mapCache.objectForKey(rowid);
    if (!known) {
      remaining.push_back(rowid);
      continue;
    }
    if (!*known) continue;
    result[**known][rowid] = keyFor(rowid);
    found.push_back(rowid);
  }
  if (!remaining.empty()) {
    for (auto& [rowid, pageKey] : backend_.storedPageKeysForRowids(remaining)) {
      result[pageKey][rowid] = keyFor(rowid);
      found.push_back(rowid);
    }
  }
  rowids = std::move(found);
  return result;
}

DizEvozidizViewPagePtr DizViewPages::pageForPageKey(const std::string& pageKey) {
  if (auto it = w_.dirtyPages.find(pageKey); it != w_.dirtyPages.end()) return it->second;
  if (auto* cached = w_.pageCache.objectForKey(pageKey)) return *cached;
  auto page = backend_.storedPage(pageKey);
  if (page) w_.pageCache.setObject(page, pageKey);
  return page;
}

std::optional<std::string> DizViewPages::groupForRowid(std::int64_t rowid) {
  auto pageKey = pageKeyForRowid(rowid);
  if (!pageKey) return std::nullopt;
  const std::string* group = w_.state->groupForPageKey(*pageKey);
  return group ? std::optional<std::string>(*group) : std::nullopt;
}

std::uint64_t DizViewPages::indexForRowid(std::int64_t rowid, const std::string& group, const std::string& pageKey) {
  auto located = locatePage(group, pageKey);
  if (!located) return 0;
  std::size_t index = 0;
  if (auto page = pageForPageKey(pageKey)) page->getIndex(&index, rowid);
  return located->second + index;
}

std::vector<std::uint64_t> DizViewPages::pageStarts(const DizEvozidizViewState::PageList& pages) {
  std::vector<std::uint64_t> starts;
  starts.reserve(pages.size() + 1);
  std::uint64_t offset = 0;
  for (const auto& m : pages) {
    starts.push_back(offset);
    offset += m->count;
  }
  starts.push_back(offset);
  return starts;
}

std::optional<std::int64_t> DizViewPages::rowidAtGroupIndex(const DizEvozidizViewState::PageList& pages,
                                                            const std::vector<std::uint64_t>& starts,
                                                            std::uint64_t index) {
  // The last page starting at or before `index` holds it, unless `index` is past the end (pages of
  // count 0 start where the next one does and are never chosen).
  const auto next = std::upper_bound(starts.begin(), starts.end(), index);
  if (next == starts.end() || next == starts.begin()) return std::nullopt;
  const std::size_t i = static_cast<std::size_t>(next - starts.begin()) - 1;
  auto page = pageForPageKey(pages[i]->pageKey);
  if (!page || index - starts[i] >= page->count()) return std::nullopt;
  return page->rowidAtIndex(index - starts[i]);
}

bool DizViewPages::getRowid(std::int64_t* rowid, std::uint64_t index, const std::string& group) {
  if (const auto* positions = pagePositions(group)) {
    const auto found = rowidAtGroupIndex(*w_.state->pagesMetadataForGroup(group), positions->starts, index);
    if (rowid) *rowid = found.value_or(0);
    return found.has_value();
  }
  const auto* pages = w_.state->pagesMetadataForGroup(group);
  std::uint64_t offset = 0;
  if (pages) {
    for (const auto& m : *pages) {
      if (m->count > 0 && index < offset + m->count) {
        auto page = pageForPageKey(m->pageKey);
        if (!page || index - offset >= page->count()) break;
        if (rowid) *rowid = page->rowidAtIndex(index - offset);
        return true;
      }
      offset += m->count;
    }
  }
  if (rowid) *rowid = 0;
  return false;
}

bool DizViewPages::getLastRowid(std::int64_t* rowid, const std::string& group) {
  if (const auto* pages = w_.state->pagesMetadataForGroup(group)) {
    for (auto it = pages->rbegin(); it != pages->rend(); ++it) {
      if ((*it)->count == 0) continue;
      auto page = pageForPageKey((*it)->pageKey);
      if (!page || page->count() < (*it)->count) break;
      if (rowid) *rowid = page->rowidAtIndex((*it)->count - 1);
      return true;
    }
  }
  if (rowid) *rowid = 0;
  return false;
}

const DizViewPagePositions* DizViewPages::pagePositions(const std::string& group) {
  if (!w_.state || !w_.state->isImmutable()) return nullptr;
  if (w_.pagePositionsState != w_.state) {
    w_.pagePositions.clear();
    w_.pagePositionsState = w_.state;
  }
  auto it = w_.pagePositions.find(group);
  if (it != w_.pagePositions.end()) return &it->second;
  const auto* pages = static_cast<const DizEvozidizViewState&>(*w_.state).pagesMetadataForGroup(group);
  if (!pages) return nullptr;
  DizViewPagePositions positions;
  positions.starts = pageStarts(*pages);
  for (std::size_t i = 0; i < pages->size(); ++i) positions.indexOfPageKey.emplace((*pages)[i]->pageKey, i);
  return &w_.pagePositions.emplace(group, std::move(positions)).first->second;
}

std::optional<std::pair<std::size_t, std::uint64_t>> DizViewPages::locatePage(const std::string& group,
                                                                              const std::string& pageKey) {
  if (const auto* positions = pagePositions(group)) {
    auto it = positions->indexOfPageKey.find(pageKey);
    if (it == positions->indexOfPageKey.end()) return std::nullopt;
    return std::make_pair(it->second, positions->starts[it->second]);
  }
  const auto* pages = w_.state->pagesMetadataForGroup(group);
  if (!pages) return std::nullopt;
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < pages->size(); ++i) {
    if ((*pages)[i]->pageKey == pageKey) return std::make_pair(i, offset);
    offset += (*pages)[i]->count;
  }
  return std::nullopt;
}

DizEvozidizViewPageMetadataPtr DizViewPages::metadataForPageKey(const std::string& pageKey) {
  const std::string* group = w_.state->groupForPageKey(pageKey);
  if (!group) return nullptr;
  const auto* pages = w_.state->pagesMetadataForGroup(*group);
  if (!pages) return nullptr;
  for (const auto& m : *pages)
    if (m->pageKey == pageKey) return m;
  return nullptr;
}

// ---- Bookkeeping ----

void DizViewPages::markPageDirty(const std::string& pageKey, const DizEvozidizViewPagePtr& page) {
  w_.dirtyPages[pageKey] = page;
  w_.pageCache.setObject(page, pageKey);
}

void DizViewPages::mapRowid(std::int64_t rowid, const std::string& pageKey) {
  w_.dirtyMaps[rowid] = pageKey;
  w_.mapCache.setObject(pageKey, rowid);
}

void DizViewPages::unmapRowid(std::int64_t rowid) {
  w_.dirtyMaps[rowid] = std::nullopt;
  w_.mapCache.removeObjectForKey(rowid);
}

void DizViewPages::movedRowids(const DizEvozidizViewPage& page, std::size_t location, std::size_t length,
                               const std::string& pageKey) {
  for (std::size_t i = location; i < location + length; ++i) mapRowid(page.rowidAtIndex(i), pageKey);
}

// ---- Placement ----

void DizViewPages::insertRowid(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, const std::string& group,
                               const DizViewRowComparison& compare, std::uint64_t changes, bool isNew) {
  std::optional<std::string> existingPageKey;
  std::optional<std::uint64_t> existingIndex;
  if (!isNew) {
    existingPageKey = pageKeyForRowid(rowid);
    if (existingPageKey) {
      const std::string* existingGroup = w_.state->groupForPageKey(*existingPageKey);
      if (existingGroup && *existingGroup == group) {
        existingIndex = indexForRowid(rowid, group, *existingPageKey);
      } else if (existingGroup) {
        const std::string oldGroup = *existingGroup;
        removeRowidFromPage(rowid, collectionKey, *existingPageKey, oldGroup, true);
      }
    }
  }

  const auto* pages = w_.state->pagesMetadataForGroup(group);
  if (!pages || pages->empty()) {
    insertRowidInNewGroup(rowid, collectionKey, group);
    return;
  }
  std::uint64_t count = w_.state->countForGroup(group);

  // The group's pages do not change while the comparisons run: their starts are taken once (again
  // after a removal).
  std::vector<std::uint64_t> starts;
  auto compareAt = [&](std::uint64_t index) {
    const auto& list = *w_.state->pagesMetadataForGroup(group);
    if (starts.empty()) starts = pageStarts(list);
    return compare(rowidAtGroupIndex(list, starts, index).value_or(0));
  };

  if (existingIndex) {
    const std::uint64_t e = *existingIndex;
    bool valid = !(e > 0 && compareAt(e - 1) == -1);
    if (valid && e + 1 < count && compareAt(e + 1) == 1) valid = false;
    if (valid) {
      w_.changes.push_back(DizEvozidizViewRowChange::updateCollectionKey(collectionKey, group, e, changes));
      return;
    }
    removeRowidFromPage(rowid, collectionKey, *existingPageKey, group, true);
    starts.clear();
    --count;
  }

  if (count >= 2) {
    if (w_.lastInsertWasAtFirstIndex && compareAt(0) == -1) {
      insertRowidAtIndex(rowid, collectionKey, group, 0, std::nullopt);
      return;
    }
    if (w_.lastInsertWasAtLastIndex && compareAt(count - 1) != -1) {
      insertRowidAtIndex(rowid, collectionKey, group, count, std::nullopt);
      return;
    }
  }

  std::uint64_t lo = 0;
  std::uint64_t hi = count;
  while (lo < hi) {
    const std::uint64_t mid = (lo + hi) / 2;
    if (compareAt(mid) == -1)
      hi = mid;
    else
      lo = mid + 1;
  }
  insertRowidAtIndex(rowid, collectionKey, group, lo, std::nullopt);
  w_.lastInsertWasAtFirstIndex = lo == 0;
  w_.lastInsertWasAtLastIndex = lo == count;
}

void DizViewPages::insertRowidInNewGroup(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey,
                                         const std::string& group) {
  const std::string pageKey = backend_.generatePageKey();
  auto page = std::make_shared<DizEvozidizViewPage>(kDizViewPageSize);
  page->addRowid(rowid);
  auto metadata = std::make_shared<DizEvozidizViewPageMetadata>();
  metadata->pageKey = pageKey;
  metadata->group = group;
  metadata->count = 1;
  metadata->isNew = true;
  w_.state->createGroup(group, 1);
  w_.state->addPageMetadata(metadata, group);
  markPageDirty(pageKey, page);
  mapRowid(rowid, pageKey);
  w_.changes.push_back(DizEvozidizViewSectionChange::insertGroup(group));
  w_.changes.push_back(DizEvozidizViewRowChange::insertCollectionKey(collectionKey, group, 0));
  w_.mutatedGroups.insert(group);
  backend_.didInsertRowid(rowid, collectionKey);
}

void DizViewPages::insertRowidAtIndex(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey,
                                      const std::string& group, std::uint64_t index,
                                      const std::optional<std::string>& existingPageKey) {
  const auto* pages = w_.state->ownPagesMetadataForGroup(group);
  if (!pages || pages->empty()) {
    insertRowidInNewGroup(rowid, collectionKey, group);
    return;
  }
  DizEvozidizViewPageMetadataPtr chosen;
  std::size_t chosenIndex = 0;
  std::uint64_t chosenOffset = 0;
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < pages->size(); ++i) {
    const auto& m = (*pages)[i];
    if (index < offset + m->count || (index == offset + m->count && m->count < kDizViewPageSize &&
                                      i + 1 < pages->size() && (*pages)[i + 1]->count >= kDizViewPageSize)) {
      chosen = m;
      chosenIndex = i;
      chosenOffset = offset;
      break;
    }
    offset += m->count;
  }
  if (!chosen) {
    chosen = pages->back();
    chosenIndex = pages->size() - 1;
    chosenOffset = offset - chosen->count;
  }
  const std::string pageKey = chosen->pageKey;
  auto page = pageForPageKey(pageKey);
  if (!page || index - chosenOffset > page->count()) {
    DIZ_VIEW_LOG_ERROR("%@: %@ (%@): Missing page(%@) of group(%@)", "insertRowid", backend_.registeredName(), pageKey,
                       group);
    backend_.notePageUnavailable(pageKey);
    return;
  }
  page->insertRowid(rowid, index - chosenOffset);
  w_.state->ownPageMetadataAtIndex(chosenIndex, group)->count = page->count();
  markPageDirty(pageKey, page);
  if (!existingPageKey || *existingPageKey != pageKey) mapRowid(rowid, pageKey);
  w_.changes.push_back(DizEvozidizViewRowChange::insertCollectionKey(collectionKey, group, index));
  w_.mutatedGroups.insert(group);
  if (page->count() > kDizViewMaxPageSizeBeforeSplit) splitOversizedPage(page, pageKey, kDizViewSplitPageSize);
  backend_.didInsertRowid(rowid, collectionKey);
}

// ---- Removal ----

void DizViewPages::removeRowid(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey) {
  auto pageKey = pageKeyForRowid(rowid);
  if (!pageKey) return;
  const std::string* group = w_.state->groupForPageKey(*pageKey);
  if (!group) return;
  const std::string groupCopy = *group;
  removeRowidFromPage(rowid, collectionKey, *pageKey, groupCopy, false);
}

void DizViewPages::removeRowidFromPage(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey,
                                       const std::string& pageKey, const std::string& group, bool skipSubclassHook) {
  auto page = pageForPageKey(pageKey);
  auto located = locatePage(group, pageKey);
  std::size_t pageIndex = 0;
  if (!page || !located || !page->getIndex(&pageIndex, rowid)) {
    DIZ_VIEW_LOG_ERROR("%@: %@ (%@): collection(%@) key(%@) expected to be in page(%@), but is missing", "removeRowid",
                       backend_.registeredName(), collectionKey ? collectionKey->collection() : std::string(),
                       collectionKey ? collectionKey->key() : std::string(), pageKey);
    if (!page) backend_.notePageUnavailable(pageKey);
    return;
  }
  w_.changes.push_back(
      DizEvozidizViewRowChange::deleteCollectionKey(collectionKey, group, located->second + pageIndex));
  w_.mutatedGroups.insert(group);
  page->removeRowidAtIndex(pageIndex);
  w_.state->ownPageMetadataAtIndex(located->first, group)->count = page->count();
  markPageDirty(pageKey, page);
  unmapRowid(rowid);
  if (!skipSubclassHook) backend_.didRemoveRowid(rowid, collectionKey);
}

void DizViewPages::removeRowidAtIndex(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, std::uint64_t index,
                                      const std::string& group) {
  const auto* pages = w_.state->pagesMetadataForGroup(group);
  DizEvozidizViewPageMetadataPtr metadata;
  std::size_t pageIndex = 0;
  std::uint64_t offset = 0;
  if (pages) {
    for (; pageIndex < pages->size(); ++pageIndex) {
      const auto& m = (*pages)[pageIndex];
      if (m->count > 0 && index < offset + m->count) {
        metadata = m;
        break;
      }
      offset += m->count;
    }
  }
  auto page = metadata ? pageForPageKey(metadata->pageKey) : nullptr;
  if (!page || index - offset >= page->count()) {
    DIZ_VIEW_LOG_ERROR("%@: %@ (%@): Unable to remove rowid at groupIndex(%lu) in group(%@)", "removeRowidAtIndex",
                       backend_.registeredName(), static_cast<unsigned long>(index), group);
    return;
  }
  w_.changes.push_back(DizEvozidizViewRowChange::deleteCollectionKey(collectionKey, group, index));
  w_.mutatedGroups.insert(group);
  page->removeRowidAtIndex(index - offset);
  w_.state->ownPageMetadataAtIndex(pageIndex, group)->count = page->count();
  markPageDirty(metadata->pageKey, page);
  unmapRowid(rowid);
  backend_.didRemoveRowid(rowid, collectionKey);
}

void DizViewPages::removeRowidsWithKeyMappings(const std::map<std::int64_t, DizCollectionKeyPtr>& keyMappings,
                                               const std::string& pageKey, const std::string& group) {
  if (keyMappings.empty()) return;
  if (keyMappings.size() == 1) {
    removeRowidFromPage(keyMappings.begin()->first, keyMappings.begin()->second, pageKey, group, true);
    return;
  }
  auto page = pageForPageKey(pageKey);
  auto located = locatePage(group, pageKey);
  if (!page || !located) {
    DIZ_VIEW_LOG_ERROR("%@: %@ (%@): Missing page(%@) of group(%@)", "removeRowids", backend_.registeredName(), pageKey,
                       group);
    if (!page) backend_.notePageUnavailable(pageKey);
    return;
  }
  std::size_t removed = 0;
  for (std::size_t i = page->count(); i-- > 0;) {
    auto it = keyMappings.find(page->rowidAtIndex(i));
    if (it == keyMappings.end()) continue;
    page->removeRowidAtIndex(i);
    w_.changes.push_back(DizEvozidizViewRowChange::deleteCollectionKey(it->second, group, located->second + i));
    ++removed;
  }
  w_.mutatedGroups.insert(group);
  if (removed < keyMappings.size())
    DIZ_VIEW_LOG_WARN("%@: %@ (%@): Expected to remove %lu, but only found %lu in page(%@)", "removeRowids",
                      backend_.registeredName(), static_cast<unsigned long>(keyMappings.size()),
                      static_cast<unsigned long>(removed), pageKey);
  w_.state->ownPageMetadataAtIndex(located->first, group)->count = page->count();
  markPageDirty(pageKey, page);
  for (const auto& entry : keyMappings) unmapRowid(entry.first);
}

void DizViewPages::removeAllRowidsInGroup(const std::string& group) {
  const auto* pages = w_.state->ownPagesMetadataForGroup(group);
  if (!pages) return;
  std::vector<std::int64_t> removed;
  for (std::size_t i = 0; i < pages->size(); ++i) {
    const auto& m = (*pages)[i];
    auto page = pageForPageKey(m->pageKey);
    if (!page) {
      backend_.notePageUnavailable(m->pageKey);
      continue;
    }
    for (std::int64_t rowid : page->rowids()) {
      removed.push_back(rowid);
      unmapRowid(rowid);
    }
    page->removeAllRowids();
    w_.state->ownPageMetadataAtIndex(i, group)->count = 0;
    markPageDirty(m->pageKey, page);
  }
  w_.changes.push_back(DizEvozidizViewSectionChange::resetGroup(group));
  w_.mutatedGroups.insert(group);
  backend_.didRemoveRowids(removed, nullptr);
}

void DizViewPages::removeAllRowidsInMemory(bool recordResets) {
  w_.state->enumerateGroupsWithBlock([&](const std::string& group, bool&) {
    if (recordResets) w_.changes.push_back(DizEvozidizViewSectionChange::resetGroup(group));
    w_.mutatedGroups.insert(group);
  });
  w_.state->removeAllGroups();
  w_.mapCache.removeAllObjects();
  w_.pageCache.removeAllObjects();
  w_.dirtyMaps.clear();
  w_.dirtyPages.clear();
  w_.dirtyLinks.clear();
  w_.reset = true;
}

// ---- Balancing ----

void DizViewPages::splitOversizedPage(const DizEvozidizViewPagePtr& page, const std::string& pageKey,
                                      std::size_t maxPageSize) {
  const std::string* groupPtr = w_.state->groupForPageKey(pageKey);
  if (!groupPtr || !page) return;
  const std::string group = *groupPtr;
  const auto* pages = w_.state->ownPagesMetadataForGroup(group);
  auto indexOf = [&]() -> std::optional<std::size_t> {
    for (std::size_t i = 0; i < pages->size(); ++i)
      if ((*pages)[i]->pageKey == pageKey) return i;
    return std::nullopt;
  };
  auto start = indexOf();
  if (!start) return;
  const DizEvozidizViewPageMetadataPtr d = w_.state->ownPageMetadataAtIndex(*start, group);
  const std::size_t m = maxPageSize;
  while (d->count > m) {
    const std::size_t i = *indexOf();
    // 1. Fill the previous page up to the maximum from the front of this one.
    if (i > 0 && (*pages)[i - 1]->count < m) {
      const auto prev = w_.state->ownPageMetadataAtIndex(i - 1, group);
      if (auto prevPage = pageForPageKey(prev->pageKey)) {
        const std::size_t n = std::min<std::size_t>(d->count - m, m - prev->count);
        const std::size_t at = prevPage->count();
        prevPage->appendRange(0, n, *page);
        page->removeRange(0, n);
        d->count = page->count();
        prev->count = prevPage->count();
        markPageDirty(prev->pageKey, prevPage);
        movedRowids(*prevPage, at, n, prev->pageKey);
        continue;
      }
    }
    // 2. Fill the next page from the end of this one.
    if (i + 1 < pages->size() && (*pages)[i + 1]->count < m) {
      const auto next = w_.state->ownPageMetadataAtIndex(i + 1, group);
      if (auto nextPage = pageForPageKey(next->pageKey)) {
        const std::size_t n = std::min<std::size_t>(d->count - m, m - next->count);
        nextPage->prependRange(page->count() - n, n, *page);
        page->removeRange(page->count() - n, n);
        d->count = page->count();
        next->count = nextPage->count();
        markPageDirty(next->pageKey, nextPage);
        movedRowids(*nextPage, 0, n, next->pageKey);
        continue;
      }
    }
    // 3. A new page right after this one takes its last rowids.
    const std::size_t s = std::min<std::size_t>(d->count - m, m);
    auto newPage = std::make_shared<DizEvozidizViewPage>(s);
    auto meta = std::make_shared<DizEvozidizViewPageMetadata>();
    meta->pageKey = backend_.generatePageKey();
    meta->prevPageKey = pageKey;
    meta->group = group;
    meta->isNew = true;
    w_.state->insertPageMetadata(meta, i + 1, group);
    if (i + 2 < pages->size()) {
      const auto& following = w_.state->ownPageMetadataAtIndex(i + 2, group);
      following->prevPageKey = meta->pageKey;
      w_.dirtyLinks[following->pageKey] = following;
    }
    newPage->appendRange(page->count() - s, s, *page);
    page->removeRange(page->count() - s, s);
    d->count = page->count();
    meta->count = newPage->count();
    markPageDirty(meta->pageKey, newPage);
    movedRowids(*newPage, 0, s, meta->pageKey);
  }
}

void DizViewPages::dropEmptyPage(const std::string& pageKey) {
  const std::string* groupPtr = w_.state->groupForPageKey(pageKey);
  if (!groupPtr) return;
  const std::string group = *groupPtr;
  auto located = locatePage(group, pageKey);
  if (!located) return;
  const auto* pages = w_.state->ownPagesMetadataForGroup(group);
  const std::size_t i = located->first;
  if (i + 1 < pages->size()) {
    const auto& next = w_.state->ownPageMetadataAtIndex(i + 1, group);
    next->prevPageKey = (*pages)[i]->prevPageKey;
    w_.dirtyLinks[next->pageKey] = next;
  }
  w_.state->removePageMetadataAtIndex(i, group);
  w_.dirtyPages[pageKey] = nullptr;
  w_.pageCache.removeObjectForKey(pageKey);
  w_.dirtyLinks.erase(pageKey);
  if (w_.state->pagesMetadataForGroup(group)->empty()) {
    w_.changes.push_back(DizEvozidizViewSectionChange::deleteGroup(group));
    w_.state->removeGroup(group);
  }
}

void DizViewPages::cleanupPages() {
  std::vector<std::string> keys;
  keys.reserve(w_.dirtyPages.size());
  for (const auto& entry : w_.dirtyPages) keys.push_back(entry.first);
  for (const auto& key : keys) {
    auto page = w_.dirtyPages[key];
    if (page && page->count() > kDizViewPageSize) splitOversizedPage(page, key, kDizViewPageSize);
  }
  for (const auto& key : keys) {
    auto page = w_.dirtyPages[key];
    if (page && page->count() == 0) dropEmptyPage(key);
  }
}

void DizViewPages::enumeratePageWrites(const std::function<void(const PageWrite&)>& write) {
  for (const auto& [key, page] : w_.dirtyPages) {
    if (!page) {
      write(PageWrite{PageWrite::Remove, &key, nullptr, nullptr});
      continue;
    }
    DizEvozidizViewPageMetadataPtr metadata;
    bool linkChanged = false;
    if (auto it = w_.dirtyLinks.find(key); it != w_.dirtyLinks.end()) {
      metadata = it->second;
      linkChanged = true;
    } else {
      metadata = metadataForPageKey(key);
    }
    if (!metadata) continue;  // not in the state: nothing consistent to write
    if (metadata->isNew) {
      metadata->isNew = false;
      write(PageWrite{PageWrite::Insert, &key, metadata, page});
    } else {
      write(PageWrite{linkChanged ? PageWrite::UpdateAll : PageWrite::Update, &key, metadata, page});
    }
  }
}

void DizViewPages::enumerateLinkWrites(const std::function<void(const DizEvozidizViewPageMetadata&)>& write) {
  for (const auto& [key, metadata] : w_.dirtyLinks)
    if (!w_.dirtyPages.contains(key)) write(*metadata);
}

// ---- Loading ----

DizEvozidizViewStatePtr DizViewPages::buildState(std::vector<DizEvozidizViewPageMetadataPtr> descriptors,
                                                 const std::string& registeredName) {
  // The maps look at the descriptors' own strings, which `descriptors` keeps alive meanwhile.
  struct GroupPages {
    const std::string* name = nullptr;
    std::unordered_map<std::string_view, const DizEvozidizViewPageMetadataPtr*> byKey;
    std::unordered_map<std::string_view, std::string_view> nextOf;  // previous page key -> page key
    const std::string* first = nullptr;
    std::size_t duplicates = 0;
  };
  std::map<std::string_view, GroupPages> groups;
  for (const auto& d : descriptors) {
    auto& g = groups[d->group];
    if (!g.name) g.name = &d->group;
    if (!d->prevPageKey) {
      if (g.first) ++g.duplicates;
      g.first = &d->pageKey;
    } else if (!g.nextOf.emplace(*d->prevPageKey, d->pageKey).second) {
      ++g.duplicates;
    }
    g.byKey[d->pageKey] = &d;
  }

  auto state = DizEvozidizViewState::make();
  bool failed = false;
  for (auto& entry : groups) {
    GroupPages& g = entry.second;
    state->createGroup(*g.name, g.byKey.size());
    bool groupFailed = false;
    std::size_t steps = 0;
    std::optional<std::string_view> key;
    if (g.first) key = *g.first;
    if (!key) {
      DIZ_VIEW_LOG_ERROR("%@: %@ (%@): Invalid key ordering detected in group(%@)", "prepareIfNeeded", registeredName,
                         *g.name);
      groupFailed = true;
    }
    while (key && !groupFailed) {
      auto it = g.byKey.find(*key);
      if (it == g.byKey.end()) {
        DIZ_VIEW_LOG_ERROR("%@: %@ (%@): Invalid key ordering detected in group(%@)", "prepareIfNeeded", registeredName,
                           *g.name);
        groupFailed = true;
        break;
      }
      if (++steps > g.byKey.size()) {
        DIZ_VIEW_LOG_ERROR("%@: %@ (%@): Circular key ordering detected in group(%@)", "prepareIfNeeded",
                           registeredName, *g.name);
        groupFailed = true;
        break;
      }
      state->addPageMetadata(*it->second, *g.name);
      auto next = g.nextOf.find(*key);
      key = next == g.nextOf.end() ? std::nullopt : std::optional<std::string_view>(next->second);
    }
    if (!groupFailed && (steps < g.byKey.size() || g.duplicates > 0)) {
      DIZ_VIEW_LOG_ERROR("%@: %@ (%@): Missing key page(s) in group(%@)", "prepareIfNeeded", registeredName, *g.name);
      groupFailed = true;
    }
    failed = failed || groupFailed;
  }
  return failed ? nullptr : state;
}
