#pragma once

// DizEvozidizViewMappings: how a list display (sections of rows) shows one registered view. It
// chooses which groups become sections and in which order (a fixed list, or the view's groups
// filtered and sorted by two closures), hides empty groups marked dynamic, shows a window (range)
// of a group's rows, shows groups reversed, records which neighbouring rows a row's drawing depends
// on, and folds all groups into one section while the total stays below a threshold.
//
// Frozen counts: the mappings keep the group counts of one commit (snapshotOfLastUpdate) and answer
// every display query from them alone, never from the database; they move to a later commit only
// by updateWithTransaction (inside the display connection's long-lived read transaction) or by the
// view connection's getSectionChanges, which also reports the section and row changes in between.
//
// Values: "never updated" is snapshot 2^64 - 1 (DizViewMappingsNeverUpdated); every index, row and
// section result that does not exist is DizViewNotFound (2^63 - 1). Ranges and drawing offsets are
// stored in view order: set a group reversed before setting its range and offsets.
//
// Misuse: updating outside a long-lived read transaction raises "DizEvozidizException" and changes
// nothing; naming a group that static mappings do not contain logs a warning and changes nothing;
// display queries never raise (nil, not found, 0 or false).
//
// Threads: no lock. One thread at a time, normally the display's, with the connection whose
// long-lived read transaction the mappings follow; the closures run on it, inside the update's
// transaction.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DizEvozidiz/Extensions/Views/DizEvozidizViewChange.h"

class DizEvozidizReadTransaction;

inline constexpr std::uint64_t DizViewMappingsNeverUpdated = UINT64_MAX;

enum DizViewPin : std::int64_t {
  DizViewPinStart = 0,  // the first rows of the group
  DizViewPinEnd = 1,    // the last rows of the group
};

enum DizViewGrowOptions : std::uint64_t {
  DizViewGrowAtPin = 1,
  DizViewGrowAwayFromPin = 2,
  DizViewGrowOnBothSides = 3,
};

// A window of rows at the start or the end of a group. Fixed: keeps its length while the group has
// the rows. Flexible: grows and shrinks with inserts and deletes at its edges, between minLength and
// maxLength. Plain value.
class DizEvozidizViewRangeOptions {
 public:
  // None for length 0; a pin of 2 or more counts as DizViewPinEnd.
  static std::optional<DizEvozidizViewRangeOptions> fixedRangeWithLength(std::uint64_t length, std::uint64_t offset,
                                                                         std::int64_t pin);
  static std::optional<DizEvozidizViewRangeOptions> flexibleRangeWithLength(std::uint64_t length, std::uint64_t offset,
                                                                            std::int64_t pin);

  bool isFixedRange() const { return isFixedRange_; }
  bool isFlexibleRange() const { return !isFixedRange_; }
  std::uint64_t length() const { return length_; }
  // Distance from the pinned end of the group.
  std::uint64_t offset() const { return offset_; }
  std::int64_t pin() const { return pin_; }
  std::uint64_t maxLength() const { return maxLength_; }
  std::uint64_t minLength() const { return minLength_; }
  std::uint64_t growOptions() const { return growOptions_; }
  // Never below minLength.
  void setMaxLength(std::uint64_t maxLength);
  // Never above maxLength.
  void setMinLength(std::uint64_t minLength);
  // Values above 3 store DizViewGrowAtPin.
  void setGrowOptions(std::uint64_t growOptions);

  DizEvozidizViewRangeOptions copyWithNewLength(std::uint64_t length) const;
  DizEvozidizViewRangeOptions copyWithNewOffset(std::uint64_t offset) const;
  DizEvozidizViewRangeOptions copyWithNewLength(std::uint64_t length, std::uint64_t offset) const;
  // The same window seen from the other end of the group (pin flipped).
  DizEvozidizViewRangeOptions copyAndReverse() const;

  friend bool operator==(const DizEvozidizViewRangeOptions&, const DizEvozidizViewRangeOptions&) = default;

 private:
  DizEvozidizViewRangeOptions(bool fixed, std::uint64_t length, std::uint64_t offset, std::int64_t pin);

  bool isFixedRange_;
  std::uint64_t length_;
  std::uint64_t offset_;
  std::int64_t pin_;
  std::uint64_t maxLength_;
  std::uint64_t minLength_ = 0;
  std::uint64_t growOptions_ = DizViewGrowAtPin;
};

