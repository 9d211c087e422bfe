#include "DizEvozidiz/Extensions/Views/Utilities/DizEvozidizViewMappings.h"

#include <algorithm>

#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewTransaction.h"
#include "platform/runtime/error.h"
#include "platform/runtime/format.h"

namespace {

constexpr const char* kMappingsLogFile = "DizEvozidiz/Extensions/Views/Utilities/DizEvozidizViewMappings.cpp";

platform::Value groupsValue(const std::vector<std::string>& groups) {
  platform::ValueArray items;
  items.reserve(groups.size());
  for (const auto& g : groups) items.emplace_back(g);
  return platform::Value(std::move(items));
}

// The range shortened to the rows a group of `full` rows has past its offset.
DizEvozidizViewRangeOptions clampedToRows(const DizEvozidizViewRangeOptions& range, std::uint64_t full) {
  const std::uint64_t available = full > range.offset() ? full - range.offset() : 0;
  return range.copyWithNewLength(std::min(range.length(), available));
}

}  // namespace

// ---- DizEvozidizViewRangeOptions ----

DizEvozidizViewRangeOptions::DizEvozidizViewRangeOptions(bool fixed, std::uint64_t length, std::uint64_t offset,
                                                         std::int64_t pin)
    : isFixedRange_(fixed),
      length_(length),
      offset_(offset),
      pin_(pin >= 0 && pin < 2 ? pin : DizViewPinEnd),
      maxLength_(fixed ? length : UINT64_MAX) {}

std::optional<DizEvozidizViewRangeOptions> DizEvozidizViewRangeOptions::fixedRangeWithLength(std::uint64_t length,
                                                                                             std::uint64_t offset,
                                                                                             std::int64_t pin) {
  if (length == 0) return std::nullopt;
  return DizEvozidizViewRangeOptions(true, length, offset, pin);
}

std::optional<DizEvozidizViewRangeOptions> DizEvozidizViewRangeOptions::flexibleRangeWithLength(std::uint64_t length,
                                                                                                std::uint64_t offset,
                                                                                                std::int64_t pin) {
  if (length == 0) return std::nullopt;
  return DizEvozidizViewRangeOptions(false, length, offset, pin);
}

void DizEvozidizViewRangeOptions::setMaxLength(std::uint64_t maxLength) {
  maxLength_ = std::max(maxLength, minLength_);
}
void DizEvozidizViewRangeOptions::setMinLength(std::uint64_t minLength) {
  minLength_ = std::min(minLength, maxLength_);
}
void DizEvozidizViewRangeOptions::setGrowOptions(std::uint64_t growOptions) {
  growOptions_ = growOptions <= DizViewGrowOnBothSides ? growOptions : DizViewGrowAtPin;
}

DizEvozidizViewRangeOptions DizEvozidizViewRangeOptions::copyWithNewLength(std::uint64_t length) const {
  auto c = *this;
  c.length_ = length;
  return c;
}
DizEvozidizViewRangeOptions DizEvozidizViewRangeOptions::copyWithNewOffset(std::uint64_t offset) const {
  auto c = *this;
  c.offset_ = offset;
  return c;
}
DizEvozidizViewRangeOptions DizEvozidizViewRangeOptions::copyWithNewLength(std::uint64_t length,
                                                                           std::uint64_t offset) const {
  auto c = *this;
  c.length_ = length;
  c.offset_ = offset;
  return c;
}
DizEvozidizViewRangeOptions DizEvozidizViewRangeOptions::copyAndReverse() const {
  auto c = *this;
  c.pin_ = pin_ == DizViewPinStart ? DizViewPinEnd : DizViewPinStart;
  return c;
}

// ---- Creation ----

DizEvozidizViewMappings DizEvozidizViewMappings::mappingsWithGroups(std::vector<std::string> groups, std::string view) {
  return DizEvozidizViewMappings(std::move(groups), std::move(view));
}

