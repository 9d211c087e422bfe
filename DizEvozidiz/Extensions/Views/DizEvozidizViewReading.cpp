// The read side of a view transaction: groups and counts, lookups by position and by row, the
// halving search with a find closure, enumerations, and replacing the view's closures.

#include <algorithm>

#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizExtensionInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPagesInternal.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewTransaction.h"
#include "DizEvozidiz/Extensions/Views/Utilities/DizEvozidizViewMappings.h"

using platform::Value;

// ---- Groups and counts (descriptors only, never pages) ----

std::vector<std::string> DizEvozidizViewTransaction::allGroups() const {
  std::vector<std::string> groups;
  if (working().state)
    working().state->enumerateWithBlock([&](const std::string& g, const DizEvozidizViewState::PageList& pages, bool&) {
      if (std::any_of(pages.begin(), pages.end(), [](const auto& m) { return m->count > 0; })) groups.push_back(g);
    });
  return groups;
}

std::size_t DizEvozidizViewTransaction::numberOfGroups() const { return allGroups().size(); }

bool DizEvozidizViewTransaction::hasGroup(const std::string& group) const { return numberOfItemsInGroup(group) > 0; }

std::uint64_t DizEvozidizViewTransaction::numberOfItemsInGroup(const std::string& group) const {
  return working().state ? working().state->countForGroup(group) : 0;
}

std::uint64_t DizEvozidizViewTransaction::numberOfItemsInAllGroups() const {
  std::uint64_t n = 0;
  if (working().state)
    working().state->enumerateWithBlock([&](const std::string&, const DizEvozidizViewState::PageList& pages, bool&) {
      for (const auto& m : pages) n += m->count;
    });
  return n;
}

std::string DizEvozidizViewTransaction::versionTag() {
  return stringValueForExtensionKey("versionTag", isPersistentView()).value_or(std::string());
}

// ---- Lookups ----

std::optional<std::string> DizEvozidizViewTransaction::groupForRowid(std::int64_t rowid) {
  return pages().groupForRowid(rowid);
}

std::optional<std::string> DizEvozidizViewTransaction::groupForKey(std::string_view key, std::string_view collection) {
  std::int64_t rowid = 0;
  if (!databaseTransaction()->getRowid(&rowid, key, collection)) return std::nullopt;
  return groupForRowid(rowid);
}

bool DizEvozidizViewTransaction::getGroup(std::string* group, std::uint64_t* index, std::string_view key,
                                          std::string_view collection) {
  if (group) group->clear();
  if (index) *index = 0;
  std::int64_t rowid = 0;
  if (!databaseTransaction()->getRowid(&rowid, key, collection)) return false;
  auto p = pages();
  const auto pageKey = p.pageKeyForRowid(rowid);
  if (!pageKey) return false;
  const std::string* owner = working().state->groupForPageKey(*pageKey);
  if (!owner) return false;
  const std::string g = *owner;
  if (index) *index = p.indexForRowid(rowid, g, *pageKey);
  if (group) *group = g;
  return true;
}

bool DizEvozidizViewTransaction::getRowid(std::int64_t* rowid, std::uint64_t index, const std::string& group) {
  return pages().getRowid(rowid, index, group);
}

bool DizEvozidizViewTransaction::getLastRowid(std::int64_t* rowid, const std::string& group) {
  return pages().getLastRowid(rowid, group);
}

DizCollectionKeyPtr DizEvozidizViewTransaction::collectionKeyAtIndex(std::uint64_t index, const std::string& group) {
  std::int64_t rowid = 0;
  if (!getRowid(&rowid, index, group)) return nullptr;
  return databaseTransaction()->collectionKeyForRowid(rowid);
}

namespace {
bool answerKey(const DizCollectionKeyPtr& ck, std::string* key, std::string* collection) {
  if (key) *key = ck ? ck->key() : std::string();
  if (collection) *collection = ck ? ck->collection() : std::string();
  return ck != nullptr;
}
}  // namespace

bool DizEvozidizViewTransaction::getKey(std::string* key, std::string* collection, std::uint64_t index,
                                        const std::string& group) {
  return answerKey(collectionKeyAtIndex(index, group), key, collection);
}

bool DizEvozidizViewTransaction::getLastKey(std::string* key, std::string* collection, const std::string& group) {
  std::int64_t rowid = 0;
  DizCollectionKeyPtr ck;
  if (getLastRowid(&rowid, group)) ck = databaseTransaction()->collectionKeyForRowid(rowid);
  return answerKey(ck, key, collection);
}

