// Operators that run blocks around events, replace or filter failures, subscribe again after an
// ending, and turn events into values and back.

#include <atomic>

#include "reactive/RFEvent.h"
#include "reactive/RFForwardingInternal.h"
#include "reactive/RFSignal.h"

// --- Side effects --------------------------------------------------------------------------------

namespace {
// The receiver with a block run before each kind of event is passed on (null: none).
RFSignalPtr withSideEffects(const RFSignalPtr& self, RFNextBlock next, RFErrorBlock error, RFCompletedBlock completed) {
  return RFSignal::createSignal([self, next, error, completed](const RFSubscriberPtr& subscriber) {
    return self->subscribeNext(
        [next, subscriber](const platform::Value& value) {
          if (next) next(value);
          subscriber->sendNext(value);
        },
        [error, subscriber](const platform::ErrorPtr& e) {
          if (error) error(e);
          subscriber->sendError(e);
        },
        [completed, subscriber] {
          if (completed) completed();
          subscriber->sendCompleted();
        });
  });
}
}  // namespace

RFSignalPtr RFSignal::doNext(RFNextBlock block) {
  RFSignalPtr result = withSideEffects(selfSignal(), std::move(block), nullptr, nullptr);
  result->setNameWithFormat("[%@] -doNext:", name());
  return result;
}

RFSignalPtr RFSignal::doError(RFErrorBlock block) {
  RFSignalPtr result = withSideEffects(selfSignal(), nullptr, std::move(block), nullptr);
  result->setNameWithFormat("[%@] -doError:", name());
  return result;
}

RFSignalPtr RFSignal::doCompleted(RFCompletedBlock block) {
  RFSignalPtr result = withSideEffects(selfSignal(), nullptr, nullptr, std::move(block));
  result->setNameWithFormat("[%@] -doCompleted:", name());
  return result;
}

RFSignalPtr RFSignal::initially(std::function<void()> block) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = defer([self, block] {
    block();
    return self;
  });
  result->setNameWithFormat("[%@] -initially:", name());
  return result;
}

RFSignalPtr RFSignal::finally(std::function<void()> block) {
  RFSignalPtr result = doError([block](const platform::ErrorPtr&) { block(); })->doCompleted([block] { block(); });
  result->setNameWithFormat("[%@] -finally:", name());
  return result;
}

// --- Errors --------------------------------------------------------------------------------------

RFSignalPtr RFSignal::catchError(std::function<RFSignalPtr(const platform::ErrorPtr& error)> block) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, block](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    auto catchDisposable = RFSerialDisposable::serialDisposable();
    RFDisposablePtr subscription = self->subscribeNext(
        rf_detail::sendNextTo(subscriber),
        [block, subscriber, catchDisposable](const platform::ErrorPtr& error) {
          if (RFSignalPtr replacement = block(error))
            catchDisposable->setDisposable(replacement->subscribe(subscriber));
        },
        rf_detail::sendCompletedTo(subscriber));
    return RFDisposable::disposableWithBlock([catchDisposable, subscription] {
      catchDisposable->dispose();
      if (subscription) subscription->dispose();
    });
  });
  result->setNameWithFormat("[%@] -catch:", name());
  return result;
}

RFSignalPtr RFSignal::catchTo(RFSignalPtr signal) {
  RFSignalPtr result = catchError([signal](const platform::ErrorPtr&) { return signal; });
  result->setNameWithFormat("[%@] -catchTo: %@", name(), signal);
  return result;
}

RFSignalPtr RFSignal::tryBlock(std::function<bool(const platform::Value& value, platform::ErrorPtr* error)> block) {
  // flattenMap with a stream of the value, or an error signal.
  RFSignalPtr result = bind([block] {
    return [block](const platform::Value& value, bool&) -> RFBindStep {
      platform::ErrorPtr error;
      if (block(value, &error)) return RFBindStep::value(value);
      return RFSignal::error(std::move(error));
    };
  });
  result->setNameWithFormat("[%@] -try:", name());
  return result;
}

RFSignalPtr RFSignal::tryMap(
    std::function<platform::Value(const platform::Value& value, platform::ErrorPtr* error)> block) {
  RFSignalPtr result = bind([block] {
    return [block](const platform::Value& value, bool&) -> RFBindStep {
      platform::ErrorPtr error;
      platform::Value mapped = block(value, &error);
      if (!mapped.isNil()) return RFBindStep::value(std::move(mapped));
      return RFSignal::error(std::move(error));
    };
  });
  result->setNameWithFormat("[%@] -tryMap:", name());
  return result;
}

// --- Repetition ----------------------------------------------------------------------------------