DizEvozidizViewMappings::DizEvozidizViewMappings(std::vector<std::string> groups, std::string view)
    : registeredViewName_(std::move(view)),
      allGroups_(std::make_shared<const std::vector<std::string>>(std::move(groups))) {
  visibleGroups_.reserve(allGroups_->size());
  counts_.reserve(allGroups_->size());
}

DizEvozidizViewMappings::DizEvozidizViewMappings(GroupFilter filter, GroupSort sort, std::string view)
    : registeredViewName_(std::move(view)),
      allGroups_(std::make_shared<const std::vector<std::string>>()),
      viewGroupsAreDynamic_(true),
      groupFilter_(std::move(filter)),
      groupSort_(std::move(sort)) {}

// ---- Configuration ----

bool DizEvozidizViewMappings::acceptsGroup(const std::string& group, const char* method) const {
  if (viewGroupsAreDynamic_) return true;
  if (std::find(allGroups_->begin(), allGroups_->end(), group) != allGroups_->end()) return true;
  DIZ_LOG_IN(kDizLogFlagWarning, kMappingsLogFile, "%@: %@ - mappings doesn't contain group(%@), only: %@", method,
             group, groupsValue(*allGroups_));
  return false;
}

void DizEvozidizViewMappings::setIsDynamicSection(bool isDynamic, const std::string& group) {
  if (acceptsGroup(group, "setIsDynamicSection")) dynamicSections_[group] = isDynamic;
}

bool DizEvozidizViewMappings::isDynamicSectionForGroup(const std::string& group) const {
  if (auto it = dynamicSections_.find(group); it != dynamicSections_.end()) return it->second;
  return dynamicSectionsForAllGroups_.value_or(false);
}

void DizEvozidizViewMappings::setIsDynamicSectionForAllGroups(bool isDynamic) {
  dynamicSections_.clear();
  dynamicSectionsForAllGroups_ = isDynamic;
}

bool DizEvozidizViewMappings::isDynamicSectionForAllGroups() const {
  return dynamicSectionsForAllGroups_.value_or(false);
}

void DizEvozidizViewMappings::setRangeOptions(const std::optional<DizEvozidizViewRangeOptions>& rangeOptions,
                                              const std::string& group) {
  if (!rangeOptions) {
    removeRangeOptionsForGroup(group);
    return;
  }
  if (!acceptsGroup(group, "setRangeOptions")) return;
  auto stored = isReversedForGroup(group) ? rangeOptions->copyAndReverse() : *rangeOptions;
  if (snapshotOfLastUpdate_ == DizViewMappingsNeverUpdated) {
    rangeOptions_.insert_or_assign(group, stored);
    return;
  }
  rangeOptions_.insert_or_assign(group, clampedToRows(stored, fullCountForGroup(group)));
  updateVisibility();
}

std::optional<DizEvozidizViewRangeOptions> DizEvozidizViewMappings::rangeOptionsForGroup(
    const std::string& group) const {
  auto stored = _rangeOptionsForGroup(group);
  if (stored && isReversedForGroup(group)) return stored->copyAndReverse();
  return stored;
}

std::optional<DizEvozidizViewRangeOptions> DizEvozidizViewMappings::_rangeOptionsForGroup(
    const std::string& group) const {
  if (auto it = rangeOptions_.find(group); it != rangeOptions_.end()) return it->second;
  return std::nullopt;
}

void DizEvozidizViewMappings::removeRangeOptionsForGroup(const std::string& group) { rangeOptions_.erase(group); }

void DizEvozidizViewMappings::updateRangeOptionsForGroup(const std::string& group, std::uint64_t newLength,
                                                         std::uint64_t newOffset) {
  if (auto it = rangeOptions_.find(group); it != rangeOptions_.end())
    it->second = it->second.copyWithNewLength(newLength, newOffset);
}

void DizEvozidizViewMappings::setCellDrawingDependencyForNeighboringCellWithOffset(std::int64_t offset,
                                                                                   const std::string& group) {
  setCellDrawingDependencyOffsets({offset}, group);
}

