#pragma once

#ifndef ZORVEL_INTERNAL_reactive
#error "reactive/RFSubscriberInternal.h is internal to the reactive framework"
#endif

// The framework's own subscribers (see RFSubscriber.h for the interface):
//
// - RFBlockSubscriber: what RFSubscriber::subscriberWithNext makes (its rules are there); its
//   events are serialised by an RFReentrantLock.
// - RFPassthroughSubscriber: what a signal puts in front of a subscriber for one subscription;
//   forwards events until the subscription's disposable is disposed.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "reactive/RFBarrierInternal.h"
#include "reactive/RFDisposable.h"
#include "reactive/RFSubscriber.h"

// The value probe's semaphore (see RFProbesInternal.h), raised while a tracer listens.
#if __has_include(<sys/sdt.h>)
extern "C" volatile unsigned short RFSignal_next_semaphore;
namespace rf_detail {
inline bool nextProbeEnabled() { return __builtin_expect(RFSignal_next_semaphore != 0, 0); }
}  // namespace rf_detail
#else
namespace rf_detail {
inline bool nextProbeEnabled() { return false; }
}  // namespace rf_detail
#endif

// A re-entrant lock for serialising a subscriber's events. Satisfies BasicLockable.
//
// It is biased to the first thread that takes it: while no other thread has taken it, that
// thread locks and unlocks with plain stores and loads (no read-modify-write). The first time
// another thread takes it, the bias is revoked for good (once, at the cost of a process-wide
// barrier) and from then on locking takes one compare-and-swap and unlocking one exchange.
// Threads that find it taken sleep until it is released.
//
// Under the thread sanitizer the lock is never biased: the sanitizer cannot follow the
// hand-over of a revoked bias and reports races on what the lock protects, so it checks the
// ordinary path only.
class RFReentrantLock {
 public:
  [[gnu::always_inline]] void lock() {
    const std::uintptr_t me = threadToken();
    if constexpr (rf_detail::kUnderThreadSanitizer) return lockOtherwise(me);
    // Only this thread ever stores `me` (in bias_ or owner_), so a stale read cannot match it
    // falsely. Only the biased thread sets inside_, so that test holds even after a revocation.
    if (biasOwner_.load(std::memory_order_relaxed) == me && !inside_.load(std::memory_order_relaxed)) [[likely]] {
      inside_.store(true, std::memory_order_relaxed);
      // Pairs with the heavy barrier of a thread revoking the bias: either it sees us inside or
      // we see it holding the lock (or the bias gone).
      rf_detail::lightBarrier();
      if (owner_.load(std::memory_order_acquire) == 0 && bias_.load(std::memory_order_relaxed) == me) [[likely]] {
        biased_ = true;
        return;
      }
      leaveBiased();
    }
    lockOtherwise(me);
  }
  [[gnu::always_inline]] void unlock() {
    if (biased_ && depth_ == 0) [[likely]] {
      biased_ = false;
      leaveBiased();
      return;
    }
    unlockOtherwise();
  }

 private:
  static constexpr std::uintptr_t kRevoked = 1;
  static std::uintptr_t threadToken() {
    static thread_local std::uint64_t token;  // its address tells threads apart and is never 1
    return reinterpret_cast<std::uintptr_t>(&token);
  }
  [[gnu::always_inline]] void leaveBiased() {
    inside_.store(false, std::memory_order_release);
    rf_detail::lightBarrier();
    if (waiters_.load(std::memory_order_relaxed) != 0) [[unlikely]]
      wakeWaiters();
  }
  // Re-entry, and every lock that is not the biased thread's first.
  [[gnu::noinline]] void lockOtherwise(std::uintptr_t me);
  [[gnu::noinline]] void unlockOtherwise();
  [[gnu::noinline]] void lockSlow(std::uintptr_t me);
  [[gnu::noinline]] void wakeWaiters();

