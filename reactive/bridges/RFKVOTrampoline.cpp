#include "reactive/bridges/RFKVOTrampoline.h"

#include "platform/runtime/error.h"
#include "platform/system/locks.h"
#include "reactive/RFDeallocating.h"
#include "reactive/bridges/RFKVOProxyInternal.h"

namespace {

// Takes the trampoline out of an object's deallocation disposable, if the object still has one.
void forgetOnDealloc(const platform::ObjectPtr& object, const RFDisposable* trampoline) {
  if (object) rf_deallocDisposable(*object)->removeDisposable(trampoline);
}

}  // namespace

RFKVOTrampolinePtr RFKVOTrampoline::create(platform::Object& target, platform::Object* observer, std::string keyPath,
                                           unsigned options, Block block) {
  platform::ObjectPtr strongTarget = target.weak_from_this().lock();
  if (!strongTarget) return nullptr;
  auto trampoline = platform::make<RFKVOTrampoline>();
  trampoline->keyPath_ = std::move(keyPath);
  trampoline->hasObserver_ = observer != nullptr;
  {
    platform::MutexLock lock(trampoline->lock_);
    trampoline->block_ = std::move(block);
    trampoline->target_ = strongTarget;
    if (observer) trampoline->observer_ = observer->weak_from_this();
  }
  const std::shared_ptr<RFKVOProxy>& proxy = RFKVOProxy::sharedProxy();
  proxy->addObserver(trampoline, trampoline.get());
  strongTarget->addObserver(proxy, trampoline->keyPath_, options, trampoline.get());
  {
    platform::MutexLock lock(trampoline->lock_);
    trampoline->registered_ = true;
  }
  // The deallocation of either ends the registration.
  rf_addDeallocDisposable(*strongTarget, trampoline);
  if (observer) rf_addDeallocDisposable(*observer, trampoline);
  return trampoline;
}

RFKVOTrampoline::~RFKVOTrampoline() { dispose(); }

platform::ObjectPtr RFKVOTrampoline::observer() const {
  platform::MutexLock lock(lock_);
  return observer_.lock();
}

bool RFKVOTrampoline::isDisposed() const {
  platform::MutexLock lock(lock_);
  return disposed_;
}

void RFKVOTrampoline::dispose() {
  Block block;
  platform::ObjectPtr target, observer;
  bool registered;
  {
    platform::MutexLock lock(lock_);
    if (disposed_) return;
    disposed_ = true;
    block = std::move(block_);
    block_ = nullptr;
    target = target_.lock();
    observer = observer_.lock();
    registered = registered_;
    registered_ = false;
    target_.reset();
    observer_.reset();
  }
  forgetOnDealloc(target, this);
  forgetOnDealloc(observer, this);
  // A target that is already going away drops its registrations by itself.
  if (target && registered) {
    try {
      target->removeObserver(RFKVOProxy::sharedProxy().get(), keyPath_, this);
    } catch (const platform::Exception&) {
      // Not registered any more: nothing to remove.
    }
  }
  RFKVOProxy::sharedProxy()->removeObserver(this, this);
}

void RFKVOTrampoline::observeValueForKeyPath(std::string_view, platform::Object&, const platform::Value& change,
                                             void* context) {
  if (context != this) return;
  Block block;
  platform::ObjectPtr target, observer;
  {
    platform::MutexLock lock(lock_);
    block = block_;
    target = target_.lock();
    observer = observer_.lock();
  }
  if (block && target) block(target, observer, change);
}

// --- RFKVOProxy -----------------------------------------------------------------------------------

const std::shared_ptr<RFKVOProxy>& RFKVOProxy::sharedProxy() {
  static const std::shared_ptr<RFKVOProxy> proxy = std::make_shared<RFKVOProxy>();
  return proxy;
}

void RFKVOProxy::addObserver(const std::shared_ptr<RFKVOTrampoline>& observer, const void* context) {
  platform::MutexLock lock(lock_);
  trampolines_[context] = observer;
}

void RFKVOProxy::removeObserver(const RFKVOTrampoline*, const void* context) {
  std::weak_ptr<RFKVOTrampoline> removed;  // let go of outside the lock
  platform::MutexLock lock(lock_);
  auto it = trampolines_.find(context);
  if (it == trampolines_.end()) return;
  removed = std::move(it->second);
  trampolines_.erase(it);
}

void RFKVOProxy::observeValueForKeyPath(std::string_view keyPath, platform::Object& object,
                                        const platform::KeyValueChange& change, void* context) {
  std::shared_ptr<RFKVOTrampoline> trampoline;
  {
    platform::MutexLock lock(lock_);
    auto it = trampolines_.find(context);
    if (it != trampolines_.end()) trampoline = it->second.lock();
  }
  // Forwarded outside the lock, so the trampoline's block may observe and dispose freely.
  if (trampoline) trampoline->observeValueForKeyPath(keyPath, object, change.dictionary(), context);
}
