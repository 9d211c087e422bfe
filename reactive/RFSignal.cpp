#include "reactive/RFSignal.h"

#include <atomic>
#include <deque>

#include "platform/system/locks.h"
#include "reactive/RFEvent.h"
#include "reactive/RFForwardingInternal.h"
#include "reactive/RFStreamOperatorsInternal.h"
#include "reactive/RFSubscriberInternal.h"
#include "reactive/RFTuple.h"

template class RFStreamOperators<RFSignal>;

// --- RFSignal: factories and subscription --------------------------------------------------------

RFSignalPtr RFSignal::createSignal(SubscribeBlock didSubscribe) {
  return RFDynamicSignal::createSignal(std::move(didSubscribe));
}

RFSignalPtr RFSignal::error(platform::ErrorPtr error) { return RFErrorSignal::error(std::move(error)); }

RFSignalPtr RFSignal::never() {
  RFSignalPtr signal = createSignal([](const RFSubscriberPtr&) -> RFDisposablePtr { return nullptr; });
  signal->setNameWithFormat("+never");
  return signal;
}

RFSignalPtr RFSignal::empty() { return RFEmptySignal::empty(); }

RFSignalPtr RFSignal::returnValue(platform::Value value) { return RFReturnSignal::returnValue(std::move(value)); }

RFDisposablePtr RFSignal::subscribe(const RFSubscriberPtr&) { return nullptr; }

RFDisposablePtr RFSignal::subscribeNext(RFNextBlock next) {
  return subscribe(RFSubscriber::subscriberWithNext(std::move(next), nullptr, nullptr));
}

RFDisposablePtr RFSignal::subscribeNextCompleted(RFNextBlock next, RFCompletedBlock completed) {
  return subscribe(RFSubscriber::subscriberWithNext(std::move(next), nullptr, std::move(completed)));
}

RFDisposablePtr RFSignal::subscribeNext(RFNextBlock next, RFErrorBlock error, RFCompletedBlock completed) {
  return subscribe(RFSubscriber::subscriberWithNext(std::move(next), std::move(error), std::move(completed)));
}

RFDisposablePtr RFSignal::subscribeError(RFErrorBlock error) {
  return subscribe(RFSubscriber::subscriberWithNext(nullptr, std::move(error), nullptr));
}

RFDisposablePtr RFSignal::subscribeCompleted(RFCompletedBlock completed) {
  return subscribe(RFSubscriber::subscriberWithNext(nullptr, nullptr, std::move(completed)));
}

RFDisposablePtr RFSignal::subscribeNextError(RFNextBlock next, RFErrorBlock error) {
  return subscribe(RFSubscriber::subscriberWithNext(std::move(next), std::move(error), nullptr));
}

RFDisposablePtr RFSignal::subscribeError(RFErrorBlock error, RFCompletedBlock completed) {
  return subscribe(RFSubscriber::subscriberWithNext(nullptr, std::move(error), std::move(completed)));
}

std::string RFSignal::description() const {
  return platform::format("<%s: %p> name: %s", objectClass().name(), static_cast<const void*>(this), name());
}

RFStreamPtr RFSignal::emptyStream() const { return empty(); }
RFStreamPtr RFSignal::returnStream(const platform::Value& value) const { return returnValue(value); }
RFStreamPtr RFSignal::bindStream(RFStreamBindBlockFactory block) { return bind(std::move(block)); }
RFStreamPtr RFSignal::concatStream(const RFStreamPtr& stream) {
  return concat(std::dynamic_pointer_cast<RFSignal>(stream));
}
RFStreamPtr RFSignal::zipWithStream(const RFStreamPtr& stream) {
  return zipWith(std::dynamic_pointer_cast<RFSignal>(stream));
}

// --- Plain signal classes ------------------------------------------------------------------------

RFSignalPtr RFDynamicSignal::createSignal(SubscribeBlock didSubscribe) {
  auto signal = platform::make<RFDynamicSignal>();
  signal->didSubscribe_ = std::move(didSubscribe);
  signal->setNameWithFormat("+createSignal:");
  return signal;
}

RFDisposablePtr RFDynamicSignal::subscribe(const RFSubscriberPtr& subscriber) {
  auto compound = RFCompoundDisposable::compoundDisposable();
  // Every event passes the passthrough, so nothing reaches the subscriber once `compound` is
  // disposed, by whoever disposes it.
  auto passthrough = RFPassthroughSubscriber::create(subscriber, weak_from_this(), compound);
  if (didSubscribe_) {
    RFSignalPtr self = selfSignal();
    RFDisposablePtr scheduled = RFScheduler::subscriptionScheduler()->schedule([self, passthrough, compound] {
      auto self_ = std::static_pointer_cast<RFDynamicSignal>(self);
      compound->addDisposable(self_->didSubscribe_(passthrough));
    });
    compound->addDisposable(scheduled);
  }
  return compound;
}

const RFSignalPtr& RFEmptySignal::empty() {
  static const RFSignalPtr signal = platform::make<RFEmptySignal>();
  return signal;
}