std::optional<std::string> DizEvozidizViewTransaction::keyAtIndex(std::uint64_t index, const std::string& group) {
  auto ck = collectionKeyAtIndex(index, group);
  return ck ? std::optional<std::string>(ck->key()) : std::nullopt;
}

std::optional<std::string> DizEvozidizViewTransaction::collectionAtIndex(std::uint64_t index,
                                                                         const std::string& group) {
  auto ck = collectionKeyAtIndex(index, group);
  return ck ? std::optional<std::string>(ck->collection()) : std::nullopt;
}

Value DizEvozidizViewTransaction::objectAtIndex(std::uint64_t index, const std::string& group) {
  std::int64_t rowid = 0;
  if (!getRowid(&rowid, index, group)) return Value();
  DizCollectionKeyPtr ck;
  Value object;
  databaseTransaction()->getCollectionKeyObject(&ck, &object, rowid);
  return object;
}

Value DizEvozidizViewTransaction::metadataAtIndex(std::uint64_t index, const std::string& group) {
  std::int64_t rowid = 0;
  if (!getRowid(&rowid, index, group)) return Value();
  DizCollectionKeyPtr ck;
  Value metadata;
  databaseTransaction()->getCollectionKeyMetadata(&ck, &metadata, rowid);
  return metadata;
}

// ---- Lookups through mappings ----

bool DizEvozidizViewTransaction::getRowid(std::int64_t* rowid, DizCollectionKeyPtr* collectionKey, std::uint64_t row,
                                          std::uint64_t section, const DizEvozidizViewMappings* mappings) {
  std::int64_t found = 0;
  DizCollectionKeyPtr ck;
  DizEvozidizViewMappings::Group group;
  std::uint64_t index = 0;
  if (mappings && mappings->getGroupIndexForRow(&group, &index, row, section) && group &&
      getRowid(&found, index, *group)) {
    ck = databaseTransaction()->collectionKeyForRowid(found);
    if (!ck) found = 0;
  }
  if (rowid) *rowid = found;
  const bool answered = ck != nullptr;
  if (collectionKey) *collectionKey = std::move(ck);
  return answered;
}

bool DizEvozidizViewTransaction::getKey(std::string* key, std::string* collection, std::uint64_t row,
                                        std::uint64_t section, const DizEvozidizViewMappings* mappings) {
  DizCollectionKeyPtr ck;
  getRowid(nullptr, &ck, row, section, mappings);
  return answerKey(ck, key, collection);
}

bool DizEvozidizViewTransaction::getKey(std::string* key, std::string* collection,
                                        const std::optional<DizIndexPath>& indexPath,
                                        const DizEvozidizViewMappings* mappings) {
  if (!indexPath) return answerKey(nullptr, key, collection);
  return getKey(key, collection, indexPath->row, indexPath->section, mappings);
}

Value DizEvozidizViewTransaction::objectAtRow(std::uint64_t row, std::uint64_t section,
                                              const DizEvozidizViewMappings* mappings) {
  std::int64_t rowid = 0;
  DizCollectionKeyPtr ck;
  if (!getRowid(&rowid, &ck, row, section, mappings)) return Value();
  return databaseTransaction()->objectForCollectionKey(ck, rowid);
}

Value DizEvozidizViewTransaction::objectAtIndexPath(const std::optional<DizIndexPath>& indexPath,
                                                    const DizEvozidizViewMappings* mappings) {
  return indexPath ? objectAtRow(indexPath->row, indexPath->section, mappings) : Value();
}

Value DizEvozidizViewTransaction::metadataAtRow(std::uint64_t row, std::uint64_t section,
                                                const DizEvozidizViewMappings* mappings) {
  std::int64_t rowid = 0;
  DizCollectionKeyPtr ck;
  if (!getRowid(&rowid, &ck, row, section, mappings)) return Value();
  return databaseTransaction()->metadataForCollectionKey(ck, rowid);
}

Value DizEvozidizViewTransaction::metadataAtIndexPath(const std::optional<DizIndexPath>& indexPath,
                                                      const DizEvozidizViewMappings* mappings) {
  return indexPath ? metadataAtRow(indexPath->row, indexPath->section, mappings) : Value();
}

std::optional<DizIndexPath> DizEvozidizViewTransaction::indexPathForKey(std::string_view key,
                                                                        std::string_view collection,
                                                                        const DizEvozidizViewMappings* mappings) {
  std::string group;
  std::uint64_t index = 0;
  if (!mappings || !getGroup(&group, &index, key, collection)) return std::nullopt;
  return mappings->indexPathForIndex(index, group);
}

