#include "DizEvozidiz/Extensions/Views/Utilities/DizEvozidizViewChangeSet.h"

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "DizEvozidiz/DizCollectionKey.h"
#include "DizEvozidiz/Extensions/Views/Utilities/DizViewPositionSequenceInternal.h"

namespace {

using Row = DizEvozidizViewRowChange;
using RowPtr = DizEvozidizViewRowChangePtr;
using Section = DizEvozidizViewSectionChange;
using Mappings = DizEvozidizViewMappings;
using RangeOptions = DizEvozidizViewRangeOptions;

bool isInsert(const Row& r) { return r.type() == DizViewChangeInsert; }
bool isDelete(const Row& r) { return r.type() == DizViewChangeDelete; }
bool isMove(const Row& r) { return r.type() == DizViewChangeMove; }
bool isUpdate(const Row& r) { return r.type() == DizViewChangeUpdate; }

bool groupIs(const std::optional<std::string>& group, const std::string& name) { return group && *group == name; }

// Indexes this large are not positions (not found, or damaged input); the replay leaves them alone.
constexpr std::uint64_t kLargestPosition = std::uint64_t{1} << 40;

// One sequence per group name.
class GroupSequences {
 public:
  DizViewPositionSequence& operator[](const std::string& group) { return sequences_[group]; }

 private:
  std::unordered_map<std::string, DizViewPositionSequence> sequences_;
};

bool isPosition(std::uint64_t index) { return index < kLargestPosition; }

// The first and one-past-last view index of a range's window, in a group of `full` rows.
struct Window {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool contains(std::uint64_t i) const { return i >= start && i < end; }
};

// A window never reaches past the rows of its group (a range whose offset lies past the end shows
// nothing, whatever its length says).
Window clamped(Window w, std::uint64_t full) {
  w.end = std::min(w.end, full);
  w.start = std::min(w.start, w.end);
  return w;
}

Window windowOf(const RangeOptions& range, std::uint64_t full) {
  if (range.pin() == DizViewPinStart) return {range.offset(), range.offset() + range.length()};
  if (range.offset() >= full) return {0, 0};
  const std::uint64_t end = full - range.offset();
  return {end > range.length() ? end - range.length() : 0, end};
}

// Groups with a range in either mappings: the original's first (in its order), then the final's.
std::vector<std::string> rangedGroups(const Mappings& original, const Mappings& finalMappings) {
  std::vector<std::string> groups;
  if (!original.hasRangeOptions() && !finalMappings.hasRangeOptions()) return groups;
  std::unordered_set<std::string> seen;
  for (const auto& g : original.allGroups())
    if (original.hasRangeOptionsForGroup(g) && seen.insert(g).second) groups.push_back(g);
  for (const auto& g : finalMappings.allGroups())
    if (finalMappings.hasRangeOptionsForGroup(g) && seen.insert(g).second) groups.push_back(g);
  return groups;
}

// Positions of the records that touch each group (as original or final group), in list order.
std::unordered_map<std::string, std::vector<std::size_t>> recordsByGroup(const DizEvozidizViewChange::RowChanges& rows,
                                                                         const std::vector<std::string>& groups) {
  std::unordered_map<std::string, std::vector<std::size_t>> byGroup;
  for (const auto& g : groups) byGroup[g];
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& r = *rows[i];
    std::vector<std::size_t>* last = nullptr;
    for (const auto* group : {&r.originalGroup(), &r.finalGroup()}) {
      if (!*group) continue;
      auto it = byGroup.find(**group);
      if (it == byGroup.end() || &it->second == last) continue;
      it->second.push_back(i);
      last = &it->second;
    }
  }
  return byGroup;
}

// The range against which a group's window is tracked: the original's, else the final's.
std::optional<RangeOptions> referenceRange(const Mappings& original, const Mappings& finalMappings,
                                           const std::string& group) {
  if (auto range = original._rangeOptionsForGroup(group)) return range;
  return finalMappings._rangeOptionsForGroup(group);
}

bool setFinalRange(Mappings& finalMappings, const std::string& group, std::uint64_t length, std::uint64_t offset) {
  auto current = finalMappings._rangeOptionsForGroup(group);
  if (!current || (current->length() == length && current->offset() == offset)) return false;
  finalMappings.updateRangeOptionsForGroup(group, length, offset);
  return true;
}