RFDisposablePtr RFEmptySignal::subscribe(const RFSubscriberPtr& subscriber) {
  return RFScheduler::subscriptionScheduler()->schedule([subscriber] {
    if (subscriber) subscriber->sendCompleted();
  });
}

RFSignalPtr RFErrorSignal::error(platform::ErrorPtr error) {
  auto signal = platform::make<RFErrorSignal>();
  signal->error_ = std::move(error);
  signal->setName("+error:");  // kept whatever the debug setting
  return signal;
}

RFDisposablePtr RFErrorSignal::subscribe(const RFSubscriberPtr& subscriber) {
  return RFScheduler::subscriptionScheduler()->schedule([subscriber, error = error_] {
    if (subscriber) subscriber->sendError(error);
  });
}

RFSignalPtr RFReturnSignal::returnValue(platform::Value value) {
  if (value.isNil()) {
    static const RFSignalPtr nilSignal = platform::make<RFReturnSignal>();
    return nilSignal;
  }
  if (value.isObject() && value.asObject().get() == RFUnit::defaultUnit().get()) {
    static const RFSignalPtr unitSignal = [] {
      auto signal = platform::make<RFReturnSignal>();
      signal->value_ = RFUnit::unitValue();
      return signal;
    }();
    return unitSignal;
  }
  auto signal = platform::make<RFReturnSignal>();
  signal->value_ = std::move(value);
  return signal;
}

RFDisposablePtr RFReturnSignal::subscribe(const RFSubscriberPtr& subscriber) {
  return RFScheduler::subscriptionScheduler()->schedule([subscriber, value = value_] {
    if (!subscriber) return;
    subscriber->sendNext(value);
    subscriber->sendCompleted();
  });
}

// --- bind ----------------------------------------------------------------------------------------

namespace {

// The state of one subscription to a bound signal.
struct BindState : std::enable_shared_from_this<BindState> {
  platform::RecursiveLock lock;
  // Streams still running: the receiver plus every stream the bind block returned. A count,
  // not a list of the streams, so that one stream object returned twice (a shared return or
  // empty signal) is waited for twice.
  std::size_t active ZORVEL_GUARDED_BY(lock) = 1;
  RFSubscriberPtr subscriber;
  RFCompoundDisposablePtr compound = RFCompoundDisposable::compoundDisposable();
  RFStreamBindBlock bindBlock;
  std::atomic<std::size_t> queued{0};  // steps waiting on the background scheduler

  void complete(const RFSerialDisposablePtr& disposable) {
    {
      platform::MutexLock guard(lock);
      if (--active == 0) {
        subscriber->sendCompleted();
        compound->dispose();
        return;
      }
    }
    compound->removeDisposable(disposable.get());
  }

  void addSignal(const RFSignalPtr& signal) {
    {
      platform::MutexLock guard(lock);
      ++active;
    }
    auto serial = RFSerialDisposable::serialDisposable();
    compound->addDisposable(serial);
    auto self = shared_from_this();
    RFDisposablePtr d =
        signal->subscribeNext([self](const platform::Value& value) { self->subscriber->sendNext(value); },
                              [self](const platform::ErrorPtr& error) {
                                self->compound->dispose();
                                self->subscriber->sendError(error);
                              },
                              [self, serial] { self->complete(serial); });
    serial->setDisposable(std::move(d));
  }

  // Delivers a one-value or empty step as a return or empty signal would: on the subscription
  // scheduler's background scheduler, the subscription waiting for it to complete.
  void deliverLater(RFBindStep step) {
    {
      platform::MutexLock guard(lock);
      ++active;
    }
    queued.fetch_add(1, std::memory_order_acq_rel);
    auto serial = RFSerialDisposable::serialDisposable();
    compound->addDisposable(serial);
    auto self = shared_from_this();
    auto& subscriptions = static_cast<RFSubscriptionScheduler&>(*RFScheduler::subscriptionScheduler());
    serial->setDisposable(subscriptions.backgroundScheduler()->schedule([self, serial, step = std::move(step)] {
      if (step.kind() == RFBindStep::Kind::Value) self->subscriber->sendNext(step.value());
      self->queued.fetch_sub(1, std::memory_order_acq_rel);
      self->complete(serial);
    }));
  }

  // Runs the step; false when it ends the receiver's part.
  bool take(RFBindStep step) {
    switch (step.kind()) {
      case RFBindStep::Kind::Value:
      case RFBindStep::Kind::Empty:
        // A return or empty signal subscribed on a thread with a current scheduler delivers at
        // once, elsewhere later. Once a step waits, later ones wait behind it, whatever thread
        // they come from, so that values keep their order.
        if (RFScheduler::hasCurrentScheduler() && queued.load(std::memory_order_acquire) == 0) {
          if (step.kind() == RFBindStep::Kind::Value) subscriber->sendNext(step.value());
        } else {
          deliverLater(std::move(step));
        }
        return true;
      case RFBindStep::Kind::Stream:
        // A stream of another kind cannot be subscribed: it counts as none.
        if (RFSignalPtr signal = step.stream<RFSignal>()) {
          addSignal(signal);
          return true;
        }
        return false;
      case RFBindStep::Kind::Stop:
        return false;
    }
    return false;
  }
};

}  // namespace

