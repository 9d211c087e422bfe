#include <cstdlib>
#include <new>

#include "platform/system/locks.h"
#include "reactive/RFSubscriberInternal.h"
#include "reactive/RFSubscriberListInternal.h"

namespace rf_detail {

constinit thread_local HazardRecord* tHazardRecord = nullptr;

namespace {

// --- Arrays --------------------------------------------------------------------------------------

SubscriberArray* makeArray(std::size_t count) {
  void* memory = std::malloc(sizeof(SubscriberArray) + count * sizeof(SubscriberEntry*));
  if (!memory) throw std::bad_alloc();
  auto* array = new (memory) SubscriberArray;
  array->count = count;
  return array;
}

// Drops one reference; the last one frees the array, the entries it owns, and then its successor's
// reference (iteratively: a long chain of replaced arrays does not grow the stack).
void release(SubscriberArray* array) {
  while (array && array->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    SubscriberArray* successor = array->successor;
    if (array->dropsAll) {
      for (std::size_t i = 0; i < array->count; ++i) delete array->entries()[i];
    } else {
      delete array->dropped;
    }
    array->~SubscriberArray();
    std::free(array);
    array = successor;
  }
}

// --- Hazard records ------------------------------------------------------------------------------

std::atomic<HazardRecord*> gRecords{nullptr};

HazardRecord* takeRecord() {
  for (HazardRecord* record = gRecords.load(std::memory_order_acquire); record; record = record->next) {
    bool free = false;
    if (!record->taken.load(std::memory_order_relaxed) &&
        record->taken.compare_exchange_strong(free, true, std::memory_order_acquire, std::memory_order_relaxed))
      return record;
  }
  auto* record = new HazardRecord;
  record->next = gRecords.load(std::memory_order_relaxed);
  while (!gRecords.compare_exchange_weak(record->next, record, std::memory_order_release, std::memory_order_relaxed)) {
  }
  return record;
}

thread_local bool tRecordReleased = false;

struct RecordReleaser {
  ~RecordReleaser() {
    if (HazardRecord* record = tHazardRecord) {
      // Not walking any more: whatever waited for this thread can go.
      record->releaseDeferred(false);
      record->taken.store(false, std::memory_order_release);
    }
    tHazardRecord = nullptr;
    tRecordReleased = true;
  }
};

// The calling thread's record, made on its first send; null once the thread is exiting.
HazardRecord* threadRecord() {
  if (tHazardRecord) return tHazardRecord;
  if (tRecordReleased) return nullptr;
  static thread_local RecordReleaser releaser;
  tHazardRecord = takeRecord();
  return tHazardRecord;
}

}  // namespace

bool HazardRecord::guards(const SubscriberArray* array) const {
  for (const auto& slot : slots)
    if (slot.load(std::memory_order_acquire) == array) return true;
  return false;
}

void HazardRecord::defer(SubscriberArray* array) {
  platform::MutexLock lock(deferLock);
  array->nextDeferred = deferred;
  deferred = array;
  hasDeferred.store(true, std::memory_order_relaxed);
}

void HazardRecord::releaseDeferred(bool onlyUnguarded) {
  SubscriberArray* ready = nullptr;
  {
    platform::MutexLock lock(deferLock);
    SubscriberArray** link = &deferred;
    while (SubscriberArray* array = *link) {
      if (onlyUnguarded && guards(array)) {
        link = &array->nextDeferred;
        continue;
      }
      *link = array->nextDeferred;
      array->nextDeferred = ready;
      ready = array;
    }
    hasDeferred.store(deferred != nullptr, std::memory_order_relaxed);
  }
  while (ready) {
    SubscriberArray* next = ready->nextDeferred;
    release(ready);
    ready = next;
  }
}

// --- The list ------------------------------------------------------------------------------------

SubscriberList::~SubscriberList() {
  SubscriberArray* last = array_.exchange(nullptr, std::memory_order_seq_cst);
  if (!last) return;
  last->dropsAll = true;
  retire(last);
}

void SubscriberList::add(std::shared_ptr<RFPassthroughSubscriber> passthrough) {
  auto* entry = new SubscriberEntry{std::move(passthrough), nullptr, nullptr};
  entry->disposable = entry->passthrough->disposable().get();
  entry->inner = entry->passthrough->innerSubscriber().get();
  SubscriberArray* old;
  {
    platform::MutexLock lock(lock_);
    old = array_.load(std::memory_order_relaxed);
    std::size_t count = old ? old->count : 0;
    SubscriberArray* next = makeArray(count + 1);
    for (std::size_t i = 0; i < count; ++i) next->entries()[i] = old->entries()[i];
    next->entries()[count] = entry;
    if (old) {
      old->successor = next;
      next->references.store(2, std::memory_order_relaxed);
    }
    array_.store(next, std::memory_order_seq_cst);
  }
  retire(old);
}

void SubscriberList::remove(const RFPassthroughSubscriber* passthrough) {
  SubscriberArray* old;
  {
    platform::MutexLock lock(lock_);
    old = array_.load(std::memory_order_relaxed);
    if (!old) return;
    std::size_t at = old->count;
    while (at > 0 && old->entries()[at - 1]->passthrough.get() != passthrough) --at;
    if (at == 0) return;
    --at;
    SubscriberArray* next = nullptr;
    if (old->count > 1) {
      next = makeArray(old->count - 1);
      for (std::size_t i = 0, j = 0; i < old->count; ++i)
        if (i != at) next->entries()[j++] = old->entries()[i];
      old->successor = next;
      next->references.store(2, std::memory_order_relaxed);
    }
    old->dropped = old->entries()[at];
    array_.store(next, std::memory_order_seq_cst);
  }
  retire(old);
}

void SubscriberList::retire(SubscriberArray* array) const {
  if (!array) return;
  HazardRecord* home = home_.load(std::memory_order_seq_cst);
  if (!home) {
    // Nobody has walked without a pin; a thread claiming home now sees the new array.
    release(array);
    return;
  }
  HazardRecord* me = tHazardRecord;
  if (home == me) {
    // Our own walks: a nested one may be reading the array; our outermost walk releases it.
    if (me->guards(array))
      me->defer(array);
    else
      release(array);
    return;
  }
  // The home thread may be walking it. After the barrier its announcement is visible, or its
  // walk sees the new array instead.
  heavyBarrier();
  if (!home->guards(array)) {
    release(array);
    return;
  }
  home->defer(array);
  // The walk may have ended before the deferral became visible to it; then we release here.
  heavyBarrier();
  if (!home->guards(array)) home->releaseDeferred(true);
}

void SubscriberList::Walk::enterSlow(const SubscriberList& list) {
  HazardRecord* me = threadRecord();
  if (me && me->depth < kHazardSlots) {
    HazardRecord* none = nullptr;
    if (list.home_.compare_exchange_strong(none, me, std::memory_order_seq_cst) || none == me) {
      record_ = me;
      slot_ = &me->slots[me->depth++];
      // Sequentially consistent: a replacement that saw no home yet is seen here.
      array_ = announce(list, std::memory_order_seq_cst);
      return;
    }
  }
  platform::MutexLock guard(list.lock_);
  pinned_ = list.array_.load(std::memory_order_relaxed);
  if (pinned_) pinned_->references.fetch_add(1, std::memory_order_relaxed);
  array_ = pinned_;
}

void SubscriberList::Walk::leavePinned() { release(pinned_); }

}  // namespace rf_detail