// Moves the final mappings' range of `group` the way a list scrolls with the rows that were
// inserted and deleted around it.
bool trackRange(const DizEvozidizViewChange::RowChanges& rows, const std::vector<std::size_t>& touching,
                const Mappings& original, Mappings& finalMappings, const std::string& group) {
  auto range = referenceRange(original, finalMappings, group);
  if (!range) return false;
  const std::uint64_t fo = original.fullCountForGroup(group);
  const std::uint64_t ff = finalMappings.fullCountForGroup(group);
  const std::uint64_t off = range->offset();
  Window w = windowOf(*range, fo);
  std::uint64_t newLength, newOffset;
  if (range->isFixedRange()) {
    newLength = std::min(range->maxLength(), ff > off ? ff - off : 0);
    newOffset = off;
  } else {
    const std::uint64_t grow = range->growOptions();
    const bool pinStart = range->pin() == DizViewPinStart;
    bool sticky = w.start == w.end;
    for (std::size_t i : touching) {
      const Row& r = *rows[i];
      if ((isDelete(r) || isMove(r)) && groupIs(r.originalGroup(), group)) {
        const std::uint64_t p = r.opOriginalIndex();
        if (p < w.start) --w.start;
        if (p < w.end) --w.end;
      }
      if ((isInsert(r) || isMove(r)) && groupIs(r.finalGroup(), group)) {
        const std::uint64_t p = r.opFinalIndex();
        const bool growAtStart = sticky || (grow & (pinStart ? DizViewGrowAtPin : DizViewGrowAwayFromPin));
        const bool growAtEnd = sticky || (grow & (pinStart ? DizViewGrowAwayFromPin : DizViewGrowAtPin));
        if (p < w.start || (p == w.start && !growAtStart)) ++w.start;
        if (growAtEnd ? p <= w.end : p < w.end) ++w.end;
      }
      if (w.end == w.start) sticky = true;
    }
    const Window inside = clamped(w, ff);
    newLength = inside.end - inside.start;
    newOffset = pinStart ? w.start : (ff > w.end ? ff - w.end : 0);
  }
  return setFinalRange(finalMappings, group, newLength, newOffset);
}

void becomeDelete(Row& r) {
  r.setType(DizViewChangeDelete);
  r.setFinalGroup(std::nullopt);
  r.setFinalIndex(DizViewNotFound);
}

void becomeInsert(Row& r) {
  r.setType(DizViewChangeInsert);
  r.setOriginalGroup(std::nullopt);
  r.setOriginalIndex(DizViewNotFound);
}

void becomeMoveTo(Row& r, const Row& destination) {
  r.setType(DizViewChangeMove);
  r.setFinalGroup(destination.finalGroup());
  r.setFinalIndex(destination.finalIndex());
  r.setOpFinalIndex(destination.opFinalIndex());
}

// Where the rows of a group without a change record of their own go: the rows that leave the
// group (deletes, moves away) and those that arrive (inserts, moves in) are known; every other
// row keeps its order among the others.
class UnchangedRows {
 public:
  UnchangedRows(std::vector<std::uint64_t> removed, std::vector<std::uint64_t> added)
      : removed_(std::move(removed)), added_(std::move(added)) {
    std::sort(removed_.begin(), removed_.end());
    std::sort(added_.begin(), added_.end());
  }
  // Final index of the unchanged row at original index i.
  std::uint64_t finalIndex(std::uint64_t i) const { return nthFree(added_, i - countBelow(removed_, i)); }
  // Original index of the unchanged row at final index j.
  std::uint64_t originalIndex(std::uint64_t j) const { return nthFree(removed_, j - countBelow(added_, j)); }

 private:
  static std::uint64_t countBelow(const std::vector<std::uint64_t>& sorted, std::uint64_t i) {
    return static_cast<std::uint64_t>(std::lower_bound(sorted.begin(), sorted.end(), i) - sorted.begin());
  }
  // The n-th (from 0) position that `taken` does not hold.
  static std::uint64_t nthFree(const std::vector<std::uint64_t>& taken, std::uint64_t n) {
    // The smallest p with n + 1 free positions in [0, p].
    std::uint64_t low = n, high = n + taken.size();
    while (low < high) {
      const std::uint64_t mid = low + (high - low) / 2;
      const auto takenUpTo =
          static_cast<std::uint64_t>(std::upper_bound(taken.begin(), taken.end(), mid) - taken.begin());
      if (mid + 1 - takenUpTo >= n + 1)
        high = mid;
      else
        low = mid + 1;
    }
    return low;
  }

  std::vector<std::uint64_t> removed_;
  std::vector<std::uint64_t> added_;
};

