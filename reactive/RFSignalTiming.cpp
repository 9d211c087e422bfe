// Operators that act on time: throttling, delaying, timed batches, clocks, time-outs, sampling.

#include "platform/system/locks.h"
#include "reactive/RFForwardingInternal.h"
#include "reactive/RFSignal.h"
#include "reactive/RFTuple.h"

namespace {

// A background scheduler for one subscription, made the first time that subscription has no
// current scheduler to schedule on.
class DelayScheduler {
 public:
  RFSchedulerPtr get() {
    if (RFSchedulerPtr current = RFScheduler::currentScheduler()) return current;
    platform::MutexLock lock(lock_);
    if (!background_) background_ = RFScheduler::scheduler();
    return background_;
  }

 private:
  platform::Mutex lock_;
  RFSchedulerPtr background_ ZORVEL_GUARDED_BY(lock_);
};

RFSchedulerPtr highPriorityScheduler() { return RFScheduler::schedulerWithPriority(RFScheduler::kPriorityHigh); }

}  // namespace

// --- throttle ------------------------------------------------------------------------------------

namespace {

struct ThrottleState {
  platform::RecursiveLock lock;
  RFSubscriberPtr subscriber;
  RFCompoundDisposablePtr compound = RFCompoundDisposable::compoundDisposable();
  RFSerialDisposablePtr timer = RFSerialDisposable::serialDisposable();
  DelayScheduler scheduler;
  platform::Value pending ZORVEL_GUARDED_BY(lock);
  bool hasPending ZORVEL_GUARDED_BY(lock) = false;

  void flush(bool send) ZORVEL_REQUIRES(lock) {
    if (RFDisposablePtr d = timer->disposable()) d->dispose();
    if (!hasPending) return;
    platform::Value value = std::move(pending);
    pending = {};
    hasPending = false;
    if (send) subscriber->sendNext(value);
  }
};

}  // namespace

RFSignalPtr RFSignal::throttle(double interval, Predicate predicate) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, interval, predicate](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    auto state = std::make_shared<ThrottleState>();
    state->subscriber = subscriber;
    RFDisposablePtr subscription = self->subscribeNext(
        [state, interval, predicate](const platform::Value& value) {
          RFSchedulerPtr scheduler = state->scheduler.get();
          bool holdBack = predicate(value);
          platform::MutexLock lock(state->lock);
          state->flush(false);
          if (!holdBack) {
            state->subscriber->sendNext(value);
            return;
          }
          state->pending = value;
          state->hasPending = true;
          // The pending timer is not in the compound: one that fires after the end sends to a
          // subscriber that ignores it.
          state->timer->setDisposable(scheduler->afterDelay(interval, [state] {
            platform::MutexLock lock(state->lock);
            state->flush(true);
          }));
        },
        [state](const platform::ErrorPtr& error) {
          state->compound->dispose();
          state->subscriber->sendError(error);
        },
        [state] {
          platform::MutexLock lock(state->lock);
          state->flush(true);
          state->subscriber->sendCompleted();
        });
    state->compound->addDisposable(subscription);
    return state->compound;
  });
  result->setNameWithFormat("[%@] -throttle: %f valuesPassingTest:", name(), interval);
  return result;
}

RFSignalPtr RFSignal::throttle(double interval) {
  RFSignalPtr result = throttle(interval, [](const platform::Value&) { return true; });
  result->setNameWithFormat("[%@] -throttle: %f", name(), interval);
  return result;
}

// --- delay ---------------------------------------------------------------------------------------

RFSignalPtr RFSignal::delay(double interval) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, interval](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    auto compound = RFCompoundDisposable::compoundDisposable();
    auto scheduler = std::make_shared<DelayScheduler>();
    // Every scheduled delivery stays in the compound until the subscription ends.
    auto later = [compound, scheduler, interval](RFScheduler::Block action) {
      compound->addDisposable(scheduler->get()->afterDelay(interval, std::move(action)));
    };
    RFDisposablePtr subscription = self->subscribeNext(
        [later, subscriber](const platform::Value& value) {
          later([subscriber, value] { subscriber->sendNext(value); });
        },
        rf_detail::sendErrorTo(subscriber), [later, subscriber] { later(rf_detail::sendCompletedTo(subscriber)); });
    compound->addDisposable(subscription);
    return compound;
  });
  result->setNameWithFormat("[%@] -delay: %f", name(), interval);
  return result;
}

// --- bufferWithTime ------------------------------------------------------------------------------

namespace {

struct TimedBuffer {
  platform::RecursiveLock lock;
  RFSubscriberPtr subscriber;
  platform::ValueArray values ZORVEL_GUARDED_BY(lock);
  RFSerialDisposablePtr timer = RFSerialDisposable::serialDisposable();

  void flush() {
    platform::MutexLock guard(lock);
    if (RFDisposablePtr d = timer->disposable()) d->dispose();
    if (values.empty()) return;
    RFTuplePtr tuple = RFTuple::tupleWithObjectsFromArray(values);
    values.clear();
    subscriber->sendNext(platform::Value(tuple));
  }
};

}  // namespace

