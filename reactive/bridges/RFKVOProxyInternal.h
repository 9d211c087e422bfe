#pragma once

#ifndef ZORVEL_INTERNAL_reactive
#error "reactive/bridges/RFKVOProxyInternal.h is internal to the reactive framework"
#endif

// RFKVOProxy: the one observer the platform sees for every RFKVOTrampoline; it finds the
// trampoline of each notification by the registration's context (the trampoline's address) in a
// table of weak references, so a trampoline that is gone simply stops hearing. Any thread.

#include <memory>
#include <string_view>
#include <unordered_map>

#include "platform/runtime/kvo.h"
#include "platform/runtime/object.h"
#include "platform/system/locks.h"
#include "reactive/bridges/RFKVOTrampoline.h"

class RFKVOProxy final : public platform::KeyValueObserver {
 public:
  static const std::shared_ptr<RFKVOProxy>& sharedProxy();

  void addObserver(const std::shared_ptr<RFKVOTrampoline>& observer, const void* context);
  // Removes the context's entry (the observer is not consulted).
  void removeObserver(const RFKVOTrampoline* observer, const void* context);
  void observeValueForKeyPath(std::string_view keyPath, platform::Object& object,
                              const platform::KeyValueChange& change, void* context) override;

 private:
  platform::Mutex lock_;
  std::unordered_map<const void*, std::weak_ptr<RFKVOTrampoline>> trampolines_ ZORVEL_GUARDED_BY(lock_);
};