// Keeps the records of `group` that lie inside the windows, in window coordinates, and adds the
// rows that slide into or out of the window without a change of their own. Removed records are
// set to null.
bool filterRange(DizEvozidizViewChange::RowChanges& rows, const std::vector<std::size_t>& touching,
                 const Mappings& original, Mappings& finalMappings, const std::string& group) {
  auto originalRange = referenceRange(original, finalMappings, group);
  auto finalRange = finalMappings._rangeOptionsForGroup(group);
  if (!finalRange) finalRange = originalRange;
  if (!originalRange) return false;
  const std::uint64_t ff = finalMappings.fullCountForGroup(group);
  const Window o =
      clamped(windowOf(*originalRange, original.fullCountForGroup(group)), original.fullCountForGroup(group));
  Window f = clamped(windowOf(*finalRange, ff), ff);
  const std::uint64_t fL = f.end - f.start;
  const bool pinStart = finalRange->pin() == DizViewPinStart;

  std::uint64_t newLength = fL, newOffset = finalRange->offset();
  if (finalRange->isFlexibleRange()) {
    if (fL > finalRange->maxLength()) {
      const std::uint64_t excess = fL - finalRange->maxLength();
      if (pinStart)
        f.end -= excess;
      else
        f.start += excess;
    } else if (fL < ff && fL < finalRange->minLength()) {
      std::uint64_t need = finalRange->minLength() - fL;
      auto growUp = [&] {
        const std::uint64_t up = std::min(need, f.start);
        f.start -= up;
        need -= up;
      };
      auto growDown = [&] {
        const std::uint64_t down = f.end < ff ? std::min(need, ff - f.end) : 0;
        f.end += down;
        need -= down;
      };
      if (pinStart) {
        growUp();
        growDown();
      } else {
        growDown();
        growUp();
      }
    }
    newLength = f.end - f.start;
    newOffset = pinStart ? f.start : (ff > f.end ? ff - f.end : 0);
  }

  // Rows with records of their own, on each side.
  std::vector<std::uint64_t> removed, added;
  std::unordered_set<std::uint64_t> originalWithRecord, finalWithRecord;
  for (std::size_t i : touching) {
    const Row& r = *rows[i];
    const bool fromGroup = groupIs(r.originalGroup(), group) && !isInsert(r);
    const bool toGroup = groupIs(r.finalGroup(), group) && !isDelete(r);
    if (fromGroup) {
      originalWithRecord.insert(r.originalIndex());
      if (!isUpdate(r)) removed.push_back(r.originalIndex());
    }
    if (toGroup) {
      finalWithRecord.insert(r.finalIndex());
      if (!isUpdate(r)) added.push_back(r.finalIndex());
    }
  }

  for (std::size_t i : touching) {
    Row& r = *rows[i];
    const bool fromGroup = groupIs(r.originalGroup(), group) && !isInsert(r);
    const bool toGroup = groupIs(r.finalGroup(), group) && !isDelete(r);
    const bool originalInside = fromGroup && o.contains(r.originalIndex());
    const bool finalInside = toGroup && f.contains(r.finalIndex());
    if (originalInside) r.setOriginalIndex(r.originalIndex() - o.start);
    if (finalInside) r.setFinalIndex(r.finalIndex() - f.start);
    // A side in another group (or no side) is shown as far as this group is concerned.
    const bool originalShown = !fromGroup ? !isInsert(r) : originalInside;
    const bool finalShown = !toGroup ? !isDelete(r) : finalInside;
    if (originalShown && finalShown) continue;
    if (finalShown)
      becomeInsert(r);
    else if (originalShown)
      becomeDelete(r);
    else
      rows[i].reset();
  }

  // Rows without records that slide out of or into the window.
  const UnchangedRows unchanged(std::move(removed), std::move(added));
  for (std::uint64_t index = o.start; index < o.end; ++index) {
    if (originalWithRecord.contains(index)) continue;
    if (!f.contains(unchanged.finalIndex(index)))
      rows.push_back(DizEvozidizViewRowChange::deleteCollectionKey(nullptr, group, index - o.start));
  }
  for (std::uint64_t index = f.start; index < f.end; ++index) {
    if (finalWithRecord.contains(index)) continue;
    if (!o.contains(unchanged.originalIndex(index)))
      rows.push_back(DizEvozidizViewRowChange::insertCollectionKey(nullptr, group, index - f.start));
  }
  return setFinalRange(finalMappings, group, newLength, newOffset);
}

void removeNulls(DizEvozidizViewChange::RowChanges& rows) {
  rows.erase(std::remove(rows.begin(), rows.end(), nullptr), rows.end());
}

// Sum of the visible counts of the groups before each group, in the mappings' group order.
std::unordered_map<std::string, std::uint64_t> groupOffsets(const Mappings& mappings) {
  std::unordered_map<std::string, std::uint64_t> offsets;
  std::uint64_t sum = 0;
  for (const auto& g : mappings.allGroups()) {
    offsets.emplace(g, sum);
    sum += mappings.visibleCountForGroup(g);
  }
  return offsets;
}