RFSignalPtr RFSignal::bind(RFStreamBindBlockFactory block) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, block](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    auto state = std::make_shared<BindState>();
    state->bindBlock = block();
    state->subscriber = subscriber;

    auto selfDisposable = RFSerialDisposable::serialDisposable();
    state->compound->addDisposable(selfDisposable);
    RFDisposablePtr d = self->subscribeNext(
        [state, selfDisposable](const platform::Value& value) {
          if (state->compound->isDisposed()) return;
          bool stop = false;
          bool goesOn = state->take(state->bindBlock(value, stop));
          if (!goesOn || stop) {
            selfDisposable->dispose();
            state->complete(selfDisposable);
          }
        },
        [state](const platform::ErrorPtr& error) {
          state->compound->dispose();
          state->subscriber->sendError(error);
        },
        [state, selfDisposable] { state->complete(selfDisposable); });
    selfDisposable->setDisposable(std::move(d));
    return state->compound;
  });
  result->setNameWithFormat("[%@] -bind:", name());
  return result;
}

// --- concat --------------------------------------------------------------------------------------

RFSignalPtr RFSignal::concat(const RFSignalPtr& signal) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, signal](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    auto serial = RFSerialDisposable::serialDisposable();
    // Set once the other signal's subscription is in the serial disposable: the receiver may
    // complete before its own subscription returns, whose disposable must not replace it then.
    struct Switch {
      platform::Mutex lock;
      bool done ZORVEL_GUARDED_BY(lock) = false;
    };
    auto switched = std::make_shared<Switch>();
    RFDisposablePtr d = self->subscribeNext(rf_detail::sendNextTo(subscriber), rf_detail::sendErrorTo(subscriber),
                                            [subscriber, signal, serial, switched] {
                                              RFDisposablePtr next = signal ? signal->subscribe(subscriber) : nullptr;
                                              if (!signal) subscriber->sendCompleted();
                                              platform::MutexLock guard(switched->lock);
                                              switched->done = true;
                                              serial->setDisposable(std::move(next));
                                            });
    platform::MutexLock guard(switched->lock);
    if (!switched->done) serial->setDisposable(std::move(d));
    return serial;
  });
  result->setNameWithFormat("[%@] -concat: %@", name(), signal);
  return result;
}

// --- zipWith -------------------------------------------------------------------------------------

namespace {

struct ZipState {
  platform::RecursiveLock lock;
  std::deque<platform::Value> mine ZORVEL_GUARDED_BY(lock), theirs ZORVEL_GUARDED_BY(lock);
  bool mineCompleted ZORVEL_GUARDED_BY(lock) = false, theirsCompleted ZORVEL_GUARDED_BY(lock) = false;
  RFSubscriberPtr subscriber;

  void checkCompletedLocked() ZORVEL_REQUIRES(lock) {
    if ((mineCompleted && mine.empty()) || (theirsCompleted && theirs.empty())) subscriber->sendCompleted();
  }
  void pairLocked() ZORVEL_REQUIRES(lock) {
    if (mine.empty() || theirs.empty()) return;
    RFTuplePtr tuple = RFTuple::tupleWithValues({std::move(mine.front()), std::move(theirs.front())});
    mine.pop_front();
    theirs.pop_front();
    subscriber->sendNext(platform::Value(tuple));
    checkCompletedLocked();
  }
};

}  // namespace

RFSignalPtr RFSignal::zipWith(const RFSignalPtr& signal) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, signal](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    auto state = std::make_shared<ZipState>();
    state->subscriber = subscriber;
    auto subscribeSide = [&state, &subscriber](const RFSignalPtr& side, bool isMine) -> RFDisposablePtr {
      if (!side) return nullptr;
      return side->subscribeNext(
          [state, isMine](const platform::Value& value) {
            platform::MutexLock guard(state->lock);
            (isMine ? state->mine : state->theirs).push_back(value);
            state->pairLocked();
          },
          rf_detail::sendErrorTo(subscriber),
          [state, isMine] {
            platform::MutexLock guard(state->lock);
            (isMine ? state->mineCompleted : state->theirsCompleted) = true;
            state->checkCompletedLocked();
          });
    };
    RFDisposablePtr mineDisposable = subscribeSide(self, true);
    RFDisposablePtr theirsDisposable = subscribeSide(signal, false);
    return RFDisposable::disposableWithBlock([mineDisposable, theirsDisposable] {
      if (mineDisposable) mineDisposable->dispose();
      if (theirsDisposable) theirsDisposable->dispose();
    });
  });
  result->setNameWithFormat("[%@] -zipWith: %@", name(), signal);
  return result;
}
