#pragma once

// DizEvozidizViewChange: turns the raw change log of a view over one or more commits
// (DizEvozidizViewChange.h records) into the section and row changes that take a list display from
// the state of one DizEvozidizViewMappings to the state of a later one: indexes before and after the
// whole change set, several records of one row folded into one, rows filtered through ranges,
// reversed groups and the consolidated section, and the cell-drawing dependencies added as updates.
//
// The stages, in the order getSectionChanges runs them (both mappings have auto-consolidation
// disabled meanwhile): preProcessChanges (copies the kept records, expands resets into row deletes,
// adds dependency updates), processRowChanges (indexes before/after the change set; moves the
// final mappings' ranges as a list would scroll), consolidateRowChanges, consolidateSectionChanges,
// postProcessAndFilterRowChanges (ranges, sections, reversal, consolidated section),
// postProcessAndFilterSectionChanges.
//
// The raw records are never changed. The final mappings' ranges and visibility are updated in place.
// Work grows as n log n with the number of raw records (positions are replayed in order-statistic
// trees, rows are matched through hash maps), except the consolidated-section switch, which also
// walks the rows of the mappings.
//
// Threads: no state of its own; the caller owns both mappings and the records for the call.

#include <vector>

#include "DizEvozidiz/Extensions/Views/DizEvozidizViewChange.h"
#include "DizEvozidiz/Extensions/Views/Utilities/DizEvozidizViewMappings.h"
#include "platform/runtime/value.h"

class DizEvozidizViewChange {
 public:
  using RowChanges = std::vector<DizEvozidizViewRowChangePtr>;
  using SectionChanges = std::vector<DizEvozidizViewSectionChangePtr>;

  // Either output may be null. `changes` mixes row and section records in commit order.
  static void getSectionChanges(SectionChanges* sectionChanges, RowChanges* rowChanges,
                                DizEvozidizViewMappings& originalMappings, DizEvozidizViewMappings& finalMappings,
                                const platform::ValueArray& changes);

  static void preProcessChanges(const platform::ValueArray& changes, const DizEvozidizViewMappings& originalMappings,
                                const DizEvozidizViewMappings& finalMappings, SectionChanges& sectionChanges,
                                RowChanges& rowChanges);
  static void processRowChanges(RowChanges& rowChanges, const DizEvozidizViewMappings& originalMappings,
                                DizEvozidizViewMappings& finalMappings);
  static void consolidateRowChanges(RowChanges& rowChanges);
  static void consolidateSectionChanges(SectionChanges& sectionChanges);
  static void postProcessAndFilterRowChanges(RowChanges& rowChanges, const DizEvozidizViewMappings& originalMappings,
                                             DizEvozidizViewMappings& finalMappings);
  static void postProcessAndFilterSectionChanges(SectionChanges& sectionChanges,
                                                 const DizEvozidizViewMappings& originalMappings,
                                                 const DizEvozidizViewMappings& finalMappings);
};
