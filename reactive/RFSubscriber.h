#pragma once

// Subscribers receive a signal's events: any number of values, then at most one error or
// completion.
//
// - RFSubscriber: the interface every receiver implements (block subscribers, passthrough
//   subscribers, subjects).
// - RFBlockSubscriber: calls three blocks. Its events are serialised by its own re-entrant lock,
//   and the blocks are called while holding it. The first error or completion (or disposal of
//   its disposable, or its destruction) releases all three blocks and disposes every
//   subscription it was told about, before the error or completion block runs; from then on it
//   ignores every event.
// - RFPassthroughSubscriber: what a signal puts in front of a subscriber for one subscription;
//   forwards events until the subscription's disposable is disposed.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/error.h"
#include "platform/object.h"
#include "platform/value.h"
#include "reactive/RFDisposable.h"

class RFSignal;
class RFSubscriber;
using RFSubscriberPtr = std::shared_ptr<RFSubscriber>;

using RFNextBlock = std::function<void(const platform::Value& value)>;
using RFErrorBlock = std::function<void(const platform::ErrorPtr& error)>;
using RFCompletedBlock = std::function<void()>;

class RFSubscriber {
 public:
  virtual ~RFSubscriber() = default;

  // A block subscriber (RFBlockSubscriber); any block may be empty, and that kind of event is
  // then dropped.
  static RFSubscriberPtr subscriberWithNext(RFNextBlock next, RFErrorBlock error, RFCompletedBlock completed);

  virtual void sendNext(const platform::Value& value) = 0;
  virtual void sendError(const platform::ErrorPtr& error) = 0;
  virtual void sendCompleted() = 0;
  // Tells the subscriber the disposable of a subscription it has just been given to, so that
  // it can end that subscription itself.
  virtual void didSubscribeWithDisposable(const RFCompoundDisposablePtr& disposable) = 0;
};

// A re-entrant lock whose uncontended lock and unlock take one atomic operation each; threads
// that find it taken sleep until it is released. Satisfies BasicLockable.
class RFReentrantLock {
 public:
  void lock() {
    const std::uintptr_t me = threadToken();
    // Only this thread ever stores `me`, so a stale read cannot match it falsely.
    if ((state_.load(std::memory_order_relaxed) & ~kWaiting) == me) {
      ++depth_;
      return;
    }
    std::uintptr_t expected = 0;
    if (!state_.compare_exchange_strong(expected, me, std::memory_order_acquire, std::memory_order_relaxed))
      lockContended(me);
  }
  void unlock() {
    if (depth_ > 0) {
      --depth_;
      return;
    }
    if (state_.exchange(0, std::memory_order_release) & kWaiting) state_.notify_all();
  }

 private:
  static constexpr std::uintptr_t kWaiting = 1;
  static std::uintptr_t threadToken() {
    static thread_local std::uint64_t token;  // its address is even, leaving bit 0 for kWaiting
    return reinterpret_cast<std::uintptr_t>(&token);
  }
  void lockContended(std::uintptr_t me);

  std::atomic<std::uintptr_t> state_{0};  // owner token | kWaiting; 0 when free
  int depth_ = 0;                         // re-entries beyond the first; the owner's alone
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

  void sendNext(const platform::Value& value) override;
  void sendError(const platform::ErrorPtr& error) override;
  void sendCompleted() override;
  // Adds any other disposable to this subscription's disposable.
  void didSubscribeWithDisposable(const RFCompoundDisposablePtr& disposable) override;

  const RFSubscriberPtr& innerSubscriber() const { return inner_; }
  const RFCompoundDisposablePtr& disposable() const { return disposable_; }

 private:
  RFPassthroughSubscriber(RFSubscriberPtr inner, std::weak_ptr<platform::Object> signal, RFCompoundDisposablePtr disposable)
      : inner_(std::move(inner)), signal_(std::move(signal)), disposable_(std::move(disposable)) {}
  std::string probeSignalText() const;
  std::string probeSubscriberText() const;

  RFSubscriberPtr inner_;
  std::weak_ptr<platform::Object> signal_;
  RFCompoundDisposablePtr disposable_;
};
