#pragma once

// A subject's list of subscriptions: only its storage, which RFSubject holds. How the list works,
// and the walks that deliver through it, are the framework's own (RFSubscriberListInternal.h).
//
// Thread-safe: add, remove, destruction and walks may run on any threads at once.

#include <atomic>
#include <memory>

#include "platform/runtime/thread.h"

class RFPassthroughSubscriber;

namespace rf_detail {

struct SubscriberArray;
struct HazardRecord;

class SubscriberList {
 public:
  SubscriberList() = default;
  ~SubscriberList();
  SubscriberList(const SubscriberList&) = delete;
  SubscriberList& operator=(const SubscriberList&) = delete;

  void add(std::shared_ptr<RFPassthroughSubscriber> passthrough);
  // Removes the last entry for this passthrough, if it is listed.
  void remove(const RFPassthroughSubscriber* passthrough);

  // Walks the array as it is when the walk begins (RFSubscriberListInternal.h).
  class Walk;

 private:
  // Hands the replaced array's list reference on, keeping it while a walk may still read it.
  void retire(SubscriberArray* array) const;

  mutable platform::SpinLock lock_;  // serialises replacements and pins
  std::atomic<SubscriberArray*> array_{nullptr};
  mutable std::atomic<HazardRecord*> home_{nullptr};  // the first thread that sent, claimed once
};

}  // namespace rf_detail