std::uint64_t offsetOf(const std::unordered_map<std::string, std::uint64_t>& offsets,
                       const std::optional<std::string>& group) {
  if (!group) return 0;
  auto it = offsets.find(*group);
  return it == offsets.end() ? 0 : it->second;
}

// count - 1 - index, or 0 where that would be negative (an index past the visible rows).
std::uint64_t reflected(std::uint64_t index, std::uint64_t count) { return index < count ? count - 1 - index : 0; }

// The display switches between separate sections and the one consolidated section: every row of
// the separate side without a change of its own is reported as a move to (or from) its place in
// the consolidated section. `toConsolidated`: the final mappings are the consolidated ones.
void switchConsolidation(DizEvozidizViewChange::RowChanges& rows, const Mappings& original,
                         const Mappings& finalMappings, bool toConsolidated, const std::string& name) {
  const std::size_t m = rows.size();
  const auto offsetsO = groupOffsets(original);
  const auto offsetsF = groupOffsets(finalMappings);
  // Changes per separate section: rows with a change of their own and positions taken by rows
  // that arrive, on the separate side (original when going to the consolidated section).
  std::unordered_map<std::uint64_t, std::unordered_set<std::uint64_t>> changed;
  std::unordered_map<std::uint64_t, std::vector<std::uint64_t>> taken;
  for (std::size_t i = 0; i < m; ++i) {
    const Row& r = *rows[i];
    if (!isInsert(r)) changed[r.originalSection()].insert(r.originalIndex());
    if (!isDelete(r)) taken[r.finalSection()].push_back(r.finalIndex());
  }
  for (auto& [section, list] : taken) std::sort(list.begin(), list.end());
  for (const auto& g : original.visibleGroups()) {
    const std::uint64_t so = original.sectionForGroup(g), sf = finalMappings.sectionForGroup(g);
    const auto& changedHere = changed[so];
    const auto& takenHere = taken[sf];
    std::size_t nextTaken = 0;
    std::uint64_t x = 0;
    const std::uint64_t count = original.visibleCountForGroup(g);
    for (std::uint64_t r = 0; r < count; ++r) {
      if (changedHere.contains(r)) continue;
      // The next final position that no arriving row takes.
      while (nextTaken < takenHere.size() && takenHere[nextTaken] < x) ++nextTaken;
      while (nextTaken < takenHere.size() && takenHere[nextTaken] == x) {
        ++x;
        ++nextTaken;
      }
      auto move = DizEvozidizViewRowChange::deleteCollectionKey(nullptr, g, r);
      move->setType(DizViewChangeMove);
      move->setChanges(0);
      move->setFinalGroup(g);
      move->setFinalIndex(x);
      move->setOpFinalIndex(x);
      move->setOriginalSection(so);
      move->setFinalSection(sf);
      if (toConsolidated) {
        move->setFinalGroup(name);
        move->setFinalSection(0);
        move->setFinalIndex(x + offsetOf(offsetsF, g));
      } else {
        move->setOriginalGroup(name);
        move->setOriginalSection(0);
        move->setOriginalIndex(r + offsetOf(offsetsO, g));
      }
      rows.push_back(move);
      ++x;
    }
  }
  for (std::size_t i = 0; i < m; ++i) {
    Row& r = *rows[i];
    if (toConsolidated) {
      if (isDelete(r)) continue;
      if (isUpdate(r)) r.setType(DizViewChangeMove);
      r.setFinalIndex(r.finalIndex() + offsetOf(offsetsF, r.finalGroup()));
      r.setFinalGroup(name);
      r.setFinalSection(0);
    } else {
      if (isInsert(r)) continue;
      if (isUpdate(r)) r.setType(DizViewChangeMove);
      r.setOriginalIndex(r.originalIndex() + offsetOf(offsetsO, r.originalGroup()));
      r.setOriginalGroup(name);
      r.setOriginalSection(0);
    }
  }
}

}  // namespace

void DizEvozidizViewChange::getSectionChanges(SectionChanges* sectionChanges, RowChanges* rowChanges,
                                              Mappings& originalMappings, Mappings& finalMappings,
                                              const platform::ValueArray& changes) {
  originalMappings.setAutoConsolidatingDisabled(true);
  finalMappings.setAutoConsolidatingDisabled(true);
  SectionChanges sections;
  RowChanges rows;
  preProcessChanges(changes, originalMappings, finalMappings, sections, rows);
  processRowChanges(rows, originalMappings, finalMappings);
  consolidateRowChanges(rows);
  consolidateSectionChanges(sections);
  postProcessAndFilterRowChanges(rows, originalMappings, finalMappings);
  postProcessAndFilterSectionChanges(sections, originalMappings, finalMappings);
  originalMappings.setAutoConsolidatingDisabled(false);
  finalMappings.setAutoConsolidatingDisabled(false);
  if (sectionChanges) *sectionChanges = std::move(sections);
  if (rowChanges) *rowChanges = std::move(rows);
}