void DizEvozidizViewMappings::setCellDrawingDependencyOffsets(const std::set<std::int64_t>& offsets,
                                                              const std::string& group) {
  if (!acceptsGroup(group, "setCellDrawingDependencyOffsets")) return;
  const bool reversed = isReversedForGroup(group);
  std::set<std::int64_t> stored;
  for (std::int64_t d : offsets)
    if (d != 0) stored.insert(reversed ? -d : d);
  dependencies_.insert_or_assign(group, std::move(stored));
}

std::optional<std::set<std::int64_t>> DizEvozidizViewMappings::cellDrawingDependencyOffsetsForGroup(
    const std::string& group) const {
  auto it = dependencies_.find(group);
  if (!isReversedForGroup(group)) {
    if (it == dependencies_.end()) return std::nullopt;
    return it->second;
  }
  std::set<std::int64_t> negated;
  if (it != dependencies_.end())
    for (std::int64_t d : it->second) negated.insert(-d);
  return negated;
}

void DizEvozidizViewMappings::setIsReversed(bool isReversed, const std::string& group) {
  if (!acceptsGroup(group, "setIsReversed")) return;
  if (isReversed)
    reverse_.insert(group);
  else
    reverse_.erase(group);
}

bool DizEvozidizViewMappings::isReversedForGroup(const std::string& group) const { return reverse_.contains(group); }

void DizEvozidizViewMappings::setAutoConsolidateGroupsThreshold(std::uint64_t threshold,
                                                                std::optional<std::string> name) {
  autoConsolidateGroupsThreshold_ = threshold;
  consolidatedGroupName_ = std::move(name);
  validateAutoConsolidation();
}

void DizEvozidizViewMappings::validateAutoConsolidation() {
  if (consolidatedGroupName_ &&
      std::find(allGroups_->begin(), allGroups_->end(), *consolidatedGroupName_) != allGroups_->end()) {
    DIZ_LOG_IN(kDizLogFlagWarning, kMappingsLogFile, "%@: %@ - consolidatedGroupName cannot match existing groupName",
               "validateAutoConsolidation");
    consolidatedGroupName_.reset();
    autoConsolidateGroupsThreshold_ = 0;
  }
  if (!consolidatedGroupName_ || autoConsolidateGroupsThreshold_ == 0) {
    consolidatedGroupName_.reset();
    autoConsolidateGroupsThreshold_ = 0;
  }
}

// ---- Updating ----

void DizEvozidizViewMappings::updateWithTransaction(DizEvozidizReadTransaction& transaction,
                                                    bool forceUpdateRangeOptions) {
  DizEvozidizConnection* connection = transaction.connection();
  if (!connection || !connection->isInLongLivedReadTransaction()) {
    platform::Exception::raise(
        "DizEvozidizException", "DizEvozidizViewMappings requires the connection to be in a longLivedReadTransaction.",
        platform::Value::dictionary(
            {{std::string(platform::kLocalizedFailureReasonErrorKey),
              platform::Value(
                  "The architecture surrounding mappings is designed to move from one longLivedReadTransaction to "
                  "another. This allows you to freeze the data-source (databaseConnection) of your UI on a particular "
                  "commit. And then atomically move the data-source from an older commit to a newer commit in response "
                  "to DizEvozidizModifiedNotifications. This ensures that the data-source for your UI remains in a "
                  "steady state at all times, and that updates are properly handled using the appropriate update "
                  "mechanisms (and properly animated if desired). For example code, see the documentation of "
                  "DizEvozidizViewMappings in the DizEvozidiz folder of this project.")},
             {std::string(platform::kLocalizedRecoverySuggestionErrorKey),
              platform::Value("You must invoke [databaseConnection beginLongLivedReadTransaction] before you "
                              "initialize the mappings")}}));
  }
  auto viewTransaction = std::dynamic_pointer_cast<DizEvozidizViewTransaction>(transaction.ext(registeredViewName_));
  if (viewGroupsAreDynamic_) {
    std::vector<std::string> groups;
    if (viewTransaction) {
      auto viewGroups = viewTransaction->allGroups();
      groups.reserve(viewGroups.size());
      for (auto& g : viewGroups)
        if (!groupFilter_ || groupFilter_(g, transaction)) groups.push_back(std::move(g));
      if (groupSort_)
        std::stable_sort(groups.begin(), groups.end(),
                         [&](const std::string& a, const std::string& b) { return groupSort_(a, b, transaction) < 0; });
    }
    setGroups(std::move(groups));
  }
  applyCounts(
      [&](const std::string& group) -> std::uint64_t {
        return viewTransaction ? viewTransaction->numberOfItemsInGroup(group) : 0;
      },
      connection->snapshot(), forceUpdateRangeOptions);
}

