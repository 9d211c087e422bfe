#pragma once

// A set of 64-bit rowids behind a small C-style interface (the search-results view keeps its
// matches in one per transaction). Members are unique; iteration follows the set's internal order.
// Belongs to one connection or transaction: no locks. Handles are never null unless said.

#include <cstdint>
#include <functional>

struct DizRowidSet;

// New empty set; a capacity above 0 reserves room for that many rowids.
DizRowidSet* DizRowidSetCreate(std::uint64_t capacity);
// A new set with the same rowids; null gives null.
DizRowidSet* DizRowidSetCopy(const DizRowidSet* set);
// Frees the set; null is ignored.
void DizRowidSetRelease(DizRowidSet* set);

void DizRowidSetAdd(DizRowidSet* set, std::int64_t rowid);
void DizRowidSetRemove(DizRowidSet* set, std::int64_t rowid);
void DizRowidSetRemoveAll(DizRowidSet* set);
std::uint64_t DizRowidSetCount(const DizRowidSet* set);
bool DizRowidSetContains(const DizRowidSet* set, std::int64_t rowid);
// Calls the block for each rowid until it sets stop.
void DizRowidSetEnumerate(const DizRowidSet* set, const std::function<void(std::int64_t rowid, bool& stop)>& block);