void DizEvozidizViewChange::preProcessChanges(const platform::ValueArray& changes, const Mappings& originalMappings,
                                              const Mappings& finalMappings, SectionChanges& sectionChanges,
                                              RowChanges& rowChanges) {
  const std::unordered_set<std::string> originalGroups(originalMappings.allGroups().begin(),
                                                       originalMappings.allGroups().end());
  const std::unordered_set<std::string> finalGroups(finalMappings.allGroups().begin(), finalMappings.allGroups().end());
  auto counts = originalMappings.counts();
  const auto& dependencies = originalMappings.dependencies();
  sectionChanges.reserve(1);
  rowChanges.reserve(changes.size());

  for (const auto& entry : changes) {
    if (auto section = entry.as<DizEvozidizViewSectionChange>()) {
      const std::string& group = section->group();
      if (section->type() == DizViewChangeInsert) {
        if (finalGroups.contains(group)) sectionChanges.push_back(section->copyRecord());
      } else if (section->type() == DizViewChangeDelete && originalGroups.contains(group)) {
        sectionChanges.push_back(section->copyRecord());
        if (section->isReset()) {
          // Every row of the group goes: earlier records of it are replaced by deletes of all the
          // rows the group had at the start.
          std::erase_if(rowChanges, [&](const RowPtr& r) {
            return groupIs(isDelete(*r) ? r->originalGroup() : r->finalGroup(), group);
          });
          const std::uint64_t n = originalMappings.fullCountForGroup(group);
          for (std::uint64_t i = n; i-- > 0;)
            rowChanges.push_back(DizEvozidizViewRowChange::deleteCollectionKey(nullptr, group, i));
          counts[group] = 0;
        }
      }
      continue;
    }
    auto row = entry.as<DizEvozidizViewRowChange>();
    if (!row) continue;
    const std::string* subject = nullptr;
    std::uint64_t subjectIndex = 0;
    std::int64_t shift = 0;
    // Records of a group in either mappings are kept, so that the positions of the group replay
    // in full; those of a group without a section are dropped once sections are known.
    auto known = [&](const std::optional<std::string>& g) {
      return g && (finalGroups.contains(*g) || originalGroups.contains(*g));
    };
    if (isInsert(*row) && known(row->finalGroup())) {
      rowChanges.push_back(row->copyRecord());
      subject = &*row->finalGroup();
      subjectIndex = row->opFinalIndex();
      ++counts[*subject];
    } else if (isUpdate(*row) && known(row->originalGroup())) {
      rowChanges.push_back(row->copyRecord());
      subject = &*row->originalGroup();
      subjectIndex = row->opOriginalIndex();
    } else if (isDelete(*row) && known(row->originalGroup())) {
      rowChanges.push_back(row->copyRecord());
      subject = &*row->originalGroup();
      subjectIndex = row->opOriginalIndex();
      auto& count = counts[*subject];
      if (count > 0) --count;
      shift = -1;
    }
    if (!subject) continue;
    auto deps = dependencies.find(*subject);
    if (deps == dependencies.end()) continue;
    const std::uint64_t c = counts[*subject];
    for (std::int64_t d : deps->second) {
      std::uint64_t target;
      if (d < 0) {
        const std::int64_t t = static_cast<std::int64_t>(subjectIndex) + shift - d;
        if (t < 0) continue;
        target = static_cast<std::uint64_t>(t);
      } else if (d > 0 && subjectIndex >= static_cast<std::uint64_t>(d)) {
        target = subjectIndex - static_cast<std::uint64_t>(d);
      } else {
        continue;
      }
      if (target < c)
        rowChanges.push_back(
            DizEvozidizViewRowChange::updateCollectionKey(nullptr, *subject, target, DizViewChangedDependency));
    }
  }
}