// Where a group's visible window lies in the whole group, in display order.
struct DizEvozidizViewRangePosition {
  std::uint64_t offsetFromBeginning = 0;
  std::uint64_t offsetFromEnd = 0;
  std::uint64_t length = 0;
  friend bool operator==(const DizEvozidizViewRangePosition&, const DizEvozidizViewRangePosition&) = default;
};

class DizEvozidizViewMappings {
 public:
  using Group = std::optional<std::string>;  // nil where a query allows it
  // True keeps the group.
  using GroupFilter = std::function<bool(const std::string& group, DizEvozidizReadTransaction& transaction)>;
  // -1 ascending, 0 same, +1 descending.
  using GroupSort =
      std::function<int(const std::string& group1, const std::string& group2, DizEvozidizReadTransaction& transaction)>;

  // Static mappings over the given groups, in this display order.
  static DizEvozidizViewMappings mappingsWithGroups(std::vector<std::string> groups, std::string view);
  DizEvozidizViewMappings(std::vector<std::string> groups, std::string view);
  // Dynamic mappings: the view's groups kept by `filter`, ordered by `sort`, at every update.
  DizEvozidizViewMappings(GroupFilter filter, GroupSort sort, std::string view);

  // Copies share the group list, closures and names; the per-group settings are copied.
  DizEvozidizViewMappings copy() const { return *this; }

  // ---- Configuration (static mappings accept only their own groups) ----
  void setIsDynamicSection(bool isDynamic, const std::string& group);
  bool isDynamicSectionForGroup(const std::string& group) const;
  // Replaces every per-group setting.
  void setIsDynamicSectionForAllGroups(bool isDynamic);
  bool isDynamicSectionForAllGroups() const;

  // Given in display order; none removes the range. Clamped at once after the first update.
  void setRangeOptions(const std::optional<DizEvozidizViewRangeOptions>& rangeOptions, const std::string& group);
  // In display order.
  std::optional<DizEvozidizViewRangeOptions> rangeOptionsForGroup(const std::string& group) const;
  void removeRangeOptionsForGroup(const std::string& group);

  // A row's drawing depends on the row `offset` places after it (negative: before it). 0 is ignored.
  void setCellDrawingDependencyForNeighboringCellWithOffset(std::int64_t offset, const std::string& group);
  void setCellDrawingDependencyOffsets(const std::set<std::int64_t>& offsets, const std::string& group);
  // In display order; none when never set for a group that is not reversed.
  std::optional<std::set<std::int64_t>> cellDrawingDependencyOffsetsForGroup(const std::string& group) const;

  void setIsReversed(bool isReversed, const std::string& group);
  bool isReversedForGroup(const std::string& group) const;

  // 0 never consolidates; the name must differ from every group (else both are cleared, logged).
  void setAutoConsolidateGroupsThreshold(std::uint64_t threshold, std::optional<std::string> name);
  std::uint64_t autoConsolidateGroupsThreshold() const { return autoConsolidateGroupsThreshold_; }
  const std::optional<std::string>& consolidatedGroupName() const { return consolidatedGroupName_; }

  // ---- Updating ----
  // Raises "DizEvozidizException" unless the transaction's connection is in a long-lived read
  // transaction.
  void updateWithTransaction(DizEvozidizReadTransaction& transaction) { updateWithTransaction(transaction, true); }
  void updateWithTransaction(DizEvozidizReadTransaction& transaction, bool forceUpdateRangeOptions);
  // From given counts (snapshot 0); dynamic mappings take the keys, in the given order, as groups.
  void updateWithCounts(const std::vector<std::pair<std::string, std::uint64_t>>& counts, bool forceUpdateRangeOptions);

