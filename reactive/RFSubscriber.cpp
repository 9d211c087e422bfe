#include "reactive/RFSubscriber.h"

#include <mutex>

#include "reactive/RFProbesInternal.h"
#include "reactive/RFSubscriberInternal.h"

RFSubscriberPtr RFSubscriber::subscriberWithNext(RFNextBlock next, RFErrorBlock error, RFCompletedBlock completed) {
  return RFBlockSubscriber::create(std::move(next), std::move(error), std::move(completed));
}

// --- RFBlockSubscriber ---------------------------------------------------------------------------

void RFReentrantLock::lockOtherwise(std::uintptr_t me) {
  if ((biasOwner_.load(std::memory_order_relaxed) == me && inside_.load(std::memory_order_relaxed)) ||
      owner_.load(std::memory_order_relaxed) == me) {
    ++depth_;
    return;
  }
  lockSlow(me);
}

void RFReentrantLock::unlockOtherwise() {
  if (depth_ > 0) {
    --depth_;
    return;
  }
  if (biased_) {
    biased_ = false;
    leaveBiased();
    return;
  }
  // Sequentially consistent, as is a waiter's count and read of owner_: either it sees the
  // release or this sees it waiting.
  owner_.store(0, std::memory_order_seq_cst);
  if (waiters_.load(std::memory_order_seq_cst) != 0) wakeWaiters();
}

void RFReentrantLock::lockSlow(std::uintptr_t me) {
  // The first thread to get here takes the bias. Sequentially consistent on both sides: a
  // thread that takes owner_ and then reads no bias is seen by us here, and we back off.
  std::uintptr_t bias = 0;
  if (!rf_detail::kUnderThreadSanitizer && bias_.load(std::memory_order_seq_cst) == 0 &&
      bias_.compare_exchange_strong(bias, me, std::memory_order_seq_cst)) {
    biasOwner_.store(me, std::memory_order_relaxed);
    inside_.store(true, std::memory_order_seq_cst);
    if (owner_.load(std::memory_order_seq_cst) == 0) {
      biased_ = true;
      return;
    }
    leaveBiased();
  }

  std::uintptr_t expected = 0;
  if (!owner_.compare_exchange_strong(expected, me, std::memory_order_seq_cst, std::memory_order_relaxed)) {
    // Counted before owner_ is read again, both sequentially consistent (see unlock()).
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    for (;;) {
      std::uintptr_t owner = owner_.load(std::memory_order_seq_cst);
      if (owner == 0) {
        if (owner_.compare_exchange_weak(owner, me, std::memory_order_seq_cst, std::memory_order_relaxed)) break;
        continue;
      }
      owner_.wait(owner, std::memory_order_relaxed);
    }
    waiters_.fetch_sub(1, std::memory_order_relaxed);
  }

  // Holding owner_: a biased thread other than us must be revoked and waited for. Once the
  // revocation has passed the heavy barrier, that thread can no longer get in on its fast path.
  bias = bias_.load(std::memory_order_seq_cst);
  if (bias == 0 || bias == kRevoked || bias == me) return;
  waiters_.fetch_add(1, std::memory_order_relaxed);
  bias_.store(kRevoked, std::memory_order_seq_cst);
  rf_detail::heavyBarrier();
  while (inside_.load(std::memory_order_acquire)) inside_.wait(true, std::memory_order_acquire);
  waiters_.fetch_sub(1, std::memory_order_relaxed);
}

void RFReentrantLock::wakeWaiters() {
  owner_.notify_all();
  inside_.notify_all();
}

namespace {
// Unlocks and keeps the call depth right even when a block throws.
struct CallScope {
  RFReentrantLock& lock;
  int& depth;
  CallScope(RFReentrantLock& l, int& d) : lock(l), depth(d) { ++depth; }
  ~CallScope() { --depth; }
};
}  // namespace

RFBlockSubscriber::RFBlockSubscriber(RFNextBlock next, RFErrorBlock error, RFCompletedBlock completed)
    : next_(std::move(next)), error_(std::move(error)), completed_(std::move(completed)) {}

std::shared_ptr<RFBlockSubscriber> RFBlockSubscriber::create(RFNextBlock next, RFErrorBlock error,
                                                             RFCompletedBlock completed) {
  auto subscriber = platform::make<RFBlockSubscriber>(std::move(next), std::move(error), std::move(completed));
  std::weak_ptr<RFBlockSubscriber> weak = subscriber;
  subscriber->disposable_ = RFCompoundDisposable::compoundDisposableWithBlock([weak] {
    if (auto strong = weak.lock()) strong->clearBlocks();
  });
  return subscriber;
}

RFBlockSubscriber::~RFBlockSubscriber() {
  // Ends the subscriptions that feed this subscriber; the blocks go with the object.
  if (disposable_) disposable_->dispose();
}

void RFBlockSubscriber::releaseBlocksAndUnlock() {
  RFNextBlock next = std::move(next_);
  RFErrorBlock error = std::move(error_);
  RFCompletedBlock completed = std::move(completed_);
  next_ = nullptr;
  error_ = nullptr;
  completed_ = nullptr;
  lock_.unlock();
}