bool DizEvozidizViewTransaction::getRow(std::uint64_t* row, std::uint64_t* section, std::string_view key,
                                        std::string_view collection, const DizEvozidizViewMappings* mappings) {
  std::string group;
  std::uint64_t index = 0;
  std::uint64_t r = 0, s = 0;
  const bool found =
      mappings && getGroup(&group, &index, key, collection) && mappings->getRowSectionForIndex(&r, &s, index, group);
  if (row) *row = found ? r : 0;
  if (section) *section = found ? s : 0;
  return found;
}

Value DizEvozidizViewTransaction::lastObjectInGroup(const std::string& group) {
  std::int64_t rowid = 0;
  if (!getLastRowid(&rowid, group)) return Value();
  DizCollectionKeyPtr ck;
  Value object;
  databaseTransaction()->getCollectionKeyObject(&ck, &object, rowid);
  return object;
}

bool DizEvozidizViewTransaction::readRow(std::int64_t rowid, bool needObject, bool needMetadata,
                                         DizCollectionKeyPtr* key, Value* object, Value* metadata) {
  DizEvozidizReadTransaction& t = *databaseTransaction();
  if (needObject && needMetadata) return t.getCollectionKey(key, object, metadata, rowid);
  if (needObject) return t.getCollectionKeyObject(key, object, rowid);
  if (needMetadata) return t.getCollectionKeyMetadata(key, metadata, rowid);
  *key = t.collectionKeyForRowid(rowid);
  return *key != nullptr;
}

// ---- Find ----

DizViewRange DizEvozidizViewTransaction::findRangeInGroup(const std::string& group,
                                                          const DizEvozidizViewFind::Ptr& find, bool quitAfterOne) {
  const DizViewRange none{DizViewNotFound, 0};
  if (!find) return none;
  const std::uint64_t count = numberOfItemsInGroup(group);
  if (count == 0) return none;
  const bool needObject = find->findBlockType() & DizBlockTypeNeedsObject;
  const bool needMetadata = find->findBlockType() & DizBlockTypeNeedsMetadata;
  auto probe = [&](std::uint64_t index) {
    std::int64_t rowid = 0;
    DizCollectionKeyPtr key;
    Value object, metadata;
    // A row that cannot be read answers "after": the search then narrows towards the front.
    if (!getRowid(&rowid, index, group) || !readRow(rowid, needObject, needMetadata, &key, &object, &metadata))
      return 1;
    return DizEvozidizViewFind::position(
        find->findBlock()(DizViewRow{key->collection(), key->key(), object, metadata}));
  };

  std::uint64_t low = 0, high = count, mid = 0;
  bool found = false;
  while (low < high) {
    mid = (low + high) / 2;
    const int answer = probe(mid);
    if (answer == 1) {
      high = mid;
    } else if (answer == -1) {
      low = mid + 1;
    } else {
      found = true;
      break;
    }
  }
  if (!found) return none;
  if (quitAfterOne) return {mid, 1};

  std::uint64_t upper = mid;
  while (low < upper) {
    const std::uint64_t m = (low + upper) / 2;
    if (probe(m) == -1)
      low = m + 1;
    else
      upper = m;
  }
  std::uint64_t lower = mid;
  while (lower < high) {
    const std::uint64_t m = (lower + high) / 2;
    if (probe(m) == 1)
      high = m;
    else
      lower = m + 1;
  }
  return {low, high - low};
}

// ---- Enumeration ----

platform::Exception DizEvozidizViewTransaction::mutationException(const std::string& group) const {
  std::string reason = platform::format("View <RegisteredName=%@, Group=%@> was mutated while being enumerated.",
                                        registeredName(), group);
  Value userInfo = Value::dictionary(
      {{std::string(platform::kLocalizedRecoverySuggestionErrorKey),
        "If you modify the database during enumeration you must either (A) ensure you don't mutate the group "
        "you're enumerating OR (B) set the 'stop' parameter of the enumeration block to YES (*stop = YES;). If "
        "you're enumerating in order to remove items from the database, and you're enumerating in order "
        "(forwards or backwards) then you may also consider looping and using firstKeyInGroup / lastKeyInGroup."}});
  return platform::Exception(std::string(DizEvozidizExceptionName), std::move(reason), std::move(userInfo));
}

void DizEvozidizViewTransaction::enumerateGroupsUsingBlock(const GroupBlock& block) {
  if (!block) return;
  auto& mutated = working().mutatedGroups;
  mutated.clear();
  bool stop = false;
  for (const auto& group : allGroups()) {
    block(group, stop);
    if (stop || !mutated.empty()) break;
  }
  if (!stop && !mutated.empty()) throw mutationException(*mutated.begin());
}

