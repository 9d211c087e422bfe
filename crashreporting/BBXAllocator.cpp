#include "crashreporting/BBXAllocator.h"

#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

#include "crashreporting/BBXSDKLog.h"

namespace {

std::size_t pageSize() {
  const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

// Whole pages, always one more than needed.
std::size_t regionSize(std::size_t wanted, std::size_t page) { return (wanted / page + 1) * page; }

void* allocateFrom(BBXAllocatorRegionState& region, std::size_t size) {
  char* next = region.next.load(std::memory_order_acquire);
  for (;;) {
    if (static_cast<std::size_t>(next + size - region.start) > region.size) {
      BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Unable to allocate sufficient memory, falling back to malloc\n");
      return malloc(size);
    }
    if (region.next.compare_exchange_weak(next, next + size, std::memory_order_acq_rel)) return next;
  }
}

}  // namespace

BBXAllocator* BBXAllocatorCreate(std::size_t writableSize, std::size_t readOnlySize) {
  const std::size_t page = pageSize();
  // The allocator's own record is the writable region's first allocation: it changes (next-free
  // pointers) after the read-only region is protected.
  constexpr std::size_t kRecordSize = (sizeof(BBXAllocator) + 63) / 64 * 64;
  const std::size_t writable = regionSize(writableSize + kRecordSize, page);
  const std::size_t readOnly = regionSize(readOnlySize, page);
  const std::size_t length = writable + readOnly + 3 * page;
  void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
  if (mapping == MAP_FAILED) {
    BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] Mapping failed %s\n", strerror(errno));
    return nullptr;
  }
  char* base = static_cast<char*>(mapping);
  char* writableStart = base + page;
  char* middleGuard = writableStart + writable;
  char* readOnlyStart = middleGuard + page;
  char* lastGuard = readOnlyStart + readOnly;
  const struct {
    char* address;
    const char* failure;
  } guards[] = {{base, "ERROR [%s:%d] First guard protection failed %s\n"},
                {middleGuard, "ERROR [%s:%d] Middle guard protection failed %s\n"},
                {lastGuard, "ERROR [%s:%d] Last guard protection failed %s\n"}};
  for (const auto& guard : guards) {
    if (mprotect(guard.address, page, PROT_NONE) != 0) {
      BBX_SDK_LOG(kBBXLogLevelError, guard.failure, strerror(errno));
      munmap(mapping, length);
      return nullptr;
    }
  }
  auto* allocator = new (writableStart) BBXAllocator{};
  allocator->base = mapping;
  allocator->mappingLength = length;
  allocator->isProtected.store(false);
  allocator->writable.size = writable;
  allocator->writable.start = writableStart;
  allocator->writable.next.store(writableStart + kRecordSize);
  allocator->readOnly.size = readOnly;
  allocator->readOnly.start = readOnlyStart;
  allocator->readOnly.next.store(readOnlyStart);
  BBX_SDK_LOG(kBBXLogLevelInfo, "INFO  [%s:%d] Mapping: %p %p %p, total: %u K\n", mapping,
              static_cast<void*>(writableStart), static_cast<void*>(readOnlyStart),
              static_cast<unsigned>(length / 1024));
  BBX_SDK_LOG(kBBXLogLevelDebug, "DEBUG [%s:%d] Allocator successfully created %p\n", static_cast<void*>(allocator));
  return allocator;
}

void* BBXAllocatorSafeAllocate(BBXAllocator* allocator, std::size_t size, int region) {
  if (region != static_cast<int>(BBXAllocatorRegion::ReadOnly) &&
      region != static_cast<int>(BBXAllocatorRegion::Writable)) {
    return nullptr;
  }
  if (!allocator) {
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Allocator invalid, falling back to malloc\n");
    return malloc(size);
  }
  if (region == static_cast<int>(BBXAllocatorRegion::Writable)) return allocateFrom(allocator->writable, size);
  if (allocator->isProtected.load(std::memory_order_acquire)) {
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Allocator already protected, falling back to malloc\n");
    return malloc(size);
  }
  return allocateFrom(allocator->readOnly, size);
}

bool BBXAllocatorProtect(BBXAllocator* allocator) {
  if (!allocator) {
    BBX_SDK_LOG(kBBXLogLevelError, "ERROR [%s:%d] Invalid allocator\n");
    return false;
  }
  if (allocator->isProtected.load(std::memory_order_acquire)) {
    BBX_SDK_LOG(kBBXLogLevelWarn, "WARN  [%s:%d] Write protection already enabled\n");
    return true;
  }
  // Marked first, so that no allocation from the region starts once it is being protected.
  allocator->isProtected.store(true, std::memory_order_seq_cst);
  if (mprotect(allocator->readOnly.start, allocator->readOnly.size, PROT_READ) != 0) {
    allocator->isProtected.store(false, std::memory_order_seq_cst);
    return false;
  }
  return true;
}
