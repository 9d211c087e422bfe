#include "reactive/RFSubscriber.h"

#include <mutex>

#include "reactive/RFProbes.h"

RFSubscriberPtr RFSubscriber::subscriberWithNext(RFNextBlock next, RFErrorBlock error, RFCompletedBlock completed) {
  return RFBlockSubscriber::create(std::move(next), std::move(error), std::move(completed));
}

// --- RFBlockSubscriber ---------------------------------------------------------------------------

void RFReentrantLock::lockContended(std::uintptr_t me) {
  for (;;) {
    std::uintptr_t state = state_.load(std::memory_order_relaxed);
    if (state == 0) {
      // Others may still be asleep: keep the waiting mark so that our unlock wakes them.
      if (state_.compare_exchange_weak(state, me | kWaiting, std::memory_order_acquire, std::memory_order_relaxed))
        return;
      continue;
    }
    if (!(state & kWaiting)) {
      if (!state_.compare_exchange_weak(state, state | kWaiting, std::memory_order_relaxed)) continue;
      state |= kWaiting;
    }
    state_.wait(state, std::memory_order_relaxed);
  }
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
  if (callDepth_ == 0) releaseBlocksAndUnlock();
  else lock_.unlock();
}

void RFBlockSubscriber::sendNext(const platform::Value& value) {
  std::unique_lock lock(lock_);
  if (cleared_ || !next_) return;
  {
    CallScope scope(lock_, callDepth_);
    next_(value);
  }
  if (cleared_ && callDepth_ == 0) {
    lock.release();
    releaseBlocksAndUnlock();
  }
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
  auto passthrough = platform::make<RFPassthroughSubscriber>(std::move(inner), std::move(signal), std::move(disposable));
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

void RFPassthroughSubscriber::sendNext(const platform::Value& value) {
  if (disposable_->isDisposed()) return;
  if (RF_PROBE_ENABLED(RFSignal, next)) {
    std::string signal = probeSignalText(), subscriber = probeSubscriberText();
    std::string text = value.isNil() ? std::string() : rf_detail::cleanedForProbe(value.description());
    RF_PROBE3(RFSignal, next, signal.c_str(), subscriber.c_str(), value.isNil() ? nullptr : text.c_str());
  }
  if (inner_) inner_->sendNext(value);
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