  // ---- Display queries ----
  std::uint64_t numberOfSections() const;
  std::uint64_t numberOfItemsInSection(std::uint64_t section) const;
  std::uint64_t numberOfItemsInGroup(const Group& group) const;
  std::uint64_t numberOfItemsInAllGroups() const;
  std::vector<std::string> visibleGroups() const;
  bool isEmpty() const;
  Group groupForSection(std::uint64_t section) const;
  std::uint64_t sectionForGroup(const Group& group) const;
  bool getGroupIndexForIndexPath(Group* group, std::uint64_t* index,
                                 const std::optional<DizIndexPath>& indexPath) const;
  bool getGroupIndexForRow(Group* group, std::uint64_t* index, std::uint64_t row, std::uint64_t section) const;
  std::uint64_t indexForRowInSection(std::uint64_t row, std::uint64_t section) const;
  std::uint64_t indexForRow(std::uint64_t row, const Group& group) const;
  bool getRowSectionForIndex(std::uint64_t* row, std::uint64_t* section, std::uint64_t index, const Group& group) const;
  std::optional<DizIndexPath> indexPathForIndex(std::uint64_t index, const Group& group) const;
  std::uint64_t rowForIndex(std::uint64_t index, const Group& group) const;
  std::optional<DizIndexPath> nearestIndexPathForRow(std::uint64_t row, const Group& group) const;
  DizEvozidizViewRangePosition rangePositionForGroup(const Group& group) const;
  std::uint64_t rowOffsetForGroup(const Group& group) const;

  bool isUsingConsolidatedGroup() const { return isUsingConsolidatedGroup_; }
  const std::vector<std::string>& allGroups() const { return *allGroups_; }
  const std::string& view() const { return registeredViewName_; }
  std::uint64_t snapshotOfLastUpdate() const { return snapshotOfLastUpdate_; }
  bool viewGroupsAreDynamic() const { return viewGroupsAreDynamic_; }
  std::string description() const;

  // ---- For the view connection and the change-set processing ----
  std::unordered_map<std::string, std::uint64_t> counts() const { return counts_; }
  std::uint64_t fullCountForGroup(const std::string& group) const;
  std::uint64_t visibleCountForGroup(const Group& group) const { return numberOfItemsInGroup(group); }
  bool hasRangeOptions() const { return !rangeOptions_.empty(); }
  bool hasRangeOptionsForGroup(const std::string& group) const { return rangeOptions_.contains(group); }
  // In view order (no reversal).
  std::optional<DizEvozidizViewRangeOptions> _rangeOptionsForGroup(const std::string& group) const;
  // View order.
  const std::unordered_map<std::string, std::set<std::int64_t>>& dependencies() const { return dependencies_; }
  const std::unordered_set<std::string>& reverse() const { return reverse_; }
  void updateRangeOptionsForGroup(const std::string& group, std::uint64_t newLength, std::uint64_t newOffset);
  void updateVisibility();
  void setAutoConsolidatingDisabled(bool disabled) { autoConsolidationDisabled_ = disabled; }
  bool getGroupIndexForConsolidatedRow(Group* group, std::uint64_t* index, std::uint64_t row) const;
  bool getConsolidatedRowForIndex(std::uint64_t* row, std::uint64_t index, const Group& group) const;

 private:
  bool consolidatedNow() const { return isUsingConsolidatedGroup_ && !autoConsolidationDisabled_; }
  bool isConsolidatedName(const Group& group) const {
    return group && consolidatedGroupName_ && *group == *consolidatedGroupName_;
  }
  bool acceptsGroup(const std::string& group, const char* method) const;
  std::uint64_t visibleRowsOfGroup(const std::string& group) const;
  void setGroups(std::vector<std::string> groups);
  void applyCounts(const std::function<std::uint64_t(const std::string&)>& countOf, std::uint64_t snapshot,
                   bool forceUpdateRangeOptions);
  void clampRanges();
  void validateAutoConsolidation();

  std::string registeredViewName_;
  std::shared_ptr<const std::vector<std::string>> allGroups_;
  bool viewGroupsAreDynamic_ = false;
  GroupFilter groupFilter_;
  GroupSort groupSort_;
  std::vector<std::string> visibleGroups_;
  std::unordered_map<std::string, std::uint64_t> visiblePosition_;  // visibleGroups_ -> its section
  std::unordered_map<std::string, std::uint64_t> counts_;
  bool isUsingConsolidatedGroup_ = false;
  bool autoConsolidationDisabled_ = false;
  std::unordered_map<std::string, bool> dynamicSections_;
  std::optional<bool> dynamicSectionsForAllGroups_;
  std::unordered_set<std::string> reverse_;
  std::unordered_map<std::string, DizEvozidizViewRangeOptions> rangeOptions_;
  std::unordered_map<std::string, std::set<std::int64_t>> dependencies_;
  std::uint64_t autoConsolidateGroupsThreshold_ = 0;
  std::optional<std::string> consolidatedGroupName_;
  std::uint64_t snapshotOfLastUpdate_ = DizViewMappingsNeverUpdated;
};