void DizEvozidizViewMappings::updateWithCounts(const std::vector<std::pair<std::string, std::uint64_t>>& counts,
                                               bool forceUpdateRangeOptions) {
  std::unordered_map<std::string, std::uint64_t> given;
  std::vector<std::string> keys;
  for (const auto& [group, count] : counts)
    if (given.emplace(group, count).second) keys.push_back(group);
  if (viewGroupsAreDynamic_) setGroups(std::move(keys));
  applyCounts(
      [&](const std::string& group) -> std::uint64_t {
        auto it = given.find(group);
        return it == given.end() ? 0 : it->second;
      },
      0, forceUpdateRangeOptions);
}

void DizEvozidizViewMappings::setGroups(std::vector<std::string> groups) {
  if (groups == *allGroups_) return;
  allGroups_ = std::make_shared<const std::vector<std::string>>(std::move(groups));
  validateAutoConsolidation();
  counts_.clear();
}

void DizEvozidizViewMappings::applyCounts(const std::function<std::uint64_t(const std::string&)>& countOf,
                                          std::uint64_t snapshot, bool forceUpdateRangeOptions) {
  for (const auto& group : *allGroups_) counts_[group] = countOf(group);
  const std::uint64_t oldSnapshot = snapshotOfLastUpdate_;
  snapshotOfLastUpdate_ = snapshot;
  if (forceUpdateRangeOptions || oldSnapshot == DizViewMappingsNeverUpdated) clampRanges();
  updateVisibility();
}

void DizEvozidizViewMappings::clampRanges() {
  for (auto& [group, range] : rangeOptions_) range = clampedToRows(range, fullCountForGroup(group));
}

void DizEvozidizViewMappings::updateVisibility() {
  visibleGroups_.clear();
  visiblePosition_.clear();
  std::uint64_t total = 0;
  for (const auto& group : *allGroups_) {
    const std::uint64_t n = visibleRowsOfGroup(group);
    if (n > 0 || !isDynamicSectionForGroup(group)) {
      visiblePosition_.emplace(group, visibleGroups_.size());
      visibleGroups_.push_back(group);
    }
    total += n;
  }
  isUsingConsolidatedGroup_ = total < autoConsolidateGroupsThreshold_;
}

// ---- Display queries ----

std::uint64_t DizEvozidizViewMappings::fullCountForGroup(const std::string& group) const {
  auto it = counts_.find(group);
  return it == counts_.end() ? 0 : it->second;
}

// Range length or full count, whether or not the group is visible.
std::uint64_t DizEvozidizViewMappings::visibleRowsOfGroup(const std::string& group) const {
  if (auto it = rangeOptions_.find(group); it != rangeOptions_.end()) return it->second.length();
  return fullCountForGroup(group);
}

std::uint64_t DizEvozidizViewMappings::numberOfSections() const {
  return consolidatedNow() ? 1 : visibleGroups_.size();
}

std::uint64_t DizEvozidizViewMappings::numberOfItemsInSection(std::uint64_t section) const {
  if (consolidatedNow()) return numberOfItemsInAllGroups();
  return numberOfItemsInGroup(groupForSection(section));
}