namespace {

using LoopErrorHandler = std::function<void(const platform::ErrorPtr& error, const RFCompoundDisposablePtr& loop)>;
using LoopCompletedHandler = std::function<void(const RFCompoundDisposablePtr& loop)>;

// Subscribes to the signal, and again each time a pass ends, until a handler disposes the loop
// disposable (which it returns). The first pass runs now; later ones run as one recursion on
// the current scheduler, taken when the first pass ends.
RFCompoundDisposablePtr subscribeForever(const RFSignalPtr& signal, RFNextBlock next, LoopErrorHandler error,
                                         LoopCompletedHandler completed) {
  auto loop = RFCompoundDisposable::compoundDisposable();
  using Resubscribe = std::function<void()>;
  auto pass = std::make_shared<const std::function<void(const Resubscribe&)>>(
      [signal, next, error, completed, loop](const Resubscribe& resubscribe) {
        auto passDisposable = RFCompoundDisposable::compoundDisposable();
        loop->addDisposable(passDisposable);
        std::weak_ptr<RFCompoundDisposable> weakPass = passDisposable;
        auto ended = [loop, weakPass, resubscribe] {
          if (auto p = weakPass.lock()) loop->removeDisposable(p.get());
          resubscribe();
        };
        RFDisposablePtr subscription = signal->subscribeNext(
            next,
            [error, loop, ended](const platform::ErrorPtr& e) {
              error(e, loop);
              ended();
            },
            [completed, loop, ended] {
              completed(loop);
              ended();
            });
        passDisposable->addDisposable(subscription);
      });

  Resubscribe first = [pass, loop] {
    RFSchedulerPtr scheduler = RFScheduler::currentScheduler();
    if (!scheduler) scheduler = RFScheduler::scheduler();
    loop->addDisposable(
        scheduler->scheduleRecursiveBlock([pass](const std::function<void()>& reschedule) { (*pass)(reschedule); }));
  };
  (*pass)(first);
  return loop;
}

}  // namespace

RFSignalPtr RFSignal::repeat() {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    return subscribeForever(
        self, rf_detail::sendNextTo(subscriber),
        [subscriber](const platform::ErrorPtr& error, const RFCompoundDisposablePtr& loop) {
          loop->dispose();
          subscriber->sendError(error);
        },
        [](const RFCompoundDisposablePtr&) {});
  });
  result->setNameWithFormat("[%@] -repeat", name());
  return result;
}

RFSignalPtr RFSignal::retry(std::int64_t count) {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self, count](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
    // Changed only by the error handler, which the loop never runs twice at once.
    auto retries = std::make_shared<std::int64_t>(0);
    return subscribeForever(
        self, rf_detail::sendNextTo(subscriber),
        [subscriber, count, retries](const platform::ErrorPtr& error, const RFCompoundDisposablePtr& loop) {
          if (count == 0 || *retries < count) {
            ++*retries;
            return;
          }
          loop->dispose();
          subscriber->sendError(error);
        },
        [subscriber](const RFCompoundDisposablePtr& loop) {
          loop->dispose();
          subscriber->sendCompleted();
        });
  });
  result->setNameWithFormat("[%@] -retry: %lu", name(), count);
  return result;
}

RFSignalPtr RFSignal::retry() {
  RFSignalPtr result = retry(0);
  result->setNameWithFormat("[%@] -retry", name());
  return result;
}

// --- Values and events ---------------------------------------------------------------------------

RFSignalPtr RFSignal::ignoreValues() {
  RFSignalPtr result = filter([](const platform::Value&) { return false; });
  result->setNameWithFormat("[%@] -ignoreValues", name());
  return result;
}

RFSignalPtr RFSignal::ignoreElements() { return ignoreValues(); }

RFSignalPtr RFSignal::materialize() {
  RFSignalPtr self = selfSignal();
  RFSignalPtr result = createSignal([self](const RFSubscriberPtr& subscriber) {
    return self->subscribeNext(
        [subscriber](const platform::Value& value) {
          subscriber->sendNext(platform::Value(RFEvent::eventWithValue(value)));
        },
        [subscriber](const platform::ErrorPtr& error) {
          subscriber->sendNext(platform::Value(RFEvent::eventWithError(error)));
          subscriber->sendCompleted();
        },
        [subscriber] {
          subscriber->sendNext(platform::Value(RFEvent::completedEvent()));
          subscriber->sendCompleted();
        });
  });
  result->setNameWithFormat("[%@] -materialize", name());
  return result;
}

RFSignalPtr RFSignal::dematerialize() {
  RFSignalPtr result = bind([] {
    return [](const platform::Value& value, bool& stop) -> RFBindStep {
      RFEventPtr event = value.as<RFEvent>();
      if (!event) return RFBindStep::stop();
      switch (event->eventType()) {
        case RFEventType::Next:
          return RFBindStep::value(event->value());
        case RFEventType::Error:
          stop = true;
          return RFSignal::error(event->error());
        case RFEventType::Completed:
          stop = true;
          return RFBindStep::empty();
      }
      return RFBindStep::stop();
    };
  });
  result->setNameWithFormat("[%@] -dematerialize", name());
  return result;
}
