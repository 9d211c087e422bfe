#pragma once

// Guarded memory for the crash context: one anonymous mapping laid out as guard page, writable
// region, guard page, read-only region, guard page. Guard pages allow no access, so a stray write
// running off either region faults instead of corrupting the context. Allocation is lock-free (a
// compare-and-swap on the region's next-free pointer) and never frees. Once protected, the
// read-only region cannot be written.
//
// Failure: a region that is exhausted, an absent allocator or an allocation from the read-only
// region after protection falls back to malloc and logs a warning to "sdk.log".
//
// Threads: any thread; the allocator lives until the process ends.

#include <atomic>
#include <cstddef>

enum class BBXAllocatorRegion : int { ReadOnly = 0, Writable = 1 };

struct BBXAllocatorRegionState {
  std::size_t size;
  char* start;
  std::atomic<char*> next;
};

struct BBXAllocator {
  void* base;
  std::size_t mappingLength;
  std::atomic<bool> isProtected;
  BBXAllocatorRegionState writable;
  BBXAllocatorRegionState readOnly;
};

// Null when the mapping or a guard page cannot be set up.
BBXAllocator* BBXAllocatorCreate(std::size_t writableSize, std::size_t readOnlySize);
// `region` 1 writable, 0 read-only; any other value answers null.
void* BBXAllocatorSafeAllocate(BBXAllocator* allocator, std::size_t size, int region);
[[nodiscard]] bool BBXAllocatorProtect(BBXAllocator* allocator);
