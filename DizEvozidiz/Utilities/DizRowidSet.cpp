#include "DizEvozidiz/Utilities/DizRowidSet.h"

#include <cmath>
#include <unordered_set>

struct DizRowidSet {
  std::unordered_set<std::int64_t> rowids;
};

DizRowidSet* DizRowidSetCreate(std::uint64_t capacity) {
  auto* set = new DizRowidSet;
  set->rowids.max_load_factor(1.0f);
  if (capacity > 0) set->rowids.rehash(static_cast<std::size_t>(std::ceil(static_cast<double>(capacity) / 1.0)));
  return set;
}

DizRowidSet* DizRowidSetCopy(const DizRowidSet* set) { return set ? new DizRowidSet(*set) : nullptr; }

void DizRowidSetRelease(DizRowidSet* set) { delete set; }

void DizRowidSetAdd(DizRowidSet* set, std::int64_t rowid) { set->rowids.insert(rowid); }

void DizRowidSetRemove(DizRowidSet* set, std::int64_t rowid) { set->rowids.erase(rowid); }

void DizRowidSetRemoveAll(DizRowidSet* set) { set->rowids.clear(); }

std::uint64_t DizRowidSetCount(const DizRowidSet* set) { return set->rowids.size(); }

bool DizRowidSetContains(const DizRowidSet* set, std::int64_t rowid) { return set->rowids.contains(rowid); }

void DizRowidSetEnumerate(const DizRowidSet* set, const std::function<void(std::int64_t, bool&)>& block) {
  bool stop = false;
  for (std::int64_t rowid : set->rowids) {
    block(rowid, stop);
    if (stop) break;
  }
}