void DizEvozidizViewChange::processRowChanges(RowChanges& rows, const Mappings& originalMappings,
                                              Mappings& finalMappings) {
  // Index before the whole change set: each record's index mapped back through the operations
  // before it (a delete at q shifts positions from q up by one; an insert at q shifts those past q
  // down by one), replayed in list order as one composed mapping per group.
  {
    GroupSequences back;
    for (const RowPtr& r : rows) {
      if ((isUpdate(*r) || isDelete(*r)) && r->originalGroup() && isPosition(r->originalIndex()))
        r->setOriginalIndex(back[*r->originalGroup()].valueAt(r->originalIndex()));
      if (isInsert(*r) && r->finalGroup() && isPosition(r->opFinalIndex()))
        back[*r->finalGroup()].duplicateAt(r->opFinalIndex());
      else if (isDelete(*r) && r->originalGroup() && isPosition(r->opOriginalIndex()))
        back[*r->originalGroup()].removeAt(r->opOriginalIndex());
    }
  }
  // Index after the whole change set: mapped forward through the operations after it.
  {
    GroupSequences forward;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
      const RowPtr& r = *it;
      if ((isUpdate(*r) || isInsert(*r)) && r->finalGroup() && isPosition(r->finalIndex()))
        r->setFinalIndex(forward[*r->finalGroup()].valueAt(r->finalIndex()));
      if (isInsert(*r) && r->finalGroup() && isPosition(r->opFinalIndex()))
        forward[*r->finalGroup()].removeAt(r->opFinalIndex());
      else if (isDelete(*r) && r->originalGroup() && isPosition(r->opOriginalIndex()))
        forward[*r->originalGroup()].duplicateAt(r->opOriginalIndex());
    }
  }
  const auto groups = rangedGroups(originalMappings, finalMappings);
  if (groups.empty()) return;
  const auto byGroup = recordsByGroup(rows, groups);
  bool changed = false;
  for (const auto& g : groups) changed |= trackRange(rows, byGroup.at(g), originalMappings, finalMappings, g);
  if (changed) finalMappings.updateVisibility();
}

void DizEvozidizViewChange::consolidateRowChanges(RowChanges& rows) {
  const std::size_t n = rows.size();
  if (n < 2) return;
  // Which row each record is about: the rows of every group are replayed in list order, so a
  // record without a key (a dependency update, a delete of a reset) finds the row it touches.
  // Rows are numbered: a row inserted by record i is kInserted | i; row k of group g at the start is
  // kAtStart | g << 40 | k. Sequences hold the numbers of the rows that moved in, or the bare k.
  constexpr std::uint64_t kInserted = std::uint64_t{1} << 63;
  constexpr std::uint64_t kAtStart = std::uint64_t{1} << 62;
  std::unordered_map<std::string, std::uint64_t> groupNumbers;
  auto groupNumber = [&](const std::string& g) { return groupNumbers.emplace(g, groupNumbers.size()).first->second; };
  GroupSequences sequences;
  std::vector<std::uint64_t> rowOf(n);
  std::vector<bool> inReplay(n, false);
  auto take = [&](const Row& r, bool remove) -> std::uint64_t {
    const std::string& g = *r.originalGroup();
    DizViewPositionSequence& s = sequences[g];
    const std::uint64_t v = s.valueAt(r.opOriginalIndex());
    if (remove) s.removeAt(r.opOriginalIndex());
    return v >= kLargestPosition ? v : kAtStart | (groupNumber(g) << 40) | v;
  };
  // Keyed records find each other by key; only groups with records without a key need the replay.
  std::unordered_set<std::string> replayed;
  for (const RowPtr& r : rows) {
    if (r->collectionKey()) continue;
    if (r->originalGroup()) replayed.insert(*r->originalGroup());
    if (r->finalGroup()) replayed.insert(*r->finalGroup());
  }
  for (std::size_t i = 0; i < n; ++i) {
    const Row& r = *rows[i];
    rowOf[i] = kInserted | i;  // unless the replay finds it
    if (replayed.empty()) continue;
    const bool fromPosition =
        r.originalGroup() && isPosition(r.opOriginalIndex()) && replayed.contains(*r.originalGroup());
    const bool toPosition = r.finalGroup() && isPosition(r.opFinalIndex()) && replayed.contains(*r.finalGroup());
    inReplay[i] = fromPosition || toPosition;
    if (isInsert(r) && toPosition) {
      sequences[*r.finalGroup()].insertAt(r.opFinalIndex(), rowOf[i]);
    } else if (isDelete(r) && fromPosition) {
      rowOf[i] = take(r, true);
    } else if (isUpdate(r) && fromPosition) {
      rowOf[i] = take(r, false);
    } else if (isMove(r)) {
      if (fromPosition) rowOf[i] = take(r, true);
      if (toPosition) sequences[*r.finalGroup()].insertAt(r.opFinalIndex(), rowOf[i]);
    }
  }
  // Records of one row: the same replayed row, or the same key.
  std::vector<std::size_t> parent(n);
  for (std::size_t i = 0; i < n; ++i) parent[i] = i;
  auto find = [&](std::size_t i) {
    while (parent[i] != i) i = parent[i] = parent[parent[i]];
    return i;
  };
  auto join = [&](std::size_t a, std::size_t b) {
    a = find(a);
    b = find(b);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  };
  std::unordered_map<std::uint64_t, std::size_t> firstByRow;
  std::unordered_map<DizCollectionKeyPtr, std::size_t, DizCollectionKey::Hasher, DizCollectionKey::Equal> firstByKey;
  firstByKey.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (inReplay[i])
      if (auto [it, added] = firstByRow.emplace(rowOf[i], i); !added) join(it->second, i);
    if (const auto& key = rows[i]->collectionKey())
      if (auto [it, added] = firstByKey.emplace(key, i); !added) join(it->second, i);
  }
  // The chain of each first record, in list order.
  std::vector<std::size_t> next(n, SIZE_MAX), last(n, SIZE_MAX);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t root = find(i);
    if (root != i) next[last[root]] = i;
    last[root] = i;
  }
  std::vector<bool> consumed(n, false);
  for (std::size_t a = 0; a < n; ++a) {
    if (find(a) != a || next[a] == SIZE_MAX) continue;
    Row& A = *rows[a];
    bool allUpdates = isUpdate(A);
    for (std::size_t j = next[a]; j != SIZE_MAX; j = next[j]) {
      const Row& B = *rows[j];
      A.setChanges(A.changes() | B.changes());
      if (!A.collectionKey() && B.collectionKey()) A.setCollectionKey(B.collectionKey());
      allUpdates = allUpdates && isUpdate(B);
      consumed[j] = true;
    }
    const Row& Z = *rows[last[a]];
    if (isInsert(A)) {
      if (isDelete(Z)) {
        consumed[a] = true;
      } else {
        A.setFinalIndex(Z.finalIndex());
        A.setFinalGroup(Z.finalGroup());
      }
    } else if (isUpdate(A)) {
      if (isDelete(Z))
        becomeDelete(A);
      else if (isInsert(Z) || isMove(Z) || !allUpdates)
        becomeMoveTo(A, Z);
    } else {
      if (!isDelete(Z)) becomeMoveTo(A, Z);
    }
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (!consumed[i]) rows[kept++] = std::move(rows[i]);
  rows.resize(kept);
}