std::uint64_t DizEvozidizViewMappings::numberOfItemsInGroup(const Group& group) const {
  if (!group || snapshotOfLastUpdate_ == DizViewMappingsNeverUpdated) return 0;
  if (isUsingConsolidatedGroup_ && isConsolidatedName(group)) return numberOfItemsInAllGroups();
  return visibleRowsOfGroup(*group);
}

std::uint64_t DizEvozidizViewMappings::numberOfItemsInAllGroups() const {
  if (snapshotOfLastUpdate_ == DizViewMappingsNeverUpdated) return 0;
  std::uint64_t total = 0;
  for (const auto& group : visibleGroups_) total += visibleRowsOfGroup(group);
  return total;
}

std::vector<std::string> DizEvozidizViewMappings::visibleGroups() const {
  if (consolidatedNow()) return {*consolidatedGroupName_};
  return visibleGroups_;
}

bool DizEvozidizViewMappings::isEmpty() const {
  if (snapshotOfLastUpdate_ == DizViewMappingsNeverUpdated) return true;
  for (const auto& group : visibleGroups_)
    if (visibleRowsOfGroup(group) > 0) return false;
  return true;
}

DizEvozidizViewMappings::Group DizEvozidizViewMappings::groupForSection(std::uint64_t section) const {
  if (consolidatedNow()) return section == 0 ? consolidatedGroupName_ : std::nullopt;
  if (section < visibleGroups_.size()) return visibleGroups_[section];
  return std::nullopt;
}

std::uint64_t DizEvozidizViewMappings::sectionForGroup(const Group& group) const {
  if (!group) return DizViewNotFound;
  if (consolidatedNow()) {
    if (isConsolidatedName(group) || visiblePosition_.contains(*group)) return 0;
    return DizViewNotFound;
  }
  auto it = visiblePosition_.find(*group);
  return it == visiblePosition_.end() ? DizViewNotFound : it->second;
}

bool DizEvozidizViewMappings::getGroupIndexForIndexPath(Group* group, std::uint64_t* index,
                                                        const std::optional<DizIndexPath>& indexPath) const {
  if (!indexPath) {
    if (group) group->reset();
    if (index) *index = DizViewNotFound;
    return false;
  }
  return getGroupIndexForRow(group, index, indexPath->row, indexPath->section);
}

bool DizEvozidizViewMappings::getGroupIndexForRow(Group* group, std::uint64_t* index, std::uint64_t row,
                                                  std::uint64_t section) const {
  Group g;
  std::uint64_t i = DizViewNotFound;
  bool found = false;
  if (consolidatedNow()) {
    if (section == 0) {
      found = getGroupIndexForConsolidatedRow(&g, &i, row);
    }
  } else {
    g = groupForSection(section);
    if (g) {
      i = indexForRow(row, g);
      found = i != DizViewNotFound;
    }
  }
  if (!found && !g) i = DizViewNotFound;
  if (group) *group = std::move(g);
  if (index) *index = i;
  return found;
}

std::uint64_t DizEvozidizViewMappings::indexForRowInSection(std::uint64_t row, std::uint64_t section) const {
  return indexForRow(row, groupForSection(section));
}

std::uint64_t DizEvozidizViewMappings::indexForRow(std::uint64_t row, const Group& group) const {
  if (!group) return DizViewNotFound;
  if (isUsingConsolidatedGroup_ && isConsolidatedName(group)) {
    std::uint64_t index = 0;
    return getGroupIndexForConsolidatedRow(nullptr, &index, row) ? index : DizViewNotFound;
  }
  if (row >= visibleCountForGroup(group)) return DizViewNotFound;
  const std::uint64_t full = fullCountForGroup(*group);
  const bool reversed = isReversedForGroup(*group);
  auto range = _rangeOptionsForGroup(*group);
  if (!range) return reversed ? full - 1 - row : row;
  const std::uint64_t o = range->offset(), length = range->length();
  if (o > full || full - o < length) return DizViewNotFound;  // a window past the rows (never clamped)
  if (range->pin() == DizViewPinStart) return reversed ? o + length - 1 - row : o + row;
  return reversed ? full - o - 1 - row : full - o - length + row;
}