void DizEvozidizViewTransaction::enumerateRowidsInGroup(const std::string& group, std::uint64_t options,
                                                        const RowidBlock& block) {
  enumerateRowidsInGroup(group, options, DizViewRange{0, numberOfItemsInGroup(group)}, block);
}

void DizEvozidizViewTransaction::enumerateRowidsInGroup(const std::string& group, std::uint64_t options,
                                                        DizViewRange range, const RowidBlock& block) {
  if (!block) return;
  auto& mutated = working().mutatedGroups;
  mutated.erase(group);
  auto p = pages();
  DizEvozidizViewState::PageList descriptors;
  if (const auto* list = working().state->pagesMetadataForGroup(group)) descriptors = *list;
  std::uint64_t total = 0;
  for (const auto& m : descriptors) total += m->count;

  const bool reverse = options & kDizViewEnumerationReverse;
  const std::uint64_t rangeEnd = range.location + std::min(range.length, UINT64_MAX - range.location);
  std::uint64_t remaining = range.length;
  bool stop = false, wasMutated = false, enumeratedAny = false;

  // One page's slice [start, end) of group indexes, the page beginning at `offset`.
  auto visit = [&](const DizEvozidizViewPageMetadataPtr& m, std::uint64_t offset) {
    const std::uint64_t start = std::max(offset, range.location);
    const std::uint64_t end = std::min(offset + m->count, rangeEnd);
    if (start >= end) return !(enumeratedAny && m->count > 0);  // past the range: end the walk
    auto page = p.pageForPageKey(m->pageKey);
    if (!page) return false;
    // A copy: the block may change the page it came from.
    const std::vector<std::int64_t> rowids = page->rowids();
    const std::uint64_t last = std::min<std::uint64_t>(end - offset, rowids.size());
    for (std::uint64_t k = 0; k < last - std::min(last, start - offset); ++k) {
      const std::uint64_t i = reverse ? last - 1 - k : start - offset + k;
      block(rowids[i], offset + i, stop);
      --remaining;
      if (stop || (wasMutated = mutated.count(group) > 0)) return false;
    }
    enumeratedAny = true;
    return true;
  };
  if (reverse) {
    std::uint64_t offset = total;
    for (auto it = descriptors.rbegin(); it != descriptors.rend(); ++it) {
      offset -= (*it)->count;
      if (!visit(*it, offset)) break;
    }
  } else {
    std::uint64_t offset = 0;
    for (const auto& m : descriptors) {
      if (!visit(m, offset)) break;
      offset += m->count;
    }
  }
  if (stop) return;
  if (wasMutated) throw mutationException(group);
  if (remaining > 0)
    DIZ_VIEW_LOG_WARN("%@: %@: Range out of bounds: range(%lu, %lu) >= numberOfKeys(%lu) in group %@",
                      "enumerateRowidsInGroup:withOptions:range:usingBlock:", range.location, range.length, total,
                      group);
}

void DizEvozidizViewTransaction::enumerateValues(const std::string& group, std::uint64_t options,
                                                 std::optional<DizViewRange> range, const KeyFilter& filter,
                                                 bool needObject, bool needMetadata, const RowBlock& block) {
  if (!block) return;
  DizEvozidizReadTransaction& t = *databaseTransaction();
  auto each = [&](std::int64_t rowid, std::uint64_t index, bool& stop) {
    DizCollectionKeyPtr key;
    Value object, metadata;
    if (filter) {
      key = t.collectionKeyForRowid(rowid);
      if (!key || !filter(key->collection(), key->key())) return;
      if (needObject && needMetadata)
        t.getObject(&object, &metadata, key, rowid);
      else if (needObject)
        object = t.objectForCollectionKey(key, rowid);
      else if (needMetadata)
        metadata = t.metadataForCollectionKey(key, rowid);
    } else if (!readRow(rowid, needObject, needMetadata, &key, &object, &metadata)) {
      return;
    }
    block(key->collection(), key->key(), object, metadata, index, stop);
  };
  if (range)
    enumerateRowidsInGroup(group, options, *range, each);
  else
    enumerateRowidsInGroup(group, options, each);
}

void DizEvozidizViewTransaction::enumerateKeysInGroup(const std::string& group, std::uint64_t options,
                                                      std::optional<DizViewRange> range, const KeyBlock& block) {
  if (!block) return;
  enumerateValues(group, options, range, nullptr, false, false,
                  [&](const std::string& c, const std::string& k, const Value&, const Value&, std::uint64_t i,
                      bool& stop) { block(c, k, i, stop); });
}