RFSignalPtr RFSignal::bufferWithTime(double interval, const RFSchedulerPtr& scheduler) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, interval, scheduler](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    auto buffer = std::make_shared<TimedBuffer>();
    buffer->subscriber = subscriber;
    RFDisposablePtr subscription = self->subscribeNext(
        [buffer, interval, scheduler](const platform::Value& value) {
          platform::MutexLock lock(buffer->lock);
          if (buffer->values.empty())
            buffer->timer->setDisposable(scheduler->afterDelay(interval, [buffer] { buffer->flush(); }));
          buffer->values.push_back(value.isNil() ? RFTupleNil::tupleNilValue() : value);
        },
        rf_detail::sendErrorTo(subscriber),
        [buffer, subscriber] {
          buffer->flush();
          subscriber->sendCompleted();
        });
    return RFDisposable::disposableWithBlock([subscription, buffer] {
      if (subscription) subscription->dispose();
      buffer->timer->dispose();
    });
  });
  result->setNameWithFormat("[%@] -bufferWithTime: %f onScheduler: %@", name(), interval, scheduler);
  return result;
}

RFSignalPtr RFSignal::bufferWithTime(double interval) { return bufferWithTime(interval, highPriorityScheduler()); }

// --- interval ------------------------------------------------------------------------------------

RFSignalPtr RFSignal::interval(double interval, const RFSchedulerPtr& scheduler, double leeway) {
  RFSignalPtr result = createSignal([interval, scheduler, leeway](const RFSubscriberPtr& subscriber) {
    std::weak_ptr<RFScheduler> weakScheduler = scheduler;
    return scheduler->afterRepeatingEvery(
        scheduler->currentDate().addingTimeInterval(interval), interval, leeway, [subscriber, weakScheduler] {
          auto scheduler = weakScheduler.lock();
          subscriber->sendNext(platform::Value(scheduler ? scheduler->currentDate() : platform::Date::now()));
        });
  });
  result->setNameWithFormat("+interval: %f onScheduler: %@ withLeeway: %f", interval, scheduler, leeway);
  return result;
}

RFSignalPtr RFSignal::interval(double interval, const RFSchedulerPtr& scheduler) {
  RFSignalPtr result = RFSignal::interval(interval, scheduler, 0.0);
  result->setNameWithFormat("+interval: %f onScheduler: %@", interval, scheduler);
  return result;
}

RFSignalPtr RFSignal::interval(double interval) { return RFSignal::interval(interval, highPriorityScheduler()); }

RFSignalPtr RFSignal::intervalWithLeeway(double interval, double leeway) {
  return RFSignal::interval(interval, highPriorityScheduler(), leeway);
}

// --- timeout -------------------------------------------------------------------------------------

RFSignalPtr RFSignal::timeout(double interval, const RFSchedulerPtr& scheduler) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, interval, scheduler](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    auto compound = RFCompoundDisposable::compoundDisposable();
    compound->addDisposable(scheduler->afterDelay(interval, [compound, subscriber] {
      compound->dispose();
      subscriber->sendError(platform::Error::make(std::string(kRFSignalErrorDomain), kRFSignalErrorTimedOut));
    }));
    RFDisposablePtr subscription = self->subscribeNext(
        rf_detail::sendNextTo(subscriber),
        [compound, subscriber](const platform::ErrorPtr& error) {
          compound->dispose();
          subscriber->sendError(error);
        },
        [compound, subscriber] {
          compound->dispose();
          subscriber->sendCompleted();
        });
    compound->addDisposable(subscription);
    return compound;
  });
  result->setNameWithFormat("[%@] -timeout: %f onScheduler: %@", name(), interval, scheduler);
  return result;
}

RFSignalPtr RFSignal::timeout(double interval) { return timeout(interval, highPriorityScheduler()); }

// --- sample --------------------------------------------------------------------------------------

RFSignalPtr RFSignal::sample(const RFSignalPtr& sampler) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, sampler](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    struct Latest {
      platform::Mutex lock;
      platform::Value value ZORVEL_GUARDED_BY(lock);
      bool has ZORVEL_GUARDED_BY(lock) = false;
    };
    auto latest = std::make_shared<Latest>();
    auto samplerDisposable = RFSerialDisposable::serialDisposable();
    RFDisposablePtr subscription = self->subscribeNext(
        [latest](const platform::Value& value) {
          platform::MutexLock lock(latest->lock);
          latest->has = true;
          latest->value = value;
        },
        [samplerDisposable, subscriber](const platform::ErrorPtr& error) {
          samplerDisposable->dispose();
          subscriber->sendError(error);
        },
        [samplerDisposable, subscriber] {
          samplerDisposable->dispose();
          subscriber->sendCompleted();
        });
    samplerDisposable->setDisposable(sampler->subscribeNext(
        [latest, subscriber](const platform::Value&) {
          platform::Value value;
          bool has;
          {
            platform::MutexLock lock(latest->lock);
            has = latest->has;
            value = latest->value;
          }
          if (has) subscriber->sendNext(value);
        },
        [subscription, subscriber](const platform::ErrorPtr& error) {
          if (subscription) subscription->dispose();
          subscriber->sendError(error);
        },
        [subscription, subscriber] {
          if (subscription) subscription->dispose();
          subscriber->sendCompleted();
        }));
    return RFDisposable::disposableWithBlock([samplerDisposable, subscription] {
      samplerDisposable->dispose();
      if (subscription) subscription->dispose();
    });
  });
  result->setNameWithFormat("[%@] -sample: %@", name(), sampler);
  return result;
}