std::uint64_t DizEvozidizViewMappings::rowForIndex(std::uint64_t index, const Group& group) const {
  if (!group) return DizViewNotFound;
  if (isUsingConsolidatedGroup_ && isConsolidatedName(group)) return DizViewNotFound;
  const std::uint64_t full = fullCountForGroup(*group);
  if (index >= full) return DizViewNotFound;
  const bool reversed = isReversedForGroup(*group);
  auto range = _rangeOptionsForGroup(*group);
  if (!range) return reversed ? full - 1 - index : index;
  const std::uint64_t visible = visibleCountForGroup(group);
  const std::uint64_t o = range->offset();
  // The window [first, first + visible) in view indexes.
  std::uint64_t first;
  if (range->pin() == DizViewPinStart) {
    first = o;
  } else {
    if (o + visible > full) return DizViewNotFound;
    first = full - o - visible;
  }
  if (index < first || index - first >= visible) return DizViewNotFound;
  return reversed ? visible - 1 - (index - first) : index - first;
}

bool DizEvozidizViewMappings::getRowSectionForIndex(std::uint64_t* row, std::uint64_t* section, std::uint64_t index,
                                                    const Group& group) const {
  std::uint64_t r = 0, s = 0;
  bool found;
  if (consolidatedNow()) {
    found = getConsolidatedRowForIndex(&r, index, group);
    s = 0;
  } else {
    s = sectionForGroup(group);
    r = rowForIndex(index, group);
    found = s != DizViewNotFound && r != DizViewNotFound;
  }
  if (!found) r = s = 0;
  if (row) *row = r;
  if (section) *section = s;
  return found;
}

std::optional<DizIndexPath> DizEvozidizViewMappings::indexPathForIndex(std::uint64_t index, const Group& group) const {
  std::uint64_t row = 0, section = 0;
  if (!getRowSectionForIndex(&row, &section, index, group)) return std::nullopt;
  return DizIndexPath{section, row};
}

std::uint64_t DizEvozidizViewMappings::rowOffsetForGroup(const Group& group) const {
  if (!group) return 0;
  std::uint64_t offset = 0;
  for (const auto& g : visibleGroups_) {
    if (g == *group) return offset;
    offset += visibleRowsOfGroup(g);
  }
  return 0;
}

std::optional<DizIndexPath> DizEvozidizViewMappings::nearestIndexPathForRow(std::uint64_t row,
                                                                            const Group& group) const {
  if (!group || snapshotOfLastUpdate_ == DizViewMappingsNeverUpdated) return std::nullopt;
  const auto& groups = *allGroups_;
  auto at = std::find(groups.begin(), groups.end(), *group);
  if (at == groups.end()) return std::nullopt;
  auto pathTo = [&](const std::string& g, std::uint64_t r) -> DizIndexPath {
    if (isUsingConsolidatedGroup_) return {0, rowOffsetForGroup(g) + r};
    return {visiblePosition_.at(g), r};
  };
  if (visiblePosition_.contains(*group)) {
    if (const std::uint64_t n = numberOfItemsInGroup(group); n > 0) return pathTo(*group, row < n ? row : n - 1);
  }
  for (auto it = at; it != groups.begin();) {
    --it;
    if (sectionForGroup(*it) == DizViewNotFound || !visiblePosition_.contains(*it)) continue;
    if (const std::uint64_t n = numberOfItemsInGroup(*it); n > 0) return pathTo(*it, n - 1);
  }
  for (auto it = at + 1; it != groups.end(); ++it) {
    if (sectionForGroup(*it) == DizViewNotFound || !visiblePosition_.contains(*it)) continue;
    if (numberOfItemsInGroup(*it) > 0) return pathTo(*it, 0);
  }
  return std::nullopt;
}