void DizEvozidizViewTransaction::enumerateKeysAndMetadataInGroup(const std::string& group, std::uint64_t options,
                                                                 std::optional<DizViewRange> range,
                                                                 const KeyFilter& filter, const ValueBlock& block) {
  if (!block) return;
  enumerateValues(group, options, range, filter, false, true,
                  [&](const std::string& c, const std::string& k, const Value&, const Value& m, std::uint64_t i,
                      bool& stop) { block(c, k, m, i, stop); });
}

void DizEvozidizViewTransaction::enumerateKeysAndObjectsInGroup(const std::string& group, std::uint64_t options,
                                                                std::optional<DizViewRange> range,
                                                                const KeyFilter& filter, const ValueBlock& block) {
  if (!block) return;
  enumerateValues(group, options, range, filter, true, false,
                  [&](const std::string& c, const std::string& k, const Value& o, const Value&, std::uint64_t i,
                      bool& stop) { block(c, k, o, i, stop); });
}

void DizEvozidizViewTransaction::enumerateRowsInGroup(const std::string& group, std::uint64_t options,
                                                      std::optional<DizViewRange> range, const KeyFilter& filter,
                                                      const RowBlock& block) {
  enumerateValues(group, options, range, filter, true, true, block);
}

// ---- Read-write conveniences and reconfiguration ----

bool DizEvozidizViewTransaction::requireReadWrite(const char* method) {
  if (databaseReadWriteTransaction()) return true;
  DIZ_VIEW_LOG_WARN("%@: %@ - Method only allowed in readWrite transaction", method);
  return false;
}

void DizEvozidizViewTransaction::touchObjectForKey(std::string_view key, std::string_view collection) {
  std::int64_t rowid = 0;
  if (requireReadWrite("touchObjectForKey:inCollection:") && databaseTransaction()->getRowid(&rowid, key, collection))
    handleTouchObjectForCollectionKey(DizCollectionKey::make(std::string(collection), std::string(key)), rowid);
}

void DizEvozidizViewTransaction::touchMetadataForKey(std::string_view key, std::string_view collection) {
  std::int64_t rowid = 0;
  if (requireReadWrite("touchMetadataForKey:inCollection:") && databaseTransaction()->getRowid(&rowid, key, collection))
    handleTouchMetadataForCollectionKey(DizCollectionKey::make(std::string(collection), std::string(key)), rowid);
}

void DizEvozidizViewTransaction::touchRowForKey(std::string_view key, std::string_view collection) {
  std::int64_t rowid = 0;
  if (requireReadWrite("touchRowForKey:inCollection:") && databaseTransaction()->getRowid(&rowid, key, collection))
    handleTouchRowForCollectionKey(DizCollectionKey::make(std::string(collection), std::string(key)), rowid);
}

void DizEvozidizViewTransaction::setGroupingSortingVersionTag(DizEvozidizViewGrouping::Ptr grouping,
                                                              DizEvozidizViewSorting::Ptr sorting,
                                                              std::optional<std::string> versionTag) {
  if (!requireReadWrite("setGrouping:sorting:versionTag:")) return;
  const std::string tag = versionTag.value_or(std::string());
  if (tag == this->versionTag()) {
    DIZ_VIEW_LOG_WARN("%@: %@ - versionTag didn't change, so not updating view", "setGrouping:sorting:versionTag:");
    return;
  }
  viewConnection_->setGroupingSortingVersionTag(std::move(grouping), std::move(sorting), tag);
  repopulateView();
  setStringValue(tag, "versionTag", isPersistentView());
  notifyDependentsOfRepopulation(kDizViewRepopulateGroupingSorting);
}

void DizEvozidizViewTransaction::viewDidRepopulate(const std::string&, std::uint64_t) {}

void DizEvozidizViewTransaction::notifyDependentsOfRepopulation(std::uint64_t flags) {
  DizEvozidizReadTransaction& t = *databaseTransaction();
  const auto& state = DizInternal(*t.connection()).extensionState;
  if (!state || !state->registries) return;
  const DizEvozidizRegistriesPtr registries = state->registries;  // kept: a dependant may change them
  const std::string name = registeredName();
  for (const auto& dependant : registries->extensionsOrder) {
    auto deps = registries->extensionDependencies.find(dependant);
    if (deps == registries->extensionDependencies.end() || !deps->second.count(name)) continue;
    if (auto view = std::dynamic_pointer_cast<DizEvozidizViewTransaction>(t.ext(dependant)))
      view->viewDidRepopulate(name, flags);
  }
}