  std::atomic<std::uintptr_t> owner_{0};      // token of the thread holding it unbiased; 0 when free
  std::atomic<std::uintptr_t> bias_{0};       // token of the biased thread, 0 before any, or kRevoked
  std::atomic<std::uintptr_t> biasOwner_{0};  // token of the biased thread, kept after a revocation
  std::atomic<bool> inside_{false};           // the biased thread holds it; written by that thread only
  std::atomic<std::uint32_t> waiters_{0};     // threads asleep or about to sleep on owner_ or inside_
  int depth_ = 0;                             // re-entries beyond the first; the holder's alone
  bool biased_ = false;                       // the holder holds it through the bias; the holder's alone
};

class RFBlockSubscriber final : public platform::Object, public RFSubscriber {
  ZORVEL_CLASS(RFBlockSubscriber, platform::Object)

 public:
  static std::shared_ptr<RFBlockSubscriber> create(RFNextBlock next, RFErrorBlock error, RFCompletedBlock completed);
  ~RFBlockSubscriber() override;

  void sendNext(const platform::Value& value) override;
  void sendError(const platform::ErrorPtr& error) override;
  void sendCompleted() override;
  // Keeps the subscription's disposable (disposed with this subscriber) until that subscription
  // ends by itself.
  void didSubscribeWithDisposable(const RFCompoundDisposablePtr& disposable) override;

  // Disposed by the first error or completion; disposing it releases the blocks.
  const RFCompoundDisposablePtr& disposable() const { return disposable_; }

 private:
  RFBlockSubscriber(RFNextBlock next, RFErrorBlock error, RFCompletedBlock completed);
  void clearBlocks();
  // Called holding the lock once the blocks were cleared and no block runs: releases them
  // after unlocking, so their captures go outside the lock.
  [[gnu::cold]] void releaseBlocksAndUnlock();

  RFReentrantLock lock_;
  RFNextBlock next_;
  RFErrorBlock error_;
  RFCompletedBlock completed_;
  // Blocks cleared while one of them runs (on this thread, re-entrantly) are released only when
  // the outermost call returns, so no block is destroyed while it executes.
  int callDepth_ = 0;
  bool cleared_ = false;
  RFCompoundDisposablePtr disposable_;
};

class RFPassthroughSubscriber final : public platform::Object, public RFSubscriber {
  ZORVEL_CLASS(RFPassthroughSubscriber, platform::Object)

 public:
  // Tells `inner` about `disposable`. `signal` is used only to describe events to tracers and
  // is not kept alive by this.
  static std::shared_ptr<RFPassthroughSubscriber> create(RFSubscriberPtr inner, std::weak_ptr<platform::Object> signal,
                                                         RFCompoundDisposablePtr disposable);

  void sendNext(const platform::Value& value) override {
    if (disposable_->isDisposed()) return;
    if (rf_detail::nextProbeEnabled()) [[unlikely]]
      probeNext(value);
    if (inner_) inner_->sendNext(value);
  }
  void sendError(const platform::ErrorPtr& error) override;
  void sendCompleted() override;
  // Adds any other disposable to this subscription's disposable.
  void didSubscribeWithDisposable(const RFCompoundDisposablePtr& disposable) override;

  const RFSubscriberPtr& innerSubscriber() const { return inner_; }
  const RFCompoundDisposablePtr& disposable() const { return disposable_; }

 private:
  RFPassthroughSubscriber(RFSubscriberPtr inner, std::weak_ptr<platform::Object> signal,
                          RFCompoundDisposablePtr disposable)
      : inner_(std::move(inner)), signal_(std::move(signal)), disposable_(std::move(disposable)) {}
  std::string probeSignalText() const;
  std::string probeSubscriberText() const;
  // Kept out of line so that the untraced path stays small.
  [[gnu::cold, gnu::noinline]] void probeNext(const platform::Value& value) const;

  RFSubscriberPtr inner_;
  std::weak_ptr<platform::Object> signal_;
  RFCompoundDisposablePtr disposable_;
};