DizEvozidizViewRangePosition DizEvozidizViewMappings::rangePositionForGroup(const Group& group) const {
  if (!group || isConsolidatedName(group)) return {};
  const std::uint64_t full = fullCountForGroup(*group);
  auto range = _rangeOptionsForGroup(*group);
  if (!range) return {0, 0, full};
  const std::uint64_t o = range->offset();
  std::uint64_t length = range->length();
  std::uint64_t rest = 0;
  if (full >= o && full - o >= length)
    rest = full - o - length;
  else
    length = 0;
  DizEvozidizViewRangePosition position = range->pin() == DizViewPinStart
                                              ? DizEvozidizViewRangePosition{o, rest, length}
                                              : DizEvozidizViewRangePosition{rest, o, length};
  if (isReversedForGroup(*group)) std::swap(position.offsetFromBeginning, position.offsetFromEnd);
  return position;
}

bool DizEvozidizViewMappings::getGroupIndexForConsolidatedRow(Group* group, std::uint64_t* index,
                                                              std::uint64_t row) const {
  std::uint64_t before = 0;
  for (const auto& g : visibleGroups_) {
    const std::uint64_t n = visibleRowsOfGroup(g);
    if (n == 0) continue;
    if (row < before + n) {
      if (group) *group = g;
      if (index) *index = indexForRow(row - before, g);
      return true;
    }
    before += n;
  }
  if (group) group->reset();
  if (index) *index = 0;
  return false;
}

bool DizEvozidizViewMappings::getConsolidatedRowForIndex(std::uint64_t* row, std::uint64_t index,
                                                         const Group& group) const {
  if (group) {
    std::uint64_t before = 0;
    for (const auto& g : visibleGroups_) {
      if (g == *group) {
        const std::uint64_t r = rowForIndex(index, group);
        if (r == DizViewNotFound) break;
        if (row) *row = before + r;
        return true;
      }
      before += visibleRowsOfGroup(g);
    }
  }
  if (row) *row = 0;
  return false;
}

std::string DizEvozidizViewMappings::description() const {
  std::string text =
      platform::format("<DizEvozidizViewMappings[%p]: view(%@)\n", static_cast<const void*>(this), registeredViewName_);
  if (isUsingConsolidatedGroup_)
    text += platform::format("  section(0) group(%@) totalCount(%lu) \n", consolidatedGroupName_.value_or(""),
                             static_cast<unsigned long>(numberOfItemsInAllGroups()));
  std::uint64_t groupOffset = 0;
  for (const auto& g : *allGroups_) {
    const bool visible = visiblePosition_.contains(g);
    if (isUsingConsolidatedGroup_) {
      text += platform::format("  -> groupOffset(%lu)", static_cast<unsigned long>(groupOffset));
    } else if (visible) {
      text += platform::format("  section(%lu)", static_cast<unsigned long>(visiblePosition_.at(g)));
    } else {
      text += "  section(-)";
    }
    text += platform::format(" group(%@)", g);
    const std::uint64_t visibleCount = visibleCountForGroup(g);
    if (hasRangeOptionsForGroup(g)) {
      const auto position = rangePositionForGroup(g);
      text += platform::format(" groupCount(%lu) visibleCount(%lu)", static_cast<unsigned long>(fullCountForGroup(g)),
                               static_cast<unsigned long>(visibleCount));
      text += platform::format(" range.offsetFromBeginning(%lu) range.offsetFromEnd(%lu)",
                               static_cast<unsigned long>(position.offsetFromBeginning),
                               static_cast<unsigned long>(position.offsetFromEnd));
    } else {
      text += platform::format(" count(%lu)", static_cast<unsigned long>(visibleCount));
    }
    text += "\n";
    if (visible) groupOffset += visibleCount;
  }
  return text + ">";
}