void RFBlockSubscriber::clearBlocks() {
  lock_.lock();
  cleared_ = true;
  // A block running on this thread (re-entrantly) releases them when it returns.
  if (callDepth_ == 0)
    releaseBlocksAndUnlock();
  else
    lock_.unlock();
}

void RFBlockSubscriber::sendNext(const platform::Value& value) {
  lock_.lock();
  if (cleared_ || !next_) {
    lock_.unlock();
    return;
  }
  ++callDepth_;
  // Runs even when the block throws: releases blocks cleared meanwhile, then unlocks.
  struct Finish {
    RFBlockSubscriber& subscriber;
    ~Finish() {
      if (--subscriber.callDepth_ == 0 && subscriber.cleared_)
        subscriber.releaseBlocksAndUnlock();
      else
        subscriber.lock_.unlock();
    }
  } finish{*this};
  next_(value);
}

void RFBlockSubscriber::sendError(const platform::ErrorPtr& errorValue) {
  std::unique_lock lock(lock_);
  if (cleared_) return;
  {
    CallScope scope(lock_, callDepth_);
    disposable_->dispose();  // clears the blocks (released below) and ends the feeding subscriptions
    if (error_) error_(errorValue);
  }
  if (callDepth_ == 0) {
    lock.release();
    releaseBlocksAndUnlock();
  }
}

void RFBlockSubscriber::sendCompleted() {
  std::unique_lock lock(lock_);
  if (cleared_) return;
  {
    CallScope scope(lock_, callDepth_);
    disposable_->dispose();
    if (completed_) completed_();
  }
  if (callDepth_ == 0) {
    lock.release();
    releaseBlocksAndUnlock();
  }
}

void RFBlockSubscriber::didSubscribeWithDisposable(const RFCompoundDisposablePtr& disposable) {
  if (!disposable || disposable->isDisposed()) return;
  disposable_->addDisposable(disposable);
  // When that subscription ends by itself it leaves our compound, which so stays small. The
  // block keeps our compound alive but refers to the subscription's disposable only by identity.
  RFCompoundDisposablePtr mine = disposable_;
  const RFDisposable* theirs = disposable.get();
  disposable->addDisposable(RFDisposable::disposableWithBlock([mine, theirs] { mine->removeDisposable(theirs); }));
}

// --- RFPassthroughSubscriber ---------------------------------------------------------------------

std::shared_ptr<RFPassthroughSubscriber> RFPassthroughSubscriber::create(RFSubscriberPtr inner,
                                                                         std::weak_ptr<platform::Object> signal,
                                                                         RFCompoundDisposablePtr disposable) {
  auto passthrough =
      platform::make<RFPassthroughSubscriber>(std::move(inner), std::move(signal), std::move(disposable));
  if (passthrough->inner_) passthrough->inner_->didSubscribeWithDisposable(passthrough->disposable_);
  return passthrough;
}

std::string RFPassthroughSubscriber::probeSignalText() const {
  auto signal = signal_.lock();
  if (!signal) return "(null)";
  std::string text = signal->description();
  auto at = text.find(" name:");
  if (at != std::string::npos) text.erase(at, 6);
  return rf_detail::cleanedForProbe(text);
}

std::string RFPassthroughSubscriber::probeSubscriberText() const {
  auto* object = dynamic_cast<const platform::Object*>(inner_.get());
  return rf_detail::cleanedForProbe(object ? object->description() : std::string("(null)"));
}

void RFPassthroughSubscriber::probeNext(const platform::Value& value) const {
  std::string signal = probeSignalText(), subscriber = probeSubscriberText();
  std::string text = value.isNil() ? std::string() : rf_detail::cleanedForProbe(value.description());
  RF_PROBE3(RFSignal, next, signal.c_str(), subscriber.c_str(), value.isNil() ? nullptr : text.c_str());
  (void)value;
}

void RFPassthroughSubscriber::sendError(const platform::ErrorPtr& error) {
  if (disposable_->isDisposed()) return;
  if (RF_PROBE_ENABLED(RFSignal, error)) {
    std::string signal = probeSignalText(), subscriber = probeSubscriberText();
    std::string text = error ? rf_detail::cleanedForProbe(error->description()) : std::string();
    RF_PROBE3(RFSignal, error, signal.c_str(), subscriber.c_str(), error ? text.c_str() : nullptr);
  }
  if (inner_) inner_->sendError(error);
}

void RFPassthroughSubscriber::sendCompleted() {
  if (disposable_->isDisposed()) return;
  if (RF_PROBE_ENABLED(RFSignal, completed)) {
    std::string signal = probeSignalText(), subscriber = probeSubscriberText();
    RF_PROBE2(RFSignal, completed, signal.c_str(), subscriber.c_str());
  }
  if (inner_) inner_->sendCompleted();
}

void RFPassthroughSubscriber::didSubscribeWithDisposable(const RFCompoundDisposablePtr& disposable) {
  if (disposable.get() != disposable_.get()) disposable_->addDisposable(disposable);
}