void DizEvozidizViewChange::consolidateSectionChanges(SectionChanges& sections) {
  // Every record of a group joins the chain of the group's first record.
  std::unordered_map<std::string, std::pair<std::size_t, std::size_t>> firstAndLast;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    auto [it, added] = firstAndLast.emplace(sections[i]->group(), std::make_pair(i, i));
    if (!added) it->second.second = i;
  }
  std::vector<bool> keep(sections.size(), false);
  for (const auto& [group, ends] : firstAndLast) {
    // Same kind at both ends: the first stands for all; otherwise nothing happened to the section.
    keep[ends.first] = sections[ends.first]->type() == sections[ends.second]->type();
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < sections.size(); ++i)
    if (keep[i]) sections[kept++] = std::move(sections[i]);
  sections.resize(kept);
}

void DizEvozidizViewChange::postProcessAndFilterRowChanges(RowChanges& rows, const Mappings& originalMappings,
                                                           Mappings& finalMappings) {
  if (const auto groups = rangedGroups(originalMappings, finalMappings); !groups.empty()) {
    const auto byGroup = recordsByGroup(rows, groups);
    bool changed = false;
    for (const auto& g : groups) changed |= filterRange(rows, byGroup.at(g), originalMappings, finalMappings, g);
    removeNulls(rows);
    if (changed) finalMappings.updateVisibility();
  }

  for (RowPtr& r : rows) {
    if (!isInsert(*r)) r->setOriginalSection(originalMappings.sectionForGroup(r->originalGroup()));
    if (!isDelete(*r)) r->setFinalSection(finalMappings.sectionForGroup(r->finalGroup()));
    if (isUpdate(*r) && r->originalSection() != r->finalSection()) r->setType(DizViewChangeMove);
    // A side in a group without a section is not shown: the record keeps only its other side.
    const bool originalShown = !isInsert(*r) && r->originalSection() != DizViewNotFound;
    const bool finalShown = !isDelete(*r) && r->finalSection() != DizViewNotFound;
    if (isInsert(*r) || isDelete(*r) || (originalShown && finalShown)) {
      if (!originalShown && !finalShown) r.reset();
      continue;
    }
    if (finalShown)
      becomeInsert(*r);
    else if (originalShown)
      becomeDelete(*r);
    else
      r.reset();
  }
  removeNulls(rows);

  const auto& reversed = originalMappings.reverse();
  if (!reversed.empty()) {
    for (const RowPtr& r : rows) {
      if (r->originalGroup() && reversed.contains(*r->originalGroup()))
        r->setOriginalIndex(reflected(r->originalIndex(), originalMappings.visibleCountForGroup(r->originalGroup())));
      if (r->finalGroup() && reversed.contains(*r->finalGroup()))
        r->setFinalIndex(reflected(r->finalIndex(), finalMappings.visibleCountForGroup(r->finalGroup())));
    }
  }

  const bool originalConsolidated = originalMappings.isUsingConsolidatedGroup();
  const bool finalConsolidated = finalMappings.isUsingConsolidatedGroup();
  const std::string name =
      originalMappings.consolidatedGroupName().value_or(finalMappings.consolidatedGroupName().value_or(std::string()));
  if (originalConsolidated && finalConsolidated) {
    const auto offsetsO = groupOffsets(originalMappings);
    const auto offsetsF = groupOffsets(finalMappings);
    for (const RowPtr& r : rows) {
      if (!isInsert(*r)) {
        r->setOriginalIndex(r->originalIndex() + offsetOf(offsetsO, r->originalGroup()));
        r->setOriginalGroup(name);
        r->setOriginalSection(0);
      }
      if (!isDelete(*r)) {
        r->setFinalIndex(r->finalIndex() + offsetOf(offsetsF, r->finalGroup()));
        r->setFinalGroup(name);
        r->setFinalSection(0);
      }
      if (isUpdate(*r) && r->originalIndex() != r->finalIndex()) r->setType(DizViewChangeMove);
    }
  } else if (finalConsolidated) {
    switchConsolidation(rows, originalMappings, finalMappings, true, name);
  } else if (originalConsolidated) {
    switchConsolidation(rows, originalMappings, finalMappings, false, name);
  }
}

