#pragma once

#ifndef ZORVEL_INTERNAL_reactive
#error "reactive/RFSubscriberListInternal.h is internal to the reactive framework"
#endif

// How a subject's list of subscriptions (RFSubscriberList.h) works.
//
// The list is an immutable array of entry pointers, replaced whole (under a short spin lock) by
// every subscribe and dispose, and read by sends without a lock. What a replacement costs depends
// on who may be walking the replaced array at that moment:
//
// - The home thread (the first thread that sends into the subject) walks without any atomic
//   read-modify-write or fence: it announces the array it walks in one of its own hazard slots.
//   A replacement made on the home thread itself sees those slots directly; one made on another
//   thread makes every thread pass a memory barrier (RFBarrierInternal.h) before it looks at them. Sends
//   and subscriptions usually come from one thread (the main thread's tick, a scheduler's queue),
//   so the barrier is the exception.
// - Any other thread pins the array it walks with a reference count taken under the spin lock.
//
// An array is freed when its last reference goes (the subject's, pins, and a hold for a home walk
// still in progress); entries leave with the last array that shows them. Freeing may run
// subscribers' destructors, so it never happens under a lock of this list.
//
// Thread-safe: add, remove, destruction and walks may run on any threads at once. A walk never
// touches the list object after it has begun, so a subscriber may let go of the subject during
// delivery. Walks nest (a subscriber may send into any subject, this one included).

#include <atomic>
#include <cstddef>
#include <memory>

#include "platform/runtime/thread.h"
#include "reactive/RFBarrierInternal.h"
#include "reactive/RFSubscriberList.h"

class RFCompoundDisposable;
class RFSubscriber;

namespace rf_detail {

struct SubscriberEntry {
  std::shared_ptr<RFPassthroughSubscriber> passthrough;
  // The passthrough's disposable and receiver, kept here so that a send reaches them directly.
  const RFCompoundDisposable* disposable;
  RFSubscriber* inner;
};

// The calling thread's hazard record; null before its first send and once it is exiting.
extern constinit thread_local HazardRecord* tHazardRecord;

inline constexpr int kHazardSlots = 16;

struct HazardRecord {
  // Arrays this thread walks as home, innermost last; written only by this thread.
  std::atomic<const SubscriberArray*> slots[kHazardSlots] = {};
  int depth = 0;  // slots in use; this thread's alone
  // Arrays whose release waits for this thread to finish a walk.
  std::atomic<bool> hasDeferred{false};
  platform::SpinLock deferLock;
  SubscriberArray* deferred = nullptr;  // a chain through SubscriberArray::nextDeferred
  // Records are reused by later threads but never freed.
  std::atomic<bool> taken{true};
  HazardRecord* next = nullptr;

  bool guards(const SubscriberArray* array) const;
  // Keeps the array's reference until this thread's outermost walk ends.
  void defer(SubscriberArray* array);
  [[gnu::cold]] void releaseDeferred(bool onlyUnguarded);
};

// The array as it is at construction, for the walk's duration.
class SubscriberList::Walk {
 public:
  [[gnu::always_inline]] explicit Walk(const SubscriberList& list) {
    HazardRecord* me = tHazardRecord;
    if (me && list.home_.load(std::memory_order_relaxed) == me && me->depth < kHazardSlots) [[likely]] {
      record_ = me;
      slot_ = &me->slots[me->depth++];
      array_ = announce(list, std::memory_order_acquire);
    } else {
      enterSlow(list);
    }
  }
  [[gnu::always_inline]] ~Walk() {
    if (record_) [[likely]] {
      slot_->store(nullptr, std::memory_order_release);
      // Pairs with the barrier of a thread that deferred a release to this one: either it sees
      // the slot cleared, or this sees the deferral.
      lightBarrier();
      if (--record_->depth == 0 && record_->hasDeferred.load(std::memory_order_relaxed)) [[unlikely]]
        record_->releaseDeferred(false);
    } else if (pinned_) {
      leavePinned();
    }
  }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  const SubscriberEntry* const* begin() const;
  const SubscriberEntry* const* end() const;
  std::size_t size() const;

 private:
  // Announces the current array in this thread's slot until the announcement is known to be
  // seen by anyone who replaces it (see RFBarrierInternal.h for the pairing).
  const SubscriberArray* announce(const SubscriberList& list, std::memory_order reload);
  [[gnu::noinline]] void enterSlow(const SubscriberList& list);
  [[gnu::noinline]] void leavePinned();

  const SubscriberArray* array_ = nullptr;
  HazardRecord* record_ = nullptr;
  std::atomic<const SubscriberArray*>* slot_ = nullptr;
  SubscriberArray* pinned_ = nullptr;
};

struct SubscriberArray {
  std::atomic<std::size_t> references{1};
  // The array that replaced this one: it is kept until this one goes, so an entry (dropped with
  // a later array) outlives every array that shows it.
  SubscriberArray* successor = nullptr;
  SubscriberEntry* dropped = nullptr;  // the entry this array's replacement left out
  bool dropsAll = false;               // the last array of a list that is going away
  SubscriberArray* nextDeferred = nullptr;
  std::size_t count = 0;

  SubscriberEntry** entries() { return reinterpret_cast<SubscriberEntry**>(this + 1); }
  const SubscriberEntry* const* entries() const { return reinterpret_cast<const SubscriberEntry* const*>(this + 1); }
};

inline const SubscriberArray* SubscriberList::Walk::announce(const SubscriberList& list, std::memory_order reload) {
  const SubscriberArray* array = list.array_.load(std::memory_order_acquire);
  while (array) {
    slot_->store(array, std::memory_order_release);
    lightBarrier();
    const SubscriberArray* now = list.array_.load(reload);
    if (now == array) break;
    array = now;
  }
  return array;
}

inline const SubscriberEntry* const* SubscriberList::Walk::begin() const {
  return array_ ? array_->entries() : nullptr;
}
inline const SubscriberEntry* const* SubscriberList::Walk::end() const {
  return array_ ? array_->entries() + array_->count : nullptr;
}
inline std::size_t SubscriberList::Walk::size() const { return array_ ? array_->count : 0; }

}  // namespace rf_detail
