#pragma once

// Key-value observing as disposables.
//
// - RFKVOTrampoline: one registration of one key path (dots are followed by the platform) on one
//   target, packaged as a disposable. Disposing it (or the deallocation of the target or of the
//   observer, through their rf_deallocDisposable) ends the registration.
// - RFKVOProxy (RFKVOProxyInternal.h): the one observer the platform sees for every trampoline.
//
// Threads: registration and disposal may happen on any thread. Notifications arrive on the
// thread that made the change; the trampoline's block is called outside every lock of this
// file, so it may itself observe or dispose.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/runtime/kvo.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/system/locks.h"
#include "reactive/RFDisposable.h"

class RFKVOTrampoline;
using RFKVOTrampolinePtr = std::shared_ptr<RFKVOTrampoline>;

class RFKVOTrampoline final : public RFDisposable {
  ZORVEL_CLASS(RFKVOTrampoline, RFDisposable)

 public:
  // Gets the target, the observer (null when none was given or it is gone) and the platform's
  // change dictionary (kvo.h).
  using Block = std::function<void(const platform::ObjectPtr& target, const platform::ObjectPtr& observer,
                                   const platform::Value& change)>;

  // Registers at once with the given options (platform::KeyValueObservingOptions). Null when the
  // target is null or already gone. The observer may be null.
  static RFKVOTrampolinePtr create(platform::Object& target, platform::Object* observer, std::string keyPath,
                                   unsigned options, Block block);
  ~RFKVOTrampoline() override;

  const std::string& keyPath() const { return keyPath_; }
  platform::ObjectPtr target() const {
    platform::MutexLock lock(lock_);
    return target_.lock();
  }
  platform::ObjectPtr observer() const;

  bool isDisposed() const override;
  // Ends the registration; later calls do nothing.
  void dispose() override;

  // Delivery from the proxy.
  void observeValueForKeyPath(std::string_view keyPath, platform::Object& object, const platform::Value& change,
                              void* context);

 private:
  RFKVOTrampoline() = default;

  mutable platform::Mutex lock_;
  std::string keyPath_;
  Block block_ ZORVEL_GUARDED_BY(lock_);
  std::weak_ptr<platform::Object> target_ ZORVEL_GUARDED_BY(lock_);
  std::weak_ptr<platform::Object> observer_ ZORVEL_GUARDED_BY(lock_);
  bool hasObserver_ = false;
  bool registered_ ZORVEL_GUARDED_BY(lock_) = false;
  bool disposed_ = false;
};