void DizEvozidizViewChange::postProcessAndFilterSectionChanges(SectionChanges& sections,
                                                               const Mappings& originalMappings,
                                                               const Mappings& finalMappings) {
  std::erase_if(sections, [&](const DizEvozidizViewSectionChangePtr& s) {
    const std::uint64_t so = originalMappings.sectionForGroup(s->group());
    const std::uint64_t sf = finalMappings.sectionForGroup(s->group());
    if (s->type() == DizViewChangeDelete && so != DizViewNotFound && sf == DizViewNotFound) {
      s->setOriginalSection(so);
      return false;
    }
    if (s->type() == DizViewChangeInsert && so == DizViewNotFound && sf != DizViewNotFound) {
      s->setFinalSection(sf);
      return false;
    }
    return true;
  });
  // A section can also appear or disappear without a record of its group in the log: a range
  // window that empties or fills, or a reset group inserted again that ends up hidden. The
  // display must still be told, or its sections no longer match the mappings.
  std::unordered_set<std::string> deleted, inserted;
  for (const auto& s : sections) (s->type() == DizViewChangeDelete ? deleted : inserted).insert(s->group());
  for (const auto& g : originalMappings.visibleGroups()) {
    if (deleted.contains(g) || finalMappings.sectionForGroup(g) != DizViewNotFound) continue;
    auto s = DizEvozidizViewSectionChange::deleteGroup(g);
    s->setOriginalSection(originalMappings.sectionForGroup(g));
    sections.push_back(s);
  }
  for (const auto& g : finalMappings.visibleGroups()) {
    if (inserted.contains(g) || originalMappings.sectionForGroup(g) != DizViewNotFound) continue;
    auto s = DizEvozidizViewSectionChange::insertGroup(g);
    s->setFinalSection(finalMappings.sectionForGroup(g));
    sections.push_back(s);
  }
  const bool originalConsolidated = originalMappings.isUsingConsolidatedGroup();
  const bool finalConsolidated = finalMappings.isUsingConsolidatedGroup();
  if (!originalConsolidated && !finalConsolidated) return;
  sections.clear();
  const std::string name =
      originalMappings.consolidatedGroupName().value_or(finalMappings.consolidatedGroupName().value_or(std::string()));
  if (originalConsolidated && finalConsolidated) return;
  if (finalConsolidated) {
    const auto groups = originalMappings.visibleGroups();
    for (std::size_t i = 0; i < groups.size(); ++i) {
      auto s = DizEvozidizViewSectionChange::deleteGroup(groups[i]);
      s->setOriginalSection(i);
      sections.push_back(s);
    }
    auto s = DizEvozidizViewSectionChange::insertGroup(name);
    s->setFinalSection(0);
    sections.push_back(s);
  } else {
    auto s = DizEvozidizViewSectionChange::deleteGroup(name);
    s->setOriginalSection(0);
    sections.push_back(s);
    const auto groups = finalMappings.visibleGroups();
    for (std::size_t i = 0; i < groups.size(); ++i) {
      auto insert = DizEvozidizViewSectionChange::insertGroup(groups[i]);
      insert->setFinalSection(i);
      sections.push_back(insert);
    }
  }
}
